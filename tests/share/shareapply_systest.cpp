// shareapply in the appliance, run as installed, on the seeded Samba files.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "common/paths.h"
#include "tests/share/share_sim.h"
#include "tests/support/sim_env.h"
#include "tests/support/test_util.h"

namespace {

using testutil::ReadFile;
using testutil::WriteFile;

constexpr char kShareapply[] = "/usr/sbin/shareapply";

class ShareapplySystem : public sharetest::ShareSystem {
  protected:
    void SetUp() override {
        ShareSystem::SetUp();
        if (IsSkipped()) {
            return;
        }
        smb_ = ReadFile(paths::kSmbConf);
        printcap_ = ReadFile(paths::kPrintcap);
        ASSERT_NE(smb_.find("[global]"), std::string::npos) << "seeded smb.conf missing";
    }

    static void Configure(const std::string &entries) {
        WriteFile(paths::kConfigFile, "[network]\n" + entries);
    }
    static int Shareapply() { return testutil::Run(std::string(kShareapply) + " 2>/dev/null"); }

    std::string smb_;
    std::string printcap_;
};

TEST_F(ShareapplySystem, SharingOffOnlyStopsSamba) {
    for (const char *entries : {"msn_enable = no\nw_d_name = G\n", "msn_enable =\n",
                                "w_d_name = G\n", "msn_enable = Yes\n"}) {
        sim::ClearLogs();
        Configure(entries);
        EXPECT_EQ(Shareapply(), 0) << entries;
        EXPECT_EQ(sim::Calls(), "/etc/rc.d/init.d/smb stop\n") << entries;
    }
    EXPECT_EQ(ReadFile(paths::kSmbConf), smb_);
    EXPECT_EQ(ReadFile(paths::kPrintcap), printcap_);
}

TEST_F(ShareapplySystem, AppliesTheSettingsToTheSeededFiles) {
    Configure(
        "msn_enable = yes\nw_d_name = OFFICE\ncode_page = 850\nprinter_name = laser\n"
        "printer_comment = Laser in room 2\nwins_enable = yes\nwins_server = 192.168.0.1\n");
    EXPECT_EQ(Shareapply(), 0);
    EXPECT_EQ(sim::Calls(), "/etc/rc.d/init.d/smb restart\n");
    EXPECT_TRUE(sim::WaitForSyslog("[SYSTEM]::<<Set SMBShare Finish>>"));

    const std::string smb = ReadFile(paths::kSmbConf);
    const std::size_t global = smb.find("[global]\n");
    const std::size_t next = smb.find("\n[", global + 1);
    ASSERT_NE(global, std::string::npos);
    ASSERT_NE(next, std::string::npos);
    const std::string section = smb.substr(global, next - global + 1);
    for (const char *line :
         {"\nworkgroup = OFFICE\n", "\nclient code page = 850\n", "\nwins server = 192.168.0.1\n",
          "\nname resolve order = wins bcast\n", "\nsecurity = share\n"}) {
        EXPECT_NE(section.find(line), std::string::npos) << line << section;
    }
    // Shares after the global section are kept as they were; comments are gone.
    EXPECT_NE(smb.find("[printers]\n   comment = All Printers\n"), std::string::npos);
    EXPECT_NE(smb.find("[disk1]\n   comment = First disk\n   path = /mnt/disk1\n"),
              std::string::npos);
    EXPECT_EQ(smb.find('#'), std::string::npos);
    EXPECT_EQ(ReadFile(paths::kPrintcap).substr(0, 29), "laser|Laser in room 2 :\\\n\t:sd");
}

// Stored text that its files cannot hold as it is (left by an earlier firmware or a hand edit)
// keeps Samba on and keeps its words: only the separators are replaced, and Samba's and the
// line printer system's own readers read what was meant.
TEST_F(ShareapplySystem, StoredTextThatNeedsCleaningKeepsSambaOnAndItsWords) {
    Configure(
        "msn_enable = yes\nw_d_name = \\SALES\ncode_page = 850\nprinter_name = HP#2\n"
        "printer_comment = Room 2: HP|Laser\\Jet\n");
    EXPECT_EQ(Shareapply(), 0);
    EXPECT_EQ(sim::Calls(), "/etc/rc.d/init.d/smb restart\n");
    EXPECT_NE(ReadFile(paths::kSmbConf).find("\nworkgroup = \\SALES\n"), std::string::npos);
    std::string complaints;
    bool ok = false;
    EXPECT_EQ(sim::SambaReads("workgroup", &complaints, &ok), "\\SALES");
    EXPECT_TRUE(ok);
    EXPECT_EQ(complaints, "");
    EXPECT_EQ(ReadFile(paths::kPrintcap).substr(0, 33), "HP#2|Room 2; HP/Laser/Jet :\\\n\t:sd");
    EXPECT_EQ(sim::LpcStatus("HP#2"), "HP#2:");
    EXPECT_TRUE(
        sim::WaitForSyslog("[SAMBA]::<<Input printer comment with field separator, replaced>>"));
}

TEST_F(ShareapplySystem, EnableIsOnAndWinsOffKeepsTheServerOut) {
    Configure(
        "msn_enable = enable\nw_d_name = OFFICE\nwins_enable = no\nwins_server = 192.168.0.1\n");
    WriteFile(paths::kSmbConf, "[global]\nwins server = 10.1.1.1\n[x]\n");
    EXPECT_EQ(Shareapply(), 0);
    EXPECT_EQ(ReadFile(paths::kSmbConf),
              "[global]\nworkgroup = OFFICE\nclient code page = 437\n[x]\n");
    EXPECT_EQ(sim::Calls(), "/etc/rc.d/init.d/smb restart\n");
}

TEST_F(ShareapplySystem, TooLongPrinterCommentStopsBeforeSamba) {
    Configure("msn_enable = yes\nw_d_name = G\nprinter_comment = " + std::string(81, 'c') + "\n");
    EXPECT_EQ(Shareapply(), 253);
    EXPECT_TRUE(sim::WaitForSyslog("[SYSTEM]::<<Read samba printer comment from DS.CONF fail>>"));
    EXPECT_EQ(sim::Calls(), "");
    EXPECT_EQ(ReadFile(paths::kSmbConf), smb_);
    EXPECT_EQ(ReadFile(paths::kPrintcap), printcap_);
}

TEST_F(ShareapplySystem, MissingConfigurationFileExits255) {
    unlink(paths::kConfigFile);
    EXPECT_EQ(Shareapply(), 255);
    EXPECT_TRUE(sim::WaitForSyslog("[SYSTEM]::<<Read samba flag from DS.CONF fail>>"));
    EXPECT_EQ(sim::Calls(), "");
}

TEST_F(ShareapplySystem, AFailedRestartIsAFailure) {
    // The restart's raw result (256 for an exit status of 1) must not reach the shell as 0.
    sharetest::SetExitStatus("smb", 1);
    Configure("msn_enable = yes\nw_d_name = G\n");
    EXPECT_EQ(Shareapply(), 1);
    EXPECT_TRUE(sim::WaitForSyslog("[SYSTEM]::<<Set SMBShare fail>>"));
    // A failed stop, on the other hand, does not count.
    Configure("msn_enable = no\n");
    EXPECT_EQ(Shareapply(), 0);
}

}  // namespace
