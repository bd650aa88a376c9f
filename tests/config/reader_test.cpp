// The grammar and the search rules of the configuration reader, on temporary files.
#include <gtest/gtest.h>

#include <string>

#include "config/cfg.h"
#include "config/cfg_internal.h"
#include "tests/support/test_util.h"

namespace {

using testutil::TempDir;
using testutil::WriteFile;

struct Result {
    int rc;
    std::string value;
};

class ReaderTest : public ::testing::Test {
  protected:
    // Writes `content` as the file and reads one key of it.
    Result Read(const std::string &content, const char *section, const char *key, int size = 256) {
        WriteFile(path_, content);
        return ReadExisting(section, key, size);
    }
    Result ReadExisting(const char *section, const char *key, int size = 256) {
        std::string out(static_cast<std::size_t>(size > 0 ? size : 1) + 16, '\x7f');
        Result r;
        r.rc = ReadCFGData(path_.c_str(), section, key, out.data(), size);
        r.value = size > 0 ? std::string(out.c_str()) : out;
        return r;
    }
    Result Net(const std::string &content, const char *key, int size = 256) {
        return Read(content, "network", key, size);
    }

    TempDir dir_;
    std::string path_ = dir_.file("CGI_ds.conf");
};

// --- The examples of the text -----------------------------------------------------------------

TEST_F(ReaderTest, BlanksAroundEqualsAndAtTheEndAreDropped) {
    Result r = Net("[network]\nip_addr = 192.168.0.2   \n", "ip_addr");
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.value, "192.168.0.2");
}

TEST_F(ReaderTest, TwoInnerBlanksStay) {
    Result r = Net("[network]\ndisk_server_comment=my  disk\n", "disk_server_comment");
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.value, "my  disk");
}

TEST_F(ReaderTest, MissingKeySectionOrEmptyValueGiveZeroAndEmpty) {
    const std::string file = "[network]\nip_addr=1.2.3.4\nempty=\nblank=   \n";
    Result r = Net(file, "gateway");
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.value, "");
    r = Read(file, "other", "ip_addr");
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.value, "");
    r = Net(file, "empty");
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.value, "");
    r = Net(file, "blank");
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.value, "");
}

TEST_F(ReaderTest, ValueOfSizeMinusOneFitsOneMoreIsTooLong) {
    const std::string file = "[network]\nname=abcd\n";
    Result r = Net(file, "name", 5);
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.value, "abcd");
    r = Net(file, "name", 4);
    EXPECT_EQ(r.rc, kCfgTooLong);
    EXPECT_EQ(r.value, "abc");
    r = Net(file, "name", 1);
    EXPECT_EQ(r.rc, kCfgTooLong);
    EXPECT_EQ(r.value, "");
}

TEST_F(ReaderTest, SizeZeroWritesNothing) {
    WriteFile(path_, "[network]\nname=abcd\n");
    char out[4] = {'x', 'y', 'z', '\0'};
    EXPECT_EQ(ReadCFGData(path_.c_str(), "network", "name", out, 0), kCfgTooLong);
    EXPECT_EQ(std::string(out), "xyz");
}

TEST_F(ReaderTest, UnterminatedOrEmptyHeaderAndLeadingEqualsAreSyntaxErrors) {
    Result r = Net("[network\nip_addr=1.2.3.4\n", "ip_addr");
    EXPECT_EQ(r.rc, kCfgSyntax);
    EXPECT_EQ(r.value, "");
    r = Net("[]\n[network]\nip_addr=1.2.3.4\n", "ip_addr");
    EXPECT_EQ(r.rc, kCfgSyntax);
    r = Net("[ \t ]\n[network]\nip_addr=1.2.3.4\n", "ip_addr");
    EXPECT_EQ(r.rc, kCfgSyntax);
    r = Net("[network]\n=oops\nip_addr=1.2.3.4\n", "ip_addr");
    EXPECT_EQ(r.rc, kCfgSyntax);
    EXPECT_EQ(r.value, "");
    r = Net("[network]\n   = oops\nip_addr=1.2.3.4\n", "ip_addr");
    EXPECT_EQ(r.rc, kCfgSyntax);
    r = Net("[network]\nip_addr=1.2.3.4\n[unterminated", "ip_addr");
    EXPECT_EQ(r.rc, 0) << "a syntax error after the key goes unnoticed";
    EXPECT_EQ(r.value, "1.2.3.4");
}

