#include "activity_log.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "console.h"
#include "korv_state.h"
#include "platform/paths.h"

namespace quorvexia {

namespace {
std::FILE* logStream = nullptr;
}  // namespace

std::int32_t progressCalls = 0;
std::int32_t progressWidth = 0;

void WriteLogHeader(bool sendRequested, bool receiveRequested, bool /*hangupRequested*/) {
    std::time_t now = std::time(nullptr);
    std::tm local = *std::localtime(&now);
    std::string path(mailConfig.logFile.text());
    if (path.empty()) return;
    logStream = std::fopen(path.c_str(), "a");
    if (!logStream) return;
    char header[255];
    if (std::strftime(header, sizeof header, "\n----------  %a %d %b %y, Quorvexia 2.12; ", &local) == 0)
        header[0] = '\0';
    std::fputs(header, logStream);
    if (sendRequested) std::fputs("SEND", logStream);
    if (sendRequested && receiveRequested) std::fputs("/", logStream);
    if (receiveRequested) std::fputs("RECEIVE", logStream);
    std::fputs("\n", logStream);
}

void LogEvent(char code, const char* text) {
    if (!logStream) return;
    std::time_t now = std::time(nullptr);
    std::tm local = *std::localtime(&now);
    std::fprintf(logStream, "%c %2d:%02d:%02d  %s\n", code, local.tm_hour, local.tm_min, local.tm_sec,
                 text);
    // Each line reaches the file at once, so a run that is killed still leaves its story.
    std::fflush(logStream);
}

void LogEventf(char code, const char* format, ...) {
    if (!logStream) return;
    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    LogEvent(code, text);
}

void CloseLog() {
    if (logStream) std::fclose(logStream);
    logStream = nullptr;
}

bool LogIsOpen() { return logStream != nullptr; }

FatalError::FatalError(const char* format, ...) {
    // Long texts (a dial-up error text can be long) are cut to the 255 characters the message holds.
    va_list args;
    va_start(args, format);
    std::vsnprintf(text_, sizeof text_, format, args);
    va_end(args);
}

void ReportFatalError(const FatalError& error) {
    char text[256];
    std::snprintf(text, sizeof text, "%s", error.what());
    std::size_t length = std::strlen(text);
    if (length > 0 && text[length - 1] == '.') text[length - 1] = '\0';
    ConsolePrint("%s.\n", text);
    LogEvent('!', text);
}

unsigned long SecondsSince(std::time_t start) {
    double seconds = std::difftime(std::time(nullptr), start);
    return seconds > 0 ? static_cast<unsigned long>(seconds) : 0;
}

void ShowProgress(std::int32_t total, std::int32_t done) {
    // Figures redrawn with backspaces are for a watching eye: in a file, a
    // pipe or the journal they are noise (journald keeps such a line as
    // binary data), so only a terminal gets them.
    if (debugMode || !consoleInteractive) return;
    if (progressCalls % 10 != 0) {
        ++progressCalls;
        return;
    }
    progressCalls = 0;
    for (std::int32_t i = 0; i < progressWidth; ++i) std::fputc('\b', consoleStream);
    char text[32];
    if (total > 0) {
        std::int64_t percent = std::int64_t(done) * 100 / total;
        if (percent < 0) percent = 0;
        if (percent > 100) percent = 100;
        std::snprintf(text, sizeof text, "%3d%%", static_cast<int>(percent));
    } else if (total < 0) {
        std::snprintf(text, sizeof text, "%5d bytes", static_cast<int>(done));
    } else {
        std::fputs("100%", consoleStream);
        progressWidth = 4;
        progressCalls = 1;
        FlushConsole();
        return;
    }
    // Redraws of an unchanged figure wait in the stream's buffer; flushing
    // each would cost a write per ten lines of a message. The first figure
    // of a message (nothing shown yet) always goes out.
    static char shown[32];
    bool fresh = progressWidth == 0 || std::strcmp(shown, text) != 0;
    std::fputs(text, consoleStream);
    progressWidth = static_cast<std::int32_t>(std::strlen(text));
    progressCalls = 1;
    if (fresh) {
        std::snprintf(shown, sizeof shown, "%s", text);
        FlushConsole();
    }
}

}  // namespace quorvexia
