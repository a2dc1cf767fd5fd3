// Message boxes for korvcfg's tests: questions take their answers from a
// preset list (No once it runs out), and every box shown is logged, one a
// line: "? " a question, "! " a warning, "x " a stop sign; "*" before the
// blank when a window owns the box.
#pragma once

#include <deque>
#include <string>

#include "setup/message_boxes.h"

namespace quorvexia::test {

struct ScriptedBoxes : setup::MessageBoxes {
    std::deque<bool> answers;  // true: Yes
    std::string shown;
    bool show(setup::MessageKind kind, const std::string& text, void* owner) override {
        shown += "?!x"[static_cast<int>(kind)] + std::string(owner ? "* " : " ") + text + "\n";
        if (kind != setup::MessageKind::Question) return true;
        bool yes = !answers.empty() && answers.front();
        if (!answers.empty()) answers.pop_front();
        return yes;
    }
};

}  // namespace quorvexia::test
