// Accented texts longer than their fields, as korvcfg and korvconf must both
// store them: cut to what the setting holds (259 bytes) and then to the
// record's field, each time between two characters, never inside one.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace quorvexia::test {

struct Utf8FieldCase {
    const char* key;     // korvconf's field key
    const char* label;   // its label in korvconf's notes
    int tab;             // korvcfg's tab and edit
    const char* edit;
    std::size_t offset;  // the record field
    std::size_t width;
    std::string typed;
    std::string shown;   // the edit after leaving the tab and coming back
    std::string stored;  // the whole record field
};

inline std::string Repeat(const std::string& s, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += s;
    return out;
}

inline std::vector<Utf8FieldCase> Utf8FieldCases() {
    const std::string e = "\xC3\xA9", euro = "\xE2\x82\xAC", face = "\xF0\x9F\x98\x80";
    return {
        // 280 bytes: 129 letters (258 bytes) stay in the setting, 31 in the field.
        {"domain", "Domain name", 1, "1238", 16, 64, Repeat(e, 140), Repeat(e, 129),
         Repeat(e, 31) + std::string(2, '\0')},
        // 300 bytes: 86 signs in the setting, 42 (126 bytes) in the 128-byte field.
        {"pop3-user", "POP3 Username", 1, "1241", 368, 128, Repeat(euro, 100), Repeat(euro, 86),
         Repeat(euro, 42) + std::string(2, '\0')},
        // Four-byte characters: 64 in the setting, 19 (76 bytes) in the 80-byte field.
        {"logfile", "Logfile", 2, "1442", 560, 80, Repeat(face, 70), Repeat(face, 64),
         Repeat(face, 19) + std::string(4, '\0')},
    };
}

}  // namespace quorvexia::test
