// dssetup: settings model, key parsing, the rules of a new set of settings and the request.
#include "client/settings.h"

#include <arpa/inet.h>

#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "protocol/server_name.h"

namespace dssetup {

namespace {

namespace wr = proto::write;

// The time-zone number is stored as decimal text of at most 4 characters.
constexpr long kMinTimeZone = -999;
constexpr long kMaxTimeZone = 9999;
// The appliance's clock (a 32-bit time) counts from 1970 to January 2038.
constexpr int kFirstYear = 1970;
constexpr int kLastYear = 2037;
// Subnets from /8 (larger makes no LAN) to /30 (the smallest with two hosts).
constexpr int kShortestPrefix = 8;
constexpr int kLongestPrefix = 30;

// Appended piecewise: g++ 12 at -O3 warns falsely of overlapping copies in "\"" + text.
std::string Quoted(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 2);
    out += '"';
    out += text;
    out += '"';
    return out;
}

// The field of a key kept as text; nullptr for mode, switches and the time zone.
const std::string *TextFieldOf(const Settings &s, Key key) {
    switch (key) {
        case Key::kName:
            return &s.name;
        case Key::kDescription:
            return &s.description;
        case Key::kDate:
            return &s.date;
        case Key::kTime:
            return &s.time;
        case Key::kIp:
            return &s.ip;
        case Key::kNetmask:
            return &s.netmask;
        case Key::kGateway:
            return &s.gateway;
        case Key::kDhcpStart:
            return &s.dhcp_start;
        case Key::kDhcpEnd:
            return &s.dhcp_end;
        case Key::kWorkgroup:
            return &s.workgroup;
        case Key::kZone:
            return &s.zone;
        case Key::kWinsServer:
            return &s.wins_server;
        default:
            return nullptr;
    }
}

std::string *TextField(Settings *s, Key key) {
    return const_cast<std::string *>(TextFieldOf(*s, key));
}

bool IsAddressKey(Key key) {
    return key == Key::kIp || key == Key::kNetmask || key == Key::kGateway ||
           key == Key::kDhcpStart || key == Key::kDhcpEnd || key == Key::kWinsServer;
}

// Dotted text to a host-order number.
bool AddressValue(std::string_view text, std::uint32_t *value) {
    in_addr a{};
    if (!ParseIpv4(text, &a)) {
        return false;
    }
    *value = ntohl(a.s_addr);
    return true;
}

std::string Dotted(std::uint32_t value) {
    const std::uint8_t b[4] = {
        static_cast<std::uint8_t>(value >> 24), static_cast<std::uint8_t>(value >> 16),
        static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)};
    return FormatIpv4(b);
}

// Prefix length of a netmask of contiguous ones, -1 for any other.
int PrefixLength(std::uint32_t mask) {
    const std::uint32_t host = ~mask;
    if ((host & (host + 1)) != 0) {
        return -1;
    }
    int n = 0;
    for (std::uint32_t m = mask; m != 0; m <<= 1) {
        ++n;
    }
    return n;
}

// Why an address cannot be a host's (empty when it can).
std::string HostAddressProblem(std::uint32_t a) {
    const std::uint32_t first = a >> 24;
    if (first == 0) {
        return "is not a host address";
    }
    if (first == 127) {
        return "is a loopback address";
    }
    if (first >= 224 && first <= 239) {
        return "is a multicast address";
    }
    if (first >= 240) {
        return "is not a host address";
    }
    return {};
}

bool DateNumbers(std::string_view t, int *month, int *day, int *year) {
    if (t.size() != 10 || t[2] != '/' || t[5] != '/') {
        return false;
    }
    for (std::size_t i : {0u, 1u, 3u, 4u, 6u, 7u, 8u, 9u}) {
        if (t[i] < '0' || t[i] > '9') {
            return false;
        }
    }
    auto num = [&t](std::size_t at, std::size_t n) {
        int v = 0;
        for (std::size_t i = at; i < at + n; ++i) v = v * 10 + (t[i] - '0');
        return v;
    };
    *month = num(0, 2);
    *day = num(3, 2);
    *year = num(6, 4);
    return true;
}

