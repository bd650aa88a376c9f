// dssetup: the UDP exchange with retransmission, finding a target, and the commands.
#include "client/session.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <linux/errqueue.h>
#include <net/if.h>
#include <poll.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <set>

#include "client/kept_settings.h"
#include "client/settings_json.h"

namespace dssetup {

namespace {

// The receive buffer: an answer to identify takes about 1 KiB of it in the kernel, so 8 MiB
// hold thousands of answers that arrive faster than they are read.
constexpr int kReceiveBuffer = 8 << 20;
// discover: bounds of the quiet interval after the last new answer.
constexpr double kQuietMin = 0.08;
constexpr double kQuietMax = 1.0;

sockaddr_in Address(in_addr ip, unsigned short port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr = ip;
    a.sin_port = htons(port);
    return a;
}

double Since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

std::string WaitText(const Options &options) {
    char text[48];
    std::snprintf(text, sizeof text, "%g s", options.timeout * options.tries);
    return text;
}

// Words for an error of the network about datagrams to `where`.
std::string NetworkError(int error, const std::string &where, unsigned short port) {
    switch (error) {
        case ENETUNREACH:
            return where + " cannot be reached: no route to its network";
        case EHOSTUNREACH:
            return where + " cannot be reached: no host answers at that address";
        case ENETDOWN:
            return where + " cannot be reached: the network is down";
        case ECONNREFUSED:
            return "nothing answers on UDP port " + std::to_string(port) + " of " + where +
                   ": it is no appliance, or its agent is not running";
        case EACCES:
            return "sending to " + where + " is not allowed here (a broadcast without permission?)";
        default:
            return "cannot send to " + where + ": " + strerror(error);
    }
}

// Sends to the limited broadcast address; where that has no route, to the broadcast address
// of every interface that has one. true when at least one send went out.
bool SendBroadcast(int fd, const Options &options, const Bytes &request, std::string *error) {
    in_addr all{};
    all.s_addr = htonl(INADDR_BROADCAST);
    sockaddr_in to = Address(all, options.port);
    if (sendto(fd, request.data(), request.size(), 0, reinterpret_cast<sockaddr *>(&to),
               sizeof to) >= 0) {
        return true;
    }
    const int first = errno;
    bool sent = false;
    ifaddrs *list = nullptr;
    if (getifaddrs(&list) == 0) {
        for (ifaddrs *i = list; i != nullptr; i = i->ifa_next) {
            if (i->ifa_broadaddr == nullptr || i->ifa_addr == nullptr ||
                i->ifa_addr->sa_family != AF_INET || (i->ifa_flags & IFF_BROADCAST) == 0) {
                continue;
            }
            if (!options.interface.empty() && options.interface != i->ifa_name) {
                continue;
            }
            sockaddr_in b;
            std::memcpy(&b, i->ifa_broadaddr, sizeof b);
            b.sin_port = htons(options.port);
            if (sendto(fd, request.data(), request.size(), 0, reinterpret_cast<sockaddr *>(&b),
                       sizeof b) >= 0) {
                sent = true;
            }
        }
        freeifaddrs(list);
    }
    if (!sent) {
        *error = NetworkError(first, "the broadcast address", options.port);
    }
    return sent;
}

// A message of one buffer, with its address and room for control data.
msghdr Message(sockaddr_in *address, iovec *io, char *control, std::size_t control_size) {
    msghdr m{};
    m.msg_name = address;
    m.msg_namelen = sizeof *address;
    m.msg_iov = io;
    m.msg_iovlen = 1;
    m.msg_control = control;
    m.msg_controllen = control_size;
    return m;
}

// Reads one error of the socket's error queue: its errno and the datagram's destination.
bool ReadQueuedError(int fd, int *error, sockaddr_in *offender) {
    std::uint8_t data[proto::kBufferSize];
    iovec io{data, sizeof data};
    alignas(cmsghdr) char control[512];
    sockaddr_in to{};
    msghdr m = Message(&to, &io, control, sizeof control);
    if (recvmsg(fd, &m, MSG_ERRQUEUE | MSG_DONTWAIT) < 0) {
        return false;
    }
    for (cmsghdr *c = CMSG_FIRSTHDR(&m); c != nullptr; c = CMSG_NXTHDR(&m, c)) {
        if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_RECVERR) {
            sock_extended_err e;
            std::memcpy(&e, CMSG_DATA(c), sizeof e);
            *error = static_cast<int>(e.ee_errno);
            *offender = to;
            return true;
        }
    }
    return false;
}

}  // namespace

