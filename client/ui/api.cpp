// dssetup ui: the requests of the setup page, carried out with the session functions.
#include "client/ui/api.h"

#include <arpa/inet.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>

#include "client/kept_settings.h"
#include "client/pc_network.h"
#include "client/session.h"
#include "client/settings.h"
#include "client/settings_json.h"
#include "protocol/protocol.h"

namespace dssetup::ui {

namespace {

using Json = nlohmann::ordered_json;

// The form's groups, as a person thinks of the settings, and the field of every key.
struct FormGroup {
    std::string_view id;
    std::string_view title;
};
constexpr FormGroup kGroups[] = {
    {"identity", "Identity"},       {"addressing", "Addressing"}, {"dhcp", "DHCP server"},
    {"windows", "Windows sharing"}, {"appletalk", "AppleTalk"},   {"clock", "Date and time"},
    {"zone", "Time zone"},
};
struct FormField {
    Key key;
    std::string_view group;
    std::string_view label;      // empty: the key's own label
    std::string_view help;       // what the setting does, for someone who sets it the first time
    std::string_view form = {};  // empty: the key's own form of a value
};
constexpr FormField kFields[] = {
    {Key::kName, "identity", "",
     "The appliance's name on the network: Windows computers list it by this name, and it is "
     "its host name."},
    {Key::kDescription, "identity", "", "Shown beside the name in the Windows network view."},
    {Key::kMode, "addressing", "",
     "Fixed address: the appliance always has the address below. From a DHCP server: a DHCP "
     "server of this network (often the router) gives it an address."},
    {Key::kIp, "addressing", "", ""},
    {Key::kNetmask, "addressing", "", "Most small networks use 255.255.255.0."},
    {Key::kGateway, "addressing", "",
     "The router to other networks and the Internet; 0.0.0.0 for none."},
    {Key::kDhcpServer, "dhcp", "",
     "On: the appliance gives addresses to the computers of this network. Turn it on only "
     "where nothing else (a router, usually) does."},
    {Key::kDhcpStart, "dhcp", "First address", "The addresses it gives, inside its own subnet."},
    {Key::kDhcpEnd, "dhcp", "Last address", ""},
    {Key::kWorkgroup, "windows", "",
     "The Windows workgroup the appliance is listed in; most networks use WORKGROUP."},
    {Key::kWins, "windows", "Use WINS",
     "WINS finds Windows computers by name across routers. Off is right for most networks: "
     "names are then found by broadcast on this network."},
    {Key::kWinsServer, "windows", "", "The address of the WINS server, used while WINS is on."},
    {Key::kZone, "appletalk", "",
     "The AppleTalk zone Macintosh computers find the appliance in. * is the network's default "
     "zone: keep it unless your network has zones."},
    {Key::kDate, "clock", "", "The appliance's date; it moves on while this page is open.",
     "month/day/year, MM/DD/YYYY"},
    {Key::kTime, "clock", "", "The appliance's time of day.", "HH:MM:SS, 24 hours"},
    {Key::kTimeZone, "zone", "Time zone number",
     "The appliance's time zone, by the number its own web administration gives it (0 as "
     "delivered). It does not change the date and time above.",
     "a whole number, -999 to 9999"},
};

// What a value looks like, in words: an address as an example rather than "A.B.C.D".
std::string FormOf(const FormField &f, const KeyInfo &k) {
    if (!f.form.empty()) {
        return std::string(f.form);
    }
    if (k.form.rfind("A.B.C.D", 0) == 0) {
        return "four numbers 0-255 with dots between, as in 192.168.0.2";
    }
    return std::string(k.form);
}

std::string Dump(const Json &j) {
    return JsonText(j);
}

ApiReply Answer(int status, const Json &j) {
    return {status, Dump(j)};
}

ApiReply HttpError(int status, const std::string &error) {
    return Answer(status, Json{{"ok", false}, {"error", error}});
}

// A JSON object of a request body; an empty one for an empty body.
bool ParseObject(std::string_view body, Json *j, ApiReply *refusal) {
    if (body.empty()) {
        *j = Json::object();
        return true;
    }
    *j = Json::parse(body.begin(), body.end(), nullptr, false);
    if (j->is_discarded() || !j->is_object()) {
        *refusal = HttpError(400, "the request is not a JSON object");
        return false;
    }
    return true;
}

// The "changes" of a request as `dssetup set` words: "name=X".
bool WordsOf(const Json &body, std::vector<std::string> *words, ApiReply *refusal) {
    if (!body.contains("changes")) {
        return true;
    }
    const Json &changes = body["changes"];
    if (!changes.is_object()) {
        *refusal = HttpError(400, "\"changes\" must be an object of key names and texts");
        return false;
    }
    for (const auto &[key, value] : changes.items()) {
        if (!value.is_string()) {
            *refusal = HttpError(400, "the value of \"" + key + "\" must be a text");
            return false;
        }
        words->push_back(key + "=" + value.get<std::string>());
    }
    return true;
}

bool FlagOf(const Json &body, const char *name) {
    return body.contains(name) && body[name].is_boolean() && body[name].get<bool>();
}

Json ProblemsJson(const std::vector<Problem> &problems) {
    Json list = Json::array();
    for (const Problem &p : problems) {
        list.push_back(Json{{"field", p.field}, {"message", p.message}});
    }
    return list;
}

std::string VersionText(const Appliance &a) {
    return a.version_known ? FormatVersion(a.version) : std::string();
}

Json ApplianceJson(const Appliance &a) {
    Json j;
    j["mac"] = ApplianceList::Key(a.mac);
    j["address"] = AddressText(a.address);
    j["name"] = a.status == 0 ? a.hostname : std::string();
    j["version"] = VersionText(a);
    j["password_set"] = a.password_set;
    j["status"] = a.status;
    j["status_text"] = a.status == 0 ? std::string() : StatusWords(a.status);
    j["typed"] = a.typed;
    j["answering"] = a.missed == 0 && (a.seen > 0 || a.typed);
    j["busy"] = a.busy;
    j["last_answer"] =
        a.last_answer == 0 ? Json(nullptr) : Json(static_cast<long long>(a.last_answer));
    j["note"] = a.note;
    j["note_at"] = a.note_at == 0 ? Json(nullptr) : Json(static_cast<long long>(a.note_at));
    return j;
}

// Where requests about an appliance go. One found by a search is found again by its MAC
// address, as the command line finds one named so (it may have moved); a typed one is asked at
// its address, after its answer there showed that it is still the same appliance. `where`
// (when given) is where it answered.
bool Reach(int fd, const Options &options, const Appliance &a, Target *target, std::string *error,
           Located *where = nullptr) {
    if (!a.typed) {
        target->by_mac = true;
        target->mac = a.mac;
        if (where == nullptr) {
            return true;  // the command finds it itself
        }
    } else {
        target->by_mac = false;
        target->addr = a.address;
        target->addr.sin_port = htons(options.port);
    }
    Located found;
    const Result r = Locate(fd, options, *target, &found);
    if (!r.ok) {
        *error = r.message;
        return false;
    }
    if (found.info.mac != a.mac) {
        *error = "at " + AddressText(a.address) + " another appliance answers now (" +
                 FormatMac(found.info.mac.data()) + ")";
        return false;
    }
    if (where != nullptr) {
        *where = found;
    }
    return true;
}

// A command's message for a person: each status of the appliance in it by its meaning alone
// ("reported that writing to the printer failed"), the numbers kept apart for *detail
// ("status -307").
std::string InWords(std::string message, std::string *detail) {
    auto replace = [&message](const std::string &from, const std::string &to) {
        bool found = false;
        for (std::size_t at = message.find(from); at != std::string::npos;
             at = message.find(from, at + to.size())) {
            message.replace(at, from.size(), to);
            found = true;
        }
        return found;
    };
    std::vector<int> codes;
    for (const proto::StatusText &t : proto::kStatusTexts) {
        const std::string number = std::to_string(t.code);
        const std::string meaning(t.text);
        bool found = replace("reported " + StatusWords(t.code), "reported that " + meaning);
        found = replace(StatusWords(t.code), meaning) || found;
        found = replace(" (status " + number + ")", "") || found;
        if (found && t.code != proto::kStOk) {
            codes.push_back(t.code);
        }
    }
    detail->clear();
    for (int code : codes) {
        *detail += (detail->empty() ? "status " : ", ") + std::to_string(code);
    }
    return message;
}

// A short command's result for the page: "ok", "message" (a sentence starting with a capital)
// or "error" (in words), the appliance's status as a number and as a "detail", and its data.
Json Outcome(const Result &r) {
    Json j = Json::object();
    j["ok"] = r.ok;
    std::string detail;
    std::string sentence = InWords(r.message, &detail);
    if (!sentence.empty() && sentence[0] >= 'a' && sentence[0] <= 'z') {
        sentence[0] = static_cast<char>(sentence[0] - 'a' + 'A');
    }
    j[r.ok ? "message" : "error"] = r.ok ? sentence + "." : sentence;
    j["status"] = r.status.has_value() ? Json(*r.status) : Json(nullptr);
    if (r.status.has_value() && *r.status != 0 && detail.empty()) {
        detail = "status " + std::to_string(*r.status);
    }
    j["detail"] = detail;
    if (r.ok) {
        for (const auto &[key, value] : r.data.items()) {
            j[key] = value;
        }
    }
    return j;
}

// A command's result as the page gets it: the JSON of `--json`, the status in words, and
// the message in words ("words") with the status numbers apart ("detail").
Json ResultOf(const Result &r) {
    Json j = Json::parse(ResultJson(r), nullptr, false);
    if (!j.is_object()) {
        j = Json{{"ok", r.ok}, {"message", r.message}};
    }
    j["status_text"] = r.status.has_value() ? StatusWords(*r.status) : std::string();
    std::string detail;
    j["words"] = InWords(r.message, &detail);
    if (r.status.has_value() && *r.status != 0 && detail.empty()) {
        detail = "status " + std::to_string(*r.status);
    }
    j["detail"] = detail;
    return j;
}

// A UDP socket closed with the guard.
class Socket {
  public:
    Socket(const Options &options, std::string *error) : fd_(OpenSocket(options, error)) {}
    ~Socket() {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    Socket(const Socket &) = delete;
    Socket &operator=(const Socket &) = delete;
    int fd() const { return fd_; }

  private:
    int fd_;
};

const char *PhaseName(SetStep step) {
    switch (step) {
        case SetStep::kReading:
            return "reading";
        case SetStep::kSending:
            return "sending";
        case SetStep::kApplying:
            return "applying";
        case SetStep::kAccepted:
            return "accepted";
        case SetStep::kConfirming:
            return "confirming";
        case SetStep::kRestoring:
            return "restoring";
        case SetStep::kFinding:
            return "finding";
    }
    return "reading";
}

// What a set of changes would do to the settings read: the steps and rules of `dssetup set`
// before it sends anything. Every problem at once: a value not of its field's form is a
// problem of that field, and the rules are checked on the others (a field with a problem of
// its own gets no second one). "changed" names every field that differs, the ones with a
// value that is not of its form included. New fixed addressing is also held against this
// PC's network as the appliance answers it at `address` ("warnings"); whether another host
// has the address is asked only when the settings are applied.
Json Evaluate(const SettingsInfo &read, const sockaddr_in &address,
              const std::vector<std::string> &words, bool now) {
    std::vector<Problem> problems;
    std::vector<Change> changes;
    if (now) {
        AddClockChanges(&changes);
    }
    ParseAssignments(words, &changes, &problems);
    auto has_problem = [&problems](std::string_view field) {
        return std::any_of(problems.begin(), problems.end(),
                           [field](const Problem &p) { return p.field == field; });
    };
    Json j;
    j["changed"] = Json::array();
    const Settings current = SettingsOf(read);
    Settings wanted = current;
    std::vector<Problem> warnings;
    // Each change parsed above takes.
    ApplyChanges(changes, current, &wanted, &problems);
    j["notes"] = ApplyImplied(changes, current, &wanted);
    for (Problem &p : Validate(current, wanted)) {
        if (!has_problem(p.field)) {
            problems.push_back(std::move(p));
        }
    }
    bool addressing = false;
    const std::vector<Key> differing = ChangedKeys(current, wanted);
    for (const KeyInfo &k : kKeys) {
        const bool differs =
            std::find(differing.begin(), differing.end(), k.key) != differing.end();
        if (differs || has_problem(k.name)) {
            j["changed"].push_back(std::string(k.name));
        }
        addressing = addressing || (differs && (k.key == Key::kMode || k.key == Key::kIp ||
                                                k.key == Key::kNetmask || k.key == Key::kGateway));
    }
    if (problems.empty() && addressing && !wanted.dhcp_client) {
        const PcNetwork pc = ReadPcNetwork();
        warnings =
            ReachProblems(pc, PathTo(pc, ntohl(address.sin_addr.s_addr)), HostAddress(wanted.ip),
                          HostAddress(wanted.netmask), HostAddress(wanted.gateway));
    }
    j["ok"] = problems.empty();
    j["problems"] = ProblemsJson(problems);
    j["warnings"] = ProblemsJson(warnings);
    return j;
}

}  // namespace

struct Api::JobState {
    std::mutex mutex;
    std::condition_variable changed;
    unsigned version = 1;  // counts the changes, for a page that waits for the next one
    Clock::time_point started = Clock::now();
    long long elapsed_ms = 0;  // from the start to the end
    std::string id;
    Mac mac{};
    std::string phase = "reading";
    std::vector<std::string> steps;  // every phase so far, in order
    std::string text;                // the wait so far, in words
    std::vector<std::string> lines;  // what `set` said
    bool done = false;
    Json result;          // what `dssetup set --json` prints
    bool found = false;   // found again afterwards, by its MAC address
    std::string address;  // where
    double left = -1;     // a moved appliance awaited: seconds left of the bound (-1: none)
    double bound = 0;
};

Api::Api(const Options &options, ApplianceList &list) : options_(options), list_(list) {}

Api::~Api() {
    WaitForJobs();
}

void Api::WaitForJobs() {
    std::vector<std::pair<std::shared_ptr<JobState>, std::thread>> threads;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        threads.swap(threads_);
    }
    for (auto &[job, thread] : threads) {
        thread.join();
    }
}

bool Api::Done(JobState &job) {
    std::lock_guard<std::mutex> lock(job.mutex);
    return job.done;
}

bool Api::Applying() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::any_of(jobs_.begin(), jobs_.end(),
                       [](const std::shared_ptr<JobState> &j) { return !Done(*j); });
}

