// dssetup: command line.
#pragma once

#include <string>
#include <vector>

namespace dssetup {

enum class Command { kNone, kDiscover, kShow, kSet, kPasswd, kVerify, kPrint, kBench };

struct Options {
    Command command = Command::kNone;
    bool help = false;
    bool json = false;
    double timeout = 1.0;        // seconds to wait for one reply (discover: for all answers)
    int tries = 4;               // sends of one request, retransmissions included
    bool timeout_given = false;  // --timeout and --tries on the command line (set has its own
    bool tries_given = false;    // defaults for the write request)
    int count = 100;             // bench: round trips per command
    unsigned short port = 915;
    std::string interface;
    std::string target;                    // MAC or IPv4 address
    std::string file;                      // print: path or "-"
    std::vector<std::string> assignments;  // set: KEY=VALUE words, in order
    bool now = false;                      // set: date and time from the PC's clock
    std::string from;                      // set: JSON file or "-"
};

// Parses argv; false with a message in *error for a wrong command line (options->command
// then still names the command given, for its help text).
bool ParseArgs(int argc, const char *const *argv, Options *options, std::string *error);
// Help of one command, or the overview for Command::kNone.
std::string UsageText(Command command);

}  // namespace dssetup