std::string DateProblem(std::string_view t) {
    int month = 0, day = 0, year = 0;
    if (!DateNumbers(t, &month, &day, &year)) {
        return "a date is MM/DD/YYYY, for example 12/07/2026; " + Quoted(t) + " is not";
    }
    if (month < 1 || month > 12) {
        return Quoted(t) + " has no month " + std::to_string(month);
    }
    if (year < kFirstYear || year > kLastYear) {
        return "the appliance's clock runs from " + std::to_string(kFirstYear) + " to " +
               std::to_string(kLastYear) + "; " + Quoted(t) + " is outside";
    }
    static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    const int days = kDays[month - 1] + (month == 2 && leap ? 1 : 0);
    if (day < 1 || day > days) {
        return Quoted(t) + ": that month has no day " + std::to_string(day);
    }
    return {};
}

std::string TimeProblem(std::string_view t) {
    bool form = t.size() == 8 && t[2] == ':' && t[5] == ':';
    for (std::size_t i : {0u, 1u, 3u, 4u, 6u, 7u}) {
        form = form && t[i] >= '0' && t[i] <= '9';
    }
    if (!form) {
        return "a time is HH:MM:SS (24 hours), for example 08:05:09; " + Quoted(t) + " is not";
    }
    const int h = (t[0] - '0') * 10 + (t[1] - '0');
    const int m = (t[3] - '0') * 10 + (t[4] - '0');
    const int s = (t[6] - '0') * 10 + (t[7] - '0');
    if (h > 23 || m > 59 || s > 59) {
        return Quoted(t) + " is not a time of day";
    }
    return {};
}

bool ParseInteger(std::string_view t, long *value) {
    const bool sign = !t.empty() && (t[0] == '-' || t[0] == '+');
    const bool negative = sign && t[0] == '-';
    std::size_t i = sign ? 1 : 0;
    if (i == t.size() || t.size() - i > 9) {
        return false;
    }
    long v = 0;
    for (; i < t.size(); ++i) {
        if (t[i] < '0' || t[i] > '9') {
            return false;
        }
        v = v * 10 + (t[i] - '0');
    }
    *value = negative ? -v : v;
    return true;
}

// The server-name rule that the agent applies too (protocol/server_name.h), in words.
std::string NameProblem(std::string_view name) {
    const std::string what = "the server name " + Quoted(name);
    switch (proto::CheckServerName(name)) {
        case proto::ServerNameFault::kNone:
            return {};
        case proto::ServerNameFault::kEmpty:
            return "the server name must not be empty";
        case proto::ServerNameFault::kTooLong:
            return what + " is longer than " + std::to_string(proto::kServerNameMax) +
                   " characters";
        case proto::ServerNameFault::kBadCharacter:
            return what + " may have letters, digits and '-' only (it is also the host name)";
        case proto::ServerNameFault::kEdgeHyphen:
            return what + " must not begin or end with '-'";
        case proto::ServerNameFault::kAllDigits:
            return what + " must not be all digits (it would be taken for an address)";
    }
    return {};
}

// Puts a 4-byte address; anything that does not parse goes as 0.0.0.0.
void PutAddress(std::uint8_t *at, std::string_view text) {
    in_addr a{};
    if (ParseIpv4(text, &a)) {
        std::memcpy(at, &a.s_addr, 4);  // network order: first octet first
    }
}

// A text in the appliance's code page, cut to the field less its zero; a text that does not
// convert (Validate refuses it first) goes with '?' for what cannot be carried.
void PutText(std::uint8_t *at, std::size_t width, std::string_view text) {
    std::string bytes, bad;
    if (!Utf8ToLatin1(text, &bytes, &bad)) {
        bytes.clear();
        for (std::size_t i = 0; i < text.size(); ++i) {
            std::string one;
            const std::size_t n = (static_cast<std::uint8_t>(text[i]) & 0xE0) == 0xC0 ? 2 : 1;
            bytes += Utf8ToLatin1(text.substr(i, n), &one, &bad) ? one : "?";
            i += n - 1;
        }
    }
    const std::size_t n = bytes.size() < width - 1 ? bytes.size() : width - 1;
    std::memcpy(at, bytes.data(), n);
}

