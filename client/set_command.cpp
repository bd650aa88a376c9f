// dssetup set: read the current settings, change what was asked, check the result, send the
// complete set and wait through the appliance's long apply. New addressing is checked against
// this PC's network before it is sent and confirmed after: an appliance that no longer answers
// where this PC reaches it gets its previous settings back, by broadcast to its MAC address.
#include <arpa/inet.h>
#include <time.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstring>

#include "client/kept_settings.h"
#include "client/moved_appliance.h"
#include "client/pc_network.h"
#include "client/result.h"
#include "client/session.h"
#include "client/set_command.h"
#include "client/settings.h"
#include "client/settings_json.h"
#include "protocol/default_address.h"

namespace dssetup {

namespace {

// The write request is answered once the appliance has restarted its network and services.
// The longest it takes: the settings file's lock (about 9 s, twice), the time-zone script (the
// agent allows it 180 s), and a failing DHCP attempt (two network restarts with their waits,
// then the fallback addressing) before Samba and AppleTalk restart. 24 sends 10 s apart
// outlast that.
constexpr double kApplyTryWait = 10.0;
constexpr int kApplyTries = 24;
// While an appliance that changes its addressing is awaited, the request goes again this often:
// the appliance answers a repeated request from its stored reply as soon as it is done, from
// wherever it is then.
constexpr double kMoveResend = 2.0;
// How long an address is asked for on the LAN before nobody is taken to have it.
constexpr double kNeighbourWait = 1.0;
// Reads and finds after an answer: quick, the appliance has just answered.
constexpr double kReadTry = 1.0;
constexpr int kReadTries = 3;

// Sends the request and waits for its reply, sending it again with the same sequence number
// every `per_try` seconds, `tries` sends in all; the appliance answers a repeated request from
// its stored reply without running it again. The reply may come from any address: by the
// time it answers the appliance can have a new one, and only the appliance that received this
// request can echo its command and sequence number to this socket.
bool AwaitReply(int fd, const Options &options, const sockaddr_in &to, const Bytes &request,
                double per_try, int tries, const SetHooks &hooks, const std::string &what,
                Reply *reply, std::string *error) {
    const proto::SetupHeader h = proto::GetHeader(request.data());
    const auto start = Clock::now();
    auto progress = [&hooks](const std::string &line) {
        if (hooks.progress) {
            hooks.progress(line);
        }
    };
    error->clear();
    for (int attempt = 0; attempt < tries; ++attempt) {
        if (!Send(fd, options, &to, request, error)) {
            progress("");
            return false;
        }
        const auto deadline = Clock::now() + Seconds(per_try);
        for (;;) {
            const auto waited =
                std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - start).count();
            progress(what + ": " + std::to_string(waited) + " s" +
                     (attempt > 0 ? ", sent " + std::to_string(attempt + 1) + " times" : ""));
            const auto step = std::min(deadline, Clock::now() + std::chrono::seconds(1));
            if (ReceiveUntil(fd, step, reply) != Received::kDatagram) {
                if (Clock::now() >= deadline) {
                    break;
                }
                continue;
            }
            if (IsReplyTo(reply->data.data(), reply->data.size(), h.command, h.sequence)) {
                progress("");
                return true;
            }
        }
    }
    progress("");
    return false;
}

}  // namespace

std::vector<Problem> MoveWarnings(const PcNetwork &pc, const PcPath &now, const Mac &mac,
                                  const Settings &wanted) {
    const std::uint32_t ip = HostAddress(wanted.ip);
    std::vector<Problem> found =
        ReachProblems(pc, now, ip, HostAddress(wanted.netmask), HostAddress(wanted.gateway));
    const PcPath path = PathTo(pc, ip);
    Mac other{};
    if (found.empty() && path.found && path.gateway == 0 && !path.loopback &&
        NeighbourAt(ip, path.interface, kNeighbourWait, &other) && other != mac) {
        found.push_back({"ip", "another host (" + FormatMac(other.data()) +
                                   ") already answers at " + wanted.ip});
    }
    for (Problem &p : found) {
        p.warning = true;
    }
    return found;
}

