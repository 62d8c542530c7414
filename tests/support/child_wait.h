// Waiting for a child process without letting a hung child hang the test.
#ifndef KESTRAN_TESTS_CHILD_WAIT_H
#define KESTRAN_TESTS_CHILD_WAIT_H

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>

namespace fixtures {

// Waits for `pid` to end, polling; past `guard` the child is killed, the test
// fails with "<what> did not end within N s" and the result is empty.
// Otherwise the child's wait status.
std::optional<int> WaitWithGuard(pid_t pid, std::chrono::seconds guard, const std::string& what);

}  // namespace fixtures

#endif
