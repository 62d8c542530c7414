#include <cstdio>
#include <string>
#include <vector>

#include "common/command_line.h"
#include "common/instance_channel.h"
#include "window/main_app.h"

wxIMPLEMENT_APP_NO_MAIN(MainApp);

// The command line is answered before the toolkit starts: --help and
// --version need no display, and a second start hands its files to the
// window already open without opening one of its own.
int main(int argc, char** argv)
{
    const kestran::CommandLine line = kestran::ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
    switch (line.action) {
    case kestran::CommandLine::Action::Help:
        std::fputs(kestran::CommandLineUsage().c_str(), stdout);
        return kestran::kExitOk;
    case kestran::CommandLine::Action::Version:
        std::printf("kestran %s\n", KESTRAN_VERSION);
        return kestran::kExitOk;
    case kestran::CommandLine::Action::Error:
        std::fprintf(stderr, "kestran: %s\nTry 'kestran --help'.\n", line.error.c_str());
        return kestran::kExitUsage;
    case kestran::CommandLine::Action::Run:
        break;
    }
    const std::string dir = kestran::InstanceDir();
    if (!dir.empty() && kestran::HandOverPaths(kestran::InstanceSocketPath(dir), line.paths))
        return kestran::kExitOk;
    const int status = wxEntry(argc, argv);
    if (MainApp::HandedOver())
        return kestran::kExitOk;
    return status == 0 ? kestran::kExitOk : kestran::kExitFailed;
}
