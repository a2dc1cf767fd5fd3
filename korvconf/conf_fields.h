// The fields korvconf shows and sets: each one a setting that korvcfg edits,
// named by its korvcfg label and by a short key, with korvcfg's limits on
// what a control takes back. The record is built and taken apart only by the
// shared conversions of config/setup_settings.h.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "config/setup_settings.h"
#include "config/side_file.h"

namespace quorvexia::conf {

enum class FieldKind { Text, Secret, Connection, DialEntry, Switch, Kilobytes, SmtpServer, Pop3Server };

struct Field {
    std::string_view key;      // what scripts type: "smtp-server"
    std::string_view label;    // korvcfg's label without its '&': "SMTP Server:"
    std::string_view section;  // the korvcfg tab it sits on
    FieldKind kind;
    std::size_t takenBack;     // characters korvcfg's control hands to the settings
    std::size_t fieldWidth;    // bytes of the record field (0: not a text field)
    std::string_view setting;  // the setting's own name: "smtpServer"
    std::string SetupSettings::*text = nullptr;  // Text, Secret, DialEntry and the servers
    int SetupSettings::*flag = nullptr;          // Switch
};

const std::vector<Field>& AllFields();

// The field for a name given on the command line: its key, its label or the
// setting's name, compared without regard to case, blanks and punctuation
// ("POP3 Username:", "pop3-user" and "pop3User" are one field). Null when
// unknown.
const Field* FindField(std::string_view name);

// Sets one field in the settings; an empty result means it was taken,
// otherwise it tells what is wrong with the value. A text longer than the
// record field gets a note in `warning`: it will be cut when saved.
std::string ApplyField(const Field& field, std::string_view value, SetupSettings& settings,
                       std::string& warning);

// Checks that cannot be made one field at a time (a modem connection needs an
// entry; the size and delete switch mean nothing without flood protection).
// `given` lists the fields of this command.
std::string CheckSettings(const SetupSettings& settings, const std::vector<const Field*>& given);

// Every field by its label, grouped by tab, passwords masked; then the
// message counter.
std::string FormatSettings(const SetupSettings& settings, std::uint32_t messageCounter);

// The list of fields for the usage text.
std::string FormatFieldList();

// The section of `korvconf show` for korv.conf (`present` false: no file).
std::string FormatSideSettings(const SideSettings& side, bool present);
// The keys of korv.conf for the usage text.
std::string FormatSideKeyList();

}  // namespace quorvexia::conf
