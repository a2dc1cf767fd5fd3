/* A POP3 server that costs next to nothing: COUNT messages of SIZE bytes,
 * built once in memory (CR LF line ends, dot-stuffed), served to one client
 * after the other, each connection seeing the full mailbox again. It answers
 * USER, PASS, STAT, LIST, UIDL, RETR, DELE, NOOP, RSET, CAPA and QUIT, and
 * takes commands sent ahead of their replies. It stops by itself after
 * SECONDS.
 *
 *   null_pop3d PORT COUNT SIZE SECONDS
 */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

static char *text; /* one message, ready for the wire, ".\r\n" included */
static size_t textSize, messageSize;
static unsigned long count;

static int sendAll(int fd, const char *data, size_t size) {
    while (size > 0) {
        ssize_t n = send(fd, data, size, MSG_NOSIGNAL);
        if (n <= 0) return -1;
        data += n;
        size -= (size_t)n;
    }
    return 0;
}

static int say(int fd, const char *line) { return sendAll(fd, line, strlen(line)); }

static void buildMessage(size_t size) {
    text = malloc(size + size / 10 + 256);
    if (!text) exit(2);
    size_t n = (size_t)sprintf(text, "From: Sender <sender@example.org>\r\nTo: Ann <ann@example.net>\r\n"
                                     "Subject: null\r\n\r\n");
    for (unsigned i = 0; n < size; ++i) {
        if (i % 50 == 0) text[n++] = '.', text[n++] = '.';
        for (unsigned j = 0; j < 70; ++j) text[n++] = (char)('a' + (i + j) % 26);
        text[n++] = '\r';
        text[n++] = '\n';
    }
    messageSize = n; /* the size as LIST gives it (lines with CR LF, stuffing included) */
    memcpy(text + n, ".\r\n", 3);
    textSize = n + 3;
}

static void serve(int fd) {
    char buffer[4096], out[256];
    size_t have = 0;
    if (say(fd, "+OK null POP3 ready\r\n") != 0) return;
    for (;;) {
        char *lf = memchr(buffer, '\n', have);
        if (!lf) {
            if (have == sizeof buffer) return;
            ssize_t got = recv(fd, buffer + have, sizeof buffer - have, 0);
            if (got <= 0) return;
            have += (size_t)got;
            continue;
        }
        *lf = '\0';
        if (lf > buffer && lf[-1] == '\r') lf[-1] = '\0';
        char *arg = strchr(buffer, ' ');
        unsigned long n = arg ? strtoul(arg + 1, NULL, 10) : 0;
        int ok = 0;
        if (strncasecmp(buffer, "QUIT", 4) == 0) {
            say(fd, "+OK bye\r\n");
            return;
        } else if (strncasecmp(buffer, "STAT", 4) == 0) {
            snprintf(out, sizeof out, "+OK %lu %lu\r\n", count, count * messageSize);
            ok = say(fd, out);
        } else if (strncasecmp(buffer, "LIST", 4) == 0 || strncasecmp(buffer, "UIDL", 4) == 0) {
            int uidl = buffer[0] == 'U' || buffer[0] == 'u';
            if (arg) {
                if (uidl) snprintf(out, sizeof out, "+OK %lu null-%lu\r\n", n, n);
                else snprintf(out, sizeof out, "+OK %lu %lu\r\n", n, (unsigned long)messageSize);
                ok = say(fd, out);
            } else {
                ok = say(fd, "+OK\r\n");
                for (unsigned long i = 1; ok == 0 && i <= count; ++i) {
                    if (uidl) snprintf(out, sizeof out, "%lu null-%lu\r\n", i, i);
                    else snprintf(out, sizeof out, "%lu %lu\r\n", i, (unsigned long)messageSize);
                    ok = say(fd, out);
                }
                if (ok == 0) ok = say(fd, ".\r\n");
            }
        } else if (strncasecmp(buffer, "RETR", 4) == 0) {
            ok = say(fd, "+OK\r\n");
            if (ok == 0) ok = sendAll(fd, text, textSize);
        } else if (strncasecmp(buffer, "CAPA", 4) == 0) {
            ok = say(fd, "+OK\r\nUSER\r\nUIDL\r\n.\r\n");
        } else {
            ok = say(fd, "+OK\r\n");
        }
        if (ok != 0) return;
        size_t used = (size_t)(lf - buffer) + 1;
        memmove(buffer, buffer + used, have - used);
        have -= used;
    }
}

int main(int argc, char **argv) {
    if (argc != 5) {
        fprintf(stderr, "usage: null_pop3d PORT COUNT SIZE SECONDS\n");
        return 2;
    }
    count = strtoul(argv[2], NULL, 10);
    buildMessage(strtoul(argv[3], NULL, 10));
    alarm((unsigned)atoi(argv[4]));
    int listener = socket(AF_INET, SOCK_STREAM, 0), one = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    struct sockaddr_in a;
    memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_port = htons((unsigned short)atoi(argv[1]));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(listener, (struct sockaddr *)&a, sizeof a) != 0 || listen(listener, 4) != 0) return 2;
    for (;;) {
        int fd = accept(listener, NULL, NULL);
        if (fd < 0) continue;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        serve(fd);
        close(fd);
    }
}
