// Reading a secret without it ever standing on a command line: one line from
// standard input, or, when that is a terminal, at a prompt with the echo off.
#pragma once

#include <string>

namespace quorvexia::platform {

// From a terminal: writes `prompt` to it, reads one line with the echo turned
// off (restored on every way out, signals included) and ends the prompt's
// line. Otherwise reads one line of standard input. The line end ("\n" or
// "\r\n") is not part of the value. False at the end of the input.
bool ReadSecretLine(const std::string& prompt, std::string& value);

}  // namespace quorvexia::platform
