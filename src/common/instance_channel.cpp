#include "common/instance_channel.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "common/local_paths.h"

namespace kestran {
namespace {

constexpr char kMagic[] = "KESTRAN1";
constexpr size_t kMagicSize = sizeof kMagic - 1;
constexpr char kAck = 'K';
// A hand-over is a list of paths; anything larger is not one of ours.
constexpr size_t kMaxMessage = 16u << 20;

// A file descriptor closed when it goes out of scope.
class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }

private:
    int fd_;
};

bool FillAddress(const std::string& path, sockaddr_un& address) {
    std::memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path)
        return false;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return true;
}

void SetTimeouts(int fd, int seconds) {
    timeval tv{};
    tv.tv_sec = seconds;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

bool WriteAll(int fd, const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// Reads one message; false when it is incomplete, too large or not ours.
bool ReadMessage(int fd, std::vector<std::string>& paths) {
    std::string data;
    char buffer[4096];
    for (;;) {
        // Complete: the magic, then NUL-terminated paths ending in an empty one.
        if (data.size() > kMagicSize && data.back() == '\0') {
            const bool empty_list = data.size() == kMagicSize + 1;
            const bool ends_with_empty = data.size() >= 2 && data[data.size() - 2] == '\0';
            if (empty_list || ends_with_empty)
                break;
        }
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0 || data.size() + static_cast<size_t>(n) > kMaxMessage)
            return false;
        data.append(buffer, static_cast<size_t>(n));
        if (data.size() >= kMagicSize && data.compare(0, kMagicSize, kMagic) != 0)
            return false;
    }
    size_t pos = kMagicSize;
    while (pos < data.size()) {
        const size_t end = data.find('\0', pos);
        if (end == pos)
            break;  // the closing empty entry
        paths.push_back(data.substr(pos, end - pos));
        pos = end + 1;
    }
    return true;
}

// A private folder of ours: made 0700 when missing, refused when it is
// someone else's or open to others (another user could hand us files).
bool PrivateDir(const std::string& dir) {
    ::mkdir(dir.c_str(), 0700);
    struct stat st {};
    return ::lstat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::getuid() &&
           (st.st_mode & 077) == 0;
}

}  // namespace

std::string InstanceDir() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    const std::string base = runtime != nullptr && *runtime != '\0' && IsFolder(runtime)
                                 ? std::string(runtime) + "/kestran"
                                 : "/tmp/kestran-" + std::to_string(::getuid());
    return PrivateDir(base) ? base : std::string();
}

std::string InstanceSocketPath(const std::string& dir) {
    // One window per display: a start on another X server or Wayland
    // session opens its own window there.
    const char* display = std::getenv("DISPLAY");
    if (display == nullptr || *display == '\0')
        display = std::getenv("WAYLAND_DISPLAY");
    std::string name = display != nullptr ? display : "";
    for (char& c : name) {
        if (!std::isalnum(static_cast<unsigned char>(c)))
            c = '_';
    }
    return dir + "/window" + name + ".sock";
}

bool HandOverPaths(const std::string& socket_path, const std::vector<std::string>& paths) {
    sockaddr_un address;
    if (!FillAddress(socket_path, address))
        return false;
    Fd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (fd.get() < 0)
        return false;
    if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        return false;
    SetTimeouts(fd.get(), 10);
    std::string message(kMagic, kMagicSize);
    for (const std::string& path : paths) {
        if (path.empty())
            continue;
        message += path;
        message += '\0';
    }
    message += '\0';
    if (!WriteAll(fd.get(), message))
        return false;
    char answer = 0;
    ssize_t n;
    do {
        n = ::recv(fd.get(), &answer, 1, 0);
    } while (n < 0 && errno == EINTR);
    return n == 1 && answer == kAck;
}

InstanceListener::~InstanceListener() {
    Stop();
}

bool InstanceListener::Start(const std::string& socket_path, Receiver receiver) {
    Stop();
    sockaddr_un address;
    if (!FillAddress(socket_path, address))
        return false;
    Fd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (fd.get() < 0)
        return false;
    ::unlink(socket_path.c_str());
    if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        return false;
    ::chmod(socket_path.c_str(), 0600);
    if (::listen(fd.get(), 8) != 0) {
        ::unlink(socket_path.c_str());
        return false;
    }
    path_ = socket_path;
    receiver_ = std::move(receiver);
    fd_ = fd.release();
    stopping_ = false;
    thread_ = std::thread(&InstanceListener::Serve, this);
    return true;
}

void InstanceListener::Stop() {
    if (fd_ < 0)
        return;
    stopping_ = true;
    // Wakes the accept() of the listener thread.
    ::shutdown(fd_, SHUT_RDWR);
    if (thread_.joinable())
        thread_.join();
    ::close(fd_);
    fd_ = -1;
    ::unlink(path_.c_str());
    path_.clear();
}

void InstanceListener::Serve() {
    while (!stopping_) {
        const int client = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            return;  // shut down by Stop, or the socket is gone
        }
        Fd connection(client);
        SetTimeouts(client, 2);
        std::vector<std::string> paths;
        if (!ReadMessage(client, paths))
            continue;
        receiver_(std::move(paths));
        const char ack = kAck;
        ::send(client, &ack, 1, MSG_NOSIGNAL);
    }
}

}  // namespace kestran
