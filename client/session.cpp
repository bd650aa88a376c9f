// dssetup: the UDP exchange with retransmission, target resolution and the commands.
#include "client/session.h"

#include "client/settings_json.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace dssetup {

namespace {

sockaddr_in Address(in_addr ip, unsigned short port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr = ip;
    a.sin_port = htons(port);
    return a;
}

// Sends to the limited broadcast address; where that has no route, to the broadcast address
// of every interface that has one. true when at least one send went out.
bool SendBroadcast(int fd, const Options &options, const Bytes &request) {
    in_addr all{};
    all.s_addr = htonl(INADDR_BROADCAST);
    sockaddr_in to = Address(all, options.port);
    if (sendto(fd, request.data(), request.size(), 0, reinterpret_cast<sockaddr *>(&to),
               sizeof to) >= 0) {
        return true;
    }
    bool sent = false;
    ifaddrs *list = nullptr;
    if (getifaddrs(&list) != 0) {
        return false;
    }
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
    return sent;
}

}  // namespace

bool Send(int fd, const Options &options, const sockaddr_in *to, const Bytes &request) {
    if (to == nullptr) {
        return SendBroadcast(fd, options, request);
    }
    return sendto(fd, request.data(), request.size(), 0, reinterpret_cast<const sockaddr *>(to),
                  sizeof *to) >= 0;
}