bool Api::Lookup(std::string_view mac, Appliance *found, ApiReply *refusal) const {
    Mac m{};
    if (!ParseMac(mac, &m)) {
        *refusal = HttpError(400, "\"" + std::string(mac) + "\" is not a MAC address");
        return false;
    }
    // Only appliances of the list: the page cannot make this program talk to any other.
    if (!list_.Find(m, found)) {
        *refusal = HttpError(404, "no appliance " + FormatMac(m.data()) +
                                      " in the list: search again or type its address");
        return false;
    }
    return true;
}

Options Api::OptionsFor(const Appliance &a) const {
    Options o = options_;
    o.target = ApplianceList::Key(a.mac);
    o.json = false;
    return o;
}

ApiReply Api::Keys() const {
    Json groups = Json::array();
    for (const FormGroup &g : kGroups) {
        Json keys = Json::array();
        for (const FormField &f : kFields) {
            if (f.group == g.id) {
                keys.push_back(std::string(InfoOf(f.key).name));
            }
        }
        groups.push_back(Json{{"id", g.id}, {"title", g.title}, {"keys", keys}});
    }
    Json keys = Json::object();
    for (const FormField &f : kFields) {
        const KeyInfo &k = InfoOf(f.key);
        Json choices = Json::array();
        // "static|dhcp", "on|off": a choice of words.
        const std::string_view form = k.form;
        if (form.find('|') != std::string_view::npos && form.find(' ') == std::string_view::npos) {
            std::size_t from = 0;
            for (std::size_t bar = form.find('|'); from <= form.size();
                 from = bar + 1, bar = form.find('|', from)) {
                if (bar == std::string_view::npos) {
                    bar = form.size();
                }
                choices.push_back(std::string(form.substr(from, bar - from)));
            }
        }
        keys[std::string(k.name)] = Json{{"label", f.label.empty() ? k.label : f.label},
                                         {"form", FormOf(f, k)},
                                         {"help", f.help},
                                         {"json", k.json},
                                         {"choices", choices}};
    }
    // How long an appliance has to answer after a change of its addressing, for the page to
    // tell before it asks to apply such a change.
    return Answer(200, Json{{"groups", groups}, {"keys", keys}, {"confirm", options_.confirm}});
}

