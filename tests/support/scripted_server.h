// A scripted mail server on loopback for exact dialogues: each accepted
// connection is handed to a test's handler, which reads lines and sends
// replies byte for byte. Everything received is recorded. Every wait is
// bounded, and the server stops when the object goes.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

namespace quorvexia::test {

class ServerConnection {
public:
    ServerConnection(int fd, std::string& record, std::mutex& mutex);
    ~ServerConnection();

    void send(std::string_view bytes);
    // One line without its CR LF (or LF); false when the client closed or went quiet.
    bool readLine(std::string& line);
    // Expects a line; records a test failure when another one (or none) comes.
    void expect(std::string_view line);
    // Reads up to and including a line that is exactly "." (the end of DATA);
    // the text before it, lines ended by CR LF as they came.
    bool readData(std::string& data);
    // True when the client closes within the time limit, sending nothing more.
    bool waitForClose();
    void close();

private:
    bool fill();
    int fd_;
    std::string buffer_;
    std::string& record_;
    std::mutex& mutex_;
};

class ScriptedServer {
public:
    using Handler = std::function<void(ServerConnection&, int index)>;
    // Accepts up to `connections` connections one after the other.
    explicit ScriptedServer(Handler handler, int connections = 1);
    ~ScriptedServer();

    unsigned short port() const { return port_; }
    std::string address() const { return "127.0.0.1:" + std::to_string(port_); }
    // Everything received on every connection so far.
    std::string received();
    int accepted() const { return accepted_; }
    // Waits until the handlers are done (bounded).
    void join();

private:
    int listenFd_ = -1;
    unsigned short port_ = 0;
    std::atomic<int> accepted_{0};
    std::string record_;
    std::mutex mutex_;
    std::thread thread_;
};

// A loopback port that was free a moment ago and on which nothing listens
// now: bound, read back and closed.
unsigned short FreeLoopbackPort();

// Seconds any scripted wait may last before the test counts it as a failure.
inline constexpr int kScriptTimeoutSeconds = 20;

}  // namespace quorvexia::test