TEST_F(ReaderTest, LineWithoutEqualsIsIgnored) {
    Result r = Net("[network]\njust some words\nip_addr=1.2.3.4\n", "ip_addr");
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.value, "1.2.3.4");
    r = Net("[network]\nip_addr=1.2.3.4\nno equals at the end", "gateway");
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.value, "");
}

TEST_F(ReaderTest, ValueContinuationKeepsAllBlanks) {
    Result r = Net("[network]\ncomment=a \\\n  b\nnext=1\n", "comment");
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.value, "a   b");
    r = Net("[network]\ncomment=a \\\n  b\nnext=1\n", "next");
    EXPECT_EQ(r.value, "1") << "the continuation line is not an entry of its own";
}

TEST_F(ReaderTest, ValueContinuationBeforeAnEmptyLineCutsTrailingBlanks) {
    Result r = Net("[network]\ncomment=a \t\\  \n\nnext=1\n", "comment");
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.value, "a");
}

TEST_F(ReaderTest, OnlyTheFirstSectionOfAName) {
    const std::string file = "[network]\nip_addr=1.2.3.4\n[network]\ngateway=1.2.3.254\n";
    Result r = Net(file, "gateway");
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.value, "");
    r = Net(file, "ip_addr");
    EXPECT_EQ(r.value, "1.2.3.4");
}

TEST_F(ReaderTest, MissingFile) {
    Result r = ReadExisting("network", "ip_addr");
    EXPECT_EQ(r.rc, kCfgOpenFail);
    EXPECT_EQ(r.value, "");
    char out[8] = "junk";
    EXPECT_EQ(ReadCFGData(nullptr, "network", "ip_addr", out, sizeof out), kCfgOpenFail);
    EXPECT_EQ(std::string(out), "");
    EXPECT_EQ(ReadCFGData("", "network", "ip_addr", out, sizeof out), kCfgOpenFail);
    EXPECT_EQ(ReadCFGData(dir_.path().c_str(), "network", "ip_addr", out, sizeof out), kCfgOpenFail)
        << "a folder is no file";
}

TEST_F(ReaderTest, MissingOutputAndMissingKey) {
    WriteFile(path_, "[network]\nip_addr=1.2.3.4\n");
    EXPECT_EQ(ReadCFGData(path_.c_str(), "network", "ip_addr", nullptr, 16), kCfgNoOutput);
    char out[8] = "junk";
    EXPECT_EQ(ReadCFGData(path_.c_str(), "network", nullptr, out, sizeof out), 0);
    EXPECT_EQ(std::string(out), "");
    // A missing key does not even open the file.
    EXPECT_EQ(ReadCFGData(dir_.file("absent").c_str(), "network", nullptr, out, sizeof out), 0);
}

// --- No-section mode ----------------------------------------------------------------------------

TEST_F(ReaderTest, KeysBeforeTheFirstHeaderOnlyInNoSectionMode) {
    const std::string file = "top=1\n[network]\nip_addr=1.2.3.4\n[other]\nz=9\n";
    Result r = Read(file, nullptr, "top");
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.value, "1");
    r = Read(file, "", "top");
    EXPECT_EQ(r.value, "1");
    r = Read(file, "network", "top");
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.value, "");
    r = Read(file, "", "z");
    EXPECT_EQ(r.value, "9") << "no-section mode matches in any section";
    r = Read(file, "", "ip_addr");
    EXPECT_EQ(r.value, "1.2.3.4");
}

