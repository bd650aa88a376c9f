// dssetup: reaching, awaiting and finding an appliance whose address may have changed.
#include "client/moved_appliance.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cmath>
#include <thread>

#include "client/kept_settings.h"

namespace dssetup {

namespace {

// One try of an identify or a read while an appliance is looked for.
constexpr double kFindTry = 1.0;

double Left(Clock::time_point until) {
    return std::chrono::duration<double>(until - Clock::now()).count();
}

// The settings whose stored value is not the one sent, counting only what the appliance takes
// of a request: a range of its DHCP server that is off, and an all-zero WINS server, are not
// stored.
std::vector<Key> NotHeld(const Settings &sent, const Settings &stored) {
    std::vector<Key> keys;
    for (Key k : DifferingSettings(sent, stored)) {
        const bool range = k == Key::kDhcpStart || k == Key::kDhcpEnd;
        if ((range && (sent.dhcp_client || !sent.dhcp_server)) ||
            (k == Key::kWinsServer && sent.wins_server == "0.0.0.0")) {
            continue;
        }
        keys.push_back(k);
    }
    return keys;
}

}  // namespace

Whereabouts WhereaboutsOf(const PcNetwork &pc, const Options &options, const sockaddr_in &address) {
    Whereabouts w;
    w.have_address = true;
    w.address = address;
    const PcPath path = PathTo(pc, ntohl(address.sin_addr.s_addr));
    if (!options.interface.empty()) {
        w.links = BroadcastLinks(pc, options.interface);
    } else if (path.found && path.gateway == 0 && !path.loopback) {
        for (const PcInterface &link : BroadcastLinks(pc, "")) {
            if (link.name == path.interface) {
                w.links.push_back(link);
            }
        }
    }
    return w;
}

bool SendUntilAnswered(int fd, const Options &options, const Whereabouts &w, const Bytes &request,
                       double resend, Clock::time_point until, const SetHooks &hooks,
                       const std::string &what,
                       const std::function<bool(const Reply &reply)> &answered,
                       std::string *error) {
    const proto::SetupHeader h = proto::GetHeader(request.data());
    const auto start = Clock::now();
    const double bound = std::chrono::duration<double>(until - start).count();
    auto show = [&](bool done) {
        if (hooks.progress) {
            const long left = std::max(0L, std::lround(Left(until)));
            hooks.progress(done ? std::string()
                                : what + ": " + std::to_string(left) + " s left of " +
                                      std::to_string(std::lround(bound)) + " s");
        }
        if (hooks.countdown && !done) {
            hooks.countdown(std::max(0.0, Left(until)), bound);
        }
    };
    error->clear();
    bool first = true;
    while (Clock::now() < until) {
        // The old address may be gone by now (the network says so): the broadcast still goes.
        std::string unicast_error, broadcast_error;
        const bool unicast =
            w.have_address && Send(fd, options, &w.address, request, &unicast_error);
        const bool broadcast =
            !w.links.empty() && SendOnLinks(fd, options, w.links, request, &broadcast_error);
        if (first && !unicast && !broadcast) {
            *error = !unicast_error.empty() ? unicast_error : broadcast_error;
            show(true);
            return false;
        }
        first = false;
        const auto next = std::min(until, Clock::now() + Seconds(resend));
        while (Clock::now() < next) {
            show(false);
            Reply reply;
            const auto step = std::min(next, Clock::now() + std::chrono::seconds(1));
            if (ReceiveUntil(fd, step, &reply) != Received::kDatagram ||
                !IsReplyTo(reply.data.data(), reply.data.size(), h.command, h.sequence)) {
                continue;
            }
            if (answered(reply)) {
                show(true);
                return true;
            }
        }
    }
    show(true);
    return false;
}

bool FindAgain(int fd, const Options &options, const Mac &mac, const sockaddr_in *hint,
               bool broadcast, Clock::time_point until, Located *where) {
    Options once = options;
    once.tries = 1;
    Target by_mac;
    by_mac.by_mac = true;
    by_mac.mac = mac;
    do {
        const auto round = Clock::now();
        once.timeout = std::clamp(Left(until), 0.05, kFindTry);
        if (hint != nullptr) {
            Target at;
            at.addr = *hint;
            if (Locate(fd, once, at, where).ok && where->info.mac == mac) {
                return true;
            }
        }
        if (broadcast && Locate(fd, once, by_mac, where).ok) {
            return true;
        }
        if (hint == nullptr && !broadcast) {
            return false;
        }
        // A hint the network refuses at once is not asked again and again without a pause.
        std::this_thread::sleep_until(std::min(until, round + Seconds(kFindTry / 2)));
    } while (Clock::now() < until);
    return false;
}

Delivered Deliver(int fd, const Options &options, const Mac &mac, const Settings &settings,
                  const Whereabouts &w, double resend, Clock::time_point until,
                  const SetHooks &hooks) {
    Delivered d;
    const Bytes request = EncodeWriteSettings(NextSequence(), mac, settings);
    Reply answer;
    // In DHCP mode the first answer may be the early one, from the address it leaves: any
    // answer shows that the settings arrived, and finding it again tells the rest.
    d.answered = SendUntilAnswered(
        fd, options, w, request, resend, until, hooks,
        "waiting for the appliance to take the settings sent back",
        [&answer](const Reply &r) {
            answer = r;
            return true;
        },
        &d.error);
    d.sent = d.answered || d.error.empty();
    if (!d.sent) {
        return d;
    }
    if (hooks.step) {
        hooks.step(SetStep::kFinding);
    }
    if (d.answered) {
        d.status = ReplyStatus(answer.data.data());
    }
    // Found where it answered, where it was, or by broadcast; with a little time at least.
    const auto find_until = std::max(until, Clock::now() + Seconds(3 * kFindTry));
    const sockaddr_in *hint = d.answered ? &answer.from : w.have_address ? &w.address : nullptr;
    d.found = FindAgain(fd, options, mac, hint, !w.links.empty(), find_until, &d.where);
    if (!d.found) {
        return d;
    }
    Target at;
    at.addr = d.where.address;
    sockaddr_in from{};
    d.read = ReadSettings(fd, options, at, &d.settings, &from).ok && d.settings.mac == mac;
    if (d.read) {
        std::string ignored;  // the copy is for later rescues; this one is done
        KeepSettings(options.cache_dir, d.settings, AddressText(from), &ignored);
        d.holds = NotHeld(settings, SettingsOf(d.settings)).empty();
    }
    return d;
}

}  // namespace dssetup
