// Signing in: the SASL messages, the capabilities servers list, and the
// credentials of a connection with and without helpers.
#include <gtest/gtest.h>

#include "sasl.h"
#include "support/temp_dir.h"

namespace quorvexia {
namespace {

TEST(Sasl, MessagesAsServersDecodeThem) {
    EXPECT_EQ(SaslPlain("ann", "secret"), "AGFubgBzZWNyZXQ=");
    EXPECT_EQ(SaslPlain("jo@example.com", "p\xc3\xa4ss w:rd"), "AGpvQGV4YW1wbGUuY29tAHDDpHNzIHc6cmQ=");
    // The provider's published example of XOAUTH2.
    EXPECT_EQ(SaslXoauth2("someuser@example.com", "ya29.vF9dft4qmTc2Nvb3RlckBhdHRhdmlzdGEuY29tCg"),
              "dXNlcj1zb21ldXNlckBleGFtcGxlLmNvbQFhdXRoPUJlYXJlciB5YTI5LnZGOWRmdDRxbVRjMk52YjNSbGNrQmhkSFJoZG1semRHRXVZ"
              "Mjl0Q2cBAQ==");
    EXPECT_EQ(SaslOauthBearer("a=b,c@example.com", "tok"), "bixhPWE9M0RiPTJDY0BleGFtcGxlLmNvbSwBYXV0aD1CZWFyZXIgdG9rAQE=");
}

TEST(Sasl, Base64BothWays) {
    struct {
        std::string bytes;
        std::string text;
    } cases[] = {{"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}, {std::string("\0\xff\x01", 3), "AP8B"}};
    for (const auto& c : cases) {
        EXPECT_EQ(Base64Encode(c.bytes), c.text);
        std::string back;
        EXPECT_TRUE(Base64Decode(c.text, back)) << c.text;
        EXPECT_EQ(back, c.bytes);
    }
    std::string token(2500, 't');
    std::string back;
    ASSERT_TRUE(Base64Decode(Base64Encode(token), back));
    EXPECT_EQ(back, token);
    for (const char* bad : {"Zg=", "Z!==", "Zm9v\r\n", "{\"status\":\"401\"}"}) EXPECT_FALSE(Base64Decode(bad, back)) << bad;
}

TEST(Sasl, CapabilitiesOfEhloAndCapa) {
    Capabilities ehlo = ParseEhloCapabilities({"250-mail.example.com greets starttls", "250-PIPELINING",
                                               "250-auth plain  LOGIN", "250-AUTH=XOAUTH2", "250-StartTLS",
                                               "250 SIZE 35882577"});
    EXPECT_TRUE(ehlo.has("STARTTLS"));
    EXPECT_TRUE(ehlo.has("size"));
    EXPECT_FALSE(ehlo.has("GREETS"));  // the first line is the server's name, not a keyword
    for (const char* m : {"PLAIN", "login", "XOAUTH2"}) EXPECT_TRUE(ehlo.offers(m)) << m;
    EXPECT_FALSE(ehlo.offers("OAUTHBEARER"));

    Capabilities bare = ParseEhloCapabilities({"250 mail.example.com AUTH PLAIN"});
    EXPECT_TRUE(bare.keywords.empty());
    EXPECT_TRUE(bare.mechanisms.empty());

    Capabilities capa = ParsePop3Capabilities({"TOP", "UIDL", "USER", "SASL PLAIN LOGIN", "STLS"});
    EXPECT_TRUE(capa.has("STLS"));
    EXPECT_TRUE(capa.offers("PLAIN"));
    EXPECT_FALSE(capa.offers("XOAUTH2"));
    // Before STLS Dovecot lists an empty SASL.
    Capabilities early = ParsePop3Capabilities({"CAPA", "SASL", "STLS"});
    EXPECT_TRUE(early.has("SASL"));
    EXPECT_TRUE(early.mechanisms.empty());
}

TEST(Credentials, FromTheRecordOrFromAHelper) {
    MailConfig config{};
    config.pop3User.assign("ann");
    config.pop3Password.assign("recorded");
    struct {
        const char* passwordCommand;
        const char* tokenCommand;
        bool ok;
        bool useToken;
        std::string secret;
        const char* error;
    } cases[] = {
        {"", "", true, false, "recorded", ""},
        {"printf 'from helper\\n'", "", true, false, "from helper", ""},
        {"sh -c 'echo pw; echo note >&2'", "", true, false, "pw", ""},
        {"", "sh -c 'head -c 2500 /dev/zero | tr \"\\\\0\" T'", true, true, std::string(2500, 'T'), ""},
        // With both, the token wins: it chooses the mechanism.
        {"printf pw", "printf tok", true, true, "tok", ""},
        {"sh -c 'exit 4'", "", false, false, "", "helper 'sh' failed with exit status 4"},
        {"printf ''", "", false, false, "", "helper 'printf' printed nothing"},
        {"", "printf 'a\\r\\nQUIT'", false, false, "", "helper 'printf' printed more than one line"},
        {"", "printf 'tok\\nRSET\\n'", false, false, "", "helper 'printf' printed more than one line"},
        {"'unclosed", "", false, false, "", "a quote ' is not closed"},
    };
    for (const auto& c : cases) {
        SideSettings side;
        side.passwordCommand = c.passwordCommand;
        side.tokenCommand = c.tokenCommand;
        Credentials credentials;
        std::string error;
        bool ok = LoadCredentials(config, side, credentials, error);
        EXPECT_EQ(ok, c.ok) << c.passwordCommand << c.tokenCommand << ": " << error;
        EXPECT_EQ(error, c.error);
        if (!ok) continue;
        EXPECT_EQ(credentials.user, "ann");
        EXPECT_EQ(credentials.useToken, c.useToken);
        EXPECT_EQ(c.useToken ? credentials.token : credentials.password, c.secret);
    }
}

}  // namespace
}  // namespace quorvexia