ApiReply Api::List() const {
    Json list = Json::array();
    for (const Appliance &a : list_.All()) {
        list.push_back(ApplianceJson(a));
    }
    return Answer(200, Json{{"searching", list_.Searching()},
                            {"searches", list_.Completed()},
                            {"appliances", list}});
}

ApiReply Api::Search() {
    const unsigned number = list_.Search();
    return Answer(202, Json{{"searching", true}, {"search", number}});
}

ApiReply Api::Add(std::string_view body) {
    Json j;
    ApiReply refusal;
    if (!ParseObject(body, &j, &refusal)) {
        return refusal;
    }
    if (!j.contains("address") || !j["address"].is_string()) {
        return HttpError(400, "\"address\" must be the appliance's IPv4 address");
    }
    Appliance added;
    std::string error;
    if (!list_.AddTyped(j["address"].get<std::string>(), &added, &error)) {
        return Answer(200, Json{{"ok", false}, {"error", error}});
    }
    list_.Search();  // its firmware version comes with the next search
    return Answer(200, Json{{"ok", true}, {"appliance", ApplianceJson(added)}});
}

ApiReply Api::Read(std::string_view mac) {
    Appliance a;
    ApiReply refusal;
    if (!Lookup(mac, &a, &refusal)) {
        return refusal;
    }
    const Options o = OptionsFor(a);
    std::string error;
    Socket socket(o, &error);
    Target target;
    if (socket.fd() < 0 || !Reach(socket.fd(), o, a, &target, &error)) {
        return Answer(200, Json{{"ok", false}, {"error", error}});
    }
    SettingsInfo info;
    sockaddr_in from{};
    const Result read = ReadSettings(socket.fd(), o, target, &info, &from);
    if (!read.ok && !read.status.has_value()) {
        return Answer(200, Json{{"ok", false}, {"error", read.message}});
    }
    if (info.status == 0 && info.mac != a.mac) {
        return Answer(
            200, Json{{"ok", false},
                      {"error", "at " + AddressText(from) + " another appliance answers now (" +
                                    FormatMac(info.mac.data()) + ")"}});
    }
    list_.Remember(info, from);
    std::string ignored;  // kept for a rescue, if the cache can be written
    KeepSettings(options_.cache_dir, info, AddressText(from), &ignored);
    Json values = Json::object();
    const Settings s = SettingsOf(info);
    for (const KeyInfo &k : kKeys) {
        values[std::string(k.name)] = ValueText(s, k.key);
    }
    Json j;
    j["ok"] = info.status == 0;
    j["status"] = info.status;
    j["status_text"] = StatusWords(info.status);
    if (info.status != 0) {
        // The fields after the failed step are zeros, not settings.
        j["error"] = read.message;
    }
    j["address"] = AddressText(from);
    j["settings"] = SettingsJson(info);
    j["values"] = values;
    return Answer(200, j);
}

