// korvcfg without a window: the record <-> settings conversions byte for
// byte, and the start-up's decisions over the files it finds.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <filesystem>

#include "setup/startup.h"
#include "setup_scripted_boxes.h"
#include "support/temp_dir.h"

namespace quorvexia {
namespace {

using test::ConfigBytes;
using S = SetupSettings;

std::string Patched(std::string bytes, std::size_t at, const std::string& part) { return bytes.replace(at, part.size(), part); }

// One text saved over an image of 'Z's, in modem mode with flood protection
// and deletion on (`off`: network mode, both off); the bytes from `at` on.
struct SaveRow { std::string S::*field; std::string text; std::size_t at; std::string bytes; bool clamped = false, off = false; };

TEST(SetupConversionTest, SavedBytesAndLoadedSettings) {
    const std::string nul(1, '\0'), limit("\x00\xFC\xFF\x7F\x01ZZZ", 8), least("\x00\x00\x00\x80", 4);
    const SaveRow rows[] = {
        {&S::domainName, std::string(300, 'd'), 16, std::string(63, 'd') + nul + nul},
        {&S::dialEntry, std::string(300, 'e'), 644, std::string(256, 'e') + nul},
        {&S::dialUser, "me", 901, "me" + nul + "ZZ"},  // dial-up texts keep the bytes behind them
        {&S::dialEntry, "Office", 644, nul + "ZZ", false, true},
        {&S::maxSizeText, "  12ab", 1416, std::string("\x00\x30\x00\x00\x01ZZZ", 8)},
        {&S::maxSizeText, "+3", 1416, std::string("\x00\x0C\x00\x00", 4)},
        {&S::maxSizeText, " - 5", 1416, std::string(4, '\0')},
        {&S::maxSizeText, "-5", 1416, std::string("\x00\xEC\xFF\xFF", 4)},
        {&S::maxSizeText, "2097151", 1416, limit},
        {&S::maxSizeText, "2097152", 1416, limit, true},
        {&S::maxSizeText, "999999999999999999999999", 1416, limit, true},
        {&S::maxSizeText, "-2097152", 1416, least},
        {&S::maxSizeText, "-3000000", 1416, least, true},
        {&S::maxSizeText, "55", 1416, "\xFF\xFF\xFF\xFFZ", false, true},
    };
    for (const SaveRow& r : rows) {
        SCOPED_TRACE(r.text.substr(0, 30) + " at " + std::to_string(r.at));
        MailConfig image;
        std::memset(ImageBytes(image), 'Z', kMailConfigSize);
        S s;
        s.connectionMode = r.off ? kConnectByNetwork : kConnectByModem;
        s.floodProtection = s.deleteOversize = !r.off;
        s.*r.field = r.text;
        EXPECT_EQ(BuildRecordImage(s, image).sizeClamped, r.clamped);
        EXPECT_EQ(ConfigBytes(image).substr(r.at, r.bytes.size()), r.bytes);
    }
    // Texts without a terminator are read to their width; the stored limit decides flood protection.
    for (const auto& [stored, legacy, shown] : {std::tuple{0, false, "0"}, {1500, false, "1"}, {INT32_MAX, false, "2097151"},
                                                {-1, false, ""}, {4096, true, ""}}) {
        MailConfig image;
        std::memset(ImageBytes(image), 'x', kMailConfigSize);
        image.maxMessageSize.set(stored);
        S s;
        SettingsFromRecord(image, legacy, s);
        EXPECT_EQ(s.domainName.size() + s.logFile.size() + s.dialEntry.size() + s.dialPassword.size(), 64u + 80 + 256 + 256);
        EXPECT_EQ(s.maxSizeText + " " + std::to_string(s.floodProtection + s.deleteOversize), *shown ? shown + std::string(" 2") : "1024 0");
    }
    S loaded;
    SettingsFromRecord(MailConfig{}, false, loaded);
    EXPECT_EQ(loaded.connectionMode, kConnectByNetwork) << "no entry, no modem";
}

long OpenFiles() { return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}); }

// The files ("-" absent, "/" a directory, "@" a link to nowhere, or bytes),
// the answers, OK or Cancel on the sheet, which edits the SMTP server (and
// with `rewrite` korv rewrites korv.cfg meanwhile); the boxes, korv.cfg as
// the sheet saw it ("-": no sheet) and at the end, and the directory.
struct StartRow {
    const char* name;
    std::string korv, legacy;
    std::deque<bool> answers;
    bool ok;
    std::string boxes, atSheet, after, listing, lock = "-";
    bool rewrite = false;
};

void Put(const std::string& path, const std::string& spec) {
    if (spec == "/") test::MakeDir(path);
    else if (spec == "@") EXPECT_EQ(symlink("nowhere", path.c_str()), 0);
    else if (spec != "-") test::WriteFile(path, spec);
}

