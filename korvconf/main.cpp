#include <cstdio>
#include <string>
#include <vector>

#include "commands.h"
#include "platform/secret_input.h"

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    std::string out, err;
    int status = quorvexia::conf::RunKorvconf(args, "", out, err, quorvexia::platform::ReadSecretLine);
    std::fputs(out.c_str(), stdout);
    std::fflush(stdout);
    std::fputs(err.c_str(), stderr);
    return status;
}
