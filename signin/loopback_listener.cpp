#include "loopback_listener.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace quorvexia::signin {

namespace {

// A request line and headers larger than this are no browser's redirect.
constexpr std::size_t kRequestMax = 16 * 1024;
constexpr int kRequestWaitMs = 10000;

std::int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void Answer(int fd, int status, const std::string& text) {
    std::string page = "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>korv</title></head><body><p>" +
                       text + "</p></body></html>\n";
    std::string head = "HTTP/1.1 " + std::to_string(status) + (status == 200 ? " OK" : " Bad Request") +
                       "\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: " +
                       std::to_string(page.size()) + "\r\nConnection: close\r\nCache-Control: no-store\r\n\r\n";
    std::string all = head + page;
    std::size_t sent = 0;
    while (sent < all.size()) {
        ssize_t n = ::send(fd, all.data() + sent, all.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        sent += static_cast<std::size_t>(n);
    }
}

// The request line's target, read within a few seconds; empty when the peer
// sends no complete request head.
std::string ReadTarget(int fd) {
    std::string head;
    std::int64_t deadline = NowMs() + kRequestWaitMs;
    while (head.find("\r\n\r\n") == std::string::npos && head.find("\n\n") == std::string::npos) {
        std::int64_t left = deadline - NowMs();
        pollfd p{fd, POLLIN, 0};
        if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0) return {};
        char buffer[2048];
        ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return {};
        head.append(buffer, static_cast<std::size_t>(n));
        if (head.size() > kRequestMax) return {};
    }
    if (head.rfind("GET ", 0) != 0) return {};
    auto end = head.find(' ', 4);
    return end == std::string::npos ? std::string() : head.substr(4, end - 4);
}

}  // namespace

LoopbackListener::~LoopbackListener() { close(); }

void LoopbackListener::close() {
    for (int& fd : sockets_) {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
}

bool LoopbackListener::open(const std::string& redirectHost, std::string& error) {
    close();
    host_ = redirectHost;
    sockets_[0] = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in v4{};
    v4.sin_family = AF_INET;
    v4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof v4;
    if (sockets_[0] < 0 || ::bind(sockets_[0], reinterpret_cast<sockaddr*>(&v4), sizeof v4) != 0 ||
        ::listen(sockets_[0], 8) != 0 || ::getsockname(sockets_[0], reinterpret_cast<sockaddr*>(&v4), &length) != 0) {
        error = std::string("cannot listen on 127.0.0.1: ") + std::strerror(errno);
        close();
        return false;
    }
    port_ = ntohs(v4.sin_port);
    if (redirectHost == "localhost") {
        // A browser may resolve localhost to ::1 first; without IPv6 it will not.
        int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in6 v6{};
        v6.sin6_family = AF_INET6;
        v6.sin6_addr = in6addr_loopback;
        v6.sin6_port = htons(port_);
        int only = 1;
        if (fd >= 0 && ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &only, sizeof only) == 0 &&
            ::bind(fd, reinterpret_cast<sockaddr*>(&v6), sizeof v6) == 0 && ::listen(fd, 8) == 0) {
            sockets_[1] = fd;
        } else if (fd >= 0) {
            ::close(fd);
        }
    }
    return true;
}

std::string LoopbackListener::redirectUri() const {
    return "http://" + host_ + ":" + std::to_string(port_) + "/";
}

bool LoopbackListener::wait(const std::string& state, std::string& code, Failure& failure,
                            std::chrono::milliseconds limit, const std::function<bool()>& cancelled) {
    code.clear();
    std::int64_t deadline = NowMs() + limit.count();
    while (true) {
        if (cancelled && cancelled()) break;
        std::int64_t left = deadline - NowMs();
        if (left <= 0) break;
        pollfd p[2];
        nfds_t count = 0;
        for (int fd : sockets_)
            if (fd >= 0) p[count++] = {fd, POLLIN, 0};
        int ready = ::poll(p, count, static_cast<int>(std::min<std::int64_t>(left, 100)));
        if (ready < 0 && errno != EINTR) break;
        for (nfds_t i = 0; ready > 0 && i < count; ++i) {
            if (!(p[i].revents & POLLIN)) continue;
            int fd = ::accept4(p[i].fd, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) continue;
            std::string target = ReadTarget(fd);
            auto query = target.find('?');
            Params params;
            bool parsed = target.rfind("/", 0) == 0 && query != std::string::npos &&
                          DecodeQuery(std::string_view(target).substr(query + 1), params);
            const std::string* gotState = parsed ? FindParam(params, "state") : nullptr;
            if (!gotState || *gotState != state) {
                Answer(fd, 400, "This is not the answer korv is waiting for.");
                ::close(fd);
                continue;
            }
            const std::string* gotCode = FindParam(params, "code");
            const std::string* error = FindParam(params, "error");
            if (gotCode && !gotCode->empty() && !error) {
                Answer(fd, 200, "Signed in. You can close this window.");
                ::close(fd);
                code = *gotCode;
                close();
                return true;
            }
            Answer(fd, 200, "Sign-in did not complete. You can close this window.");
            ::close(fd);
            close();
            failure = FailureFromError(error ? *error : "no_code",
                                       FindParam(params, "error_description") ? *FindParam(params, "error_description")
                                                                              : std::string());
            return false;
        }
    }
    close();
    failure = MakeFailure(FailureKind::Cancelled, cancelled && cancelled() ? "cancelled" : "no answer in time");
    return false;
}

}  // namespace quorvexia::signin
