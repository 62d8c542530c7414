// The hand-over between two starts of the window program: the running window
// listens on a per-user socket; a second `kestran file.pdf` sends its paths
// there and exits instead of opening a second window.
//
// Message: "KESTRAN1", then each path, each followed by a NUL, then one more
// NUL; the window answers one byte 'K' once it has taken the paths.
#ifndef KESTRAN_COMMON_INSTANCE_CHANNEL_H
#define KESTRAN_COMMON_INSTANCE_CHANNEL_H

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace kestran {

// $XDG_RUNTIME_DIR/kestran, else /tmp/kestran-<uid>; created private (0700)
// and refused when another user owns it. "" when it cannot be had.
std::string InstanceDir();
// The socket of the window on this display: one window per user and display.
std::string InstanceSocketPath(const std::string& dir);

// Sends `paths` to the window listening on `socket_path`. True when the
// window took them; false when nobody listens (or the answer did not come).
bool HandOverPaths(const std::string& socket_path, const std::vector<std::string>& paths);

class InstanceListener {
public:
    // Called on the listener's own thread with the paths of one hand-over
    // (possibly none: a bare second start, which only raises the window).
    using Receiver = std::function<void(std::vector<std::string>)>;

    InstanceListener() = default;
    ~InstanceListener();
    InstanceListener(const InstanceListener&) = delete;
    InstanceListener& operator=(const InstanceListener&) = delete;

    // Replaces whatever is at `socket_path` (call it only while holding the
    // single-instance lock: a socket left there belongs to a dead window) and
    // starts accepting. False when the socket cannot be made.
    bool Start(const std::string& socket_path, Receiver receiver);
    // Stops accepting, waits for the thread, removes the socket.
    void Stop();

private:
    void Serve();

    std::string path_;
    Receiver receiver_;       // read by the listener thread only while it runs
    int fd_ = -1;             // owned by the starting thread; the listener only accepts on it
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

}  // namespace kestran

#endif
