#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "commands.h"
#include "oauth_commands.h"
#include "platform/secret_input.h"

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (!args.empty() && args[0] == "oauth") {
        quorvexia::conf::Conversation talk{
            [](const std::string& s) {
                std::fputs(s.c_str(), stdout);
                std::fflush(stdout);
            },
            [](const std::string& s) { std::fputs(s.c_str(), stderr); },
            quorvexia::platform::ReadSecretLine,
            isatty(STDOUT_FILENO) == 1};
        return quorvexia::conf::RunOauth(args, "", talk);
    }
    std::string out, err;
    int status = quorvexia::conf::RunKorvconf(args, "", out, err, quorvexia::platform::ReadSecretLine);
    std::fputs(out.c_str(), stdout);
    std::fflush(stdout);
    std::fputs(err.c_str(), stderr);
    return status;
}
