// The numbers of STAT and LIST replies.
#include <gtest/gtest.h>

#include <climits>

#include "transfer/pop3_session.h"

namespace quorvexia {
namespace {

struct Row {
    const char* reply;
    int count;
    std::int32_t first, second;  // -77: not written
};

TEST(ParseReplyNumbers, Table) {
    const Row rows[] = {
        {"+OK 2 320", 2, 2, 320},
        {"+OK", 0, -77, -77},
        {"+OK 2", 1, 2, -77},
        {"+OK mailbox ready", 2, 0, 0},
        {"+OK   7    910 octets", 2, 7, 910},
        {"+OK 2 ", 2, 2, 0},
        {"+OK ", 1, 0, -77},
        {"+OK\t2 320", 1, 320, -77},     // only the space separates
        {"+OK 2\t320", 1, 2, -77},
        {"+OK -3 +4", 2, -3, 4},
        {"+OK 12abc 5x", 2, 12, 5},
        {"+OK 99999999999 -99999999999", 2, INT32_MAX, INT32_MIN},  // kept within 32 bits
        {"+OK 2147483647 -2147483648", 2, INT32_MAX, INT32_MIN},
        {"", 0, -77, -77},
        {" 5 6", 2, 5, 6},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.reply);
        std::int32_t first = -77, second = -77;
        EXPECT_EQ(ParseReplyNumbers(r.reply, &first, &second), r.count);
        EXPECT_EQ(first, r.first);
        EXPECT_EQ(second, r.second);
    }
}

}  // namespace
}  // namespace quorvexia
