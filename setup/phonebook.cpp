#include "phonebook.h"

#include <cctype>
#include <cstring>
#include <memory>
#include <new>

#include "platform/ras.h"

namespace quorvexia::setup {

namespace {

using ras::DWORD;
using ras::RASENTRYNAMEA;

// A provider asking for more than this is not believed: 16 MiB would hold
// some sixty thousand entries.
constexpr DWORD kLargestEntryBuffer = 16u << 20;

struct EntryBuffer {
    std::unique_ptr<RASENTRYNAMEA[]> elements;
    std::size_t capacity = 0;  // elements

    bool allocate(DWORD bytes) {
        std::size_t count = (bytes + sizeof(RASENTRYNAMEA) - 1) / sizeof(RASENTRYNAMEA);
        if (count == 0) count = 1;
        elements.reset(new (std::nothrow) RASENTRYNAMEA[count]());
        capacity = elements ? count : 0;
        if (elements) elements[0].dwSize = sizeof(RASENTRYNAMEA);
        return elements != nullptr;
    }
};

std::string ErrorText(const platform::RasLibrary& ras, DWORD code) {
    auto* errorString = ras.find<ras::RasGetErrorStringA_t>("RasGetErrorStringA");
    if (errorString) {
        char text[256] = {};
        if (errorString(code, text, sizeof text) == 0) {
            text[sizeof text - 1] = '\0';
            if (text[0] != '\0') return text;
        }
    }
    return kTextUndefinedEnumError;
}

}  // namespace

std::vector<std::string> EnumeratePhonebookEntries(const platform::RasLibrary& ras, MessageBoxes& boxes,
                                                   void* owner, ReportedErrors& reported) {
    std::vector<std::string> names;
    if (!ras.loaded()) return names;
    auto* enumEntries = ras.find<ras::RasEnumEntriesA_t>("RasEnumEntriesA");
    if (!enumEntries) return names;

    EntryBuffer buffer;
    DWORD bytes = sizeof(RASENTRYNAMEA);
    DWORD count = 0;
    if (!buffer.allocate(bytes)) return names;
    DWORD result = enumEntries(nullptr, nullptr, buffer.elements.get(), &bytes, &count);
    if (result == ras::ERROR_BUFFER_TOO_SMALL) {
        // One more try with the size the provider asked for; when that fails
        // too, the list stays empty without a message.
        if (bytes > kLargestEntryBuffer || !buffer.allocate(bytes)) return names;
        count = 0;
        if (enumEntries(nullptr, nullptr, buffer.elements.get(), &bytes, &count) != 0) return names;
        result = 0;
    }
    if (result != 0) {
        if (reported.insert(result).second) boxes.show(MessageKind::Stop, ErrorText(ras, result), owner);
        return names;
    }
    // Never more elements than the buffer holds, whatever count says, and never
    // past an element's name field.
    std::size_t listed = count < buffer.capacity ? count : buffer.capacity;
    for (std::size_t i = 0; i < listed; ++i) {
        const char* name = buffer.elements[i].szEntryName;
        names.emplace_back(name, strnlen(name, sizeof buffer.elements[i].szEntryName));
    }
    return names;
}

int FindEntryByPrefix(const std::vector<std::string>& names, std::string_view prefix) {
    auto lower = [](char c) { return std::tolower(static_cast<unsigned char>(c)); };
    for (std::size_t i = 0; i < names.size(); ++i) {
        const std::string& name = names[i];
        if (name.size() < prefix.size()) continue;
        bool match = true;
        for (std::size_t k = 0; k < prefix.size() && match; ++k) match = lower(name[k]) == lower(prefix[k]);
        if (match) return static_cast<int>(i);
    }
    return -1;
}

void CreatePhonebookEntry(const platform::RasLibrary& ras, void* owner) {
    if (auto* create = ras.find<ras::RasCreatePhonebookEntryA_t>("RasCreatePhonebookEntryA")) {
        (void)create(owner, nullptr);
    }
}

void EditPhonebookEntry(const platform::RasLibrary& ras, void* owner, const std::string& name) {
    if (auto* edit = ras.find<ras::RasEditPhonebookEntryA_t>("RasEditPhonebookEntryA")) {
        (void)edit(owner, nullptr, name.c_str());
    }
}

}  // namespace quorvexia::setup
