#include "smtp_session.h"

#include <cstdio>

#include "activity_log.h"
#include "console.h"
#include "korv_state.h"
#include "platform/dir_search.h"

namespace quorvexia {

namespace {
constexpr SessionResult kDone = SessionResult::Done;
constexpr SessionResult kStopped = SessionResult::Stopped;
constexpr SessionResult kLinkFailed = SessionResult::LinkFailed;
}  // namespace

SessionResult SmtpSession::tell(SessionResult result, const std::string& console, char code, const std::string& log) {
    reporter_.report(console, code, log);
    return result;
}

bool SmtpSession::receive(Link& link) {
    if (!link.receiveReply(reply_)) return false;
    code_ = reply_.code;
    return true;
}

void SmtpSession::receiveQuitReply(Link& link) { link.receiveReply(reply_); }

std::string SmtpSession::replyForMessage() const {
    std::string text;
    for (unsigned char c : reply_.lastLine) {
        if (c < 0x20 || c == 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
            text += escaped;
        } else {
            text += static_cast<char>(c);
        }
        if (text.size() >= kReplyTextMax) break;
    }
    if (text.size() > kReplyTextMax) text.resize(kReplyTextMax);
    // The sentence brings its own full stop.
    if (!text.empty() && text.back() == '.') text.pop_back();
    return text;
}

bool SmtpSession::exchange(Link& link, std::string_view command, int timeoutMs) {
    link.sendLine(command);  // a failed send shows at the receive through the latch
    link.setTimeout(timeoutMs);
    return receive(link);
}

SmtpSession::Step SmtpSession::opening(Link& link) {
    link.setTimeout(kCommandReplyTimeoutMs);
    if (tls_.security != TransportSecurity::None) return secureOpening(link);
    if (!receive(link)) return kLinkFailed;
    if (code_ == -1) return tell(kStopped, "Invalid SMTP remote greeting.\n", '!', "Invalid SMTP remote greeting");
    if (code_ >= 400)
        return tell(kStopped, "SMTP server is not ready.\n", '!', Format("SMTP server is not ready; error %d", code_));

    std::string domain(config_.domainName.text());
    if (!exchange(link, Format("HELO %s", domain.c_str()), kCommandReplyTimeoutMs)) return kLinkFailed;
    if (code_ == -1) return tell(kStopped, "Invalid HELO command response.\n", '!', "Invalid HELO command response");
    if (code_ >= 400)
        return tell(kStopped, "Invalid local domain name.\n", '!',
                    Format("Invalid local domain name; error %d", code_));
    return std::nullopt;
}

SessionResult SmtpSession::dialogue(Link& link) {
    if (Step r = opening(link)) return *r;
    std::string dir(config_.outboundDir.text());
    platform::DirSearch queueScan(dir, "*.wrk");
    std::string name;
    unsigned long number = 0;
    while (queueScan.next(name)) {
        SessionResult r = sendMessage(link, dir, name, ++number);
        if (r != kDone) return r;
    }
    return kDone;
}

// One SMTP transaction for the envelope file `name`.
SessionResult SmtpSession::sendMessage(Link& link, const std::string& dir, const std::string& name,
                                       unsigned long number) {
    std::time_t messageStart = std::time(nullptr);
    ConsoleOpenProgressLine("Sending message #%lu... ", number);
    QueuedMessage m;
    if (Step r = openMessage(m, dir, name)) return *r;
    if (pipelining_) {
        if (Step r = commandGroup(link, m)) return *r;
    } else {
        if (Step r = reset(link)) return *r;
        if (Step r = mailFrom(link, m)) return *r;
        if (Step r = recipients(link, m)) return *r;
        if (Step r = data(link, m)) return *r;
    }
    if (Step r = text(link, m)) return *r;
    return endOfData(link, m, messageStart);
}

// The envelope file, its sender and the text file; a pair that cannot be
// read stays in the queue.
SmtpSession::Step SmtpSession::openMessage(QueuedMessage& m, const std::string& dir, const std::string& name) {
    const char* base = m.baseName();
    if (!m.formNames(dir, name) || !m.openEnvelope())
        return tell(kDone, Format("Error accessing file %s.WRK.\n", base), '?',
                    Format("Error accessing file %s.WRK; message %s", base, base));
    if (!m.readSender())
        return tell(kDone, "Invalid mail sender.\n", '?', Format("Invalid mail sender; message %s", base));
    if (!m.openText())
        return tell(kDone, Format("Error accessing file %s.TXT.\n", base), '?',
                    Format("Error accessing file %s.TXT; message %s", base, base));
    return std::nullopt;
}

SmtpSession::Step SmtpSession::reset(Link& link) {
    if (!exchange(link, "RSET", kCommandReplyTimeoutMs)) return kLinkFailed;
    return judgeReset();
}

SmtpSession::Step SmtpSession::judgeReset() {
    if (code_ == -1) return tell(kStopped, "Invalid RSET command response.\n", '!', "Invalid RSET command response");
    if (code_ >= 400) {
        std::string text = Format("Can't reset; error %d", code_);
        return tell(kStopped, text + ".\n", '!', text);
    }
    return std::nullopt;
}

std::string SenderCommand(const QueuedMessage& m) {
    char command[kReplyLineSize];
    std::snprintf(command, sizeof command, "MAIL FROM:<%s>", m.sender());
    return command;
}

std::string RecipientCommand(const char* address) {
    char command[kReplyLineSize];
    std::snprintf(command, sizeof command, "RCPT TO:<%s>", address);
    return command;
}

SmtpSession::Step SmtpSession::mailFrom(Link& link, const QueuedMessage& m) {
    if (!exchange(link, SenderCommand(m), kCommandReplyTimeoutMs)) return kLinkFailed;
    return judgeSender(m);
}

SmtpSession::Step SmtpSession::judgeSender(const QueuedMessage& m) {
    if (code_ == -1)
        return tell(kStopped, "Invalid MAIL FROM command response.\n", '!',
                    Format("Invalid MAIL FROM command response; message %s", m.baseName()));
    if (code_ == 530 || code_ == 421) {
        // Authentication required, or the server is closing: no sender of
        // this queue would fare better, so the session ends here.
        std::string reply = replyForMessage();
        return tell(kStopped, Format("SMTP server refused mail: %s.\n", reply.c_str()), '!',
                    Format("SMTP server refused mail: %s", reply.c_str()));
    }
    if (code_ >= 400)
        return tell(kDone, "Invalid mail sender.\n", '?',
                    Format("Invalid mail sender; error %d; message %s", code_, m.baseName()));
    return std::nullopt;
}

// One RCPT for every recipient line; a refused or cut address is logged and
// passed over, and the transaction goes on when at least one was accepted.
SmtpSession::Step SmtpSession::recipients(Link& link, QueuedMessage& m) {
    unsigned listed = 0, accepted = 0;
    bool whole = true;
    while (m.nextRecipient(whole)) {
        ++listed;
        if (!whole) {
            cutRecipient(m.recipient());
            continue;
        }
        if (!exchange(link, RecipientCommand(m.recipient()), kCommandReplyTimeoutMs)) return kLinkFailed;
        if (Step r = judgeRecipient(m, m.recipient(), accepted)) return r;
    }
    m.closeEnvelope();
    return judgeRecipients(m, listed, accepted);
}

// A piece of a longer address would send the message elsewhere.
void SmtpSession::cutRecipient(const char* address) { reporter_.log('?', Format("Invalid recipient: %s", address)); }

SmtpSession::Step SmtpSession::judgeRecipient(const QueuedMessage& m, const char* address, unsigned& accepted) {
    if (code_ == -1)
        return tell(kStopped, "Invalid RCPT command response.\n", '!',
                    Format("Invalid RCPT command response; message %s", m.baseName()));
    if (code_ >= 400) {
        reporter_.log('?', Format("Invalid recipient: %s", address));
    } else {
        ++accepted;
    }
    return std::nullopt;
}

SmtpSession::Step SmtpSession::judgeRecipients(const QueuedMessage& m, unsigned listed, unsigned accepted) {
    if (listed == 0)
        return tell(kDone, "No valid recipients found.\n", '?',
                    Format("No valid recipients found; message %s", m.baseName()));
    if (accepted == 0)
        return tell(kDone, "All recipients are invalid.\n", '?',
                    Format("All recipients are invalid; message %s", m.baseName()));
    return std::nullopt;
}

SmtpSession::Step SmtpSession::data(Link& link, const QueuedMessage& m) {
    link.sendLine("DATA");
    return dataReply(link, m);
}

// The 354 must come among the first three replies; replies before it with
// codes below 400 are passed over.
SmtpSession::Step SmtpSession::dataReply(Link& link, const QueuedMessage& m) {
    link.setTimeout(kDataReplyTimeoutMs);
    for (int replyNo = 1;; ++replyNo) {
        if (!receive(link)) return kLinkFailed;
        if (code_ >= 400)
            return tell(kDone, "Can't send message.\n", '?',
                        Format("Can't send message; error %d; message %s", code_, m.baseName()));
        if (code_ == -1 || replyNo == 4)
            return tell(kStopped, "Invalid DATA command response.\n", '!',
                        Format("Invalid DATA command response; message %s", m.baseName()));
        if (code_ == 354) return std::nullopt;
    }
}

// The message text, line by line, leading dots doubled.
SmtpSession::Step SmtpSession::text(Link& link, QueuedMessage& m) {
    progressCalls = 0;
    progressWidth = 0;
    ShowProgress(m.size(), 0);
    link.setTimeout(kBodyWriteTimeoutMs);
    std::string_view line;
    while (m.nextTextLine(line)) {
        if (!link.queueLine(line)) return kLinkFailed;
        if (!debugMode) ShowProgress(m.size(), m.textPosition());
    }
    if (m.textFailed()) {
        // Ending the text with "." would deliver it cut short; dropping the
        // connection instead makes the server discard the transaction, and the
        // pair stays for the next run.
        reporter_.report(Format("Error accessing file %s.TXT.\n", m.baseName()), '!',
                         Format("Error accessing file %s.TXT; message %s", m.baseName(), m.baseName()));
        link.abandon();
        return kLinkFailed;
    }
    m.closeText();
    progressCalls = 0;
    ShowProgress(m.size(), m.size());
    EndProgressLine();
    return std::nullopt;
}

// The queued text goes out with the "." line, before its reply is read.
SessionResult SmtpSession::endOfData(Link& link, const QueuedMessage& m, std::time_t messageStart) {
    if (!exchange(link, ".", kFinalReplyTimeoutMs)) return kLinkFailed;
    if (code_ == -1)
        return tell(kStopped, "Invalid message data response.\n", '!',
                    Format("Invalid message data response; message %s", m.baseName()));
    if (code_ >= 200 && code_ <= 299) {
        m.removePair();
        unsigned long seconds = SecondsSince(messageStart);
        long rate = seconds > 0 ? static_cast<long>(static_cast<unsigned long>(m.size()) / seconds) : 0;
        reporter_.log('*', Format("Sent %s to %s; %ldb, %ld CPS", m.baseName(), m.logRecipient(),
                                  static_cast<long>(m.size()), rate));
    } else if (code_ >= 500) {
        reporter_.report("Permanent failure.\n", '?',
                         Format("Permanent failure; error %d; message %s.\n", code_, m.baseName()));
        if (!m.keepRefused())
            reporter_.report(Format("Can't move message %s to refused.\n", m.baseName()), '?',
                             Format("Can't move message %s to refused", m.baseName()));
    } else if (code_ >= 400) {
        reporter_.report("Invalid message data.\n", '?',
                         Format("Invalid message data; error %d; message %s", code_, m.baseName()));
    }
    return kDone;
}

}  // namespace quorvexia
