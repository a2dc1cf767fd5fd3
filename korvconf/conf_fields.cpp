#include "conf_fields.h"

#include <algorithm>
#include <cctype>

#include "config/server_address.h"

namespace quorvexia::conf {

namespace {

using S = SetupSettings;

std::string Normalise(std::string_view name) {
    std::string out;
    for (char c : name)
        if (std::isalnum(static_cast<unsigned char>(c)))
            out += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

// The "Connect as" dialog reads its edits with a 256-byte buffer, the
// Security page its size edit with 16 bytes, the text pages with 260.
const std::vector<Field> kFields = {
    {"domain", "Domain name:", "Mail servers", FieldKind::Text, kSettingTextMax, 64, "domainName", &S::domainName},
    {"smtp-server", "SMTP Server:", "Mail servers", FieldKind::SmtpServer, kSettingTextMax, 64, "smtpServer", &S::smtpServer},
    {"pop3-server", "POP3 Server:", "Mail servers", FieldKind::Pop3Server, kSettingTextMax, 64, "pop3Server", &S::pop3Server},
    {"pop3-user", "POP3 Username:", "Mail servers", FieldKind::Text, kSettingTextMax, 128, "pop3User", &S::pop3User},
    {"pop3-password", "POP3 Password:", "Mail servers", FieldKind::Secret, kSettingTextMax, 64, "pop3Password", &S::pop3Password},
    {"inbound", "Inbound email:", "Directories", FieldKind::Text, kSettingTextMax, 80, "inboundDir", &S::inboundDir},
    {"outbound", "Outbound email:", "Directories", FieldKind::Text, kSettingTextMax, 80, "outboundDir", &S::outboundDir},
    {"logfile", "Logfile:", "Directories", FieldKind::Text, kSettingTextMax, 80, "logFile", &S::logFile},
    {"connection", "Connect by:", "Connection", FieldKind::Connection, 0, 0, "connectionMode"},
    {"dial-entry", "Using this connection:", "Connection", FieldKind::DialEntry, kDialTextMax, 257, "dialEntry", &S::dialEntry},
    {"dial-user", "Connect as Username:", "Connection", FieldKind::Text, 255, 257, "dialUser", &S::dialUser},
    {"dial-password", "Connect as Password:", "Connection", FieldKind::Secret, 255, 257, "dialPassword", &S::dialPassword},
    {"flood-protection", "Flood protection:", "Security", FieldKind::Switch, 0, 0, "floodProtection", nullptr, &S::floodProtection},
    {"max-size", "Maximum message size:", "Security", FieldKind::Kilobytes, kMaxSizeTextMax, 0, "maxMessageSize"},
    {"delete-oversize", "Delete larger messages from server:", "Security", FieldKind::Switch, 0, 0, "deleteOversize", nullptr, &S::deleteOversize},
};

constexpr std::string_view kMask = "********";

std::string Quoted(std::string_view value) {
    std::string out;
    out.reserve(value.size() + 2);
    out.append(1, '\'').append(value).append(1, '\'');
    return out;
}

std::string LabelName(const Field& field) {
    std::string_view label = field.label;
    if (!label.empty() && label.back() == ':') label.remove_suffix(1);
    return std::string(label);
}

ServerProtocol ProtocolOf(const Field& field) {
    return field.kind == FieldKind::SmtpServer ? ServerProtocol::Smtp : ServerProtocol::Pop3;
}

// What a server field's form means, shown after it: "(STARTTLS, port 587)".
std::string ServerNote(const Field& field, const std::string& value) {
    ServerAddress address;
    std::string error;
    if (!ParseServerAddress(value, ProtocolOf(field), address, error)) return "  (" + error + ")";
    switch (address.security) {
        case TransportSecurity::StartTls: return "  (STARTTLS, port " + std::to_string(address.port) + ")";
        case TransportSecurity::ImplicitTls: return "  (TLS, port " + std::to_string(address.port) + ")";
        default: return {};
    }
}

bool ParseSwitch(std::string_view value, int& flag) {
    std::string v = Normalise(value);
    if (v == "on" || v == "yes" || v == "true" || v == "1") {
        flag = 1;
        return true;
    }
    if (v == "off" || v == "no" || v == "false" || v == "0") {
        flag = 0;
        return true;
    }
    return false;
}

// Whole kilobytes, digits only: a limit that would not fit the record, a
// sign or trailing letters are refused rather than read the lenient way.
bool ParseWholeKilobytes(std::string_view value, long& kilobytes) {
    if (value.empty() || value.size() > 15) return false;
    long n = 0;
    for (char c : value) {
        if (c < '0' || c > '9') return false;
        n = n * 10 + (c - '0');
        if (n > kMaxKilobytes) return false;
    }
    kilobytes = n;
    return true;
}

}  // namespace

const std::vector<Field>& AllFields() { return kFields; }

const Field* FindField(std::string_view name) {
    std::string wanted = Normalise(name);
    if (wanted.empty()) return nullptr;
    for (const Field& f : kFields) {
        if (wanted == Normalise(f.key) || wanted == Normalise(f.label) || wanted == Normalise(f.setting))
            return &f;
    }
    return nullptr;
}

std::string ApplyField(const Field& field, std::string_view value, SetupSettings& settings,
                       std::string& warning) {
    warning.clear();
    switch (field.kind) {
        case FieldKind::SmtpServer:
        case FieldKind::Pop3Server: {
            std::string error = CheckServerField(CutText(value, field.fieldWidth - 1), ProtocolOf(field));
            if (!error.empty()) return error;
        }
            [[fallthrough]];
        case FieldKind::Text:
        case FieldKind::Secret:
        case FieldKind::DialEntry: {
            std::string taken = CutText(value, field.takenBack);
            // Counted in bytes, as the record holds them: an accented letter
            // takes two or more, and none is ever split.
            std::size_t kept = WholeCharacterLength(taken, field.fieldWidth - 1);
            if (kept < value.size())
                warning = LabelName(field) + " is cut to its first " + std::to_string(kept) + " bytes";
            settings.*field.text = std::move(taken);
            if (field.kind == FieldKind::DialEntry)
                settings.connectionMode =
                    settings.dialEntry.empty() ? kConnectByNetwork : kConnectByModem;
            return {};
        }
        case FieldKind::Connection: {
            std::string v = Normalise(value);
            if (v == "network" || v == "connectbynetwork") {
                settings.connectionMode = kConnectByNetwork;
                return {};
            }
            if (v == "modem" || v == "connectbymodem") {
                settings.connectionMode = kConnectByModem;
                return {};
            }
            return "Connect by takes network or modem, not " + Quoted(value);
        }
        case FieldKind::Switch:
            if (!ParseSwitch(value, settings.*field.flag))
                return LabelName(field) + " takes on or off, not " + Quoted(value);
            return {};
        case FieldKind::Kilobytes: {
            long kilobytes = 0;
            if (!ParseWholeKilobytes(value, kilobytes))
                return "Maximum message size takes whole kilobytes from 0 to " +
                       std::to_string(kMaxKilobytes) + ", not " + Quoted(value);
            settings.maxSizeText = std::to_string(kilobytes);
            return {};
        }
    }
    return {};
}

std::string CheckSettings(const SetupSettings& settings, const std::vector<const Field*>& given) {
    if (settings.connectionMode == kConnectByModem && settings.dialEntry.empty())
        return "Connect by modem needs a dial-up entry: give dial-entry NAME";
    if (!settings.floodProtection) {
        for (const Field* f : given) {
            if (f->kind == FieldKind::Kilobytes || f->flag == &S::deleteOversize)
                return LabelName(*f) + " takes effect only with flood protection on: give flood-protection on";
        }
    }
    return {};
}

std::string FormatSettings(const SetupSettings& settings, std::uint32_t messageCounter) {
    // Values start in one column, behind the longest indented label.
    std::size_t column = 0;
    for (const Field& f : kFields) column = std::max(column, 2 + f.label.size() + 1);
    auto line = [&](std::string_view indent, std::string_view label, const std::string& value) {
        std::string out(indent);
        out += label;
        if (!value.empty()) {
            out.append(column - out.size(), ' ');
            out += value;
        }
        return out + "\n";
    };

    std::string out;
    std::string_view section;
    for (const Field& f : kFields) {
        if (f.section != section) {
            section = f.section;
            out += std::string(section) + "\n";
        }
        std::string value;
        switch (f.kind) {
            case FieldKind::Text:
            case FieldKind::DialEntry:
                value = settings.*f.text;
                break;
            case FieldKind::SmtpServer:
            case FieldKind::Pop3Server:
                value = settings.*f.text;
                if (!value.empty()) value += ServerNote(f, CutText(value, f.fieldWidth - 1));
                break;
            case FieldKind::Secret:
                // Never the password, nor its length: only whether one is set.
                value = (settings.*f.text).empty() ? "" : std::string(kMask);
                break;
            case FieldKind::Connection:
                value = settings.connectionMode == kConnectByModem ? "modem" : "network";
                break;
            case FieldKind::Switch:
                value = settings.*f.flag ? "on" : "off";
                break;
            case FieldKind::Kilobytes:
                value = settings.maxSizeText + " kB";
                break;
        }
        out += line("  ", f.label, value);
    }
    out += line("", "Message counter:", std::to_string(messageCounter));
    return out;
}

std::string FormatSideSettings(const SideSettings& side, bool present) {
    if (!present) return "korv.conf: none (no helpers, no extra CA file)\n";
    std::string out = "korv.conf\n";
    for (const SideKey& k : SideKeys()) {
        // The sign-in's keys are shown once there is a sign-in.
        if (side.oauth.empty() && k.key.substr(0, 5) == "oauth") continue;
        std::string line = "  " + std::string(k.key) + ":";
        line.resize(std::max(line.size() + 1, std::size_t{22}), ' ');
        const std::string& value = side.*k.value;
        out += line + (value.empty() ? std::string("(not set)") : value) + "\n";
    }
    return out;
}

std::string FormatSideKeyList() {
    std::string out;
    for (const SideKey& k : SideKeys()) {
        std::string key(k.key);
        key.resize(std::max(key.size() + 1, std::size_t{18}), ' ');
        out += "  " + key + std::string(k.help) + "\n";
    }
    return out;
}

std::string FormatFieldList() {
    std::string out;
    for (const Field& f : kFields) {
        std::string key(f.key);
        key.resize(18, ' ');
        out += "  " + key + LabelName(f);
        switch (f.kind) {
            case FieldKind::Connection: out += " (network or modem)"; break;
            case FieldKind::Switch: out += " (on or off)"; break;
            case FieldKind::Kilobytes: out += " (whole kB)"; break;
            case FieldKind::DialEntry: out += " (a name chooses modem)"; break;
            case FieldKind::SmtpServer: out += " (host[:port], smtps://host or smtp+starttls://host)"; break;
            case FieldKind::Pop3Server: out += " (host[:port], pop3s://host or pop3+starttls://host)"; break;
            default: break;
        }
        out += "\n";
    }
    return out;
}

}  // namespace quorvexia::conf
