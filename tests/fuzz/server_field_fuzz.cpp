// The server field as a user types it: "host", "host:port", "[v6]" and
// "[v6]:port". A field that is taken gives a port in range and a host that is
// part of the field.
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/net.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view field(reinterpret_cast<const char*>(data), size);
    for (unsigned short defaultPort : {25, 110}) {
        quorvexia::platform::ServerName name;
        if (!quorvexia::platform::ParseServerField(field, defaultPort, name)) continue;
        if (name.port == 0) __builtin_trap();
        if (field.find(name.host) == std::string_view::npos) __builtin_trap();
        if (name.host.size() > field.size()) __builtin_trap();
        // A field without a colon keeps the default port.
        if (field.find(':') == std::string_view::npos && name.port != defaultPort) __builtin_trap();
    }
    return 0;
}
