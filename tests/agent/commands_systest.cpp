// Identify, unknown codes, the retransmission rules and read settings, from the PC side.
#include <pwd.h>
#include <sys/file.h>

#include <regex>

#include "tests/agent/agent_sim.h"

namespace agentsim {
namespace {

class CommandsTest : public RunningAgentTest {
  protected:
    static void SetPassword(const std::string &pw) {
        ASSERT_EQ(testutil::Run(std::string(kPasswordScript) + " 0 '" + pw + "'"), 0);
    }
};

TEST_F(CommandsTest, IdentifyNamesThisApplianceAndWhetherAPasswordIsSet) {
    Pc pc;
    ASSERT_TRUE(pc.ok());
    Bytes r = pc.Ask(Request(0x00, 1));
    ASSERT_EQ(r.size(), 32u);
    EXPECT_EQ(Status(r), 0);
    EXPECT_EQ(proto::GetU16(r.data() + 6), 24);
    EXPECT_EQ(0, memcmp(r.data() + 10, kMac, 6));
    EXPECT_STREQ(reinterpret_cast<char *>(r.data() + 16), sim::kApplianceHostname);
    EXPECT_EQ(r[31], 0);

    SetPassword("secret");
    r = pc.Ask(Request(0x00, 2));
    ASSERT_EQ(r.size(), 32u);
    EXPECT_EQ(r[31], 1);
}

TEST_F(CommandsTest, IdentifyWith14And15CharacterHostNames) {
    Pc pc;
    ASSERT_EQ(testutil::Run("hostname ABCDEFGHIJKLMN"), 0);
    Bytes r = pc.Ask(Request(0x00, 1));
    ASSERT_EQ(r.size(), 32u);
    EXPECT_EQ(Status(r), 0);
    EXPECT_EQ(0, memcmp(r.data() + 16, "ABCDEFGHIJKLMN", 14));
    EXPECT_EQ(r[30], 0);

    SetPassword("secret");  // the flag stays 0 when the name fails: the check is skipped
    ASSERT_EQ(testutil::Run("hostname ABCDEFGHIJKLMNO"), 0);
    sim::ClearLogs();
    r = pc.Ask(Request(0x00, 2));
    ASSERT_EQ(r.size(), 32u);
    EXPECT_EQ(Status(r), -205);
    EXPECT_EQ(r[31], 0);
    EXPECT_EQ(0, memcmp(r.data() + 10, kMac, 6));
    EXPECT_EQ(r[16], 0);
    EXPECT_EQ(CountCalls("CGI_chk_save_pass.pl"), 0);
    EXPECT_NE(EventLog().find(" CMD 0x0, call gethostname() fail"), std::string::npos);
}

TEST_F(CommandsTest, UnknownCodesGetAnEightByteMinusOne) {
    Pc pc;
    for (std::uint16_t code : {std::uint16_t{0x05}, std::uint16_t{0x24}}) {
        const Bytes r = pc.Ask(Request(code, 0x4321, 40));
        ASSERT_EQ(r.size(), 8u) << code;
        EXPECT_EQ(proto::GetU16(r.data()), code);
        EXPECT_EQ(r[2], 0xFF);
        EXPECT_EQ(r[3], 0xFF);
        EXPECT_EQ(proto::GetU16(r.data() + 4), 0x4321);
    }
}

TEST_F(CommandsTest, RetransmissionsAreAnsweredFromTheStoredReplyOnly) {
    Pc first(40001), second(40002);
    ASSERT_TRUE(first.ok() && second.ok());
    const Bytes a = first.Ask(Request(0x00, 77));
    ASSERT_EQ(a.size(), 32u);
    EXPECT_EQ(CountCalls("op=1"), 1);

    // Same command, sequence and address from another port: the same reply, nothing run.
    const Bytes b = second.Ask(Request(0x00, 77));
    EXPECT_EQ(a, b);
    EXPECT_EQ(CountCalls("op=1"), 1);

    // Another command with the same sequence number is new; so is the old one after it.
    EXPECT_EQ(first.Ask(Request(0x05, 77)).size(), 8u);
    EXPECT_EQ(first.Ask(Request(0x00, 77)).size(), 32u);
    EXPECT_EQ(CountCalls("op=1"), 2);

    // Same command and sequence number from another address of the PC is new as well.
    ASSERT_EQ(sim::RunOnPc("ip addr add 192.168.0.11/24 dev pc0"), 0);
    Pc other(0, "192.168.0.11");
    ASSERT_TRUE(other.ok());
    EXPECT_EQ(other.Ask(Request(0x00, 77)).size(), 32u);
    EXPECT_EQ(CountCalls("op=1"), 3);

    // A request dropped for another MAC is not answered when it comes again.
    const std::uint8_t stranger[6] = {0x00, 0xC0, 0x02, 0x99, 0x99, 0x99};
    const Bytes dropped = PasswordRequest(0x13, 78, "x", stranger);
    EXPECT_TRUE(first.Ask(dropped, 300).empty());
    EXPECT_TRUE(second.Ask(dropped, 300).empty());
    EXPECT_EQ(CountCalls("CGI_chk_save_pass.pl"), 3);
}

class ReadSettingsTest : public CommandsTest {};

TEST_F(ReadSettingsTest, ReplyByteForByte) {
    Pc pc;
    const Bytes r = pc.Ask(Request(0x10, 5));
    ASSERT_EQ(r.size(), 258u);

    Bytes expect(258, 0);
    proto::PutHeader(expect.data(), proto::SetupHeader{0x10, 0, 5, 250});
    expect[10] = 0;     // no password
    expect[11] = 0x23;  // 1.2.3
    expect[12] = 0x01;
    memcpy(expect.data() + 13, "JX1A2B3C", 8);
    memcpy(expect.data() + 28, kMac, 6);
    memcpy(expect.data() + 34, "STORAGE", 7);
    memcpy(expect.data() + 49, "Office disk", 11);
    memcpy(expect.data() + 98, r.data() + 98, 19);  // date and time, checked below
    expect[118] = 1;                                // static
    const std::uint8_t ip[] = {192, 168, 0, 2, 255, 255, 255, 0, 0, 0, 0, 0};
    memcpy(expect.data() + 119, ip, sizeof ip);  // empty gateway: 0.0.0.0
    expect[131] = 0;                             // DHCP server "yes" is 0
    const std::uint8_t range[] = {192, 168, 0, 100, 192, 168, 0, 200};
    memcpy(expect.data() + 132, range, sizeof range);
    memcpy(expect.data() + 141, "WORKGROUP", 9);
    memcpy(expect.data() + 157, "Office Zone", 11);
    const std::uint8_t tz[] = {0xFB, 0xFF, 0xFF, 0xFF};
    memcpy(expect.data() + 190, tz, 4);
    expect[194] = 1;  // WINS "yes" is 1
    const std::uint8_t wins[] = {192, 168, 0, 5};
    memcpy(expect.data() + 195, wins, 4);
    for (std::size_t i = 0; i < 258; ++i) {
        EXPECT_EQ(r[i], expect[i]) << "byte " << i;
    }

    const std::string date(reinterpret_cast<const char *>(r.data() + 98), 11);
    const std::string time(reinterpret_cast<const char *>(r.data() + 109), 9);
    EXPECT_TRUE(std::regex_match(date, std::regex("[01][0-9]/[0-3][0-9]/20[0-9][0-9]\n"))) << date;
    EXPECT_TRUE(
        std::regex_match(time.substr(0, 8), std::regex("[0-2][0-9]:[0-5][0-9]:[0-6][0-9]")));
    EXPECT_EQ(time[8], '\0');
    EXPECT_EQ(testutil::ReadFile("/tmp/date_tmep").substr(0, 11), date);
}

TEST_F(ReadSettingsTest, OtherSensesAndAPasswordFlag) {
    testutil::WriteFile(kConfig,
                        "[network]\nversion=2.0.1.7\nbootproto=dhcp\ndhcp_server=no\n"
                        "wins_enable=no\ntime_zone=8\n");
    SetPassword("pw");
    Pc pc;
    const Bytes r = pc.Ask(Request(0x10, 6));
    ASSERT_EQ(r.size(), 258u);
    EXPECT_EQ(Status(r), 0);
    EXPECT_EQ(r[10], 1);
    EXPECT_EQ(proto::GetU16(r.data() + 11), 0x201);
    EXPECT_EQ(r[118], 0);
    EXPECT_EQ(r[131], 1);
    EXPECT_EQ(r[194], 0);
    EXPECT_EQ(proto::GetI32(r.data() + 190), 8);
    EXPECT_EQ(r[13], 0);  // missing keys read as empty
    EXPECT_EQ(proto::GetU32(r.data() + 119), 0u);
}

TEST_F(ReadSettingsTest, BadAddressAndTooLongKeyStillGet258Bytes) {
    std::string config = kKnownConfig;
    config.replace(config.find("ip_addr=192.168.0.2"), 19, "ip_addr=10.0.0.300");
    testutil::WriteFile(kConfig, config);
    Pc pc;
    Bytes r = pc.Ask(Request(0x10, 7));
    ASSERT_EQ(r.size(), 258u);
    EXPECT_EQ(Status(r), -302);
    EXPECT_EQ(r[118], 1);  // filled before the failure
    EXPECT_EQ(0, memcmp(r.data() + 34, "STORAGE", 7));
    EXPECT_EQ(proto::GetU32(r.data() + 119), 0u);
    EXPECT_EQ(r[141], 0);  // nothing after it
    EXPECT_NE(EventLog().find(" CMD 0x10, tran_DOTString_IPArea(ip) fail"), std::string::npos);

    config = kKnownConfig;
    config.replace(config.find("disk_server_name=STORAGE"), 24, "disk_server_name=FIFTEENCHARSXYZ");
    testutil::WriteFile(kConfig, config);
    r = pc.Ask(Request(0x10, 8));
    ASSERT_EQ(r.size(), 258u);
    EXPECT_EQ(Status(r), -205);
    EXPECT_EQ(r[11], 0);  // names are packed only after all keys were read
    EXPECT_NE(EventLog().find(" CMD 0x10, get server name fail"), std::string::npos);
    // The shared lock was released.
    const int fd = open(kConfig, O_RDONLY);
    EXPECT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
    close(fd);
}

TEST_F(ReadSettingsTest, MissingSettingsFileIsMinus308) {
    unlink(kConfig);
    Pc pc;
    const Bytes r = pc.Ask(Request(0x10, 9));
    ASSERT_EQ(r.size(), 258u);
    EXPECT_EQ(Status(r), -308);
    EXPECT_NE(EventLog().find(" CMD 0x10, Lock file fail"), std::string::npos);
}

// /tmp is open to everyone: what stands at the date file's path when the agent opens it may
// have been swapped in after the clock program wrote it. Only a plain file is read.
TEST_F(ReadSettingsTest, DateFileSwappedForALinkOrAFifoIsRefused) {
    const std::string clockshow = "/usr/share/stowbox/Tcfg/C_File/clockshow";
    ASSERT_EQ(rename(clockshow.c_str(), (clockshow + ".real").c_str()), 0);
    testutil::WriteFile("/tmp/secret", "SECRET-BYTES-OF-A-ROOT-FILE\nSECOND-SECRET\n", 0600);
    struct Swap {
        const char *name;
        const char *command;
    };
    const Swap swaps[] = {
        {"symbolic link", "ln -sf /tmp/secret /tmp/date_tmep"},
        {"hard link", "rm -f /tmp/date_tmep; ln /tmp/secret /tmp/date_tmep"},
        {"fifo", "rm -f /tmp/date_tmep; mkfifo /tmp/date_tmep"},
    };
    Pc pc;
    std::uint16_t seq = 20;
    for (const Swap &swap : swaps) {
        SCOPED_TRACE(swap.name);
        unlink("/tmp/date_tmep");
        testutil::WriteFile(
            clockshow, "#!/bin/sh\n" + clockshow + ".real \"$1\" || exit\n" + swap.command + "\n",
            0755);
        const Bytes r = pc.Ask(Request(0x10, seq++));
        ASSERT_EQ(r.size(), 258u);
        EXPECT_EQ(Status(r), -208);
        const std::string text(r.begin(), r.end());
        EXPECT_EQ(text.find("SECRET"), std::string::npos);
        EXPECT_EQ(r[98], 0);
        EXPECT_NE(EventLog().find(" CMD 0x10, opne DATE_FILE fail"), std::string::npos);
        unlink(kEventLog);
    }
    EXPECT_EQ(testutil::ReadFile("/tmp/secret"), "SECRET-BYTES-OF-A-ROOT-FILE\nSECOND-SECRET\n");
}

// A date file of another user that everybody may write, and that user racing the agent to
// fill whatever stands at the path with a date of its own: the agent has the file made afresh
// for each read and trusts only one of its own that nobody else can write. Every reply carries
// the clock's date or -208, never the other user's text.
TEST_F(ReadSettingsTest, DateFileOfAnotherUserIsNeverTrusted) {
    const struct passwd *nobody = getpwnam("nobody");
    if (nobody == nullptr) {
        GTEST_SKIP() << "no user nobody";
    }
    const uid_t uid = nobody->pw_uid;
    const gid_t gid = nobody->pw_gid;
    const char kForged[] = "06/06/1666\n06:06:06";
    const pid_t racer = fork();
    if (racer == 0) {
        if (setgid(gid) != 0 || setuid(uid) != 0) {
            _exit(1);
        }
        umask(0);
        for (;;) {
            const int fd = open("/tmp/date_tmep", O_WRONLY | O_CREAT | O_NOFOLLOW, 0666);
            if (fd >= 0) {
                if (pwrite(fd, kForged, sizeof kForged - 1, 0) < 0) {
                    // Not ours to write: the next round tries again.
                }
                close(fd);
            }
        }
    }
    ASSERT_GT(racer, 0);
    struct Stop {
        pid_t pid;
        ~Stop() {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    } stop{racer};
    ASSERT_TRUE(WaitFor([] {
        struct stat st {};
        return lstat("/tmp/date_tmep", &st) == 0 && st.st_uid != 0;
    })) << "the other user's file is there first";

    Pc pc;
    int dated = 0;
    int refused = 0;
    const std::uint16_t last = sim::Target().empty() ? 300 : 150;  // fewer under an emulator
    for (std::uint16_t seq = 100; seq < last; ++seq) {
        const Bytes r = pc.Ask(Request(0x10, seq), 20000);
        ASSERT_EQ(r.size(), 258u);
        const std::string date(reinterpret_cast<const char *>(r.data() + 98), 11);
        EXPECT_EQ(date.find("1666"), std::string::npos) << "reply " << seq;
        EXPECT_EQ(std::string(r.begin(), r.end()).find("06:06:06"), std::string::npos);
        if (Status(r) == 0) {
            EXPECT_TRUE(std::regex_match(date, std::regex("[01][0-9]/[0-3][0-9]/20[0-9][0-9]\n")))
                << date;
            ++dated;
        } else {
            EXPECT_EQ(Status(r), proto::kStClockShow);
            ++refused;
        }
    }
    std::printf("date file race: %d replies dated by the clock, %d refused (-208)\n", dated,
                refused);
    EXPECT_GT(dated, 0);
}

// The one slow test: the agent's full retry schedule against a held lock.
TEST_F(ReadSettingsTest, LockedSettingsFileIsMinus309AfterAboutNineSeconds) {
    const int fd = open(kConfig, O_RDONLY);
    ASSERT_EQ(flock(fd, LOCK_EX), 0);
    Pc pc;
    const auto start = std::chrono::steady_clock::now();
    const Bytes r = pc.Ask(Request(0x10, 10), 20000);
    const auto took = std::chrono::steady_clock::now() - start;
    close(fd);
    ASSERT_EQ(r.size(), 258u);
    EXPECT_EQ(Status(r), -309);
    EXPECT_GE(took, std::chrono::seconds(7));
    EXPECT_LE(took, std::chrono::seconds(12));
    EXPECT_NE(EventLog().find(" CMD 0x10, Lock file fail"), std::string::npos);
    EXPECT_EQ(r[10], 0);  // the password flag came before the lock
    EXPECT_EQ(r[28], 0);
}

}  // namespace
}  // namespace agentsim