Result RefusedSettings(std::vector<Problem> problems, const std::string &why) {
    const bool warnings =
        std::all_of(problems.begin(), problems.end(), [](const Problem &p) { return p.warning; });
    const std::string nothing =
        warnings ? "; nothing was sent (--force sends it all the same)" : "; nothing was sent";
    std::string message = why + nothing;
    if (problems.size() == 1) {
        const Problem &p = problems[0];
        message = (p.field.empty() ? "" : p.field + ": ") + p.message + nothing;
    } else if (problems.size() > 1) {
        message = why + ": " + std::to_string(problems.size()) + " problems" + nothing;
    }
    Result r = Usage(message);
    r.problems = std::move(problems);
    return r;
}

bool GatherChanges(const Options &options, std::vector<Change> *changes, Result *refusal) {
    std::vector<Problem> problems;
    if (!options.from.empty()) {
        Bytes data;
        if (!ReadAll(options.from, &data)) {
            *refusal = Usage("cannot read " + options.from + ": " + strerror(errno));
            return false;
        }
        const std::string text(data.begin(), data.end());
        if (!ParseSettingsJson(text, changes, &problems)) {
            *refusal =
                RefusedSettings(problems, "the settings of " + options.from + " cannot be used");
            return false;
        }
    }
    if (options.now) {
        AddClockChanges(changes);
    }
    ParseAssignments(options.assignments, changes, &problems);
    if (!problems.empty()) {
        *refusal = RefusedSettings(problems, "the settings were refused");
        return false;
    }
    return true;
}

namespace {

std::string Joined(const std::vector<std::string> &words) {
    std::string out;
    for (const std::string &w : words) {
        out += (out.empty() ? "" : ", ") + w;
    }
    return out;
}

std::vector<std::string> NamesOf(const std::vector<Key> &keys) {
    std::vector<std::string> names;
    for (Key k : keys) {
        names.emplace_back(InfoOf(k).name);
    }
    return names;
}

bool Has(const std::vector<Key> &keys, Key key) {
    return std::find(keys.begin(), keys.end(), key) != keys.end();
}

double Since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// "3.2 s" of a time measured; "90 s" of a bound given.
std::string SecondsText(double s) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", s);
    return text;
}
std::string BoundText(double s) {
    char text[32];
    std::snprintf(text, sizeof text, "%g s", s);
    return text;
}

// Keys the appliance had not applied yet when it reported `status`: it applies in the order
// network, server name, DHCP server, Windows sharing (with the description), AppleTalk, and a
// failure ends the request where it happens. The time zone is set, and stored, by its script
// at once, or not at all.
std::vector<Key> NotAppliedAfter(int status) {
    const std::vector<Key> sharing = {Key::kDescription, Key::kWorkgroup, Key::kWins,
                                      Key::kWinsServer, Key::kZone};
    std::vector<Key> keys;
    switch (status) {
        case proto::kStApplyName:
            keys = {Key::kName, Key::kDhcpServer, Key::kDhcpStart, Key::kDhcpEnd};
            keys.insert(keys.end(), sharing.begin(), sharing.end());
            return keys;
        case proto::kStApplyDhcp:
            keys = {Key::kDhcpServer, Key::kDhcpStart, Key::kDhcpEnd};
            keys.insert(keys.end(), sharing.begin(), sharing.end());
            return keys;
        case proto::kStApplySamba:
        case proto::kStGetMsnEnable:
        case proto::kStGetCodePage:
        case proto::kStGetPrinterName:
        case proto::kStGetPrinterComment:
            return sharing;
        case proto::kStApplyAppleTalk:
        case proto::kStGetAppleEnable:
        case proto::kStGetMacPrinterType:
        case proto::kStGetPrinterClient:
            return {Key::kZone};
        default:
            for (const KeyInfo &k : kKeys) {
                if (k.key != Key::kTimeZone && k.key != Key::kDate && k.key != Key::kTime) {
                    keys.push_back(k.key);
                }
            }
            return keys;
    }
}

