// Dial-up connection control: make sure the configured phonebook entry is
// connected before the transfer, and hang it up at the end when asked. The
// provider library stays loaded while the DialUp lives.
#pragma once

#include <string>

#include "config/mail_config.h"
#include "platform/ras.h"
#include "platform/ras_library.h"

namespace quorvexia {

class DialUp {
public:
    // `providerDir` is where the provider library is looked for besides the
    // library search path (the program's own directory).
    DialUp(const MailConfig& config, std::string providerDir)
        : config_(config), providerDir_(std::move(providerDir)) {}
    DialUp(const DialUp&) = delete;
    DialUp& operator=(const DialUp&) = delete;

    // Called once before the first pass, only when dialEntry is not empty.
    void open(bool transferRequested);
    // Called once after the last pass, whether or not an entry is configured.
    void close(bool hangupRequested);

private:
    enum State { NotManaged = 0, MustDial = 1, Connected = 2 };

    template <typename Fn>
    Fn* entryPoint(const char* name);
    int findEntryConnection(std::string_view entry);
    void dial(std::string_view entry);

    const MailConfig& config_;
    std::string providerDir_;
    platform::RasLibrary library_;
    ras::HRASCONN connection_ = 0;
    State state_ = NotManaged;
};

}  // namespace quorvexia
