// The message boxes of the setup program as Qt shows them.
#pragma once

#include "message_boxes.h"

namespace quorvexia::setup {

class QtMessageBoxes : public MessageBoxes {
public:
    // `owner` is a QWidget, or nullptr for a box of its own.
    bool show(MessageKind kind, const std::string& text, void* owner) override;
};

}  // namespace quorvexia::setup
