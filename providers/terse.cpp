#include "terse.h"

namespace quorvexia::providers {

std::vector<std::string> SplitTerseLine(std::string_view line) {
    std::vector<std::string> fields(1);
    for (std::size_t i = 0; i < line.size(); ++i) {
        char c = line[i];
        if (c == '\\' && i + 1 < line.size()) {
            fields.back() += line[++i];
        } else if (c == ':') {
            fields.emplace_back();
        } else {
            fields.back() += c;
        }
    }
    return fields;
}

std::vector<std::vector<std::string>> ParseTerse(std::string_view output) {
    std::vector<std::vector<std::string>> records;
    while (!output.empty()) {
        std::size_t end = output.find('\n');
        std::string_view line = output.substr(0, end);
        output = end == std::string_view::npos ? std::string_view() : output.substr(end + 1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (!line.empty()) records.push_back(SplitTerseLine(line));
    }
    return records;
}

}  // namespace quorvexia::providers
