// The activity log (one block of lines per run, appended to the file named by
// logFile), the unrecoverable error that ends a run, and the progress
// indicator of a message transfer.
#pragma once

#include <cstdint>
#include <ctime>
#include <exception>

#include "console.h"
#include "korv_state.h"

namespace quorvexia {

// Opens the log and writes its empty line and header line. A log that cannot
// be opened (an empty logFile included) means no log for this run, silently.
void WriteLogHeader(bool sendRequested, bool receiveRequested, bool hangupRequested);

// Appends one event line "%c %2d:%02d:%02d  %s" when the log is open.
void LogEvent(char code, const char* text);
void LogEventf(char code, const char* format, ...) __attribute__((format(printf, 2, 3)));

void CloseLog();
bool LogIsOpen();

// An error that ends the run: thrown where it is found, so that every open
// handle closes on the way out, and reported once, by KorvMain, which then
// closes the log, changes back to the starting directory and ends with 1.
// The text holds at most 255 characters; a longer one is cut.
class FatalError : public std::exception {
public:
    explicit FatalError(const char* format, ...) __attribute__((format(printf, 2, 3)));
    const char* what() const noexcept override { return text_; }

private:
    char text_[256];
};

// Prints the error's text with exactly one full stop and logs it with '!'
// and none.
void ReportFatalError(const FatalError& error);

// Whole seconds from `start` to now, for durations and rates; 0 when the
// clock has been set back since.
unsigned long SecondsSince(std::time_t start);

// Progress indicator state; the transfers reset both for each message.
extern std::int32_t progressCalls;
extern std::int32_t progressWidth;

// Draws the indicator on the current console line; ShowProgress calls it.
void DrawProgress(std::int32_t total, std::int32_t done);

// Draws the indicator on the current console line (every tenth call). It is
// called for every line of a message, so the nine calls that draw nothing
// cost no more than a counter.
inline void ShowProgress(std::int32_t total, std::int32_t done) {
    // Figures redrawn with backspaces are for a watching eye: in a file, a
    // pipe or the journal they are noise (journald keeps such a line as
    // binary data), so only a terminal gets them.
    if (debugMode || !consoleInteractive) return;
    if (progressCalls % 10 != 0) {
        ++progressCalls;
        return;
    }
    DrawProgress(total, done);
}

}  // namespace quorvexia
