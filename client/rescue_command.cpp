// dssetup rescue: a complete set of settings sent by broadcast to an appliance's MAC address,
// for an appliance that no unicast reaches (another subnet, an address another host has); then
// the appliance is found again.
#include <arpa/inet.h>

#include <algorithm>
#include <cmath>
#include <ctime>

#include "client/kept_settings.h"
#include "client/moved_appliance.h"
#include "client/pc_network.h"
#include "client/session.h"
#include "client/set_command.h"
#include "client/settings.h"

namespace dssetup {

namespace {

// Sends of the settings while no answer has come: every 2 s.
constexpr double kRescueResend = 2.0;

// The keys a request needs values for when no settings of the appliance are kept: every one
// it stores (an address of 0.0.0.0 keeps the stored one only where it is not needed).
std::vector<Key> NeededKeys(const Settings &s) {
    std::vector<Key> keys = {Key::kName, Key::kDescription, Key::kDate,
                             Key::kTime, Key::kMode,        Key::kWorkgroup,
                             Key::kZone, Key::kTimeZone,    Key::kWins};
    if (!s.dhcp_client) {
        keys.insert(keys.end(), {Key::kIp, Key::kNetmask, Key::kGateway, Key::kDhcpServer});
        if (s.dhcp_server) {
            keys.insert(keys.end(), {Key::kDhcpStart, Key::kDhcpEnd});
        }
    }
    if (s.wins) {
        keys.push_back(Key::kWinsServer);
    }
    return keys;
}

std::string Names(const std::vector<Key> &keys) {
    std::string out;
    for (Key k : keys) {
        out += (out.empty() ? "" : ", ") + std::string(InfoOf(k).name);
    }
    return out;
}

}  // namespace

Result Rescue(int fd, const Options &options, const Target &target, const SetHooks &hooks) {
    if (!target.by_mac) {
        return Usage(
            "rescue finds an appliance by its MAC address (00:C0:02:1A:2B:3C), not by "
            "an address it may no longer have");
    }
    const std::string mac = FormatMac(target.mac.data());
    std::vector<Change> changes;
    Result refusal;
    if (!GatherChanges(options, &changes, &refusal)) {
        return refusal;
    }
    KeptSettings kept;
    std::string kept_error;
    const bool have = LoadKeptSettings(options.cache_dir, target.mac, &kept, &kept_error);
    Settings base;
    if (have) {
        // The appliance's clock as it runs on since it was read: unless a date or a time is
        // given, that is what goes back.
        base = kept.settings;
        AdvanceClock(&base, static_cast<long long>(std::time(nullptr) - kept.kept_at));
    }
    Settings wanted = base;
    std::vector<Problem> problems;
    if (!ApplyChanges(changes, base, &wanted, &problems)) {
        return RefusedSettings(problems, "the settings were refused");
    }
    const std::vector<std::string> notes = ApplyImplied(changes, base, &wanted);
    if (!have) {
        std::vector<Key> missing;
        for (Key k : NeededKeys(wanted)) {
            const bool given = std::any_of(changes.begin(), changes.end(),
                                           [k](const Change &c) { return c.key == k; });
            if (!given) {
                missing.push_back(k);
            }
        }
        if (!missing.empty()) {
            return Usage("no settings of " + mac + " are kept on this PC" +
                         (kept_error.empty() ? "" : " (" + kept_error + ")") +
                         ", so every setting it needs must be given; missing: " + Names(missing) +
                         "; nothing was sent");
        }
    }
    // Without a kept set every value is new, and checked as such.
    problems = Validate(have ? base : Settings{}, wanted);
    if (!problems.empty()) {
        return RefusedSettings(problems, "the settings were refused");
    }
    const PcNetwork pc = ReadPcNetwork();
    Whereabouts w;
    w.links = BroadcastLinks(pc, options.interface);
    if (w.links.empty()) {
        return NoAnswer(options.interface.empty()
                            ? "this PC has no network interface to broadcast on"
                            : "cannot broadcast on " + options.interface);
    }
    // Where it answered last, too, when that is on one of these links.
    in_addr last{};
    if (have && ParseIpv4(kept.address, &last)) {
        const PcPath path = PathTo(pc, ntohl(last.s_addr));
        for (const PcInterface &link : w.links) {
            if (path.found && path.gateway == 0 && path.interface == link.name) {
                w.have_address = true;
                w.address.sin_family = AF_INET;
                w.address.sin_addr = last;
                w.address.sin_port = htons(options.port);
            }
        }
    }
    if (!wanted.dhcp_client && !options.force) {
        // The appliance is on one of the links: the one the new address belongs to, if any.
        const PcPath to_new = PathTo(pc, HostAddress(wanted.ip));
        PcPath now = OnLink(w.links[0]);
        for (const PcInterface &link : w.links) {
            if (to_new.found && to_new.interface == link.name) {
                now = OnLink(link);
            }
        }
        problems = MoveWarnings(pc, now, target.mac, wanted);
        if (!problems.empty()) {
            return RefusedSettings(problems, "this PC would not reach the appliance there");
        }
    }

    auto say = [&hooks](const std::string &line) {
        if (hooks.say) {
            hooks.say(line);
        }
    };
    for (const std::string &n : notes) {
        say("Note: " + n);
    }
    std::string links;
    for (const PcInterface &link : w.links) {
        links += (links.empty() ? "" : ", ") + link.name;
    }
    say(std::string(have ? "The settings last read from " + mac + ", as kept on this PC"
                         : "The settings given") +
        (changes.empty() ? "" : ", with the changes asked for,") + " go by broadcast to " + mac +
        " on " + links + "; then it is looked for.");
    if (hooks.step) {
        hooks.step(SetStep::kSending);
    }
    const auto start = Clock::now();
    const double resend = options.timeout_given ? options.timeout : kRescueResend;
    const Delivered d = Deliver(fd, options, target.mac, wanted, w, resend,
                                start + Seconds(options.confirm), hooks);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (!d.sent) {
        return NoAnswer(d.error + "; nothing was sent");
    }
    if (d.answered && d.status != 0) {
        return Refused(
            d.status,
            "the appliance took the settings and reported " + StatusWords(d.status) +
                (d.found ? "; it answers at " + AddressText(d.where.address) : std::string()));
    }
    if (!d.found) {
        char bound[32];
        std::snprintf(bound, sizeof bound, "%g s", options.confirm);
        return NoAnswer(std::string("the settings went out by broadcast to ") + mac + " on " +
                        links + (d.answered ? " and were answered" : "") +
                        ", but it does not answer at an address this PC reaches within " + bound);
    }
    const std::string at = AddressText(d.where.address);
    if (!d.read) {
        return NoAnswer("it answers at " + at + ", but its settings cannot be read there");
    }
    if (!d.holds) {
        Result r = Refused(-1, "it answers at " + at + ", but does not hold the settings sent");
        r.status = d.status;
        return r;
    }
    Result r = Succeeded("the settings went to " + mac + " by broadcast; it answers at " + at, 0);
    r.data["address"] = at;
    r.data["mode"] = wanted.dhcp_client ? "dhcp" : "static";
    r.data["kept"] = have;
    r.data["notes"] = notes;
    r.data["seconds"] = seconds;
    char line[64];
    std::snprintf(line, sizeof line, " (%.1f s).\n", seconds);
    r.text = "The settings went to " + mac + " by broadcast; it answers at " + at + line;
    return r;
}

}  // namespace dssetup