bool Send(int fd, const Options &options, const sockaddr_in *to, const Bytes &request,
          std::string *error) {
    if (to == nullptr) {
        return SendBroadcast(fd, options, request, error);
    }
    int failure = 0;
    for (int attempt = 0; attempt < 4; ++attempt) {
        if (sendto(fd, request.data(), request.size(), 0, reinterpret_cast<const sockaddr *>(to),
                   sizeof *to) >= 0) {
            return true;
        }
        failure = errno;
        if (failure != EINTR && failure != ECONNREFUSED) {
            break;
        }
        // ECONNREFUSED reports an earlier datagram, not this one: take it off and send again.
        int e = 0;
        sockaddr_in o{};
        ReadQueuedError(fd, &e, &o);
    }
    *error = NetworkError(failure, AddressText(*to), ntohs(to->sin_port));
    return false;
}

bool SendOnLinks(int fd, const Options &options, const std::vector<PcInterface> &links,
                 const Bytes &request, std::string *error) {
    in_addr all{};
    all.s_addr = htonl(INADDR_BROADCAST);
    sockaddr_in to = Address(all, options.port);
    bool sent = false;
    int failure = ENETUNREACH;
    for (const PcInterface &link : links) {
        // The interface named for this datagram alone: no route is needed.
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))] = {};
        iovec io{const_cast<std::uint8_t *>(request.data()), request.size()};
        msghdr m = Message(&to, &io, control, sizeof control);
        cmsghdr *c = CMSG_FIRSTHDR(&m);
        c->cmsg_level = IPPROTO_IP;
        c->cmsg_type = IP_PKTINFO;
        c->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
        in_pktinfo info{};
        info.ipi_ifindex = static_cast<int>(link.index);
        info.ipi_spec_dst.s_addr = htonl(link.address);
        std::memcpy(CMSG_DATA(c), &info, sizeof info);
        if (sendmsg(fd, &m, 0) >= 0) {
            sent = true;
        } else {
            failure = errno;
        }
    }
    if (!sent) {
        *error = links.empty() ? "no network interface to broadcast on"
                               : NetworkError(failure, "the broadcast address", options.port);
    }
    return sent;
}

Received ReceiveUntil(int fd, Clock::time_point deadline, Reply *reply, int *error,
                      sockaddr_in *offender) {
    for (;;) {
        // Rounded up: a wait of less than a millisecond is still a wait, not a busy loop.
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left < 0) {
            return Received::kTimeout;
        }
        pollfd p{fd, POLLIN, 0};
        const int rc = poll(&p, 1, static_cast<int>(left));
        if (rc < 0 && errno == EINTR) {
            continue;
        }
        if (rc <= 0) {
            return Received::kTimeout;
        }
        if ((p.revents & POLLERR) != 0) {
            int e = 0;
            sockaddr_in o{};
            if (ReadQueuedError(fd, &e, &o)) {
                if (error != nullptr && offender != nullptr) {
                    *error = e;
                    *offender = o;
                    return Received::kUnreachable;
                }
                continue;
            }
        }
        std::uint8_t buffer[proto::kBufferSize + 1];
        socklen_t size = sizeof reply->from;
        const ssize_t n = recvfrom(fd, buffer, sizeof buffer, MSG_DONTWAIT,
                                   reinterpret_cast<sockaddr *>(&reply->from), &size);
        if (n >= 0) {
            reply->data.assign(buffer, buffer + n);
            return Received::kDatagram;
        }
    }
}

