// A byte stream whose server side is a script: every reply is there from
// the start (a client reads replies in order), the end of the script is the
// server closing, and everything the client writes is kept.
#pragma once

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/byte_stream.h"

namespace quorvexia::test {

class ScriptStream final : public platform::ByteStream {
public:
    explicit ScriptStream(std::string replies) : replies_(std::move(replies)) {}
    bool sendAll(const char* data, std::size_t size) override {
        sent_.append(data, size);
        if (onSend) onSend(std::string_view(data, size));
        return true;
    }
    long receive(char* data, std::size_t size) override {
        std::size_t n = std::min(size, replies_.size() - position_);
        std::memcpy(data, replies_.data() + position_, n);
        position_ += n;
        return static_cast<long>(n);  // 0 at the end: the server closed
    }
    int lastError() const override { return 0; }
    void setTimeout(int) override {}
    const std::string& sent() const { return sent_; }
    // Called with every write, as it is made.
    std::function<void(std::string_view)> onSend;
    // The commands sent, the message text left out.
    std::vector<std::string> commands() const { return Commands(sent_); }
    static std::vector<std::string> Commands(const std::string& sent) {
        std::vector<std::string> out;
        bool text = false;
        for (std::size_t start = 0, end; (end = sent.find("\r\n", start)) != std::string::npos; start = end + 2) {
            std::string line = sent.substr(start, end - start);
            if (!text) out.push_back(line);
            if (line == "DATA") text = true;
            if (line == ".") {
                out.push_back(line);
                text = false;
            }
        }
        return out;
    }

private:
    std::string replies_;
    std::size_t position_ = 0;
    std::string sent_;
};

}  // namespace quorvexia::test