// Checks the rules of the wanted settings (see Validate).
class Checker {
  public:
    Checker(const Settings &current, const Settings &wanted) : current_(current), wanted_(wanted) {}

    bool Changed(Key key) const { return Differs(current_, wanted_, key); }
    bool AnyChanged(std::initializer_list<Key> keys) const {
        for (Key k : keys) {
            if (Changed(k)) {
                return true;
            }
        }
        return false;
    }
    void Add(Key key, const std::string &message) {
        if (!message.empty()) {
            problems_.push_back({std::string(InfoOf(key).name), message});
        }
    }
    bool Has(Key key) const {
        for (const Problem &p : problems_) {
            if (p.field == InfoOf(key).name) {
                return true;
            }
        }
        return false;
    }
    // The wanted address of a key; false (and a problem, once) when it is none.
    bool Address(Key key, std::uint32_t *value) {
        const std::string text = ValueText(wanted_, key);
        if (AddressValue(text, value)) {
            return true;
        }
        if (!Has(key)) {
            Add(key, Quoted(text) + " is not an IPv4 address (four numbers 0-255: A.B.C.D)");
        }
        return false;
    }
    std::vector<Problem> Take() { return std::move(problems_); }

  private:
    const Settings &current_;
    const Settings &wanted_;
    std::vector<Problem> problems_;
};

void CheckFixedAddressing(Checker &c, const Settings &w) {
    std::uint32_t ip = 0, mask = 0, gateway = 0;
    const bool have_ip = c.Address(Key::kIp, &ip);
    const bool have_mask = c.Address(Key::kNetmask, &mask);
    const bool have_gateway = c.Address(Key::kGateway, &gateway);
    const bool addressing = c.AnyChanged({Key::kMode, Key::kIp, Key::kNetmask});
    int prefix = -1;
    if (have_mask) {
        prefix = PrefixLength(mask);
        if (mask == 0) {
            if (addressing)
                c.Add(Key::kNetmask, "a fixed address needs a netmask (0.0.0.0 is none)");
        } else if (prefix < 0) {
            if (addressing)
                c.Add(Key::kNetmask, Quoted(w.netmask) +
                                         " is not a netmask (its ones must come first, as in "
                                         "255.255.255.0)");
        } else if (prefix < kShortestPrefix || prefix > kLongestPrefix) {
            if (addressing)
                c.Add(Key::kNetmask, "the netmask " + w.netmask + " (/" + std::to_string(prefix) +
                                         ") is outside /8 to /30, the subnets that make a LAN");
        }
    }
    const bool subnet = have_mask && prefix >= kShortestPrefix && prefix <= kLongestPrefix;
    bool good_ip = false;
    if (have_ip && addressing) {
        if (ip == 0) {
            c.Add(Key::kIp, "a fixed address is needed in static mode (0.0.0.0 is none)");
        } else if (const std::string p = HostAddressProblem(ip); !p.empty()) {
            c.Add(Key::kIp, w.ip + " " + p);
        } else if (subnet && ((ip & ~mask) == 0 || (ip & ~mask) == ~mask)) {
            c.Add(Key::kIp,
                  w.ip + " is the " + std::string((ip & ~mask) == 0 ? "network" : "broadcast") +
                      " address of its subnet " + Dotted(ip & mask) + "/" + std::to_string(prefix));
        } else {
            good_ip = true;
        }
    } else {
        good_ip = have_ip && ip != 0 && HostAddressProblem(ip).empty();
    }
    if (!good_ip || !subnet) {
        return;  // the rules below need the appliance's own subnet
    }
    const std::uint32_t net = ip & mask;
    const std::string where = " the subnet " + Dotted(net) + "/" + std::to_string(prefix) +
                              " of the appliance's address " + w.ip;
    auto in_subnet = [&](std::uint32_t a) { return (a & mask) == net; };
    auto host_of_subnet = [&](std::uint32_t a) {
        return in_subnet(a) && (a & ~mask) != 0 && (a & ~mask) != ~mask;
    };
    if (have_gateway && gateway != 0 &&
        c.AnyChanged({Key::kMode, Key::kIp, Key::kNetmask, Key::kGateway})) {
        if (!host_of_subnet(gateway)) {
            c.Add(Key::kGateway, "the gateway " + w.gateway + " is not a host address of" + where);
        } else if (gateway == ip) {
            c.Add(Key::kGateway, "the gateway " + w.gateway + " is the appliance's own address");
        }
    }
    if (!w.dhcp_server || !c.AnyChanged({Key::kMode, Key::kIp, Key::kNetmask, Key::kGateway,
                                         Key::kDhcpServer, Key::kDhcpStart, Key::kDhcpEnd})) {
        return;
    }
    std::uint32_t start = 0, end = 0;
    const bool have_start = c.Address(Key::kDhcpStart, &start);
    const bool have_end = c.Address(Key::kDhcpEnd, &end);
    bool range = have_start && have_end;
    for (Key k : {Key::kDhcpStart, Key::kDhcpEnd}) {
        const std::uint32_t a = k == Key::kDhcpStart ? start : end;
        if (!(k == Key::kDhcpStart ? have_start : have_end)) {
            continue;
        }
        const std::string text = ValueText(w, k);
        if (a == 0) {
            c.Add(k, "the DHCP server needs its range (0.0.0.0 is no address)");
            range = false;
        } else if (!host_of_subnet(a)) {
            c.Add(k, "the DHCP range must lie inside" + where + "; " + text + " does not");
            range = false;
        }
    }
    if (!range) {
        return;
    }
    if (start > end) {
        c.Add(Key::kDhcpEnd,
              "the DHCP range ends (" + w.dhcp_end + ") before it starts (" + w.dhcp_start + ")");
    } else if (ip >= start && ip <= end) {
        c.Add(Key::kDhcpStart, "the DHCP range " + w.dhcp_start + " - " + w.dhcp_end +
                                   " holds the appliance's own address " + w.ip);
    } else if (have_gateway && gateway != 0 && gateway >= start && gateway <= end) {
        c.Add(Key::kDhcpStart, "the DHCP range " + w.dhcp_start + " - " + w.dhcp_end +
                                   " holds the gateway " + w.gateway);
    }
}

}  // namespace

