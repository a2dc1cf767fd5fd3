// korv's reading of korv.cfg on arbitrary file contents: the image holds
// exactly the file's first 1424 bytes and zeros behind a short file, no text
// field reads past its width, the signature check is case-blind, and the
// directory rules leave a usable, minimally changed value.
#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "config/config_file.h"
#include "run_control.h"

namespace {

using namespace quorvexia;

void Check(bool condition) {
    if (!condition) __builtin_trap();
}

const std::string& ScratchFile() {
    static const std::string path = [] {
        char name[] = "/tmp/quorvexia-fuzz-XXXXXX";
        int fd = mkstemp(name);
        Check(fd >= 0);
        close(fd);
        std::atexit([] { unlink(ScratchFile().c_str()); });
        return std::string(name);
    }();
    return path;
}

template <std::size_t N>
void CheckField(const TextField<N>& field) {
    std::string_view text = field.text();
    Check(text.size() <= N);
    Check(text.find('\0') == std::string_view::npos);
    Check(std::memcmp(text.data(), field.bytes.data(), text.size()) == 0);
    Check(text.size() == N || field.bytes[text.size()] == '\0');
}

void CheckDirectory(TextField<80>& field) {
    std::string before(field.text());
    NormaliseDirectory(field);
    std::string after(field.text());
    if (before.empty()) {
        Check(after == ".");
    } else if (before.size() > 1 && before.back() == '/') {
        Check(after == before.substr(0, before.size() - 1));
    } else {
        Check(after == before);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string& path = ScratchFile();
    int fd = open(path.c_str(), O_WRONLY | O_TRUNC);
    Check(fd >= 0);
    Check(size == 0 || write(fd, data, size) == static_cast<ssize_t>(size));
    close(fd);

    MailConfig image;
    Check(ReadKorvConfig(path.c_str(), "/nonexistent/bexolind.cfg", image) == ConfigOpenResult::Read);
    const unsigned char* bytes = ImageBytes(image);
    std::size_t stored = size < kMailConfigSize ? size : kMailConfigSize;
    Check(std::memcmp(bytes, data, stored) == 0);
    for (std::size_t i = stored; i < kMailConfigSize; ++i) Check(bytes[i] == 0);

    bool same = true;
    for (std::size_t i = 0; i < kSignatureSize; ++i)
        same = same && std::tolower(bytes[i]) == std::tolower(static_cast<unsigned char>(kMailSignature[i]));
    Check(SignatureEquals(image.signature, kMailSignature, true) == same);

    CheckField(image.domainName);
    CheckField(image.smtpServer);
    CheckField(image.pop3Server);
    CheckField(image.pop3User);
    CheckField(image.pop3Password);
    CheckField(image.logFile);
    CheckField(image.dialEntry);
    CheckField(image.dialUser);
    CheckField(image.dialPassword);
    CheckDirectory(image.inboundDir);
    CheckDirectory(image.outboundDir);
    CheckField(image.inboundDir);
    CheckField(image.outboundDir);
    (void)image.messageCounter.get();
    (void)image.maxMessageSize.get();

    // The same file as the predecessor's: only its presence counts.
    MailConfig untouched;
    Check(ReadKorvConfig("/nonexistent/korv.cfg", path.c_str(), untouched) == ConfigOpenResult::OnlyLegacy);
    return 0;
}