// What a request that changed the appliance's addressing, or failed half-way, came to.
Json RollbackJson(const std::string &reason, bool sent, bool restored, const std::string &address,
                  const std::vector<std::string> &not_applied) {
    Json j;
    j["reason"] = reason;
    j["sent"] = sent;
    j["restored"] = restored;
    j["address"] = address.empty() ? Json(nullptr) : Json(address);
    j["not_applied"] = not_applied;
    return j;
}

Result Failed(int exit, std::optional<int> status, std::string message, Json rollback) {
    Result r;
    r.exit = exit;
    r.status = status;
    r.message = std::move(message);
    r.rollback = std::move(rollback);
    return r;
}

// One run of `set`: what was read, what goes out, and how to put the previous settings back.
class SetRun {
  public:
    SetRun(int fd, const Options &options, const SetHooks &hooks)
        : fd_(fd), o_(options), hooks_(hooks) {}
    Result Run(const Target &target);

  private:
    void Say(const std::string &line) const {
        if (hooks_.say) {
            hooks_.say(line);
        }
    }
    void Step(SetStep s) const {
        if (hooks_.step) {
            hooks_.step(s);
        }
    }
    std::vector<Problem> Warnings(const sockaddr_in &now) const;
    Result Success(const std::string &address, bool confirmed) const;
    Result Moved();
    Result AfterFailure(int status, const sockaddr_in &from);
    Result PutBack(const std::string &reason, const std::string &why, std::optional<int> status);
    // The previous settings, with the appliance's clock as it runs now: the date and time
    // sent, moved on by the time since.
    Settings Previous() const;

    int fd_;
    const Options &o_;
    const SetHooks &hooks_;
    PcNetwork pc_;
    SettingsInfo read_;
    Settings before_, wanted_;
    std::vector<std::string> changed_, notes_;
    Whereabouts where_;
    Bytes request_;
    Clock::time_point sent_at_{};
    double per_try_ = kApplyTryWait;
    int tries_ = kApplyTries;
    std::string answered_from_;
    bool mode_changed_ = false;
};

std::vector<Problem> SetRun::Warnings(const sockaddr_in &now) const {
    return MoveWarnings(pc_, PathTo(pc_, ntohl(now.sin_addr.s_addr)), read_.mac, wanted_);
}

Settings SetRun::Previous() const {
    Settings previous = before_;
    previous.date = wanted_.date;
    previous.time = wanted_.time;
    if (!AdvanceClock(&previous, std::llround(Since(sent_at_)))) {
        previous.date = before_.date;
        previous.time = before_.time;
    }
    return previous;
}

Result SetRun::Success(const std::string &address, bool confirmed) const {
    std::string message = "the appliance stored and applied the settings";
    if (confirmed) {
        message += "; it answers at " + std::string(wanted_.dhcp_client ? "" : "its new address ") +
                   address + (wanted_.dhcp_client ? ", an address from a DHCP server" : "") +
                   " (found " + SecondsText(Since(sent_at_)) + " after the settings were sent)";
    }
    Result r = Succeeded(message, 0);
    r.data["mode"] = wanted_.dhcp_client ? "dhcp" : "static";
    r.data["changed"] = changed_;
    r.data["notes"] = notes_;
    r.data["outcome"] = "finished";
    r.data["answered_from"] = answered_from_.empty() ? Json(nullptr) : Json(answered_from_);
    r.data["address"] = address.empty() ? Json(nullptr) : Json(address);
    r.data["confirmed"] = confirmed;
    r.data["seconds"] = Since(sent_at_);
    r.text = "The" + message.substr(3) + ".\n";
    return r;
}

