// dssetup: command line parsing and help texts.
#include "client/args.h"

#include <algorithm>
#include <cstdlib>
#include <string_view>

namespace dssetup {

namespace {

struct CommandName {
    std::string_view name;
    Command command;
    int operands;  // positional arguments after the command
};

constexpr CommandName kCommands[] = {
    {"discover", Command::kDiscover, 0},
    {"show", Command::kShow, 1},
    {"set", Command::kSet, 1},
    {"rescue", Command::kRescue, 1},
    {"passwd", Command::kPasswd, 1},
    {"verify", Command::kVerify, 1},
    {"print", Command::kPrint, 2},
    {"bench", Command::kBench, 1},
    {"ui", Command::kUi, 0},
};

std::string_view NameOf(Command command) {
    for (const CommandName &c : kCommands) {
        if (c.command == command) {
            return c.name;
        }
    }
    return "dssetup";
}

// Options and the lines of help that explain them.
struct OptionHelp {
    std::string_view name;
    std::string_view line;
};
constexpr OptionHelp kTimeout{
    "--timeout",
    "  --timeout S     seconds to wait for an answer before the request is\n"
    "                  sent again (default 1)\n"};
constexpr OptionHelp kTries{
    "--tries",
    "  --tries N       sends of a request, the first included (default 15):\n"
    "                  dssetup gives up after S x N seconds\n"};
constexpr OptionHelp kInterface{
    "--interface", "  --interface IF  send and receive through this network interface\n"};
constexpr OptionHelp kPort{"--port", "  --port P        the appliances' UDP port (default 915)\n"};
constexpr OptionHelp kJson{
    "--json", "  --json          one JSON object on standard output (see dssetup(1))\n"};
constexpr OptionHelp kNow{
    "--now", "  --now           date and time from this PC's clock (its local time)\n"};
constexpr OptionHelp kFrom{
    "--from",
    "  --from FILE|-   the settings of a JSON object as 'dssetup show --json'\n"
    "                  prints it; KEY=VALUE words given as well win. Its date\n"
    "                  and time are not used: they were read when show ran.\n"};
constexpr OptionHelp kDiscoverTimeout{
    "--timeout",
    "  --timeout S     the longest time to listen for answers (default 3); it\n"
    "                  ends a quiet interval of 0.08 s to 1 s after the last new\n"
    "                  answer\n"};
constexpr OptionHelp kDiscoverTries{
    "--tries",
    "  --tries N       broadcasts of the request, each after a quiet interval\n"
    "                  (default 2)\n"};
constexpr OptionHelp kSetTimeout{
    "--timeout",
    "  --timeout S     seconds between sends (default 1 for the reads\n"
    "                  before, 10 for the settings)\n"};
constexpr OptionHelp kSetTries{
    "--tries",
    "  --tries N       sends of each request (default 15 for the reads,\n"
    "                  24 for the settings)\n"};
constexpr OptionHelp kForce{
    "--force",
    "  --force         send new addressing even when this PC would not reach the\n"
    "                  appliance there, or another host answers at its address\n"};
constexpr OptionHelp kNoRollback{
    "--no-rollback",
    "  --no-rollback   keep new settings that cut the appliance off from this PC\n"
    "                  (dssetup rescue brings it back)\n"};
constexpr OptionHelp kConfirm{
    "--confirm",
    "  --confirm S     seconds the appliance has to answer at an address this PC\n"
    "                  reaches after a change of its addressing (default 90)\n"};
constexpr OptionHelp kRescueTimeout{
    "--timeout", "  --timeout S     seconds between sends of the settings (default 2)\n"};
constexpr OptionHelp kUiPort{
    "--port", "  --port P        the page's TCP port on 127.0.0.1 (default: a free one)\n"};
constexpr OptionHelp kNoBrowser{"--no-browser",
                                "  --no-browser    only print the address; start no browser\n"};
constexpr OptionHelp kUiTimeout{
    "--timeout",
    "  --timeout S     seconds a search of the network listens for answers\n"
    "                  (default 1)\n"};
constexpr OptionHelp kCount{"--count",
                            "  --count N       round trips of each request (default 100)\n"};

struct CommandOptions {
    Command command;
    std::vector<OptionHelp> options;
};

const std::vector<CommandOptions> &OptionTable() {
    static const std::vector<CommandOptions> table = {
        {Command::kDiscover, {kDiscoverTimeout, kDiscoverTries, kInterface, kPort, kJson}},
        {Command::kShow, {kTimeout, kTries, kInterface, kPort, kJson}},
        {Command::kSet,
         {kNow, kFrom, kForce, kNoRollback, kConfirm, kSetTimeout, kSetTries, kInterface, kPort,
          kJson}},
        {Command::kRescue,
         {kNow, kFrom, kForce, kConfirm, kRescueTimeout, kInterface, kPort, kJson}},
        {Command::kPasswd, {kTimeout, kTries, kInterface, kPort, kJson}},
        {Command::kVerify, {kTimeout, kTries, kInterface, kPort, kJson}},
        {Command::kPrint, {kTimeout, kTries, kInterface, kPort, kJson}},
        {Command::kBench, {kCount, kTimeout, kTries, kInterface, kPort}},
        {Command::kUi, {kUiPort, kNoBrowser, kUiTimeout, kConfirm, kInterface}},
    };
    return table;
}

std::string OptionLines(Command command) {
    std::string out = "Options:\n";
    for (const CommandOptions &c : OptionTable()) {
        if (c.command == command) {
            for (const OptionHelp &o : c.options) {
                out += o.line;
            }
        }
    }
    return out + "  -h, --help      this help\n";
}

bool ParseNumber(std::string_view text, double low, double high, double *value) {
    std::string s(text);
    char *end = nullptr;
    const double v = std::strtod(s.c_str(), &end);
    if (s.empty() || end == nullptr || *end != '\0' || !(v >= low && v <= high)) {
        return false;
    }
    *value = v;
    return true;
}

constexpr std::string_view kExitLines =
    "Exit status: 0 done; 1 no answer (or nothing found, or the network cannot be\n"
    "used); 2 a wrong command line or value, nothing sent; 3 the appliance answered\n"
    "with a failure, or its previous settings were sent back.\n";

}  // namespace

std::vector<std::string> OptionsOf(Command command) {
    std::vector<std::string> names;
    for (const CommandOptions &c : OptionTable()) {
        if (c.command == command) {
            for (const OptionHelp &o : c.options) {
                names.emplace_back(o.name);
            }
        }
    }
    return names;
}

std::string VersionText() {
    return std::string("dssetup ") + DS_VERSION;
}

std::string UsageText(Command command) {
    std::string text;
    switch (command) {
        case Command::kDiscover:
            text =
                "usage: dssetup discover [options]\n"
                "Broadcasts an identify request and lists every appliance that answers:\n"
                "MAC address, network address, host name and whether a password is set.\n";
            break;
        case Command::kShow:
            text =
                "usage: dssetup show TARGET [options]\n"
                "Reads every setting of one appliance. TARGET is its MAC address\n"
                "(00:C0:02:1A:2B:3C) or its IP address.\n";
            break;
        case Command::kSet:
            text =
                "usage: dssetup set TARGET [KEY=VALUE...] [options]\n"
                "Changes settings of one appliance. It reads the current settings, changes\n"
                "only the keys given, checks the result and sends the complete set, which\n"
                "the appliance then applies (network and service restarts: up to a minute).\n"
                "Keys, as 'dssetup show' lists them:\n"
                "  name=NAME            server name: 1-14 letters, digits or '-'\n"
                "  description=TEXT     server description, at most 48 characters\n"
                "  date=MM/DD/YYYY      date (1970 to 2037)\n"
                "  time=HH:MM:SS        time of day, 24 hours\n"
                "  mode=static|dhcp     a fixed address, or one from a DHCP server\n"
                "  ip=A.B.C.D           fixed address (static mode)\n"
                "  netmask=A.B.C.D      its netmask, /8 to /30\n"
                "  gateway=A.B.C.D      default gateway in the subnet; 0.0.0.0 for none\n"
                "  dhcp-server=on|off   the appliance's own DHCP server (static mode)\n"
                "  dhcp-start=A.B.C.D   first and last address it leases, inside the\n"
                "  dhcp-end=A.B.C.D     subnet, without the appliance's own address\n"
                "  workgroup=NAME       Windows workgroup, 1-15 characters\n"
                "  zone=NAME            AppleTalk zone, at most 32 characters\n"
                "  time-zone=N          time-zone number, -999 to 9999\n"
                "  wins=on|off          use a WINS server\n"
                "  wins-server=A.B.C.D  the WINS server\n"
                "Texts are kept in ISO 8859-1 (Latin-1) on the appliance: other characters,\n"
                "control characters and a backslash at the end are refused.\n"
                "A request always carries a date and a time: unless date=, time= or --now\n"
                "is given, the appliance's own date and time, as just read, are sent back.\n"
                "Addresses 0.0.0.0 keep the stored value (only the gateway can be cleared).\n"
                "In DHCP mode the appliance answers before it restarts its network; dssetup\n"
                "reports that answer, then waits for a possible failure report.\n"
                "The settings are sent again, with the same sequence number, while no answer\n"
                "has come: every 10 s, 24 times.\n"
                "New fixed addressing that this PC would not reach, or an address another\n"
                "host answers at, is refused unless --force is given. After a change of the\n"
                "addressing the appliance must answer at an address this PC reaches within\n"
                "--confirm seconds; if it does not, or it took its default address because\n"
                "no DHCP server answered, the previous settings are sent back by broadcast\n"
                "to its MAC address (unless --no-rollback) and it is found again. When it\n"
                "answers with a failure after storing part of the settings, the previous\n"
                "ones are sent back too.\n";
            break;
        case Command::kRescue:
            text =
                "usage: dssetup rescue MAC [KEY=VALUE...] [options]\n"
                "Brings back an appliance that this PC cannot reach where it is (another\n"
                "subnet, an address another host has): sends it a complete set of settings\n"
                "by broadcast to its MAC address, then finds it. The set is the last one\n"
                "dssetup read from it (kept in ~/.cache/dssetup) with the keys given changed,\n"
                "its date and time moved on by the time passed since. Without a kept set,\n"
                "every key the appliance needs must be given (keys as for set).\n";
            break;
        case Command::kPasswd:
            text =
                "usage: dssetup passwd TARGET [options]\n"
                "Sets the administrator password of an appliance (at most 14 characters;\n"
                "an empty password removes it). dssetup finds the appliance first, then\n"
                "reads the password from the terminal without echo (twice), or as one\n"
                "line from standard input.\n";
            break;
        case Command::kVerify:
            text =
                "usage: dssetup verify TARGET [options]\n"
                "Checks a password against the appliance's administrator password; the\n"
                "password is read as for passwd. Exit status 0 when it is right, 3 when\n"
                "the appliance does not accept it.\n";
            break;
        case Command::kPrint:
            text =
                "usage: dssetup print TARGET FILE|- [options]\n"
                "Sends the file (or standard input) unchanged to the printer of the\n"
                "appliance, in chunks of at most 502 bytes.\n";
            break;
        case Command::kBench:
            text =
                "usage: dssetup bench TARGET [options]\n"
                "Measures round trips of identify and read settings (median, ms).\n";
            break;
        case Command::kUi:
            text =
                "usage: dssetup ui [options]\n"
                "Serves the setup page on this PC, at http://127.0.0.1 only, and opens it in\n"
                "the default browser: the appliances of the network in a list, the settings\n"
                "of the one chosen in a form, its password and its printer. The address\n"
                "printed carries a secret key of this run, without which the page does not\n"
                "work. It runs until interrupted (Ctrl-C).\n";
            break;
        case Command::kNone:
            return "usage: dssetup COMMAND [options]\n"
                   "Sets up network storage appliances on the local network.\n"
                   "Commands:\n"
                   "  discover            list the appliances on the network\n"
                   "  show TARGET         show every setting of one appliance\n"
                   "  set TARGET KEY=VALUE...  change settings of one appliance\n"
                   "  rescue MAC [KEY=VALUE...]  bring back an appliance this PC cannot reach\n"
                   "  passwd TARGET       set the administrator password\n"
                   "  verify TARGET       check a password\n"
                   "  print TARGET FILE   send a file to the appliance's printer\n"
                   "  ui                  the setup page, in a web browser\n"
                   "TARGET is a MAC address (00:C0:02:1A:2B:3C) or an IP address.\n"
                   "'dssetup COMMAND --help' lists the options of a command.\n"
                   "  -h, --help     this help\n"
                   "  --version      the version of dssetup\n" +
                   std::string(kExitLines);
    }
    return text + OptionLines(command) + std::string(kExitLines);
}

bool ParseArgs(int argc, const char *const *argv, Options *options, std::string *error) {
    // Filled in place: after a failure the caller still knows the command, for its help text.
    Options &o = *options;
    o = Options{};
    int operands_wanted = 0;
    int operands = 0;
    bool port_given = false;
    std::vector<std::string> given;  // options given, checked against the command's own
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        auto value = [&](std::string_view *out) {
            if (i + 1 >= argc) {
                *error = std::string(arg) + " needs a value";
                return false;
            }
            *out = argv[++i];
            return true;
        };
        std::string_view v;
        double number = 0;
        if (arg.size() > 2 && arg.substr(0, 2) == "--") {
            given.emplace_back(arg);
        }
        if (arg == "--help" || arg == "-h") {
            o.help = true;
        } else if (arg == "--version") {
            o.version = true;
        } else if (arg == "--json") {
            o.json = true;
        } else if (arg == "--timeout") {
            if (!value(&v) || !ParseNumber(v, 0.01, 3600, &number)) {
                if (error->empty())
                    *error = "--timeout wants seconds (0.01 to 3600)";
                return false;
            }
            o.timeout = number;
            o.timeout_given = true;
        } else if (arg == "--tries") {
            if (!value(&v) || !ParseNumber(v, 1, 100, &number)) {
                if (error->empty())
                    *error = "--tries wants a number from 1 to 100";
                return false;
            }
            o.tries = static_cast<int>(number);
            o.tries_given = true;
        } else if (arg == "--count") {
            if (!value(&v) || !ParseNumber(v, 1, 100000, &number)) {
                if (error->empty())
                    *error = "--count wants a number from 1 to 100000";
                return false;
            }
            o.count = static_cast<int>(number);
        } else if (arg == "--port") {
            if (!value(&v) || !ParseNumber(v, 1, 65535, &number)) {
                if (error->empty())
                    *error = "--port wants a port number";
                return false;
            }
            o.port = static_cast<unsigned short>(number);
            port_given = true;
        } else if (arg == "--no-browser") {
            o.no_browser = true;
        } else if (arg == "--now") {
            o.now = true;
        } else if (arg == "--force") {
            o.force = true;
        } else if (arg == "--no-rollback") {
            o.no_rollback = true;
        } else if (arg == "--confirm") {
            if (!value(&v) || !ParseNumber(v, 1, 3600, &number)) {
                if (error->empty())
                    *error = "--confirm wants seconds (1 to 3600)";
                return false;
            }
            o.confirm = number;
        } else if (arg == "--from") {
            if (!value(&v)) {
                return false;
            }
            if (v.empty()) {
                *error = "--from wants a file or -";
                return false;
            }
            o.from = std::string(v);
        } else if (arg == "--interface") {
            if (!value(&v)) {
                return false;
            }
            if (v.empty() || v.size() >= 16) {
                *error = "--interface wants an interface name";
                return false;
            }
            o.interface = std::string(v);
        } else if (arg.size() > 1 && arg[0] == '-' && arg != "-") {
            *error = "unknown option " + std::string(arg);
            return false;
        } else if (o.command == Command::kNone) {
            bool known = false;
            for (const CommandName &c : kCommands) {
                if (c.name == arg) {
                    o.command = c.command;
                    operands_wanted = c.operands;
                    known = true;
                }
            }
            if (arg == "help") {
                o.help = true;
                known = true;
            }
            if (!known) {
                *error = "unknown command " + std::string(arg);
                return false;
            }
        } else if ((o.command == Command::kSet || o.command == Command::kRescue) && operands == 1) {
            o.assignments.emplace_back(arg);
        } else if (operands < operands_wanted) {
            if (operands == 0) {
                o.target = std::string(arg);
            } else {
                o.file = std::string(arg);
            }
            ++operands;
        } else {
            *error = "too many arguments";
            return false;
        }
    }
    if (o.command == Command::kUi && port_given) {
        // For ui, --port is the page's TCP port; the appliances keep their own.
        o.ui_port = o.port;
        o.port = Options{}.port;
    }
    if (o.version || o.help) {
        return true;
    }
    if (o.command != Command::kNone) {
        const std::vector<std::string> allowed = OptionsOf(o.command);
        for (const std::string &g : given) {
            if (std::find(allowed.begin(), allowed.end(), g) == allowed.end()) {
                if (g == "--now" || g == "--from" || g == "--force") {
                    *error = g + " is for the set and rescue commands only";
                } else if (g == "--no-rollback") {
                    *error = g + " is for the set command only";
                } else {
                    *error = "the " + std::string(NameOf(o.command)) + " command takes no " + g;
                }
                return false;
            }
        }
    }
    if (o.command == Command::kNone) {
        *error = "no command given";
        return false;
    }
    if (operands < operands_wanted) {
        *error = operands_wanted == 2 && operands == 1 ? "no file given" : "no target given";
        return false;
    }
    if (o.command == Command::kSet && o.assignments.empty() && !o.now && o.from.empty()) {
        *error = "nothing to set: give KEY=VALUE, --now or --from";
        return false;
    }
    return true;
}

}  // namespace dssetup
