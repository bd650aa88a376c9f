// dssetup: talking to agents over UDP, and the commands.
#pragma once

#include <netinet/in.h>

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

}  // namespace dssetup
