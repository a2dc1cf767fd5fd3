#include "inbound_store.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <strings.h>
#include <unistd.h>

#include "activity_log.h"
#include "console.h"
#include "header_text.h"
#include "platform/dir_search.h"
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
        // The pairs stored on this connection have their envelopes under the
        // temporary names, each below the counter, but for the very last
        // counter value, which does not move on.
        bool staged = !staged_.empty() && staged_.back().temporary == envelopeTempPath_;
        if (!staged && !platform::NameTaken(envelopePath_)) {
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
                if (line.size() == 1) {
                    textUnread_ = false;
                    return std::nullopt;
                }
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

// Writes the three envelope lines under the temporary name; the file gets
// its final name in makeDurable.
bool InboundStore::writeEnvelope() {
    envelopeFile_.reset(platform::CreateFileForWriting(envelopeTempPath_));
    if (!envelopeFile_) return false;
    char buffer[1024];
    std::setvbuf(envelopeFile_.get(), buffer, _IOFBF, sizeof buffer);
    const char* at = std::strchr(recipient_, '@');
    std::fprintf(envelopeFile_.get(), "%s\n%s\n%s\n", at ? at + 1 : recipient_, sender_, recipient_);
    bool ok = !std::ferror(envelopeFile_.get()) && std::fflush(envelopeFile_.get()) == 0;
    ok = std::fclose(envelopeFile_.release()) == 0 && ok;
    if (!ok) std::remove(envelopeTempPath_);
    return ok;
}

void InboundStore::send(Link& link, Pending::Kind kind, unsigned long n) {
    static const char* const kCommands[] = {"LIST", "RETR", "DELE"};
    std::string command = Format("%s %lu", kCommands[kind], n);
    link.queueLine(command);  // a failed send shows at the next receive through the latch
    pending_.push_back({kind, n, command.size() + 2});
    pendingBytes_ += command.size() + 2;
}

void InboundStore::sendAhead(Link& link, unsigned long n) {
    unsigned long last = pipelining_ ? n + kPipelineCommands : n;
    while (nextAhead_ <= count_ && nextAhead_ <= last) {
        // The message in work always gets its LIST; the following ones wait
        // while the window is full.
        bool room = pending_.size() + 2 <= kPipelineCommands && pendingBytes_ + 64 <= kPipelineBytes;
        if (nextAhead_ > n && !room) break;
        send(link, Pending::List, nextAhead_);
        if (retrAhead_) send(link, Pending::Retr, nextAhead_);
        ++nextAhead_;
    }
}

InboundStore::Step InboundStore::judgeDeletion(std::string_view reply, unsigned long n) {
    if (IsPositive(reply)) return std::nullopt;
    warn("Can't delete message from server", n);
    for (auto pair = staged_.begin(); pair != staged_.end(); ++pair) {
        if (pair->n != n) continue;
        discard(*pair);
        staged_.erase(pair);
        break;
    }
    return SessionResult::Stopped;
}

bool InboundStore::nextReply(Link& link, Pending& due, std::string_view& reply) {
    due = pending_.front();
    pending_.pop_front();
    pendingBytes_ -= due.bytes;
    return link.receiveLine(reply);
}

InboundStore::Step InboundStore::awaitReply(Link& link, Pending::Kind kind, unsigned long n, std::string_view& reply) {
    if (kind == Pending::List) {
        auto early = earlyLists_.find(n);
        if (early != earlyLists_.end()) {
            heldReply_ = std::move(early->second);
            earlyLists_.erase(early);
            reply = heldReply_;
            return std::nullopt;
        }
    }
    Pending due{};
    while (!pending_.empty()) {
        if (!nextReply(link, due, reply)) return SessionResult::LinkFailed;
        if (due.kind == kind && due.n == n) return std::nullopt;
        // Before it stand the answers to the DELEs sent earlier and, when
        // RETR waits for LIST, to the LISTs of following messages, kept for
        // their turn. A refused DELE stops the loop; the awaited reply is
        // then left to drain().
        if (due.kind == Pending::List) {
            earlyLists_.emplace(due.n, reply);
        } else if (Step r = judgeDeletion(reply, due.n)) {
            return r;
        }
    }
    return SessionResult::LinkFailed;  // not reached: every awaited command was sent
}

bool InboundStore::skipRetrieved(Link& link, std::string_view reply) {
    if (!IsPositive(reply)) return true;
    bool lineStart = true;
    for (std::string_view line;;) {
        if (!link.receiveLine(line)) return false;
        if (lineStart && line == ".") return true;
        lineStart = !link.lineWasCut();
    }
}

InboundStore::Step InboundStore::drain(Link& link) {
    // A text that a local failure left unread comes before the other replies.
    if (pipelining_ && textUnread_ && !skipRetrieved(link, "+OK")) return SessionResult::LinkFailed;
    Step stop;
    Pending due{};
    std::string_view reply;
    while (!pending_.empty()) {
        if (!nextReply(link, due, reply)) return SessionResult::LinkFailed;
        if (due.kind == Pending::Dele) {
            if (Step r = judgeDeletion(reply, due.n)) stop = r;
        } else if (due.kind == Pending::Retr && !skipRetrieved(link, reply)) {
            return SessionResult::LinkFailed;
        }
    }
    return stop;
}

InboundStore::Step InboundStore::deleteOnServer(Link& link, unsigned long n) {
    send(link, Pending::Dele, n);
    if (pipelining_) return std::nullopt;  // its answer is read when it comes
    std::string_view reply;
    if (Step r = awaitReply(link, Pending::Dele, n, reply)) return r;
    return judgeDeletion(reply, n);
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

    sendAhead(link, n);
    std::int32_t expected = -1;
    std::string_view reply;
    if (Step r = awaitReply(link, Pending::List, n, reply)) return r;
    bool retrieve = true;
    Step listed;
    if (IsPositive(reply)) {
        std::int32_t number = 0;
        std::int32_t limit = config_.maxMessageSize.get();
        if (ParseReplyNumbers(reply.data(), &number, &expected) < 2) {
            warn("Invalid mail size response", n);
            retrieve = false;
        } else if (limit >= 0 && expected >= limit) {
            listed = handleOversize(link, n);
            retrieve = false;
        }
    }
    if (!retrieve) {
        // A RETR sent ahead is answered all the same; its text is not kept.
        if (!retrAhead_ || listed) return listed;
        if (Step r = awaitReply(link, Pending::Retr, n, reply)) return r;
        return skipRetrieved(link, reply) ? listed : Step(SessionResult::LinkFailed);
    }

    if (!retrAhead_) send(link, Pending::Retr, n);
    if (Step r = awaitReply(link, Pending::Retr, n, reply)) return r;
    if (!IsPositive(reply)) {
        warn("Can't retrieve message", n);
        return std::nullopt;
    }
    long size = 0;
    textUnread_ = true;
    if (Step r = storeMessage(link, n, expected, size)) return r;
    staged_.push_back({n, textPath_, envelopeTempPath_, envelopePath_});
    messageComplete_ = true;
    if (Step r = deleteOnServer(link, n)) return r;
    unsigned long elapsed = SecondsSince(start);
    long rate = elapsed ? static_cast<long>(static_cast<unsigned long>(size) / elapsed) : 0;
    reporter_.log('*', Format("Rcvd %s from %s; %ldb, %ld CPS", baseName_, sender_, size, rate));
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

// Only korv writes ".<base>.tmp" into the inbound directory. One that is
// there before the loop starts was left by a run that ended before its QUIT:
// the server still has that message, and its text beside the temporary (a
// text with no envelope file) is no stored message either.
void InboundStore::removeStaleTemporaries() {
    std::string dir(config_.inboundDir.text());
    platform::DirSearch scan(dir, ".*.tmp");
    std::string name;
    while (scan.next(name)) {
        std::string base = dir + platform::kPathSeparator + name.substr(1, name.size() - 5);
        ::unlink((dir + platform::kPathSeparator + name).c_str());
        if (!platform::NameTaken((base + ".wrk").c_str())) ::unlink((base + ".txt").c_str());
    }
}

SessionResult InboundStore::receiveAll(Link& link, std::uint32_t count, std::uint32_t total, bool pipelining) {
    reporter_.report(Format("Receiving %lu message(s) (%lu bytes)...\n", static_cast<unsigned long>(count),
                            static_cast<unsigned long>(total)),
                     '-',
                     Format("Receiving %lu message(s); %lub", static_cast<unsigned long>(count),
                            static_cast<unsigned long>(total)));
    if (count == 0) return SessionResult::Done;
    // Opened before any file is written, so that the sync before QUIT also
    // reports write-back failures of the files written meanwhile.
    directory_.open(std::string(config_.inboundDir.text()).c_str());
    removeStaleTemporaries();
    pipelining_ = pipelining;
    retrAhead_ = pipelining && config_.maxMessageSize.get() < 0;
    count_ = count;
    SessionResult result = SessionResult::Done;
    for (std::uint32_t n = 1; n <= count; ++n) {
        if (Step r = receiveMessage(link, n)) {
            result = *r;
            break;
        }
        advanceCounter();
    }
    if (result == SessionResult::LinkFailed) return result;
    if (Step r = drain(link)) return *r;
    return result;
}

void InboundStore::discard(const StagedPair& pair) const {
    std::remove(pair.envelope.c_str());
    std::remove(pair.temporary.c_str());
    std::remove(pair.text.c_str());
}

// DELE only marks a message: a POP3 server deletes the marked messages when
// the session ends with QUIT (RFC 1939, UPDATE state), and keeps every one
// of them when the connection ends any other way. So one sync of the inbound
// file system here, before QUIT, gives each stored pair the guarantee that a
// sync per pair before its DELE gave: no message is deleted on the server
// before its pair is on stable storage. The envelope files get their final
// names only after that sync, and the directory is forced to disk once more
// for those names before QUIT: an envelope file never stands beside a text
// that might not be on disk, and a run cut off before this point leaves only
// temporaries, which the next run clears when it fetches those messages again.
bool InboundStore::makeDurable() {
    if (staged_.empty()) return true;
    bool ok = directory_.open(std::string(config_.inboundDir.text()).c_str()) && directory_.syncFileSystem();
    for (std::size_t i = 0; ok && i < staged_.size(); ++i)
        ok = std::rename(staged_[i].temporary.c_str(), staged_[i].envelope.c_str()) == 0;
    ok = ok && directory_.sync();
    if (!ok) {
        // Whether the pairs are on disk cannot be told; the server keeps every
        // message, so they go, rather than arrive a second time on the next run.
        for (const auto& pair : staged_) discard(pair);
        std::string text = Format("Couldn't force received mail to disk; %lu message(s) left on the server",
                                  static_cast<unsigned long>(staged_.size()));
        reporter_.report(text + ".\n", '!', text);
    } else {
        run_.mailReceived = true;
    }
    staged_.clear();
    return ok;
}

void InboundStore::tidyUp() {
    textFile_.reset();
    envelopeFile_.reset();
    directory_.close();
    // A connection that ended without QUIT had nothing deleted: every message
    // comes again on the next run.
    for (const auto& pair : staged_) discard(pair);
    staged_.clear();
    pending_.clear();
    pendingBytes_ = 0;
    earlyLists_.clear();
    if (!messageComplete_) {
        if (textPath_[0]) std::remove(textPath_);
        if (envelopePath_[0]) std::remove(envelopePath_);
    }
}

}  // namespace quorvexia
