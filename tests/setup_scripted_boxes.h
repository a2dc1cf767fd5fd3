// Message boxes for setup tests: questions take their answers from a preset
// list, and every box shown is recorded with its kind and text.
#pragma once

#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

#include "setup/message_boxes.h"

namespace quorvexia::test {

struct ShownBox {
    setup::MessageKind kind;
    std::string text;
    bool owned;
    bool operator==(const ShownBox& o) const { return kind == o.kind && text == o.text && owned == o.owned; }
};

inline std::ostream& operator<<(std::ostream& out, const ShownBox& box) {
    const char* kind = box.kind == setup::MessageKind::Question  ? "question"
                       : box.kind == setup::MessageKind::Warning ? "warning"
                                                                 : "stop";
    return out << kind << " \"" << box.text << "\"" << (box.owned ? " (owned)" : "");
}

inline ShownBox Question(std::string text) { return {setup::MessageKind::Question, std::move(text), false}; }
inline ShownBox Warning(std::string text) { return {setup::MessageKind::Warning, std::move(text), false}; }
inline ShownBox Stop(std::string text) { return {setup::MessageKind::Stop, std::move(text), true}; }

class ScriptedBoxes : public setup::MessageBoxes {
public:
    explicit ScriptedBoxes(std::deque<bool> answers = {}) : answers(std::move(answers)) {}
    bool show(setup::MessageKind kind, const std::string& text, void* owner) override {
        shown.push_back({kind, text, owner != nullptr});
        if (kind != setup::MessageKind::Question) return true;
        if (answers.empty()) {
            ADD_FAILURE() << "unexpected question: " << text;
            return false;
        }
        bool answer = answers.front();
        answers.pop_front();
        return answer;
    }
    std::deque<bool> answers;  // true = Yes
    std::vector<ShownBox> shown;
};

}  // namespace quorvexia::test
