// The event log killed at random instants: a writer adding entries in a loop is killed with
// SIGKILL, again and again; after each kill the next SetLogMsg must find every old entry, in
// order (the interrupted one there or not), and keep the 1000-line limit. CRASH_KILLS sets the
// number of kills (300 by default). The writer and the next call are programs of the
// appliance's CPU (tests/common/event_log_crash_writer.cpp).
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <deque>
#include <string>
#include <vector>

#include "common/paths.h"
#include "tests/support/crash_runner.h"
#include "tests/support/sim_env.h"
#include "tests/support/test_util.h"

namespace {

constexpr std::size_t kMaxLines = 1000;
constexpr std::size_t kStampSize = 20;  // "MM/DD/YYYY HH:MM:SS "

std::string Entry(long n) {
    return "confagent: entry " + std::to_string(n);
}

// The event log's writer of the appliance's CPU (tests/common/event_log_crash_writer.cpp) run
// with these arguments.
std::vector<std::string> Writer(std::initializer_list<std::string> args) {
    std::vector<std::string> argv = sim::TargetProgram(EVENT_LOG_CRASH_WRITER);
    argv.insert(argv.end(), args);
    return argv;
}

// The log's lines without their time stamps, newest first.
std::deque<std::string> Bodies(const std::string &log) {
    std::deque<std::string> lines;
    std::string::size_type start = 0;
    while (start < log.size()) {
        std::string::size_type end = log.find('\n', start);
        if (end == std::string::npos) {
            lines.push_back("<unterminated> " + log.substr(start));
            break;
        }
        const std::string line = log.substr(start, end - start);
        lines.push_back(line.size() >= kStampSize ? line.substr(kStampSize) : "<short> " + line);
        start = end + 1;
    }
    return lines;
}

// The number of the newest "entry N" line, or -1.
long NewestEntry(const std::deque<std::string> &bodies) {
    for (const std::string &body : bodies) {
        if (body.rfind("confagent: entry ", 0) == 0) {
            return std::strtol(body.c_str() + 17, nullptr, 10);
        }
    }
    return -1;
}

TEST(EventLogCrash, OldEntriesStayInOrderWhereverAWriterIsKilled) {
    if (!sim::Inside()) {
        GTEST_SKIP() << "needs the simulated appliance (sim/appliance run)";
    }
    // A nearly full log, so that the limit of 1000 lines is reached soon.
    std::deque<std::string> model;  // the expected bodies, newest first
    std::string seed;
    for (int i = 0; i < 990; ++i) {
        const std::string body = "seed: line " + std::to_string(i);
        seed += "07/03/2026 08:05:09 " + body + "\n";
        model.push_back(body);
    }
    testutil::WriteFile(paths::kEventLog, seed, 0644);

    const int kills = crash::KillCount(300);
    std::mt19937 rng = crash::Generator();
    long next = 0;  // the number of the writer's next entry
    int survived = 0;
    int entries_lost = 0;
    for (int k = 0; k < kills; ++k) {
        ASSERT_TRUE(crash::RunAndKill(Writer({"write", std::to_string(next)}), rng, 4000))
            << "the writer stopped by itself";
        ASSERT_EQ(testutil::Run(testutil::ShellWords(Writer({"check"}))), 0);  // the next call
        const std::deque<std::string> bodies = Bodies(testutil::ReadFile(paths::kEventLog));
        // Expected: the check, the entries the writer completed (the one in flight or not),
        // then the log as it was, cut to 1000 lines.
        const long newest = NewestEntry(bodies);
        for (long n = next; n <= newest; ++n) {
            model.push_front(Entry(n));
        }
        model.push_front("check: after kill");
        while (model.size() > kMaxLines) {
            model.pop_back();
        }
        if (bodies == model) {
            ++survived;
        } else {
            std::size_t kept = 0;
            for (const std::string &body : model) {
                for (const std::string &have : bodies) {
                    if (have == body) {
                        ++kept;
                        break;
                    }
                }
            }
            entries_lost += static_cast<int>(model.size() - kept);
            ADD_FAILURE() << "kill " << k << ": " << bodies.size() << " lines, "
                          << model.size() - kept << " entries lost";
            model = bodies;  // go on from what is there
        }
        next = newest + 1 > next ? newest + 1 : next;
    }
    std::printf("event log crash test: %d kills, %d survived, %d entries lost, %ld entries done\n",
                kills, survived, entries_lost, next);
    EXPECT_EQ(survived, kills);
    EXPECT_GT(next, 0) << "the writer made progress";
}

}  // namespace
