// dssetup set: read the current settings, change what was asked, check the result, send the
// complete set and wait through the appliance's long apply.
#include <time.h>

#include <cerrno>
#include <cstring>

#include "client/result.h"
#include "client/session.h"
#include "client/settings.h"
#include "client/settings_json.h"

namespace dssetup {

namespace {

// The write request is answered once the appliance has restarted its network and services.
// The longest it takes: the settings file's lock (about 9 s, twice), the time-zone script (the
// agent allows it 180 s), and a failing DHCP attempt (two network restarts with their waits,
// then the fallback addressing) before Samba and AppleTalk restart. 24 sends 10 s apart
// outlast that.
constexpr double kApplyTryWait = 10.0;
constexpr int kApplyTries = 24;

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

std::string Joined(const std::vector<std::string> &words) {
    std::string out;
    for (const std::string &w : words) {
        out += (out.empty() ? "" : ", ") + w;
    }
    return out;
}

}  // namespace

Result Set(int fd, const Options &options, const Target &target, const SetHooks &hooks) {
    auto say = [&hooks](const std::string &line) {
        if (hooks.say) {
            hooks.say(line);
        }
    };
    // Values refused before anything was sent: the one problem, or how many there are.
    auto refused = [](std::vector<Problem> problems, const std::string &why) {
        std::string message = why + "; nothing was sent";
        if (problems.size() == 1) {
            const Problem &p = problems[0];
            message = (p.field.empty() ? "" : p.field + ": ") + p.message + "; nothing was sent";
        } else if (problems.size() > 1) {
            message = why + ": " + std::to_string(problems.size()) + " problems; nothing was sent";
        }
        Result r = Usage(message);
        r.problems = std::move(problems);
        return r;
    };
    // Everything the command line and the file say is checked before the appliance is asked.
    std::vector<Change> changes;
    std::vector<Problem> problems;
    if (!options.from.empty()) {
        Bytes data;
        if (!ReadAll(options.from, &data)) {
            return Usage("cannot read " + options.from + ": " + strerror(errno));
        }
        const std::string text(data.begin(), data.end());
        if (!ParseSettingsJson(text, &changes, &problems)) {
            return refused(problems, "the settings of " + options.from + " cannot be used");
        }
    }
    if (options.now) {
        AddClockChanges(&changes);
    }
    ParseAssignments(options.assignments, &changes, &problems);
    if (!problems.empty()) {
        return refused(problems, "the settings were refused");
    }

    auto step = [&hooks](SetStep s) {
        if (hooks.step) {
            hooks.step(s);
        }
    };
    SettingsInfo read;
    sockaddr_in address{};
    step(SetStep::kReading);
    Result got = ReadSettings(fd, options, target, &read, &address);
    if (!got.ok) {
        if (got.status.has_value()) {
            got.message =
                "the current settings cannot be read, so nothing was sent: the "
                "appliance reported " +
                StatusWords(*got.status);
        }
        return got;
    }
    const Settings current = SettingsOf(read);
    Settings wanted = current;
    if (!ApplyChanges(changes, current, &wanted, &problems)) {
        return refused(problems, "the settings were refused");
    }
    const std::vector<std::string> notes = ApplyImplied(changes, current, &wanted);
    problems = Validate(current, wanted);
    if (!problems.empty()) {
        return refused(problems, "the settings were refused");
    }
    std::vector<std::string> changed;
    for (Key k : ChangedKeys(current, wanted)) {
        changed.emplace_back(InfoOf(k).name);
    }
    const bool dhcp = wanted.dhcp_client;

    const std::string where = AddressText(address);
    step(SetStep::kSending);
    for (const std::string &n : notes) {
        say("Note: " + n);
    }
    if (changed.empty()) {
        say("No setting differs from the current ones; sending them to " + where + " again.");
    } else {
        say("Sending the settings to " + where + ", changed: " + Joined(changed) + ".");
    }
    const double per_try = options.timeout_given ? options.timeout : kApplyTryWait;
    const int tries = options.tries_given ? options.tries : kApplyTries;
    char total[32];
    std::snprintf(total, sizeof total, "%g s", per_try * tries);
    const Bytes request = EncodeWriteSettings(NextSequence(), read.mac, wanted);
    auto success = [&](const std::string &message, const std::string &outcome,
                       const std::string &from) {
        Result r = Succeeded(message, 0);
        r.data["mode"] = dhcp ? "dhcp" : "static";
        r.data["changed"] = changed;
        r.data["notes"] = notes;
        r.data["outcome"] = outcome;
        r.data["answered_from"] = from.empty() ? Json(nullptr) : Json(from);
        return r;
    };
    Reply reply;
    std::string error;
    step(SetStep::kApplying);
    if (!AwaitReply(fd, options, address, request, per_try, tries, hooks,
                    "waiting for the appliance to store and apply the settings", &reply, &error)) {
        if (!error.empty()) {
            return NoAnswer(error + "; the settings were not sent");
        }
        return NoAnswer("no answer from " + TargetText(target) + " within " + total +
                        ": it may still be applying the settings, or have a new address, "
                        "which dssetup discover finds");
    }
    const int status = ReplyStatus(reply.data.data());
    if (status != 0) {
        return Refused(status,
                       "the settings were not all stored and applied: the appliance reported " +
                           StatusWords(status));
    }
    if (!dhcp) {
        Result r = success("the appliance stored and applied the settings", "finished",
                           AddressText(reply.from));
        r.text = "The appliance stored and applied the settings.\n";
        return r;
    }

    // DHCP mode: the appliance answered before it restarts its network. Asking once more gets
    // its last reply when it is done: the early one when all went well, else its failure.
    step(SetStep::kAccepted);
    say("The appliance accepted the settings and now restarts its network to get an address "
        "from a DHCP server.");
    Reply last;
    step(SetStep::kConfirming);
    if (!AwaitReply(fd, options, address, request, per_try, tries, hooks,
                    "waiting for a possible failure report", &last, &error)) {
        Result r = success(
            "the appliance accepted the settings and reported no failure, but no "
            "further answer came within " +
                std::string(total) +
                ": it may have an address this PC cannot reach, which dssetup "
                "discover finds",
            "unknown", "");
        r.text = "No further answer within " + std::string(total) +
                 ": no failure was reported, but the appliance may have an address this PC "
                 "cannot reach; dssetup discover finds it.\n";
        return r;
    }
    const int final_status = ReplyStatus(last.data.data());
    if (final_status != 0) {
        return Refused(final_status, "after its first answer the appliance reported " +
                                         StatusWords(final_status));
    }
    const std::string from = AddressText(last.from);
    Result r = success(
        "the appliance finished applying the settings without a failure; it answered from " + from,
        "finished", from);
    r.text = "The appliance finished applying the settings without a failure; it answered from " +
             from + ".\n";
    return r;
}

}  // namespace dssetup
