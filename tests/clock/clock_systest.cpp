// clockset and clockshow as installed, run with a fake clock (tests/clock/fake_clock_shim.cpp)
// preloaded: the time of day is fixed, and setting the clock is only recorded.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "common/paths.h"
#include "common/shell_quote.h"
#include "tests/support/sim_env.h"
#include "tests/support/test_util.h"

#ifndef FAKE_CLOCK_SHIM
#error "FAKE_CLOCK_SHIM (the path of the fake clock library) must be defined"
#endif

namespace {

constexpr char kRecord[] = "/tmp/fake_clock_record";
constexpr char kHardwareClockCall[] = "/sbin/clock -w\n";

long long Epoch(int year, int month, int day, int hour, int minute, int second) {
    struct tm t {};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    return static_cast<long long>(timegm(&t));
}

// 3 July 2026, 08:05:09 UTC.
const long long kNow = Epoch(2026, 7, 3, 8, 5, 9);

struct FakeClock {
    std::string now = std::to_string(kNow);
    bool fail = false;
};

// One shell word holding `text` as it is.
std::string Quoted(const std::string &text) {
    char word[2048] = "";
    EXPECT_EQ(shell_quote_append(word, sizeof word, text), 0);
    return word;
}

// Runs an installed clock program with the fake clock (and a time-out); its exit status.
int RunClock(const char *program, const std::vector<std::string> &args,
             const FakeClock &clock = {}) {
    std::string asan = "verify_asan_link_order=0";
    if (const char *old = std::getenv("ASAN_OPTIONS"); old != nullptr && *old != '\0') {
        asan = std::string(old) + ":" + asan;
    }
    // Words are appended one by one: g++ 12 at -O3 takes `"literal" + std::string` for an
    // overlapping copy (a false -Wrestrict inside the standard library).
    std::string line = "exec env TZ=UTC";
    auto word = [&line](const std::string &text) {
        line += ' ';
        line += Quoted(text);
    };
    word(std::string("FAKE_CLOCK_NOW=") + clock.now);
    word(std::string("FAKE_CLOCK_RECORD=") + kRecord);
    line += clock.fail ? " FAKE_CLOCK_FAIL=1" : " FAKE_CLOCK_FAIL=0";
    word(std::string("ASAN_OPTIONS=") + asan);
    word(testutil::Cat({"LD_PRELOAD=", sim::TargetBuilt(FAKE_CLOCK_SHIM)}));
    line += " timeout 20 ";
    line += program;
    for (const std::string &a : args) {
        word(a);
    }
    return testutil::Run(line);
}

std::string Recorded() {
    return testutil::ReadFile(kRecord);
}

std::string RecordOf(long long seconds, const char *microseconds = "000000") {
    return std::to_string(seconds) + "." + microseconds + "\n";
}

class Clock : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!sim::Inside()) {
            GTEST_SKIP() << "runs in the simulated appliance";
        }
        ASSERT_TRUE(testutil::FileExists(paths::kClockSet));
        ASSERT_TRUE(testutil::FileExists(paths::kClockShow));
        unlink(kRecord);
        unlink(paths::kDateFile);
        sim::ClearLogs();
    }
};

