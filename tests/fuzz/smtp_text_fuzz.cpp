// The sender's parsers on arbitrary bytes: the queue file line reader at both
// capacities (byte-wise and in blocks, which must agree), address extraction
// from a header value, and the reply code.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "transfer/header_text.h"
#include "transfer/line_transport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<char> text(data, data + size);
    text.push_back('\0');
    char address[256];
    quorvexia::ExtractAddress(address, text.data());
    if (std::strlen(address) > quorvexia::kAddressMax) __builtin_trap();
    (void)quorvexia::ParseReplyCode(text.data());

    for (std::size_t capacity : {std::size_t(1000), std::size_t(256)}) {
        std::FILE* file = fmemopen(const_cast<std::uint8_t*>(data), size ? size : 1, "r");
        if (!file) return 0;
        std::vector<char> line(capacity + 1, 'Z');
        line[capacity] = '\x7e';  // a guard behind the buffer
        std::vector<std::string> pieces;
        bool whole = false;
        while (quorvexia::ReadFileLine(line.data(), capacity, file, &whole) == 0) {
            if (std::strlen(line.data()) > capacity - 2 || line[capacity] != '\x7e') __builtin_trap();
            pieces.push_back(std::string(line.data()) + (whole ? "$" : "+"));
        }
        std::fclose(file);

        // The block reader, with a block just over one piece, gives the same pieces.
        file = fmemopen(const_cast<std::uint8_t*>(data), size ? size : 1, "r");
        if (!file) return 0;
        std::vector<char> block(capacity + 1 + size % 64);
        quorvexia::QueueTextReader reader(file, block.data(), block.size());
        std::string_view piece;
        std::size_t i = 0;
        while (reader.next(piece, line.data(), capacity, &whole) == 0) {
            if (i >= pieces.size() || pieces[i++] != std::string(piece) + (whole ? "$" : "+")) __builtin_trap();
        }
        if (i != pieces.size()) __builtin_trap();
        std::fclose(file);
    }
    return 0;
}
