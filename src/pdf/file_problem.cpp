#include "pdf/file_problem.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace kestran::pdf {

std::string ReadProblem(const std::string& path)
{
    const auto words = [](int err) { return std::generic_category().message(err); };
    // Non-blocking, so that a pipe without a writer cannot hold the open.
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return words(errno);
    std::string problem;
    struct stat st {};
    unsigned char first = 0;
    if (fstat(fd, &st) != 0)
        problem = words(errno);
    else if (S_ISDIR(st.st_mode))
        problem = words(EISDIR);
    else if (!S_ISREG(st.st_mode))
        problem = "not a regular file";
    else if (pread(fd, &first, 1, 0) < 0)
        problem = words(errno);
    close(fd);
    return problem;
}

}  // namespace kestran::pdf