Clock::duration Seconds(double s) {
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s));
}

bool ParseTarget(const std::string &text, unsigned short port, Target *target) {
    in_addr ip{};
    if (ParseMac(text, &target->mac)) {
        target->by_mac = true;
        return true;
    }
    if (ParseIpv4(text, &ip)) {
        target->addr = Address(ip, port);
        return true;
    }
    return false;
}

std::string TargetText(const Target &target) {
    return target.by_mac ? FormatMac(target.mac.data()) : AddressText(target.addr);
}

std::string AddressText(const sockaddr_in &a) {
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &a.sin_addr, text, sizeof text);
    return text;
}

std::uint16_t NextSequence() {
    static std::atomic<std::uint16_t> next{[] {
        std::uint16_t first = 0;
        if (getrandom(&first, sizeof first, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof first)) {
            timespec now{};
            clock_gettime(CLOCK_REALTIME, &now);
            first = static_cast<std::uint16_t>(static_cast<unsigned>(getpid()) * 40503u ^
                                               static_cast<unsigned>(now.tv_nsec));
        }
        return first;
    }()};
    return static_cast<std::uint16_t>(next.fetch_add(1) + 1);
}

int OpenSocket(const Options &options, std::string *error) {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (fd < 0) {
        *error = std::string("socket: ") + strerror(errno);
        return -1;
    }
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    setsockopt(fd, IPPROTO_IP, IP_RECVERR, &on, sizeof on);
    // As root past the system's limit; else as much of it as the limit allows.
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &kReceiveBuffer, sizeof kReceiveBuffer) != 0) {
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &kReceiveBuffer, sizeof kReceiveBuffer);
    }
    if (!options.interface.empty() &&
        setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, options.interface.c_str(),
                   static_cast<socklen_t>(options.interface.size())) != 0) {
        *error = "cannot use interface " + options.interface + ": " + strerror(errno);
        close(fd);
        return -1;
    }
    return fd;
}

bool Exchange(int fd, const Options &options, const sockaddr_in *to, const Bytes &request,
              const ReplyFilter &filter, Reply *reply, std::string *error) {
    std::string why;
    const proto::SetupHeader h = proto::GetHeader(request.data());
    for (int attempt = 0; attempt < options.tries; ++attempt) {
        if (!Send(fd, options, to, request, &why)) {
            if (error != nullptr) {
                *error = why;
            }
            return false;
        }
        const auto deadline = Clock::now() + Seconds(options.timeout);
        for (;;) {
            int e = 0;
            sockaddr_in offender{};
            const Received got = ReceiveUntil(fd, deadline, reply, &e, &offender);
            if (got == Received::kTimeout) {
                break;
            }
            if (got == Received::kUnreachable) {
                if (to != nullptr && offender.sin_addr.s_addr == to->sin_addr.s_addr &&
                    offender.sin_port == to->sin_port) {
                    if (error != nullptr) {
                        *error = NetworkError(e, AddressText(*to), ntohs(to->sin_port));
                    }
                    return false;
                }
                continue;
            }
            const std::uint8_t *d = reply->data.data();
            const std::size_t n = reply->data.size();
            if (!IsReplyTo(d, n, h.command, h.sequence)) {
                continue;  // a late answer to an earlier request, or not ours
            }
            if (to != nullptr && reply->from.sin_addr.s_addr != to->sin_addr.s_addr) {
                continue;
            }
            if (filter && !filter(d, n)) {
                continue;
            }
            return true;
        }
    }
    if (error != nullptr) {
        error->clear();
    }
    return false;
}

