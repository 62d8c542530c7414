#include "support/child_wait.h"

#include <signal.h>
#include <sys/wait.h>

#include <thread>

#include <gtest/gtest.h>

namespace fixtures {

std::optional<int> WaitWithGuard(pid_t pid, std::chrono::seconds guard, const std::string& what)
{
    const auto give_up = std::chrono::steady_clock::now() + guard;
    int status = 0;
    for (;;) {
        if (waitpid(pid, &status, WNOHANG) == pid)
            return status;
        if (std::chrono::steady_clock::now() > give_up) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            ADD_FAILURE() << what << " did not end within " << guard.count() << " s";
            return std::nullopt;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

}  // namespace fixtures
