// dssetup: talking to agents over UDP, and the commands as functions that return a Result
// (client/result.h) without printing anything: the command-line tool (client/cli.cpp) and any
// other front end call them alike.
#pragma once

#include <netinet/in.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "client/args.h"
#include "client/pc_network.h"
#include "client/result.h"
#include "client/wire.h"

namespace dssetup {

// A UDP socket for requests: broadcast allowed, a receive buffer for thousands of answers,
// errors of the network (an ICMP "unreachable") reported to it, bound to options.interface
// when given. -1 with a message in *error.
int OpenSocket(const Options &options, std::string *error);

// Accepts or refuses a reply (beyond command and sequence number, which are checked).
using ReplyFilter = std::function<bool(const std::uint8_t *data, std::size_t size)>;

struct Reply {
    Bytes data;
    sockaddr_in from{};
};

// Sends `request` to `to` (nullptr: broadcast) and waits up to options.timeout for its reply;
// sends it again with the same sequence number when none came, options.tries times in all.
// true with the reply. false when none came, or at once when the request cannot be sent or the
// network reports `to` unreachable: then *error (when given) says why, else it is empty.
bool Exchange(int fd, const Options &options, const sockaddr_in *to, const Bytes &request,
              const ReplyFilter &filter, Reply *reply, std::string *error = nullptr);

// A new sequence number for each request: from a random start, so that two runs of dssetup
// do not send the same numbers (an agent answers a repeated number from its stored reply).
// Threads that send at once (those of dssetup ui) each get numbers of their own.
std::uint16_t NextSequence();

using Clock = std::chrono::steady_clock;
Clock::duration Seconds(double s);

// An appliance named on the command line: by MAC address (found by broadcast) or IP address.
struct Target {
    bool by_mac = false;
    Mac mac{};
    sockaddr_in addr{};  // valid when !by_mac
};
bool ParseTarget(const std::string &text, unsigned short port, Target *target);
// "00:C0:02:1A:2B:3C" or "192.168.0.2".
std::string TargetText(const Target &target);

// One send of a request (to == nullptr: broadcast); false with the reason in *error.
bool Send(int fd, const Options &options, const sockaddr_in *to, const Bytes &request,
          std::string *error);

// One send of a request to the limited broadcast address out of each of `links`, whatever
// their routes say (a MAC address in the request picks the one appliance that takes it, in
// any subnet of those links). false with the reason in *error when none went out.
bool SendOnLinks(int fd, const Options &options, const std::vector<PcInterface> &links,
                 const Bytes &request, std::string *error);

// What one wait for a datagram came to.
enum class Received { kDatagram, kTimeout, kUnreachable };
// One datagram received before `deadline`, or an error the network reported for a datagram
// sent earlier (*error: its errno, *offender: where that datagram went).
Received ReceiveUntil(int fd, Clock::time_point deadline, Reply *reply, int *error = nullptr,
                      sockaddr_in *offender = nullptr);

// Where one appliance answered, and its identify answer.
struct Located {
    IdentifyInfo info;
    sockaddr_in address{};
};
// Finds the target by identify: by broadcast for a MAC address, directly for an IP address.
Result Locate(int fd, const Options &options, const Target &target, Located *where);
// The settings of one appliance (found by identify first when named by its MAC address) and
// the address that answered. A failure result when none came or the read failed.
Result ReadSettings(int fd, const Options &options, const Target &target, SettingsInfo *info,
                    sockaddr_in *address);

// The most appliances discover (and the page's list) keep, one per MAC address: answers of
// further MAC addresses are not counted, so that one sender faking thousands of them cannot
// make the tool take memory without end. Discover says when it stopped counting.
inline constexpr std::size_t kMaxAppliances = 4096;

// The commands. Each result's data is what `--json` shows of it (see dssetup(1)).
Result Discover(int fd, const Options &options);
Result Show(int fd, const Options &options, const Target &target);
// Sets (passwd) or verifies (verify) the password at an appliance found by Locate.
Result SendPassword(int fd, const Options &options, const Located &where, bool set,
                    const std::string &password);
// A password the appliance can take; empty, or what is wrong with it.
std::string PasswordProblem(const std::string &password);
Result Print(int fd, const Options &options, const Target &target, const Bytes &data);

// The steps of `set`, for a front end that shows where it is.
enum class SetStep {
    kReading,     // the current settings
    kSending,     // the settings were checked; the request goes out now
    kApplying,    // waiting for the answer: the appliance stores and applies them
    kAccepted,    // DHCP mode: it answered before restarting its network
    kConfirming,  // a change of addressing: waiting for it to answer where this PC reaches it
    kRestoring,   // sending the previous settings back
    kFinding,     // finding it again by its MAC address
};
// What `set` says while it runs, for a front end that shows it (any may be empty).
struct SetHooks {
    std::function<void(const std::string &line)> say;       // a line of its story
    std::function<void(const std::string &line)> progress;  // the wait so far; "" when done
    std::function<void(SetStep step)> step;                 // each step as it begins
    // While a moved appliance is awaited: the seconds left of the bound, and the bound.
    std::function<void(double left, double bound)> countdown;
};
Result Set(int fd, const Options &options, const Target &target, const SetHooks &hooks);
// Sends a complete set of settings by broadcast to the appliance with the target's MAC
// address (the last set read from it, kept on this PC, with the changes of the options), then
// finds it again.
Result Rescue(int fd, const Options &options, const Target &target, const SetHooks &hooks);

// A whole file, or standard input for "-".
bool ReadAll(const std::string &path, Bytes *data);
// Writes the whole text to a descriptor (again after a short write or EINTR); false on a
// failure.
bool WriteWhole(int fd, std::string_view text);
std::string AddressText(const sockaddr_in &a);

// The command-line tool: runs the command of the options, prints its result (text, or JSON
// with --json) and returns the exit status.
int RunCommand(const Options &options, std::FILE *out, std::FILE *err);

}  // namespace dssetup
