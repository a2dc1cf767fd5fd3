// The outbound queue: every message file pair (base.txt, base.wrk) waiting in
// the outbound directory is submitted over the open SMTP connection, one
// transaction each, and leaves the queue once the server has accepted it or
// refused it for good. A QueuedMessage is one such pair, opened for one
// transaction; its files close when it goes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/stdio_file.h"

namespace quorvexia {

inline constexpr std::size_t kQueueNameSize = 256;  // base name and paths: at most 255 characters
inline constexpr std::size_t kQueueTextLineSize = 1000;
inline constexpr std::size_t kQueueAddressSize = 256;
inline constexpr unsigned kRefusedNameCandidates = 1000;

class QueuedMessage {
public:
    // Forms the base name (the name up to its first ".") and the paths of the
    // pair whose envelope file is `dir`/`name`; false when a path or the base
    // name would pass 255 characters (the base name is then cut to fit).
    bool formNames(const std::string& dir, const std::string& name);
    const char* baseName() const { return baseName_; }

    // Opens the envelope file and reads its first line (any text, however
    // long) and the sender. openEnvelope: false when it cannot be opened;
    // readSender: false when the sender is missing, blank or too long for
    // its buffer (it would go out cut, as another address).
    bool openEnvelope();
    bool readSender();
    const char* sender() const { return sender_; }
    // The next recipient line that is not blank: false at the end of the
    // file. `whole` is false when the address was longer than its buffer
    // (what is in recipient() is then only a piece of it).
    bool nextRecipient(bool& whole);
    const char* recipient() const { return recipient_; }
    void closeEnvelope() { envelope_.reset(); }

    // Opens the text file and takes its size; false when it cannot be opened.
    bool openText();
    std::int32_t size() const { return size_; }
    // The next line of the text as it goes on the wire (a leading dot
    // doubled); false at its end. While the header lasts, the first address
    // of each "To:" line becomes the log's recipient.
    bool nextTextLine(std::string_view& line);
    // The position reached in the text, for the progress figure.
    std::int32_t textPosition() const;
    // True when reading the text failed (rather than ended).
    bool textFailed() const;
    void closeText() { text_.reset(); }
    // The recipient named in the text's header, "???" when none.
    const char* logRecipient() const { return logRecipient_; }

    // Removes the pair: the envelope file first, for without it the text is
    // no longer queued.
    void removePair() const;
    // Moves the pair into the folder "refused" inside the outbound directory
    // (made on first use, for its owner only), where korv never sends or
    // removes anything: the envelope file first, so that the pair leaves the
    // queue at once. A base name taken there gets a suffix ("-1", "-2", ...);
    // nothing is overwritten. False when the pair could not be moved; it is
    // then still queued.
    bool keepRefused() const;

private:
    std::string dir_;
    platform::StdioFile envelope_;
    platform::StdioFile text_;
    std::int32_t size_ = 0;
    bool inHeader_ = true;
    char baseName_[kQueueNameSize] = "";
    char envelopePath_[kQueueNameSize] = "";
    char textPath_[kQueueNameSize] = "";
    char sender_[kQueueAddressSize] = "";
    char recipient_[kQueueAddressSize] = "";
    char logRecipient_[kQueueAddressSize] = "???";
    char line_[kQueueTextLineSize];  // at most 998 characters read, so a doubled dot fits
};

// Puts one "." in front of a line; the line holds at most 998 characters of
// a 1000-byte buffer, so there is room.
void StuffLeadingDot(char* line);

}  // namespace quorvexia
