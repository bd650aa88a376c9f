// Windows networking in the appliance: smb.conf, printcap and the Samba service.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <string>

#include "common/paths.h"
#include "share/share.h"
#include "tests/share/share_sim.h"
#include "tests/support/sim_env.h"
#include "tests/support/test_util.h"

namespace {

using sharetest::Samba;
using testutil::ReadFile;
using testutil::WriteFile;

class SambaSystem : public sharetest::ShareSystem {
  protected:
    void SetUp() override {
        ShareSystem::SetUp();
        if (IsSkipped()) {
            return;
        }
        WriteFile(paths::kSmbConf, "[global]\nworkgroup = HOME\n[public]\npath = /mnt\n");
        WriteFile(paths::kPrintcap, "lp|Old printer :\\\n\t:sd=/var/spool/lpd/lp:\\\n\t:sh:\n");
    }

    // smb.conf after a rewrite of `before` with the record.
    static std::string Rewritten(const std::string &before, SambaInfo info) {
        WriteFile(paths::kSmbConf, before);
        EXPECT_EQ(SMBWriteSambaData(&info), 0);
        return ReadFile(paths::kSmbConf);
    }
    // printcap after a rewrite of `before` with the record.
    static std::string PrintcapRewritten(const std::string &before, SambaInfo info) {
        WriteFile(paths::kPrintcap, before);
        EXPECT_EQ(SMBWriteSambaPrinterData(&info), 0);
        return ReadFile(paths::kPrintcap);
    }
};

TEST_F(SambaSystem, DisableOrEmptyWorkgroupOnlyStopsTheService) {
    const std::string smb = ReadFile(paths::kSmbConf);
    const std::string printcap = ReadFile(paths::kPrintcap);
    SambaInfo off = Samba("disable", "GROUP");
    EXPECT_EQ(SMBSetSamba(&off), 0);
    SambaInfo no_group = Samba("enable", "");
    EXPECT_EQ(SMBSetSamba(&no_group), 0);
    // The stop's exit status does not count.
    sharetest::SetExitStatus("smb", 1);
    EXPECT_EQ(SMBSetSamba(&off), 0);

    EXPECT_EQ(sim::Calls(),
              "/etc/rc.d/init.d/smb stop\n/etc/rc.d/init.d/smb stop\n"
              "/etc/rc.d/init.d/smb stop\n");
    EXPECT_EQ(ReadFile(paths::kSmbConf), smb);
    EXPECT_EQ(ReadFile(paths::kPrintcap), printcap);
}

TEST_F(SambaSystem, StatesOtherThanEnableOrDisableAreRejected) {
    for (const char *state : {"Enable", "enabled", "DISABLE", ""}) {
        SambaInfo info = Samba(state, "GROUP");
        EXPECT_EQ(SMBSetSamba(&info), -6) << state;
    }
    EXPECT_EQ(sim::Calls(), "");
    EXPECT_TRUE(sim::WaitForSyslog("[SAMBA]::<<Input Samba flag Invalid>>"));
    EXPECT_EQ(ReadFile(paths::kSmbConf), "[global]\nworkgroup = HOME\n[public]\npath = /mnt\n");
}

TEST_F(SambaSystem, EnableRewritesBothFilesInPlaceAndRestarts) {
    WriteFile(paths::kSmbConf,
              "# shares\n[global]\n   workgroup = HOME\n   security = share\n\n[public]\n"
              "   path = /mnt/disk1\n   ; old setting\n   read only = no\n");
    const auto smb_before = sharetest::StatOf(paths::kSmbConf);
    const auto printcap_before = sharetest::StatOf(paths::kPrintcap);
    SambaInfo info = Samba("enable", "NEWGROUP", "", "lp", "New comment");

    EXPECT_EQ(SMBSetSamba(&info), 0);

    EXPECT_EQ(ReadFile(paths::kSmbConf),
              "[global]\nworkgroup = NEWGROUP\nsecurity = share\nclient code page = 437\n"
              "[public]\n   path = /mnt/disk1\n   read only = no\n");
    EXPECT_EQ(ReadFile(paths::kPrintcap),
              "lp|New comment :\\\n\t:sd=/var/spool/lpd/lp:\\\n\t:sh:\n");
    EXPECT_EQ(sim::Calls(), "/etc/rc.d/init.d/smb restart\n");
    // Same files (inode, mode) as before; no temporary file left behind.
    const auto smb_after = sharetest::StatOf(paths::kSmbConf);
    EXPECT_EQ(smb_after.st_ino, smb_before.st_ino);
    EXPECT_EQ(smb_after.st_mode, smb_before.st_mode);
    EXPECT_EQ(sharetest::StatOf(paths::kPrintcap).st_ino, printcap_before.st_ino);
    EXPECT_EQ(sharetest::LeftoverTemps(), "");
}

TEST_F(SambaSystem, WinsOffRemovesItsAssignmentsFromTheGlobalSection) {
    const std::string before =
        "[global]\nworkgroup = A\nwins server = 1.2.3.4\nname resolve order = wins bcast\n"
        "client code page = 850\n[x]\nwins server = 5.6.7.8\n";
    const std::string expected =
        "[global]\nworkgroup = W\nclient code page = 437\n[x]\nwins server = 5.6.7.8\n";
    EXPECT_EQ(Rewritten(before, Samba("enable", "W")), expected);
    SambaInfo zero = Samba("enable", "W", "0.0.0.0");
    WriteFile(paths::kSmbConf, before);
    EXPECT_EQ(SMBWriteSambaData(&zero), 0);
    EXPECT_EQ(ReadFile(paths::kSmbConf), expected);
    EXPECT_STREQ(zero.wins_server, "");
    EXPECT_TRUE(sim::WaitForSyslog("[SAMBA]::<<Input Empty WINS server, disable it>>"));
}

TEST_F(SambaSystem, WinsOnReplacesOrAddsItsAssignments) {
    // Replaced where they stand.
    EXPECT_EQ(Rewritten("[global]\nwins server = 1.2.3.4\nworkgroup = A\n"
                        "name resolve order = bcast\nsecurity = user\n[x]\n",
                        Samba("enable", "W", "10.0.0.9")),
              "[global]\nwins server = 10.0.0.9\nworkgroup = W\n"
              "name resolve order = wins bcast\nsecurity = user\nclient code page = 437\n[x]\n");
    // Added after the section's other lines when missing.
    EXPECT_EQ(Rewritten("[global]\nworkgroup = A\nsecurity = user\n[x]\n",
                        Samba("enable", "W", "10.0.0.9")),
              "[global]\nworkgroup = W\nsecurity = user\nclient code page = 437\n"
              "wins server = 10.0.0.9\nname resolve order = wins bcast\n[x]\n");
}

TEST_F(SambaSystem, KeysMatchWithoutCaseAndNeedTheirEqualsSign) {
    EXPECT_EQ(Rewritten("[Global]\n  WorkGroup = X\n\tCLIENT CODE PAGE\t= 850\n"
                        "workgroups = Y\nworkgroup is here\n[x]\n",
                        Samba("enable", "W")),
              "[Global]\nworkgroup = W\nclient code page = 437\nworkgroups = Y\n"
              "workgroup is here\n[x]\n");
}

TEST_F(SambaSystem, AFileEndingInsideTheGlobalSectionGetsTheKeysAtItsEnd) {
    EXPECT_EQ(Rewritten("  [homes]\n  path = /home\n# c\n[global]\nworkgroup = A\n"
                        "security = share\n",
                        Samba("enable", "W", "10.0.0.9", "lp", "", "850")),
              "[homes]\npath = /home\n[global]\nworkgroup = W\nsecurity = share\n"
              "client code page = 850\nwins server = 10.0.0.9\nname resolve order = wins bcast\n");
}

TEST_F(SambaSystem, AFileWithoutGlobalSectionGetsOneInFront) {
    const std::string old = "# my shares\n[disk]\n   path = /mnt/disk1\n; kept as it was\n";
    EXPECT_EQ(Rewritten(old, Samba("enable", "W", "10.0.0.9")),
              "[global]\nworkgroup = W\nclient code page = 437\n"
              "name resolve order = wins bcast\nwins server = 10.0.0.9\n" +
                  old);
    EXPECT_EQ(sharetest::LeftoverTemps(), "");
}

TEST_F(SambaSystem, EmptyFieldsGetTheirDefaults) {
    SambaInfo info = Samba("enable", "", "", "", "", "");
    WriteFile(paths::kSmbConf, "[global]\n");
    EXPECT_EQ(SMBWriteSambaData(&info), 0);
    EXPECT_EQ(ReadFile(paths::kSmbConf),
              "[global]\nworkgroup = workgroup\nclient code page = 437\n");
    EXPECT_EQ(ReadFile(paths::kPrintcap), "lp:\\\n\t:sd=/var/spool/lpd/lp:\\\n\t:sh:\n");
    EXPECT_STREQ(info.workgroup, "workgroup");
    EXPECT_STREQ(info.printer_name, "lp");
    for (const char *message :
         {"Input Empty workgroup, use default", "Input Empty code page, use default",
          "Input Empty printer name, use default"}) {
        EXPECT_TRUE(sim::WaitForSyslog(std::string("[SAMBA]::<<") + message + ">>")) << message;
    }
}

TEST_F(SambaSystem, PrintcapHeaderForms) {
    const std::string caps = "\t:sd=/var/spool/lpd/lp:\\\n\t:lp=/dev/lp1:\n";
    // With and without a comment; aliases of the old header go.
    EXPECT_EQ(PrintcapRewritten("lp|Old printer :\\\n" + caps,
                                Samba("enable", "W", "", "lp", "New comment")),
              "lp|New comment :\\\n" + caps);
    EXPECT_EQ(PrintcapRewritten("lp|lp0|Old:\\\n" + caps, Samba("enable", "W", "", "P2")),
              "P2:\\\n" + caps);
    // No colon: traced and replaced. Two colons: the line stays behind the new header.
    EXPECT_EQ(PrintcapRewritten("# c\n\n  lp|printer \\\n" + caps, Samba("enable", "W", "", "P2")),
              "P2:\\\n" + caps);
    EXPECT_TRUE(sim::WaitForSyslog("[SAMBA]::<<Read samba/printcap format invalid>>"));
    EXPECT_EQ(PrintcapRewritten("  lp:sd=/x:\\\n" + caps, Samba("enable", "W", "", "P2", "C")),
              "P2|C :\\\nlp:sd=/x:\\\n" + caps);
    // Later comment and blank lines go, capability lines stay whole.
    EXPECT_EQ(PrintcapRewritten("lp:\\\n  # x\n\n    :sh:\n", Samba("enable", "W", "", "P2")),
              "P2:\\\n    :sh:\n");
    // No entry at all: comments go, nothing is added.
    EXPECT_EQ(PrintcapRewritten("# only\n\n   \n# comments\n", Samba("enable", "W")), "");
}

TEST_F(SambaSystem, PrinterCommentIsCutTo80Characters) {
    std::string comment;
    for (int i = 0; i < 100; ++i) {
        comment += static_cast<char>('a' + i % 26);
    }
    SambaInfo info = Samba("enable", "W", "", "lp");
    std::memcpy(info.printer_comment, comment.data(), sizeof info.printer_comment);  // unended
    WriteFile(paths::kPrintcap, "lp|Old :\\\n\t:sh:\n");
    EXPECT_EQ(SMBWriteSambaPrinterData(&info), 0);
    EXPECT_EQ(ReadFile(paths::kPrintcap), "lp|" + comment.substr(0, 80) + " :\\\n\t:sh:\n");
    EXPECT_EQ(std::string(info.printer_comment), comment.substr(0, 80));
}

// What a file cannot hold is replaced, one character for one; the rest of the text stays.
// Control characters become blanks (in the printer name '_'); a printcap name's separators
// and a '#' that would make its line a comment become '_'; in the comment ':' becomes ';' and
// '|' '/'; a backslash that would continue a smb.conf line '_'. Nothing is cut, so no field
// becomes empty and no sharing is switched off by it.
TEST_F(SambaSystem, WhatAFileCannotHoldIsReplacedAndNothingCut) {
    SambaInfo info = Samba("enable", "NEW\n[evil]", "10.0.0.5 x", "#lp:x", "x:lp=/tmp/EVIL:|a\tb");
    EXPECT_EQ(SMBSetSamba(&info), 0);
    EXPECT_EQ(ReadFile(paths::kSmbConf),
              "[global]\nworkgroup = NEW [evil]\nclient code page = 437\nwins server = 10.0.0.5\n"
              "name resolve order = wins bcast\n[public]\npath = /mnt\n");
    EXPECT_EQ(ReadFile(paths::kPrintcap),
              "_lp_x|x;lp=/tmp/EVIL;/a b :\\\n\t:sd=/var/spool/lpd/lp:\\\n\t:sh:\n");
    EXPECT_TRUE(
        sim::WaitForSyslog("[SAMBA]::<<Input workgroup with control character, replaced>>"));
    EXPECT_TRUE(
        sim::WaitForSyslog("[SAMBA]::<<Input printer name with field separator, replaced>>"));
    EXPECT_EQ(sim::Calls(), "/etc/rc.d/init.d/smb restart\n");

    // Only a backslash at the end of a value continues its line; a workgroup made of it
    // alone is still a workgroup. A '#' inside a printer name is no comment.
    info = Samba("enable", "\\", "", "HP#2");
    EXPECT_EQ(SMBSetSamba(&info), 0);
    EXPECT_NE(ReadFile(paths::kSmbConf).find("\nworkgroup = _\n"), std::string::npos);
    EXPECT_EQ(ReadFile(paths::kPrintcap).substr(0, 8), "HP#2:\\\n\t");
    EXPECT_TRUE(SMBWorkgroupIsSafe("\\SALES"));
    EXPECT_FALSE(SMBWorkgroupIsSafe("HOME\\ "));
    EXPECT_FALSE(SMBWorkgroupIsSafe("HO\tME"));
    EXPECT_TRUE(SMBWorkgroupIsSafe("My [Home] group"));
    // A workgroup that is blank once cleaned reads as empty in Samba: the default.
    info = Samba("enable", "\t");
    EXPECT_EQ(SMBWriteSambaData(&info), 0);
    EXPECT_STREQ(info.workgroup, "workgroup");
}

// Brackets in a value do not end the global section: the keys behind it are still replaced.
TEST_F(SambaSystem, BracketsInAValueAreNoSectionHeader) {
    EXPECT_EQ(Rewritten("[global]\nserver string = Disk [main]\nworkgroup = OLD\n[public]\n",
                        Samba("enable", "NEW")),
              "[global]\nserver string = Disk [main]\nworkgroup = NEW\nclient code page = 437\n"
              "[public]\n");
}

TEST_F(SambaSystem, MissingFilesFailWithoutRestart) {
    const std::string printcap = ReadFile(paths::kPrintcap);
    unlink(paths::kSmbConf);
    SambaInfo info = Samba("enable", "W");
    EXPECT_EQ(SMBSetSamba(&info), -2);
    EXPECT_TRUE(sim::WaitForSyslog("[SAMBA]::<<Write SambaData Fail>>"));
    EXPECT_NE(sim::Syslog().find("[SAMBA]::<<Read smb.conf fail>>"), std::string::npos);
    EXPECT_EQ(ReadFile(paths::kPrintcap), printcap);
    EXPECT_FALSE(testutil::FileExists(paths::kSmbConf));

    // Without printcap, smb.conf is rewritten and the printer step's failure is returned.
    sim::ClearLogs();
    WriteFile(paths::kSmbConf, "[global]\n");
    unlink(paths::kPrintcap);
    EXPECT_EQ(SMBSetSamba(&info), -2);
    EXPECT_EQ(ReadFile(paths::kSmbConf), "[global]\nworkgroup = W\nclient code page = 437\n");
    EXPECT_TRUE(sim::WaitForSyslog("[SAMBA]::<<Read printcap fail>>"));
    EXPECT_EQ(sim::Calls(), "");
    EXPECT_EQ(sharetest::LeftoverTemps(), "");
}

}  // namespace