std::string TextProblem(Key key, std::string_view text) {
    const TextRule *rule = nullptr;
    for (const TextRule &r : kTextRules) {
        rule = r.key == key ? &r : rule;
    }
    if (rule == nullptr) {
        return {};
    }
    const std::string what(rule->what);
    std::string bytes, bad;
    if (!Utf8ToLatin1(text, &bytes, &bad)) {
        return what + " " + bad;
    }
    for (std::size_t at = 0; at < text.size(); ++at) {
        if (IsControlAt(text, at)) {
            return what + " must not contain control characters (line feed, TAB, ...)";
        }
        if (rule->forbidden.find(text[at]) != std::string_view::npos) {
            return what + " must not contain " + std::string(1, text[at]) + " (none of " +
                   std::string(rule->forbidden) + " is allowed)";
        }
    }
    const std::size_t last = bytes.find_last_not_of(" \t");
    if (last != std::string::npos && bytes[last] == '\\') {
        return what + " must not end in a backslash";
    }
    if (bytes.size() < rule->min) {
        return what + " must not be empty";
    }
    if (bytes.size() > rule->max) {
        return what + " " + Quoted(text) + " has " + std::to_string(bytes.size()) +
               " characters; the appliance keeps at most " + std::to_string(rule->max);
    }
    if (key == Key::kName) {
        return NameProblem(text);
    }
    return {};
}

const KeyInfo &InfoOf(Key key) {
    for (const KeyInfo &k : kKeys) {
        if (k.key == key) {
            return k;
        }
    }
    return kKeys[0];
}

const KeyInfo *FindKey(std::string_view name) {
    for (const KeyInfo &k : kKeys) {
        if (k.name == name) {
            return &k;
        }
    }
    return nullptr;
}

Settings SettingsOf(const SettingsInfo &r) {
    Settings s;
    s.name = r.server_name;
    s.description = r.description;
    s.date = r.date;
    s.time = r.time;
    s.dhcp_client = r.dhcp_client;
    s.ip = r.ip;
    s.netmask = r.netmask;
    s.gateway = r.gateway;
    s.dhcp_server = r.dhcp_server;
    s.dhcp_start = r.dhcp_start;
    s.dhcp_end = r.dhcp_end;
    s.workgroup = r.workgroup;
    s.zone = r.zone;
    s.time_zone = r.time_zone;
    s.wins = r.wins;
    s.wins_server = r.wins_server;
    return s;
}