ApiReply Api::Check(std::string_view mac, std::string_view body) const {
    Appliance a;
    ApiReply refusal;
    Json j;
    std::vector<std::string> words;
    if (!Lookup(mac, &a, &refusal) || !ParseObject(body, &j, &refusal) ||
        !WordsOf(j, &words, &refusal)) {
        return refusal;
    }
    if (!a.have_settings) {
        return HttpError(409, "the settings of " + ApplianceList::Key(a.mac) +
                                  " have not been read: read them first");
    }
    return Answer(200, Evaluate(a.settings, a.address, words, FlagOf(j, "now")));
}

ApiReply Api::Apply(std::string_view mac, std::string_view body) {
    Appliance a;
    ApiReply refusal;
    Json j;
    std::vector<std::string> words;
    if (!Lookup(mac, &a, &refusal) || !ParseObject(body, &j, &refusal) ||
        !WordsOf(j, &words, &refusal)) {
        return refusal;
    }
    if (list_.SetBusy(a.mac, true)) {
        return HttpError(409, "settings are being applied to " + ApplianceList::Key(a.mac) +
                                  " already: wait for its answer");
    }
    Options o = OptionsFor(a);
    o.command = Command::kSet;
    o.json = true;
    // The page's --timeout and --tries are for searches and reads: the write request keeps
    // the waits of `set` through the long apply.
    o.timeout_given = false;
    o.tries_given = false;
    o.assignments = words;
    o.now = FlagOf(j, "now");
    // The page asked again after its warnings were shown (the second confirmation).
    o.force = FlagOf(j, "force");
    auto job = std::make_shared<JobState>();
    job->mac = a.mac;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        job->id = std::to_string(++next_job_);
        jobs_.push_back(job);
        // The latest jobs are kept for the page to ask about; older finished ones go, and
        // the threads of finished ones are joined.
        constexpr std::size_t kKeep = 16;
        while (jobs_.size() > kKeep && Done(*jobs_.front())) {
            jobs_.erase(jobs_.begin());
        }
        for (auto it = threads_.begin(); it != threads_.end();) {
            if (Done(*it->first)) {
                it->second.join();
                it = threads_.erase(it);
            } else {
                ++it;
            }
        }
    }
    std::lock_guard<std::mutex> lock(mutex_);
    threads_.emplace_back(job, [this, job, a, o] {
        std::string error;
        Socket socket(o, &error);
        Target target;
        Json result;
        // Each change of the job is told to a page that waits for it.
        auto update = [&job](auto change) {
            std::lock_guard<std::mutex> job_lock(job->mutex);
            change(*job);
            ++job->version;
            job->changed.notify_all();
        };
        auto phase = [&update](const char *name) {
            update([name](JobState &state) {
                state.phase = name;
                state.steps.push_back(state.phase);
                state.text.clear();
                state.left = -1;
            });
        };
        if (socket.fd() < 0 || !Reach(socket.fd(), o, a, &target, &error)) {
            result = ResultOf(NoAnswer(error));
        } else {
            SetHooks hooks;
            hooks.step = [&phase](SetStep step) { phase(PhaseName(step)); };
            hooks.say = [&update](const std::string &line) {
                update([&line](JobState &state) { state.lines.push_back(line); });
            };
            hooks.progress = [&update](const std::string &line) {
                update([&line](JobState &state) { state.text = line; });
            };
            hooks.countdown = [&update](double left, double bound) {
                update([left, bound](JobState &state) {
                    state.left = left;
                    state.bound = bound;
                });
            };
            list_.Hold(true);
            result = ResultOf(Set(socket.fd(), o, target, hooks));
            list_.Hold(false);
        }
        // Where `set` found it, or where its answer to the settings came from, is where the
        // appliance is now. After the previous settings were sent back, what became of it is
        // in the result.
        const bool put_back = result.contains("rollback") && result["rollback"].is_object();
        const Json none;
        const Json &from_text = put_back ? result["rollback"]["address"]
                                : result.contains("address") && result["address"].is_string()
                                    ? result["address"]
                                : result.contains("answered_from") ? result["answered_from"]
                                                                   : none;
        Located where;
        bool found = false;
        in_addr answered{};
        if (from_text.is_string() && ParseIpv4(from_text.get<std::string>(), &answered)) {
            where.address.sin_family = AF_INET;
            where.address.sin_addr = answered;
            where.address.sin_port = htons(o.port);
            found = true;
            list_.MovedTo(a.mac, where.address);
        }
        if (put_back) {
            list_.SetNote(a.mac, result["rollback"]["restored"].get<bool>() ? "restored"
                                 : found                                    ? "other settings"
                                                                            : "not answering");
        } else if (result.value("ok", false)) {
            list_.SetNote(a.mac, "");
        }
        // Otherwise it is looked for by its MAC address, as a search would (a typed one is
        // asked at its address first).
        if (!found && !put_back && socket.fd() >= 0) {
            phase("finding");
            Options find = o;
            find.tries = 2;
            if (a.typed) {
                Target at;
                at.addr = a.address;
                at.addr.sin_port = htons(o.port);
                found = Locate(socket.fd(), find, at, &where).ok && where.info.mac == a.mac;
            }
            if (!found && list_.broadcast()) {
                Target by_mac;
                by_mac.by_mac = true;
                by_mac.mac = a.mac;
                found = Locate(socket.fd(), find, by_mac, &where).ok;
            }
        }
        const sockaddr_in &from = where.address;
        if (found && !from_text.is_string()) {
            list_.Moved(where.info, from);
        }
        list_.SetBusy(a.mac, false);
        std::lock_guard<std::mutex> job_lock(job->mutex);
        job->result = result;
        job->found = found;
        job->address = found ? AddressText(from) : std::string();
        job->phase = "done";
        job->steps.push_back(job->phase);
        job->text.clear();
        job->done = true;
        job->elapsed_ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - job->started)
                .count();
        ++job->version;
        job->changed.notify_all();
    });
    return Answer(202, Json{{"job", job->id}});
}

