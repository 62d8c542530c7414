// The window tests run in one process with one application object, on a
// private X server (Xvfb, with XTest) unless KESTRAN_TEST_SHARED_DISPLAY is
// set: test processes that run at the same time then never move each
// other's pointer. A failed wx assertion fails the running test instead of
// opening a dialog that would hang the run.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <wx/app.h>
#include <wx/init.h>

#include "gui_test_support.h"
#include "support/temp_home.h"

namespace {

void FailOnAssert(const wxString& file, int line, const wxString& func, const wxString& cond, const wxString& msg)
{
    ADD_FAILURE_AT(static_cast<const char*>(file.utf8_str()), line)
        << "wx assertion failed in " << func.utf8_str() << ": " << cond.utf8_str() << " " << msg.utf8_str();
}

// An Xvfb of our own; -displayfd picks a free display number.
class PrivateDisplay {
public:
    bool Start()
    {
        int fds[2];
        if (pipe(fds) != 0)
            return false;
        pid_ = fork();
        if (pid_ == 0) {
            // The server ends with this process however it ends (also _exit in
            // a death test's child) and holds none of its pipes: a reader
            // waiting for the end of a test's output must see it.
            prctl(PR_SET_PDEATHSIG, SIGTERM);
            const int null = open("/dev/null", O_RDWR);
            if (null >= 0) {
                dup2(null, 0);
                dup2(null, 1);
                dup2(null, 2);
            }
            for (int fd = 3; fd < 1024; ++fd)
                if (fd != fds[1])
                    close(fd);
            const std::string fd = std::to_string(fds[1]);
            execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "1366x768x24", "-nolisten", "tcp",
                   static_cast<char*>(nullptr));
            _exit(127);
        }
        close(fds[1]);
        if (pid_ < 0) {
            close(fds[0]);
            return false;
        }
        // The server writes the number and the line end separately, and fails
        // if the pipe is gone before the second write: read up to the line end.
        std::string number;
        char c = 0;
        while (read(fds[0], &c, 1) == 1 && c != '\n')
            number += c;
        close(fds[0]);
        if (number.empty() || c != '\n')
            return false;
        const std::string display = ":" + number;
        setenv("DISPLAY", display.c_str(), 1);
        return true;
    }
    ~PrivateDisplay()
    {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
    }

private:
    pid_t pid_ = -1;
};

bool ListingOnly(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--gtest_list_tests") == 0)
            return true;
    return false;
}

}  // namespace

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    if (ListingOnly(argc, argv))
        return RUN_ALL_TESTS();

    PrivateDisplay display;
    if (std::getenv("KESTRAN_TEST_SHARED_DISPLAY") == nullptr && !display.Start() && std::getenv("DISPLAY") == nullptr) {
        std::fprintf(stderr, "kestran_gui_tests: no X display (Xvfb could not be started)\n");
        return 1;
    }
    setenv("GSETTINGS_BACKEND", "memory", 1);
    setenv("NO_AT_BRIDGE", "1", 1);

    TempHome home;  // the program's per-user files go here, never to the real home
    home.MakeDocuments();

    wxSetAssertHandler(FailOnAssert);
    wxApp::SetInstance(new guitest::GuiTestApp);
    if (!wxEntryStart(argc, argv) || !wxTheApp->CallOnInit()) {
        std::fprintf(stderr, "kestran_gui_tests: the toolkit did not start\n");
        return 1;
    }
    wxSetAssertHandler(FailOnAssert);
    guitest::UnexpectedPrompt unexpected;
    UserPrompt::SetResponder(&unexpected);
    const int result = RUN_ALL_TESTS();
    UserPrompt::SetResponder(nullptr);
    guitest::DestroyAllTopLevels();
    wxTheApp->OnExit();
    wxEntryCleanup();
    return result;
}