TEST_F(Clock, ShowWritesDateLineFeedAndTime) {
    ASSERT_EQ(RunClock(paths::kClockShow, {paths::kDateFile}), 0);
    EXPECT_EQ(testutil::ReadFile(paths::kDateFile), "07/03/2026\n08:05:09");
    struct stat st {};
    ASSERT_EQ(lstat(paths::kDateFile, &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0644u);
    EXPECT_EQ(Recorded(), "");  // reading the clock sets nothing
}

TEST_F(Clock, ShowReplacesAnEarlierFile) {
    testutil::WriteFile(paths::kDateFile, "01/01/2000\n00:00:00 and a lot more text\n");
    ASSERT_EQ(RunClock(paths::kClockShow, {paths::kDateFile}), 0);
    EXPECT_EQ(testutil::ReadFile(paths::kDateFile), "07/03/2026\n08:05:09");
}

TEST_F(Clock, ShowWithWrongArgumentCountDoesNothing) {
    EXPECT_EQ(RunClock(paths::kClockShow, {}), 255);
    EXPECT_EQ(RunClock(paths::kClockShow, {paths::kDateFile, "/tmp/second"}), 255);
    EXPECT_FALSE(testutil::FileExists(paths::kDateFile));
    EXPECT_FALSE(testutil::FileExists("/tmp/second"));
}

TEST_F(Clock, ShowRefusesASymbolicLinkAtItsOutputPath) {
    const std::string target = "/etc/clock_link_target";
    testutil::WriteFile(target, "precious\n", 0600);
    ASSERT_EQ(symlink(target.c_str(), paths::kDateFile), 0);
    EXPECT_EQ(RunClock(paths::kClockShow, {paths::kDateFile}), 254);
    EXPECT_EQ(testutil::ReadFile(target), "precious\n");
    struct stat st {};
    ASSERT_EQ(lstat(paths::kDateFile, &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
}

TEST_F(Clock, ShowRefusesADanglingSymbolicLink) {
    const std::string target = "/etc/clock_link_created";
    ASSERT_EQ(symlink(target.c_str(), paths::kDateFile), 0);
    EXPECT_EQ(RunClock(paths::kClockShow, {paths::kDateFile}), 254);
    EXPECT_FALSE(testutil::FileExists(target));
}

TEST_F(Clock, ShowRefusesAFifoWithoutBlocking) {
    ASSERT_EQ(mkfifo(paths::kDateFile, 0666), 0);
    const time_t start = time(nullptr);
    EXPECT_EQ(RunClock(paths::kClockShow, {paths::kDateFile}), 254);
    EXPECT_LT(time(nullptr) - start, 10);
}

TEST_F(Clock, ShowFailsWhenTheFileCannotBeCreated) {
    EXPECT_EQ(RunClock(paths::kClockShow, {"/tmp/no/such/folder/date"}), 254);
}

TEST_F(Clock, SetDateKeepsTheTimeOfDayAndLeavesTheHardwareClock) {
    ASSERT_EQ(RunClock(paths::kClockSet, {"12/31/2026", "1"}), 0);
    EXPECT_EQ(Recorded(), RecordOf(Epoch(2026, 12, 31, 8, 5, 9)));
    EXPECT_EQ(sim::Calls().find("/sbin/clock"), std::string::npos) << sim::Calls();
}

TEST_F(Clock, SetTimeKeepsTheDateAndWritesTheHardwareClockOnce) {
    ASSERT_EQ(RunClock(paths::kClockSet, {"23:59:30", "2"}), 0);
    EXPECT_EQ(Recorded(), RecordOf(Epoch(2026, 7, 3, 23, 59, 30)));
    EXPECT_EQ(sim::Calls(), kHardwareClockCall);
}

TEST_F(Clock, AnyModeButOneSetsTheTime) {
    ASSERT_EQ(RunClock(paths::kClockSet, {"10:11:12", "0"}), 0);
    ASSERT_EQ(RunClock(paths::kClockSet, {"10:11:13", "x"}), 0);
    EXPECT_EQ(Recorded(),
              RecordOf(Epoch(2026, 7, 3, 10, 11, 12)) + RecordOf(Epoch(2026, 7, 3, 10, 11, 13)));
    EXPECT_EQ(sim::Calls(), std::string(kHardwareClockCall) + kHardwareClockCall);
}

TEST_F(Clock, SeparatorsMayBeAnyCharacter) {
    FakeClock january;
    january.now = std::to_string(Epoch(2026, 1, 15, 8, 5, 9));
    ASSERT_EQ(RunClock(paths::kClockSet, {"07-03-2026", "1"}, january), 0);
    ASSERT_EQ(RunClock(paths::kClockSet, {"07/03/2026", "1"}, january), 0);
    ASSERT_EQ(RunClock(paths::kClockSet, {"07 03.2026", "1"}, january), 0);
    const std::string expected = RecordOf(Epoch(2026, 7, 3, 8, 5, 9));
    EXPECT_EQ(Recorded(), expected + expected + expected);
    unlink(kRecord);
    ASSERT_EQ(RunClock(paths::kClockSet, {"23.59-30", "2"}), 0);
    EXPECT_EQ(Recorded(), RecordOf(Epoch(2026, 7, 3, 23, 59, 30)));
}

TEST_F(Clock, SetKeepsTheMicroseconds) {
    FakeClock clock;
    clock.now = std::to_string(kNow) + ".123456";
    ASSERT_EQ(RunClock(paths::kClockSet, {"12/31/2026", "1"}, clock), 0);
    EXPECT_EQ(Recorded(), RecordOf(Epoch(2026, 12, 31, 8, 5, 9), "123456"));
}

TEST_F(Clock, FieldsOutOfRangeAreNormalised) {
    ASSERT_EQ(RunClock(paths::kClockSet, {"12/32/2026", "1"}), 0);
    EXPECT_EQ(Recorded(), RecordOf(Epoch(2027, 1, 1, 8, 5, 9)));
}

TEST_F(Clock, SetDateFailureExits254WithoutTheHardwareClock) {
    FakeClock clock;
    clock.fail = true;
    EXPECT_EQ(RunClock(paths::kClockSet, {"12/31/2026", "1"}, clock), 254);
    EXPECT_EQ(Recorded(), "");
    EXPECT_EQ(sim::Calls(), "");
}

TEST_F(Clock, SetTimeFailureExits255WithoutTheHardwareClock) {
    FakeClock clock;
    clock.fail = true;
    EXPECT_EQ(RunClock(paths::kClockSet, {"23:59:30", "2"}, clock), 255);
    EXPECT_EQ(Recorded(), "");
    EXPECT_EQ(sim::Calls(), "");
}

TEST_F(Clock, HardwareClockResultIsIgnored) {
    testutil::WriteFile("/var/lib/sim/status/clock", "3\n");
    ASSERT_EQ(RunClock(paths::kClockSet, {"23:59:30", "2"}), 0);
    EXPECT_EQ(sim::Calls(), kHardwareClockCall);
}

TEST_F(Clock, SetWithWrongArgumentCountDoesNothing) {
    EXPECT_EQ(RunClock(paths::kClockSet, {}), 255);
    EXPECT_EQ(RunClock(paths::kClockSet, {"23:59:30"}), 255);
    EXPECT_EQ(RunClock(paths::kClockSet, {"23:59:30", "2", "extra"}), 255);
    EXPECT_EQ(Recorded(), "");
    EXPECT_EQ(sim::Calls(), "");
}

TEST_F(Clock, SetRefusesATextLongerThan19Characters) {
    EXPECT_EQ(RunClock(paths::kClockSet, {"23:59:30" + std::string(12, ' '), "2"}), 255);
    EXPECT_EQ(RunClock(paths::kClockSet, {std::string(1000, '1'), "1"}), 255);
    EXPECT_EQ(Recorded(), "");
    EXPECT_EQ(sim::Calls(), "");
    ASSERT_EQ(RunClock(paths::kClockSet, {"23:59:30" + std::string(11, ' '), "2"}), 0);
    EXPECT_EQ(Recorded(), RecordOf(Epoch(2026, 7, 3, 23, 59, 30)));
}

}  // namespace