Result Locate(int fd, const Options &options, const Target &target, Located *where) {
    const Bytes request = BuildIdentify(NextSequence());
    std::set<Mac> others;
    ReplyFilter filter = [&target, &others](const std::uint8_t *d, std::size_t n) {
        IdentifyInfo i;
        if (!DecodeIdentify(d, n, &i)) {
            return false;
        }
        if (target.by_mac && i.mac != target.mac) {
            others.insert(i.mac);
            return false;
        }
        return true;
    };
    Reply reply;
    std::string error;
    if (!Exchange(fd, options, target.by_mac ? nullptr : &target.addr, request, filter, &reply,
                  &error)) {
        if (!error.empty()) {
            return NoAnswer(error);
        }
        if (!target.by_mac) {
            return NoAnswer("no answer from " + TargetText(target) + " within " +
                            WaitText(options));
        }
        std::string message = "no appliance with the MAC address " + TargetText(target) +
                              " answered within " + WaitText(options);
        if (!others.empty()) {
            message += "; " + std::to_string(others.size()) +
                       (others.size() == 1 ? " other appliance did" : " other appliances did") +
                       ", dssetup discover lists them";
        }
        return NoAnswer(message);
    }
    DecodeIdentify(reply.data.data(), reply.data.size(), &where->info);
    where->info.address = AddressText(reply.from);
    where->address = reply.from;
    return Succeeded("found " + TargetText(target) + " at " + where->info.address);
}

Result ReadSettings(int fd, const Options &options, const Target &target, SettingsInfo *info,
                    sockaddr_in *address) {
    // A failed read can come back before the agent has put its MAC address into the reply, so
    // an appliance named by its MAC address is found by identify first and then asked directly.
    *address = target.addr;
    if (target.by_mac) {
        Located where;
        Result found = Locate(fd, options, target, &where);
        if (!found.ok) {
            return found;
        }
        *address = where.address;
    }
    const Bytes request = BuildReadSettings(NextSequence());
    // The full 258-byte reply, or a shorter one that carries a failure status (a peer that
    // answers a failure with its header only): the status is what counts then.
    ReplyFilter filter = [](const std::uint8_t *d, std::size_t n) {
        SettingsInfo s;
        return DecodeSettings(d, n, &s) || ReplyStatus(d) != 0;
    };
    Reply reply;
    std::string error;
    if (!Exchange(fd, options, address, request, filter, &reply, &error)) {
        return NoAnswer(!error.empty() ? error
                                       : "no answer from " + TargetText(target) + " within " +
                                             WaitText(options));
    }
    if (!DecodeSettings(reply.data.data(), reply.data.size(), info)) {
        *info = SettingsInfo{};
        info->status = ReplyStatus(reply.data.data());
    }
    if (info->status != 0) {
        return Refused(info->status, "the settings cannot be read: the appliance reported " +
                                         StatusWords(info->status));
    }
    return Succeeded("the settings of " + TargetText(target), 0);
}

