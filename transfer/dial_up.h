// Dial-up connection control: make sure the configured phonebook entry is
// connected before the transfer, and hang it up at the end when asked.
#pragma once

namespace quorvexia {

// Called once before the first pass, only when dialEntry is not empty.
void OpenDialUp(bool transferRequested);
// Called once after the last pass, whether or not an entry is configured.
void CloseDialUp(bool hangupRequested);

}  // namespace quorvexia
