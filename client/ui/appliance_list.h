// dssetup ui: the appliances the setup page lists: found by searches of the network (identify
// broadcasts, each appliance's firmware version read once) or at an address the user typed.
// Every other request of the page names an appliance of this list by its MAC address and goes
// only where the list says it is. An appliance stays in the list once found: one that stops
// answering is marked so, with the time of its last answer.
#pragma once

#include <netinet/in.h>

#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "client/args.h"
#include "client/session.h"
#include "client/wire.h"

namespace dssetup::ui {

struct Appliance {
    Mac mac{};
    sockaddr_in address{};  // where it answered last
    std::string hostname;
    bool password_set = false;
    int status = 0;  // of its identify answer
    bool version_known = false;
    std::uint16_t version = 0;
    bool typed = false;           // added at an address the user typed (not by a search)
    unsigned seen = 0;            // the last search it answered (typed: 0 until one did)
    unsigned missed = 0;          // searches since it last answered
    bool busy = false;            // settings are being applied
    std::time_t last_answer = 0;  // this PC's time of its last answer (0: none yet)
    std::string note;             // what the last apply left ("restored", ...); empty: nothing
    std::time_t note_at = 0;
    bool have_settings = false;
    SettingsInfo settings;  // as last read, the current values the page's checks start from
};

class ApplianceList {
  public:
    // Searches with options.timeout, options.interface and options.port: identify broadcasts
    // and requests to typed addresses, or (broadcast false, as in tests on this machine's
    // loopback) the typed addresses alone.
    explicit ApplianceList(const Options &options, bool broadcast = true);
    ~ApplianceList();
    ApplianceList(const ApplianceList &) = delete;
    ApplianceList &operator=(const ApplianceList &) = delete;

    // Starts a search unless one runs; the number of the search that runs now.
    unsigned Search();
    // Waits for the end of search `number` (tests, start-up).
    void WaitFor(unsigned number);
    bool Searching() const;
    bool broadcast() const { return broadcast_; }
    unsigned Completed() const;

    // Every appliance, in the order of their MAC addresses: at most kMaxAppliances (an
    // appliance of another MAC address that answers then is not added).
    std::vector<Appliance> All() const;
    bool Find(const Mac &mac, Appliance *found) const;

    // The user typed an address: asks what answers there and adds it. false with *error when
    // nothing answered, the address is not one to send to, or the list is full.
    bool AddTyped(const std::string &text, Appliance *added, std::string *error);

    // After a read of the settings, or an identify by MAC address elsewhere.
    void Remember(const SettingsInfo &settings, const sockaddr_in &from);
    void Moved(const IdentifyInfo &info, const sockaddr_in &from);
    void MovedTo(const Mac &mac, const sockaddr_in &address);
    // Marks an appliance as having settings applied (or done); the state it had before.
    bool SetBusy(const Mac &mac, bool busy);
    // What the last apply left the appliance as, for the list to show (empty: nothing).
    void SetNote(const Mac &mac, const std::string &note);
    // What a password command showed: the appliance has a password now, or none.
    void SetPasswordSet(const Mac &mac, bool set);
    // While held (by each apply under way), no search starts: an identify broadcast between a
    // write request and its repetition would make the appliance take the repetition for a new
    // request, and carry it out again. Holding waits for the end of a search under way.
    void Hold(bool hold);
    // A MAC address as a key of the list: the text form FormatMac prints.
    static std::string Key(const Mac &mac);

  private:
    void Serve();
    void RunSearch(unsigned number);
    // false when the list is full and the appliance is not in it.
    bool Answered(const IdentifyInfo &info, const sockaddr_in &from, unsigned number);
    // The entry of the appliance that answered an identify from `from`, made or brought up to
    // date with the answer, or null when the list is full without it; the caller holds mutex_.
    Appliance *Identified(const IdentifyInfo &info, const sockaddr_in &from);

    const Options options_;
    const bool broadcast_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::map<std::string, Appliance> appliances_;
    unsigned started_ = 0;
    unsigned completed_ = 0;
    unsigned held_ = 0;
    bool stop_ = false;
    std::thread thread_;
};

}  // namespace dssetup::ui
