// dssetup: talking to agents over UDP, and the commands.
#pragma once

#include <netinet/in.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "client/args.h"
#include "client/wire.h"

namespace dssetup {

// A UDP socket for requests: broadcast allowed, bound to options.interface when given.
// -1 with a message in *error.
int OpenSocket(const Options &options, std::string *error);

// Accepts or refuses a reply (beyond command and sequence number, which are checked).
using ReplyFilter = std::function<bool(const std::uint8_t *data, std::size_t size)>;

struct Reply {
    Bytes data;
    sockaddr_in from{};
};

// Sends `request` to `to` (nullptr: broadcast) and waits up to options.timeout for its reply;
// sends it again with the same sequence number when none came, options.tries times in all.
// true with the reply; false when none came.
bool Exchange(int fd, const Options &options, const sockaddr_in *to, const Bytes &request,
              const ReplyFilter &filter, Reply *reply);

// A new sequence number for each request.
std::uint16_t NextSequence();

// Runs the command of the options; the process's exit status (0 only on success).
int RunCommand(const Options &options, std::FILE *out, std::FILE *err);

// Building blocks of the commands.
using Clock = std::chrono::steady_clock;
Clock::duration Seconds(double s);

// An appliance named on the command line: by MAC address (found by broadcast) or IP address.
struct Target {
    bool by_mac = false;
    Mac mac{};
    sockaddr_in addr{};  // valid when !by_mac
};
bool ParseTarget(const std::string &text, unsigned short port, Target *target);

// One send of a request (to == nullptr: broadcast); one datagram received before `deadline`.
bool Send(int fd, const Options &options, const sockaddr_in *to, const Bytes &request);
bool ReceiveUntil(int fd, Clock::time_point deadline, Reply *reply);

// Identify one appliance; its answer and address.
bool IdentifyTarget(int fd, const Options &options, const Target &target, IdentifyInfo *info,
                    sockaddr_in *address);
// Read the settings of one appliance (identified first when named by MAC address): the reply,
// whatever its status, and the address that answered. false when none came.
bool ReadSettingsOf(int fd, const Options &options, const Target &target, SettingsInfo *info,
                    sockaddr_in *address);
// A whole file, or standard input for "-".
bool ReadAll(const std::string &path, Bytes *data);

// A failure of command `what`: a JSON object on `out` with --json, else a line on `err`.
void Fail(const Options &options, std::FILE *out, std::FILE *err, const std::string &what,
          const std::string &message);
std::string NoReply(const std::string &target);
std::string AddressText(const sockaddr_in &a);

// dssetup set (client/set_command.cpp).
int Set(int fd, const Options &options, const Target &target, std::FILE *out, std::FILE *err);

}  // namespace dssetup
