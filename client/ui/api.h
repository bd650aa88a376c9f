// dssetup ui: what the setup page asks of the program, as JSON in and out. Every request
// about one appliance names it by its MAC address, which must be in the list; the work itself
// is done by the command line's session functions (read, set, password, printer), so that the
// page and the commands talk to the appliances, and check settings, in one way.
#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "client/args.h"
#include "client/ui/appliance_list.h"

namespace dssetup::ui {

// Sizes of request bodies the server takes.
inline constexpr std::size_t kMaxJsonBody = 64 * 1024;
inline constexpr std::size_t kMaxPrintBody = 8 * 1024 * 1024;

struct ApiReply {
    int status = 200;  // HTTP status
    std::string body;  // JSON
};

class Api {
  public:
    Api(const Options &options, ApplianceList &list);
    ~Api();  // waits for the appliances to answer settings that were sent
    Api(const Api &) = delete;
    Api &operator=(const Api &) = delete;

    // The keys of the form: names, labels, forms and groups (the table of client/settings.h).
    ApiReply Keys() const;
    // The list, and whether a search runs.
    ApiReply List() const;
    // Starts a search of the network (unless one runs).
    ApiReply Search();
    // {"address": "A.B.C.D"}: the user typed an address; what answers there joins the list.
    ApiReply Add(std::string_view body);
    // The settings of one appliance, read now.
    ApiReply Read(std::string_view mac);
    // {"changes": {"name": "X", ...}}: the rules of `dssetup set` applied to the settings last
    // read, nothing sent: problems, notes and the keys that would change.
    ApiReply Check(std::string_view mac, std::string_view body) const;
    // {"changes": {...}, "now": false}: `dssetup set` with these KEY=VALUE words, run in the
    // background; the reply names the job whose progress Job() tells.
    ApiReply Apply(std::string_view mac, std::string_view body);
    // A job's state; after the state numbered `after` (its "version"), once there is a newer
    // one or two seconds have passed (0: at once).
    ApiReply Job(std::string_view id, unsigned after = 0) const;
    // {"action": "set"|"verify", "password": "..."}: the password is wiped from `body` and
    // every copy made of it; it is never kept, written or sent anywhere but the appliance.
    ApiReply Password(std::string_view mac, std::string *body);
    ApiReply PrintTestPage(std::string_view mac);
    ApiReply Print(std::string_view mac, const std::string &data);

    // Settings sent, answers awaited.
    bool Applying() const;
    void WaitForJobs();

    struct JobState;

  private:
    static bool Done(JobState &job);
    bool Lookup(std::string_view mac, Appliance *found, ApiReply *refusal) const;
    Options OptionsFor(const Appliance &a) const;

    const Options options_;
    ApplianceList &list_;
    mutable std::mutex mutex_;
    unsigned next_job_ = 0;
    std::vector<std::shared_ptr<JobState>> jobs_;  // the latest, newest last
    std::vector<std::pair<std::shared_ptr<JobState>, std::thread>> threads_;
};

// The page's test print: plain text naming the appliance, ended by a form feed.
std::string TestPage(const Appliance &a, std::string_view printed_at);

}  // namespace dssetup::ui
