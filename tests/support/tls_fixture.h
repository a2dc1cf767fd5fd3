// TLS test furniture: a throwaway PKI made by tests/tls/make_pki.sh (see
// there for the certificates), trusted through SSL_CERT_FILE the way
// OpenSSL's default paths allow, and `openssl s_server` as a background
// endpoint for the certificate cases, stopped by its pid.
#pragma once

#include <string>
#include <vector>

#include "temp_dir.h"

namespace quorvexia::test {

class TestPki {
public:
    TestPki();  // made at once; a test fails when it cannot be
    std::string cert(const std::string& name) const { return dir_ / (name + ".pem"); }
    std::string key(const std::string& name) const { return dir_ / (name + ".key"); }
    std::string caFile() const { return cert("ca"); }
    // Makes this process trust the test CA (and nothing else).
    void trust() const;
    const std::string& dir() const { return dir_.path(); }

private:
    TempDir dir_;
};

// A background program, ended by its pid when the object goes; the command
// runs under `timeout` so that it ends by itself after `seconds`.
class BackgroundProcess {
public:
    BackgroundProcess(const std::vector<std::string>& args, int seconds = 60);
    ~BackgroundProcess();
    BackgroundProcess(const BackgroundProcess&) = delete;
    BackgroundProcess& operator=(const BackgroundProcess&) = delete;
    void stop();
    int pid() const { return pid_; }

private:
    int pid_ = 0;
};

// True once something accepts on 127.0.0.1:port (or `host`), within `seconds`
// (0: one try).
bool WaitUntilAccepts(unsigned short port, int seconds = 20, const std::string& host = "127.0.0.1");

// `openssl s_server` with one certificate on a free loopback port, reversing
// each line it gets (-rev), for one connection.
class OpensslServer {
public:
    OpensslServer(const std::string& cert, const std::string& key,
                  const std::vector<std::string>& extra = {});
    unsigned short port() const { return port_; }
    bool ready() const { return ready_; }

private:
    unsigned short port_;
    BackgroundProcess process_;
    bool ready_;
};

}  // namespace quorvexia::test
