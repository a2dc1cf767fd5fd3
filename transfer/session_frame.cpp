#include "session_frame.h"

#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "activity_log.h"
#include "console.h"

namespace quorvexia {

namespace {

// The connected link, or none when the name could not be resolved, no
// address answered or the TLS handshake of a TLS form failed (reported here;
// `retry` tells whether another attempt could fare better).
std::unique_ptr<Link> Connect(std::unique_ptr<platform::Socket> socket, SessionProtocol& p, Reporter& reporter,
                              bool& retry) {
    const TlsSetup& tls = p.tls();
    ServerAddress server;
    std::string error;
    std::vector<platform::NetAddress> addresses;
    if (!ParseServerAddress(p.server(), tls.protocol, server, error) && p.server().find("://") != std::string_view::npos) {
        // A scheme korv does not know is no host to look for.
        retry = false;
        reporter.report(Format("Invalid %s server setting: %s.\n", p.name(), error.c_str()), '!',
                        Format("Invalid %s server setting: %s", p.name(), error.c_str()));
        return nullptr;
    }
    platform::ServerName name{server.host, server.port};
    if (!error.empty() || !platform::ResolveHost(name, addresses)) {
        reporter.report(Format("Could not resolve %s host.\n", p.name()), '!', "Could not resolve host");
        return nullptr;
    }
    reporter.say(Format("Connecting to %s server...\n", p.name()));
    for (const auto& address : addresses) {
        if (!socket->connect(address)) continue;
        std::unique_ptr<platform::ByteStream> stream = std::move(socket);
        if (tls.security == TransportSecurity::ImplicitTls) {
            SecureFailure failure;
            stream = StartTls(std::move(stream), tls, failure);
            if (!stream) {
                retry = failure.retryable;
                ReportSecureFailure(reporter, tls, failure);
                return nullptr;
            }
        }
        return std::make_unique<Link>(std::move(stream), name, address);
    }
    reporter.report("Unable to open connection.\n", '!', "Unable to open connection");
    return nullptr;
}

void SayQuit(Link& link, SessionProtocol& p) {
    link.setTimeout(platform::kReplyTimeoutMs);
    if (link.sendLine("QUIT")) p.receiveQuitReply(link);
}

}  // namespace

int RunSession(SessionProtocol& p, Reporter& reporter) {
    auto socket = std::make_unique<platform::Socket>();
    if (!socket->open()) throw FatalError("socket() failed");
    std::time_t start = std::time(nullptr);
    std::string server(p.server());
    reporter.say(Format("Solving %s host '%s'...\n", p.name(), server.c_str()));
    reporter.log('+', Format("Connecting to %s server", p.name()));
    bool retry = true;
    std::unique_ptr<Link> link = Connect(std::move(socket), p, reporter, retry);
    if (!link) return retry ? 1 : 2;

    consoleLineOpen = false;
    reporter.say("Logging in...\n");

    SessionResult result = p.dialogue(*link);

    if (result != SessionResult::LinkFailed) {
        reporter.say("Closing connection...\n");
        SayQuit(*link, p);
    }
    EndProgressLine();
    if (result == SessionResult::LinkFailed) {
        std::string text = Format("Remote closed connection. (%d)", link->lastError());
        reporter.report(text + "\n", '!', text);
    } else {
        reporter.report("Connection closed.\n", '+', "Mail session closed");
        auto seconds = static_cast<unsigned>(SecondsSince(start));
        reporter.log('$', Format("To %s, %u:%02u", server.c_str(), seconds / 60, seconds % 60));
    }
    p.tidyUp(result);
    if (result == SessionResult::Done) return 0;
    return p.mayRetry() ? 1 : 2;
}

}  // namespace quorvexia