Result SetRun::PutBack(const std::string &reason, const std::string &why,
                       std::optional<int> status) {
    const std::string mac = FormatMac(read_.mac.data());
    if (o_.no_rollback) {
        return Failed(kExitNoAnswer, status,
                      why +
                          "; the new settings are kept (--no-rollback): this PC cannot see the "
                          "appliance. 'dssetup rescue " +
                          mac + "' sends it the previous settings",
                      RollbackJson(reason, false, false, "", {}));
    }
    Step(SetStep::kRestoring);
    Say(std::string(1, static_cast<char>(std::toupper(static_cast<unsigned char>(why[0])))) +
        why.substr(1) + ".");
    Say("Sending the previous settings back to " + mac +
        (where_.links.empty() ? std::string() : " by broadcast on " + where_.links[0].name) + ".");
    Whereabouts back = where_;
    if (!answered_from_.empty()) {
        in_addr a{};
        ParseIpv4(answered_from_, &a);
        back.address.sin_addr = a;
    }
    const Settings previous = Previous();
    const Delivered d = Deliver(fd_, o_, read_.mac, previous, back, kMoveResend,
                                Clock::now() + Seconds(o_.confirm), hooks_);
    const std::string at = d.found ? AddressText(d.where.address) : std::string();
    if (d.found && d.holds) {
        return Failed(kExitRefused, status,
                      why + "; the previous settings were restored; it answers at " + at + " again",
                      RollbackJson(reason, true, true, at, {}));
    }
    std::string message = why + "; the previous settings were sent back";
    if (!d.sent) {
        message = why + "; the previous settings could not be sent back: " + d.error;
    } else if (d.found && d.read) {
        message += ", but it holds other ones (" +
                   Joined(NamesOf(DifferingSettings(previous, SettingsOf(d.settings)))) +
                   "); it answers at " + at;
    } else if (d.found) {
        message += "; it answers at " + at + ", but its settings cannot be read";
    } else {
        message += (where_.links.empty() ? std::string(" to its last address only (it is not on a "
                                                       "network this PC can broadcast on)")
                                         : " by broadcast") +
                   ", but it does not answer at an address this PC reaches: 'dssetup rescue " +
                   mac + "' tries again";
    }
    return Failed(d.found ? kExitRefused : kExitNoAnswer, status, message,
                  RollbackJson(reason, d.sent, false, at, {}));
}

Result SetRun::AfterFailure(int status, const sockaddr_in &from) {
    const std::string reported = "the appliance reported " + StatusWords(status);
    // What the failed request left stored, read back where the appliance answered.
    Options quick = o_;
    quick.timeout = kReadTry;
    quick.tries = kReadTries;
    Target at;
    at.addr = from;
    SettingsInfo now;
    sockaddr_in ignored{};
    const bool read = ReadSettings(fd_, quick, at, &now, &ignored).ok && now.mac == read_.mac;
    const std::vector<Key> stored =
        read ? DifferingSettings(before_, SettingsOf(now)) : std::vector<Key>{};
    if (read && stored.empty()) {
        return Refused(status, "the settings were not stored and applied: " + reported +
                                   "; none of them was stored");
    }
    const std::vector<Key> late = NotAppliedAfter(status);
    std::vector<std::string> not_applied;
    for (Key k : stored) {
        if (Has(late, k)) {
            not_applied.emplace_back(InfoOf(k).name);
        }
    }
    const std::string left =
        !read ? std::string()
              : "; stored but not applied: " +
                    (not_applied.empty() ? std::string("none") : Joined(not_applied)) +
                    (not_applied.empty() ? "" : " (they take effect at its next start)");
    const std::string why =
        read ? reported + " after storing part of the settings (" + Joined(NamesOf(stored)) + ")"
             : reported + "; what it stored cannot be read back";
    if (o_.no_rollback) {
        return Failed(kExitRefused, status, (read ? reported : why) + left,
                      RollbackJson("failure", false, false, AddressText(from), not_applied));
    }
    Result r = PutBack("failure", why, status);
    if (!r.rollback["restored"].get<bool>()) {
        r.message += left;
        r.rollback["not_applied"] = not_applied;
    }
    r.exit = kExitRefused;
    return r;
}

