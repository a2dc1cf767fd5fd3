#include "inbound_store.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>
#include <strings.h>

#include "activity_log.h"
#include "console.h"
#include "header_text.h"
#include "korv_state.h"
#include "line_transport.h"
#include "platform/file_open.h"
#include "platform/file_sync.h"
#include "platform/paths.h"
#include "pop3_session.h"
#include "session_frame.h"

namespace quorvexia {

InboundMessage inboundMessage;

namespace {

constexpr std::size_t kAddressSize = 256;
constexpr const char* kCantCreateText = "Can't create file %s.TXT.";
constexpr const char* kCantCreateTextLog = "Can't create file %s.TXT; message %lu";
char senderAddress[kAddressSize];
char recipientAddress[kAddressSize];

// Large writes to the text file; one text file is open at a time.
char textBuffer[64 * 1024];
char envelopeBuffer[1024];

bool Positive() { return replyLine[0] == '+'; }

// One command formatted into replyLine and its one-line reply; false when the link failed.
bool Exchange(platform::ByteStream& link, const char* command, unsigned long n) {
    std::snprintf(replyLine, kReplyLineSize, "%s %lu", command, n);
    return SendLine(link, replyLine) == 0 && ReceiveLine(link, replyLine, kReplyLineSize) == 0;
}

// A per-message problem: told on the console and logged with '?'; the run goes on.
void Warn(const char* text, unsigned long n) {
    ConsolePrint("%s.\n", text);
    LogEventf('?', "%s; message %lu", text, n);
}

// A file failure that stops the loop. The console text has no line end, so
// "Closing connection..." follows on the same line.
int FileFailure(const char* console, const char* log, unsigned long n) {
    ConsolePrint(console, inboundMessage.baseName);
    LogEventf('!', log, inboundMessage.baseName, n);
    return kDialogueStopped;
}

void SetPaths(std::uint32_t candidate) {
    InboundMessage& m = inboundMessage;
    std::string dir(mailConfig.inboundDir.text());
    std::snprintf(m.baseName, sizeof m.baseName, "%08lu", static_cast<unsigned long>(candidate));
    std::snprintf(m.envelopePath, sizeof m.envelopePath, "%.79s%c%.10s.wrk", dir.c_str(), platform::kPathSeparator,
                  m.baseName);
    std::snprintf(m.textPath, sizeof m.textPath, "%.79s%c%.10s.txt", dir.c_str(), platform::kPathSeparator,
                  m.baseName);
    // A name no reader takes for an envelope: hidden, and not ending in ".wrk".
    std::snprintf(m.envelopeTempPath, sizeof m.envelopeTempPath, "%.79s%c.%.10s.tmp", dir.c_str(),
                  platform::kPathSeparator, m.baseName);
}

// The first counter value from messageCounter on whose envelope file does not
// exist, among at most 1024 candidates that stay within 32 bits; false when
// every one is taken (a stored pair is never overwritten).
bool ChooseBaseName() {
    std::uint32_t first = mailConfig.messageCounter.get();
    for (std::uint32_t i = 0; i < kNameCandidates; ++i) {
        std::uint32_t candidate = first + i;
        if (candidate < first) break;  // past the 32-bit limit
        SetPaths(candidate);
        if (!platform::NameTaken(inboundMessage.envelopePath)) {
            mailConfig.messageCounter.set(candidate);
            return true;
        }
    }
    SetPaths(first);
    return false;
}

// The counter moves on by one for every message dealt with, but never wraps:
// at the limit the next message finds no free name and stops the loop.
void AdvanceCounter() {
    std::uint32_t c = mailConfig.messageCounter.get();
    if (c != UINT32_MAX) mailConfig.messageCounter.set(c + 1);
}

bool StartsWith(std::string_view line, std::string_view name) {
    return line.size() >= name.size() && strncasecmp(line.data(), name.data(), name.size()) == 0;
}

void ShowReceived(std::int32_t expected, std::int64_t received) {
    ShowProgress(expected, received > INT32_MAX ? INT32_MAX : static_cast<std::int32_t>(received));
}

// A header value, taken out of the receive buffer: ExtractAddress reads up to a NUL.
void TakeAddress(char* address, std::string_view value) {
    std::memcpy(replyLine, value.data(), value.size());
    replyLine[value.size()] = '\0';
    ExtractAddress(address, replyLine);
}

// Streams the text of a retrieved message into the open text file, up to the
// line that is a single dot. Each line goes from the receive buffer straight
// into the file's buffer. 0 at the end of the text, 2 when the link failed.
int StoreText(platform::ByteStream& link, std::int32_t expected) {
    std::FILE* file = inboundMessage.textFile.get();
    bool header = true;
    bool lineStart = true;  // the piece begins a line of the server's text
    std::int64_t received = 0;
    for (;;) {
        std::string_view line;
        if (ReceiveLineInPlace(link, kReplyLineSize, line) != 0) return kDialogueLinkFailed;
        bool startsLine = lineStart;
        lineStart = !LineWasCut();
        if (startsLine) {
            if (header && line.empty()) {
                header = false;
                std::fputc('\n', file);
                ShowReceived(expected, ++received);
                continue;
            }
            if (header && StartsWith(line, "From:")) TakeAddress(senderAddress, line.substr(5));
            if (header && StartsWith(line, "To:")) TakeAddress(recipientAddress, line.substr(3));
            // Only a dot that begins a line of the text ends it or is stuffing;
            // the continuation of a cut line is stored as it came.
            if (!line.empty() && line[0] == '.') {
                if (line.size() == 1) return 0;
                line.remove_prefix(1);
            }
        }
        std::fwrite(line.data(), 1, line.size(), file);
        std::fputc('\n', file);
        received += static_cast<std::int64_t>(line.size()) + 1;
        ShowReceived(expected, received);
    }
}

// The text is complete: on disk, error-free and closed, with its length in `size`.
bool FinishText(long& size) {
    std::FILE* file = inboundMessage.textFile.get();
    if (std::ferror(file) || !platform::SyncStream(file)) return false;
    size = std::ftell(file);  // written from the start in one sequence: the position is the length
    return std::fclose(inboundMessage.textFile.release()) == 0;
}

// Writes the three envelope lines under the temporary name, forces them to
// disk and renames the file into place, then makes the new name durable.
bool WriteEnvelope() {
    InboundMessage& m = inboundMessage;
    m.envelopeFile.reset(platform::CreateFileForWriting(m.envelopeTempPath));
    if (!m.envelopeFile) return false;
    std::setvbuf(m.envelopeFile.get(), envelopeBuffer, _IOFBF, sizeof envelopeBuffer);
    const char* at = std::strchr(recipientAddress, '@');
    std::fprintf(m.envelopeFile.get(), "%s\n%s\n%s\n", at ? at + 1 : recipientAddress, senderAddress,
                 recipientAddress);
    bool ok = !std::ferror(m.envelopeFile.get()) && platform::SyncStream(m.envelopeFile.get());
    ok = std::fclose(m.envelopeFile.release()) == 0 && ok;
    if (ok) ok = std::rename(m.envelopeTempPath, m.envelopePath) == 0;
    if (!ok) {
        std::remove(m.envelopeTempPath);
        return false;
    }
    std::string dir(mailConfig.inboundDir.text());
    return m.directory.open(dir.c_str()) && m.directory.sync();
}

// Too long: deleted unread or left on the server. 0 next message, 1 or 2 stop.
int HandleOversize(platform::ByteStream& link, unsigned long n) {
    if (mailConfig.deleteOversize != 1) {
        Warn("Leaving too long message on server", n);
        return 0;
    }
    Warn("Deleting too long message from server", n);
    if (!Exchange(link, "DELE", n)) return kDialogueLinkFailed;
    if (!Positive()) {
        Warn("Can't delete message from server", n);
        return kDialogueStopped;
    }
    return 0;
}

// One message: -1 when it was dealt with (stored, left or skipped), else the
// loop's result.
int ReceiveMessage(platform::ByteStream& link, unsigned long n) {
    ConsoleOpenProgressLine("Getting message #%lu... ", n);
    std::time_t start = std::time(nullptr);

    std::int32_t expected = -1;
    if (!Exchange(link, "LIST", n)) return kDialogueLinkFailed;
    if (Positive()) {
        std::int32_t number = 0;
        if (ParseReplyNumbers(replyLine, &number, &expected) < 2) {
            Warn("Invalid mail size response", n);
            return -1;
        }
        std::int32_t limit = mailConfig.maxMessageSize.get();
        if (limit >= 0 && expected >= limit) {
            int r = HandleOversize(link, n);
            return r == 0 ? -1 : r;
        }
    }

    if (!Exchange(link, "RETR", n)) return kDialogueLinkFailed;
    if (!Positive()) {
        Warn("Can't retrieve message", n);
        return -1;
    }

    if (!ChooseBaseName()) return FileFailure(kCantCreateText, kCantCreateTextLog, n);
    messageComplete = false;
    // Created without waiting at the open: a pipe by this name fails at once.
    inboundMessage.textFile.reset(platform::CreateFileForWriting(inboundMessage.textPath));
    if (!inboundMessage.textFile) return FileFailure(kCantCreateText, kCantCreateTextLog, n);
    std::setvbuf(inboundMessage.textFile.get(), textBuffer, _IOFBF, sizeof textBuffer);

    std::strcpy(senderAddress, "???");
    std::strcpy(recipientAddress, "???");
    progressCalls = 0;
    progressWidth = 0;
    ShowProgress(expected, 0);
    if (StoreText(link, expected) != 0) return kDialogueLinkFailed;
    progressCalls = 0;
    ShowProgress(expected, expected);
    EndProgressLine();

    long size = 0;
    if (!FinishText(size))
        return FileFailure("Couldn't write file %s.TXT.", "Couldn't write file %s.TXT; message %lu", n);
    if (!WriteEnvelope())
        return FileFailure("Can't create file %s.WRK.", "Can't create file %s.WRK; message %lu", n);

    if (!Exchange(link, "DELE", n)) return kDialogueLinkFailed;
    if (!Positive()) {
        Warn("Can't delete message from server", n);
        return kDialogueStopped;
    }
    unsigned long elapsed = SecondsSince(start);
    long rate = elapsed ? static_cast<long>(static_cast<unsigned long>(size) / elapsed) : 0;
    LogEventf('*', "Rcvd %s from %s; %ldb, %ld CPS", inboundMessage.baseName, senderAddress, size, rate);
    messageComplete = true;
    mailReceived = true;
    return -1;
}

}  // namespace

int ReceiveMessages(platform::ByteStream& link, std::uint32_t count, std::uint32_t total) {
    ConsolePrint("Receiving %lu message(s) (%lu bytes)...\n", static_cast<unsigned long>(count),
                 static_cast<unsigned long>(total));
    LogEventf('-', "Receiving %lu message(s); %lub", static_cast<unsigned long>(count),
              static_cast<unsigned long>(total));
    for (std::uint32_t n = 1; n <= count; ++n) {
        int r = ReceiveMessage(link, n);
        if (r >= 0) return r;
        AdvanceCounter();
    }
    return kDialogueDone;
}

void CloseInboundFiles() {
    inboundMessage.textFile.reset();
    inboundMessage.envelopeFile.reset();
    inboundMessage.directory.close();
}

void RemoveInboundPair() {
    if (inboundMessage.textPath[0]) std::remove(inboundMessage.textPath);
    if (inboundMessage.envelopePath[0]) std::remove(inboundMessage.envelopePath);
}

}  // namespace quorvexia
