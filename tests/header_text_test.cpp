// The text routines under the outbound queue and the inbound store: the queue
// file line reader, the blank-line test, comment stripping and address
// extraction.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "transfer/header_text.h"

namespace quorvexia {
namespace {

// A file holding `content`, read back through ReadFileLine piece by piece.
struct LineFile {
    explicit LineFile(const std::string& content) : file(std::tmpfile()) {
        std::fwrite(content.data(), 1, content.size(), file);
        std::rewind(file);
    }
    ~LineFile() { std::fclose(file); }
    std::vector<std::string> readAll(std::size_t capacity, std::vector<bool>* wholes = nullptr) {
        std::vector<std::string> lines;
        std::vector<char> buffer(capacity, 'X');
        bool whole = false;
        while (ReadFileLine(buffer.data(), capacity, file, &whole) == 0) {
            lines.emplace_back(buffer.data());
            EXPECT_LE(lines.back().size(), capacity - 2);
            if (wholes) wholes->push_back(whole);
        }
        return lines;
    }
    std::FILE* file;
};

using Lines = std::vector<std::string>;

TEST(ReadFileLine, LineEndsAndCleaning) {
    struct Case {
        std::string content;
        Lines lines;
    } cases[] = {
        {"", {}},
        {"a\nb\n", {"a", "b"}},
        {"a\r\nb\r\n", {"a", "b"}},             // CR LF is one line end
        {"last without end", {"last without end"}},
        {"a\n\nb", {"a", "", "b"}},
        {"\f\n", {""}},                          // a form feed alone reads as an empty line
        {"x\ty\x01z\x7f\n", {"x\tyz\x7f"}},      // TAB and DEL kept, other controls dropped
        {"\xe4\xf6\xfc\xff\x80\n", {"\xe4\xf6\xfc\xff\x80"}},
        {"text\rmore\nnext\n", {"text", "next"}},  // a lone CR cuts its line
        {std::string("a\0b\n", 4), {"ab"}},        // a NUL is dropped, not an end of text
        {"a\r", {"a"}},
        {"\r\n\r\n", {"", ""}},
    };
    for (const auto& c : cases) {
        LineFile f(c.content);
        EXPECT_EQ(f.readAll(1000), c.lines) << "content: " << c.content;
    }
}

TEST(ReadFileLine, EndOfFileLeavesTheBufferAlone) {
    LineFile f("only\n");
    char line[16] = "";
    ASSERT_EQ(ReadFileLine(line, sizeof line, f.file), 0);
    EXPECT_STREQ(line, "only");
    std::strcpy(line, "kept");
    EXPECT_EQ(ReadFileLine(line, sizeof line, f.file), -1);
    EXPECT_STREQ(line, "kept");
}

TEST(ReadFileLine, LongLinesComeInPiecesAndExactFitsComeWhole) {
    const std::string a998(998, 'a'), b254(254, 'b');
    struct Case {
        std::size_t capacity;
        std::string content;
        Lines lines;
        std::vector<bool> wholes;
    } cases[] = {
        {1000, a998 + "\n" + "\n", {a998, ""}, {true, true}},  // the empty line that follows stays one
        {1000, a998 + "\r\nnext\n", {a998, "next"}, {true, true}},
        {1000, a998, {a998}, {true}},
        {1000, a998 + "xyz\n", {a998, "xyz"}, {false, true}},
        {1000, std::string(2500, 'c') + "\n",
         {std::string(998, 'c'), std::string(998, 'c'), std::string(504, 'c')}, {false, false, true}},
        {256, b254 + "\n" + "r\n", {b254, "r"}, {true, true}},
        {256, b254 + "bb\n", {b254, "bb"}, {false, true}},
        // A CR in a piece cuts the whole line, however long it is.
        {1000, "ab\r" + std::string(1500, 'd') + "\nnext\n", {"ab", "next"}, {true, true}},
        {1000, a998 + "\rrest\nnext\n", {a998, "next"}, {true, true}},
    };
    for (const auto& c : cases) {
        LineFile f(c.content);
        std::vector<bool> wholes;
        EXPECT_EQ(f.readAll(c.capacity, &wholes), c.lines) << "capacity " << c.capacity;
        EXPECT_EQ(wholes, c.wholes) << "capacity " << c.capacity;
    }
}

// One piece as a reader gives it: the text, whether it ended its line, and
// how far into the file the reader then stood.
struct Piece {
    std::string text;
    bool whole;
    long long offset;
    bool operator==(const Piece&) const = default;
};

std::vector<Piece> ByteWise(const std::string& content, std::size_t capacity) {
    LineFile f(content);
    std::vector<Piece> pieces;
    std::vector<char> line(capacity);
    bool whole = false;
    while (ReadFileLine(line.data(), capacity, f.file, &whole) == 0)
        pieces.push_back({line.data(), whole, static_cast<long long>(std::ftell(f.file))});
    return pieces;
}

std::vector<Piece> InBlocks(const std::string& content, std::size_t capacity, std::size_t blockSize) {
    LineFile f(content);
    std::vector<char> block(blockSize), line(capacity);
    QueueTextReader reader(f.file, block.data(), block.size());
    std::vector<Piece> pieces;
    std::string_view text;
    bool whole = false;
    while (reader.next(text, line.data(), capacity, &whole) == 0)
        pieces.push_back({std::string(text), whole, reader.consumed()});
    EXPECT_FALSE(reader.failed());
    return pieces;
}

// The block reader must give exactly the byte-wise reader's pieces, whatever
// falls on a block boundary; texts mix plain lines with every case that
// needs cleaning, at the lengths around a full piece.
TEST(QueueTextReader, GivesTheBytewiseReadersPieces) {
    const std::string a997(997, 'a'), a998(998, 'a'), a999(999, 'a');
    const std::string fixed[] = {
        "",
        "plain\nlines\r\nmixed\n",
        a997 + "\n" + a998 + "\n" + a999 + "\n" + a997 + "\r\n" + a998 + "\r\n" + a999 + "\r\n",
        a998 + "\rcut\n" + a997 + "\r\r\n" + a998,
        std::string("nul\0inside\n\x01\x7f\xe4\ttab\n", 20),
        "ends\r",
        "no end at all",
        "\r\n\n\r\r\n.dot\n..\n",
    };
    for (const auto& content : fixed) {
        for (std::size_t block : {1001u, 1002u, 1500u, 4096u, 65536u}) {
            EXPECT_EQ(InBlocks(content, 1000, block), ByteWise(content, 1000))
                << "block " << block << ", content of " << content.size() << " bytes";
        }
    }
    // Random texts from an alphabet heavy in line ends, with line lengths
    // around the piece size.
    std::mt19937 random(14);
    const char alphabet[] = {'x', 'y', '.', '\t', '\r', '\n', '\0', '\x01', '\x1f', '\xff'};
    for (int round = 0; round < 200; ++round) {
        std::string content;
        while (content.size() < 6000) {
            std::size_t run = random() % 4 == 0 ? 990 + random() % 12 : random() % 40;
            content.append(run, 'a' + static_cast<char>(random() % 26));
            for (int k = random() % 3; k >= 0; --k) content += alphabet[random() % sizeof alphabet];
        }
        std::size_t capacity = round % 2 ? 1000 : 256;
        std::size_t block = capacity + 1 + random() % 3000;
        ASSERT_EQ(InBlocks(content, capacity, block), ByteWise(content, capacity))
            << "round " << round << ", block " << block;
    }
}

TEST(QueueTextReader, PlainLinesStayInTheBlock) {
    LineFile f("first\r\nsecond\n\x01third\n");
    char block[2048], line[1000];
    QueueTextReader reader(f.file, block, sizeof block);
    std::string_view text;
    ASSERT_EQ(reader.next(text, line, sizeof line), 0);
    EXPECT_EQ(text, "first");
    EXPECT_TRUE(text.data() >= block && text.data() < block + sizeof block);
    ASSERT_EQ(reader.next(text, line, sizeof line), 0);
    EXPECT_EQ(text, "second");
    ASSERT_EQ(reader.next(text, line, sizeof line), 0);
    EXPECT_EQ(text, "third");  // cleaned, so built in the line buffer
    EXPECT_EQ(text.data(), line);
    EXPECT_EQ(reader.next(text, line, sizeof line), -1);
    EXPECT_EQ(reader.consumed(), 21);
}

TEST(TextRoutines, DropControlCharsAndCutLineEnd) {
    char text[] = "a\x01\x08\t\x0b\x0c\x0e\x1f b\n\r";
    DropControlChars(text);
    EXPECT_STREQ(text, "a\t b\n\r");
    char cut1[] = "ab\rcd\nef";
    CutLineEnd(cut1);
    EXPECT_STREQ(cut1, "ab");
    char cut2[] = "ab\ncd\ref";
    CutLineEnd(cut2);
    EXPECT_STREQ(cut2, "ab");
}

TEST(TextRoutines, IsBlankLine) {
    EXPECT_TRUE(IsBlankLine(""));
    EXPECT_TRUE(IsBlankLine("\t"));
    EXPECT_TRUE(IsBlankLine("  \t "));
    EXPECT_FALSE(IsBlankLine("."));
    EXPECT_FALSE(IsBlankLine("  x"));
    EXPECT_FALSE(IsBlankLine("\xa0"));
}

TEST(StripComments, NestingStrayAndUnclosed) {
    struct Case {
        const char* value;
        const char* result;
    } cases[] = {
        {"a (b) c", "a  c"},
        {"(x (y) z)w", "w"},
        {"a) b", "a) b"},
        {"a (open", "a "},
        {"\"Lee (boss)\" <x>", "\"Lee \" <x>"},
    };
    for (const auto& c : cases) {
        char out[256];
        StripComments(c.value, out, sizeof out);
        EXPECT_STREQ(out, c.result) << c.value;
    }
    char small[4];
    StripComments("abcdef", small, sizeof small);
    EXPECT_STREQ(small, "abc");
}

TEST(ExtractAddress, WorkedExamples) {
    struct Case {
        const char* value;
        const char* result;
    } cases[] = {
        {"Ann Lee <ann.lee>", "ann.lee"},
        {"ann.lee (Ann Lee)", "ann.lee"},
        {"ann.lee, bob.ray", "ann.lee"},
        {"<  ann.lee  >", "ann.lee"},
        {"(Ann (the boss)) ann.lee", "ann.lee"},
        {"Ann <ann.lee", "ann.lee"},
        {"Ann (unclosed <ann.lee>", "Ann"},
        {"ann:lee", "ann"},
        {"<>", ""},
        {"   \t ", ""},
        {"", ""},
        {" \"Lee, Ann\" <ann@lee.example>", "ann@lee.example"},
        {"ann>lee", "ann>lee"},       // without "<" the ">" is an ordinary character
        {"a <b;c>", "b"},
        {"\tann\t", "ann"},
        {"\xe4nn <\xe4nn@x>", "\xe4nn@x"},
    };
    for (const auto& c : cases) {
        char out[256];
        std::memset(out, 'Z', sizeof out);
        ExtractAddress(out, c.value);
        EXPECT_STREQ(out, c.result) << "value: " << c.value;
    }
}

TEST(ExtractAddress, LimitsOfAddressAndWorkCopy) {
    char out[256];
    std::memset(out, 'Z', sizeof out);
    ExtractAddress(out, std::string(200, 'q').c_str());
    EXPECT_EQ(std::string(out), std::string(127, 'q'));

    // Only the first 255 comment-free characters are looked at: an address
    // bracket behind them is never seen, and nothing is written beyond.
    std::string longValue = std::string(300, 'n') + " <late>";
    ExtractAddress(out, longValue.c_str());
    EXPECT_EQ(std::string(out), std::string(127, 'n'));
    std::string longName = std::string(250, ' ') + "<abcdefghij>";
    ExtractAddress(out, longName.c_str());
    EXPECT_STREQ(out, "abcd");
    // Comments do not count against the work copy.
    std::string commented = "(" + std::string(400, 'c') + ") <x.y>";
    ExtractAddress(out, commented.c_str());
    EXPECT_STREQ(out, "x.y");
}

}  // namespace
}  // namespace quorvexia
