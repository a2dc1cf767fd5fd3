// The inbound store: the message loop that fetches every waiting message of
// a logged-in POP3 connection into a message file pair in the inbound
// directory and deletes it on the server, and the files of the message in work.
//
// A pair becomes visible in this order: the text file grows under its own
// name; once it is complete and closed, the envelope file is written under a
// temporary name and renamed into place; only then is DELE sent. A reader
// that sees an envelope file therefore always finds the whole text beside it.
// Everything the session stored reaches stable storage in one sync before
// QUIT (makeDurable), for only QUIT makes the server delete anything.
#pragma once

#include <cstdint>
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
    // a refused deletion stopped it.
    SessionResult receiveAll(Link& link, std::uint32_t count, std::uint32_t total);

    // Forces the pairs stored on this connection to stable storage, before
    // QUIT. When that fails, they are removed again (the server keeps them
    // all, as no QUIT reaches it), the failure is reported, and the result is
    // false: QUIT must not be sent.
    bool makeDurable();

    // After the connection: closes what is open and removes both files of a
    // message that was not completed (a missing file is no error).
    void tidyUp();

private:
    // How one message ended: nothing when it was dealt with (stored, left or
    // skipped), otherwise the loop's result.
    using Step = std::optional<SessionResult>;

    Step receiveMessage(Link& link, unsigned long n);
    Step handleOversize(Link& link, unsigned long n);
    Step storeMessage(Link& link, unsigned long n, std::int32_t expected, long& size);
    Step storeText(Link& link, std::int32_t expected);
    Step deleteOnServer(Link& link, unsigned long n);
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
    // message's text file is created, set again once the server has accepted
    // its deletion.
    bool messageComplete_ = true;
    platform::StdioFile textFile_;
    platform::StdioFile envelopeFile_;
    platform::SyncedDirectory directory_;  // the inbound directory, for forcing the stored pairs to disk
    // The pairs stored on this connection and not yet forced to disk: text
    // path and envelope path.
    std::vector<std::pair<std::string, std::string>> unsynced_;
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