bool ParseAssignment(std::string_view word, Change *change, Problem *problem) {
    const std::size_t eq = word.find('=');
    if (eq == std::string_view::npos) {
        *problem = {std::string(word), "settings are given as KEY=VALUE, as in name=STORAGE; " +
                                           Quoted(word) + " has no '='"};
        return false;
    }
    const std::string_view name = word.substr(0, eq);
    const KeyInfo *key = FindKey(name);
    if (key == nullptr) {
        std::string names;
        for (const KeyInfo &k : kKeys) {
            names += names.empty() ? "" : ", ";
            names += k.name;
        }
        *problem = {std::string(name), "unknown key " + Quoted(name) + " (keys: " + names + ")"};
        return false;
    }
    change->key = key->key;
    change->value = std::string(word.substr(eq + 1));
    change->from_json = false;
    return true;
}

std::string ValueText(const Settings &s, Key key) {
    switch (key) {
        case Key::kMode:
            return s.dhcp_client ? "dhcp" : "static";
        case Key::kDhcpServer:
            return s.dhcp_server ? "on" : "off";
        case Key::kWins:
            return s.wins ? "on" : "off";
        case Key::kTimeZone:
            return std::to_string(s.time_zone);
        default:
            return *TextFieldOf(s, key);
    }
}

bool ParseValue(Settings *s, Key key, std::string_view text, Problem *problem) {
    const KeyInfo &info = InfoOf(key);
    auto fail = [&](const std::string &message) {
        *problem = {std::string(info.name), message};
        return false;
    };
    auto on_off = [&](bool *flag) {
        if (text != "on" && text != "off") {
            return fail(std::string(info.name) + " is on or off, not " + Quoted(text));
        }
        *flag = text == "on";
        return true;
    };
    switch (key) {
        case Key::kMode:
            if (text != "static" && text != "dhcp") {
                return fail(
                    "mode is static (a fixed address) or dhcp (an address from a DHCP "
                    "server), not " +
                    Quoted(text));
            }
            s->dhcp_client = text == "dhcp";
            return true;
        case Key::kDhcpServer:
            return on_off(&s->dhcp_server);
        case Key::kWins:
            return on_off(&s->wins);
        case Key::kTimeZone: {
            long v = 0;
            if (!ParseInteger(text, &v)) {
                return fail("the time zone is a whole number, not " + Quoted(text));
            }
            s->time_zone = static_cast<std::int32_t>(v);
            return true;
        }
        case Key::kDate:
            if (const std::string p = DateProblem(text); !p.empty()) {
                return fail(p);
            }
            s->date = std::string(text);
            return true;
        case Key::kTime:
            if (const std::string p = TimeProblem(text); !p.empty()) {
                return fail(p);
            }
            s->time = std::string(text);
            return true;
        default:
            break;
    }
    if (IsAddressKey(key)) {
        std::uint32_t v = 0;
        if (key == Key::kGateway && text.empty()) {
            text = "0.0.0.0";
        }
        if (!AddressValue(text, &v)) {
            return fail(Quoted(text) + " is not an IPv4 address (four numbers 0-255: A.B.C.D)");
        }
        *TextField(s, key) = Dotted(v);
        return true;
    }
    *TextField(s, key) = std::string(text);
    return true;
}

bool Differs(const Settings &a, const Settings &b, Key key) {
    return ValueText(a, key) != ValueText(b, key);
}

std::vector<Key> ChangedKeys(const Settings &current, const Settings &wanted) {
    std::vector<Key> keys;
    for (const KeyInfo &k : kKeys) {
        if (Differs(current, wanted, k.key)) {
            keys.push_back(k.key);
        }
    }
    return keys;
}

bool ApplyChanges(const std::vector<Change> &changes, const Settings &current, Settings *wanted,
                  std::vector<Problem> *problems) {
    bool ok = true;
    (void)current;
    for (const Change &c : changes) {
        Problem p;
        if (!ParseValue(wanted, c.key, c.value, &p)) {
            problems->push_back(p);
            ok = false;
        }
    }
    return ok;
}

