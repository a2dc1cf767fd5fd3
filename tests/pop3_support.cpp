#include "pop3_support.h"

#include <cstdlib>

namespace quorvexia::test {

void ServePop3(ServerConnection& c, const Pop3Script& s) {
    c.send(s.greeting + "\r\n");
    std::string line;
    while (c.readLine(line)) {
        std::string command = line.substr(0, line.find(' '));
        unsigned long n = line.size() > 5 ? std::strtoul(line.c_str() + 5, nullptr, 10) : 0;
        const ScriptMessage* m = n >= 1 && n <= s.messages.size() ? &s.messages[n - 1] : nullptr;
        bool cutHere = n == s.cutMessage;
        if (command == "USER") {
            if (s.cut == Cut::OnUser) return;
            c.send(s.user + "\r\n");
        } else if (command == "PASS") {
            c.send(s.pass + "\r\n");
        } else if (command == "STAT") {
            if (s.cut == Cut::OnStat) return;
            std::size_t total = 0;
            for (const auto& message : s.messages) total += message.text.size();
            c.send((s.stat.empty() ? "+OK " + std::to_string(s.messages.size()) + " " + std::to_string(total)
                                   : s.stat) +
                   "\r\n");
        } else if (command == "LIST" && m) {
            if (s.cut == Cut::OnList && cutHere) return;
            c.send((m->list.empty() ? "+OK " + std::to_string(n) + " " + std::to_string(m->text.size()) : m->list) +
                   "\r\n");
            if (s.cut == Cut::AfterListReply && cutHere) {
                c.readLine(line);  // RETR, never answered
                return;
            }
        } else if (command == "RETR" && m) {
            if (cutHere && (s.cut == Cut::AfterRetrReply || s.cut == Cut::MidText)) {
                c.send("+OK\r\n");
                if (s.cut == Cut::MidText) c.send(m->text.substr(0, m->text.size() / 2));
                return;
            }
            c.send(m->retr + "\r\n");
            if (m->retr[0] == '+') c.send(m->text + ".\r\n");
        } else if (command == "DELE" && m) {
            if (s.cut == Cut::OnDele && cutHere) return;
            c.send(m->dele + "\r\n");
        } else if (command == "QUIT") {
            c.send("+OK bye\r\n");
            return;
        } else {
            c.send("-ERR unexpected\r\n");
        }
    }
}

}  // namespace quorvexia::test
