#include "scripted_server.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace quorvexia::test {

ServerConnection::ServerConnection(int fd, std::string& record, std::mutex& mutex)
    : fd_(fd), record_(record), mutex_(mutex) {}

ServerConnection::~ServerConnection() { close(); }

void ServerConnection::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

void ServerConnection::send(std::string_view bytes) {
    while (fd_ >= 0 && !bytes.empty()) {
        ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n <= 0) return;
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
}

bool ServerConnection::fill() {
    if (fd_ < 0) return false;
    pollfd pfd{fd_, POLLIN, 0};
    if (poll(&pfd, 1, kScriptTimeoutSeconds * 1000) <= 0) return false;
    char buf[65536];
    ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
    if (n <= 0) return false;
    buffer_.append(buf, static_cast<std::size_t>(n));
    std::lock_guard lock(mutex_);
    record_.append(buf, static_cast<std::size_t>(n));
    return true;
}

bool ServerConnection::readLine(std::string& line) {
    for (;;) {
        auto lf = buffer_.find('\n');
        if (lf != std::string::npos) {
            line = buffer_.substr(0, lf);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            buffer_.erase(0, lf + 1);
            return true;
        }
        if (!fill()) return false;
    }
}

void ServerConnection::expect(std::string_view expected) {
    std::string line;
    if (!readLine(line)) {
        ADD_FAILURE() << "expected \"" << expected << "\", the client sent nothing";
        return;
    }
    EXPECT_EQ(line, expected);
}

bool ServerConnection::readData(std::string& data) {
    data.clear();
    for (;;) {
        auto end = buffer_.find("\r\n.\r\n");
        if (buffer_.rfind(".\r\n", 0) == 0) {  // "." right at the start: an empty text
            buffer_.erase(0, 3);
            return true;
        }
        if (end != std::string::npos) {
            data = buffer_.substr(0, end + 2);
            buffer_.erase(0, end + 5);
            return true;
        }
        if (!fill()) return false;
    }
}

bool ServerConnection::waitForClose() {
    std::string before = buffer_;
    while (fill()) {
    }
    pollfd pfd{fd_, POLLIN, 0};
    bool closed = poll(&pfd, 1, 0) >= 0;
    return closed && buffer_ == before;
}

unsigned short FreeLoopbackPort() {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        ADD_FAILURE() << "no free loopback port";
    }
    if (fd >= 0) ::close(fd);
    return ntohs(addr.sin_port);
}

ScriptedServer::ScriptedServer(Handler handler, int connections) {
    listenFd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(listenFd_, 8) != 0)
        throw std::runtime_error("cannot listen on loopback");
    socklen_t len = sizeof addr;
    getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);

    thread_ = std::thread([this, handler = std::move(handler), connections] {
        for (int i = 0; i < connections; ++i) {
            pollfd pfd{listenFd_, POLLIN, 0};
            if (poll(&pfd, 1, kScriptTimeoutSeconds * 1000) <= 0) return;
            int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) return;
            ++accepted_;
            ServerConnection connection(fd, record_, mutex_);
            handler(connection, i);
        }
    });
}

ScriptedServer::~ScriptedServer() {
    join();
    if (listenFd_ >= 0) ::close(listenFd_);
}

void ScriptedServer::join() {
    if (thread_.joinable()) thread_.join();
}

std::string ScriptedServer::received() {
    std::lock_guard lock(mutex_);
    return record_;
}

}  // namespace quorvexia::test
