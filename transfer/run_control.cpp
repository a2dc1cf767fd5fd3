#include "run_control.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>

#include "activity_log.h"
#include "config/config_access.h"
#include "config/config_file.h"
#include "config/config_names.h"
#include "console.h"
#include "dial_up.h"
#include "korv_state.h"
#include "platform/console_keys.h"
#include "platform/dir_search.h"
#include "platform/net.h"
#include "platform/paths.h"
#include "pop3_session.h"
#include "reporter.h"
#include "run_options.h"
#include "smtp_session.h"

namespace quorvexia {

MailConfig mailConfig;
SideSettings sideSettings;
bool debugMode = false;

namespace {

void PrintBanner() {
    ConsolePrint(" Quorvexia 2.12 - mail transfer for one user, by the Quorvexia developers\n");
    ConsolePrint("==========================================================================\n\n");
}

void LoadConfiguration() {
    // Found whatever their letter case, as korvcfg and korvconf find them.
    const std::string current = FindConfigFile(".", kConfigFileName);
    const std::string legacy = FindConfigFile(".", kLegacyConfigFileName);
    switch (ReadKorvConfig(current.c_str(), legacy.c_str(), mailConfig)) {
        case ConfigOpenResult::OnlyLegacy:
            throw FatalError("Please upgrade old configuration file with KORVCFG");
        case ConfigOpenResult::Unreadable:
            throw FatalError("Could not read configuration");
        case ConfigOpenResult::Read:
            break;
    }
    if (!SignatureEquals(mailConfig.signature, kMailSignature, /*ignoreCase=*/true))
        throw FatalError("Configuration file is damaged");
    // korv.conf is optional; one that is there must be read whole.
    std::string error;
    if (ReadSideFile(kSideFileName, sideSettings, error) == SideFileStatus::Failed)
        throw FatalError("%s", error.c_str());
}

void CheckDirectories() {
    NormaliseDirectory(mailConfig.inboundDir);
    NormaliseDirectory(mailConfig.outboundDir);
    std::string here = platform::CurrentDirectory();
    std::string inbound(mailConfig.inboundDir.text());
    if (!platform::ChangeDirectory(inbound))
        throw FatalError("Email inbound directory not found: %s", inbound.c_str());
    platform::ChangeDirectory(here);
    std::string outbound(mailConfig.outboundDir.text());
    if (!platform::ChangeDirectory(outbound))
        throw FatalError("Email outbound directory not found: %s", outbound.c_str());
    platform::ChangeDirectory(here);
}

// The net layer from start-up to clean-up, which runs on every way out.
class NetUse {
public:
    NetUse() {
        unsigned short granted = 0;
        if (platform::NetStartup(platform::kNetVersion11, granted) != 0)
            throw FatalError("Unable to initialize WINSOCK.DLL");
        if ((granted & 0xFF) != 1 || (granted >> 8) != (granted & 0xFF)) {
            platform::NetCleanup();
            throw FatalError("Couldn't find a usable WINSOCK.DLL");
        }
    }
    ~NetUse() { platform::NetCleanup(); }
    NetUse(const NetUse&) = delete;
    NetUse& operator=(const NetUse&) = delete;
};

// Runs one phase up to `tries` times, each attempt a session of its own;
// the result of the last attempt.
template <typename Attempt>
int RunPhase(std::int32_t tries, Attempt attempt) {
    int result = 1;
    for (std::int32_t n = 0; n < tries; ++n) {
        if (n > 0) ConsolePrint("Retrying...\n");
        // Only "worked" and "failed" count, so a phase never reaches the other phase's bit.
        int outcome = attempt();
        result = outcome == 0 ? 0 : 1;
        if (outcome != 1) break;  // done, or a failure that another attempt would only repeat
    }
    return result;
}

// Reads keys that follow at once: an Esc that starts a terminal's key
// sequence (an arrow key, say) is not the Esc key.
bool IsLoneEscape(platform::KeyPolling& keys) {
    bool alone = true;
    while (keys.waitForKey(20)) {
        keys.readKey();
        alone = false;
    }
    return alone;
}

// The daemon wait: whole seconds of calendar time; Esc ends daemon mode.
void WaitForNextPass(std::uint32_t& daemonSeconds) {
    ConsolePrint("\n");
    ConsolePrint("Waiting for next event.\n");
    std::fflush(consoleStream);
    platform::KeyPolling keys;
    std::time_t start = std::time(nullptr);
    for (;;) {
        std::time_t now = std::time(nullptr);
        if (keys.waitForKey(0)) {
            if (keys.readKey() == platform::kEscapeKey && IsLoneEscape(keys)) {
                daemonSeconds = 0;
                break;
            }
        }
        if (std::difftime(now, start) >= daemonSeconds) break;
        keys.waitForKey(100);
    }
    ConsolePrint("\n");
}

// How long a phase waits for another run's phase on the same configuration.
constexpr std::chrono::seconds kRunLockWait{120};

// Two runs on one configuration never send from one queue or fetch from one
// mailbox at once: a phase takes its run lock first, waiting a while for
// another run to finish that phase; it holds the lock only for the phase, so
// the daemon wait holds nothing.
ConfigLock TakeRunLock(ConfigLockKind kind, const char* busyText, Reporter& reporter) {
    ConfigLock lock = ConfigLock::Acquire(FindConfigFile(".", kConfigFileName), kind, kRunLockWait, [] {
        ConsolePrint("Waiting for another run on this configuration...\n");
        std::fflush(consoleStream);
    });
    if (lock.status() == ConfigLock::Status::Busy) {
        reporter.report(Format("%s.\n", busyText), '!', busyText);
    } else if (!lock.held()) {
        std::string text = "Could not lock configuration file: " + lock.error();
        reporter.report(text + ".\n", '!', text);
    }
    return lock;
}

bool QueueHoldsMessages() {
    std::string outbound(mailConfig.outboundDir.text());
    return platform::AnyFileMatches(outbound, "*.wrk");
}

template <typename Attempt>
int RunSendPhase(std::int32_t tries, Attempt attempt, Reporter& reporter) {
    // Looked at before and after the wait: the other run may have sent them all.
    ConfigLock lock;
    if (QueueHoldsMessages()) {
        lock = TakeRunLock(ConfigLockKind::Sending, "Outbound queue is in use by another run", reporter);
        if (!lock.held()) return 1;
    }
    if (!QueueHoldsMessages()) {
        reporter.report("No messages for delivery.\n", '+', "No messages for delivery");
        return 0;
    }
    return RunPhase(tries, attempt);
}

template <typename Attempt>
int RunReceivePhase(std::int32_t tries, Attempt attempt, RunState& run, Reporter& reporter) {
    ConfigLock lock = TakeRunLock(ConfigLockKind::Receiving, "POP3 mailbox is in use by another run", reporter);
    if (!lock.held()) return 1;
    // Another run may have stored messages since this one read korv.cfg:
    // go on from its counter, never back.
    std::uint32_t saved = 0;
    if (ReadMessageCounter(FindConfigFile(".", kConfigFileName), saved))
        run.messageCounter = std::max(run.messageCounter, saved);
    return RunPhase(tries, attempt);
}

int RunPasses(RunOptions& options, RunState& run) {
    RunReporter reporter;
    auto smtp = [&] {
        SmtpSession session(mailConfig, sideSettings, reporter);
        return RunSession(session, reporter);
    };
    auto pop3 = [&] {
        Pop3Session session(mailConfig, sideSettings, run, reporter);
        return RunSession(session, reporter);
    };
    int status = 0;
    for (;;) {
        run.mailReceived = false;
        if (options.sendRequested) {
            status = (status & ~1) | RunSendPhase(options.tries, smtp, reporter);
            if (options.receiveRequested) ConsolePrint("\n");
        }
        if (options.receiveRequested) {
            status = (status & ~2) | RunReceivePhase(options.tries, pop3, run, reporter) << 1;
        }
        // A pass without a transfer (/hangup alone) has nothing to repeat.
        bool transfers = options.sendRequested || options.receiveRequested;
        if (!transfers || options.daemonSeconds == 0 || run.mailReceived) break;
        WaitForNextPass(options.daemonSeconds);
        if (options.daemonSeconds == 0) break;
    }
    return status;
}

// The dial-up provider is looked for in the program's directory; korv has
// already changed into it, so a relative one is taken from where the run started.
std::string ProviderDirectory(const std::string& programDir, const std::string& startDir) {
    if (programDir.empty() || programDir.front() == '/' || startDir.empty()) return programDir;
    return startDir + "/" + programDir;
}

// From the configuration to the last pass; throws FatalError.
int Run(RunOptions& options, const std::string& programDir, const std::string& startDir) {
    platform::ChangeDirectory(programDir);  // a failure leaves us where we started
    LoadConfiguration();
    CheckDirectories();
    WriteLogHeader(options.sendRequested, options.receiveRequested, options.hangupRequested);
    NetUse net;
    DialUp dialUp(mailConfig, ProviderDirectory(programDir, startDir));
    if (!mailConfig.dialEntry.empty()) dialUp.open(options.sendRequested || options.receiveRequested);

    RunState run;
    run.messageCounter = mailConfig.messageCounter.get();
    int status = RunPasses(options, run);

    dialUp.close(options.hangupRequested);
    return status;
}

}  // namespace

void NormaliseDirectory(TextField<80>& dir) {
    std::string_view value = dir.text();
    if (value.empty()) {
        dir.assignText(".");
    } else if (value.size() > 1 && value.back() == platform::kPathSeparator) {
        dir.bytes[value.size() - 1] = '\0';
    }
}

int KorvMain(int argc, const char* const* argv) {
    consoleInteractive = platform::StdoutIsTerminal();
    PrintBanner();
    std::string programDir = platform::ProgramDirFromArgv0(argc > 0 ? argv[0] : nullptr);
    std::string startDir = platform::CurrentDirectory();

    RunOptions options = ParseSwitches(argc, argv);
    if (!HasAction(options)) {
        PrintUsage();
        return 1;
    }
    debugMode = options.debugMode;

    int status = 1;
    try {
        status = Run(options, programDir, startDir);
    } catch (const FatalError& error) {
        ReportFatalError(error);
        status = 1;
    }
    return EndRun(status, startDir);
}

int EndRun(int status, const std::string& startDir) {
    CloseLog();
    platform::ChangeDirectory(startDir);
    std::fflush(consoleStream);
    return status;
}

}  // namespace quorvexia