ApiReply Api::Job(std::string_view id, unsigned after) const {
    std::shared_ptr<JobState> job;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const auto &j : jobs_) {
            if (j->id == id) {
                job = j;
            }
        }
    }
    if (!job) {
        return HttpError(404, "no job " + std::string(id));
    }
    std::unique_lock<std::mutex> lock(job->mutex);
    // A page that saw state `after` hears of the next change as it happens, without asking
    // again and again.
    job->changed.wait_for(lock, std::chrono::seconds(2), [&] { return job->version > after; });
    Json j;
    j["job"] = job->id;
    j["version"] = job->version;
    j["mac"] = ApplianceList::Key(job->mac);
    j["done"] = job->done;
    j["phase"] = job->phase;
    j["steps"] = job->steps;
    j["text"] = job->text;
    j["lines"] = job->lines;
    if (job->left >= 0 && !job->done) {
        j["countdown"] = Json{{"left", job->left}, {"bound", job->bound}};
    }
    if (job->done) {
        j["result"] = job->result;
        j["elapsed_ms"] = job->elapsed_ms;
        j["found"] = job->found;
        j["address"] = job->address;
    } else {
        // While it restarts its network, the searches of the page may find it elsewhere.
        Appliance a;
        j["address"] = list_.Find(job->mac, &a) ? AddressText(a.address) : std::string();
    }
    return Answer(200, j);
}

