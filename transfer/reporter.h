// How the sessions tell what happened: a console sentence and the activity
// log line that goes with it leave the protocol code through one narrow
// interface, so that a test can record them and the pairing lives in one place.
#pragma once

#include <string>
#include <string_view>

namespace quorvexia {

class Reporter {
public:
    virtual ~Reporter() = default;
    // `console` is printed as given (its line end included) after any open
    // progress line is ended; `log` is written as an event line with `code`.
    // Either may be empty, and is then left out.
    virtual void report(std::string_view console, char code, std::string_view log) = 0;

    void say(std::string_view console) { report(console, 0, {}); }
    void log(char code, std::string_view text) { report({}, code, text); }
};

// The reporter of a run: the console and the activity log.
class RunReporter final : public Reporter {
public:
    void report(std::string_view console, char code, std::string_view log) override;
};

// A text formatted as printf does, cut to the 1023 characters of a log line.
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace quorvexia
