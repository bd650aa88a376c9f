// The text passes of the sharing rewrites, on in-memory files: long lines, unterminated lines
// and the atalkd.conf text builder's corner cases.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "share/share.h"
#include "share/share_io.h"
#include "share/share_passes.h"

namespace {

// A stream holding text, rewound.
FILE *StreamOf(const std::string &text) {
    FILE *f = std::tmpfile();
    std::fwrite(text.data(), 1, text.size(), f);
    std::rewind(f);
    return f;
}

std::string ContentOf(FILE *f) {
    std::fflush(f);
    std::rewind(f);
    std::string text;
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) {
        text.append(buf, n);
    }
    std::fclose(f);
    return text;
}

template <typename Pass, typename Info>
std::string RunPass(Pass pass, const std::string &input, const Info &info) {
    FILE *in = StreamOf(input);
    FILE *out = std::tmpfile();
    pass(in, out, info);
    std::fclose(in);
    return ContentOf(out);
}

SambaInfo Samba(const char *workgroup, const char *wins, const char *name = "lp",
                const char *comment = "") {
    SambaInfo info{};
    std::snprintf(info.state, sizeof info.state, "enable");
    std::snprintf(info.workgroup, sizeof info.workgroup, "%s", workgroup);
    std::snprintf(info.code_page, sizeof info.code_page, "437");
    std::snprintf(info.printer_name, sizeof info.printer_name, "%s", name);
    std::snprintf(info.printer_comment, sizeof info.printer_comment, "%s", comment);
    std::snprintf(info.wins_server, sizeof info.wins_server, "%s", wins);
    return info;
}

AtalkInfo Atalk(const char *name, const char *type, const char *client) {
    AtalkInfo info{};
    std::snprintf(info.state, sizeof info.state, "enable");
    std::snprintf(info.zone, sizeof info.zone, "*");
    std::snprintf(info.printer_name, sizeof info.printer_name, "%s", name);
    std::snprintf(info.printer_type, sizeof info.printer_type, "%s", type);
    std::snprintf(info.printer_client, sizeof info.printer_client, "%s", client);
    return info;
}

std::string SambaPass(const std::string &input, const SambaInfo &info) {
    return RunPass(
        [](FILE *in, FILE *out, const SambaInfo &i) {
            share::RewriteSambaConf(in, out, i, i.wins_server[0] != '\0');
        },
        input, info);
}

std::string Atalkd(const std::string &input, const char *zone, int *rc = nullptr) {
    FILE *in = StreamOf(input);
    char text[share::kAtalkdTextCapacity];
    std::size_t length = 0;
    int r = share::BuildAtalkdText(in, zone, text, sizeof text, &length);
    std::fclose(in);
    if (rc != nullptr) {
        *rc = r;
    }
    return r == 0 ? std::string(text, length) : std::string();
}

TEST(LineReader, LinesOfAnyLengthComeWhole) {
    const std::string longer(share::kLineCapacity * 2 + 17, 'x');
    FILE *in = StreamOf("short\n" + std::string(300, 'a') + "\n" + longer + "\nlast");
    share::LineReader reader(in);
    FILE *out = std::tmpfile();

    ASSERT_TRUE(reader.Next());
    EXPECT_EQ(reader.text(), "short\n");
    ASSERT_TRUE(reader.Next());
    EXPECT_EQ(reader.text().size(), 301u);
    EXPECT_FALSE(reader.cut());
    ASSERT_TRUE(reader.Next());
    EXPECT_TRUE(reader.cut());
    EXPECT_TRUE(reader.has_newline());
    share::PutLineFrom(reader, reader.text(), out);
    ASSERT_TRUE(reader.Next());
    EXPECT_EQ(reader.text(), "last");
    EXPECT_FALSE(reader.has_newline());
    EXPECT_FALSE(reader.Next());
    std::fclose(in);
    EXPECT_EQ(ContentOf(out), longer + "\n");
}

TEST(SambaPass, LongLinesAreCarriedThroughWhole) {
    const std::string hosts = "hosts allow = " + std::string(400, '1') + "\n";
    const std::string huge =
        "   valid users = " + std::string(share::kLineCapacity + 50, 'u') + "\n";
    const std::string comment = "# " + std::string(share::kLineCapacity + 10, 'c') + "\n";
    const std::string input = "[global]\n" + hosts + comment + huge + "workgroup = OLD\n" +
                              "[disk]\n" + huge + comment + "path = /mnt\n";
    const std::string expected = "[global]\n" + hosts + huge.substr(3) +
                                 "workgroup = NEW\nclient code page = 437\n[disk]\n" + huge +
                                 "path = /mnt\n";
    EXPECT_EQ(SambaPass(input, Samba("NEW", "")), expected);
}

TEST(SambaPass, ALongAssignmentIsReplacedWhole) {
    const std::string input =
        "[global]\nworkgroup = " + std::string(share::kLineCapacity + 5, 'w') + "\n[x]\n";
    EXPECT_EQ(SambaPass(input, Samba("NEW", "")),
              "[global]\nworkgroup = NEW\nclient code page = 437\n[x]\n");
}

