// The message boxes of the setup program, behind one narrow interface: the
// start-up decisions and the pages ask their questions and give their
// warnings through it, so that tests can preset the answers and check every
// text that was asked.
#pragma once

#include <string>
#include <string_view>

namespace quorvexia::setup {

inline constexpr const char* kSetupCaption = "Quorvexia 2.1 Setup";

enum class MessageKind {
    Question,  // question mark, Yes and No
    Warning,   // exclamation mark, OK
    Stop,      // stop sign, OK (errors reported by the dial-up provider)
};

class MessageBoxes {
public:
    virtual ~MessageBoxes() = default;
    // Shows `text` with the caption kSetupCaption, owned by `owner` (a window of
    // the front end, or nullptr for none). True when a question was answered
    // Yes; boxes with only OK give true as well.
    virtual bool show(MessageKind kind, const std::string& text, void* owner) = 0;
};

inline bool AskYesNo(MessageBoxes& boxes, const std::string& text) {
    return boxes.show(MessageKind::Question, text, nullptr);
}
inline void Warn(MessageBoxes& boxes, const std::string& text) {
    boxes.show(MessageKind::Warning, text, nullptr);
}

}  // namespace quorvexia::setup
