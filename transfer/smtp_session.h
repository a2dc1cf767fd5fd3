// One SMTP connection of the send phase on the shared session frame: the
// opening exchange (greeting and HELO), then one transaction for each pair
// of the outbound queue, each command a step of its own that judges its reply
// once, and the time limits for the replies.
#pragma once

#include <ctime>
#include <optional>
#include <string>

#include "config/mail_config.h"
#include "outbound_queue.h"
#include "session_frame.h"

namespace quorvexia {

// Time limits for the replies, as RFC 5321 advises a client (4.5.3.2).
inline constexpr int kCommandReplyTimeoutMs = 5 * 60 * 1000;  // greeting, HELO, RSET, MAIL, RCPT
inline constexpr int kDataReplyTimeoutMs = 2 * 60 * 1000;     // the reply(ies) to DATA
inline constexpr int kBodyWriteTimeoutMs = 3 * 60 * 1000;     // each write of the message text
inline constexpr int kFinalReplyTimeoutMs = 10 * 60 * 1000;   // the reply to the closing "."

// The most of a server's reply that a message quotes.
inline constexpr std::size_t kReplyTextMax = 255;

class SmtpSession final : public SessionProtocol {
public:
    SmtpSession(const MailConfig& config, Reporter& reporter) : config_(config), reporter_(reporter) {}

    const char* name() const override { return "SMTP"; }
    unsigned short defaultPort() const override { return 25; }
    std::string_view server() const override { return config_.smtpServer.text(); }
    // The opening exchange, then every queued message in the order the
    // directory lists them.
    SessionResult dialogue(Link& link) override;
    void receiveQuitReply(Link& link) override;

private:
    // A step of a transaction: nothing while the transaction goes on,
    // otherwise how it ended (Done: this message is dealt with, go on).
    using Step = std::optional<SessionResult>;

    Step opening(Link& link);
    SessionResult sendMessage(Link& link, const std::string& dir, const std::string& name, unsigned long number);
    Step openMessage(QueuedMessage& m, const std::string& dir, const std::string& name);
    Step reset(Link& link);
    Step mailFrom(Link& link, const QueuedMessage& m);
    Step recipients(Link& link, QueuedMessage& m);
    Step data(Link& link, const QueuedMessage& m);
    Step text(Link& link, QueuedMessage& m);
    SessionResult endOfData(Link& link, const QueuedMessage& m, std::time_t messageStart);

    // Sends a command line (one write) and reads its reply, whole, within
    // `timeoutMs` into reply_ and code_; false when the link failed.
    bool exchange(Link& link, std::string_view command, int timeoutMs);
    // Reads one more reply; false when the link failed.
    bool receive(Link& link);
    // The last line of the reply as a message shows it: control bytes as
    // "\xHH", at most 255 characters, without a final full stop.
    std::string replyForMessage() const;
    // Reports a console text and its log line; returns `result`.
    SessionResult tell(SessionResult result, const std::string& console, char code, const std::string& log);

    const MailConfig& config_;
    Reporter& reporter_;
    Reply reply_;    // the reply most recently read
    int code_ = -1;  // its code
};

}  // namespace quorvexia
