#include "support/http_test_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <chrono>
#include <cstring>
#include <sstream>

namespace {

// Lets a poll that waits for a byte in a pipe see it without taking it, so
// every waiting thread wakes on the one byte.
bool PipeSignalled(const pollfd& entry) {
    return entry.fd >= 0 && (entry.revents & (POLLIN | POLLHUP)) != 0;
}

}  // namespace

LoopbackServer::LoopbackServer() {
    if (pipe2(stop_pipe_, O_CLOEXEC) != 0)
        return;
    listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listen_fd_ < 0)
        return;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof address;
    if (bind(listen_fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listen_fd_, 16) != 0 ||
        getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return;
    port_ = ntohs(address.sin_port);
}

LoopbackServer::~LoopbackServer() {
    Stop();
    for (int fd : {listen_fd_, stop_pipe_[0], stop_pipe_[1]})
        if (fd >= 0)
            close(fd);
}

void LoopbackServer::Start() {
    if (port_ != 0)
        acceptor_ = std::thread(&LoopbackServer::AcceptLoop, this);
}

void LoopbackServer::Stop() {
    if (stop_pipe_[1] >= 0 && write(stop_pipe_[1], "x", 1) < 0) {
        // Nothing to do: the threads below would then never wake, and the
        // test binary hangs visibly rather than passing quietly.
    }
    if (acceptor_.joinable())
        acceptor_.join();
    std::vector<std::thread> workers;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        workers.swap(workers_);
    }
    for (std::thread& worker : workers)
        worker.join();
}

int LoopbackServer::Connections() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return connections_;
}

std::vector<std::string> LoopbackServer::Heads() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return heads_;
}

bool LoopbackServer::WaitForHeads(std::size_t count) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return heads_changed_.wait_for(lock, std::chrono::minutes(1), [&] { return heads_.size() >= count; });
}

bool LoopbackServer::WaitReadable(int fd, int extra) const {
    pollfd entries[3] = {{fd, POLLIN, 0}, {stop_pipe_[0], POLLIN, 0}, {extra, POLLIN, 0}};
    for (;;) {
        const int ready = poll(entries, extra >= 0 ? 3 : 2, -1);
        if (ready < 0 && errno == EINTR)
            continue;
        return ready > 0 && !PipeSignalled(entries[1]);
    }
}

bool LoopbackServer::SendAll(int fd, const std::string& bytes) const {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        pollfd entries[2] = {{fd, POLLOUT, 0}, {stop_pipe_[0], POLLIN, 0}};
        if (poll(entries, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (PipeSignalled(entries[1]))
            return false;
        const ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;  // the client went away (an aborted download)
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

void LoopbackServer::AcceptLoop() {
    for (;;) {
        if (!WaitReadable(listen_fd_))
            return;
        const int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        std::lock_guard<std::mutex> lock(mutex_);
        ++connections_;
        workers_.emplace_back(&LoopbackServer::ServeConnection, this, fd);
    }
}

void LoopbackServer::ServeConnection(int fd) {
    std::string data;
    std::size_t end;
    char buffer[4096];
    while ((end = data.find("\r\n\r\n")) == std::string::npos) {
        if (!WaitReadable(fd))
            break;
        const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0)
            break;
        data.append(buffer, static_cast<std::size_t>(n));
    }
    if (end != std::string::npos) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            heads_.push_back(data.substr(0, end + 4));
        }
        heads_changed_.notify_all();
        Handle(fd, data.substr(0, end + 4), data.substr(end + 4));
    }
    close(fd);
}

HttpTestServer::HttpTestServer() {
    if (pipe2(release_pipe_, O_CLOEXEC) == 0)
        Start();
}

HttpTestServer::~HttpTestServer() {
    Stop();
    for (int fd : release_pipe_)
        if (fd >= 0)
            close(fd);
}

std::string HttpTestServer::Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(Port()) + path;
}

