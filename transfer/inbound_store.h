// The inbound store: the message loop that fetches every waiting message of
// a logged-in POP3 connection into a message file pair in the inbound
// directory and deletes it on the server, and the files of the message in work.
//
// A pair becomes visible in this order: the text file grows under its own
// name; once it is complete and closed, the envelope file is written under a
// temporary name, and DELE is sent. Before QUIT, everything the session
// stored reaches stable storage in one sync, and only then do the envelope
// files get their final names (makeDurable), for only QUIT makes the server
// delete anything. A reader that sees an envelope file therefore always finds
// the whole text beside it, on disk; a connection that ends without QUIT
// leaves no envelope file at all, as the server keeps every message.
//
// When the server offers PIPELINING (the TLS forms), commands that do not
// depend on a reply still due are sent ahead: the LIST (and, without a size
// limit, the RETR) of the following messages, within a small window. The
// commands and the order of each message's commands stay those of lock-step;
// replies are read in the order of the commands, and a DELE n still goes out
// only once message n's pair is stored.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "config/mail_config.h"
#include "line_transport.h"
#include "platform/file_sync.h"
#include "platform/stdio_file.h"
#include "reporter.h"
#include "session_frame.h"

namespace quorvexia {

inline constexpr std::size_t kInboundPathSize = 256;
inline constexpr std::uint32_t kNameCandidates = 1024;
// The window of commands sent ahead: 256 messages cover the round trip of a
// distant server many times over, and the commands outstanding stay under
// 8 KiB, half the smallest send buffer a socket gets by default, so no write
// waits for a server that is itself waiting to write its replies.
inline constexpr std::size_t kPipelineCommands = 512;
inline constexpr std::size_t kPipelineBytes = 8192;

// One POP3 command and its one-line reply, left in `reply`; false when the
// link failed. `secret` hides the line in the debug echo.
bool Pop3Exchange(Link& link, std::string_view command, std::string_view& reply, bool secret = false);
inline bool IsPositive(std::string_view reply) { return !reply.empty() && reply[0] == '+'; }

class InboundStore {
public:
    InboundStore(const MailConfig& config, RunState& run, Reporter& reporter);
    InboundStore(const InboundStore&) = delete;
    InboundStore& operator=(const InboundStore&) = delete;

    // The message loop, from the announcement of the STAT figures on. Done
    // when every message was dealt with, Stopped when a local file failure or
    // a refused deletion stopped it. `pipelining`: the server takes commands
    // sent ahead. Every reply still due is read before it returns, unless the
    // link failed.
    SessionResult receiveAll(Link& link, std::uint32_t count, std::uint32_t total, bool pipelining = false);

    // Forces the pairs stored on this connection to stable storage and then
    // gives their envelope files the final names, before QUIT. When that
    // fails, they are removed again (the server keeps them all, as no QUIT
    // reaches it), the failure is reported, and the result is false: QUIT
    // must not be sent.
    bool makeDurable();

    // After the connection: closes what is open and removes the files of
    // every pair not made durable (the server still has those messages) and
    // of a message that was not completed (a missing file is no error).
    void tidyUp();

private:
    // How one message ended: nothing when it was dealt with (stored, left or
    // skipped), otherwise the loop's result.
    using Step = std::optional<SessionResult>;

    // A command on its way whose reply is still due.
    struct Pending {
        enum Kind { List, Retr, Dele } kind;
        unsigned long n;
        std::size_t bytes;
    };
    // A pair stored on this connection: its text file, and its envelope file
    // under the temporary and the final name.
    struct StagedPair {
        unsigned long n;
        std::string text, temporary, envelope;
    };

    Step receiveMessage(Link& link, unsigned long n);
    Step handleOversize(Link& link, unsigned long n);
    Step storeMessage(Link& link, unsigned long n, std::int32_t expected, long& size);
    Step storeText(Link& link, std::int32_t expected);
    Step deleteOnServer(Link& link, unsigned long n);
    // Queues a command and notes that its reply is due.
    void send(Link& link, Pending::Kind kind, unsigned long n);
    // Sends the LIST of message `n` unless it went ahead, and when
    // pipelining, the commands of the following messages that fit the window.
    void sendAhead(Link& link, unsigned long n);
    // Takes the next reply due, and what it answers.
    bool nextReply(Link& link, Pending& due, std::string_view& reply);
    // Reads the replies due up to the one to `kind` `n`, left in `reply`;
    // the replies before it answer DELEs sent earlier.
    Step awaitReply(Link& link, Pending::Kind kind, unsigned long n, std::string_view& reply);
    Step judgeDeletion(std::string_view reply, unsigned long n);
    // Reads the answer to a RETR whose message is not wanted after all.
    bool skipRetrieved(Link& link, std::string_view reply);
    // Reads every reply still due, after the loop ended.
    Step drain(Link& link);
    // Removes the files of a stored pair (whose message stays on the server).
    void discard(const StagedPair& pair) const;
    // Removes the temporary envelope files a killed run left, with their texts.
    void removeStaleTemporaries();
    bool chooseBaseName();
    void setPaths(std::uint32_t candidate);
    bool finishText(long& size);
    bool writeEnvelope();
    void advanceCounter();
    void warn(const char* text, unsigned long n);
    SessionResult fileFailure(const char* console, const char* log, unsigned long n);

    const MailConfig& config_;
    RunState& run_;
    Reporter& reporter_;

    // True while no half-written inbound files exist: cleared before a
    // message's text file is created, set again once it is a staged pair.
    bool messageComplete_ = true;
    bool pipelining_ = false;
    bool retrAhead_ = false;        // RETR goes out with LIST, as no size limit can stop it
    bool textUnread_ = false;       // a RETR was answered and its text not read to the end
    std::uint32_t count_ = 0;       // messages in the mailbox
    unsigned long nextAhead_ = 1;   // the next message whose LIST is not sent yet
    std::deque<Pending> pending_;   // in the order of the replies
    std::size_t pendingBytes_ = 0;
    std::map<unsigned long, std::string> earlyLists_;  // LIST replies read before their message's turn
    std::string heldReply_;
    platform::StdioFile textFile_;
    platform::StdioFile envelopeFile_;
    platform::SyncedDirectory directory_;  // the inbound directory, for forcing the stored pairs to disk
    // The pairs stored on this connection and not yet made durable.
    std::vector<StagedPair> staged_;
    char baseName_[16] = "";               // "%08lu" of a 32-bit counter
    char textPath_[kInboundPathSize] = "";
    char envelopePath_[kInboundPathSize] = "";
    char envelopeTempPath_[kInboundPathSize] = "";
    char sender_[256] = "";
    char recipient_[256] = "";
    // Large writes to the text file; one text file is open at a time.
    std::unique_ptr<char[]> textBuffer_;
};

}  // namespace quorvexia
