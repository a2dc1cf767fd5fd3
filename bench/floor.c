/* The benchmark's floor: the same lock-step dialogues as korv, in minimal C,
 * with no fsync, no log and no console. What korv costs above this is the
 * price of its own code.
 *
 *   floor pop3 HOST PORT USER PASSWORD INBOUND_DIR
 *     USER, PASS, STAT; then LIST, RETR, DELE for every message, each text
 *     stored as NNNNNNNN.txt (LF line ends, one leading dot removed) and an
 *     envelope NNNNNNNN.wrk written after it; QUIT.
 *   floor smtp HOST PORT OUTBOUND_DIR
 *     HELO; for every *.wrk of the directory RSET, MAIL, RCPT per recipient,
 *     DATA, the text with CR LF line ends and leading dots doubled, "."; the
 *     pair is removed on a 2xx reply; QUIT.
 *
 * The TLS forms are the yardstick for korv's TLS cost: the same dialogues in
 * the same lock-step, with the handshake and verification korv does (TLS 1.2
 * minimum, the system store plus CA_FILE, the certificate must match HOST,
 * SNI for names), through OpenSSL's plain socket BIO:
 *   floor pop3s HOST PORT USER PASSWORD INBOUND_DIR CA_FILE
 *     implicit TLS; CAPA, AUTH PLAIN instead of USER and PASS; then as pop3.
 *   floor smtp+starttls HOST PORT USER PASSWORD OUTBOUND_DIR CA_FILE
 *     EHLO, STARTTLS, the handshake, EHLO, AUTH PLAIN; then as smtp.
 */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

static int sock = -1;
static char rx[65536];
static size_t rxStart, rxCount;
static char tx[65536];
static size_t txCount;
static SSL *ssl; /* set once the TLS handshake is done */

static void die(const char *what) {
    fprintf(stderr, "floor: %s\n", what);
    exit(2);
}

static void flush(void) {
    size_t done = 0;
    while (done < txCount) {
        ssize_t n;
        if (ssl) {
            size_t written = 0;
            n = SSL_write_ex(ssl, tx + done, txCount - done, &written) == 1 ? (ssize_t)written : -1;
        } else {
            n = send(sock, tx + done, txCount - done, MSG_NOSIGNAL);
        }
        if (n <= 0) die("send failed");
        done += (size_t)n;
    }
    txCount = 0;
}

static void put(const char *data, size_t size) {
    if (txCount + size > sizeof tx) flush();
    if (size > sizeof tx) die("oversized write");
    memcpy(tx + txCount, data, size);
    txCount += size;
}

static void command(const char *text) {
    put(text, strlen(text));
    put("\r\n", 2);
    flush();
}

/* The next line without its CR LF (or LF); valid until the next call. */
static char *line(size_t *length) {
    for (;;) {
        char *lf = memchr(rx + rxStart, '\n', rxCount);
        if (lf) {
            char *start = rx + rxStart;
            size_t n = (size_t)(lf - start);
            rxStart += n + 1;
            rxCount -= n + 1;
            if (n > 0 && start[n - 1] == '\r') --n;
            start[n] = '\0';
            *length = n;
            return start;
        }
        if (rxStart > 0) {
            memmove(rx, rx + rxStart, rxCount);
            rxStart = 0;
        }
        if (rxCount == sizeof rx) die("line too long");
        ssize_t got;
        if (ssl) {
            size_t read = 0;
            got = SSL_read_ex(ssl, rx + rxCount, sizeof rx - rxCount, &read) == 1 ? (ssize_t)read : -1;
        } else {
            got = recv(sock, rx + rxCount, sizeof rx - rxCount, 0);
        }
        if (got <= 0) die("connection lost");
        rxCount += (size_t)got;
    }
}

static char *reply(void) {
    size_t n;
    return line(&n);
}

/* An SMTP reply: every line up to the one without a '-' after the code. */
static int smtpReply(void) {
    for (;;) {
        size_t n;
        char *l = line(&n);
        if (n < 4 || l[3] != '-') return atoi(l);
    }
}

