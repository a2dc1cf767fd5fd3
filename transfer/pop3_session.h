// One receive attempt: a POP3 connection through the session frame, its login
// (in the TLS forms CAPA, STLS and AUTH first, see pop3_sign_in.cpp) and
// mailbox status, the message loop of the inbound store, and afterwards
// the tidying of an interrupted message and the saving of the message counter
// into korv.cfg, which keeps it from one run to the next.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "config/mail_config.h"
#include "config/side_file.h"
#include "inbound_store.h"
#include "sasl.h"
#include "session_frame.h"

namespace quorvexia {

class Pop3Session final : public SessionProtocol {
public:
    Pop3Session(const MailConfig& config, const SideSettings& side, RunState& run, Reporter& reporter)
        : config_(config), side_(side), run_(run), reporter_(reporter), store_(config, run, reporter),
          tls_(MakeTlsSetup(config.pop3Server.text(), ServerProtocol::Pop3, side)) {}

    const char* name() const override { return "POP3"; }
    std::string_view server() const override { return config_.pop3Server.text(); }
    const TlsSetup& tls() const override { return tls_; }
    bool mayRetry() const override { return retryable_; }
    // Greeting, USER, PASS, STAT, then the message loop.
    SessionResult dialogue(Link& link) override;
    // What was stored must be on disk before QUIT lets the server delete it.
    bool readyToQuit() override { return store_.makeDurable(); }
    // Removes an interrupted message and saves the counter into korv.cfg.
    void tidyUp(SessionResult result) override;

private:
    // A step of the login: nothing while it goes on, otherwise how it ended.
    using Step = std::optional<SessionResult>;

    // A refusal that ends the connection: the console sentence and its log line.
    SessionResult refused(const char* text);
    Step login(Link& link);
    // The TLS forms (pop3_sign_in.cpp): CAPA, STLS when asked for, AUTH.
    Step secureLogin(Link& link, Credentials& credentials);
    Step authToken(Link& link, Credentials& credentials);
    Step capabilities(Link& link, Capabilities& caps);
    Step startTls(Link& link, Capabilities& caps);
    Step authResult(std::string_view reply);
    // Reports a failure of the TLS forms; `retryable` is for /tries.
    Step failSecure(std::string reason, bool retryable);

    const MailConfig& config_;
    const SideSettings& side_;
    RunState& run_;
    Reporter& reporter_;
    InboundStore store_;
    TlsSetup tls_;
    bool retryable_ = true;
    bool tokenRetryLeft_ = false;  // as in SmtpSession
    bool tokenRefused_ = false;
    bool signedIn_ = false;  // AUTH did the login; USER and PASS are not sent
    bool pipelining_ = false;  // CAPA over TLS listed PIPELINING (RFC 2449)
};

// The numbers of a STAT or LIST reply: the first two texts that follow runs
// of spaces, each read as a signed decimal. Returns how many were read (0, 1
// or 2); an output is written only when its number was read.
int ParseReplyNumbers(const char* reply, std::int32_t* first, std::int32_t* second);

}  // namespace quorvexia
