// The net layer under the sessions: server fields with ports, and the time
// limits that turn a silent or stuck peer into a failure instead of a hang.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <vector>

#include "platform/net.h"

namespace quorvexia::platform {
namespace {

TEST(ServerFieldTest, HostsPortsAndBracketedAddresses) {
    struct Case {
        const char* field;
        bool ok;
        const char* host;
        unsigned short port;
    } cases[] = {
        {"mail.example.org", true, "mail.example.org", 25},
        {"mail.example.org:2525", true, "mail.example.org", 2525},
        {"127.0.0.1:1", true, "127.0.0.1", 1},
        {"[::1]", true, "::1", 25},
        {"[::1]:1110", true, "::1", 1110},
        {"::1", true, "::1", 25},  // a bare IPv6 address carries no port
        {"host:", true, "host", 25},
        {"host:0", false, "", 0},
        {"host:65536", false, "", 0},
        {"host:12x", false, "", 0},
        {"[::1", false, "", 0},
        {"[::1]x", false, "", 0},
    };
    for (const Case& c : cases) {
        ServerName name;
        EXPECT_EQ(ParseServerField(c.field, 25, name), c.ok) << c.field;
        if (c.ok) {
            EXPECT_EQ(name.host, c.host) << c.field;
            EXPECT_EQ(name.port, c.port) << c.field;
        }
    }
}

// A listener on a free loopback port that accepts and then neither speaks nor reads.
class SilentPeer {
public:
    SilentPeer() {
        listener_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        listen(listener_, 1);
        socklen_t len = sizeof addr;
        getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len);
        port_ = ntohs(addr.sin_port);
    }
    ~SilentPeer() {
        if (peer_ >= 0) close(peer_);
        close(listener_);
    }
    unsigned short port() const { return port_; }
    void accept() { peer_ = ::accept(listener_, nullptr, nullptr); }
    void hangUp() {
        close(peer_);
        peer_ = -1;
    }

private:
    int listener_ = -1;
    int peer_ = -1;
    unsigned short port_ = 0;
};

bool ConnectTo(Socket& link, unsigned short port) {
    std::vector<NetAddress> addresses;
    ServerName name{"127.0.0.1", port};
    return ResolveHost(name, addresses) && link.open() && link.connect(addresses.front(), 5000);
}

double SecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

TEST(SocketTest, SilentPeerTimesOutAReceive) {
    SilentPeer peer;
    Socket link;
    ASSERT_TRUE(ConnectTo(link, peer.port()));
    peer.accept();
    link.setTimeout(300);
    char buffer[16];
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(link.receive(buffer, sizeof buffer), -1);
    EXPECT_EQ(link.lastError(), ETIMEDOUT);
    EXPECT_EQ(LastNetError(), ETIMEDOUT);
    double waited = SecondsSince(start);
    EXPECT_GE(waited, 0.25);
    EXPECT_LT(waited, 3.0);
}

TEST(SocketTest, PeerThatStopsReadingTimesOutASend) {
    SilentPeer peer;
    Socket link;
    ASSERT_TRUE(ConnectTo(link, peer.port()));
    peer.accept();
    link.setTimeout(300);
    // Far more than the socket buffers on both sides hold.
    std::string block(64 << 20, 'x');
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(link.sendAll(block.data(), block.size()));
    EXPECT_EQ(link.lastError(), ETIMEDOUT);
    EXPECT_LT(SecondsSince(start), 5.0);
}

TEST(SocketTest, RefusedConnectAndClosedPeerAreTold) {
    unsigned short port;
    {
        SilentPeer gone;  // a port that was free a moment ago; nothing listens once it closes
        port = gone.port();
    }
    Socket link;
    EXPECT_FALSE(ConnectTo(link, port));
    EXPECT_EQ(link.lastError(), ECONNREFUSED);

    SilentPeer peer;
    Socket second;
    ASSERT_TRUE(ConnectTo(second, peer.port()));
    peer.accept();
    peer.hangUp();
    char buffer[16];
    EXPECT_EQ(second.receive(buffer, sizeof buffer), 0);
    EXPECT_EQ(second.lastError(), 0);
}

}  // namespace
}  // namespace quorvexia::platform
