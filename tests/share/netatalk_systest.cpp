// AppleTalk in the appliance: atalkd.conf, printcap, papd.conf and the AppleTalk service.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <string>

#include "common/paths.h"
#include "share/share.h"
#include "tests/share/share_sim.h"
#include "tests/support/sim_env.h"
#include "tests/support/test_util.h"

namespace {

using sharetest::Atalk;
using testutil::ReadFile;
using testutil::WriteFile;

constexpr char kPapd[] =
    "lp\\072LaserWriter:\\\n\t:pr=lp:\\\n\t:pd=/etc/atalk/ppds/generic.ppd:\\\n\t:tr=yes:\n";
constexpr char kPrintcap[] = "lp|Printer one :\\\n\t:sd=/var/spool/lpd/lp:\\\n\t:sh:\n";

class AppleSystem : public sharetest::ShareSystem {
  protected:
    void SetUp() override {
        ShareSystem::SetUp();
        if (IsSkipped()) {
            return;
        }
        WriteFile(paths::kAtalkdConf, "eth0 -phase 2 -zone \"Old\"\n");
        WriteFile(paths::kPrintcap, kPrintcap);
        WriteFile(paths::kPapdConf, kPapd);
    }

    static std::string PapdRewritten(const std::string &before, AtalkInfo info) {
        WriteFile(paths::kPapdConf, before);
        EXPECT_EQ(APPLEWriteNetatalkPrinterData(&info), 0);
        return ReadFile(paths::kPapdConf);
    }
    static std::string PrintcapRewritten(const std::string &before, AtalkInfo info) {
        WriteFile(paths::kPrintcap, before);
        EXPECT_EQ(APPLEWriteNetatalkPrinterData(&info), 0);
        return ReadFile(paths::kPrintcap);
    }
};

TEST_F(AppleSystem, DisableOrEmptyZoneOnlyStopsTheService) {
    AtalkInfo off = Atalk("disable", "Zone");
    EXPECT_EQ(APPLESetNetatalk(&off), 0);
    AtalkInfo no_zone = Atalk("enable", "");
    EXPECT_EQ(APPLESetNetatalk(&no_zone), 0);
    // The stop's raw result is returned.
    sharetest::SetExitStatus("atalk", 3);
    EXPECT_EQ(APPLESetNetatalk(&off), 3 << 8);

    EXPECT_EQ(sim::Calls(),
              "/etc/rc.d/init.d/atalk stop\n/etc/rc.d/init.d/atalk stop\n"
              "/etc/rc.d/init.d/atalk stop\n");
    EXPECT_EQ(ReadFile(paths::kAtalkdConf), "eth0 -phase 2 -zone \"Old\"\n");
    EXPECT_EQ(ReadFile(paths::kPrintcap), kPrintcap);
    EXPECT_EQ(ReadFile(paths::kPapdConf), kPapd);
}

TEST_F(AppleSystem, StatesOtherThanEnableOrDisableAreRejected) {
    for (const char *state : {"Enable", "enabled", "yes", ""}) {
        AtalkInfo info = Atalk(state, "Zone");
        EXPECT_EQ(APPLESetNetatalk(&info), -6) << state;
    }
    EXPECT_EQ(sim::Calls(), "");
    EXPECT_TRUE(sim::WaitForSyslog("[APPLE]::<<Input Netatalk flag Invalid>>"));
}

TEST_F(AppleSystem, EnableRewritesAllThreeFilesAndRestarts) {
    const auto printcap_before = sharetest::StatOf(paths::kPrintcap);
    const auto papd_before = sharetest::StatOf(paths::kPapdConf);
    AtalkInfo info = Atalk("enable", "Sales", "P2", "Writer II", "Other");

    EXPECT_EQ(APPLESetNetatalk(&info), 0);

    EXPECT_EQ(ReadFile(paths::kAtalkdConf), "eth0 -phase 2 -zone \"Sales\"");
    EXPECT_EQ(ReadFile(paths::kPrintcap),
              "P2|Printer one :\\\n\t:sd=/var/spool/lpd/lp:\\\n\t:sh:\n");
    EXPECT_EQ(ReadFile(paths::kPapdConf),
              "P2\\072Writer II:\\\n\t:pr=P2:\\\n\t:pd=/etc/atalk/ppds/generic.ppd:\\\n"
              "\t:tr=no:\n");
    EXPECT_EQ(sim::Calls(), "/etc/rc.d/init.d/atalk restart\n");
    EXPECT_EQ(sharetest::StatOf(paths::kPrintcap).st_ino, printcap_before.st_ino);
    EXPECT_EQ(sharetest::StatOf(paths::kPapdConf).st_ino, papd_before.st_ino);
    EXPECT_EQ(sharetest::StatOf(paths::kPapdConf).st_mode, papd_before.st_mode);
    EXPECT_EQ(sharetest::LeftoverTemps(), "");

    sim::ClearLogs();
    sharetest::SetExitStatus("atalk", 1);
    EXPECT_EQ(APPLESetNetatalk(&info), 256);
}

TEST_F(AppleSystem, UnreadableAtalkdIsReplacedByTheDefaultLine) {
    unlink(paths::kAtalkdConf);
    AtalkInfo info = Atalk("enable", "Lab");
    EXPECT_EQ(APPLEWriteNetatalkData(&info), 0);
    EXPECT_EQ(ReadFile(paths::kAtalkdConf), "eth0 -zone \"Lab\"");
    EXPECT_EQ(sharetest::StatOf(paths::kAtalkdConf).st_mode & 0777, 0755u);
    EXPECT_TRUE(sim::WaitForSyslog("[APPLE]::<<Read atalk.conf fail>>"));

    // An empty zone is the default zone.
    info = Atalk("enable", "");
    WriteFile(paths::kAtalkdConf, "# interfaces\neth0\n");
    EXPECT_EQ(APPLEWriteNetatalkData(&info), 0);
    EXPECT_EQ(ReadFile(paths::kAtalkdConf), " eth0 -zone \"*\"");
    EXPECT_TRUE(sim::WaitForSyslog("[APPLE]::<<Input Empty zone name, use default>>"));
}

TEST_F(AppleSystem, AnAtalkdTooLongToBuildIsLeftUntouched) {
    std::string big;
    while (big.size() < 9000) {
        big += "eth0 -phase 2 -net 0-65534 -addr 65280.1\n";
    }
    WriteFile(paths::kAtalkdConf, big);
    AtalkInfo info = Atalk("enable", "Z");
    EXPECT_EQ(APPLESetNetatalk(&info), -4);
    EXPECT_EQ(ReadFile(paths::kAtalkdConf), big);
    EXPECT_EQ(ReadFile(paths::kPrintcap), kPrintcap);
    EXPECT_EQ(sim::Calls(), "");
    EXPECT_TRUE(sim::WaitForSyslog("[APPLE]::<<atalk.conf too long, not written>>"));
}

TEST_F(AppleSystem, AFailedAtalkdWriteIsReported) {
    // A file size limit below the new text makes its write fail.
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit old{};
    getrlimit(RLIMIT_FSIZE, &old);
    rlimit small = old;
    small.rlim_cur = 16;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    AtalkInfo info = Atalk("enable", "A zone with a long name");
    int rc = APPLESetNetatalk(&info);
    setrlimit(RLIMIT_FSIZE, &old);

    EXPECT_EQ(rc, -4);
    EXPECT_EQ(sim::Calls(), "");
    EXPECT_EQ(ReadFile(paths::kPrintcap), kPrintcap);
    EXPECT_TRUE(sim::WaitForSyslog("[APPLE]::<<Write atalk.conf fail>>"));
}

TEST_F(AppleSystem, PrintcapHeaderKeepsTheSambaStepsAliases) {
    SambaInfo samba = sharetest::Samba("enable", "W", "", "lp", "Laser two");
    ASSERT_EQ(SMBWriteSambaPrinterData(&samba), 0);
    AtalkInfo info = Atalk("enable", "Z", "P2");
    ASSERT_EQ(APPLEWriteNetatalkPrinterData(&info), 0);
    EXPECT_EQ(ReadFile(paths::kPrintcap), "P2|Laser two :\\\n\t:sd=/var/spool/lpd/lp:\\\n\t:sh:\n");

    // A header without a colon is traced and replaced; one with two keeps its line.
    EXPECT_EQ(PrintcapRewritten("# c\n  lp|printer\n\t:sh:\n", Atalk("enable", "Z", "P2")),
              "P2:\\\n\t:sh:\n");
    EXPECT_TRUE(sim::WaitForSyslog("[APPLE]::<<Read apple/printcap format invalid>>"));
    EXPECT_EQ(PrintcapRewritten("lp|x:sh:\n\t:mx#0:\n", Atalk("enable", "Z", "P2")),
              "P2:\\\nlp|x:sh:\n\t:mx#0:\n");
    EXPECT_EQ(PrintcapRewritten("lp :\\\n", Atalk("enable", "Z", "P2")), "P2:\\\n");
}

TEST_F(AppleSystem, PapdHeaderForms) {
    const AtalkInfo info = Atalk("enable", "Z", "P2", "Writer", "LaserWriter");
    EXPECT_EQ(PapdRewritten("# papd\nlp\\072LaserWriter:\\\n\t:pr=lp:\n", info),
              "P2\\072Writer:\\\n\t:pr=P2:\n");
    EXPECT_EQ(PapdRewritten("lp printer\n\t:pr=lp:\n", info), "P2\\072dWriter:\\\n\t:pr=P2:\n");
    EXPECT_TRUE(sim::WaitForSyslog("[APPLE]::<<Read apple/papd.conf format invalid>>"));
    // Two colons: the header line is also a capability line.
    EXPECT_EQ(PapdRewritten("lp:pr=lp:\\\n\t:tr=no:\n", info),
              "P2\\072dWriter:\\\n\t:pr=P2:\\\n\t:tr=yes:\n");
}

TEST_F(AppleSystem, PapdQueueAndFlagRepairs) {
    const AtalkInfo info = Atalk("enable", "Z", "P2", "Writer", "Other");
    EXPECT_EQ(PapdRewritten("lp\\072x:\\\n\t:pr=lp\n:pr=\n  :pd=/a.ppd:\\\n\t:op=x:\\\n"
                            "\t:tr=maybe\n",
                            info),
              "P2\\072Writer:\\\n\t:pr=P2:\\\n:pd=/a.ppd:\\\n\t:op=x:\\\n\t:tr=yes:\\\n");
    EXPECT_TRUE(sim::WaitForSyslog("[APPLE]::<<Read papd.conf/tr format error>>"));
    EXPECT_NE(sim::Syslog().find("[APPLE]::<<Read papd.conf/pr format error>>"), std::string::npos);
}

TEST_F(AppleSystem, FlagIsYesForLaserWriterClientsInAnyCase) {
    for (const char *client : {"LaserWriter", "laserwriter", "LASERWRITER 2", "LaserWriter8"}) {
        EXPECT_EQ(PapdRewritten(kPapd, Atalk("enable", "Z", "lp", "LaserWriter", client)), kPapd)
            << client;
    }
    for (const char *client : {"Laser", "DeskWriter", "My LaserWriter"}) {
        EXPECT_EQ(PapdRewritten(kPapd, Atalk("enable", "Z", "lp", "LaserWriter", client)),
                  "lp\\072LaserWriter:\\\n\t:pr=lp:\\\n\t:pd=/etc/atalk/ppds/generic.ppd:\\\n"
                  "\t:tr=no:\n")
            << client;
    }
}

// A quote in the zone adds no atalkd.conf option, ':' or '|' in the printer fields no printcap
// or papd.conf field: each is replaced ('"' by "'", '\\' and '|' by '/', ':' by ';', in the
// printer name by '_'), the words stay, and a zone that needs cleaning keeps AppleTalk on.
TEST_F(AppleSystem, SeparatorsAreReplacedAndTheServiceStaysOn) {
    AtalkInfo info = Atalk("enable", "\"Sales\" floor -addr 1.2", "lp|x", "Writer:pr=evil");
    EXPECT_EQ(APPLESetNetatalk(&info), 0);
    EXPECT_EQ(sim::Calls(), "/etc/rc.d/init.d/atalk restart\n");
    EXPECT_EQ(ReadFile(paths::kAtalkdConf), "eth0 -phase 2 -zone \"'Sales' floor -addr 1.2\"");
    EXPECT_EQ(ReadFile(paths::kPapdConf),
              "lp_x\\072Writer;pr=evil:\\\n\t:pr=lp_x:\\\n"
              "\t:pd=/etc/atalk/ppds/generic.ppd:\\\n\t:tr=yes:\n");
    EXPECT_EQ(ReadFile(paths::kPrintcap).substr(0, 17), "lp_x|Printer one ");
    EXPECT_TRUE(sim::WaitForSyslog("[APPLE]::<<Input zone name with field separator, replaced>>"));
    EXPECT_FALSE(APPLEZoneIsSafe("Office\" -phase 1"));
    EXPECT_FALSE(APPLEZoneIsSafe("Zone\\"));
    EXPECT_TRUE(APPLEZoneIsSafe("Office Zone - 2"));
}

TEST_F(AppleSystem, EmptyPrinterFieldsGetTheirDefaults) {
    AtalkInfo info = Atalk("enable", "Z", "", "", "");
    EXPECT_EQ(PapdRewritten("x\\072y:\\\n\t:pr=q:\\\n\t:tr=no:\n", info),
              "lp\\072LaserWriter:\\\n\t:pr=lp:\\\n\t:tr=yes:\n");
    for (const char *message :
         {"Input Empty printer name, use default", "Input Empty MAC printer type, use default",
          "Input Empty MAC printer name, use default"}) {
        EXPECT_TRUE(sim::WaitForSyslog(std::string("[APPLE]::<<") + message + ">>")) << message;
    }
}

TEST_F(AppleSystem, MissingPapdFailsAfterThePrintcapStep) {
    unlink(paths::kPapdConf);
    AtalkInfo info = Atalk("enable", "Z", "P2");
    EXPECT_EQ(APPLESetNetatalk(&info), -2);
    EXPECT_EQ(ReadFile(paths::kPrintcap),
              "P2|Printer one :\\\n\t:sd=/var/spool/lpd/lp:\\\n\t:sh:\n");
    EXPECT_TRUE(sim::WaitForSyslog("[APPLE]::<<Read printcap fail>>"));
    EXPECT_FALSE(testutil::FileExists(paths::kPapdConf));
    EXPECT_EQ(sim::Calls(), "");
    EXPECT_EQ(sharetest::LeftoverTemps(), "");
}

}  // namespace
