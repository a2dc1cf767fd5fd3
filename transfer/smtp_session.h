// One SMTP connection of the send phase on the shared session frame: the
// opening exchange (greeting and HELO; in the TLS forms EHLO, STARTTLS and
// AUTH, see smtp_sign_in.cpp), then one transaction for each pair
// of the outbound queue, each command a step of its own that judges its reply
// once, and the time limits for the replies.
#pragma once

#include <ctime>
#include <optional>
#include <string>

#include "config/mail_config.h"
#include "config/side_file.h"
#include "outbound_queue.h"
#include "sasl.h"
#include "session_frame.h"

namespace quorvexia {

// Time limits for the replies, as RFC 5321 advises a client (4.5.3.2).
inline constexpr int kCommandReplyTimeoutMs = 5 * 60 * 1000;  // greeting, HELO, RSET, MAIL, RCPT
inline constexpr int kDataReplyTimeoutMs = 2 * 60 * 1000;     // the reply(ies) to DATA
inline constexpr int kBodyWriteTimeoutMs = 3 * 60 * 1000;     // each write of the message text
inline constexpr int kFinalReplyTimeoutMs = 10 * 60 * 1000;   // the reply to the closing "."

// The commands of a transaction.
std::string SenderCommand(const QueuedMessage& m);
std::string RecipientCommand(const char* address);

// The most of a server's reply that a message quotes.
inline constexpr std::size_t kReplyTextMax = 255;

class SmtpSession final : public SessionProtocol {
public:
    SmtpSession(const MailConfig& config, const SideSettings& side, Reporter& reporter)
        : config_(config), side_(side), reporter_(reporter),
          tls_(MakeTlsSetup(config.smtpServer.text(), ServerProtocol::Smtp, side)) {}

    const char* name() const override { return "SMTP"; }
    std::string_view server() const override { return config_.smtpServer.text(); }
    const TlsSetup& tls() const override { return tls_; }
    bool mayRetry() const override { return retryable_; }
    // The opening exchange, then every queued message in the order the
    // directory lists them.
    SessionResult dialogue(Link& link) override;
    void receiveQuitReply(Link& link) override;

private:
    // A step of a transaction: nothing while the transaction goes on,
    // otherwise how it ended (Done: this message is dealt with, go on).
    using Step = std::optional<SessionResult>;

    Step opening(Link& link);
    // The TLS forms (smtp_sign_in.cpp): EHLO, STARTTLS when asked for, AUTH.
    Step secureOpening(Link& link);
    Step ehlo(Link& link, Capabilities& caps);
    Step startTls(Link& link, Capabilities& caps);
    Step authPlain(Link& link, const Credentials& c);
    Step authLogin(Link& link, const Credentials& c);
    Step authXoauth2(Link& link, const Credentials& c);
    Step authOauthBearer(Link& link, const Credentials& c);
    Step authResult(const Reply& reply);
    Step authToken(Link& link, Credentials& c, const Capabilities& caps);
    // Sends a line (shown as `echo` by /debug) and reads its whole reply.
    bool replyTo(Link& link, std::string_view command, std::string_view echo, Reply& reply,
                 std::vector<std::string>* lines = nullptr);
    // Reports a failure of the TLS forms; `retryable` is for /tries.
    Step failSecure(std::string reason, bool retryable);
    SessionResult sendMessage(Link& link, const std::string& dir, const std::string& name, unsigned long number);
    Step openMessage(QueuedMessage& m, const std::string& dir, const std::string& name);
    Step reset(Link& link);
    Step mailFrom(Link& link, const QueuedMessage& m);
    Step recipients(Link& link, QueuedMessage& m);
    Step data(Link& link, const QueuedMessage& m);
    // RSET, MAIL, the RCPTs and DATA sent as groups (RFC 2920, see
    // smtp_pipelining.cpp), their replies judged as the steps above judge them.
    Step commandGroup(Link& link, QueuedMessage& m);
    // The judgements of the steps, on the reply in reply_ and code_.
    Step judgeReset();
    Step judgeSender(const QueuedMessage& m);
    Step judgeRecipient(const QueuedMessage& m, const char* address, unsigned& accepted);
    Step judgeRecipients(const QueuedMessage& m, unsigned listed, unsigned accepted);
    void cutRecipient(const char* address);
    // Reads the reply(ies) to DATA up to the 354.
    Step dataReply(Link& link, const QueuedMessage& m);
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
    const SideSettings& side_;
    Reporter& reporter_;
    TlsSetup tls_;
    bool retryable_ = true;
    // A stored token the server refuses is refreshed and tried once more:
    // while that is still possible, a refusal is not yet reported.
    bool tokenRetryLeft_ = false;
    bool tokenRefused_ = false;
    bool pipelining_ = false;  // EHLO over TLS listed PIPELINING (RFC 2920)
    Reply reply_;    // the reply most recently read
    int code_ = -1;  // its code
};

}  // namespace quorvexia