TEST_F(ReaderTest, NoSectionModeLastsOneCall) {
    const std::string file = "top=1\n[network]\nip_addr=1.2.3.4\n";
    EXPECT_EQ(Read(file, "", "top").value, "1");
    EXPECT_EQ(Read(file, "network", "top").value, "");
}

TEST_F(ReaderTest, FirstOfEqualKeysWinsAcrossSectionsInNoSectionMode) {
    const std::string file = "[a]\nk=first\n[b]\nk=second\n[a]\nk=third\n";
    EXPECT_EQ(Read(file, "", "k").value, "first");
    EXPECT_EQ(Read(file, "b", "k").value, "second");
    EXPECT_EQ(Read(file, "a", "k").value, "first");
}

TEST_F(ReaderTest, FirstOfEqualKeysInASectionWins) {
    EXPECT_EQ(Net("[network]\nk=1\nk=2\n", "k").value, "1");
}

// --- Comments, blanks, line ends ----------------------------------------------------------------

TEST_F(ReaderTest, CommentsWithHashAndSemicolon) {
    const std::string file =
        "# comment [x]\n"
        "[network]\n"
        "#ip_addr=9.9.9.9\n"
        "   ; ip_addr=8.8.8.8\n"
        "\t# = error would be here\n"
        "ip_addr=1.2.3.4\n"
        "comment=a#b;c # not a comment\n";
    Result r = Net(file, "ip_addr");
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.value, "1.2.3.4");
    EXPECT_EQ(Net(file, "comment").value, "a#b;c # not a comment");
    EXPECT_EQ(Net(file, "#ip_addr").value, "");
}

TEST_F(ReaderTest, CarriageReturnsAreDropped) {
    const std::string file = "[network]\r\nip_addr=1.2.3.4\r\nname=a\rb \r\nkey \r= v\r\n";
    Result r = Net(file, "ip_addr");
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.value, "1.2.3.4");
    EXPECT_EQ(Net(file, "name").value, "ab");
    EXPECT_EQ(Net(file, "key").value, "v");
}

TEST_F(ReaderTest, BlanksInNamesBecomeOneBlank) {
    const std::string file = "[  my \t  section  ]  trailing text\nmy   \t key  =  v  w \n";
    Result r = Read(file, "my section", "my key");
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.value, "v  w");
    EXPECT_EQ(Read(file, "my  section", "my key").value, "");
}

TEST_F(ReaderTest, TabsVerticalTabsAndFormFeedsAreBlanks) {
    Result r = Net("\t\v\f[network]\n\t ip_addr\t=\t1.2.3.4\t\v\f\n", "ip_addr");
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.value, "1.2.3.4");
}

TEST_F(ReaderTest, BackslashAtTheStartOfALineIsSkipped) {
    Result r = Net("[network]\n\\  ip_addr=1.2.3.4\n\\\nnext=2\n", "ip_addr");
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.value, "1.2.3.4");
    EXPECT_EQ(Net("[network]\n\\  ip_addr=1.2.3.4\n\\\nnext=2\n", "next").value, "2");
}

TEST_F(ReaderTest, HeaderContinuation) {
    Result r = Read("[net \\\n   work]\nk=v\n", "net work", "k");
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.value, "v");
    r = Read("[net\\\nwork]\nk=v\n", "network", "k");
    EXPECT_EQ(r.value, "v");
    r = Read("[network \\\n]\nk=v\n", "network", "k");
    EXPECT_EQ(r.value, "v") << "a blank before the backslash is dropped when ] follows";
}

TEST_F(ReaderTest, KeyContinuation) {
    Result r = Net("[network]\nip\\\n_addr=1.2.3.4\n", "ip_addr");
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.value, "1.2.3.4");
    r = Net("[network]\nmy \\\n   key=v\n", "my key");
    EXPECT_EQ(r.value, "v");
}

TEST_F(ReaderTest, EmptyAndCommentOnlyFiles) {
    Result r = Net("", "ip_addr");
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.value, "");
    r = Net("# only\n; comments\n\n   \n", "ip_addr");
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.value, "");
}

