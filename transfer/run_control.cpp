#include "run_control.h"

#include <chrono>
#include <cstdio>
#include <ctime>

#include "activity_log.h"
#include "config/config_access.h"
#include "config/config_file.h"
#include "console.h"
#include "dial_up.h"
#include "korv_state.h"
#include "platform/console_keys.h"
#include "platform/dir_search.h"
#include "platform/net.h"
#include "platform/paths.h"
#include "run_options.h"
#include "sessions.h"

namespace quorvexia {

MailConfig mailConfig;
bool debugMode = false;
std::string programDir;
std::string startDir;
bool mailReceived = false;

namespace {

void PrintBanner() {
    ConsolePrint(" Quorvexia 2.12 - mail transfer for one user, by the Quorvexia developers\n");
    ConsolePrint("==========================================================================\n\n");
}

void LoadConfiguration() {
    switch (ReadKorvConfig(kConfigFileName, kLegacyConfigFileName, mailConfig)) {
        case ConfigOpenResult::OnlyLegacy:
            FatalError("Please upgrade old configuration file with KORVCFG");
        case ConfigOpenResult::Unreadable:
            FatalError("Could not read configuration");
        case ConfigOpenResult::Read:
            break;
    }
    if (!SignatureEquals(mailConfig.signature, kMailSignature, /*ignoreCase=*/true))
        FatalError("Configuration file is damaged");
}

void CheckDirectories() {
    NormaliseDirectory(mailConfig.inboundDir);
    NormaliseDirectory(mailConfig.outboundDir);
    std::string here = platform::CurrentDirectory();
    std::string inbound(mailConfig.inboundDir.text());
    if (!platform::ChangeDirectory(inbound))
        FatalError("Email inbound directory not found: %s", inbound.c_str());
    platform::ChangeDirectory(here);
    std::string outbound(mailConfig.outboundDir.text());
    if (!platform::ChangeDirectory(outbound))
        FatalError("Email outbound directory not found: %s", outbound.c_str());
    platform::ChangeDirectory(here);
}

void StartNet() {
    unsigned short granted = 0;
    if (platform::NetStartup(platform::kNetVersion11, granted) != 0)
        FatalError("Unable to initialize WINSOCK.DLL");
    if ((granted & 0xFF) != 1 || (granted >> 8) != (granted & 0xFF)) {
        platform::NetCleanup();
        FatalError("Couldn't find a usable WINSOCK.DLL");
    }
}

// Runs one phase up to `tries` times; the result of the last attempt.
int RunPhase(int (*session)(), std::int32_t tries) {
    int result = 1;
    for (std::int32_t attempt = 0; attempt < tries; ++attempt) {
        if (attempt > 0) ConsolePrint("Retrying...\n");
        // Only "worked" and "failed" count, so a phase never reaches the other phase's bit.
        result = session() == 0 ? 0 : 1;
        if (result == 0) break;
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
ConfigLock TakeRunLock(ConfigLockKind kind, const char* busyText) {
    ConfigLock lock = ConfigLock::Acquire(kConfigFileName, kind, kRunLockWait, [] {
        ConsolePrint("Waiting for another run on this configuration...\n");
        std::fflush(consoleStream);
    });
    if (lock.status() == ConfigLock::Status::Busy) {
        ConsolePrint("%s.\n", busyText);
        LogEvent('!', busyText);
    } else if (!lock.held()) {
        ConsolePrint("Could not lock configuration file: %s.\n", lock.error().c_str());
        LogEvent('!', ("Could not lock configuration file: " + lock.error()).c_str());
    }
    return lock;
}

bool QueueHoldsMessages() {
    std::string outbound(mailConfig.outboundDir.text());
    return platform::AnyFileMatches(outbound, "*.wrk");
}

int RunSendPhase(std::int32_t tries) {
    // Looked at before and after the wait: the other run may have sent them all.
    ConfigLock lock;
    if (QueueHoldsMessages()) {
        lock = TakeRunLock(ConfigLockKind::Sending, "Outbound queue is in use by another run");
        if (!lock.held()) return 1;
    }
    if (!QueueHoldsMessages()) {
        ConsolePrint("No messages for delivery.\n");
        LogEvent('+', "No messages for delivery");
        return 0;
    }
    return RunPhase(RunSmtpSession, tries);
}

int RunReceivePhase(std::int32_t tries) {
    ConfigLock lock = TakeRunLock(ConfigLockKind::Receiving, "POP3 mailbox is in use by another run");
    if (!lock.held()) return 1;
    // Another run may have stored messages since this one read korv.cfg:
    // go on from its counter, never back.
    std::uint32_t saved = 0;
    if (ReadMessageCounter(kConfigFileName, saved) && saved > mailConfig.messageCounter.get())
        mailConfig.messageCounter.set(saved);
    return RunPhase(RunPop3Session, tries);
}

int RunPasses(RunOptions& options) {
    int status = 0;
    for (;;) {
        mailReceived = false;
        if (options.sendRequested) {
            status = (status & ~1) | RunSendPhase(options.tries);
            if (options.receiveRequested) ConsolePrint("\n");
        }
        if (options.receiveRequested) {
            status = (status & ~2) | RunReceivePhase(options.tries) << 1;
        }
        // A pass without a transfer (/hangup alone) has nothing to repeat.
        bool transfers = options.sendRequested || options.receiveRequested;
        if (!transfers || options.daemonSeconds == 0 || mailReceived) break;
        WaitForNextPass(options.daemonSeconds);
        if (options.daemonSeconds == 0) break;
    }
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
    programDir = platform::ProgramDirFromArgv0(argc > 0 ? argv[0] : nullptr);
    startDir = platform::CurrentDirectory();

    RunOptions options = ParseSwitches(argc, argv);
    if (!HasAction(options)) {
        PrintUsage();
        return 1;
    }
    debugMode = options.debugMode;

    platform::ChangeDirectory(programDir);  // a failure leaves us where we started
    LoadConfiguration();
    CheckDirectories();
    WriteLogHeader(options.sendRequested, options.receiveRequested, options.hangupRequested);
    StartNet();
    if (!mailConfig.dialEntry.empty()) OpenDialUp(options.sendRequested || options.receiveRequested);

    int status = RunPasses(options);

    CloseDialUp(options.hangupRequested);
    platform::NetCleanup();
    CloseLog();
    platform::ChangeDirectory(startDir);
    std::fflush(consoleStream);
    return status;
}

}  // namespace quorvexia
