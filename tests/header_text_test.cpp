// The text routines under the outbound queue and the inbound store: the queue
// file line reader (byte-wise and in blocks), comments and address extraction.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <string>

#include "transfer/header_text.h"

namespace quorvexia {
namespace {

// The pieces of `content` as a reader gives them, each followed by "|" where it
// ends its line or "+" where the line goes on, and with `offsets` by how far
// into the file the reader then stood; byte-wise, or in blocks of `block` bytes.
std::string Pieces(const std::string& content, std::size_t capacity, std::size_t block = 0, bool offsets = false) {
    std::FILE* file = std::tmpfile();
    std::fwrite(content.data(), 1, content.size(), file), std::rewind(file);
    std::vector<char> blocks(block), line(capacity);
    QueueTextReader reader(file, blocks.data(), block);
    std::string out;
    std::string_view text;
    for (bool whole = false; block ? reader.next(text, line.data(), capacity, &whole) == 0
                                   : ReadFileLine(line.data(), capacity, file, &whole) == 0;) {
        out += (block ? std::string(text) : line.data()) + (whole ? "|" : "+");
        if (offsets) out += std::to_string(block ? reader.consumed() : std::ftell(file)) + " ";
    }
    EXPECT_FALSE(reader.failed());
    std::fclose(file);
    return out;
}

TEST(ReadFileLine, LineEndsCleaningAndPieces) {
    const std::string a998(998, 'a'), b254(254, 'b'), c998(998, 'c'), c504(504, 'c');
    const struct { std::size_t capacity; std::string content, pieces; } rows[] = {
        {1000, "", ""},
        {1000, "a\nb\r\n\nlast", "a|b||last|"},
        {1000, "\f\n\r\n", "||"},
        {1000, "x\ty\x01z\x7f \xe4\xff\x80\n", "x\tyz\x7f \xe4\xff\x80|"},  // TAB, DEL and high bytes kept
        {1000, "text\rmore\nnext\na\r", "text|next|a|"},                    // a lone CR cuts its line
        {1000, std::string("a\0b\n", 4), "ab|"},                             // a NUL is dropped, no end of text
        {1000, a998 + "\n\n" + a998 + "\r\nnext\n" + a998, a998 + "||" + a998 + "|next|" + a998 + "|"},
        {1000, a998 + "xyz\n" + c998 + c998 + c504, a998 + "+xyz|" + c998 + "+" + c998 + "+" + c504 + "|"},
        {256, b254 + "\nr\n" + b254 + "bb\n", b254 + "|r|" + b254 + "+bb|"},
        {1000, "ab\r" + std::string(1500, 'd') + "\nnext\n" + a998 + "\rrest\nz", "ab|next|" + a998 + "|z|"},
    };
    for (const auto& r : rows) EXPECT_EQ(Pieces(r.content, r.capacity), r.pieces) << r.content.substr(0, 20);
    char text[] = "a\x01\x1f\t\n\r\x7f";
    DropControlChars(text);
    EXPECT_STREQ(text, "a\t\n\r\x7f");
}

// The block reader gives the byte-wise reader's pieces and offsets, whatever
// falls on a block boundary, and a plain line in place, inside the block.
TEST(QueueTextReader, GivesTheBytewiseReadersPieces) {
    const std::string a997(997, 'a'), a998(998, 'a'), a999(999, 'a');
    const std::string fixed[] = {a997 + "\n" + a998 + "\n" + a999 + "\n" + a997 + "\r\n" + a998 + "\r\n" + a999,
                                 a998 + "\rcut\n" + a997 + "\r\r\n" + a998, std::string("n\0l\n\x01\x7f\t\n", 8),
                                 "ends\r"};
    for (const auto& content : fixed) {
        for (std::size_t block : {1001u, 1002u, 1500u, 65536u})
            EXPECT_EQ(Pieces(content, 1000, block, true), Pieces(content, 1000, 0, true)) << block;
    }
    std::mt19937 random(14);
    const char alphabet[] = {'x', 'y', '.', '\t', '\r', '\n', '\0', '\x01', '\x1f', '\xff'};
    for (int round = 0; round < 200; ++round) {
        std::string content;
        while (content.size() < 6000) {
            std::size_t run = random() % 4 == 0 ? 990 + random() % 12 : random() % 40;
            content.append(run, 'a' + static_cast<char>(random() % 26));
            for (int k = random() % 3; k >= 0; --k) content += alphabet[random() % sizeof alphabet];
        }
        std::size_t capacity = round % 2 ? 1000 : 256, block = capacity + 1 + random() % 3000;
        ASSERT_EQ(Pieces(content, capacity, block, true), Pieces(content, capacity, 0, true)) << round << " " << block;
    }
    std::FILE* file = std::tmpfile();
    std::fputs((a998 + "\r\n\x01second\n").c_str(), file), std::rewind(file);  // the longest line taken in place
    char block[2048], line[1000];
    QueueTextReader reader(file, block, sizeof block);
    std::string_view first, second;
    ASSERT_TRUE(reader.next(first, line, sizeof line) == 0 && reader.next(second, line, sizeof line) == 0);
    EXPECT_TRUE(first == a998 && first.data() >= block && first.data() < block + sizeof block);
    EXPECT_TRUE(second == "second" && second.data() == line);  // cleaned, so built in the line buffer
    std::fclose(file);
}

TEST(ExtractAddress, CommentsBracketsAndLimits) {
    const std::string q200(200, 'q');
    const std::pair<std::string, std::string> rows[] = {
        {"Ann Lee <ann.lee>", "ann.lee"}, {"<  ann.lee  >", "ann.lee"}, {"Ann <ann.lee", "ann.lee"}, {"<>", ""},
        {"ann.lee (Ann Lee)", "ann.lee"}, {"(Ann (the boss)) ann.lee", "ann.lee"}, {"Ann (unclosed <ann.lee>", "Ann"},
        {"ann.lee, bob.ray", "ann.lee"}, {"ann:lee", "ann"}, {"a <b;c>", "b"}, {"ann>lee", "ann>lee"}, {"   \t ", ""},
        {" \"Lee, Ann\" <ann@lee.example>", "ann@lee.example"}, {q200, q200.substr(0, 127)},
        // Only the first 255 characters that are not comments are looked at.
        {std::string(300, 'n') + " <late>", std::string(127, 'n')}, {std::string(250, ' ') + "<abcdefghij>", "abcd"},
        {"(" + std::string(400, 'c') + ") <x.y>", "x.y"},
    };
    for (const auto& [value, address] : rows) {
        char out[256];
        std::memset(out, 'Z', sizeof out);
        ExtractAddress(out, value.c_str());
        EXPECT_EQ(std::string(out), address) << value;
    }
    char small[4], stripped[64];
    StripComments("abcdef", small, sizeof small);
    StripComments("a) (x (y) z)b \"L (c)\" (open", stripped, sizeof stripped);
    EXPECT_EQ(std::string(small) + "/" + stripped, "abc/a) b \"L \" ");
}

}  // namespace
}  // namespace quorvexia