TEST(SambaPass, KeysAddedAfterAnUnterminatedLastLineGoOnLinesOfTheirOwn) {
    EXPECT_EQ(SambaPass("[global]\nsecurity = share", Samba("NEW", "10.0.0.1")),
              "[global]\nsecurity = share\nworkgroup = NEW\nclient code page = 437\n"
              "wins server = 10.0.0.1\nname resolve order = wins bcast\n");
}

TEST(SambaPass, TheHeldLineAndTheRestKeepTheirOrder) {
    // Once all four keys were met, the next line ends the pass even inside the section.
    const std::string input =
        "  [Global]\nworkgroup=a\nclient code page = 1\nwins server = x\n"
        "name resolve order = bcast\n  netbios name = N\n; gone\n  [p]\n";
    EXPECT_EQ(SambaPass(input, Samba("NEW", "10.0.0.1")),
              "[Global]\nworkgroup = NEW\nclient code page = 437\nwins server = 10.0.0.1\n"
              "name resolve order = wins bcast\nnetbios name = N\n  [p]\n");
}

TEST(PrintcapPasses, LongCapabilityLinesStayWhole) {
    const std::string cap = "\t:lp=/dev/" + std::string(share::kLineCapacity, 'l') + ":\n";
    EXPECT_EQ(
        RunPass(share::RewritePrintcapSamba, "lp|old :\\\n" + cap, Samba("W", "", "P2", "New")),
        "P2|New :\\\n" + cap);
    EXPECT_EQ(
        RunPass(share::RewritePrintcapApple, "lp|old :\\\n" + cap, Atalk("P3", "LaserWriter", "x")),
        "P3|old :\\\n" + cap);
}

TEST(PapdPass, QueueAndFlagLines) {
    const AtalkInfo info = Atalk("P2", "Writer", "laserwriter 8");
    const std::string pd = "\t:pd=/etc/atalk/" + std::string(share::kLineCapacity, 'p') + ":\\\n";
    // A long line keeps its tail; an empty queue value is dropped; a value without its colon
    // is repaired; the last line of a file without newline keeps its capability.
    EXPECT_EQ(RunPass(share::RewritePapdConf,
                      "lp\\072LaserWriter:\\\n" + pd + "  :pr=\n\t:pr=old\n:tr=no:", info),
              "P2\\072Writer:\\\n" + pd + "\t:pr=P2:\\\n\t:tr=yes:");
    EXPECT_EQ(RunPass(share::RewritePapdConf, "x:\n:tr=:", Atalk("P", "T", "Other")),
              "P\\072T:\\\n\t:tr=no:");
    const std::string long_queue = "\t:pr=" + std::string(share::kLineCapacity, 'q') + ":tail\n";
    EXPECT_EQ(RunPass(share::RewritePapdConf, "x:\n" + long_queue, info),
              "P2\\072Writer:\\\n" + std::string("\t:pr=P2:\\\n"));
}

TEST(AtalkdText, ZoneOptionForms) {
    EXPECT_EQ(Atalkd("eth0 -phase 2 -zone \"Old Zone\"\n", "New"), "eth0 -phase 2 -zone \"New\"");
    EXPECT_EQ(Atalkd("eth0\n", "New"), " eth0 -zone \"New\"");
    EXPECT_EQ(Atalkd("eth0 -zone Old -phase 2\n", "Z"), "eth0 -zone \"Z\" -phase 2\n");
    EXPECT_EQ(Atalkd("eth0 -zone -phase 2\n", "Z"), "eth0 -zone \"Z\" -phase 2\n");
    EXPECT_EQ(Atalkd("eth0 -zone \"\" -phase 1\n", "Z"), "eth0 -zone \"Z\" -phase 1\n");
    EXPECT_EQ(Atalkd("eth0 -phase 2 -zone\n", "Z"), "eth0 -phase 2 -zone \"Z\"");
    // Without a closing quote only the opening one goes; the old words stay as words.
    EXPECT_EQ(Atalkd("eth0 -zone \"Old Zone\n", "Z"), "eth0 -zone \"Z\" Old Zone\n");
}

TEST(AtalkdText, SpacingCommentsAndSeveralLines) {
    EXPECT_EQ(Atalkd("# interfaces\n   eth0    -phase   2\n\neth1 -phase 1 -zone \"A\"\n", "Z"),
              "eth0 -phase 2\n eth1 -phase 1 -zone \"Z\"");
    EXPECT_EQ(Atalkd("", "Z"), " -zone \"Z\"");
    EXPECT_EQ(Atalkd("# only a comment\n", "Z"), " -zone \"Z\"");
}

TEST(AtalkdText, ATextThatDoesNotFitIsRefused) {
    int rc = 0;
    std::string many;
    while (many.size() < share::kAtalkdTextCapacity) {
        many += "eth0 -phase 2 -net 0-65534 -addr 65280.1\n";
    }
    EXPECT_EQ(Atalkd(many, "Z", &rc), "");
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(Atalkd(std::string(share::kLineCapacity + 1, 'e') + "\n", "Z", &rc), "");
    EXPECT_EQ(rc, -1);
    // A line of 4,000 characters is no problem.
    EXPECT_EQ(Atalkd(std::string(4000, 'e') + "\n", "Z", &rc),
              " " + std::string(4000, 'e') + " -zone \"Z\"");
    EXPECT_EQ(rc, 0);
}

}  // namespace
