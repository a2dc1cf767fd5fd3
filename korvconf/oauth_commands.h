// korvconf oauth: sign in with a provider (browser through the loopback
// listener, --device, or --paste), show and test the sign-in, sign out.
// It talks with the user while it runs, so text goes out as it is written
// and answers come in one line at a time.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace quorvexia::conf {

struct Conversation {
    std::function<void(const std::string&)> say;   // to standard output, at once
    std::function<void(const std::string&)> warn;  // to standard error, at once
    // One line of standard input, read without echo after `prompt` at a
    // terminal (the client secret, the pasted address with its code); false
    // at the end of the input.
    std::function<bool(const std::string& prompt, std::string&)> askSecret;
    bool terminal = false;                         // stdout is a terminal: the host may be emphasised
};

// `args` starts with "oauth"; `dir` is korv.cfg's directory ("" the current one).
int RunOauth(const std::vector<std::string>& args, const std::string& dir, const Conversation& talk);

std::string OauthUsageText();

}  // namespace quorvexia::conf