TEST_F(ReaderTest, LastLineWithoutLineFeed) {
    EXPECT_EQ(Net("[network]\nip_addr=1.2.3.4", "ip_addr").value, "1.2.3.4");
    EXPECT_EQ(Net("[network]\nip_addr=1.2.3.4   ", "ip_addr").value, "1.2.3.4");
    EXPECT_EQ(Net("[network]\nip_addr=a \\", "ip_addr").value, "a \\")
        << "no line end: no continuation";
}

// --- High bytes and NUL -------------------------------------------------------------------------

TEST_F(ReaderTest, HighBytesAreOrdinaryCharacters) {
    const std::string file =
        "\xff\xfe junk line starting with high bytes\n"
        "# comment \xe9\xff\x80 with high bytes\n"
        "[r\xc3\xa9seau]\n"
        "cl\xc3\xa9=caf\xc3\xa9 \xff\x80 end\n"
        "\xffkey=\xff\n"
        "[network]\n"
        "printer_comment=Imprimante \xe0 c\xf4t\xe9\n"
        "after=ok\n";
    Result r = Read(file, "r\xc3\xa9seau", "cl\xc3\xa9");
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.value, "caf\xc3\xa9 \xff\x80 end");
    EXPECT_EQ(Read(file, "r\xc3\xa9seau", "\xffkey").value, "\xff");
    r = Net(file, "printer_comment");
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.value, "Imprimante \xe0 c\xf4t\xe9");
    EXPECT_EQ(Net(file, "after").value, "ok");
}

TEST_F(ReaderTest, NulByteEndsTheInput) {
    const std::string file = std::string("[network]\na=1\n\0b=2\n", 19);
    EXPECT_EQ(Net(file, "a").value, "1");
    Result r = Net(file, "b");
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.value, "");
    // Inside a value: the value ends there, and so does the scan.
    const std::string inside = std::string("[network]\na=1\0xyz\nb=2\n", 22);
    EXPECT_EQ(Net(inside, "a").value, "1");
    EXPECT_EQ(Net(inside, "b").value, "");
}

// --- Limits -------------------------------------------------------------------------------------

TEST_F(ReaderTest, ValueOf255CharactersIsWhole) {
    const std::string v(255, 'v');
    Result r = Net("[network]\nk=" + v + "\n", "k", 256);
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.value, v);
}

TEST_F(ReaderTest, ValueLongerThan255NeverOverrunsAndFails) {
    const std::string v = std::string(200, 'a') + std::string(100, 'b');
    Result r = Net("[network]\nk=" + v + "\nnext=1\n", "k", 256);
    EXPECT_EQ(r.rc, kCfgTooLong);
    EXPECT_EQ(r.value, v.substr(0, 255));
    // Even with a bigger buffer the read fails (the store holds at most 255 characters).
    r = Net("[network]\nk=" + v + "\nnext=1\n", "k", 1024);
    EXPECT_EQ(r.rc, kCfgTooLong);
    EXPECT_EQ(r.value, v.substr(0, 255));
    EXPECT_EQ(Net("[network]\nk=" + v + "\nnext=1\n", "next").value, "1");
}

TEST_F(ReaderTest, VeryLongEntriesAndHeadersGrowTheWorkingBuffer) {
    const std::string long_key(5000, 'k');
    const std::string long_value(7000, 'x');
    const std::string long_section(3000, 's');
    const std::string file = "[" + long_section + "]\n" + long_key + "=" + long_value +
                             "\n[network]\n" + "a=" + long_value + "\nip_addr=1.2.3.4\n";
    Result r = Net(file, "ip_addr");
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.value, "1.2.3.4");
    r = Net(file, "a");
    EXPECT_EQ(r.rc, kCfgTooLong);
    EXPECT_EQ(r.value, std::string(255, 'x'));
}