bool ReceiveUntil(int fd, Clock::time_point deadline, Reply *reply) {
    for (;;) {
        // Rounded up: a wait of less than a millisecond is still a wait, not a busy loop.
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left < 0) {
            return false;
        }
        pollfd p{fd, POLLIN, 0};
        const int rc = poll(&p, 1, static_cast<int>(left));
        if (rc < 0 && errno == EINTR) {
            continue;
        }
        if (rc <= 0) {
            return false;
        }
        std::uint8_t buffer[proto::kBufferSize + 1];
        socklen_t size = sizeof reply->from;
        const ssize_t n = recvfrom(fd, buffer, sizeof buffer, 0,
                                   reinterpret_cast<sockaddr *>(&reply->from), &size);
        if (n >= 0) {
            reply->data.assign(buffer, buffer + n);
            return true;
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

std::string AddressText(const sockaddr_in &a) {
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &a.sin_addr, text, sizeof text);
    return text;
}

bool IdentifyTarget(int fd, const Options &options, const Target &target, IdentifyInfo *info,
                    sockaddr_in *address) {
    const Bytes request = BuildIdentify(NextSequence());
    ReplyFilter filter = [&target](const std::uint8_t *d, std::size_t n) {
        IdentifyInfo i;
        return DecodeIdentify(d, n, &i) && (!target.by_mac || i.mac == target.mac);
    };
    Reply reply;
    if (!Exchange(fd, options, target.by_mac ? nullptr : &target.addr, request, filter, &reply)) {
        return false;
    }
    DecodeIdentify(reply.data.data(), reply.data.size(), info);
    info->address = AddressText(reply.from);
    *address = reply.from;
    return true;
}

void Fail(const Options &options, std::FILE *out, std::FILE *err, const std::string &what,
          const std::string &message) {
    if (options.json) {
        std::fprintf(out, "{\"ok\": false, \"command\": %s, \"error\": %s}\n",
                     JsonString(what).c_str(), JsonString(message).c_str());
    } else {
        std::fprintf(err, "dssetup %s: %s\n", what.c_str(), message.c_str());
    }
}

std::string NoReply(const std::string &target) {
    return "no reply from " + (target.empty() ? std::string("any appliance") : target);
}

bool ReadSettingsOf(int fd, const Options &options, const Target &target, SettingsInfo *info,
                    sockaddr_in *address) {
    // A failed read can come back before the agent has put its MAC address into the reply, so
    // an appliance named by its MAC address is found by identify first and then asked directly.
    *address = target.addr;
    if (target.by_mac) {
        IdentifyInfo found;
        if (!IdentifyTarget(fd, options, target, &found, address)) {
            return false;
        }
    }
    const Bytes request = BuildReadSettings(NextSequence());
    ReplyFilter filter = [](const std::uint8_t *d, std::size_t n) {
        SettingsInfo s;
        return DecodeSettings(d, n, &s);
    };
    Reply reply;
    if (!Exchange(fd, options, address, request, filter, &reply)) {
        return false;
    }
    DecodeSettings(reply.data.data(), reply.data.size(), info);
    return true;
}

namespace {

int Discover(int fd, const Options &options, std::FILE *out, std::FILE *err) {
    const Bytes request = BuildIdentify(NextSequence());
    const std::uint16_t sequence = proto::GetU16(request.data() + proto::kOffSequence);
    std::vector<IdentifyInfo> found;
    const auto start = Clock::now();
    const auto end = start + Seconds(options.timeout);
    // A second send half-way catches a lost request; agents answer it from their stored reply.
    const auto resend = start + Seconds(options.timeout / 2);
    bool resent = false;
    if (!Send(fd, options, nullptr, request)) {
        Fail(options, out, err, "discover", std::string("cannot broadcast: ") + strerror(errno));
        return 1;
    }
    for (;;) {
        const auto until = resent ? end : resend;
        Reply reply;
        if (!ReceiveUntil(fd, until, &reply)) {
            if (resent) {
                break;
            }
            resent = true;
            Send(fd, options, nullptr, request);
            continue;
        }
        IdentifyInfo info;
        if (!IsReplyTo(reply.data.data(), reply.data.size(), proto::kCmdIdentify, sequence) ||
            !DecodeIdentify(reply.data.data(), reply.data.size(), &info)) {
            continue;
        }
        info.address = AddressText(reply.from);
        const bool seen = std::any_of(found.begin(), found.end(),
                                      [&info](const IdentifyInfo &f) { return f.mac == info.mac; });
        if (!seen) {
            found.push_back(info);
        }
    }
    std::sort(found.begin(), found.end(),
              [](const IdentifyInfo &a, const IdentifyInfo &b) { return a.mac < b.mac; });
    if (options.json) {
        std::fputs(FormatDiscoverJson(found).c_str(), out);
    } else if (found.empty()) {
        std::fputs("No appliance answered.\n", out);
    } else {
        std::fputs(FormatDiscoverTable(found).c_str(), out);
    }
    return found.empty() ? 1 : 0;
}

int Show(int fd, const Options &options, const Target &target, std::FILE *out, std::FILE *err) {
    SettingsInfo info;
    sockaddr_in address{};
    if (!ReadSettingsOf(fd, options, target, &info, &address)) {
        Fail(options, out, err, "show", NoReply(options.target));
        return 1;
    }
    if (options.json) {
        std::fputs(FormatSettingsJson(info).c_str(), out);
    } else if (info.status != 0) {
        // The fields after the failed step are zeros, not settings: show only what went wrong.
        std::fprintf(err, "dssetup show: the appliance reported %s\n",
                     StatusWords(info.status).c_str());
    } else {
        std::fputs(FormatSettingsText(info).c_str(), out);
    }
    return info.status == 0 ? 0 : 1;
}

// Reads a password: from the terminal without echo, or one line of standard input.
bool ReadPassword(const char *prompt, std::string *password) {
    const bool tty = isatty(STDIN_FILENO) != 0;
    termios saved{};
    if (tty) {
        std::fputs(prompt, stderr);
        std::fflush(stderr);
        tcgetattr(STDIN_FILENO, &saved);
        termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    }
    password->clear();
    bool got = false;
    for (;;) {
        char c = 0;
        const ssize_t n = read(STDIN_FILENO, &c, 1);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        got = true;
        if (c == '\n') {
            break;
        }
        *password += c;
    }
    if (tty) {
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
        std::fputs("\n", stderr);
    }
    if (!password->empty() && password->back() == '\r') {
        password->pop_back();
    }
    return got;
}

int Password(int fd, const Options &options, const Target &target, std::FILE *out, std::FILE *err) {
    const bool set = options.command == Command::kPasswd;
    const std::string what = set ? "passwd" : "verify";
    std::string password;
    if (!ReadPassword(set ? "New password: " : "Password: ", &password)) {
        Fail(options, out, err, what, "no password given");
        return 2;
    }
    if (set && isatty(STDIN_FILENO) != 0) {
        std::string again;
        if (!ReadPassword("Again: ", &again) || again != password) {
            Fail(options, out, err, what, "the passwords differ");
            return 2;
        }
    }
    if (password.size() > proto::password::kMaxPassword ||
        password.find('\0') != std::string::npos) {
        Fail(options, out, err, what, "a password has at most 14 characters");
        return 2;
    }
    IdentifyInfo info;
    sockaddr_in address{};
    if (!IdentifyTarget(fd, options, target, &info, &address)) {
        Fail(options, out, err, what, NoReply(options.target));
        return 1;
    }
    const std::uint16_t command = set ? proto::kCmdSetPassword : proto::kCmdVerifyPassword;
    const Bytes request = BuildPassword(command, NextSequence(), info.mac, password);
    Reply reply;
    if (!Exchange(fd, options, &address, request, nullptr, &reply)) {
        Fail(options, out, err, what, NoReply(options.target));
        return 1;
    }
    const int status = ReplyStatus(reply.data.data());
    if (status != 0) {
        Fail(options, out, err, what, StatusWords(status));
        return 1;
    }
    if (options.json) {
        std::fprintf(out, "{\"ok\": true, \"command\": %s, \"status\": 0}\n",
                     JsonString(what).c_str());
    } else {
        std::fputs(set ? "Password set.\n" : "Password is right.\n", out);
    }
    return 0;
}

}  // namespace

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
        close(fd);
    }
    return ok;
}

