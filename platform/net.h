// The net layer: start-up and clean-up at the places korv has always called
// them, name resolution, and a connected TCP stream with time limits.
#pragma once

#include <array>
#include <string>
#include <string_view>
#include <vector>

#include "byte_stream.h"

namespace quorvexia::platform {

inline constexpr unsigned short kNetVersion11 = 0x0101;

// Starts the net layer for the requested version; 0 on success, with the
// version granted. NetCleanup undoes it.
int NetStartup(unsigned short requestedVersion, unsigned short& grantedVersion);
void NetCleanup();

// The error number of the most recent failed net operation (0 when the peer
// closed the connection), as the sessions report it.
int LastNetError();

// A server field: "host", "host:port", "[v6address]" or "[v6address]:port".
struct ServerName {
    std::string host;
    unsigned short port = 0;
};
bool ParseServerField(std::string_view field, unsigned short defaultPort, ServerName& out);

struct NetAddress {
    std::array<unsigned char, 128> storage{};  // a sockaddr of the family below
    unsigned length = 0;
    int family = 0;
};

// Every address the name resolves to, in the resolver's order; false when none.
bool ResolveHost(const ServerName& server, std::vector<NetAddress>& addresses);

inline constexpr int kConnectTimeoutMs = 60 * 1000;
inline constexpr int kReplyTimeoutMs = 300 * 1000;

class Socket final : public ByteStream {
public:
    Socket() = default;
    ~Socket() override;
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    // Creates a stream socket of the IPv4 family; false when none can be had.
    bool open();
    // Connects to one address within the time limit; a socket of another
    // family, or one spent by an earlier failed attempt, is made anew first.
    bool connect(const NetAddress& address, int timeoutMs = kConnectTimeoutMs);
    void close();
    bool isOpen() const { return fd_ >= 0; }

    // The limit for each receive (and for a send that cannot go on).
    void setTimeout(int timeoutMs) override { timeoutMs_ = timeoutMs; }
    int timeout() const { return timeoutMs_; }

    bool sendAll(const char* data, std::size_t size) override;
    long receive(char* data, std::size_t size) override;
    int lastError() const override { return lastError_; }

private:
    bool openFamily(int family);
    bool waitFor(short events);
    void applyTimeout(int option, int& applied);
    void fail(int error);

    int fd_ = -1;
    int family_ = 0;
    bool spent_ = false;
    int timeoutMs_ = kReplyTimeoutMs;
    int sendTimeoutApplied_ = -1;     // what the socket holds now; -1 none yet
    int receiveTimeoutApplied_ = -1;
    int lastError_ = 0;
};

}  // namespace quorvexia::platform
