#include "inbound_store.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <strings.h>

#include "activity_log.h"
#include "console.h"
#include "header_text.h"
#include "platform/file_open.h"
#include "platform/paths.h"
#include "pop3_session.h"

namespace quorvexia {

namespace {

constexpr std::size_t kTextBufferSize = 64 * 1024;
constexpr const char* kCantCreateText = "Can't create file %s.TXT.";
constexpr const char* kCantCreateTextLog = "Can't create file %s.TXT; message %lu";

bool StartsWith(std::string_view line, const char* name) {
    std::size_t n = std::strlen(name);
    return line.size() >= n && strncasecmp(line.data(), name, n) == 0;
}

void ShowReceived(std::int32_t expected, std::int64_t received) {
    ShowProgress(expected, received > INT32_MAX ? INT32_MAX : static_cast<std::int32_t>(received));
}

}  // namespace

bool Pop3Exchange(Link& link, std::string_view command, std::string_view& reply, bool secret) {
    bool sent = secret ? link.sendSecretLine(command) : link.sendLine(command);
    return sent && link.receiveLine(reply);
}

InboundStore::InboundStore(const MailConfig& config, RunState& run, Reporter& reporter)
    : config_(config), run_(run), reporter_(reporter), textBuffer_(new char[kTextBufferSize]) {}

// A per-message problem: told on the console and logged with '?'; the run goes on.
void InboundStore::warn(const char* text, unsigned long n) {
    reporter_.report(Format("%s.\n", text), '?', Format("%s; message %lu", text, n));
}

// A file failure that stops the loop. The console text has no line end, so
// "Closing connection..." follows on the same line.
SessionResult InboundStore::fileFailure(const char* console, const char* log, unsigned long n) {
    reporter_.report(Format(console, baseName_), '!', Format(log, baseName_, n));
    return SessionResult::Stopped;
}

void InboundStore::setPaths(std::uint32_t candidate) {
    std::string dir(config_.inboundDir.text());
    std::snprintf(baseName_, sizeof baseName_, "%08lu", static_cast<unsigned long>(candidate));
    std::snprintf(envelopePath_, sizeof envelopePath_, "%.79s%c%.10s.wrk", dir.c_str(), platform::kPathSeparator,
                  baseName_);
    std::snprintf(textPath_, sizeof textPath_, "%.79s%c%.10s.txt", dir.c_str(), platform::kPathSeparator,
                  baseName_);
    // A name no reader takes for an envelope: hidden, and not ending in ".wrk".
    std::snprintf(envelopeTempPath_, sizeof envelopeTempPath_, "%.79s%c.%.10s.tmp", dir.c_str(),
                  platform::kPathSeparator, baseName_);
}

// The first counter value from the message counter on whose envelope file
// does not exist, among at most 1024 candidates that stay within 32 bits;
// false when every one is taken (a stored pair is never overwritten).
bool InboundStore::chooseBaseName() {
    std::uint32_t first = run_.messageCounter;
    for (std::uint32_t i = 0; i < kNameCandidates; ++i) {
        std::uint32_t candidate = first + i;
        if (candidate < first) break;  // past the 32-bit limit
        setPaths(candidate);
        if (!platform::NameTaken(envelopePath_)) {
            run_.messageCounter = candidate;
            return true;
        }
    }
    setPaths(first);
    return false;
}

// The counter moves on by one for every message dealt with, but never wraps:
// at the limit the next message finds no free name and stops the loop.
void InboundStore::advanceCounter() {
    if (run_.messageCounter != UINT32_MAX) ++run_.messageCounter;
}

// Streams the text of a retrieved message into the open text file, up to the
// line that is a single dot.
InboundStore::Step InboundStore::storeText(Link& link, std::int32_t expected) {
    std::FILE* file = textFile_.get();
    bool header = true;
    bool lineStart = true;  // the piece begins a line of the server's text
    std::int64_t received = 0;
    for (;;) {
        std::string_view line;
        if (!link.receiveLine(line)) return SessionResult::LinkFailed;
        bool startsLine = lineStart;
        lineStart = !link.lineWasCut();
        if (startsLine) {
            if (header && line.empty()) {
                header = false;
                std::fputc('\n', file);
                ShowReceived(expected, ++received);
                continue;
            }
            if (header && StartsWith(line, "From:")) ExtractAddress(sender_, line.data() + 5);
            if (header && StartsWith(line, "To:")) ExtractAddress(recipient_, line.data() + 3);
            // Only a dot that begins a line of the text ends it or is stuffing;
            // the continuation of a cut line is stored as it came.
            if (!line.empty() && line[0] == '.') {
                if (line.size() == 1) return std::nullopt;
                line.remove_prefix(1);
            }
        }
        std::fwrite(line.data(), 1, line.size(), file);
        std::fputc('\n', file);
        received += static_cast<std::int64_t>(line.size()) + 1;
        ShowReceived(expected, received);
    }
}

// The text is complete: written out, error-free and closed, with its length
// in `size`. It reaches stable storage with the rest of the session's pairs.
bool InboundStore::finishText(long& size) {
    std::FILE* file = textFile_.get();
    if (std::ferror(file) || std::fflush(file) != 0) return false;
    size = std::ftell(file);  // written from the start in one sequence: the position is the length
    return std::fclose(textFile_.release()) == 0;
}

// Writes the three envelope lines under the temporary name and renames the
// file into place.
bool InboundStore::writeEnvelope() {
    envelopeFile_.reset(platform::CreateFileForWriting(envelopeTempPath_));
    if (!envelopeFile_) return false;
    char buffer[1024];
    std::setvbuf(envelopeFile_.get(), buffer, _IOFBF, sizeof buffer);
    const char* at = std::strchr(recipient_, '@');
    std::fprintf(envelopeFile_.get(), "%s\n%s\n%s\n", at ? at + 1 : recipient_, sender_, recipient_);
    bool ok = !std::ferror(envelopeFile_.get()) && std::fflush(envelopeFile_.get()) == 0;
    ok = std::fclose(envelopeFile_.release()) == 0 && ok;
    if (ok) ok = std::rename(envelopeTempPath_, envelopePath_) == 0;
    if (!ok) std::remove(envelopeTempPath_);
    return ok;
}

InboundStore::Step InboundStore::deleteOnServer(Link& link, unsigned long n) {
    std::string_view reply;
    if (!Pop3Exchange(link, Format("DELE %lu", n), reply)) return SessionResult::LinkFailed;
    if (!IsPositive(reply)) {
        warn("Can't delete message from server", n);
        return SessionResult::Stopped;
    }
    return std::nullopt;
}

// Too long: deleted unread or left on the server.
InboundStore::Step InboundStore::handleOversize(Link& link, unsigned long n) {
    if (config_.deleteOversize != 1) {
        warn("Leaving too long message on server", n);
        return std::nullopt;
    }
    warn("Deleting too long message from server", n);
    return deleteOnServer(link, n);
}

InboundStore::Step InboundStore::receiveMessage(Link& link, unsigned long n) {
    ConsoleOpenProgressLine("Getting message #%lu... ", n);
    std::time_t start = std::time(nullptr);

    std::int32_t expected = -1;
    std::string_view reply;
    if (!Pop3Exchange(link, Format("LIST %lu", n), reply)) return SessionResult::LinkFailed;
    if (IsPositive(reply)) {
        std::int32_t number = 0;
        if (ParseReplyNumbers(reply.data(), &number, &expected) < 2) {
            warn("Invalid mail size response", n);
            return std::nullopt;
        }
        std::int32_t limit = config_.maxMessageSize.get();
        if (limit >= 0 && expected >= limit) return handleOversize(link, n);
    }

    if (!Pop3Exchange(link, Format("RETR %lu", n), reply)) return SessionResult::LinkFailed;
    if (!IsPositive(reply)) {
        warn("Can't retrieve message", n);
        return std::nullopt;
    }
    long size = 0;
    if (Step r = storeMessage(link, n, expected, size)) return r;
    if (Step r = deleteOnServer(link, n)) return r;
    unsigned long elapsed = SecondsSince(start);
    long rate = elapsed ? static_cast<long>(static_cast<unsigned long>(size) / elapsed) : 0;
    reporter_.log('*', Format("Rcvd %s from %s; %ldb, %ld CPS", baseName_, sender_, size, rate));
    messageComplete_ = true;
    run_.mailReceived = true;
    unsynced_.emplace_back(textPath_, envelopePath_);
    return std::nullopt;
}

// The retrieved message into a new pair, complete and closed before its
// deletion is asked for (on disk before QUIT); `size` gets the length of its text.
InboundStore::Step InboundStore::storeMessage(Link& link, unsigned long n, std::int32_t expected, long& size) {
    if (!chooseBaseName()) return fileFailure(kCantCreateText, kCantCreateTextLog, n);
    messageComplete_ = false;
    // Created without waiting at the open: a pipe by this name fails at once.
    textFile_.reset(platform::CreateFileForWriting(textPath_));
    if (!textFile_) return fileFailure(kCantCreateText, kCantCreateTextLog, n);
    std::setvbuf(textFile_.get(), textBuffer_.get(), _IOFBF, kTextBufferSize);

    std::strcpy(sender_, "???");
    std::strcpy(recipient_, "???");
    progressCalls = 0;
    progressWidth = 0;
    ShowProgress(expected, 0);
    if (Step r = storeText(link, expected)) return r;
    progressCalls = 0;
    ShowProgress(expected, expected);
    EndProgressLine();

    if (!finishText(size))
        return fileFailure("Couldn't write file %s.TXT.", "Couldn't write file %s.TXT; message %lu", n);
    if (!writeEnvelope())
        return fileFailure("Can't create file %s.WRK.", "Can't create file %s.WRK; message %lu", n);
    return std::nullopt;
}

SessionResult InboundStore::receiveAll(Link& link, std::uint32_t count, std::uint32_t total) {
    reporter_.report(Format("Receiving %lu message(s) (%lu bytes)...\n", static_cast<unsigned long>(count),
                            static_cast<unsigned long>(total)),
                     '-',
                     Format("Receiving %lu message(s); %lub", static_cast<unsigned long>(count),
                            static_cast<unsigned long>(total)));
    // Opened before any file is written, so that the sync before QUIT also
    // reports write-back failures of the files written meanwhile.
    if (count > 0) directory_.open(std::string(config_.inboundDir.text()).c_str());
    for (std::uint32_t n = 1; n <= count; ++n) {
        if (Step r = receiveMessage(link, n)) return *r;
        advanceCounter();
    }
    return SessionResult::Done;
}

// DELE only marks a message: a POP3 server deletes the marked messages when
// the session ends with QUIT (RFC 1939, UPDATE state), and keeps every one
// of them when the connection ends any other way. So one sync of the inbound
// file system here, before QUIT, gives each stored pair the guarantee that a
// sync per pair before its DELE gave: no message is deleted on the server
// before its pair is on stable storage. The dialogue itself is unchanged.
bool InboundStore::makeDurable() {
    if (unsynced_.empty()) return true;
    bool ok = directory_.open(std::string(config_.inboundDir.text()).c_str()) && directory_.syncFileSystem();
    if (!ok) {
        // Whether the pairs are on disk cannot be told; the server keeps every
        // message, so they go, rather than arrive a second time on the next run.
        for (const auto& [text, envelope] : unsynced_) {
            std::remove(envelope.c_str());
            std::remove(text.c_str());
        }
        std::string text = Format("Couldn't force received mail to disk; %lu message(s) left on the server",
                                  static_cast<unsigned long>(unsynced_.size()));
        reporter_.report(text + ".\n", '!', text);
    }
    unsynced_.clear();
    return ok;
}

void InboundStore::tidyUp() {
    textFile_.reset();
    envelopeFile_.reset();
    directory_.close();
    unsynced_.clear();  // a connection that ended without QUIT had nothing deleted
    if (!messageComplete_) {
        if (textPath_[0]) std::remove(textPath_);
        if (envelopePath_[0]) std::remove(envelopePath_);
    }
}

}  // namespace quorvexia
