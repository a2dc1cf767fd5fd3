// A private Dovecot POP3 server for interoperability tests: its own
// configuration, state and Maildir in a temporary directory, listening on a
// free loopback port, stopped by its pid when the object goes.
#pragma once

#include <string>

#include "support/temp_dir.h"

namespace quorvexia::test {

class DovecotServer {
public:
    DovecotServer();  // prepared, not started
    ~DovecotServer();
    DovecotServer(const DovecotServer&) = delete;
    DovecotServer& operator=(const DovecotServer&) = delete;

    static bool Installed();
    // Places a message file (as it lies in the mailbox, LF line ends) before start().
    void addMessage(const std::string& name, const std::string& text);
    bool start();  // false when it does not accept connections within 20 s
    void stop();

    std::string address() const { return "127.0.0.1:" + std::to_string(port_); }
    std::string user() const { return "ann"; }
    std::string password() const { return "secret"; }
    // The number of messages left in the mailbox (new and cur).
    int messagesLeft() const;

private:
    TempDir dir_;
    unsigned short port_ = 0;
    int pid_ = 0;
};

}  // namespace quorvexia::test
