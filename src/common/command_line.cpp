#include "common/command_line.h"

#include "common/local_paths.h"

namespace kestran {

CommandLine ParseCommandLine(const std::vector<std::string>& args) {
    CommandLine line;
    bool options_done = false;
    for (const std::string& arg : args) {
        if (!options_done && arg.size() > 1 && arg[0] == '-') {
            if (arg == "--") {
                options_done = true;
            } else if (arg == "--help" || arg == "-h") {
                return CommandLine{CommandLine::Action::Help, {}, {}};
            } else if (arg == "--version") {
                return CommandLine{CommandLine::Action::Version, {}, {}};
            } else {
                return CommandLine{CommandLine::Action::Error, {}, "unknown option '" + arg + "'"};
            }
            continue;
        }
        if (!arg.empty())
            line.paths.push_back(AbsolutePath(arg));
    }
    return line;
}

std::string CommandLineUsage() {
    return "Usage: kestran [PDF-or-folder...]\n"
           "Opens the window of Olvarin Kestran, which extracts the images embedded in\n"
           "PDF files, with the files given in its list (a folder stands for the PDF\n"
           "files directly in it). When the window is already open, the files are\n"
           "added to it and it comes to the front.\n"
           "\n"
           "  -h, --help     show this help and exit\n"
           "      --version  show the version and exit\n"
           "\n"
           "Exit status: 0 done, 1 the window could not start or be reached, 2 usage error.\n";
}

}  // namespace kestran