static void connectTo(const char *host, const char *port) {
    struct sockaddr_in a;
    memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_port = htons((unsigned short)atoi(port));
    if (inet_pton(AF_INET, host, &a.sin_addr) != 1) die("bad address");
    sock = socket(AF_INET, SOCK_STREAM, 0);
    if (sock < 0 || connect(sock, (struct sockaddr *)&a, sizeof a) != 0) die("cannot connect");
    int one = 1;
    setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

static void expectOk(const char *what) {
    if (reply()[0] != '+') die(what);
}

/* The client handshake over the connected socket, verified as korv does. */
static void startTls(const char *host, const char *caFile) {
    SSL_CTX *context = SSL_CTX_new(TLS_client_method());
    if (!context) die("no TLS context");
    SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER, NULL);
    /* The system store as korv loads it: the hashed directory, then the
     * bundle only when the directory has no match. */
    X509_STORE *store = SSL_CTX_get_cert_store(context);
    const char *bundle = getenv(X509_get_default_cert_file_env());
    if (X509_LOOKUP_add_dir(X509_STORE_add_lookup(store, X509_LOOKUP_hash_dir()), NULL, X509_FILETYPE_DEFAULT) != 1 ||
        X509_LOOKUP_add_store(X509_STORE_add_lookup(store, X509_LOOKUP_store()),
                              bundle && *bundle ? bundle : X509_get_default_cert_file()) != 1)
        die("no system store");
    if (SSL_CTX_load_verify_locations(context, caFile, NULL) != 1) die("bad CA file");
    SSL *s = SSL_new(context);
    if (!s || SSL_set_fd(s, sock) != 1) die("no TLS session");
    unsigned char address[16];
    int literal = inet_pton(AF_INET, host, address) == 1 || inet_pton(AF_INET6, host, address) == 1;
    SSL_set_hostflags(s, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    if (SSL_set1_host(s, host) != 1 || (!literal && SSL_set_tlsext_host_name(s, host) != 1)) die("bad name");
    if (SSL_connect(s) != 1) die("TLS handshake failed");
    ssl = s;
}

/* "AUTH PLAIN " and the base64 of NUL user NUL password. */
static void authPlainCommand(char *out, size_t size, const char *user, const char *password) {
    unsigned char raw[600];
    int n = snprintf((char *)raw, sizeof raw, "%c%s%c%s", 0, user, 0, password);
    if (n < 0 || (size_t)n >= sizeof raw || size < 12 + 4 * ((size_t)n + 2) / 3 + 1) die("credentials too long");
    memcpy(out, "AUTH PLAIN ", 11);
    EVP_EncodeBlock((unsigned char *)out + 11, raw, n);
}

static int pop3(char **argv, const char *caFile) {
    char cmd[1000], path[4200];
    static char fileBuffer[65536];
    connectTo(argv[0], argv[1]);
    if (caFile) {
        startTls(argv[0], caFile);
        expectOk("greeting");
        command("CAPA");
        expectOk("CAPA");
        while (strcmp(reply(), ".") != 0) {
        }
        authPlainCommand(cmd, sizeof cmd, argv[2], argv[3]);
        command(cmd);
        expectOk("AUTH");
    } else {
        expectOk("greeting");
        snprintf(cmd, sizeof cmd, "USER %s", argv[2]);
        command(cmd);
        expectOk("USER");
        snprintf(cmd, sizeof cmd, "PASS %s", argv[3]);
        command(cmd);
        expectOk("PASS");
    }
    command("STAT");
    char *stat = reply();
    if (stat[0] != '+') die("STAT");
    unsigned long count = strtoul(stat + 3, NULL, 10);
    for (unsigned long n = 1; n <= count; ++n) {
        snprintf(cmd, sizeof cmd, "LIST %lu", n);
        command(cmd);
        expectOk("LIST");
        snprintf(cmd, sizeof cmd, "RETR %lu", n);
        command(cmd);
        expectOk("RETR");
        snprintf(path, sizeof path, "%s/%08lu.txt", argv[4], n);
        FILE *text = fopen(path, "w");
        if (!text) die("cannot create a text file");
        setvbuf(text, fileBuffer, _IOFBF, sizeof fileBuffer);
        char from[256] = "???", to[256] = "???";
        int header = 1;
        for (;;) {
            size_t length;
            char *l = line(&length);
            if (l[0] == '.') {
                if (length == 1) break;
                ++l;
                --length;
            }
            if (header) {
                if (length == 0) header = 0;
                else if (strncasecmp(l, "From:", 5) == 0) snprintf(from, sizeof from, "%s", l + 5);
                else if (strncasecmp(l, "To:", 3) == 0) snprintf(to, sizeof to, "%s", l + 3);
            }
            l[length] = '\n';
            fwrite(l, 1, length + 1, text);
        }
        if (fclose(text) != 0) die("write failed");
        snprintf(path, sizeof path, "%s/%08lu.wrk", argv[4], n);
        FILE *envelope = fopen(path, "w");
        if (!envelope) die("cannot create an envelope file");
        const char *at = strchr(to, '@');
        fprintf(envelope, "%s\n%s\n%s\n", at ? at + 1 : to, from, to);
        if (fclose(envelope) != 0) die("write failed");
        snprintf(cmd, sizeof cmd, "DELE %lu", n);
        command(cmd);
        expectOk("DELE");
    }
    command("QUIT");
    reply();
    if (ssl) SSL_shutdown(ssl); /* korv's close_notify too */
    return 0;
}

/* The text of one message: LF or CR LF line ends in the file go out as CR
 * LF, a leading dot is doubled; read in large blocks, cut at line ends. */
static void sendText(FILE *file) {
    static char block[65536];
    int lineStart = 1;
    size_t got;
    while ((got = fread(block, 1, sizeof block, file)) > 0) {
        char *p = block, *end = block + got;
        while (p < end) {
            if (lineStart && *p == '.') put(".", 1);
            char *lf = memchr(p, '\n', (size_t)(end - p));
            if (!lf) {
                put(p, (size_t)(end - p));
                lineStart = 0;
                break;
            }
            size_t n = (size_t)(lf - p);
            if (n > 0 && p[n - 1] == '\r') --n;
            put(p, n);
            put("\r\n", 2);
            p = lf + 1;
            lineStart = 1;
        }
    }
    if (!lineStart) put("\r\n", 2);
}

/* argv: HOST PORT DIR, or with TLS HOST PORT USER PASSWORD DIR. */
static int smtp(char **argv, const char *caFile) {
    char cmd[1000], path[4200], text[4200];
    connectTo(argv[0], argv[1]);
    if (smtpReply() != 220) die("greeting");
    const char *queue = argv[2];
    if (caFile) {
        command("EHLO bench.example");
        if (smtpReply() != 250) die("EHLO");
        command("STARTTLS");
        if (smtpReply() != 220) die("STARTTLS");
        startTls(argv[0], caFile);
        command("EHLO bench.example");
        if (smtpReply() != 250) die("EHLO");
        authPlainCommand(cmd, sizeof cmd, argv[2], argv[3]);
        command(cmd);
        if (smtpReply() != 235) die("AUTH");
        queue = argv[4];
    } else {
        command("HELO bench.example");
        if (smtpReply() != 250) die("HELO");
    }
    DIR *dir = opendir(queue);
    if (!dir) die("cannot open the queue");
    struct dirent *entry;
    while ((entry = readdir(dir)) != NULL) {
        size_t len = strlen(entry->d_name);
        if (len < 5 || strcmp(entry->d_name + len - 4, ".wrk") != 0) continue;
        snprintf(path, sizeof path, "%s/%s", queue, entry->d_name);
        snprintf(text, sizeof text, "%s/%.*s.txt", queue, (int)(len - 4), entry->d_name);
        FILE *envelope = fopen(path, "r");
        if (!envelope) continue;
        char l[300];
        if (!fgets(l, sizeof l, envelope)) die("empty envelope");
        command("RSET");
        if (smtpReply() != 250) die("RSET");
        if (!fgets(l, sizeof l, envelope)) die("no sender");
        l[strcspn(l, "\r\n")] = '\0';
        snprintf(cmd, sizeof cmd, "MAIL FROM:<%s>", l);
        command(cmd);
        if (smtpReply() != 250) die("MAIL");
        while (fgets(l, sizeof l, envelope)) {
            l[strcspn(l, "\r\n")] = '\0';
            if (!l[0]) continue;
            snprintf(cmd, sizeof cmd, "RCPT TO:<%s>", l);
            command(cmd);
            if (smtpReply() / 100 != 2) die("RCPT");
        }
        fclose(envelope);
        command("DATA");
        if (smtpReply() != 354) die("DATA");
        FILE *file = fopen(text, "r");
        if (!file) die("no text");
        sendText(file);
        fclose(file);
        command(".");
        if (smtpReply() / 100 != 2) die("text refused");
        unlink(path);
        unlink(text);
    }
    closedir(dir);
    command("QUIT");
    smtpReply();
    if (ssl) SSL_shutdown(ssl);
    return 0;
}

int main(int argc, char **argv) {
    if (argc == 7 && strcmp(argv[1], "pop3") == 0) return pop3(argv + 2, NULL);
    if (argc == 5 && strcmp(argv[1], "smtp") == 0) return smtp(argv + 2, NULL);
    if (argc == 8 && strcmp(argv[1], "pop3s") == 0) return pop3(argv + 2, argv[7]);
    if (argc == 8 && strcmp(argv[1], "smtp+starttls") == 0) return smtp(argv + 2, argv[7]);
    fprintf(stderr, "usage: floor pop3 HOST PORT USER PASSWORD DIR | floor smtp HOST PORT DIR\n"
                    "       floor pop3s HOST PORT USER PASSWORD DIR CA_FILE\n"
                    "       floor smtp+starttls HOST PORT USER PASSWORD DIR CA_FILE\n");
    return 2;
}
