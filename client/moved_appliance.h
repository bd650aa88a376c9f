// dssetup: settings that may move an appliance to an address this PC cannot reach: sent so
// that they reach it wherever it is (to its last address and by broadcast to its MAC address),
// its answer awaited within a bound, the appliance found again by its MAC address, and
// settings put back. Used by `set` (the check after a change of addressing, the way back) and
// `rescue`.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "client/pc_network.h"
#include "client/session.h"
#include "client/settings.h"

namespace dssetup {

// Where requests for one appliance go: to its last known address, and by broadcast out of
// `links` (none when it is reached through a router or this PC's loopback: a broadcast does
// not get there).
struct Whereabouts {
    bool have_address = false;
    sockaddr_in address{};
    std::vector<PcInterface> links;
};

// The whereabouts of an appliance that answered at `address`: the interface this PC reaches
// it through (or the one named by the options).
Whereabouts WhereaboutsOf(const PcNetwork &pc, const Options &options, const sockaddr_in &address);

// Sends `request` where `w` says, and again every `resend` seconds until `until`, showing the
// wait through the hooks (`what`: what is awaited); each reply to it is handed to `answered`,
// which says whether it ends the wait. false when none did, with *error when nothing could be
// sent at all.
bool SendUntilAnswered(int fd, const Options &options, const Whereabouts &w, const Bytes &request,
                       double resend, Clock::time_point until, const SetHooks &hooks,
                       const std::string &what,
                       const std::function<bool(const Reply &reply)> &answered, std::string *error);

// Finds the appliance `mac` again before `until`: at `hint` (where it last answered; may be
// null) and, when `broadcast`, by an identify broadcast.
bool FindAgain(int fd, const Options &options, const Mac &mac, const sockaddr_in *hint,
               bool broadcast, Clock::time_point until, Located *where);

// What sending a complete set of settings to an appliance wherever it is came to.
struct Delivered {
    bool sent = false;      // it went out
    bool answered = false;  // the appliance answered it
    int status = 0;         // ... with this status
    bool found = false;     // found again afterwards
    Located where;
    bool read = false;  // its settings read there
    SettingsInfo settings;
    bool holds = false;  // and they are the ones sent (date, time and leases aside)
    std::string error;   // why nothing went out
};
Delivered Deliver(int fd, const Options &options, const Mac &mac, const Settings &settings,
                  const Whereabouts &w, double resend, Clock::time_point until,
                  const SetHooks &hooks);

}  // namespace dssetup
