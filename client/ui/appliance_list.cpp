// dssetup ui: searches of the network for appliances, and the list they fill.
#include "client/ui/appliance_list.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <set>

namespace dssetup::ui {

namespace {

// Sends of the identify request to a typed address.
constexpr int kTypedTries = 4;

bool NeedsVersion(const std::map<std::string, Appliance> &list, const std::string &key) {
    const auto it = list.find(key);
    return it != list.end() && !it->second.version_known;
}

// Addresses a typed address must not be: no host, every host, multicast.
bool IsUnicast(in_addr a) {
    const std::uint32_t v = ntohl(a.s_addr);
    return v != 0 && v != 0xFFFFFFFFu && (v >> 28) != 0xE;
}

}  // namespace

ApplianceList::ApplianceList(const Options &options, bool broadcast)
    : options_(options), broadcast_(broadcast), thread_([this] { Serve(); }) {}

ApplianceList::~ApplianceList() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

std::string ApplianceList::Key(const Mac &mac) {
    return FormatMac(mac.data());
}

unsigned ApplianceList::Search() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (started_ == completed_ && held_ == 0) {
        ++started_;
        changed_.notify_all();
    }
    return started_;
}

void ApplianceList::WaitFor(unsigned number) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return completed_ >= number || stop_; });
}

bool ApplianceList::Searching() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return started_ != completed_;
}

unsigned ApplianceList::Completed() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return completed_;
}

std::vector<Appliance> ApplianceList::All() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Appliance> all;
    all.reserve(appliances_.size());
    for (const auto &[key, a] : appliances_) {
        all.push_back(a);
    }
    return all;
}

bool ApplianceList::Find(const Mac &mac, Appliance *found) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = appliances_.find(Key(mac));
    if (it == appliances_.end()) {
        return false;
    }
    *found = it->second;
    return true;
}

bool ApplianceList::AddTyped(const std::string &text, Appliance *added, std::string *error) {
    Target target;
    in_addr ip{};
    if (!ParseIpv4(text, &ip)) {
        *error = "\"" + text + "\" is not an IPv4 address (four numbers 0-255: A.B.C.D)";
        return false;
    }
    if (!IsUnicast(ip)) {
        *error = text + " is not the address of one appliance";
        return false;
    }
    ParseTarget(text, options_.port, &target);
    std::string socket_error;
    const int fd = OpenSocket(options_, &socket_error);
    if (fd < 0) {
        *error = socket_error;
        return false;
    }
    // A few tries: the user waits for this answer (the network tells at once when nothing
    // can answer there).
    Options o = options_;
    o.tries = std::min(o.tries, kTypedTries);
    Located where;
    const Result found = Locate(fd, o, target, &where);
    close(fd);
    if (!found.ok) {
        *error = found.message;
        return false;
    }
    const IdentifyInfo &info = where.info;
    const sockaddr_in &from = where.address;
    std::lock_guard<std::mutex> lock(mutex_);
    Appliance *a = Identified(info, from);
    if (a == nullptr) {
        *error =
            "the list is full: it keeps at most " + std::to_string(kMaxAppliances) + " appliances";
        return false;
    }
    a->typed = true;
    *added = *a;
    return true;
}

void ApplianceList::Remember(const SettingsInfo &settings, const sockaddr_in &from) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = appliances_.find(Key(settings.mac));
    if (settings.status != 0 || it == appliances_.end()) {
        return;  // a failed read may lack the MAC address, and holds no current values
    }
    Appliance &a = it->second;
    a.have_settings = true;
    a.settings = settings;
    a.version_known = true;
    a.version = settings.version;
    a.password_set = settings.password_set;
    a.address = from;
}

void ApplianceList::Moved(const IdentifyInfo &info, const sockaddr_in &from) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = appliances_.find(Key(info.mac));
    if (it == appliances_.end()) {
        return;
    }
    it->second.address = from;
    it->second.hostname = info.hostname;
    it->second.password_set = info.password_set;
    it->second.status = info.status;
    it->second.missed = 0;
    it->second.last_answer = std::time(nullptr);
}

void ApplianceList::MovedTo(const Mac &mac, const sockaddr_in &address) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = appliances_.find(Key(mac));
    if (it != appliances_.end()) {
        it->second.address = address;
        it->second.missed = 0;
        it->second.last_answer = std::time(nullptr);
    }
}

bool ApplianceList::SetBusy(const Mac &mac, bool busy) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = appliances_.find(Key(mac));
    if (it == appliances_.end()) {
        return false;
    }
    const bool was = it->second.busy;
    it->second.busy = busy;
    return was;
}

void ApplianceList::SetNote(const Mac &mac, const std::string &note) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = appliances_.find(Key(mac));
    if (it != appliances_.end()) {
        it->second.note = note;
        it->second.note_at = note.empty() ? 0 : std::time(nullptr);
    }
}

void ApplianceList::SetPasswordSet(const Mac &mac, bool set) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = appliances_.find(Key(mac));
    if (it != appliances_.end()) {
        it->second.password_set = set;
        it->second.settings.password_set = set;
    }
}

