// The transaction of the TLS forms when EHLO lists PIPELINING (RFC 2920):
// RSET, MAIL, the RCPTs and DATA go out as one group, the commands those of
// lock-step in its order, and the replies are judged in that order by the
// same steps, so every outcome is lock-step's. A group larger than the
// window goes out in parts, with replies read in between, so that neither
// side can block on a full socket buffer.
//
// Where lock-step would have ended the transaction before a command that has
// gone out already (a refused sender, every recipient refused), the replies
// that follow are read and passed over. A 354 that lock-step would never have
// had is answered by a lone "." when no recipient was accepted, as RFC 2920
// says (nothing can be delivered to nobody); otherwise the connection is
// dropped, which makes the server discard the transaction. A reply that
// stops the session in lock-step drops the connection too: what is still on
// its way could only be answered by sending the message.
#include <deque>

#include "smtp_session.h"

namespace quorvexia {

namespace {

constexpr SessionResult kStopped = SessionResult::Stopped;
constexpr SessionResult kLinkFailed = SessionResult::LinkFailed;
constexpr std::size_t kGroupCommands = 64;
constexpr std::size_t kGroupBytes = 4096;

// A command of the group whose reply is still due, or a recipient line that
// was cut and is only logged, in its place in the order.
struct Due {
    enum Kind { Reset, Sender, Recipient, CutRecipient, Data } kind;
    std::string address;
    std::size_t bytes;
};

}  // namespace

SmtpSession::Step SmtpSession::commandGroup(Link& link, QueuedMessage& m) {
    std::deque<Due> due;
    std::size_t bytes = 0;
    unsigned listed = 0, accepted = 0;
    unsigned sentRecipients = 0;
    Step outcome;               // lock-step would have ended the transaction here
    bool lateAccepted = false;  // a recipient accepted all the same after that

    auto put = [&](Due::Kind kind, const std::string& command, const char* address = "") {
        link.queueLine(command);  // a failed send shows at the next receive through the latch
        due.push_back({kind, address, command.size() + 2});
        bytes += command.size() + 2;
    };
    // Judges the first reply due; a result ends the transaction at once.
    auto judgeNext = [&]() -> Step {
        Due d = std::move(due.front());
        due.pop_front();
        bytes -= d.bytes;
        if (d.kind == Due::CutRecipient) {
            if (!outcome) cutRecipient(d.address.c_str());
            return std::nullopt;
        }
        if (d.kind == Due::Data && !outcome) {
            outcome = judgeRecipients(m, listed, accepted);
            if (!outcome) return dataReply(link, m);
        }
        link.setTimeout(d.kind == Due::Data ? kDataReplyTimeoutMs : kCommandReplyTimeoutMs);
        if (!receive(link)) return kLinkFailed;
        if (outcome) {
            if (d.kind == Due::Recipient && code_ >= 200 && code_ < 400) lateAccepted = true;
            if (d.kind != Due::Data || code_ != 354) return std::nullopt;
            if (accepted > 0 || lateAccepted) {
                link.abandon();
                return kStopped;
            }
            link.setTimeout(kFinalReplyTimeoutMs);
            link.sendLine(".");
            return receive(link) ? std::nullopt : Step(kLinkFailed);
        }
        Step r = d.kind == Due::Reset    ? judgeReset()
                 : d.kind == Due::Sender ? judgeSender(m)
                                         : judgeRecipient(m, d.address.c_str(), accepted);
        if (r == kStopped) {
            link.abandon();
            return kStopped;
        }
        outcome = r;
        return std::nullopt;
    };

    put(Due::Reset, "RSET");
    put(Due::Sender, SenderCommand(m));
    bool whole = true;
    while (!outcome && m.nextRecipient(whole)) {
        ++listed;
        if (!whole) {
            due.push_back({Due::CutRecipient, m.recipient(), 0});
            continue;
        }
        while (due.size() >= kGroupCommands || bytes >= kGroupBytes)
            if (Step r = judgeNext()) return r;
        if (outcome) break;
        put(Due::Recipient, RecipientCommand(m.recipient()), m.recipient());
        ++sentRecipients;
    }
    m.closeEnvelope();
    // As in lock-step, DATA only follows a RCPT.
    bool dataSent = !outcome && sentRecipients > 0;
    if (dataSent) put(Due::Data, "DATA");
    while (!due.empty())
        if (Step r = judgeNext()) return r;
    if (outcome) return outcome;
    return dataSent ? std::nullopt : judgeRecipients(m, listed, accepted);
}

}  // namespace quorvexia
