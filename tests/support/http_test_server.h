// Servers on 127.0.0.1 for tests that make real network requests: an HTTP
// server with canned answers and an HTTP proxy that tunnels CONNECT.
//
//   HttpTestServer server;                              // listening on a free port
//   server.Serve("/a.xml", HttpTestServer::Ok("<x/>"));
//   ... fetch server.Url("/a.xml") ...
//   server.Heads();                                     // the request heads it read
//
// Each accepted connection is served on its own thread, one request per
// connection (every answer closes it). The destructor wakes and joins every
// thread, also those holding a request open.
#ifndef KESTRAN_TESTS_SUPPORT_HTTP_TEST_SERVER_H
#define KESTRAN_TESTS_SUPPORT_HTTP_TEST_SERVER_H

#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// Accepts on 127.0.0.1 and reads each connection's head (up to the blank line).
class LoopbackServer {
public:
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;
    virtual ~LoopbackServer();

    int Port() const { return port_; }
    int Connections() const;              // accepted so far
    std::vector<std::string> Heads() const;  // heads read so far, in arrival order
    // Blocks until `count` heads were read; false when that takes a minute
    // (a broken client), so a failing test ends instead of hanging.
    bool WaitForHeads(std::size_t count) const;

protected:
    LoopbackServer();
    // Derived classes call Start() last in their constructor and Stop() first
    // in their destructor, so Handle never runs on a half-built object.
    void Start();
    void Stop();
    // Serves one connection whose head was read; `rest` holds bytes read past it.
    virtual void Handle(int fd, const std::string& head, const std::string& rest) = 0;

    // Writes all of `bytes`; false when the peer left or the server stops.
    bool SendAll(int fd, const std::string& bytes) const;
    // Waits until `fd` is readable or `extra` (when >= 0) is; false when the
    // server stops first.
    bool WaitReadable(int fd, int extra = -1) const;

private:
    void AcceptLoop();
    void ServeConnection(int fd);

    int listen_fd_ = -1;
    int stop_pipe_[2] = {-1, -1};
    int port_ = 0;
    std::thread acceptor_;
    mutable std::mutex mutex_;
    mutable std::condition_variable heads_changed_;
    std::vector<std::thread> workers_;
    std::vector<std::string> heads_;
    int connections_ = 0;
};

class HttpTestServer : public LoopbackServer {
public:
    HttpTestServer();
    ~HttpTestServer() override;

    // "http://127.0.0.1:<port>" + path.
    std::string Url(const std::string& path) const;
    // Answers GET `path` with `response` (a whole HTTP response, as bytes).
    // Unknown paths get a 404.
    void Serve(const std::string& path, const std::string& response);
    // Reads the request for `path` and answers only after Release(); without
    // Release it never answers and waits until the client gives up.
    void Hold(const std::string& path, const std::string& response);
    void Release();

    // 200 with `body`; with `length` false the body ends where the connection does.
    static std::string Ok(const std::string& body, bool length = true);
    static std::string Status(int code, const std::string& body);
    static std::string Redirect(const std::string& location);

protected:
    void Handle(int fd, const std::string& head, const std::string& rest) override;

private:
    struct Answer {
        std::string response;
        bool held = false;
    };
    std::mutex answers_mutex_;
    std::map<std::string, Answer> answers_;
    int release_pipe_[2] = {-1, -1};
};

// An HTTP proxy: "CONNECT host:port" (an IPv4 literal) is answered with 200
// and relayed both ways; any other request gets the fixed answer of Answer().
class ConnectProxy : public LoopbackServer {
public:
    ConnectProxy();
    ~ConnectProxy() override;

    void Answer(const std::string& response);

protected:
    void Handle(int fd, const std::string& head, const std::string& rest) override;

private:
    void Relay(int client, int target) const;

    std::mutex answer_mutex_;
    std::string answer_;
};

#endif
