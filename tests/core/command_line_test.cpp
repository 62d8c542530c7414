// The window program's command line, the hand-over of a second start to the
// running window, and the manual pages against the programs' --help.
#include <sys/stat.h>
#include <sys/wait.h>

#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/command_line.h"
#include "common/instance_channel.h"
#include "common/local_paths.h"
#include "support/temp_home.h"

namespace {

using kestran::CommandLine;
using Action = CommandLine::Action;

struct ParseCase {
    std::vector<std::string> args;
    Action action;
    std::vector<std::string> paths;  // relative ones are made absolute
};

TEST(KestranCommandLine, ReadsPathsAndOptions) {
    const std::string cwd = kestran::AbsolutePath(".");
    const ParseCase cases[] = {
        {{}, Action::Run, {}},
        {{"a.pdf", "/data/scans/", "sub/../b.pdf"}, Action::Run, {cwd + "/a.pdf", "/data/scans", cwd + "/b.pdf"}},
        {{"a.pdf", "--help", "--bogus"}, Action::Help, {}},
        {{"-h"}, Action::Help, {}},
        {{"--version", "a.pdf"}, Action::Version, {}},
        {{"a.pdf", "--bogus"}, Action::Error, {}},
        {{"-x"}, Action::Error, {}},
        // After "--" everything is a path, and "-" alone always is.
        {{"--", "-x.pdf", "--help"}, Action::Run, {cwd + "/-x.pdf", cwd + "/--help"}},
        {{"-"}, Action::Run, {cwd + "/-"}},
    };
    for (const ParseCase& c : cases) {
        const CommandLine line = kestran::ParseCommandLine(c.args);
        const std::string shown = c.args.empty() ? "(none)" : c.args[0];
        EXPECT_EQ(line.action, c.action) << shown;
        EXPECT_EQ(line.paths, c.paths) << shown;
        EXPECT_EQ(line.error.empty(), c.action != Action::Error) << shown;
    }
}

struct ProcessRun {
    int status = -1;
    std::string output;
};

// Runs a shell command, stdout and stderr together.
ProcessRun RunCommand(const std::string& command) {
    ProcessRun run;
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr)
        return run;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0)
        run.output.append(buffer, n);
    const int status = pclose(pipe);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

const std::string kKestran = KESTRAN_STAGE_DIR "/bin/kestran";
const std::string kExtract = KESTRAN_STAGE_DIR "/bin/kestran-extract";
const std::string kCluster = KESTRAN_STAGE_DIR "/bin/kestran-cluster";

// Without any display: the answer comes before the toolkit starts.
TEST(KestranCommandLine, HelpVersionAndBadOptionNeedNoDisplay) {
    const std::string bare = "env -u DISPLAY -u WAYLAND_DISPLAY ";
    const ProcessRun help = RunCommand(bare + kKestran + " --help");
    EXPECT_EQ(help.status, 0) << help.output;
    EXPECT_EQ(help.output, kestran::CommandLineUsage());
    const ProcessRun version = RunCommand(bare + kKestran + " --version");
    EXPECT_EQ(version.status, 0) << version.output;
    EXPECT_EQ(version.output, "kestran " KESTRAN_VERSION "\n");
    const ProcessRun bad = RunCommand(bare + kKestran + " --bogus a.pdf");
    EXPECT_EQ(bad.status, 2) << bad.output;
    EXPECT_NE(bad.output.find("unknown option '--bogus'"), std::string::npos) << bad.output;
}

// Collects what a listener receives, for the test thread to wait on.
struct Inbox {
    std::mutex mutex;
    std::condition_variable arrived;
    std::vector<std::vector<std::string>> messages;

    void Take(std::vector<std::string> paths) {
        std::lock_guard<std::mutex> lock(mutex);
        messages.push_back(std::move(paths));
        arrived.notify_all();
    }
};

// A second start gives its files, made absolute, to the running window's
// socket and exits 0 without opening a window.
TEST_F(TempHomeTest, SecondStartHandsItsFilesToTheRunningWindow) {
    const std::string runtime = home_.Path().utf8_string();
    const std::string dir = runtime + "/kestran";
    ASSERT_TRUE(kestran::MakeDir(dir));
    ASSERT_EQ(chmod(dir.c_str(), 0700), 0);
    Inbox inbox;
    kestran::InstanceListener listener;
    ASSERT_TRUE(listener.Start(dir + "/window_7.sock", [&](std::vector<std::string> p) { inbox.Take(std::move(p)); }));

    const ProcessRun second = RunCommand("cd '" + runtime + "' && env XDG_RUNTIME_DIR='" + runtime + "' DISPLAY=:7 " +
                                  kKestran + " 'a b.pdf' /srv/scans");
    EXPECT_EQ(second.status, 0) << second.output;
    const ProcessRun bare = RunCommand("env XDG_RUNTIME_DIR='" + runtime + "' DISPLAY=:7 " + kKestran);
    EXPECT_EQ(bare.status, 0) << bare.output;

    std::unique_lock<std::mutex> lock(inbox.mutex);
    ASSERT_TRUE(inbox.arrived.wait_for(lock, std::chrono::seconds(10), [&] { return inbox.messages.size() == 2; }));
    EXPECT_EQ(inbox.messages[0], (std::vector<std::string>{runtime + "/a b.pdf", "/srv/scans"}));
    EXPECT_TRUE(inbox.messages[1].empty());  // a bare start only raises the window
}

TEST_F(TempHomeTest, NobodyListeningMeansNoHandOver) {
    EXPECT_FALSE(kestran::HandOverPaths(home_.Path().utf8_string() + "/none.sock", {"/a.pdf"}));
}

// Every option --help names appears in the manual page, so the two cannot
// drift apart unnoticed.
std::set<std::string> LongOptions(const std::string& text) {
    std::set<std::string> options;
    const std::regex option(R"((^|[\s,])(--[a-z][a-z-]*))");
    for (std::sregex_iterator it(text.begin(), text.end(), option), end; it != end; ++it)
        options.insert((*it)[2]);
    return options;
}

TEST(ManualPages, NameEveryOptionOfHelp) {
    const struct {
        std::string program;
        std::string page;
    } programs[] = {{kKestran, "kestran.1"}, {kExtract, "kestran-extract.1"}, {kCluster, "kestran-cluster.1"}};
    for (const auto& p : programs) {
        const ProcessRun help = RunCommand(p.program + " --help");
        ASSERT_EQ(help.status, 0) << p.program;
        std::ifstream in(KESTRAN_SOURCE_DIR "/data/man/" + p.page);
        std::stringstream roff;
        roff << in.rdbuf();
        std::string page = std::regex_replace(roff.str(), std::regex(R"(\\-)"), "-");
        const std::set<std::string> options = LongOptions(help.output);
        EXPECT_GE(options.size(), 2u) << p.program;
        for (const std::string& option : options)
            EXPECT_NE(page.find(option), std::string::npos) << option << " is missing from " << p.page;
        EXPECT_NE(page.find("EXIT STATUS"), std::string::npos) << p.page;
        EXPECT_NE(page.find("FILES"), std::string::npos) << p.page;
    }
}

}  // namespace
