#include "tls_fixture.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "scripted_server.h"

namespace quorvexia::test {

TestPki::TestPki() {
    std::string command = std::string("'" QUORVEXIA_SOURCE_DIR "/tests/tls/make_pki.sh' '") + dir_.path() + "'";
    EXPECT_EQ(std::system(command.c_str()), 0) << "the test PKI could not be made";
}

void TestPki::trust() const {
    setenv("SSL_CERT_FILE", caFile().c_str(), 1);
    setenv("SSL_CERT_DIR", dir_.path().c_str(), 1);  // holds no hashed names: trusts nothing more
}

BackgroundProcess::BackgroundProcess(const std::vector<std::string>& args, int seconds) {
    std::vector<std::string> all = {"timeout", std::to_string(seconds)};
    all.insert(all.end(), args.begin(), args.end());
    pid_ = fork();
    if (pid_ == 0) {
        std::vector<char*> argv;
        for (auto& a : all) argv.push_back(a.data());
        argv.push_back(nullptr);
        int devNull = open("/dev/null", O_RDWR);
        dup2(devNull, 0);
        dup2(devNull, 1);
        execvp(argv[0], argv.data());
        _exit(127);
    }
}

BackgroundProcess::~BackgroundProcess() { stop(); }

void BackgroundProcess::stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    int status = 0;
    for (int i = 0; i < 100; ++i) {
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = 0;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    kill(pid_, SIGKILL);
    waitpid(pid_, &status, 0);
    pid_ = 0;
}

bool WaitUntilAccepts(unsigned short port, int seconds, const std::string& host) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    for (;;) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(port);
        inet_pton(AF_INET, host.c_str(), &addr.sin_addr);
        bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
        close(fd);
        if (ok) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

namespace {
std::vector<std::string> ServerArgs(unsigned short port, const std::string& cert, const std::string& key,
                                    const std::vector<std::string>& extra) {
    std::vector<std::string> args = {"openssl", "s_server", "-accept", "127.0.0.1:" + std::to_string(port),
                                     "-cert", cert, "-key", key, "-quiet", "-rev"};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
}
}  // namespace

// s_server takes the probe's connection as its first, so it serves any number.
OpensslServer::OpensslServer(const std::string& cert, const std::string& key, const std::vector<std::string>& extra)
    : port_(FreeLoopbackPort()),
      process_(ServerArgs(port_, cert, key, extra)),
      ready_(WaitUntilAccepts(port_)) {}

}  // namespace quorvexia::test
