#include "net.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/time.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>

namespace quorvexia::platform {

namespace {
int lastNetError = 0;
int startups = 0;
}  // namespace

int NetStartup(unsigned short requestedVersion, unsigned short& grantedVersion) {
    // A peer that closes while we write must give an error, not end the program.
    signal(SIGPIPE, SIG_IGN);
    grantedVersion = requestedVersion < kNetVersion11 ? requestedVersion : kNetVersion11;
    ++startups;
    return 0;
}

void NetCleanup() {
    if (startups > 0) --startups;
}

int LastNetError() { return lastNetError; }

bool ParseServerField(std::string_view field, unsigned short defaultPort, ServerName& out) {
    std::string_view host = field;
    std::string_view port;
    if (!field.empty() && field.front() == '[') {
        auto close = field.find(']');
        if (close == std::string_view::npos) return false;
        host = field.substr(1, close - 1);
        std::string_view rest = field.substr(close + 1);
        if (!rest.empty()) {
            if (rest.front() != ':') return false;
            port = rest.substr(1);
        }
    } else {
        auto colon = field.find(':');
        // A second colon means a bare IPv6 address without a port.
        if (colon != std::string_view::npos && field.find(':', colon + 1) == std::string_view::npos) {
            host = field.substr(0, colon);
            port = field.substr(colon + 1);
        }
    }
    out.host = std::string(host);
    out.port = defaultPort;
    if (!port.empty()) {
        unsigned value = 0;
        auto [end, ec] = std::from_chars(port.data(), port.data() + port.size(), value);
        if (ec != std::errc() || end != port.data() + port.size() || value == 0 || value > 65535)
            return false;
        out.port = static_cast<unsigned short>(value);
    }
    return true;
}

bool ResolveHost(const ServerName& server, std::vector<NetAddress>& addresses) {
    addresses.clear();
    if (server.host.empty()) return false;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* list = nullptr;
    char port[8];
    std::snprintf(port, sizeof port, "%u", server.port);
    if (getaddrinfo(server.host.c_str(), port, &hints, &list) != 0) return false;
    for (addrinfo* ai = list; ai; ai = ai->ai_next) {
        if (ai->ai_addrlen > sizeof(NetAddress::storage)) continue;
        NetAddress a;
        std::memcpy(a.storage.data(), ai->ai_addr, ai->ai_addrlen);
        a.length = ai->ai_addrlen;
        a.family = ai->ai_family;
        addresses.push_back(a);
    }
    freeaddrinfo(list);
    return !addresses.empty();
}

Socket::~Socket() { close(); }

void Socket::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

void Socket::fail(int error) {
    lastError_ = error;
    lastNetError = error;
}

bool Socket::openFamily(int family) {
    close();
    fd_ = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) {
        fail(errno);
        return false;
    }
    family_ = family;
    spent_ = false;
    sendTimeoutApplied_ = receiveTimeoutApplied_ = -1;
    return true;
}

bool Socket::open() { return openFamily(AF_INET); }

bool Socket::waitFor(short events) {
    pollfd pfd{fd_, events, 0};
    for (;;) {
        int n = poll(&pfd, 1, timeoutMs_);
        if (n > 0) return true;
        if (n == 0) {
            fail(ETIMEDOUT);
            return false;
        }
        if (errno != EINTR) {
            fail(errno);
            return false;
        }
    }
}

bool Socket::connect(const NetAddress& address, int timeoutMs) {
    if (fd_ < 0 || spent_ || family_ != address.family) {
        if (!openFamily(address.family)) return false;
    }
    spent_ = true;  // a failed attempt leaves the socket unusable
    int flags = fcntl(fd_, F_GETFL);
    fcntl(fd_, F_SETFL, flags | O_NONBLOCK);
    int rc = ::connect(fd_, reinterpret_cast<const sockaddr*>(address.storage.data()), address.length);
    if (rc != 0) {
        if (errno != EINPROGRESS) {
            fail(errno);
            return false;
        }
        int saved = timeoutMs_;
        timeoutMs_ = timeoutMs;
        bool ready = waitFor(POLLOUT);
        timeoutMs_ = saved;
        if (!ready) return false;
        int err = 0;
        socklen_t len = sizeof err;
        getsockopt(fd_, SOL_SOCKET, SO_ERROR, &err, &len);
        if (err != 0) {
            fail(err);
            return false;
        }
    }
    fcntl(fd_, F_SETFL, flags);
    // The transport writes whole commands and coalesced bodies itself; Nagle would only add stalls.
    int one = 1;
    setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    spent_ = false;
    return true;
}

// The socket's own time limits stand for each wait, so that a send or a
// receive costs one system call; they are set again only when they change.
void Socket::applyTimeout(int option, int& applied) {
    if (applied == timeoutMs_) return;
    int ms = timeoutMs_ > 0 ? timeoutMs_ : 1;
    timeval tv{ms / 1000, (ms % 1000) * 1000};
    setsockopt(fd_, SOL_SOCKET, option, &tv, sizeof tv);
    applied = timeoutMs_;
}

bool Socket::sendAll(const char* data, std::size_t size) {
    applyTimeout(SO_SNDTIMEO, sendTimeoutApplied_);
    while (size > 0) {
        ssize_t n = ::send(fd_, data, size, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            fail(errno == EAGAIN || errno == EWOULDBLOCK ? ETIMEDOUT : errno);
            return false;
        }
        if (n == 0) {
            fail(0);
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

long Socket::receive(char* data, std::size_t size) {
    applyTimeout(SO_RCVTIMEO, receiveTimeoutApplied_);
    for (;;) {
        ssize_t n = ::recv(fd_, data, size, 0);
        if (n > 0) return static_cast<long>(n);
        if (n == 0) {
            fail(0);
            return 0;
        }
        if (errno == EINTR) continue;
        fail(errno == EAGAIN || errno == EWOULDBLOCK ? ETIMEDOUT : errno);
        return -1;
    }
}

}  // namespace quorvexia::platform
