// The window program's command line: `kestran [PDF-or-folder...]`, `--help`,
// `--version`. Read before any window exists (help and version need no
// display), and again by the application object for the paths.
#ifndef KESTRAN_COMMON_COMMAND_LINE_H
#define KESTRAN_COMMON_COMMAND_LINE_H

#include <string>
#include <vector>

namespace kestran {

struct CommandLine {
    enum class Action { Run, Help, Version, Error };
    Action action = Action::Run;
    // Absolute, so that they mean the same to a window started elsewhere.
    std::vector<std::string> paths;
    std::string error;  // for Action::Error: what was wrong
};

// `args` without the program name. "--" ends the options, so that a file
// named "-x.pdf" can be given; "-" alone is a path.
CommandLine ParseCommandLine(const std::vector<std::string>& args);

// The text of --help, ending in a line break.
std::string CommandLineUsage();

// Exit statuses of `kestran`, as the manual page lists them.
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

}  // namespace kestran

#endif
