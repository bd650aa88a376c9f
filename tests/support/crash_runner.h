// Crash tests: a writer in a child process killed with SIGKILL at a random instant.
#pragma once

#include <functional>
#include <random>
#include <string>
#include <vector>

namespace crash {

// The number of kills of a crash test: $CRASH_KILLS when set (to run a test long), else
// `fallback`.
int KillCount(int fallback);

// A generator seeded from $CRASH_SEED when set, else from the clock; the seed is printed so that
// a failing run can be repeated.
std::mt19937 Generator();

// Runs `writer` (which loops for ever) in a child process and kills the child with SIGKILL
// after a random delay of 0 to `max_delay_us` microseconds. True when the kill ended it; false
// when it ended by itself first (the writer met an error).
bool RunAndKill(const std::function<void()> &writer, std::mt19937 &rng, int max_delay_us);

// The same with a writer program (argv[0] its path), which prints a line on standard output
// once it writes at full speed: the random delay counts from that line, so that the start of a
// program (under an emulator, too) does not eat it.
bool RunAndKill(const std::vector<std::string> &argv, std::mt19937 &rng, int max_delay_us);

}  // namespace crash
