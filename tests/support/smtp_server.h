// A Python SMTP server from tests/ (aiosmtpd) as a child process on a free
// loopback port: the plain sink (smtp_sink.py) or the TLS server
// (tls/smtp_tls_server.py). It stores what it receives in a directory,
// says "ready" once it listens, ends by itself after its time limit, and is
// told to stop (a file "stop" in its directory) when the object goes.
#pragma once

#include <string>
#include <vector>

namespace quorvexia::test {

class SmtpServerProcess {
public:
    // The plain sink: smtp_sink.py PORT DIR SECONDS [DELAY], where DELAY is
    // the seconds it takes over each message it accepts.
    SmtpServerProcess(const std::string& dir, int seconds, double delay = 0);
    // The TLS server: smtp_tls_server.py MODE PORT CERT KEY DIR SECONDS.
    SmtpServerProcess(const std::string& mode, const std::string& cert, const std::string& key,
                      const std::string& dir, int seconds);
    ~SmtpServerProcess();
    SmtpServerProcess(const SmtpServerProcess&) = delete;
    SmtpServerProcess& operator=(const SmtpServerProcess&) = delete;

    bool ready() const { return ready_; }
    unsigned short port() const { return port_; }
    std::string address() const { return "127.0.0.1:" + std::to_string(port_); }

private:
    void start(const std::vector<std::string>& argv);

    std::string dir_;
    unsigned short port_;
    int pid_ = -1;
    bool ready_ = false;
    int readyPipe_ = -1;
};

}  // namespace quorvexia::test
