// dssetup: command line.
#pragma once

#include <string>
#include <vector>

namespace dssetup {

enum class Command {
    kNone,
    kDiscover,
    kShow,
    kSet,
    kRescue,
    kPasswd,
    kVerify,
    kPrint,
    kBench,
    kUi
};

// Default waits. A request is sent again every second while no answer has come, 15 times in
// all: the agent itself may wait about 9 s for the settings file's lock before it answers
// that it is locked, and its answer to the first send also answers the later ones.
inline constexpr double kDefaultTimeout = 1.0;
inline constexpr int kDefaultTries = 15;
// discover: the identify broadcast is sent twice (the second catches a lost request), and
// --timeout bounds the whole listening; discover ends long before it unless answers keep
// coming in.
inline constexpr int kDiscoverTries = 2;
inline constexpr double kDiscoverTimeout = 3.0;
// set and rescue: how long an appliance has, after settings that change its addressing were
// sent, to answer at an address this PC reaches; long enough for a failing DHCP attempt, at
// whose end the appliance takes its default address.
inline constexpr double kDefaultConfirm = 90.0;

struct Options {
    Command command = Command::kNone;
    bool help = false;
    bool version = false;
    bool json = false;
    double timeout = kDefaultTimeout;  // seconds to wait for one reply (discover: for all)
    int tries = kDefaultTries;         // sends of one request, retransmissions included
    bool timeout_given = false;        // --timeout and --tries on the command line (set and
    bool tries_given = false;          // discover have their own defaults)
    int count = 100;                   // bench: round trips per command
    unsigned short port = 915;
    std::string interface;
    std::string target;                    // MAC or IPv4 address
    std::string file;                      // print: path or "-"
    std::vector<std::string> assignments;  // set: KEY=VALUE words, in order
    bool now = false;                      // set: date and time from the PC's clock
    std::string from;                      // set: JSON file or "-"
    bool force = false;                    // set, rescue: send despite the warnings
    bool no_rollback = false;              // set: keep new settings that cut the appliance off
    double confirm = kDefaultConfirm;      // set, rescue, ui: seconds to answer after a move
    std::string cache_dir;                 // where the last settings read are kept (empty: nowhere)
    unsigned short ui_port = 0;            // ui: the web page's TCP port (0: any free one)
    bool no_browser = false;               // ui: print the address only
};

// Parses argv; false with a message in *error for a wrong command line (options->command
// then still names the command given, for its help text).
bool ParseArgs(int argc, const char *const *argv, Options *options, std::string *error);
// Help of one command, or the overview for Command::kNone.
std::string UsageText(Command command);
// "dssetup 1.0.0".
std::string VersionText();
// The options a command takes ("--json", ...), as its help lists them.
std::vector<std::string> OptionsOf(Command command);

}  // namespace dssetup
