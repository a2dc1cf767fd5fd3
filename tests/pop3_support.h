// A scripted POP3 server for korv's program tests: a small mailbox whose
// replies a test can replace one by one, and a cut of the connection at any
// step of the dialogue.
#pragma once

#include <string>
#include <vector>

#include "support/scripted_server.h"

namespace quorvexia::test {

struct ScriptMessage {
    ScriptMessage(std::string wire) : text(std::move(wire)) {}  // NOLINT: a text alone is a message
    std::string text;        // as the server sends it: CR LF lines, dot-stuffed, without the final "."
    std::string list;        // the reply to LIST; empty: "+OK n <size of text>"
    std::string retr = "+OK";
    std::string dele = "+OK";
};

enum class Cut {
    None,
    OnUser,          // the connection closes when USER arrives
    OnStat,
    OnList,          // when LIST of `cutMessage` arrives
    AfterListReply,  // after the LIST reply: RETR is read and never answered
    AfterRetrReply,  // "+OK" to RETR, then nothing
    MidText,         // "+OK" and half the text
    OnDele,          // DELE arrives and is never answered
};

struct Pop3Script {
    std::string greeting = "+OK POP3 ready";
    std::string user = "+OK";
    std::string pass = "+OK";
    std::string stat;  // empty: "+OK <count> <total size>"
    std::vector<ScriptMessage> messages;
    Cut cut = Cut::None;
    unsigned long cutMessage = 1;
};

// Serves one connection by the script; a stray command gets "-ERR".
void ServePop3(ServerConnection& connection, const Pop3Script& script);

}  // namespace quorvexia::test