TEST_F(ReaderTest, NamesLongerThan63AreRefused) {
    const std::string k63(63, 'k');
    const std::string s63(63, 's');
    const std::string file = "[" + s63 + "]\n" + k63 + "=found\n";
    Result r = Read(file, s63.c_str(), k63.c_str());
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.value, "found");
    // One more character is refused: never cut into the 63-character name that exists.
    r = Read(file, s63.c_str(), (k63 + "k").c_str());
    EXPECT_EQ(r.rc, kCfgOpenFail);
    EXPECT_EQ(r.value, "");
    r = Read(file, (s63 + "s").c_str(), k63.c_str());
    EXPECT_EQ(r.rc, kCfgOpenFail);
    EXPECT_EQ(r.value, "");
}

TEST_F(ReaderTest, EntriesAcrossBlockBoundaries) {
    // Entries straddling the 1024-byte blocks of the scanner, at every alignment around it.
    for (int pad = 1000; pad < 1040; ++pad) {
        const std::string file = "# " + std::string(static_cast<std::size_t>(pad), '-') +
                                 "\n[network]\nip_addr = 10.20.30.40\nnext=x\n";
        Result r = Net(file, "ip_addr");
        ASSERT_EQ(r.rc, 0) << pad;
        ASSERT_EQ(r.value, "10.20.30.40") << pad;
        ASSERT_EQ(Net(file, "next").value, "x") << pad;
    }
}

TEST_F(ReaderTest, RealisticFile) {
    const std::string file =
        "[network]\n"
        "version=1.2.3\n"
        "default_server_name=JX1A2B3C\n"
        "disk_server_name=STORAGE\n"
        "disk_server_comment=Office disk server\n"
        "bootproto=static\n"
        "ip_addr=192.168.0.2\n"
        "netmask=255.255.255.0\n"
        "gateway=192.168.0.1\n"
        "time_zone=-5\n";
    struct Want {
        const char *key;
        const char *value;
    };
    const Want wants[] = {{"version", "1.2.3"},
                          {"disk_server_comment", "Office disk server"},
                          {"netmask", "255.255.255.0"},
                          {"time_zone", "-5"}};
    for (const Want &w : wants) {
        const char *key = w.key;
        const char *want = w.value;
        Result r = Net(file, key);
        EXPECT_EQ(r.rc, 0) << key;
        EXPECT_EQ(r.value, want) << key;
    }
}

// --- pm_process and its callbacks ----------------------------------------------------------------

std::string g_events;

int RecordSection(const char *name) {
    // Piecewise: "[" + std::string(name) trips a false -Wrestrict of g++ 12 at -O3.
    g_events.append("[").append(name).append("]");
    return 0;
}
int RecordEntry(const char *key, const char *value) {
    g_events += std::string(key) + "=" + value + ";";
    return 0;
}
int StopAtB(const char *key, const char *) {
    return std::string(key) == "b" ? 1 : 0;
}
int FailAtB(const char *key, const char *) {
    return std::string(key) == "b" ? -42 : 0;
}

TEST_F(ReaderTest, PmProcessCallsTheCallbacksInOrder) {
    WriteFile(path_, "x=0\n[one]\na=1\nb = 2 \n[ two ]\nc=\n");
    g_events.clear();
    EXPECT_EQ(pm_process(path_.c_str(), RecordSection, RecordEntry), 0);
    EXPECT_EQ(g_events, "x=0;[one]a=1;b=2;[two]c=;");
    EXPECT_EQ(pm_process(path_.c_str(), RecordSection, StopAtB), 0) << "1 turns into 0";
    EXPECT_EQ(pm_process(path_.c_str(), RecordSection, FailAtB), -42);
    EXPECT_EQ(pm_process(nullptr, RecordSection, RecordEntry), kCfgOpenFail);
    EXPECT_EQ(pm_process("", RecordSection, RecordEntry), kCfgOpenFail);
    EXPECT_EQ(pm_process(dir_.file("absent").c_str(), RecordSection, RecordEntry), kCfgOpenFail);
    EXPECT_EQ(cfg::scanner.bufr, nullptr) << "the working buffer is freed after each pass";
}

}  // namespace
