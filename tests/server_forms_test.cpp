// The server field forms as korv, korvcfg and korvconf read them.
#include <gtest/gtest.h>

#include "config/server_address.h"

namespace quorvexia {
namespace {

using S = TransportSecurity;
constexpr auto Smtp = ServerProtocol::Smtp;
constexpr auto Pop3 = ServerProtocol::Pop3;

struct FormCase {
    ServerProtocol protocol;
    const char* field;
    bool ok;
    S security;
    const char* host;
    unsigned short port;
};

TEST(ServerForms, ParseEachForm) {
    const FormCase cases[] = {
        // The bare forms, read as they always were.
        {Smtp, "mail.example.com", true, S::None, "mail.example.com", 25},
        {Pop3, "mail.example.com", true, S::None, "mail.example.com", 110},
        {Smtp, "mail.example.com:2525", true, S::None, "mail.example.com", 2525},
        {Pop3, "[::1]:1110", true, S::None, "::1", 1110},
        {Pop3, "::1", true, S::None, "::1", 110},
        {Smtp, "", true, S::None, "", 25},
        {Smtp, "host:0", false, S::None, "host", 25},
        // Schemes, their default ports and their case.
        {Smtp, "smtps://smtp.example.com", true, S::ImplicitTls, "smtp.example.com", 465},
        {Smtp, "smtp+starttls://smtp.example.com", true, S::StartTls, "smtp.example.com", 587},
        {Pop3, "pop3s://pop.example.com", true, S::ImplicitTls, "pop.example.com", 995},
        {Pop3, "pop3+starttls://pop.example.com", true, S::StartTls, "pop.example.com", 110},
        {Pop3, "POP3S://Pop.Example.Com", true, S::ImplicitTls, "Pop.Example.Com", 995},
        {Smtp, "SMTP+StartTLS://h", true, S::StartTls, "h", 587},
        {Smtp, "smtps://h:2465", true, S::ImplicitTls, "h", 2465},
        {Pop3, "pop3s://[2001:db8::1]:9995", true, S::ImplicitTls, "2001:db8::1", 9995},
        {Pop3, "pop3s://[2001:db8::1]", true, S::ImplicitTls, "2001:db8::1", 995},
        {Pop3, "pop3s://127.0.0.2/", true, S::ImplicitTls, "127.0.0.2", 995},
        // Faults of a TLS form are refused, never read as a bare host.
        {Smtp, "smtps://", false, S::ImplicitTls, "", 0},
        {Smtp, "smtps://:465", false, S::ImplicitTls, "", 0},
        {Smtp, "smtps://h:99999", false, S::ImplicitTls, "", 0},
        {Smtp, "smtps://h:x", false, S::ImplicitTls, "", 0},
        {Smtp, "smtps://user@h", false, S::ImplicitTls, "", 0},
        {Smtp, "smtps://h/path", false, S::ImplicitTls, "", 0},
        {Pop3, "pop3s://[::1", false, S::ImplicitTls, "", 0},
        {Smtp, "imap://h", false, S::None, "", 0},
        {Smtp, "pop3s://h", false, S::None, "", 0},
        {Pop3, "smtp+starttls://h", false, S::None, "", 0},
        {Pop3, "pop3+tls://h", false, S::None, "", 0},
    };
    for (const FormCase& c : cases) {
        ServerAddress address;
        std::string error;
        bool ok = ParseServerAddress(c.field, c.protocol, address, error);
        EXPECT_EQ(ok, c.ok) << c.field << ": " << error;
        EXPECT_EQ(ok, error.empty()) << c.field;
        if (!ok) continue;
        EXPECT_EQ(address.security, c.security) << c.field;
        EXPECT_EQ(address.host, c.host) << c.field;
        EXPECT_EQ(address.port, c.port) << c.field;
    }
}

TEST(ServerForms, SentencesNameTheFault) {
    struct {
        ServerProtocol protocol;
        const char* field;
        const char* error;
    } cases[] = {
        {Smtp, "imap://h", "unknown scheme 'imap://' in the SMTP server: use smtps:// or smtp+starttls://, or no scheme for plain SMTP"},
        {Pop3, "smtps://h", "smtps:// is for the SMTP server; the POP3 server takes pop3s:// or pop3+starttls://, or no scheme for plain POP3"},
        {Pop3, "pop3s://", "the POP3 server needs a host name after pop3s:// (pop3s://host or pop3s://host:port)"},
        {Smtp, "smtps://h:0", "the port in the SMTP server 'smtps://h:0' is not a number from 1 to 65535"},
        // The setup tools leave the bare form alone, as they always did.
        {Smtp, "host:0", ""},
        {Pop3, "pop3s://pop.example.com:995", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(CheckServerField(c.field, c.protocol), c.error) << c.field;
}

TEST(ServerForms, SplitAndComposeAreInverse) {
    for (ServerProtocol protocol : {Smtp, Pop3}) {
        for (S security : {S::None, S::StartTls, S::ImplicitTls}) {
            std::string field = ComposeServerField(protocol, security, "[::1]:26");
            S back;
            std::string_view rest;
            std::string error;
            ASSERT_TRUE(SplitServerScheme(field, protocol, back, rest, error)) << field;
            EXPECT_EQ(back, security) << field;
            EXPECT_EQ(rest, "[::1]:26") << field;
        }
    }
    EXPECT_EQ(ComposeServerField(Pop3, S::StartTls, "h"), "pop3+starttls://h");
}

TEST(ServerForms, MixUpHints) {
    EXPECT_EQ(ModeMixupHint(Pop3, S::ImplicitTls), "pop3s:// against a plaintext port: use pop3+starttls://");
    EXPECT_EQ(ModeMixupHint(Pop3, S::StartTls), "pop3+starttls:// against a TLS port: use pop3s://");
    EXPECT_EQ(ModeMixupHint(Smtp, S::ImplicitTls), "smtps:// against a plaintext port: use smtp+starttls://");
    EXPECT_EQ(ModeMixupHint(Smtp, S::None), "");
}

}  // namespace
}  // namespace quorvexia
