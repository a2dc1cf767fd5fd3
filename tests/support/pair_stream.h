// A byte stream over one end of a socket pair, the other end (the peer)
// kept for the test. With SOCK_SEQPACKET every write of the peer arrives as
// one receive, so a test decides exactly how the bytes are split between
// receives; with SOCK_STREAM the peer can be handed to a ServerConnection.
#pragma once

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "platform/byte_stream.h"

namespace quorvexia::test {

class PairStream final : public platform::ByteStream {
public:
    explicit PairStream(int type = SOCK_SEQPACKET) {
        int fds[2];
        if (socketpair(AF_UNIX, type | SOCK_CLOEXEC, 0, fds) != 0) throw std::runtime_error("socketpair");
        mine_ = fds[0];
        peer_ = fds[1];
    }
    ~PairStream() override {
        ::close(mine_);
        closePeer();
    }
    bool sendAll(const char* data, std::size_t size) override {
        ++writes_;
        if (onSend) onSend(std::string_view(data, size));
        ssize_t n = ::send(mine_, data, size, MSG_NOSIGNAL);
        return n == static_cast<ssize_t>(size);
    }
    long receive(char* data, std::size_t size) override {
        ++receives_;
        pollfd pfd{mine_, POLLIN, 0};
        if (poll(&pfd, 1, 5000) <= 0) return -1;  // never hang a test
        return static_cast<long>(::recv(mine_, data, size, 0));
    }
    int lastError() const override { return 0; }
    void setTimeout(int) override {}

    void peerSend(const std::string& bytes) {
        ASSERT_EQ(::send(peer_, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
    }
    // What the peer has been sent, one record per write (empty when nothing waits).
    std::vector<std::string> peerRecords() {
        std::vector<std::string> records;
        for (;;) {
            pollfd pfd{peer_, POLLIN, 0};
            if (poll(&pfd, 1, 0) <= 0) return records;
            char buf[70000];
            ssize_t n = ::recv(peer_, buf, sizeof buf, 0);
            if (n <= 0) return records;
            records.emplace_back(buf, static_cast<std::size_t>(n));
        }
    }
    // Hands the peer's end over (to a ServerConnection, which closes it).
    int takePeer() {
        int fd = peer_;
        peer_ = -1;
        return fd;
    }
    // Called with every write before it is made.
    std::function<void(std::string_view)> onSend;
    void closePeer() {
        if (peer_ >= 0) ::close(peer_);
        peer_ = -1;
    }
    int writes_ = 0;
    int receives_ = 0;

private:
    int mine_ = -1;
    int peer_ = -1;
};

}  // namespace quorvexia::test
