// What the agent harness makes the world answer, and what it saw the agent do: shared by the
// harness and its stand-ins (agent_stubs.cpp).
#pragma once

#include <cstddef>
#include <cstdint>

namespace fuzzworld {

inline constexpr int kKeys = 16;

struct World {
    // Answers, taken from the input.
    int script_result;    // mySystem: 0, a failure status or -999
    int shell_result;     // RunShell (the clock program)
    int lock_results[4];  // successive LockFile answers (0, -1, -5)
    int date_result;      // ReadDateFile
    char date_line[32];
    char time_line[32];
    int key_results[kKeys];  // ReadCFGData, per call in order
    char key_values[kKeys][64];
    int printer_result;
    std::uint8_t rules;    // bits: server name, workgroup, zone, value storable (1 = safe)
    std::uint8_t applied;  // bits: TCP/IP, name, DHCP server, Samba, AppleTalk, network read,
                           // resolver read (1 = the library call fails)

    // Seen.
    int lock_calls;
    int locks_held;  // LockFile successes less UnLockFile calls
    int key_calls;
    int replies;
    int crond_stops;              // the scheduler stopped and not yet started again
    const std::uint8_t *request;  // the datagram being handled
};

World &Get();

}  // namespace fuzzworld
