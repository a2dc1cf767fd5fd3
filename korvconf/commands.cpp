#include "commands.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <unistd.h>

#include "conf_fields.h"
#include "conf_file.h"
#include "oauth_commands.h"
#include "config/config_access.h"
#include "config/config_file.h"
#include "config/config_names.h"
#include "config/side_file.h"

namespace quorvexia::conf {

namespace {

struct Context {
    std::string dir;
    std::string& out;
    std::string& err;

    // The file by its lower-case name, or by the same name in other capitals.
    std::string path(const char* name) const { return FindConfigFile(dir, name); }
    int fail(int status, const std::string& message) const {
        err += "korvconf: " + message + "\n";
        return status;
    }
};

bool Exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

// Why korv.cfg is not a file korvcfg would accept, and what to do about it.
int FailCurrent(const Context& c, const LoadedRecord& record) {
    std::string message = DescribeLoadFailure(record, kConfigFileName, false);
    if (record.status == LoadStatus::Missing)
        message += Exists(c.path(kLegacyConfigFileName))
                       ? " (bexolind.cfg is there: run 'korvconf upgrade')"
                       : " (create it with 'korvconf init')";
    else if (record.status != LoadStatus::Unreadable)
        message += " (replace it with the defaults by 'korvconf init --force')";
    return c.fail(kExitFile, message);
}

// korv.cfg as korvcfg would accept it, or a message saying why not.
bool LoadCurrent(const Context& c, LoadedRecord& record) {
    record = LoadRecordFile(c.path(kConfigFileName), /*legacy=*/false);
    if (record.status == LoadStatus::Loaded) return true;
    FailCurrent(c, record);
    return false;
}

// korvcfg opens the file for update and leaves one it may not write alone.
bool MayWrite(const Context& c) {
    if (access(c.path(kConfigFileName).c_str(), W_OK) == 0) return true;
    c.fail(kExitFile, std::string("korv.cfg cannot be changed: ") + std::strerror(errno));
    return false;
}

// A change of korv.cfg under the configuration lock: `change` sees the file as
// it is at this moment (so a message counter korv saved meanwhile is kept) and
// gives kExitDone to have its bytes written, or a failure it has reported.
using FileChange = std::function<int(std::string& bytes, bool exists)>;

int Change(const Context& c, const FileChange& change) {
    int status = kExitDone;
    std::string reason;
    ConfigUpdateResult result = UpdateConfigFile(
        c.path(kConfigFileName),
        [&](std::string& bytes, bool exists) {
            status = change(bytes, exists);
            return status == kExitDone;
        },
        reason);
    switch (result) {
        case ConfigUpdateResult::Replaced:
        case ConfigUpdateResult::Unchanged:
            return status;
        case ConfigUpdateResult::ReadFailed:
            return c.fail(kExitFile, "cannot read korv.cfg: " + reason);
        default:
            return c.fail(kExitFile, "cannot write korv.cfg: " + reason + " (the old file is unchanged)");
    }
}

int Init(const Context& c, const std::vector<std::string>& args) {
    bool force = false;
    for (std::size_t i = 1; i < args.size(); ++i) {
        if (args[i] == "--force" || args[i] == "-f") force = true;
        else return c.fail(kExitUsage, "init takes only --force, not '" + args[i] + "'");
    }
    auto refused = [&](bool exists) {
        if (force) return false;
        if (exists)
            return c.fail(kExitFile, "korv.cfg already exists (replace it with the defaults by 'korvconf init --force')"), true;
        if (Exists(c.path(kLegacyConfigFileName)))
            return c.fail(kExitFile, "bexolind.cfg is there: run 'korvconf upgrade' to keep its settings, or 'korvconf init --force' for the defaults"), true;
        return false;
    };
    if (refused(Exists(c.path(kConfigFileName)))) return kExitFile;
    return Change(c, [&](std::string& bytes, bool exists) {
        if (refused(exists)) return kExitFile;
        MailConfig image{};
        SetupSettings settings;
        SetDefaultSettings(settings, image);
        BuildRecordImage(settings, image);
        // Received messages keep their names apart only while the counter goes on.
        TakeCurrentCounter(bytes, image);
        bytes = RecordFileBytes(image);
        return kExitDone;
    });
}

int Show(const Context& c, const std::vector<std::string>& args) {
    if (args.size() > 1) return c.fail(kExitUsage, "show takes no arguments");
    LoadedRecord record;
    if (!LoadCurrent(c, record)) return kExitFile;
    SetupSettings settings;
    SettingsFromRecord(record.image, /*legacy=*/false, settings);
    c.out += FormatSettings(settings, record.image.messageCounter.get());
    SideSettings side;
    std::string error;
    SideFileStatus status = ReadSideFile(c.path(kSideFileName), side, error);
    if (status == SideFileStatus::Failed) return c.fail(kExitFile, error + " (mend or remove the file)");
    c.out += FormatSideSettings(side, status == SideFileStatus::Read);
    return kExitDone;
}

// korv.conf as it stands, or a message saying why it cannot be used.
bool LoadSide(const Context& c, SideSettings& side) {
    std::string error;
    if (ReadSideFile(c.path(kSideFileName), side, error) != SideFileStatus::Failed) return true;
    c.fail(kExitFile, error + " (mend or remove the file)");
    return false;
}

int SetSide(const Context& c, const std::vector<std::pair<const SideKey*, std::string>>& given) {
    SideSettings side;
    if (!LoadSide(c, side)) return kExitFile;
    for (const auto& [key, value] : given) side.*key->value = value;
    std::string error = CheckSideSettings(side);
    if (!error.empty()) return c.fail(kExitUsage, error);
    if (!WriteSideFile(c.path(kSideFileName), side, error))
        return c.fail(kExitFile, "cannot write korv.conf: " + error + " (the old file is unchanged)");
    return kExitDone;
}

int Set(const Context& c, std::vector<std::string> args, const SecretReader& readSecret) {
    if (args.size() < 3 || args.size() % 2 == 0)
        return c.fail(kExitUsage, "set takes pairs of FIELD VALUE (see 'korvconf help' for the fields)");
    // Every name and value is checked before the file is even read, so a
    // typing error changes nothing. A password given as "-" is read first:
    // nobody waits at a prompt while korv.cfg is locked.
    std::vector<const Field*> given;
    std::vector<std::string> values;
    std::vector<std::pair<const SideKey*, std::string>> sideGiven;
    for (std::size_t i = 1; i < args.size(); i += 2) {
        if (const SideKey* key = FindSideKey(args[i])) {
            std::string error = CheckSideValue(*key, args[i + 1]);
            if (!error.empty()) return c.fail(kExitUsage, error);
            sideGiven.emplace_back(key, args[i + 1]);
            continue;
        }
        const Field* field = FindField(args[i]);
        if (!field) return c.fail(kExitUsage, "unknown field '" + args[i] + "' (see 'korvconf help' for the fields)");
        if (field->kind == FieldKind::Secret && args[i + 1] == kReadSecret) {
            std::string label(field->label);
            if (!readSecret || !readSecret(label + " ", args[i + 1]))
                return c.fail(kExitUsage, "no value for " + std::string(field->key) + " on standard input");
        }
        SetupSettings probe;
        std::string warning;
        std::string error = ApplyField(*field, args[i + 1], probe, warning);
        if (!error.empty()) return c.fail(kExitUsage, error);
        given.push_back(field);
        values.push_back(args[i + 1]);
    }
    // A korv.conf that cannot be read stops the command before korv.cfg changes.
    SideSettings side;
    if (!sideGiven.empty() && !LoadSide(c, side)) return kExitFile;
    if (given.empty()) return SetSide(c, sideGiven);

    // A file that will not do is reported before anything is locked; it is
    // looked at again under the lock, as it is then.
    LoadedRecord record;
    if (!LoadCurrent(c, record)) return kExitFile;
    if (!MayWrite(c)) return kExitFile;
    std::string warnings;
    int status = Change(c, [&](std::string& bytes, bool exists) {
        if (!exists) return FailCurrent(c, LoadedRecord{});
        record = ParseRecord(bytes, /*legacy=*/false);
        if (record.status != LoadStatus::Loaded) return FailCurrent(c, record);
        if (!MayWrite(c)) return kExitFile;
        SetupSettings settings;
        SettingsFromRecord(record.image, /*legacy=*/false, settings);
        for (std::size_t i = 0; i < given.size(); ++i) {
            std::string warning;
            ApplyField(*given[i], values[i], settings, warning);
            if (!warning.empty()) warnings += "korvconf: " + warning + "\n";
        }
        std::string error = CheckSettings(settings, given);
        if (!error.empty()) return c.fail(kExitUsage, error);
        BuildRecordImage(settings, record.image);
        bytes = RecordFileBytes(record.image, record.excess);
        return kExitDone;
    });
    if (status == kExitDone) c.err += warnings;
    if (status == kExitDone && !sideGiven.empty()) status = SetSide(c, sideGiven);
    return status;
}

int Upgrade(const Context& c, const std::vector<std::string>& args) {
    if (args.size() > 1) return c.fail(kExitUsage, "upgrade takes no arguments");
    const char* exists = "korv.cfg already exists; bexolind.cfg is left alone";
    if (Exists(c.path(kConfigFileName))) return c.fail(kExitFile, exists);
    LoadedRecord legacy = LoadRecordFile(c.path(kLegacyConfigFileName), /*legacy=*/true);
    if (legacy.status != LoadStatus::Loaded) {
        std::string message = DescribeLoadFailure(legacy, kLegacyConfigFileName, true);
        if (legacy.status == LoadStatus::Short || legacy.status == LoadStatus::Signature)
            message += " (start anew with 'korvconf init')";
        return c.fail(kExitFile, message);
    }
    int status = Change(c, [&](std::string& bytes, bool current) {
        if (current) return c.fail(kExitFile, exists);
        SetupSettings settings;
        SettingsFromRecord(legacy.image, /*legacy=*/true, settings);
        BuildRecordImage(settings, legacy.image);
        bytes = RecordFileBytes(legacy.image);
        return kExitDone;
    });
    if (status != kExitDone) return status;
    // The old file goes only once the new one is safely in place.
    if (std::remove(c.path(kLegacyConfigFileName).c_str()) != 0)
        c.err += std::string("korvconf: korv.cfg written, but bexolind.cfg could not be removed: ") +
                 std::strerror(errno) + "\n";
    return kExitDone;
}

}  // namespace

// Runs the helper korv would run (a token-command before a password-command)
// and says whether its answer will do; the answer itself is never shown.
int TestHelper(const Context& c, const std::vector<std::string>& args) {
    if (args.size() != 1) return c.fail(kExitUsage, "test takes no arguments");
    SideSettings side;
    if (!LoadSide(c, side)) return kExitFile;
    bool token = !side.tokenCommand.empty();
    const std::string& command = token ? side.tokenCommand : side.passwordCommand;
    if (command.empty()) return c.fail(kExitUsage, "korv.conf has no password-command or token-command to test");
    std::string name = token ? "token-command" : "password-command";
    std::string answer, error;
    if (!RunCredentialCommand(command, answer, error)) return c.fail(kExitFile, name + ": " + error);
    c.out += name + " works: one line of " + std::to_string(answer.size()) + " characters, which korv can use.\n";
    return kExitDone;
}

std::string UsageText() {
    return "Usage: korvconf COMMAND\n"
           "Edits korv.cfg in the current directory.\n\n"
           "  init [--force]             create korv.cfg with the defaults\n"
           "  show                       show every setting (passwords masked)\n"
           "  set FIELD VALUE [...]      change settings; a password given as - is read\n"
           "                             from standard input (a terminal asks for it)\n"
           "  upgrade                    turn bexolind.cfg into korv.cfg\n"
           "  test                       run the password-command or token-command once\n"
           "                             and check its answer as korv would\n" +
           OauthUsageText() + "\n"
           "Fields (a label such as \"SMTP Server\" works too):\n" +
           FormatFieldList() + "\nKeys of korv.conf beside korv.cfg (an empty value removes one):\n" +
           FormatSideKeyList();
}

int RunKorvconf(const std::vector<std::string>& args, const std::string& dir, std::string& out,
                std::string& err, const SecretReader& readSecret) {
    Context c{dir, out, err};
    if (args.empty()) {
        err += UsageText();
        return kExitUsage;
    }
    const std::string& command = args[0];
    if (command == "init") return Init(c, args);
    if (command == "show") return Show(c, args);
    if (command == "set") return Set(c, args, readSecret);
    if (command == "upgrade") return Upgrade(c, args);
    if (command == "test") return TestHelper(c, args);
    if (command == "oauth") {
        // Without a terminal to talk with, only what needs no answer works.
        Conversation talk{[&](const std::string& s) { out += s; }, [&](const std::string& s) { err += s; },
                          [](std::string&) { return false; }};
        return RunOauth(args, dir, talk);
    }
    if (command == "help" || command == "--help" || command == "-h") {
        out += UsageText();
        return kExitDone;
    }
    c.fail(kExitUsage, "unknown command '" + command + "'");
    err += UsageText();
    return kExitUsage;
}

}  // namespace quorvexia::conf