ApiReply Api::Password(std::string_view mac, std::string *body) {
    Appliance a;
    ApiReply refusal;
    Json j;
    const bool parsed = ParseObject(*body, &j, &refusal);
    std::fill(body->begin(), body->end(), '\0');
    std::string password;
    std::string action;
    if (parsed && j.contains("password") && j["password"].is_string()) {
        std::string &held = j["password"].get_ref<std::string &>();
        password.swap(held);
    }
    if (parsed && j.contains("action") && j["action"].is_string()) {
        action = j["action"].get<std::string>();
    }
    auto wipe = [&password] { std::fill(password.begin(), password.end(), '\0'); };
    if (!parsed || !Lookup(mac, &a, &refusal)) {
        wipe();
        return refusal;
    }
    if (action != "set" && action != "verify" && action != "remove") {
        wipe();
        return HttpError(400, "\"action\" must be \"set\", \"remove\" or \"verify\"");
    }
    // Removing the password is asked for by its own name: an empty "set" is refused, so that
    // a form sent empty by mistake removes nothing.
    if (action == "set" && password.empty()) {
        return Answer(200, Json{{"ok", false},
                                {"error",
                                 "type the new password (to remove the password, "
                                 "remove it)"}});
    }
    if (action == "remove" && !password.empty()) {
        wipe();
        return HttpError(400, "\"remove\" takes no password");
    }
    if (const std::string problem = PasswordProblem(password); !problem.empty()) {
        wipe();
        return Answer(200, Json{{"ok", false}, {"error", problem}});
    }
    const Options o = OptionsFor(a);
    std::string error;
    Socket socket(o, &error);
    Target target;
    Located where;
    if (socket.fd() < 0 || !Reach(socket.fd(), o, a, &target, &error, &where)) {
        wipe();
        return Answer(200, Json{{"ok", false}, {"error", error}});
    }
    const bool verify = action == "verify";
    const bool had_one = !password.empty();
    const Result r = SendPassword(socket.fd(), o, where, !verify, password);
    wipe();
    Json out = Outcome(r);
    // What the appliance has now, for the list and the page's details alike.
    if (r.ok) {
        list_.SetPasswordSet(a.mac, had_one);
        out["password_set"] = had_one;
    }
    if (verify && r.status == proto::kStNotVerified) {
        out["error"] = "That is not the appliance's password.";
    }
    return Answer(200, out);
}

