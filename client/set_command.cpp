// dssetup set: read the current settings, change what was asked, check the result, send the
// complete set and wait through the appliance's long apply.
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <nlohmann/json.hpp>

#include "client/session.h"
#include "client/settings.h"
#include "client/settings_json.h"

namespace dssetup {

namespace {

using Json = nlohmann::ordered_json;

// The write request is answered once the appliance has restarted its network and services.
// A failing DHCP attempt there takes two network restarts, their waits and the fallback
// addressing before Samba and AppleTalk restart; 18 sends 10 s apart outlast that by far.
constexpr double kApplyTryWait = 10.0;
constexpr int kApplyTries = 18;

// One line on the terminal, rewritten while dssetup waits.
class Progress {
  public:
    Progress(std::FILE *err, bool on) : err_(err), on_(on) {}
    ~Progress() { Clear(); }
    void Show(const std::string &text) {
        if (!on_ || (shown_ && text == last_)) {
            return;
        }
        last_ = text;
        std::fprintf(err_, "\r%s\033[K", text.c_str());
        std::fflush(err_);
        shown_ = true;
    }
    void Clear() {
        if (shown_) {
            std::fputs("\r\033[K", err_);
            std::fflush(err_);
            shown_ = false;
        }
    }

  private:
    std::FILE *err_;
    bool on_;
    bool shown_ = false;
    std::string last_;
};

// Sends the request and waits for its reply, sending it again with the same sequence number
// every `per_try` seconds, `tries` sends in all; the appliance answers a repeated request from
// its stored reply without running it again. The reply may come from any address: by the
// time it answers the appliance can have a new one, and only the appliance that received this
// request can echo its command and sequence number to this socket.
bool AwaitReply(int fd, const Options &options, const sockaddr_in &to, const Bytes &request,
                double per_try, int tries, Progress &progress, const std::string &what,
                Reply *reply) {
    const proto::SetupHeader h = proto::GetHeader(request.data());
    const auto start = Clock::now();
    for (int attempt = 0; attempt < tries; ++attempt) {
        Send(fd, options, &to, request);
        const auto deadline = Clock::now() + Seconds(per_try);
        for (;;) {
            const auto waited =
                std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - start).count();
            progress.Show(what + ": " + std::to_string(waited) + " s" +
                          (attempt > 0 ? " (sent " + std::to_string(attempt + 1) + " times)" : ""));
            const auto step = std::min(deadline, Clock::now() + std::chrono::seconds(1));
            if (!ReceiveUntil(fd, step, reply)) {
                if (Clock::now() >= deadline) {
                    break;
                }
                continue;
            }
            if (IsReplyTo(reply->data.data(), reply->data.size(), h.command, h.sequence)) {
                progress.Clear();
                return true;
            }
        }
    }
    progress.Clear();
    return false;
}

struct Outcome {
    bool ok = false;
    int status = 0;
    std::string error;              // for people, when !ok
    std::vector<Problem> problems;  // settings refused before anything was sent
    std::vector<std::string> changed;
    std::vector<std::string> notes;
    bool sent = false;
    bool dhcp = false;
    int early_status = 0;
    std::string outcome;  // DHCP mode: "finished", "failed" or "unknown"
};

int Finish(const Options &options, std::FILE *out, std::FILE *err, const Outcome &r, int rc) {
    if (options.json) {
        Json j;
        j["ok"] = r.ok;
        j["command"] = "set";
        if (r.sent) {
            j["status"] = r.status;
            j["status_text"] = std::string(proto::StatusMeaning(r.status));
            j["mode"] = r.dhcp ? "dhcp" : "static";
            if (r.dhcp) {
                j["early_status"] = r.early_status;
                j["outcome"] = r.outcome;
            }
            j["changed"] = r.changed;
        }
        if (!r.notes.empty()) {
            j["notes"] = r.notes;
        }
        if (!r.ok) {
            j["error"] = r.error;
        }
        if (!r.problems.empty()) {
            Json list = Json::array();
            for (const Problem &p : r.problems) {
                list.push_back(Json{{"field", p.field}, {"message", p.message}});
            }
            j["problems"] = list;
        }
        std::fputs((j.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n").c_str(), out);
        return rc;
    }
    for (const Problem &p : r.problems) {
        std::fprintf(err, "dssetup set: %s%s%s\n", p.field.c_str(), p.field.empty() ? "" : ": ",
                     p.message.c_str());
    }
    if (!r.ok && r.problems.empty()) {
        std::fprintf(err, "dssetup set: %s\n", r.error.c_str());
    }
    return rc;
}

std::string Joined(const std::vector<std::string> &words) {
    std::string out;
    for (const std::string &w : words) {
        out += (out.empty() ? "" : ", ") + w;
    }
    return out;
}

}  // namespace

int Set(int fd, const Options &options, const Target &target, std::FILE *out, std::FILE *err) {
    Outcome r;
    // Everything the command line and the file say is checked before the appliance is asked.
    std::vector<Change> changes;
    if (!options.from.empty()) {
        Bytes data;
        if (!ReadAll(options.from, &data)) {
            r.error = "cannot read " + options.from + ": " + strerror(errno);
            return Finish(options, out, err, r, 2);
        }
        const std::string text(data.begin(), data.end());
        if (!ParseSettingsJson(text, &changes, &r.problems)) {
            r.error = "the settings of " + options.from + " cannot be used";
            return Finish(options, out, err, r, 2);
        }
    }
    if (options.now) {
        const time_t now = ::time(nullptr);
        std::tm local{};
        localtime_r(&now, &local);
        Change date{Key::kDate, "", false}, time{Key::kTime, "", false};
        ClockTexts(local, &date.value, &time.value);
        changes.push_back(date);
        changes.push_back(time);
    }
    for (const std::string &word : options.assignments) {
        Change c;
        Problem p;
        Settings scratch;
        if (!ParseAssignment(word, &c, &p) || !ParseValue(&scratch, c.key, c.value, &p)) {
            r.problems.push_back(p);
            continue;
        }
        changes.push_back(c);
    }
    if (!r.problems.empty()) {
        r.error = "nothing was sent";
        return Finish(options, out, err, r, 2);
    }

    SettingsInfo read;
    sockaddr_in address{};
    if (!ReadSettingsOf(fd, options, target, &read, &address)) {
        r.error = NoReply(options.target);
        return Finish(options, out, err, r, 1);
    }
    if (read.status != 0) {
        r.error = "the current settings cannot be read: the appliance reported " +
                  StatusWords(read.status);
        return Finish(options, out, err, r, 1);
    }
    const Settings current = SettingsOf(read);
    Settings wanted = current;
    if (!ApplyChanges(changes, current, &wanted, &r.problems)) {
        r.error = "nothing was sent";
        return Finish(options, out, err, r, 2);
    }
    r.notes = ApplyImplied(changes, current, &wanted);
    r.problems = Validate(current, wanted);
    if (!r.problems.empty()) {
        r.error = "nothing was sent";
        return Finish(options, out, err, r, 2);
    }
    for (Key k : ChangedKeys(current, wanted)) {
        r.changed.emplace_back(InfoOf(k).name);
    }
    r.dhcp = wanted.dhcp_client;

    const bool talk = !options.json;
    const std::string where = AddressText(address);
    if (talk) {
        for (const std::string &n : r.notes) {
            std::fprintf(out, "Note: %s\n", n.c_str());
        }
        if (r.changed.empty()) {
            std::fprintf(out,
                         "No setting differs from the current ones; sending them to %s again.\n",
                         where.c_str());
        } else {
            std::fprintf(out, "Sending the settings to %s (changed: %s).\n", where.c_str(),
                         Joined(r.changed).c_str());
        }
        std::fflush(out);
    }
    const double per_try = options.timeout_given ? options.timeout : kApplyTryWait;
    const int tries = options.tries_given ? options.tries : kApplyTries;
    const double total = per_try * tries;
    Progress progress(err, talk && isatty(fileno(err)) != 0);
    const Bytes request = EncodeWriteSettings(NextSequence(), read.mac, wanted);
    r.sent = true;
    Reply reply;
    if (!AwaitReply(fd, options, address, request, per_try, tries, progress,
                    "waiting for the appliance to store and apply the settings", &reply)) {
        char text[160];
        std::snprintf(text, sizeof text,
                      "no answer from %s within %.0f s: it may still be applying the settings, "
                      "or have a new address (dssetup discover finds it)",
                      options.target.c_str(), total);
        r.error = text;
        r.outcome = "unknown";
        return Finish(options, out, err, r, 1);
    }
    r.status = ReplyStatus(reply.data.data());
    if (!r.dhcp || r.status != 0) {
        r.ok = r.status == 0;
        r.early_status = r.status;
        r.outcome = r.ok ? "finished" : "failed";
        if (r.ok && talk) {
            std::fputs("The appliance stored and applied the settings (status 0, success).\n", out);
        }
        r.error = "the appliance reported " + StatusWords(r.status);
        return Finish(options, out, err, r, r.ok ? 0 : 1);
    }

    // DHCP mode: the appliance answered before it restarts its network. Asking once more gets
    // its last reply when it is done: the early one when all went well, else its failure.
    r.early_status = 0;
    if (talk) {
        std::fputs(
            "The appliance accepted the settings (status 0, success) and now restarts its "
            "network to get an address from a DHCP server.\n",
            out);
        std::fflush(out);
    }
    Reply last;
    if (!AwaitReply(fd, options, address, request, per_try, tries, progress,
                    "waiting for a possible failure report", &last)) {
        r.ok = true;
        r.outcome = "unknown";
        if (talk) {
            std::fprintf(out,
                         "No further answer within %.0f s: no failure was reported, but the "
                         "appliance may have an address this PC cannot reach (dssetup discover "
                         "finds it).\n",
                         total);
        }
        return Finish(options, out, err, r, 0);
    }
    r.status = ReplyStatus(last.data.data());
    r.ok = r.status == 0;
    r.outcome = r.ok ? "finished" : "failed";
    if (r.ok) {
        if (talk) {
            std::fprintf(out,
                         "The appliance finished applying the settings without a failure; "
                         "it answered from %s.\n",
                         AddressText(last.from).c_str());
        }
        return Finish(options, out, err, r, 0);
    }
    r.error = "after its first answer the appliance reported " + StatusWords(r.status);
    return Finish(options, out, err, r, 1);
}

}  // namespace dssetup