// A change of the addressing: the answer awaited within the bound, the appliance confirmed
// where it answers, or the previous settings put back.
Result SetRun::Moved() {
    const bool dhcp = wanted_.dhcp_client;
    const auto until = sent_at_ + Seconds(o_.confirm);
    const double resend = o_.timeout_given ? o_.timeout : kMoveResend;
    bool early = false;
    Reply last;
    std::string error;
    Step(SetStep::kApplying);
    const bool answered = SendUntilAnswered(
        fd_, o_, where_, request_, resend, until, hooks_,
        dhcp ? "waiting for the appliance to answer"
             : "waiting for the appliance at its new address",
        [&](const Reply &r) {
            // In DHCP mode the first answer comes before the network restarts; a repeated
            // request is answered once it is done.
            if (dhcp && !early && ReplyStatus(r.data.data()) == 0) {
                early = true;
                Step(SetStep::kAccepted);
                Say("The appliance accepted the settings and now restarts its network to get an "
                    "address from a DHCP server.");
                Step(SetStep::kConfirming);
                return false;
            }
            last = r;
            return true;
        },
        &error);
    if (!error.empty()) {
        return NoAnswer(error + "; the settings were not sent");
    }
    const std::string bound = BoundText(o_.confirm);
    if (!answered) {
        return PutBack("cut off",
                       "the new settings cut it off: it did not answer at an address this PC "
                       "reaches within " +
                           bound,
                       std::nullopt);
    }
    answered_from_ = AddressText(last.from);
    const int status = ReplyStatus(last.data.data());
    if (status != 0) {
        return AfterFailure(status, last.from);
    }
    if (!dhcp) {
        Step(SetStep::kConfirming);
    }
    // It answered from where it is now: this PC must reach it there, by its MAC address, and
    // read its settings.
    if (!PathTo(pc_, HostAddress(answered_from_)).found) {
        return PutBack("cut off",
                       "the new settings cut it off: it answers from " + answered_from_ +
                           ", an address this PC has no route to",
                       0);
    }
    Located found;
    const bool seen =
        FindAgain(fd_, o_, read_.mac, &last.from, !where_.links.empty(),
                  std::max(until, Clock::now() + Seconds(kReadTry * kReadTries)), &found);
    if (!seen) {
        return PutBack("cut off",
                       "the new settings cut it off: it answered from " + answered_from_ +
                           ", but does not answer there",
                       0);
    }
    const std::string address = AddressText(found.address);
    Options quick = o_;
    quick.timeout = kReadTry;
    quick.tries = kReadTries;
    Target at;
    at.addr = found.address;
    SettingsInfo now;
    sockaddr_in from{};
    if (ReadSettings(fd_, quick, at, &now, &from).ok) {
        std::string ignored;
        KeepSettings(o_.cache_dir, now, address, &ignored);
        if (dhcp && mode_changed_ && now.dhcp_client && now.ip == proto::kDefaultIp &&
            now.netmask == proto::kDefaultNetmask && now.gateway == "0.0.0.0") {
            const std::string why =
                "no DHCP server gave it an address: it took its default "
                "address " +
                now.ip;
            if (o_.no_rollback) {
                return Failed(kExitRefused, 0,
                              why +
                                  "; the new settings are kept (--no-rollback); it answers "
                                  "at " +
                                  address,
                              RollbackJson("no DHCP address", false, false, address, {}));
            }
            return PutBack("no DHCP address", why, 0);
        }
    }
    return Success(address, true);
}

