// Shared pieces of the send-phase program tests: a scripted SMTP dialogue,
// queue files, and the masks for what varies from run to run.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "support/program.h"
#include "support/scripted_server.h"

extern char** environ;

namespace quorvexia::test {

// One step of a scripted SMTP server: read a command line (or, with `data`,
// a message text up to its "." line), then send `reply` or, with `cut`, close.
struct SmtpStep {
    std::string reply;
    bool data = false;
    bool cut = false;
};

inline SmtpStep Reply(std::string r) { return {std::move(r) + "\r\n"}; }
inline SmtpStep Data(std::string r) { return {std::move(r) + "\r\n", true}; }
inline SmtpStep Cut(bool data = false) { return {"", data, true}; }

// Sends the greeting (or cuts at once), then follows the steps; afterwards it
// answers QUIT with 221 until the client closes. Message texts are kept.
inline ScriptedServer::Handler SmtpScript(std::vector<std::vector<SmtpStep>> perConnection,
                                          std::vector<std::string>* texts = nullptr) {
    return [perConnection, texts](ServerConnection& c, int index) {
        const auto& steps = perConnection.at(static_cast<std::size_t>(index));
        std::size_t i = 0;
        if (!steps.empty() && steps[0].cut) {
            c.close();
            return;
        }
        c.send(steps.empty() ? "220 hi\r\n" : steps[i++].reply);
        std::string line;
        for (; i < steps.size(); ++i) {
            bool got = steps[i].data ? c.readData(line) : c.readLine(line);
            if (!got) return;
            if (steps[i].data && texts) texts->push_back(line);
            if (steps[i].cut) {
                c.close();
                return;
            }
            c.send(steps[i].reply);
        }
        while (c.readLine(line)) {
            if (line == "QUIT") c.send("221 bye\r\n");
        }
    };
}

// The queue pair: the text file first, then the envelope file that queues it.
inline void QueueMessage(KorvSandbox& box, const std::string& base, const std::string& envelope,
                         const std::string& text) {
    WriteFile(box.outbound() + "/" + base + ".txt", text);
    WriteFile(box.outbound() + "/" + base + ".wrk", envelope);
}

// The log with time stamps, rates and durations masked.
inline std::string MaskSmtpLog(const std::string& log) {
    static const std::regex cps(R"(, \d+ CPS)");
    static const std::regex duration(R"((\n\$ HH:MM:SS  To [^\n]*), \d+:\d\d\n)");
    std::string masked = std::regex_replace(MaskLog(log), cps, ", N CPS");
    return std::regex_replace(masked, duration, "$1, M:SS\n");
}

}  // namespace quorvexia::test