std::string TestPage(const Appliance &a, std::string_view printed_at) {
    std::string page;
    page += "dssetup test page\r\n\r\n";
    page += "Appliance:    " + a.hostname + "\r\n";
    page += "MAC address:  " + ApplianceList::Key(a.mac) + "\r\n";
    page += "Address:      " + AddressText(a.address) + "\r\n";
    page += "Printed at:   " + std::string(printed_at) + "\r\n\r\n";
    page += "The appliance's printer port works when this page comes out whole.\r\n";
    page += "\f";
    return page;
}

ApiReply Api::PrintTestPage(std::string_view mac) {
    Appliance a;
    ApiReply refusal;
    if (!Lookup(mac, &a, &refusal)) {
        return refusal;
    }
    const time_t t = ::time(nullptr);
    std::tm local{};
    localtime_r(&t, &local);
    char when[64];
    std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", &local);
    return Print(mac, TestPage(a, when));
}

ApiReply Api::Print(std::string_view mac, const std::string &data) {
    Appliance a;
    ApiReply refusal;
    if (!Lookup(mac, &a, &refusal)) {
        return refusal;
    }
    if (data.empty()) {
        return HttpError(400, "nothing to print: the file is empty");
    }
    if (data.size() > kMaxPrintBody) {
        return HttpError(413, "a file to print has at most 8 MiB");
    }
    const Options o = OptionsFor(a);
    std::string error;
    Socket socket(o, &error);
    Target target;
    if (socket.fd() < 0 || !Reach(socket.fd(), o, a, &target, &error)) {
        return Answer(200, Json{{"ok", false}, {"error", error}});
    }
    const Bytes bytes(data.begin(), data.end());
    return Answer(200, Outcome(dssetup::Print(socket.fd(), o, target, bytes)));
}

}  // namespace dssetup::ui
