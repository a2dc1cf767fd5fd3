// One receive attempt: a POP3 connection through the session frame, its login
// and mailbox status, the message loop of the inbound store, and afterwards
// the tidying of an interrupted message and the saving of the message counter
// into korv.cfg, which keeps it from one run to the next.
#pragma once

#include <cstdint>

#include "config/mail_config.h"
#include "inbound_store.h"
#include "session_frame.h"

namespace quorvexia {

class Pop3Session final : public SessionProtocol {
public:
    Pop3Session(const MailConfig& config, RunState& run, Reporter& reporter)
        : config_(config), run_(run), reporter_(reporter), store_(config, run, reporter) {}

    const char* name() const override { return "POP3"; }
    unsigned short defaultPort() const override { return 110; }
    std::string_view server() const override { return config_.pop3Server.text(); }
    // Greeting, USER, PASS, STAT, then the message loop.
    SessionResult dialogue(Link& link) override;
    // What was stored must be on disk before QUIT lets the server delete it.
    bool readyToQuit() override { return store_.makeDurable(); }
    // Removes an interrupted message and saves the counter into korv.cfg.
    void tidyUp(SessionResult result) override;

private:
    // A refusal that ends the connection: the console sentence and its log line.
    SessionResult refused(const char* text);

    const MailConfig& config_;
    RunState& run_;
    Reporter& reporter_;
    InboundStore store_;
};

// The numbers of a STAT or LIST reply: the first two texts that follow runs
// of spaces, each read as a signed decimal. Returns how many were read (0, 1
// or 2); an output is written only when its number was read.
int ParseReplyNumbers(const char* reply, std::int32_t* first, std::int32_t* second);

}  // namespace quorvexia
