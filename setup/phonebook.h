// The dial-up provider as the Connection page uses it: listing the phonebook
// entries, finding the stored entry among them, and the provider's own
// dialogs for creating and editing an entry. Every function is looked up at
// the moment of use; without a provider, or without the function, nothing
// happens.
#pragma once

#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "message_boxes.h"
#include "platform/ras_library.h"

namespace quorvexia::setup {

inline constexpr const char* kTextUndefinedEnumError = "Undefined RasEnumEntries Error.";

// The provider's error codes that were shown to the user already.
using ReportedErrors = std::set<unsigned long>;

// The names of all entries in the default phonebook, in the order the
// provider reports them. An error of the provider's first answer is shown
// with its own text (or kTextUndefinedEnumError) in a stop box owned by
// `owner`, once: a code in `reported` is not shown again (the list is
// refreshed on every mode click, and a missing tool stays missing); a failed
// second ask (after "buffer too small") shows nothing. Either way no entry is
// listed.
std::vector<std::string> EnumeratePhonebookEntries(const platform::RasLibrary& ras, MessageBoxes& boxes,
                                                   void* owner, ReportedErrors& reported);

// The first name that begins with `prefix`, letter case ignored; -1 when none does.
int FindEntryByPrefix(const std::vector<std::string>& names, std::string_view prefix);

// The provider's dialogs; their results are the provider's business.
void CreatePhonebookEntry(const platform::RasLibrary& ras, void* owner);
void EditPhonebookEntry(const platform::RasLibrary& ras, void* owner, const std::string& name);

}  // namespace quorvexia::setup