Result Discover(int fd, const Options &options) {
    const int sends = options.tries_given ? options.tries : kDiscoverTries;
    const Bytes request = BuildIdentify(NextSequence());
    const std::uint16_t sequence = proto::GetU16(request.data() + proto::kOffSequence);
    std::vector<IdentifyInfo> found;
    std::set<Mac> seen;
    const auto start = Clock::now();
    const double timeout = options.timeout_given ? options.timeout : kDiscoverTimeout;
    const auto end = start + Seconds(timeout);
    std::string error;
    if (!Send(fd, options, nullptr, request, &error)) {
        return NoAnswer("cannot broadcast: " + error);
    }
    int sent = 1;
    // Until the first answer the sends are spread over the time-out. After it, a send or a new
    // answer starts a quiet interval: half as long as answers have been coming in, and 4 times
    // the longest wait between two new ones (answers from a busy LAN come in bursts), within
    // kQuietMin and kQuietMax. At its end the request goes out again (it catches a lost request or
    // answer; agents answer it from their stored reply), and after the last send's quiet
    // interval discover is done.
    auto last = start;       // the last send or new answer
    double longest = 0;      // the longest wait between two new answers, in seconds
    double last_reply = -1;  // seconds from the start to the last new answer
    bool full = false;       // kMaxAppliances found, and another one answered
    while (!full) {
        Clock::time_point until = end;
        if (found.empty()) {
            until = start + Seconds(timeout * std::min(sent, sends) / sends);
        } else {
            const double quiet =
                std::clamp(std::max(4 * longest, last_reply / 2), kQuietMin, kQuietMax);
            until = std::min(end, last + Seconds(quiet));
        }
        Reply reply;
        if (ReceiveUntil(fd, until, &reply) != Received::kDatagram) {
            if (Clock::now() >= end || sent >= sends) {
                break;
            }
            if (Send(fd, options, nullptr, request, &error)) {
                ++sent;
            } else {
                sent = sends;  // no further sends; the quiet interval still runs
            }
            last = Clock::now();
            continue;
        }
        IdentifyInfo info;
        if (!IsReplyTo(reply.data.data(), reply.data.size(), proto::kCmdIdentify, sequence) ||
            !DecodeIdentify(reply.data.data(), reply.data.size(), &info) ||
            seen.count(info.mac) != 0) {
            continue;
        }
        if (found.size() >= kMaxAppliances) {
            full = true;  // counting stops here
            continue;
        }
        seen.insert(info.mac);
        const auto now = Clock::now();
        if (!found.empty()) {
            longest = std::max(longest, std::chrono::duration<double>(now - last).count());
        }
        last = now;
        last_reply = Since(start);
        info.address = AddressText(reply.from);
        found.push_back(info);
    }
    const double elapsed = Since(start);
    if (found.empty()) {
        return NoAnswer("no appliance answered");
    }
    std::sort(found.begin(), found.end(),
              [](const IdentifyInfo &a, const IdentifyInfo &b) { return a.mac < b.mac; });
    Result r = Succeeded(
        std::to_string(found.size()) +
        (found.size() == 1 ? " appliance answered" : " appliances answered") +
        (full ? "; more answered, but discover stops counting at " + std::to_string(kMaxAppliances)
              : std::string()));
    Json list = Json::array();
    for (const IdentifyInfo &i : found) {
        Json a;
        a["mac"] = FormatMac(i.mac.data());
        a["address"] = i.address;
        a["hostname"] = i.hostname;
        a["password_set"] = i.password_set;
        a["status"] = i.status;
        if (i.status != 0) {
            a["message"] = "the appliance reported " + StatusWords(i.status);
        }
        list.push_back(a);
    }
    r.data["appliances"] = list;
    r.data["seconds"] = elapsed;
    r.data["last_answer_seconds"] = last_reply;
    r.data["stopped_counting"] = full;
    r.text = FormatDiscoverTable(found);
    if (full) {
        r.text += "(more appliances answered: discover stops counting at " +
                  std::to_string(kMaxAppliances) + ")\n";
    }
    return r;
}

Result Show(int fd, const Options &options, const Target &target) {
    SettingsInfo info;
    sockaddr_in address{};
    Result r = ReadSettings(fd, options, target, &info, &address);
    if (r.ok) {
        std::string ignored;  // kept for a rescue, if the cache can be written
        KeepSettings(options.cache_dir, info, AddressText(address), &ignored);
        r.data = SettingsJson(info);
        r.text = FormatSettingsText(info);
    }
    return r;
}

std::string PasswordProblem(const std::string &password) {
    std::string bytes, bad;
    if (!Utf8ToLatin1(password, &bytes, &bad)) {
        return "the password " + bad;
    }
    if (bytes.find('\0') != std::string::npos) {
        return "a password cannot hold a zero byte";
    }
    if (bytes.size() > proto::password::kMaxPassword) {
        return "a password has at most 14 characters";
    }
    return {};
}

