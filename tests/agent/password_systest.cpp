// Set and verify password through the stand-in password-check script.
#include "tests/agent/agent_sim.h"

namespace agentsim {
namespace {

class PasswordTest : public RunningAgentTest {
  protected:
    int Ask(std::uint16_t command, const std::string &password) {
        const Bytes r = pc_.Ask(PasswordRequest(command, ++sequence_, password));
        EXPECT_EQ(r.size(), 8u);
        return r.size() == 8 ? Status(r) : 1;
    }
    bool PasswordFlag() {
        const Bytes r = pc_.Ask(Request(0x00, ++sequence_));
        return r.size() == 32 && r[31] == 1;
    }
    Pc pc_;
    std::uint16_t sequence_ = 100;
};

TEST_F(PasswordTest, SetVerifyRightAndWrongAndClear) {
    EXPECT_FALSE(PasswordFlag());
    EXPECT_EQ(Ask(0x13, ""), 0);  // no password: the empty one verifies

    EXPECT_EQ(Ask(0x12, "secret"), 0);
    EXPECT_TRUE(PasswordFlag());
    EXPECT_EQ(Ask(0x13, "secret"), 0);
    EXPECT_EQ(Ask(0x13, "Secret"), -305);
    EXPECT_EQ(Ask(0x13, ""), -305);
    EXPECT_NE(EventLog().find(" CMD 0x13, verify passwd fail"), std::string::npos);
    EXPECT_EQ(testutil::ReadFile("/etc/sim/admin.pass").find("secret"), std::string::npos);

    EXPECT_EQ(Ask(0x12, ""), 0);  // the empty password clears it
    EXPECT_FALSE(PasswordFlag());
    EXPECT_EQ(Ask(0x13, ""), 0);
    // Every call passed exactly two arguments to the script.
    EXPECT_EQ(CountCalls("argc=2"), CountCalls("CGI_chk_save_pass.pl"));
}

TEST_F(PasswordTest, PasswordIsCutTo14Characters) {
    EXPECT_EQ(Ask(0x12, "ABCDEFGHIJKLMNO"), 0);  // 15 in the request
    EXPECT_EQ(Ask(0x13, "ABCDEFGHIJKLMN"), 0);
    EXPECT_EQ(Ask(0x13, "ABCDEFGHIJKLMNX"), 0);  // the 15th never counts
    EXPECT_EQ(Ask(0x13, "ABCDEFGHIJKLM"), -305);
}

TEST_F(PasswordTest, ShellMetacharactersRunNothing) {
    for (const std::string pw : {"a'b;touch /tmp/x", "$(touch /tmp/x)", "`touch /tmp/x`",
                                 "\"; touch /tmp/x", "a b|touch /tmp/x", "-1 &>/tmp/x"}) {
        SCOPED_TRACE(pw);
        EXPECT_EQ(Ask(0x12, pw.substr(0, 14)), 0);
        EXPECT_EQ(Ask(0x13, pw.substr(0, 14)), 0);
        EXPECT_EQ(Ask(0x13, "other"), -305);
        EXPECT_FALSE(testutil::FileExists("/tmp/x"));
    }
    EXPECT_EQ(CountCalls("argc=2"), CountCalls("CGI_chk_save_pass.pl"));
}

TEST_F(PasswordTest, AnotherMacGetsNoReplyAndRunsNothing) {
    const std::uint8_t stranger[6] = {0x00, 0xC0, 0x02, 0x1A, 0x2B, 0x3D};
    EXPECT_TRUE(pc_.Ask(PasswordRequest(0x12, 1, "secret", stranger), 300).empty());
    EXPECT_TRUE(pc_.Ask(PasswordRequest(0x13, 2, "secret", stranger), 300).empty());
    EXPECT_EQ(CountCalls("CGI_chk_save_pass.pl"), 0);
    EXPECT_FALSE(PasswordFlag());
}

TEST_F(PasswordTest, FailingScriptIsMinus304) {
    ASSERT_EQ(testutil::Run("mkdir -p /var/lib/sim/status && echo 3 > "
                            "/var/lib/sim/status/CGI_chk_save_pass.pl"),
              0);
    EXPECT_EQ(Ask(0x12, "secret"), -304);
    EXPECT_NE(EventLog().find(" CMD 0x12, set passwdd fail"), std::string::npos);
}

TEST_F(PasswordTest, MissingSettingsFileIsMinus308) {
    unlink(kConfig);
    EXPECT_EQ(Ask(0x12, "secret"), -308);
    EXPECT_NE(EventLog().find(" Call LockFile() fail"), std::string::npos);
    EXPECT_EQ(Ask(0x13, "secret"), -308);
    EXPECT_NE(EventLog().find(" CMD 0x13, LockFile() fail"), std::string::npos);
    EXPECT_EQ(CountCalls("op=0"), 0);
}

}  // namespace
}  // namespace agentsim