Result SetRun::Run(const Target &target) {
    // Everything the command line and the file say is checked before the appliance is asked.
    std::vector<Change> changes;
    Result refusal;
    if (!GatherChanges(o_, &changes, &refusal)) {
        return refusal;
    }
    std::vector<Problem> problems;
    auto refused = RefusedSettings;

    sockaddr_in address{};
    Step(SetStep::kReading);
    Result got = ReadSettings(fd_, o_, target, &read_, &address);
    if (!got.ok) {
        if (got.status.has_value()) {
            got.message =
                "the current settings cannot be read, so nothing was sent: the "
                "appliance reported " +
                StatusWords(*got.status);
        }
        return got;
    }
    std::string kept_error;
    if (!KeepSettings(o_.cache_dir, read_, AddressText(address), &kept_error)) {
        Say("Note: " + kept_error);
    }
    before_ = SettingsOf(read_);
    wanted_ = before_;
    if (!ApplyChanges(changes, before_, &wanted_, &problems)) {
        return refused(problems, "the settings were refused");
    }
    notes_ = ApplyImplied(changes, before_, &wanted_);
    problems = Validate(before_, wanted_);
    if (!problems.empty()) {
        return refused(problems, "the settings were refused");
    }
    const std::vector<Key> changed = ChangedKeys(before_, wanted_);
    changed_ = NamesOf(changed);
    const bool moves = Has(changed, Key::kMode) || Has(changed, Key::kIp) ||
                       Has(changed, Key::kNetmask) || Has(changed, Key::kGateway);
    mode_changed_ = Has(changed, Key::kMode);
    pc_ = ReadPcNetwork();
    where_ = WhereaboutsOf(pc_, o_, address);
    if (moves && !wanted_.dhcp_client && !o_.force) {
        problems = Warnings(address);
        if (!problems.empty()) {
            return refused(problems, "the new addressing would cut the appliance off");
        }
    }

    const std::string where = AddressText(address);
    Step(SetStep::kSending);
    for (const std::string &n : notes_) {
        Say("Note: " + n);
    }
    if (changed_.empty()) {
        Say("No setting differs from the current ones; sending them to " + where + " again.");
    } else {
        Say("Sending the settings to " + where + ", changed: " + Joined(changed_) + ".");
    }
    per_try_ = o_.timeout_given ? o_.timeout : kApplyTryWait;
    tries_ = o_.tries_given ? o_.tries : kApplyTries;
    request_ = EncodeWriteSettings(NextSequence(), read_.mac, wanted_);
    sent_at_ = Clock::now();
    if (moves) {
        Say("It must answer at an address this PC reaches within " + BoundText(o_.confirm) +
            (o_.no_rollback ? "." : ", or the previous settings are sent back."));
    }
    // In DHCP mode the appliance answers before it restarts its network (its address may
    // change), and tells a later failure only to a repeated request: followed as a move.
    if (moves || wanted_.dhcp_client) {
        return Moved();
    }

    Reply reply;
    std::string error;
    Step(SetStep::kApplying);
    if (!AwaitReply(fd_, o_, address, request_, per_try_, tries_, hooks_,
                    "waiting for the appliance to store and apply the settings", &reply, &error)) {
        if (!error.empty()) {
            return NoAnswer(error + "; the settings were not sent");
        }
        char total[32];
        std::snprintf(total, sizeof total, "%g s", per_try_ * tries_);
        return NoAnswer("no answer from " + TargetText(target) + " within " + total +
                        ": it may still be applying the settings");
    }
    answered_from_ = AddressText(reply.from);
    const int status = ReplyStatus(reply.data.data());
    if (status != 0) {
        return AfterFailure(status, reply.from);
    }
    return Success(answered_from_, false);
}

}  // namespace

Result Set(int fd, const Options &options, const Target &target, const SetHooks &hooks) {
    return SetRun(fd, options, hooks).Run(target);
}

}  // namespace dssetup
