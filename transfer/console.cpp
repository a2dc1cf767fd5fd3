#include "console.h"

#include <cstdarg>

#include "korv_state.h"

namespace quorvexia {

std::FILE* consoleStream = stdout;
bool consoleLineOpen = false;
bool consoleInteractive = true;

void FlushConsole() {
    if (consoleInteractive) std::fflush(consoleStream);
}

void EndProgressLine() {
    if (consoleLineOpen) std::fputc('\n', consoleStream);
    consoleLineOpen = false;
}

void ConsolePrint(const char* format, ...) {
    EndProgressLine();
    va_list args;
    va_start(args, format);
    std::vfprintf(consoleStream, format, args);
    va_end(args);
}

void ConsoleOpenProgressLine(const char* format, unsigned long number) {
    ConsolePrint(format, number);
    if (debugMode) {
        std::fputc('\n', consoleStream);
    } else {
        consoleLineOpen = true;
        FlushConsole();
    }
}

void ConsoleEcho(const char* text, std::size_t length) {
    std::fwrite(text, 1, length, consoleStream);
    std::fputc('\n', consoleStream);
}

}  // namespace quorvexia
