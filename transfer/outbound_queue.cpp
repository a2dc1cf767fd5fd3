#include "outbound_queue.h"

#include <climits>
#include <cstdio>
#include <cstring>
#include <strings.h>

#include "header_text.h"
#include "platform/file_open.h"
#include "platform/file_sync.h"
#include "platform/paths.h"

namespace quorvexia {

namespace {

// Opens a regular file for reading as text; a directory, pipe or device by
// the name is refused as a file that cannot be opened.
platform::StdioFile OpenQueueFile(const char* path) {
    return platform::StdioFile(platform::OpenRegularFileForReading(path));
}

// Reads a line and drops what follows of it when it is longer than one piece.
bool ReadWholeLine(char* line, std::size_t capacity, std::FILE* file, bool& whole) {
    if (ReadFileLine(line, capacity, file, &whole) != 0) return false;
    if (!whole) {
        char rest[kQueueTextLineSize];
        bool restWhole = false;
        while (ReadFileLine(rest, sizeof rest, file, &restWhole) == 0 && !restWhole) {
        }
    }
    return true;
}

std::int32_t Clamp32(long long value) { return value > INT32_MAX ? INT32_MAX : std::int32_t(value); }

}  // namespace

void StuffLeadingDot(char* line) {
    std::memmove(line + 1, line, std::strlen(line) + 1);
    line[0] = '.';
}

bool QueuedMessage::formNames(const std::string& dir, const std::string& name) {
    dir_ = dir;
    std::string base = name.substr(0, name.find('.'));
    int b = std::snprintf(baseName_, sizeof baseName_, "%s", base.c_str());
    int e = std::snprintf(envelopePath_, sizeof envelopePath_, "%s%c%s", dir.c_str(), platform::kPathSeparator,
                          name.c_str());
    int t = std::snprintf(textPath_, sizeof textPath_, "%s%c%s.txt", dir.c_str(), platform::kPathSeparator,
                          baseName_);
    return b >= 0 && e >= 0 && t >= 0 && std::size_t(b) < kQueueNameSize && std::size_t(e) < kQueueNameSize &&
           std::size_t(t) < kQueueNameSize;
}

bool QueuedMessage::openEnvelope() {
    envelope_ = OpenQueueFile(envelopePath_);
    return envelope_ != nullptr;
}

bool QueuedMessage::readSender() {
    bool whole = true;
    ReadWholeLine(line_, sizeof line_, envelope_.get(), whole);
    bool haveSender = ReadWholeLine(sender_, sizeof sender_, envelope_.get(), whole);
    return haveSender && !IsBlankLine(sender_) && whole;
}

bool QueuedMessage::nextRecipient(bool& whole) {
    while (ReadWholeLine(recipient_, sizeof recipient_, envelope_.get(), whole)) {
        if (!whole || !IsBlankLine(recipient_)) return true;
    }
    return false;
}

bool QueuedMessage::openText() {
    text_ = OpenQueueFile(textPath_);
    if (!text_) return false;
    std::fseek(text_.get(), 0, SEEK_END);
    size_ = Clamp32(ftello(text_.get()));
    std::fseek(text_.get(), 0, SEEK_SET);
    return true;
}

bool QueuedMessage::nextTextLine(std::string_view& line) {
    if (ReadFileLine(line_, sizeof line_, text_.get()) != 0) return false;
    if (inHeader_) {
        if (line_[0] == '\0') {
            inHeader_ = false;
        } else if (strncasecmp(line_, "To:", 3) == 0) {
            ExtractAddress(logRecipient_, line_ + 3);
        }
    }
    if (line_[0] == '.') StuffLeadingDot(line_);
    line = line_;
    return true;
}

std::int32_t QueuedMessage::textPosition() const { return Clamp32(ftello(text_.get())); }

bool QueuedMessage::textFailed() const { return std::ferror(text_.get()) != 0; }

void QueuedMessage::removePair() const {
    std::remove(envelopePath_);
    std::remove(textPath_);
}

bool QueuedMessage::keepRefused() const {
    std::string refused = dir_ + platform::kPathSeparator + "refused";
    if (!platform::MakePrivateDirectory(refused.c_str())) return false;
    for (unsigned n = 0; n < kRefusedNameCandidates; ++n) {
        std::string base = refused + platform::kPathSeparator + baseName_;
        if (n > 0) base += "-" + std::to_string(n);
        std::string envelope = base + ".wrk";
        std::string text = base + ".txt";
        if (envelope.size() >= kQueueNameSize || text.size() >= kQueueNameSize) return false;
        if (platform::NameTaken(text.c_str())) continue;
        bool exists = false;
        if (!platform::RenameNoReplace(envelopePath_, envelope.c_str(), exists)) {
            if (exists) continue;
            return false;
        }
        if (!platform::RenameNoReplace(textPath_, text.c_str(), exists)) {
            // Half a pair is kept nowhere: the envelope goes back into the queue.
            platform::RenameNoReplace(envelope.c_str(), envelopePath_, exists);
            return false;
        }
        // The pair has moved either way; forcing the names to disk makes the
        // move survive a crash like every other change of the queue.
        platform::SyncedDirectory from, to;
        if (from.open(dir_.c_str())) from.sync();
        if (to.open(refused.c_str())) to.sync();
        return true;
    }
    return false;
}

}  // namespace quorvexia