namespace {

int Print(int fd, const Options &options, const Target &target, std::FILE *out, std::FILE *err) {
    Bytes data;
    if (!ReadAll(options.file, &data)) {
        Fail(options, out, err, "print", "cannot read " + options.file + ": " + strerror(errno));
        return 2;
    }
    IdentifyInfo info;
    sockaddr_in address{};
    // Printer data carries no target: send it to the one appliance's own address.
    if (!IdentifyTarget(fd, options, target, &info, &address)) {
        Fail(options, out, err, "print", NoReply(options.target));
        return 1;
    }
    std::size_t sent = 0;
    while (sent < data.size()) {
        const std::size_t n = std::min(kPrinterChunk, data.size() - sent);
        const Bytes request = BuildPrinterData(NextSequence(), data.data() + sent, n);
        Reply reply;
        if (!Exchange(fd, options, &address, request, nullptr, &reply)) {
            Fail(options, out, err, "print",
                 NoReply(options.target) + " after " + std::to_string(sent) + " bytes");
            return 1;
        }
        const int status = ReplyStatus(reply.data.data());
        if (status != 0) {
            Fail(options, out, err, "print",
                 StatusWords(status) + " after " + std::to_string(sent) + " bytes");
            return 1;
        }
        sent += n;
    }
    Reply reply;
    if (!Exchange(fd, options, &address, BuildPrinterAck(NextSequence()), nullptr, &reply)) {
        Fail(options, out, err, "print", NoReply(options.target));
        return 1;
    }
    if (options.json) {
        std::fprintf(out, "{\"ok\": true, \"command\": \"print\", \"bytes\": %zu}\n", sent);
    } else {
        std::fprintf(out, "%zu bytes sent to the printer.\n", sent);
    }
    return 0;
}

double Median(std::vector<double> v) {
    if (v.empty()) {
        return 0;
    }
    std::sort(v.begin(), v.end());
    const std::size_t m = v.size() / 2;
    return v.size() % 2 == 1 ? v[m] : (v[m - 1] + v[m]) / 2;
}

int Bench(int fd, const Options &options, const Target &target, std::FILE *out, std::FILE *err) {
    IdentifyInfo info;
    sockaddr_in address{};
    if (!IdentifyTarget(fd, options, target, &info, &address)) {
        Fail(options, out, err, "bench", NoReply(options.target));
        return 1;
    }
    const char *names[] = {"identify", "read settings"};
    for (int which = 0; which < 2; ++which) {
        std::vector<double> times;
        for (int i = 0; i < options.count; ++i) {
            const Bytes request =
                which == 0 ? BuildIdentify(NextSequence()) : BuildReadSettings(NextSequence());
            Reply reply;
            const auto start = Clock::now();
            if (!Exchange(fd, options, &address, request, nullptr, &reply)) {
                Fail(options, out, err, "bench", NoReply(options.target));
                return 1;
            }
            times.push_back(
                std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        }
        std::fprintf(out, "%-14s median %.3f ms, min %.3f ms, max %.3f ms over %d\n", names[which],
                     Median(times), *std::min_element(times.begin(), times.end()),
                     *std::max_element(times.begin(), times.end()), options.count);
    }
    return 0;
}

}  // namespace

std::uint16_t NextSequence() {
    static std::uint16_t next = 0;
    static bool seeded = false;
    if (!seeded) {
        timespec now{};
        clock_gettime(CLOCK_REALTIME, &now);
        next = static_cast<std::uint16_t>(static_cast<unsigned>(getpid()) ^
                                          static_cast<unsigned>(now.tv_nsec));
        seeded = true;
    }
    return ++next;
}

int OpenSocket(const Options &options, std::string *error) {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (fd < 0) {
        *error = std::string("socket: ") + strerror(errno);
        return -1;
    }
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
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
              const ReplyFilter &filter, Reply *reply) {
    const proto::SetupHeader h = proto::GetHeader(request.data());
    for (int attempt = 0; attempt < options.tries; ++attempt) {
        Send(fd, options, to, request);
        const auto deadline = Clock::now() + Seconds(options.timeout);
        while (ReceiveUntil(fd, deadline, reply)) {
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
    return false;
}

int RunCommand(const Options &options, std::FILE *out, std::FILE *err) {
    if (options.help) {
        std::fputs(UsageText(options.command).c_str(), out);
        return 0;
    }
    Target target;
    if (options.command != Command::kDiscover &&
        !ParseTarget(options.target, options.port, &target)) {
        std::fprintf(err, "dssetup: %s is neither a MAC address nor an IP address\n",
                     options.target.c_str());
        return 2;
    }
    std::string error;
    const int fd = OpenSocket(options, &error);
    if (fd < 0) {
        std::fprintf(err, "dssetup: %s\n", error.c_str());
        return 1;
    }
    int rc = 1;
    switch (options.command) {
        case Command::kDiscover:
            rc = Discover(fd, options, out, err);
            break;
        case Command::kShow:
            rc = Show(fd, options, target, out, err);
            break;
        case Command::kSet:
            rc = Set(fd, options, target, out, err);
            break;
        case Command::kPasswd:
        case Command::kVerify:
            rc = Password(fd, options, target, out, err);
            break;
        case Command::kPrint:
            rc = Print(fd, options, target, out, err);
            break;
        case Command::kBench:
            rc = Bench(fd, options, target, out, err);
            break;
        case Command::kNone:
            break;
    }
    close(fd);
    return rc;
}

}  // namespace dssetup