void ApplianceList::Hold(bool hold) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!hold) {
        held_ -= held_ > 0 ? 1 : 0;
        return;
    }
    ++held_;
    // A search under way sends its request again half-way: it ends first.
    changed_.wait(lock, [this] { return started_ == completed_ || stop_; });
}

void ApplianceList::Serve() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return stop_ || started_ != completed_; });
        if (stop_) {
            return;
        }
        const unsigned number = started_;
        lock.unlock();
        RunSearch(number);
        lock.lock();
        for (auto &[key, a] : appliances_) {
            if (a.seen == number) {
                a.missed = 0;
            } else {
                ++a.missed;
            }
        }
        completed_ = number;
        changed_.notify_all();
    }
}

Appliance *ApplianceList::Identified(const IdentifyInfo &info, const sockaddr_in &from) {
    const std::string key = Key(info.mac);
    if (appliances_.size() >= kMaxAppliances && appliances_.count(key) == 0) {
        return nullptr;  // full: one sender faking MAC addresses cannot grow it further
    }
    Appliance &a = appliances_[key];
    a.mac = info.mac;
    a.address = from;
    a.hostname = info.hostname;
    a.password_set = info.password_set;
    a.status = info.status;
    a.missed = 0;
    a.last_answer = std::time(nullptr);
    return &a;
}

bool ApplianceList::Answered(const IdentifyInfo &info, const sockaddr_in &from, unsigned number) {
    std::lock_guard<std::mutex> lock(mutex_);
    Appliance *a = Identified(info, from);
    if (a == nullptr) {
        return false;
    }
    a->seen = number;
    return true;
}

// One search: an identify broadcast (sent again half-way, as `dssetup discover` does) and the
// same request to every typed address. Every appliance whose firmware version is not known yet
// is asked for its settings once, in the same wait; the search ends when the time is up and
// those answers are in (or a second period has passed).
void ApplianceList::RunSearch(unsigned number) {
    std::string error;
    const int fd = OpenSocket(options_, &error);
    if (fd < 0) {
        return;
    }
    std::vector<sockaddr_in> typed;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const auto &[key, a] : appliances_) {
            if (a.typed) {
                typed.push_back(a.address);
            }
        }
    }
    const Bytes identify = BuildIdentify(NextSequence());
    const std::uint16_t sequence = proto::GetU16(identify.data() + proto::kOffSequence);
    std::string ignored;  // an appliance that cannot be reached misses this search
    auto send_all = [&] {
        if (broadcast_) {
            Send(fd, options_, nullptr, identify, &ignored);
        }
        for (const sockaddr_in &to : typed) {
            Send(fd, options_, &to, identify, &ignored);
        }
    };
    const auto start = Clock::now();
    const auto end = start + Seconds(options_.timeout);
    const auto resend = start + Seconds(options_.timeout / 2);
    const auto last = end + Seconds(options_.timeout);
    bool resent = false;
    std::map<std::uint16_t, std::string> reads;  // version requests: sequence -> appliance
    std::set<std::string> asked;
    send_all();
    for (;;) {
        const auto now = Clock::now();
        if (!resent && now >= resend) {
            send_all();
            resent = true;
        }
        Clock::time_point until;
        if (now < end) {
            until = resent ? end : resend;
        } else if (!reads.empty() && now < last) {
            until = last;
        } else {
            break;
        }
        Reply reply;
        if (ReceiveUntil(fd, until, &reply) != Received::kDatagram) {
            continue;
        }
        const std::uint8_t *d = reply.data.data();
        const std::size_t n = reply.data.size();
        IdentifyInfo info;
        if (IsReplyTo(d, n, proto::kCmdIdentify, sequence) && DecodeIdentify(d, n, &info)) {
            if (!Answered(info, reply.from, number)) {
                continue;  // the list is full
            }
            const std::string key = Key(info.mac);
            bool needs = false;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                needs = NeedsVersion(appliances_, key);
            }
            if (needs && asked.insert(key).second) {
                const Bytes read = BuildReadSettings(NextSequence());
                reads[proto::GetU16(read.data() + proto::kOffSequence)] = key;
                Send(fd, options_, &reply.from, read, &ignored);
            }
            continue;
        }
        if (n < proto::kHeaderSize) {
            continue;
        }
        const auto pending = reads.find(proto::GetU16(d + proto::kOffSequence));
        SettingsInfo settings;
        if (pending == reads.end() || !IsReplyTo(d, n, proto::kCmdReadSettings, pending->first) ||
            !DecodeSettings(d, n, &settings)) {
            continue;
        }
        if (settings.status == 0) {
            std::lock_guard<std::mutex> lock(mutex_);
            const auto it = appliances_.find(pending->second);
            if (it != appliances_.end()) {
                it->second.version_known = true;
                it->second.version = settings.version;
            }
        }
        reads.erase(pending);
    }
    close(fd);
}

}  // namespace dssetup::ui
