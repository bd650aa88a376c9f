// The configuration agent: state, start-up, service loop, command runner and handlers.
#pragma once

#include <netinet/in.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "protocol/protocol.h"

// The agent's UDP socket; global because the SIGTERM stop closes it.
extern int sno;

// Command, sequence number and sender address of the last request that was not a
// retransmission. `valid` is false until the first request was accepted; `dropped` is set when
// that request was not addressed to this agent (and so got no reply).
struct LastRequest {
    bool valid;
    bool dropped;
    std::uint16_t command;
    std::uint16_t sequence;
    std::uint32_t address;  // network order, as in sockaddr_in
};

inline constexpr std::size_t kCommandBufferSize = 256;

struct AgentState {
    std::uint8_t mac[proto::kMacSize];
    LastRequest last;
    std::uint8_t receive[proto::kBufferSize];
    std::size_t received;  // length of the datagram in `receive`
    std::uint8_t reply[proto::kBufferSize];
    sockaddr_in sender;
    char command[kCommandBufferSize];
};

// ---- event log (agent_log.cpp) --------------------------------------------------------------
// One entry of the event log under the agent's name; a safe point of the SIGTERM stop before
// and after it (an entry is never cut by the stop).
void AgentLog(const char *message);

// ---- SIGTERM stop (stop.cpp) ----------------------------------------------------------------
// The SIGTERM handler: records the stop request and makes blocking calls return (EINTR) until
// the stop runs. It does nothing else; the stop runs at the next safe point.
void die(int signal);
// Installs die for SIGTERM (no SA_RESTART). 0, or -1.
int InstallStopHandler();
// Makes the repeating SIGTERM that wakes calls entered just after the request (per process:
// call it in the daemon itself, after the forks). 0, or -1.
int StartStopNudge();
bool StopRequested();
// A safe point: when a SIGTERM arrived, closes the socket, deletes the lock file, logs
// " Stop !" and exits 15; otherwise returns at once.
void StopIfRequested();

// ---- start-up (startup.cpp) -----------------------------------------------------------------
// Whether the lock file's first line names a live agent: a positive process id that answers
// signal 0. Anything else (empty, text, zero, negative) is a stale file.
bool LockLineNamesLiveAgent(const char *line);
// Message of the event log for a failed bind with this error number (buffer of `size`).
void BindFailMessage(int error, char *buffer, std::size_t size);
// The whole start-up and loop; returns only on a failure (its exit value).
int AgentMain();

// ---- service loop (service_loop.cpp, send_reply.cpp) ----------------------------------------
// Handles the datagram in state.receive (state.received bytes from state.sender): answers a
// retransmission from the stored reply, or records it and hands it to the dispatcher.
void HandleDatagram(AgentState &state);
// Receives and handles datagrams for ever.
[[noreturn]] void ServiceLoop(AgentState &state);
// Sends the reply buffer (8 + its length field bytes, at most 512) to the current sender.
void SendReply(const AgentState &state);
// Resets the command buffer to the password-check script's path.
void ResetCommand(AgentState &state);

// ---- command runner (command_runner.cpp) --------------------------------------------------------
// Every child of the agent starts through PrepareChild and every wait for one is WaitForChild:
// children get the file-creation mask 022 (the daemon keeps 0), default signals and no
// descriptor beyond 0-2; a wait is a safe point of the SIGTERM stop.
inline constexpr int kRunnerTimeout = -999;
inline constexpr unsigned kScriptSeconds = 180;
inline constexpr mode_t kChildUmask = 022;
// Runs a shell command line and waits for it at most `seconds`: its wait status (0 for exit
// status 0), -1 when no shell could be started, -999 when the time ran out (the command is left
// running and reaped later by ReapAbandoned).
int mySystem(const char *command, unsigned seconds);
// The SIGALRM handler of mySystem.
void sig_alrm(int signal);
// Runs a shell command line and waits for it without a time-out; result as mySystem's. Also
// the runner behind the library's run_system while the agent runs.
int RunShell(const char *command);
// Runs the program `path` with one argument, without the shell, and waits for it: fork, and in
// the child a new session, working directory "/", file-creation mask 022, descriptors closed,
// exec (exit 0 when the exec fails). The wait status, or -1 when no child could be made.
int RunProgram(const char *path, const char *argument);
// Collects commands abandoned after a time-out that have ended since. Number reaped.
int ReapAbandoned();
// In a new child, before its exec: mask 022, default SIGALRM and SIGTERM, empty signal mask,
// descriptors from `first_closed` on closed (3 for commands, 0 for a program of its own).
void PrepareChild(int first_closed);
// Waits until the child ends: its wait status, or -1 when it cannot be waited for. A SIGTERM
// meanwhile stops the agent (the child runs on).
int WaitForChild(pid_t pid);

// ---- dispatcher and handlers ------------------------------------------------------------------
void Dispatch(AgentState &state);
// Whether request bytes 8-13 name this agent.
bool TargetIsThisAgent(const AgentState &state);
// Sets status and payload length in the reply header.
void SetReplyStatus(AgentState &state, int status, std::uint16_t length);

void HandleIdentify(AgentState &state);
void HandleReadSettings(AgentState &state);
void HandleWriteSettings(AgentState &state);
void HandleSetPassword(AgentState &state);
void HandleVerifyPassword(AgentState &state);
void HandlePrinterData(AgentState &state);
void HandlePrinterAck(AgentState &state);
void HandleUnknown(AgentState &state);

// ---- configuration lock (config_lock.cpp) ---------------------------------------------------
// Takes the configuration lock of this kind (kLockShared, kLockExclusive) with up to three
// calls of LockFile, one second apart after a busy answer: 0, -308 (file cannot be opened) or
// -309 (still busy).
int TakeConfigLock(int kind);
void ReleaseConfigLock();

// ---- password checks (password.cpp) ------------------------------------------------------------
// Appends " <op> " and the password as one shell word to the command buffer; the empty
// password becomes the empty argument. 0, or -1 when it does not fit.
int AppendPasswordArguments(AgentState &state, char op, const char *password);
// Runs the script with operation 1 and the empty password: mySystem's result.
int CheckEmptyPassword(AgentState &state);

// ---- pure reply builders (read_settings.cpp, identify.cpp, printer.cpp) ---------------------
// "1.2.3" → 0x0123: the first three non-empty dot-separated pieces, joined, read as
// hexadecimal; low 16 bits.
std::uint16_t PackVersion(const char *version);
// Number of printer bytes a request holds: length field - 1, cut to what the datagram holds.
std::size_t PrinterDataCount(std::uint16_t length_field, std::size_t received);
