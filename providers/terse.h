// nmcli's terse output: one record a line, fields separated by ':', a ':' or
// '\' inside a value written as "\:" and "\\".
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace quorvexia::providers {

std::vector<std::string> SplitTerseLine(std::string_view line);

// Every non-empty line of the output, split into its fields.
std::vector<std::vector<std::string>> ParseTerse(std::string_view output);

}  // namespace quorvexia::providers
