#include "outbound_queue.h"

#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <strings.h>

#include "activity_log.h"
#include "console.h"
#include "header_text.h"
#include "korv_state.h"
#include "line_transport.h"
#include "platform/dir_search.h"
#include "platform/file_open.h"
#include "platform/paths.h"
#include "platform/stdio_file.h"
#include "session_frame.h"
#include "smtp_session.h"

namespace quorvexia {

namespace {

constexpr std::size_t kNameSize = 256;   // base name and paths: at most 255 characters
constexpr std::size_t kTextLineSize = 1000;
constexpr std::size_t kEnvelopeLineSize = 256;

using File = platform::StdioFile;

// The slots of the message in work, closed by the end of the connection
// whichever way it ends.
File envelopeFile;
File textFile;
std::optional<platform::DirSearch> queueScan;

char baseName[kNameSize];
char envelopePath[kNameSize];
char textPath[kNameSize];
char senderAddress[kEnvelopeLineSize];
char recipientAddress[kEnvelopeLineSize];
char textLine[kTextLineSize];
// The message text is read in blocks of this size.
char textBlock[64 * 1024];

// How one message ended for the queue scan.
enum class Next { Message, Stop, LinkFailed };

// Opens a regular file for reading as text; a directory, pipe or device by
// the name is refused as a file that cannot be opened.
File OpenQueueFile(const char* path) { return File(platform::OpenRegularFileForReading(path)); }

// Reads a line and drops what follows of it when it is longer than one piece.
bool ReadWholeLine(char* line, std::size_t capacity, std::FILE* file, bool& whole) {
    if (ReadFileLine(line, capacity, file, &whole) != 0) return false;
    if (!whole) {
        char rest[kTextLineSize];
        bool restWhole = false;
        while (ReadFileLine(rest, sizeof rest, file, &restWhole) == 0 && !restWhole) {
        }
    }
    return true;
}

// Forms the base name (the name up to its first ".") and the two paths;
// false when any of them would pass 255 characters.
bool FormNames(const std::string& dir, const std::string& name) {
    std::string base = name.substr(0, name.find('.'));
    int b = std::snprintf(baseName, sizeof baseName, "%s", base.c_str());
    int e = std::snprintf(envelopePath, sizeof envelopePath, "%s%c%s", dir.c_str(), platform::kPathSeparator,
                          name.c_str());
    int t = std::snprintf(textPath, sizeof textPath, "%s%c%s.txt", dir.c_str(), platform::kPathSeparator,
                          baseName);
    return b >= 0 && e >= 0 && t >= 0 && std::size_t(b) < kNameSize && std::size_t(e) < kNameSize &&
           std::size_t(t) < kNameSize;
}

std::int32_t Clamp32(long long value) { return value > INT32_MAX ? INT32_MAX : std::int32_t(value); }

// A leading dot doubled: the line goes out from textLine, where it fits
// (a piece holds at most 998 characters).
std::string_view StuffedLine(std::string_view text) {
    if (text.data() != textLine) std::memmove(textLine, text.data(), text.size());
    textLine[text.size()] = '\0';
    StuffLeadingDot(textLine);
    return std::string_view(textLine, text.size() + 1);
}

// The message text, line by line, leading dots doubled; the recipient of the
// log line is the first address of the last "To:" header line.
Next SendMessageText(platform::Socket& link, std::int32_t size) {
    std::snprintf(recipientAddress, sizeof recipientAddress, "???");
    progressCalls = 0;
    progressWidth = 0;
    ShowProgress(size, 0);
    link.setTimeout(kBodyWriteTimeoutMs);
    bool header = true;
    QueueTextReader reader(textFile.get(), textBlock, sizeof textBlock);
    std::string_view text;
    while (reader.next(text, textLine, sizeof textLine) == 0) {
        if (header) {
            if (text.empty()) {
                header = false;
            } else if (text.size() >= 3 && strncasecmp(text.data(), "To:", 3) == 0) {
                // ExtractAddress reads up to a NUL: the line is taken out of the block.
                char value[kTextLineSize];
                std::memcpy(value, text.data() + 3, text.size() - 3);
                value[text.size() - 3] = '\0';
                ExtractAddress(recipientAddress, value);
            }
        }
        if (!text.empty() && text[0] == '.') text = StuffedLine(text);
        QueueLine(link, text);
        if (linkFailed) return Next::LinkFailed;
        if (!debugMode) ShowProgress(size, Clamp32(reader.consumed()));
    }
    if (reader.failed()) {
        // Ending the text with "." would deliver it cut short; dropping the
        // connection instead makes the server discard the transaction, and the
        // pair stays for the next run.
        ConsolePrint("Error accessing file %s.TXT.\n", baseName);
        LogEventf('!', "Error accessing file %s.TXT; message %s", baseName, baseName);
        link.close();
        linkFailed = 1;
        return Next::LinkFailed;
    }
    return Next::Message;
}

void RemovePair() {
    // The envelope file goes first: without it the text is no longer queued.
    std::remove(envelopePath);
    std::remove(textPath);
}

Next FinalReply(std::int32_t size, std::time_t messageStart) {
    int code = ParseReplyCode(replyLine);
    if (code == -1) {
        ConsolePrint("Invalid message data response.\n");
        LogEventf('!', "Invalid message data response; message %s", baseName);
        return Next::Stop;
    }
    if (code >= 200 && code <= 299) {
        RemovePair();
        unsigned long seconds = SecondsSince(messageStart);
        long rate = seconds > 0 ? static_cast<long>(static_cast<unsigned long>(size) / seconds) : 0;
        LogEventf('*', "Sent %s to %s; %ldb, %ld CPS", baseName, recipientAddress, static_cast<long>(size),
                  rate);
    } else if (code >= 500) {
        RemovePair();
        ConsolePrint("Permanent failure.\n");
        LogEventf('?', "Permanent failure; error %d; message %s.\n", code, baseName);
    } else if (code >= 400) {
        ConsolePrint("Invalid message data.\n");
        LogEventf('?', "Invalid message data; error %d; message %s", code, baseName);
    }
    return Next::Message;
}

// One SMTP transaction for the envelope file `name`.
Next SendMessage(platform::Socket& link, const std::string& dir, const std::string& name,
                 unsigned long number) {
    std::time_t messageStart = std::time(nullptr);
    ConsoleOpenProgressLine("Sending message #%lu... ", number);

    if (!FormNames(dir, name)) {
        // Too long for the name buffers: refused as unreadable, left in the queue.
        std::snprintf(baseName, sizeof baseName, "%s", name.c_str());
        if (char* dot = std::strchr(baseName, '.')) *dot = '\0';
        ConsolePrint("Error accessing file %s.WRK.\n", baseName);
        LogEventf('?', "Error accessing file %s.WRK; message %s", baseName, baseName);
        return Next::Message;
    }
    envelopeFile = OpenQueueFile(envelopePath);
    if (!envelopeFile) {
        ConsolePrint("Error accessing file %s.WRK.\n", baseName);
        LogEventf('?', "Error accessing file %s.WRK; message %s", baseName, baseName);
        return Next::Message;
    }

    senderAddress[0] = '\0';
    recipientAddress[0] = '\0';
    bool whole = true;
    // The first line is any text, however long; the sender follows it.
    ReadWholeLine(textLine, sizeof textLine, envelopeFile.get(), whole);
    bool haveSender = ReadWholeLine(senderAddress, sizeof senderAddress, envelopeFile.get(), whole);
    // A sender too long for its buffer would go out cut, as another address.
    if (!haveSender || IsBlankLine(senderAddress) || !whole) {
        ConsolePrint("Invalid mail sender.\n");
        LogEventf('?', "Invalid mail sender; message %s", baseName);
        return Next::Message;
    }

    textFile = OpenQueueFile(textPath);
    if (!textFile) {
        ConsolePrint("Error accessing file %s.TXT.\n", baseName);
        LogEventf('?', "Error accessing file %s.TXT; message %s", baseName, baseName);
        return Next::Message;
    }
    // The text is read in blocks of our own: each is one read from the file.
    std::setvbuf(textFile.get(), nullptr, _IONBF, 0);
    std::fseek(textFile.get(), 0, SEEK_END);
    std::int32_t size = Clamp32(ftello(textFile.get()));
    std::fseek(textFile.get(), 0, SEEK_SET);

    if (!SmtpExchange(link, "RSET", kCommandReplyTimeoutMs)) return Next::LinkFailed;
    int code = ParseReplyCode(replyLine);
    if (code == -1) {
        ConsolePrint("%s.\n", "Invalid RSET command response");
        LogEvent('!', "Invalid RSET command response");
        return Next::Stop;
    }
    if (code >= 400) {
        ConsolePrint("Can't reset; error %d.\n", code);
        LogEventf('!', "Can't reset; error %d", code);
        return Next::Stop;
    }

    std::snprintf(replyLine, kReplyLineSize, "MAIL FROM:<%s>", senderAddress);
    if (!SmtpExchange(link, replyLine, kCommandReplyTimeoutMs)) return Next::LinkFailed;
    code = ParseReplyCode(replyLine);
    if (code == -1) {
        ConsolePrint("Invalid MAIL FROM command response.\n");
        LogEventf('!', "Invalid MAIL FROM command response; message %s", baseName);
        return Next::Stop;
    }
    if (code >= 400) {
        ConsolePrint("Invalid mail sender.\n");
        LogEventf('?', "Invalid mail sender; error %d; message %s", code, baseName);
        return Next::Message;
    }

    unsigned listed = 0, accepted = 0;
    while (ReadWholeLine(recipientAddress, sizeof recipientAddress, envelopeFile.get(), whole)) {
        if (whole && IsBlankLine(recipientAddress)) continue;
        ++listed;
        if (!whole) {
            // A piece of a longer address would send the message elsewhere.
            LogEventf('?', "Invalid recipient: %s", recipientAddress);
            continue;
        }
        std::snprintf(replyLine, kReplyLineSize, "RCPT TO:<%s>", recipientAddress);
        if (!SmtpExchange(link, replyLine, kCommandReplyTimeoutMs)) return Next::LinkFailed;
        code = ParseReplyCode(replyLine);
        if (code == -1) {
            ConsolePrint("Invalid RCPT command response.\n");
            LogEventf('!', "Invalid RCPT command response; message %s", baseName);
            return Next::Stop;
        }
        if (code >= 400) {
            LogEventf('?', "Invalid recipient: %s", recipientAddress);
        } else {
            ++accepted;
        }
    }
    envelopeFile.reset();
    if (listed == 0) {
        ConsolePrint("No valid recipients found.\n");
        LogEventf('?', "No valid recipients found; message %s", baseName);
        return Next::Message;
    }
    if (accepted == 0) {
        ConsolePrint("All recipients are invalid.\n");
        LogEventf('?', "All recipients are invalid; message %s", baseName);
        return Next::Message;
    }

    // The 354 must come among the first three lines; lines before it with
    // codes below 400 are passed over.
    SendLine(link, "DATA");
    link.setTimeout(kDataReplyTimeoutMs);
    for (int lineNo = 1;; ++lineNo) {
        if (ReceiveLine(link, replyLine, kReplyLineSize) != 0) return Next::LinkFailed;
        code = ParseReplyCode(replyLine);
        if (code >= 400) {
            ConsolePrint("Can't send message.\n");
            LogEventf('?', "Can't send message; error %d; message %s", code, baseName);
            return Next::Message;
        }
        if (code == -1 || lineNo == 4) {
            ConsolePrint("Invalid DATA command response.\n");
            LogEventf('!', "Invalid DATA command response; message %s", baseName);
            return Next::Stop;
        }
        if (code == 354) break;
    }

    Next sent = SendMessageText(link, size);
    if (sent != Next::Message) return sent;
    textFile.reset();
    progressCalls = 0;
    ShowProgress(size, size);
    EndProgressLine();

    // The queued text goes out with the "." line, before its reply is read.
    if (!SmtpExchange(link, ".", kFinalReplyTimeoutMs)) return Next::LinkFailed;
    return FinalReply(size, messageStart);
}

}  // namespace

void StuffLeadingDot(char* line) {
    std::memmove(line + 1, line, std::strlen(line) + 1);
    line[0] = '.';
}

void CloseQueueSlots() {
    envelopeFile.reset();
    textFile.reset();
    queueScan.reset();
}

int SendQueuedMessages(platform::Socket& link) {
    int opening = SmtpOpeningExchange(link);
    if (opening != kOpeningAccepted) return opening;

    std::string dir(mailConfig.outboundDir.text());
    queueScan.emplace(dir, "*.wrk");
    std::string name;
    unsigned long number = 0;
    while (queueScan->next(name)) {
        Next next = SendMessage(link, dir, name, ++number);
        if (next == Next::LinkFailed) return kDialogueLinkFailed;
        if (next == Next::Stop) return kDialogueStopped;
        envelopeFile.reset();
        textFile.reset();
    }
    return kDialogueDone;
}

}  // namespace quorvexia