TEST(SetupStartupTest, DecisionsOverTheFilesFound) {
    const std::string nul(1, '\0'), edit = "smtp.example.org", tail = "bytes beyond the record", D = ConfigBytes(test::DefaultConfig());
    const std::string E = Patched(D, 240, edit), caps = Patched(D, 0, "QUORVEXIA 20 CFG"), K = Patched(D, 640, "\x0B");
    std::string L(kLegacyConfigSize, '\0');
    for (auto [at, part] : {std::pair<std::size_t, std::string>{0, "Bexolind 1.0 CFG"}, {16, "old.example"}, {56, "J"},
                            {640, "\x40\xE2\x01"}, {644, "Provider X"}, {1415, "\x5A"}}) L.replace(at, part.size(), part);
    const std::string U = Patched(Patched(Patched(L + std::string(8, '\0'), 0, "Quorvexia 20 CFG"), 56, nul), 1416, "\xFF\xFF\xFF\xFF");
    const std::string R = Patched(Patched(D, 645, "rovider X"), 1415, "\x5A");  // defaults over a damaged bexolind.cfg
    const std::string C = "? Could not find configuration file. Create a new one?\n", Up = "? Upgrade old configuration file?\n",
                      Dm = "? Configuration file is damaged. Rebuild?\n", Cr = "! Could not create configuration file.\n",
                      lk = ".korv.cfg.lock ";
    const StartRow rows[] = {
        {"no file, created, Cancel", "-", "-", {1}, false, C, D, D, lk + "korv.cfg"},
        {"no file, created, OK", "-", "-", {1}, true, C, D, E, lk + "korv.cfg"},
        {"no file, declined", "-", "-", {0}, true, C, "-", "", ""},
        {"new file cannot be created", "@", "-", {1}, true, C + Cr, "-", "", "korv.cfg"},
        {"upgrade, Cancel", "-", L, {1}, false, Up, U, U, lk + "korv.cfg"},
        {"upgrade declined", "-", L, {0}, true, Up, "-", "", "bexolind.cfg"},
        {"upgrade, korv.cfg cannot be created", "@", L, {1}, true, Up + Cr, "-", "", "bexolind.cfg korv.cfg"},
        {"upgrade, korv.cfg cannot be written", "-", L, {1}, false, Up + "! Could not write configuration file.\n", "", "",
         lk + "bexolind.cfg korv.cfg", "/"},
        {"bexolind.cfg a byte short", "-", L.substr(0, 1415), {1, 0}, true, Up + Dm, "-", "", "bexolind.cfg"},
        {"bexolind.cfg damaged, rebuilt", "-", Patched(L, 0, "Bexolind 1.1 CFG"), {1, 1}, false, Up + Dm, R, R, lk + "korv.cfg"},
        {"korv.cfg saved in place, bexolind.cfg unread", D + tail, L, {}, true, "", D + tail, E + tail, lk + "bexolind.cfg korv.cfg"},
        {"korv.cfg a byte short", D.substr(0, 1423), L, {0}, true, Dm, "-", D.substr(0, 1423), "bexolind.cfg korv.cfg"},
        {"signature in capitals, rebuilt, Cancel", caps, "-", {1}, false, Dm, caps, caps, "korv.cfg"},
        {"damaged, rebuilt, korv rewrote it meanwhile", "damaged", "-", {1}, true, Dm, "damaged", Patched(E, 640, "\x0B") + tail,
         lk + "korv.cfg", "-", true},
        {"a directory in place of korv.cfg", "/", L, {}, true, "! Could not open configuration file.\n", "-", "", "bexolind.cfg korv.cfg"},
    };
    for (const StartRow& r : rows) {
        SCOPED_TRACE(r.name);
        test::TempDir dir;
        Put(dir / "korv.cfg", r.korv);
        Put(dir / "bexolind.cfg", r.legacy);
        Put(dir / ".korv.cfg.lock", r.lock);
        setup::SetupFiles files = setup::FindSetupFiles(dir.path());
        test::ScriptedBoxes boxes;
        boxes.answers = r.answers;
        setup::SetupData data;
        std::string atSheet = "-";
        const long open = OpenFiles();
        EXPECT_EQ(setup::RunSetup(files, data, boxes, [&](setup::SetupData& d) {
            atSheet = test::ReadFile(files.current);
            EXPECT_EQ(OpenFiles(), open) << "no file stays open while the sheet shows";
            if (r.rewrite) { EXPECT_TRUE(ReplaceFileAtomically(files.current, (K + tail).data(), K.size() + tail.size())); }
            d.settings.smtpServer = edit;
            return r.ok;
        }), 0);
        EXPECT_EQ(boxes.shown, r.boxes);
        EXPECT_EQ(atSheet, r.atSheet);
        EXPECT_EQ(test::ReadFile(files.current), r.after);
        EXPECT_EQ(test::ListDir(dir.path()), r.listing);
        if (test::FileExists(files.legacy)) { EXPECT_EQ(test::ReadFile(files.legacy), r.legacy); }
        struct stat st {};
        if (r.korv == "-" && stat(files.current.c_str(), &st) == 0) { EXPECT_EQ(st.st_mode & 0777, 0600u); }
    }
}

TEST(SetupStartupTest, RefusalsAndWarningsOfTheirOwn) {
    // A korv.cfg that may not be written is not offered; the superuser may write any file, so it is met as nobody.
    test::TempDir dir;
    test::WriteFile(dir / "korv.cfg", ConfigBytes(test::DefaultConfig()));
    ASSERT_EQ(chmod((dir / "korv.cfg").c_str(), 0444) + chmod(dir.path().c_str(), 0755), 0);
    test::ScriptedBoxes boxes;
    setup::SetupData data;
    EXPECT_EXIT(if (geteuid() != 0 || setgid(65534) + setuid(65534) == 0) {
        setup::RunSetup(setup::FindSetupFiles(dir.path()), data, boxes, [](setup::SetupData&) -> bool { _exit(2); });
        _exit(boxes.shown == "! Could not open configuration file.\n" ? 0 : 1);
    } _exit(3), testing::ExitedWithCode(0), "");
    // A limit clamped to a positive number is told; a failed save is told each time.
    data.settings.floodProtection = 1;
    for (const char* size : {"3000000", "-3000000"}) {
        data.settings.maxSizeText = size;
        EXPECT_FALSE(setup::SaveConfig(dir / "missing/korv.cfg", data, boxes));
    }
    EXPECT_EQ(boxes.shown, "! The maximum message size is too large. It was saved as 2097151 kB.\n"
                           "! Could not write configuration file.\n! Could not write configuration file.\n");
}

}  // namespace
}  // namespace quorvexia
