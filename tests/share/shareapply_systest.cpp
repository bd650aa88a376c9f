// shareapply in the appliance, run as installed, on the seeded Samba files.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "common/paths.h"
#include "tests/share/share_sim.h"
#include "tests/support/crash_runner.h"
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

// A full disk: the rewrite fails, is reported (-4, 252 to the shell) and leaves smb.conf and
// printcap as they were; with room again it goes through.
TEST_F(ShareapplySystem, FullDiskIsReportedAndTheFilesKept) {
    const std::string config = ReadFile(paths::kConfigFile);
    const std::string smb_init = ReadFile("/etc/rc.d/init.d/smb");
    ASSERT_TRUE(sim::MountSmallTmpfs("/etc", 64));
    ASSERT_EQ(testutil::Run("mkdir -p /etc/rc.d/init.d"), 0);
    WriteFile("/etc/rc.d/init.d/smb", smb_init, 0755);
    WriteFile(paths::kSmbConf, smb_);
    WriteFile(paths::kPrintcap, printcap_);
    WriteFile(paths::kConfigFile, config);
    Configure("msn_enable = yes\nw_d_name = FIRST\n");
    ASSERT_EQ(Shareapply(), 0);  // the temporary file exists from here on
    const std::string smb = ReadFile(paths::kSmbConf);
    const std::string printcap = ReadFile(paths::kPrintcap);
    Configure("msn_enable = yes\nw_d_name = SECOND\nprinter_name = laser\n");
    ASSERT_TRUE(sim::FillDisk("/etc"));
    sim::ClearLogs();
    EXPECT_EQ(Shareapply(), 252);
    EXPECT_TRUE(sim::WaitForSyslog("[SAMBA]::<<Write samba configure file back fail>>"));
    EXPECT_EQ(ReadFile(paths::kSmbConf), smb);
    EXPECT_EQ(ReadFile(paths::kPrintcap), printcap);
    EXPECT_EQ(sim::Calls(), "");

    ASSERT_EQ(unlink("/etc/filler"), 0);
    EXPECT_EQ(Shareapply(), 0);
    EXPECT_NE(ReadFile(paths::kSmbConf).find("workgroup = SECOND\n"), std::string::npos);
    EXPECT_EQ(ReadFile(paths::kPrintcap).substr(0, 8), "laser:\\\n");
}

// shareapply killed while it applies one of two sets of settings, back and forth: at each call
// that changes a file under /etc in turn (through the file-call shim), then at random instants.
// After each kill cfgsync runs, as boot would, and completes what was interrupted: then smb.conf
// and printcap each hold what a complete run of one set or of the other gives (each on its own:
// a kill between the two leaves one new, one old), never a mix or an empty file. CRASH_KILLS sets
// the number of random kills (300 by default, 30 under an emulator), CRASH_SEED repeats a run.
TEST_F(ShareapplySystem, KilledAnywhereLeavesSmbConfAndPrintcapWhole) {
    const std::string sets[2] = {
        "msn_enable = yes\nw_d_name = GROUPA\ncode_page = 437\nprinter_name = lpa\n"
        "printer_comment = Printer A\nwins_enable = yes\nwins_server = 192.168.0.5\n",
        "msn_enable = yes\nw_d_name = THEGROUPB\ncode_page = 850\nprinter_name = laserbravo\n"
        "printer_comment = The second printer, in room B\nwins_enable = no\n",
    };
    auto files = [] {
        return std::vector<std::string>{ReadFile(paths::kSmbConf), ReadFile(paths::kPrintcap)};
    };
    // What complete runs of each set leave, once they go back and forth; the calls of one.
    std::vector<std::string> forms[2];
    long longest_us = 0;
    const std::string report = "/tmp/shareapply-io";
    for (int round = 0; round < 6; ++round) {
        Configure(sets[round % 2]);
        longest_us = std::max(longest_us, crash::Microseconds([&report] {
                                  ASSERT_EQ(testutil::Run(crash::WithShim(IO_SHIM_PATH, "/etc", "",
                                                                          report, kShareapply)),
                                            0);
                              }));
        if (round >= 4) {
            ASSERT_EQ(files(), forms[round % 2]) << "a complete run gives the same files again";
        }
        forms[round % 2] = files();
    }
    ASSERT_NE(forms[0][0], forms[1][0]);
    ASSERT_NE(forms[0][1], forms[1][1]);
    const int calls = crash::ReportedCalls(report);
    ASSERT_GT(calls, 0);

    int kills = 0;
    int whole = 0;
    auto killed = [&](const std::string &how) {
        crash::ReapEnded();
        ASSERT_EQ(testutil::Run("/usr/sbin/cfgsync 2>/dev/null"), 0);
        ++kills;
        const std::vector<std::string> now = files();
        bool all = true;
        for (std::size_t i = 0; i < now.size(); ++i) {
            if (now[i] != forms[0][i] && now[i] != forms[1][i]) {
                all = false;
                ADD_FAILURE() << how << ": neither form\n" << now[i];
            }
        }
        whole += all ? 1 : 0;
    };
    for (int n = 1; n <= calls; ++n) {
        Configure(sets[n % 2]);
        testutil::Run(
            crash::WithShim(IO_SHIM_PATH, "/etc", std::to_string(n) + ":kill", "", kShareapply));
        killed("killed at call " + std::to_string(n));
    }
    // Fewer where the programs run under an emulator (a cross build's system tests).
    const int random_kills = crash::KillCount(sim::Target().empty() ? 300 : 30);
    std::mt19937 rng = crash::Generator();
    for (int k = 0; k < random_kills; ++k) {
        Configure(sets[k % 2]);
        crash::RunProgramAndKill(kShareapply, rng, static_cast<int>(longest_us));
        killed("random kill " + std::to_string(k));
    }
    std::printf(
        "shareapply crash test: %d kills (%d at each call, %d at random), %d left smb.conf "
        "and printcap whole\n",
        kills, calls, random_kills, whole);
    EXPECT_EQ(whole, kills);
}

}  // namespace
