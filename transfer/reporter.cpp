#include "reporter.h"

#include <cstdarg>
#include <cstdio>

#include "activity_log.h"
#include "console.h"

namespace quorvexia {

void RunReporter::report(std::string_view console, char code, std::string_view log) {
    if (!console.empty()) ConsolePrint("%.*s", static_cast<int>(console.size()), console.data());
    if (!log.empty()) LogEvent(code, std::string(log).c_str());
}

std::string Format(const char* format, ...) {
    char text[1024];
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (n < 0) return {};
    return std::string(text, static_cast<std::size_t>(n) < sizeof text ? static_cast<std::size_t>(n) : sizeof text - 1);
}

}  // namespace quorvexia