std::vector<std::string> ApplyImplied(const std::vector<Change> &changes, const Settings &current,
                                      Settings *wanted) {
    bool asked = false;
    for (const Change &c : changes) {
        asked = asked || (c.key == Key::kDhcpServer &&
                          (!c.from_json || c.value != ValueText(current, Key::kDhcpServer)));
    }
    std::vector<std::string> notes;
    if (wanted->dhcp_client && wanted->dhcp_server && !asked) {
        wanted->dhcp_server = false;
        notes.push_back("dhcp-server=off: in DHCP mode the appliance's own DHCP server is off");
    }
    return notes;
}

std::vector<Problem> Validate(const Settings &current, const Settings &w) {
    Checker c(current, w);
    for (const TextRule &rule : kTextRules) {
        if (c.Changed(rule.key)) {
            c.Add(rule.key, TextProblem(rule.key, ValueText(w, rule.key)));
        }
    }
    if (c.Changed(Key::kDate)) {
        c.Add(Key::kDate, DateProblem(w.date));
    }
    if (c.Changed(Key::kTime)) {
        c.Add(Key::kTime, TimeProblem(w.time));
    }
    if (c.Changed(Key::kTimeZone) && (w.time_zone < kMinTimeZone || w.time_zone > kMaxTimeZone)) {
        c.Add(Key::kTimeZone, "the time-zone number " + std::to_string(w.time_zone) +
                                  " is outside -999 to 9999 (the appliance keeps 4 characters)");
    }
    // Addresses that changed must at least be addresses.
    for (Key k : {Key::kIp, Key::kNetmask, Key::kGateway, Key::kDhcpStart, Key::kDhcpEnd,
                  Key::kWinsServer}) {
        std::uint32_t v = 0;
        if (c.Changed(k)) {
            c.Address(k, &v);
        }
    }
    if (w.dhcp_client) {
        for (Key k : {Key::kIp, Key::kNetmask, Key::kGateway, Key::kDhcpStart, Key::kDhcpEnd}) {
            if (c.Changed(k) && !c.Has(k)) {
                c.Add(k, std::string(InfoOf(k).name) +
                             " is not used in DHCP mode (the address comes from a DHCP server); "
                             "give mode=static with it");
            }
        }
        if (w.dhcp_server) {
            c.Add(Key::kDhcpServer, "the appliance's own DHCP server cannot run in DHCP mode");
        }
    } else {
        CheckFixedAddressing(c, w);
        // Outside a running DHCP server the range is only stored; it cannot be cleared.
        for (Key k : {Key::kDhcpStart, Key::kDhcpEnd}) {
            std::uint32_t v = 1;
            if (!w.dhcp_server && c.Changed(k) && !c.Has(k) && AddressValue(ValueText(w, k), &v) &&
                v == 0) {
                c.Add(k, "0.0.0.0 would keep the stored address; give an address");
            }
        }
    }
    std::uint32_t wins = 0;
    if (!c.Has(Key::kWinsServer) && AddressValue(w.wins_server, &wins)) {
        if (wins == 0 && w.wins && c.AnyChanged({Key::kWins, Key::kWinsServer})) {
            c.Add(Key::kWinsServer, "WINS on needs the address of a WINS server");
        } else if (wins == 0 && c.Changed(Key::kWinsServer)) {
            c.Add(Key::kWinsServer,
                  "0.0.0.0 would keep the stored WINS server; to stop using "
                  "it give wins=off");
        } else if (wins != 0 && c.Changed(Key::kWinsServer)) {
            if (const std::string p = HostAddressProblem(wins); !p.empty()) {
                c.Add(Key::kWinsServer, w.wins_server + " " + p);
            }
        }
    }
    return c.Take();
}

std::vector<Key> DifferingSettings(const Settings &a, const Settings &b) {
    const bool leases = a.dhcp_client && b.dhcp_client;
    std::vector<Key> keys;
    for (Key k : ChangedKeys(a, b)) {
        const bool address = k == Key::kIp || k == Key::kNetmask || k == Key::kGateway;
        if (k != Key::kDate && k != Key::kTime && !(leases && address)) {
            keys.push_back(k);
        }
    }
    return keys;
}

