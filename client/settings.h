// dssetup: the settings a PC can change on an appliance, the key names people use for them,
// the rules a new set of settings must keep and the write-settings request that carries it.
// Pure functions of values, without terminal or socket, so that every front end of the setup
// tool checks and sends settings by the same rules.
#pragma once

#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "client/result.h"
#include "client/wire.h"

namespace dssetup {

enum class Key {
    kName,
    kDescription,
    kDate,
    kTime,
    kMode,
    kIp,
    kNetmask,
    kGateway,
    kDhcpServer,
    kDhcpStart,
    kDhcpEnd,
    kWorkgroup,
    kZone,
    kTimeZone,
    kWins,
    kWinsServer,
};

struct KeyInfo {
    Key key;
    std::string_view name;   // as given to `dssetup set`: "dhcp-start"
    std::string_view json;   // field of `dssetup show --json`: "dhcp_start_ip"
    std::string_view label;  // line of `dssetup show`: "DHCP range"
    std::string_view form;   // what a value looks like: "A.B.C.D"
};

// Every settable key, in the order of the request.
inline constexpr KeyInfo kKeys[] = {
    {Key::kName, "name", "server_name", "Server name",
     "1-14 letters, digits, '-'; not all digits, no '-' first or last"},
    {Key::kDescription, "description", "description", "Description", "at most 48 characters"},
    {Key::kDate, "date", "date", "Date", "MM/DD/YYYY"},
    {Key::kTime, "time", "time", "Time", "HH:MM:SS"},
    {Key::kMode, "mode", "address_mode", "Address mode", "static|dhcp"},
    {Key::kIp, "ip", "ip_addr", "IP address", "A.B.C.D"},
    {Key::kNetmask, "netmask", "netmask", "Netmask", "A.B.C.D"},
    {Key::kGateway, "gateway", "gateway", "Gateway", "A.B.C.D, 0.0.0.0 for none"},
    {Key::kDhcpServer, "dhcp-server", "dhcp_server", "DHCP server", "on|off"},
    {Key::kDhcpStart, "dhcp-start", "dhcp_start_ip", "DHCP range", "A.B.C.D"},
    {Key::kDhcpEnd, "dhcp-end", "dhcp_end_ip", "DHCP range", "A.B.C.D"},
    {Key::kWorkgroup, "workgroup", "workgroup", "Workgroup", "1-15 characters"},
    {Key::kZone, "zone", "zone", "AppleTalk zone", "at most 32 characters"},
    {Key::kTimeZone, "time-zone", "time_zone", "Time zone", "-999 to 9999"},
    {Key::kWins, "wins", "wins", "WINS", "on|off"},
    {Key::kWinsServer, "wins-server", "wins_server", "WINS server", "A.B.C.D"},
};

const KeyInfo &InfoOf(Key key);
// The key of a `set` key name; nullptr for an unknown name.
const KeyInfo *FindKey(std::string_view name);

// The settable settings. Texts are UTF-8 (the request carries them in ISO 8859-1); addresses
// are dotted text, "0.0.0.0" for none.
struct Settings {
    std::string name;
    std::string description;
    std::string date;  // MM/DD/YYYY
    std::string time;  // HH:MM:SS
    bool dhcp_client = false;
    std::string ip = "0.0.0.0";
    std::string netmask = "0.0.0.0";
    std::string gateway = "0.0.0.0";
    bool dhcp_server = false;
    std::string dhcp_start = "0.0.0.0";
    std::string dhcp_end = "0.0.0.0";
    std::string workgroup;
    std::string zone;
    std::int32_t time_zone = 0;
    bool wins = false;
    std::string wins_server = "0.0.0.0";
};

Settings SettingsOf(const SettingsInfo &read);

// One value asked for, by its key; `from_json` for values taken from a `show --json` object.
struct Change {
    Key key = Key::kName;
    std::string value;
    bool from_json = false;
};

// "key=value" of the command line.
bool ParseAssignment(std::string_view word, Change *change, Problem *problem);

// The value of one key as text, in the form ParseValue takes ("on", "static", "-5", ...).
std::string ValueText(const Settings &settings, Key key);
// Puts a value given as text into its field, in its canonical form (addresses as four plain
// numbers); false with a problem when the text is not of the key's form.
bool ParseValue(Settings *settings, Key key, std::string_view text, Problem *problem);
bool Differs(const Settings &a, const Settings &b, Key key);
std::vector<Key> ChangedKeys(const Settings &current, const Settings &wanted);

// The changes put onto the current settings, later ones winning.
bool ApplyChanges(const std::vector<Change> &changes, const Settings &current, Settings *wanted,
                  std::vector<Problem> *problems);

// What the appliance makes of the settings itself: in DHCP mode its own DHCP server is off.
// Changes *wanted accordingly, unless the changes asked for the server (a key word does; a
// JSON field only with a new value), which Validate then refuses. One note per change.
std::vector<std::string> ApplyImplied(const std::vector<Change> &changes, const Settings &current,
                                      Settings *wanted);

// The rules of the texts, one table: lengths are what the appliance keeps (characters of ISO
// 8859-1, one byte each there), `forbidden` the characters its files cannot take in that field.
// No text may hold a control character (C0, DEL, C1), a character outside ISO 8859-1, or end
// in a backslash (with blanks after it, if any): the appliance's settings file would read the
// next line as part of the value. The appliance refuses all of these itself; the PC refuses
// them first, with a message, and more (the server name is a host name here).
struct TextRule {
    Key key;
    std::size_t min;
    std::size_t max;
    std::string_view forbidden;
    std::string_view what;  // "the AppleTalk zone"
};
inline constexpr TextRule kTextRules[] = {
    {Key::kName, 1, proto::write::kServerNameWidth - 1, "", "the server name"},
    {Key::kDescription, 0, proto::write::kDescriptionWidth - 1, "", "the description"},
    {Key::kWorkgroup, 1, proto::write::kWorkgroupWidth - 1, "\\/:*?\"<>|", "the workgroup"},
    {Key::kZone, 0, proto::write::kZoneWidth - 1, "\"\\", "the AppleTalk zone"},
};
// Why a text breaks its key's rules; empty when it keeps them.
std::string TextProblem(Key key, std::string_view text);

// Every rule broken by the wanted settings. A field's own rules are checked when it differs
// from the current value; a rule between fields (a DHCP range inside the subnet, ...) when one
// of its fields differs. Empty when the settings can be sent.
std::vector<Problem> Validate(const Settings &current, const Settings &wanted);

// The keys whose settings differ, the date and time left out (they are a reading of a clock);
// between two sets in DHCP mode the addresses too (they are a lease, not a setting).
std::vector<Key> DifferingSettings(const Settings &a, const Settings &b);

// Moves the date and time of *settings on by `seconds`, as the appliance's clock runs on;
// false (and nothing changed) when they are no date and time.
bool AdvanceClock(Settings *settings, long long seconds);

// Date and time text of a broken-down local time.
void ClockTexts(const std::tm &local, std::string *date, std::string *time);
// The date and the time of this PC's clock now, as two changes (`--now`).
void AddClockChanges(std::vector<Change> *changes);
// The "key=value" words, each parsed and its value checked for its key's form: the good ones
// added to *changes, one problem for each other.
void ParseAssignments(const std::vector<std::string> &words, std::vector<Change> *changes,
                      std::vector<Problem> *problems);

// The complete write-settings request for the appliance with MAC address `target`. Texts are
// cut to what the appliance keeps; in DHCP mode no fixed address and no DHCP server are sent.
Bytes EncodeWriteSettings(std::uint16_t sequence, const Mac &target, const Settings &settings);

}  // namespace dssetup
