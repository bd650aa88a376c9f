// libFuzzer harness of the agent's datagram handling, in-process: each input is one datagram
// and the answers of the world around the agent (scripts, settings store, date file, printer).
// The datagram goes through HandleDatagram as the service loop hands it over, then once more
// (a retransmission, which must run nothing). The stand-ins (agent_stubs.cpp) check that
// every command line keeps the request's text as one quoted word, the settings are read only
// under the lock and the lock is released on every path, replies stay within their buffer and
// log messages within the event log's limits.
//
// Input: 2 bytes datagram length L (little-endian, at most 512), L bytes of datagram, then the
// world: one choice byte each for the script, the clock program, four lock answers, the date
// file, the printer, the library's text rules (bits, 0 = safe) and the applied settings (bits,
// 0 = success), 16 choice bytes for the key reads, then NUL-separated texts: the 16
// stored values, the date line and the time line. Missing bytes mean success and empty values.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "agent/agent.h"
#include "agent/read_settings.h"
#include "config/cfg.h"
#include "fuzz/agent_world.h"
#include "fuzz/input_cursor.h"

namespace {

int ScriptResult(std::uint8_t choice) {
    switch (choice % 4) {
        case 0:
            return 0;
        case 1:
            return 1 << 8;  // exit status 1
        case 2:
            return kRunnerTimeout;
        default:
            return -1;
    }
}

int LockResult(std::uint8_t choice) {
    switch (choice % 3) {
        case 0:
            return kCfgOk;
        case 1:
            return kCfgLockFail;
        default:
            return kCfgOpenFail;
    }
}

int KeyResult(std::uint8_t choice) {
    constexpr int kResults[] = {kCfgOk, kCfgOpenFail, kCfgSyntax, kCfgTooLong, kCfgNoMemory};
    return choice < 200 ? kCfgOk : kResults[choice % 5];
}

AgentState state;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size < 2) {
        return 0;
    }
    std::size_t length = static_cast<std::size_t>(data[0] | (data[1] << 8));
    if (length > proto::kBufferSize) {
        length = proto::kBufferSize;
    }
    if (length > size - 2) {
        length = size - 2;
    }
    const std::uint8_t *datagram = data + 2;
    fuzzinput::Cursor in(datagram + length, size - 2 - length);

    fuzzworld::World &w = fuzzworld::Get();
    std::memset(&w, 0, sizeof w);
    w.script_result = ScriptResult(in.Byte());
    w.shell_result = in.Byte() % 2 == 0 ? 0 : 254 << 8;
    for (int &rc : w.lock_results) {
        rc = LockResult(in.Byte());
    }
    constexpr int kDateResults[] = {kDateFileOk, kDateFileOpenFail, kDateFileNoDate,
                                    kDateFileNoTime};
    w.date_result = kDateResults[in.Byte() % 4];
    w.printer_result = in.Byte() % 2 == 0 ? 0 : -1;
    w.rules = static_cast<std::uint8_t>(~in.Byte());
    w.applied = in.Byte();
    for (int &rc : w.key_results) {
        rc = KeyResult(in.Byte());
    }
    for (auto &value : w.key_values) {
        in.Text(value, sizeof value);
    }
    in.Text(w.date_line, sizeof w.date_line);
    in.Text(w.time_line, sizeof w.time_line);

    std::memset(&state, 0, sizeof state);
    const std::uint8_t mac[proto::kMacSize] = {0x00, 0xC0, 0x02, 0x1A, 0x2B, 0x3C};
    std::memcpy(state.mac, mac, sizeof mac);
    state.sender.sin_family = AF_INET;
    state.sender.sin_addr.s_addr = 0x0A00A8C0;  // 192.168.0.10
    state.sender.sin_port = 0x1234;

    // As the service loop hands a datagram over: the receive buffer cleared, then filled.
    for (int turn = 0; turn < 2; ++turn) {
        ResetCommand(state);
        std::memset(state.receive, 0, sizeof state.receive);
        std::memcpy(state.receive, datagram, length);
        state.received = length;
        w.request = state.receive;
        const int lock_calls = w.lock_calls;
        const int key_calls = w.key_calls;
        HandleDatagram(state);
        if (w.locks_held != 0) {
            std::abort();  // the lock was not released on some path
        }
        if (w.crond_stops != 0) {
            std::abort();  // the scheduler was left stopped
        }
        if (turn == 1 && (w.lock_calls != lock_calls || w.key_calls != key_calls)) {
            std::abort();  // a retransmission ran the command again
        }
        if (std::memcmp(state.reply, datagram, length < 2 ? length : 2) != 0) {
            std::abort();  // the reply echoes the request's command code
        }
    }
    return 0;
}