bool AdvanceClock(Settings *s, long long seconds) {
    int month = 0, day = 0, year = 0;
    if (!DateProblem(s->date).empty() || !TimeProblem(s->time).empty() ||
        !DateNumbers(s->date, &month, &day, &year)) {
        return false;
    }
    // Counted as UTC: the appliance's clock has no daylight saving steps to skip here.
    std::tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = (s->time[0] - '0') * 10 + (s->time[1] - '0');
    t.tm_min = (s->time[3] - '0') * 10 + (s->time[4] - '0');
    t.tm_sec = (s->time[6] - '0') * 10 + (s->time[7] - '0');
    const time_t later = timegm(&t) + static_cast<time_t>(seconds);
    std::tm moved{};
    if (gmtime_r(&later, &moved) == nullptr || moved.tm_year + 1900 > kLastYear) {
        return false;
    }
    ClockTexts(moved, &s->date, &s->time);
    return true;
}

void ClockTexts(const std::tm &t, std::string *date, std::string *time) {
    char d[32], h[32];
    std::snprintf(d, sizeof d, "%02d/%02d/%04d", t.tm_mon + 1, t.tm_mday, t.tm_year + 1900);
    std::snprintf(h, sizeof h, "%02d:%02d:%02d", t.tm_hour, t.tm_min, t.tm_sec);
    *date = d;
    *time = h;
}

void AddClockChanges(std::vector<Change> *changes) {
    const time_t now = ::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    Change date{Key::kDate, "", false}, time{Key::kTime, "", false};
    ClockTexts(local, &date.value, &time.value);
    changes->push_back(date);
    changes->push_back(time);
}

void ParseAssignments(const std::vector<std::string> &words, std::vector<Change> *changes,
                      std::vector<Problem> *problems) {
    for (const std::string &word : words) {
        Change c;
        Problem p;
        Settings scratch;
        if (!ParseAssignment(word, &c, &p) || !ParseValue(&scratch, c.key, c.value, &p)) {
            problems->push_back(p);
            continue;
        }
        changes->push_back(c);
    }
}

Bytes EncodeWriteSettings(std::uint16_t sequence, const Mac &target, const Settings &s) {
    Bytes b(wr::kRequestSize, 0);
    proto::PutHeader(b.data(), proto::SetupHeader{proto::kCmdWriteSettings, 0, sequence,
                                                  wr::kRequestSize - proto::kHeaderSize});
    std::memcpy(b.data() + wr::kOffMac, target.data(), target.size());
    PutText(b.data() + wr::kOffServerName, wr::kServerNameWidth, s.name);
    PutText(b.data() + wr::kOffDescription, wr::kDescriptionWidth, s.description);
    PutText(b.data() + wr::kOffDate, wr::kDateWidth, s.date);
    PutText(b.data() + wr::kOffTime, wr::kTimeWidth, s.time);
    b[wr::kOffAddressMode] = s.dhcp_client ? 0 : 1;
    if (s.dhcp_client) {
        b[wr::kOffDhcpServer] = 1;  // the appliance turns its own server off anyway
    } else {
        PutAddress(b.data() + wr::kOffIp, s.ip);
        PutAddress(b.data() + wr::kOffNetmask, s.netmask);
        PutAddress(b.data() + wr::kOffGateway, s.gateway);
        b[wr::kOffDhcpServer] = s.dhcp_server ? 0 : 1;
        PutAddress(b.data() + wr::kOffDhcpStart, s.dhcp_start);
        PutAddress(b.data() + wr::kOffDhcpEnd, s.dhcp_end);
    }
    PutText(b.data() + wr::kOffWorkgroup, wr::kWorkgroupWidth, s.workgroup);
    PutText(b.data() + wr::kOffZone, wr::kZoneWidth, s.zone);
    proto::PutI32(b.data() + wr::kOffTimeZone, s.time_zone);
    b[wr::kOffWinsEnable] = s.wins ? 1 : 0;
    PutAddress(b.data() + wr::kOffWinsServer, s.wins_server);
    return b;
}

}  // namespace dssetup
