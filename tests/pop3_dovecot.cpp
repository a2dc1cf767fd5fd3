#include "pop3_dovecot.h"

#include <arpa/inet.h>
#include <grp.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "support/scripted_server.h"
#include "support/tls_fixture.h"

namespace quorvexia::test {

namespace {

const char* kDovecot = "/usr/sbin/dovecot";

}  // namespace

bool DovecotServer::Installed() { return access(kDovecot, X_OK) == 0; }

DovecotServer::DovecotServer(const DovecotTls* tls, const DovecotOauth* oauth) {
    const std::string& d = dir_.path();
    chmod(d.c_str(), 0711);  // the login processes must reach base_dir
    for (const char* sub : {"base", "state", "mail/ann/Maildir/new", "mail/ann/Maildir/cur", "mail/ann/Maildir/tmp"})
        std::filesystem::create_directories(d + "/" + sub);
    WriteFile(d + "/passwd", "ann:{PLAIN}secret\n");
    port_ = FreeLoopbackPort();
    std::string security = "ssl = no\ndisable_plaintext_auth = no\nauth_mechanisms = plain\n";
    std::string pop3s = "  inet_listener pop3s {\n    port = 0\n  }\n";
    if (tls) {
        host_ = "127.0.0.2";
        pop3sPort_ = FreeLoopbackPort();
        security = "ssl = required\nssl_cert = <" + tls->cert + "\nssl_key = <" + tls->key +
                   "\nssl_min_protocol = TLSv1.2\ndisable_plaintext_auth = yes\nauth_mechanisms = plain login\n"
                   "auth_verbose = yes\n";
        pop3s = "  inet_listener pop3s {\n    address = 127.0.0.2\n    port = " + std::to_string(pop3sPort_) +
                "\n    ssl = yes\n  }\n";
    }
    std::string passdb =
        "passdb {\n  driver = passwd-file\n  args = scheme=PLAIN username_format=%u " + d + "/passwd\n}\n";
    if (oauth) {
        // The auth process runs as dovecot's own user: the trust goes where it can read it.
        WriteFile(d + "/oauth-ca.pem", ReadFile(oauth->caFile));
        chmod((d + "/oauth-ca.pem").c_str(), 0644);
        WriteFile(d + "/oauth2.conf", "introspection_mode = post\nintrospection_url = " + oauth->introspectionUrl +
                                          "\nusername_attribute = username\nactive_attribute = active\n"
                                          "active_value = true\ntls_ca_cert_file = " + d + "/oauth-ca.pem\n");
        chmod((d + "/oauth2.conf").c_str(), 0644);
        security += "auth_mechanisms = xoauth2\nauth_failure_delay = 0\n";
        passdb = "passdb {\n  driver = oauth2\n  mechanisms = xoauth2\n  args = " + d + "/oauth2.conf\n}\n";
    }
    WriteFile(d + "/dovecot.conf",
              "protocols = pop3\nlisten = " + host_ + "\nbase_dir = " + d + "/base\nstate_dir = " + d +
                  "/state\nlog_path = " + d + "/dovecot.log\n" + security +
                  "mail_location = maildir:" + d + "/mail/%u/Maildir\n" +
                  passdb + "userdb {\n  driver = static\n  args = uid=nobody gid=nogroup home=" + d + "/mail/%u\n}\n"
                  "service pop3-login {\n  inet_listener pop3 {\n    address = " + host_ + "\n    port = " +
                  std::to_string(port_) + "\n  }\n" + pop3s + "}\n");
}

DovecotServer::~DovecotServer() { stop(); }

void DovecotServer::addMessage(const std::string& name, const std::string& text) {
    WriteFile(dir_.path() + "/mail/ann/Maildir/new/" + name, text);
}

bool DovecotServer::start() {
    const passwd* nobody = getpwnam("nobody");
    const group* nogroup = getgrnam("nogroup");
    if (!nobody || !nogroup) return false;
    std::string mail = dir_.path() + "/mail";
    lchown(mail.c_str(), nobody->pw_uid, nogroup->gr_gid);
    for (const auto& e : std::filesystem::recursive_directory_iterator(mail))
        lchown(e.path().c_str(), nobody->pw_uid, nogroup->gr_gid);

    std::string command = std::string(kDovecot) + " -c '" + dir_.path() + "/dovecot.conf'";
    if (std::system(command.c_str()) != 0) return false;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
        if (pid_ == 0) {
            std::ifstream pidFile(dir_.path() + "/base/master.pid");
            pidFile >> pid_;
        }
        if (pid_ != 0 && WaitUntilAccepts(port_, 0, host_) && (!pop3sPort_ || WaitUntilAccepts(pop3sPort_, 0, host_)))
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

void DovecotServer::stop() {
    if (pid_ == 0) return;
    kill(pid_, SIGTERM);
    for (int i = 0; i < 100 && kill(pid_, 0) == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (kill(pid_, 0) == 0) kill(pid_, SIGKILL);
    pid_ = 0;
}

std::string DovecotServer::log() const { return ReadFile(dir_.path() + "/dovecot.log"); }

int DovecotServer::messagesLeft() const {
    int n = 0;
    for (const char* sub : {"/mail/ann/Maildir/new", "/mail/ann/Maildir/cur"})
        for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir_.path() + sub)) ++n;
    return n;
}

}  // namespace quorvexia::test
