// A private Dovecot POP3 server for interoperability tests: its own
// configuration, state and Maildir in a temporary directory, listening on a
// free loopback port, stopped by its pid when the object goes.
#pragma once

#include <string>

#include "support/temp_dir.h"

namespace quorvexia::test {

// Certificate and key for a Dovecot that requires TLS.
struct DovecotTls {
    std::string cert;
    std::string key;
};

// Sign-in by XOAUTH2 only, the token checked at an introspection endpoint
// (RFC 7662) that trusts `caFile`.
struct DovecotOauth {
    std::string introspectionUrl;
    std::string caFile;
};

class DovecotServer {
public:
    // Prepared, not started. With `tls`, it listens on 127.0.0.2 (so that a
    // client from 127.0.0.1 is not "the same host" that may log in in plain
    // text) with ssl = required: a plain port offering STLS, and a pop3s port.
    explicit DovecotServer(const DovecotTls* tls = nullptr, const DovecotOauth* oauth = nullptr);
    ~DovecotServer();
    DovecotServer(const DovecotServer&) = delete;
    DovecotServer& operator=(const DovecotServer&) = delete;

    static bool Installed();
    // Places a message file (as it lies in the mailbox, LF line ends) before start().
    void addMessage(const std::string& name, const std::string& text);
    bool start();  // false when it does not accept connections within 20 s
    void stop();

    std::string address() const { return host_ + ":" + std::to_string(port_); }
    std::string pop3sAddress() const { return host_ + ":" + std::to_string(pop3sPort_); }
    // Its log (logins and failed attempts are logged verbosely).
    std::string log() const;
    std::string user() const { return "ann"; }
    std::string password() const { return "secret"; }
    // The number of messages left in the mailbox (new and cur).
    int messagesLeft() const;

private:
    TempDir dir_;
    std::string host_ = "127.0.0.1";
    unsigned short port_ = 0;
    unsigned short pop3sPort_ = 0;
    int pid_ = 0;
};

}  // namespace quorvexia::test
