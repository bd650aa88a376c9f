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

// Runs the program at `path` (without arguments, its output discarded) in a child process and
// kills it with SIGKILL after a random delay of 0 to `max_delay_us` microseconds. True when the
// kill ended it; false when it had ended by itself.
bool RunProgramAndKill(const char *path, std::mt19937 &rng, int max_delay_us);

// Microseconds that `run` takes.
long Microseconds(const std::function<void()> &run);

// The command line that runs `command` with the file-call shim `shim` (tests/support/io_shim;
// as built for the programs' CPU) preloaded, watching the files under `folder`; `fault` is
// IO_SHIM_FAULT's value ("7:kill": the 7th call that changes such a file kills the process),
// `report` IO_SHIM_REPORT's (where the counts go when the process exits). Empty ones are left out.
std::string WithShim(const std::string &shim, const std::string &folder, const std::string &fault,
                     const std::string &report, const std::string &command);
// The calls that changed files in the report written by a run WithShim: writes, truncations
// syncs and removals; -1 when there is none.
int ReportedCalls(const std::string &report);

// Collects the child processes that have ended (the orphans of a killed program, for a
// subreaper); running ones are left alone.
void ReapEnded();

// The same with a writer program (argv[0] its path), which prints a line on standard output
// once it writes at full speed: the random delay counts from that line, so that the start of a
// program (under an emulator, too) does not eat it.
bool RunAndKill(const std::vector<std::string> &argv, std::mt19937 &rng, int max_delay_us);

}  // namespace crash