Result SendPassword(int fd, const Options &options, const Located &where, bool set,
                    const std::string &password) {
    if (const std::string p = PasswordProblem(password); !p.empty()) {
        return Usage(p);
    }
    std::string bytes, bad;
    Utf8ToLatin1(password, &bytes, &bad);
    const std::uint16_t command = set ? proto::kCmdSetPassword : proto::kCmdVerifyPassword;
    const Bytes request = BuildPassword(command, NextSequence(), where.info.mac, bytes);
    Reply reply;
    std::string error;
    const std::string at = where.info.address;
    if (!Exchange(fd, options, &where.address, request, nullptr, &reply, &error)) {
        return NoAnswer(!error.empty() ? error
                                       : "no answer from " + at + " within " + WaitText(options));
    }
    const int status = ReplyStatus(reply.data.data());
    if (!set) {
        if (status == proto::kStNotVerified) {
            return Refused(status,
                           "the appliance did not accept the password: it is wrong, or "
                           "its check did not finish in time (status -305)");
        }
        if (status != 0) {
            return Refused(status, "the password could not be checked: the appliance reported " +
                                       StatusWords(status));
        }
        Result r = Succeeded("the password is right", 0);
        r.text = "The password is right.\n";
        return r;
    }
    if (status != 0) {
        return Refused(status, std::string(password.empty() ? "the password could not be removed"
                                                            : "the password could not be set") +
                                   ": the appliance reported " + StatusWords(status));
    }
    Result r = Succeeded(password.empty() ? "the password was removed: the appliance has none"
                                          : "the password was set",
                         0);
    r.data["password_set"] = !password.empty();
    r.text = password.empty() ? "Password removed: the appliance has no password now.\n"
                              : "Password set.\n";
    return r;
}

bool WriteWhole(int fd, std::string_view text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool ReadAll(const std::string &path, Bytes *data) {
    const bool stdin_input = path == "-";
    const int fd = stdin_input ? STDIN_FILENO : open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    std::uint8_t buffer[4096];
    bool ok = true;
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            ok = false;
            break;
        }
        if (n == 0) {
            break;
        }
        data->insert(data->end(), buffer, buffer + n);
    }
    if (!stdin_input) {
        const int saved = errno;
        close(fd);
        errno = saved;
    }
    return ok;
}

Result Print(int fd, const Options &options, const Target &target, const Bytes &data) {
    Located where;
    // Printer data carries no target: send it to the one appliance's own address.
    Result found = Locate(fd, options, target, &where);
    if (!found.ok) {
        return found;
    }
    const std::string at = where.info.address;
    auto silent = [&](const std::string &error, std::size_t sent) {
        return NoAnswer(
            (!error.empty() ? error : "no answer from " + at + " within " + WaitText(options)) +
            ", after " + std::to_string(sent) + " bytes");
    };
    std::size_t sent = 0;
    std::string error;
    while (sent < data.size()) {
        const std::size_t n = std::min(kPrinterChunk, data.size() - sent);
        const Bytes request = BuildPrinterData(NextSequence(), data.data() + sent, n);
        Reply reply;
        if (!Exchange(fd, options, &where.address, request, nullptr, &reply, &error)) {
            return silent(error, sent);
        }
        const int status = ReplyStatus(reply.data.data());
        if (status != 0) {
            return Refused(status, "printing stopped after " + std::to_string(sent) +
                                       " bytes: the appliance reported " + StatusWords(status));
        }
        sent += n;
    }
    Reply reply;
    if (!Exchange(fd, options, &where.address, BuildPrinterAck(NextSequence()), nullptr, &reply,
                  &error)) {
        return silent(error, sent);
    }
    Result r = Succeeded(std::to_string(sent) + " bytes sent to the printer", 0);
    r.data["bytes"] = sent;
    r.text = std::to_string(sent) + " bytes sent to the printer.\n";
    return r;
}

}  // namespace dssetup
