// The byte input and output under the line transport. A socket is one such
// stream; a TLS stream can later take its place without touching the sessions.
#pragma once

#include <cstddef>

namespace quorvexia::platform {

class ByteStream {
public:
    virtual ~ByteStream() = default;
    // Sends all `size` bytes; false when the stream failed (see lastError).
    virtual bool sendAll(const char* data, std::size_t size) = 0;
    // Receives at most `size` bytes: the count, 0 when the peer closed, -1 on failure.
    virtual long receive(char* data, std::size_t size) = 0;
    // The platform's error number of the last failure; 0 when the peer closed.
    virtual int lastError() const = 0;
    // The longest wait for each receive (and for a send that cannot go on).
    virtual void setTimeout(int timeoutMs) = 0;
};

}  // namespace quorvexia::platform