void HttpTestServer::Serve(const std::string& path, const std::string& response) {
    std::lock_guard<std::mutex> lock(answers_mutex_);
    answers_[path] = {response, false};
}

void HttpTestServer::Hold(const std::string& path, const std::string& response) {
    std::lock_guard<std::mutex> lock(answers_mutex_);
    answers_[path] = {response, true};
}

void HttpTestServer::Release() {
    if (write(release_pipe_[1], "x", 1) < 0) {
        // Held requests then wait for their clients to give up.
    }
}

std::string HttpTestServer::Ok(const std::string& body, bool length) {
    std::string head = "HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\nConnection: close\r\n";
    if (length)
        head += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    return head + "\r\n" + body;
}

std::string HttpTestServer::Status(int code, const std::string& body) {
    return "HTTP/1.1 " + std::to_string(code) + " Status\r\nConnection: close\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\n\r\n" + body;
}

std::string HttpTestServer::Redirect(const std::string& location) {
    return "HTTP/1.1 302 Found\r\nLocation: " + location + "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
}

void HttpTestServer::Handle(int fd, const std::string& head, const std::string&) {
    std::string method, path;
    std::istringstream(head) >> method >> path;
    Answer answer{Status(404, "not here"), false};
    {
        std::lock_guard<std::mutex> lock(answers_mutex_);
        const auto it = answers_.find(path);
        if (it != answers_.end())
            answer = it->second;
    }
    if (answer.held) {
        // Until released: a readable client socket means it left (or sent
        // more, which a GET does not).
        char byte;
        for (;;) {
            if (!WaitReadable(fd, release_pipe_[0]))
                return;
            pollfd released = {release_pipe_[0], POLLIN, 0};
            if (poll(&released, 1, 0) > 0)
                break;
            if (recv(fd, &byte, 1, 0) <= 0)
                return;
        }
    }
    SendAll(fd, answer.response);
}

ConnectProxy::ConnectProxy() {
    Start();
}

ConnectProxy::~ConnectProxy() {
    Stop();
}

void ConnectProxy::Answer(const std::string& response) {
    std::lock_guard<std::mutex> lock(answer_mutex_);
    answer_ = response;
}

void ConnectProxy::Handle(int fd, const std::string& head, const std::string& rest) {
    std::string method, target;
    std::istringstream(head) >> method >> target;
    if (method != "CONNECT") {
        std::lock_guard<std::mutex> lock(answer_mutex_);
        SendAll(fd, answer_);
        return;
    }
    const std::size_t colon = target.rfind(':');
    sockaddr_in address{};
    address.sin_family = AF_INET;
    const bool parsed = colon != std::string::npos &&
                        inet_pton(AF_INET, target.substr(0, colon).c_str(), &address.sin_addr) == 1;
    if (parsed)
        address.sin_port = htons(static_cast<uint16_t>(std::atoi(target.c_str() + colon + 1)));
    const int upstream = parsed ? socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0) : -1;
    if (upstream < 0 || connect(upstream, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        SendAll(fd, "HTTP/1.1 502 Bad Gateway\r\nContent-Length: 0\r\n\r\n");
    } else if (SendAll(fd, "HTTP/1.1 200 Connection established\r\n\r\n") && SendAll(upstream, rest)) {
        Relay(fd, upstream);
    }
    if (upstream >= 0)
        close(upstream);
}

void ConnectProxy::Relay(int client, int target) const {
    char buffer[16384];
    for (;;) {
        if (!WaitReadable(client, target))
            return;
        for (auto [from, to] : {std::pair{client, target}, std::pair{target, client}}) {
            pollfd entry = {from, POLLIN, 0};
            if (poll(&entry, 1, 0) <= 0)
                continue;
            const ssize_t n = recv(from, buffer, sizeof buffer, 0);
            if (n <= 0 || !SendAll(to, std::string(buffer, static_cast<std::size_t>(n))))
                return;  // either side closed: the exchange is over
        }
    }
}
