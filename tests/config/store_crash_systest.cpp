// The configuration store killed at random instants: a writer changing keys in a loop is killed
// with SIGKILL, again and again; after each kill the next store call must see every key with
// its old or its new value, and the file whole. The writer and the next call are programs of
// the appliance's CPU (tests/config/store_crash_writer.cpp). CRASH_KILLS sets the number of kills
// (300 by default; run it long with e.g. CRASH_KILLS=1000).
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "common/paths.h"
#include "tests/config/store_crash_model.h"
#include "tests/support/crash_runner.h"
#include "tests/support/sim_env.h"
#include "tests/support/test_util.h"

namespace {

constexpr int kKeys = kCrashKeys;

std::string Key(int i) {
    char name[kCrashKeySize];
    CrashKey(i, name);
    return name;
}

std::string Value(long t) {
    char value[kCrashValueSize];
    CrashValue(t, value);
    return value;
}

// The write number a value was made by, or -1 for the seed's value (or anything else).
long WriteNumber(const std::string &value) {
    if (value.size() < 3 || value[0] != 'v') {
        return -1;
    }
    return std::strtol(value.c_str() + 1, nullptr, 10);
}

// The file after the first `done` writes (the seed for done = 0): a long comment puts the
// section across the 4 KiB boundary, another section follows it.
std::string Render(long done) {
    std::string text = "# " + std::string(4000, '-') + "\n[network]\n";
    for (int i = 0; i < kKeys; ++i) {
        long last = -1;
        for (long t = done - 1; t >= 0 && t >= done - kKeys; --t) {
            if (t % kKeys == i) {
                last = t;
                break;
            }
        }
        text += Key(i) + "=" + (last < 0 ? "seed" : Value(last)) + "\n";
    }
    return text + "[other]\nkept=yes\n";
}

// The store's writer of the appliance's CPU (tests/config/store_crash_writer.cpp) run with
// these arguments.
std::vector<std::string> Writer(std::initializer_list<std::string> args) {
    std::vector<std::string> argv = sim::TargetProgram(STORE_CRASH_WRITER);
    argv.insert(argv.end(), args);
    return argv;
}

TEST(StoreCrash, EveryKeyKeepsItsOldOrNewValueWhereverAWriterIsKilled) {
    if (!sim::Inside()) {
        GTEST_SKIP() << "needs the simulated appliance (sim/appliance run)";
    }
    testutil::WriteFile(paths::kConfigFile, Render(0), 0644);
    const int kills = crash::KillCount(300);
    std::mt19937 rng = crash::Generator();
    long done = 0;  // writes known to be complete
    int survived = 0;
    int keys_lost = 0;
    for (int k = 0; k < kills; ++k) {
        ASSERT_TRUE(crash::RunAndKill(Writer({"write", std::to_string(done)}), rng, 3000))
            << "the writer stopped by itself";
        // The next store call: every key with its value of the writes so far (the one in
        // flight done or not).
        std::string read;
        ASSERT_EQ(testutil::Run(testutil::ShellWords(Writer({"read"})), &read), 0) << read;
        std::istringstream lines(read);
        long latest = -1;
        std::string values[kKeys];
        for (int i = 0; i < kKeys; ++i) {
            std::string line;
            std::getline(lines, line);
            const std::string key = Key(i) + "=";
            values[i] = line.rfind(key, 0) == 0 ? line.substr(key.size())
                                                : testutil::Cat({"<missing> ", line});
            const long t = WriteNumber(values[i]);
            latest = t > latest ? t : latest;
        }
        const long now_done = latest + 1 > done ? latest + 1 : done;
        const std::string expected = Render(now_done);
        int lost = 0;
        for (int i = 0; i < kKeys; ++i) {
            const std::string line = testutil::Cat({"\n", Key(i), "=", values[i], "\n"});
            lost += expected.find(line) == std::string::npos ? 1 : 0;
        }
        const bool whole = testutil::ReadFile(paths::kConfigFile) == expected;
        if (lost == 0 && whole) {
            ++survived;
        } else {
            keys_lost += lost;
            ADD_FAILURE() << "kill " << k << ": " << lost << " keys lost, file "
                          << (whole ? "whole" : "damaged");
            // Go on from the expected file, to count the kills that survive after it.
            testutil::WriteFile(paths::kConfigFile, expected, 0644);
        }
        done = now_done;
    }
    std::printf("store crash test: %d kills, %d survived, %d keys lost, %ld writes done\n", kills,
                survived, keys_lost, done);
    EXPECT_EQ(survived, kills);
    EXPECT_GT(done, 0) << "the writer made progress";
}

}  // namespace
