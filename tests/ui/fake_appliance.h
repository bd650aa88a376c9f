// A scripted appliance on 127.0.0.1 for the setup page's tests on this machine: it answers
// identify, read settings, write settings (after a delay, as the long apply), the password
// commands and the printer, keeping its settings in memory.
#pragma once

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "client/wire.h"
#include "protocol/protocol.h"
#include "tests/support/udp_responder.h"

namespace uitest {

using dssetup::Bytes;

inline constexpr std::uint8_t kMac[6] = {0x00, 0xC0, 0x02, 0xAA, 0xBB, 0xCC};
inline constexpr char kMacText[] = "00:C0:02:AA:BB:CC";

class FakeAppliance {
  public:
    struct State {
        std::string name = "JXAABBCC";
        std::string description = "Office disk";
        bool dhcp_client = false;
        std::string ip = "192.168.5.20";  // settings only: it answers on 127.0.0.1
        std::string netmask = "255.255.255.0";
        std::string gateway = "0.0.0.0";
        bool dhcp_server = false;
        std::string dhcp_start = "192.168.5.100";
        std::string dhcp_end = "192.168.5.200";
        std::string workgroup = "WORKGROUP";
        std::string zone = "Office";
        std::int32_t time_zone = -5;
        bool wins = false;
        std::string wins_server = "0.0.0.0";
        std::string password;
    };

    explicit FakeAppliance(int apply_ms = 200)
        : apply_ms_(apply_ms), responder_([this](const Bytes &req) { return Reply(req); }) {}
    unsigned short port() const { return responder_.port(); }
    // Waits until every datagram already sent to it has been received and answered (a
    // client's retransmission may still wait in the socket after the client is done).
    void Settle() {
        while (!responder_.Idle()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

    State state() {
        std::lock_guard<std::mutex> lock(mutex_);
        return state_;
    }
    // Requests received, by command code.
    int Count(std::uint16_t command) {
        std::lock_guard<std::mutex> lock(mutex_);
        return counts_[command];
    }
    int Total() {
        std::lock_guard<std::mutex> lock(mutex_);
        int n = 0;
        for (const auto &[c, k] : counts_) n += k;
        return n;
    }
    std::string Printed() {
        std::lock_guard<std::mutex> lock(mutex_);
        return printed_;
    }
    // Every datagram as received, for looking for a password in them.
    std::vector<Bytes> Received() {
        std::lock_guard<std::mutex> lock(mutex_);
        return received_;
    }
    void Silence(bool silent) { silent_ = silent; }
    // A printer port that cannot be written (no printer): printer data answered -307.
    void PrinterFails(bool fails) { printer_fails_ = fails; }

  private:
    static void PutText(std::uint8_t *p, std::size_t width, const std::string &text) {
        std::memcpy(p, text.data(), std::min(width - 1, text.size()));
    }
    static void PutIp(std::uint8_t *p, const std::string &text) {
        in_addr a{};
        inet_pton(AF_INET, text.c_str(), &a);
        std::memcpy(p, &a, 4);
    }
    static std::string Text(const std::uint8_t *p, std::size_t width) {
        std::size_t n = 0;
        while (n < width - 1 && p[n] != 0) ++n;
        return std::string(reinterpret_cast<const char *>(p), n);
    }
    static std::string Ip(const std::uint8_t *p) { return dssetup::FormatIpv4(p); }

    Bytes Answer(const Bytes &req) {
        const proto::SetupHeader h = proto::GetHeader(req.data());
        Bytes r(8, 0);
        std::memcpy(r.data(), req.data(), 8);
        auto length = [&r](std::size_t payload) {
            r.resize(8 + payload, 0);
            proto::PutU16(r.data() + proto::kOffLength, static_cast<std::uint16_t>(payload));
        };
        auto status = [&r](int s) { proto::PutI16(r.data() + proto::kOffStatus, s); };
        length(0);  // header-only unless the command has a payload
        const bool mine = req.size() >= 14 && std::memcmp(req.data() + 8, kMac, 6) == 0;
        switch (h.command) {
            case proto::kCmdIdentify: {
                length(proto::identify::kPayload);
                std::memcpy(r.data() + proto::identify::kOffMac, kMac, 6);
                PutText(r.data() + proto::identify::kOffHostname, 15, state_.name);
                r[proto::identify::kOffPasswordFlag] = state_.password.empty() ? 0 : 1;
                return r;
            }
            case proto::kCmdReadSettings: {
                namespace st = proto::settings;
                length(st::kPayload);
                r[st::kOffPasswordFlag] = state_.password.empty() ? 0 : 1;
                proto::PutU16(r.data() + st::kOffVersion, 0x0123);
                PutText(r.data() + st::kOffDefaultName, 15, "JXAABBCC");
                std::memcpy(r.data() + st::kOffMac, kMac, 6);
                PutText(r.data() + st::kOffServerName, 15, state_.name);
                PutText(r.data() + st::kOffDescription, 49, state_.description);
                std::memcpy(r.data() + st::kOffDate, "12/07/2026\n", 11);
                std::memcpy(r.data() + st::kOffTime, "08:05:09", 8);
                r[st::kOffAddressMode] = state_.dhcp_client ? 0 : 1;
                PutIp(r.data() + st::kOffIp, state_.ip);
                PutIp(r.data() + st::kOffNetmask, state_.netmask);
                PutIp(r.data() + st::kOffGateway, state_.gateway);
                r[st::kOffDhcpServer] = state_.dhcp_server ? 0 : 1;
                PutIp(r.data() + st::kOffDhcpStart, state_.dhcp_start);
                PutIp(r.data() + st::kOffDhcpEnd, state_.dhcp_end);
                PutText(r.data() + st::kOffWorkgroup, 16, state_.workgroup);
                PutText(r.data() + st::kOffZone, 33, state_.zone);
                proto::PutI32(r.data() + st::kOffTimeZone, state_.time_zone);
                r[st::kOffWinsEnable] = state_.wins ? 1 : 0;
                PutIp(r.data() + st::kOffWinsServer, state_.wins_server);
                return r;
            }
            case proto::kCmdWriteSettings: {
                namespace wr = proto::write;
                if (!mine || req.size() < wr::kRequestSize)
                    return {};
                std::this_thread::sleep_for(std::chrono::milliseconds(apply_ms_));
                const std::uint8_t *q = req.data();
                state_.name = Text(q + wr::kOffServerName, wr::kServerNameWidth);
                state_.description = Text(q + wr::kOffDescription, wr::kDescriptionWidth);
                state_.dhcp_client = q[wr::kOffAddressMode] == 0;
                if (!state_.dhcp_client) {
                    state_.ip = Ip(q + wr::kOffIp);
                    state_.netmask = Ip(q + wr::kOffNetmask);
                    state_.gateway = Ip(q + wr::kOffGateway);
                    state_.dhcp_server = q[wr::kOffDhcpServer] == 0;
                    state_.dhcp_start = Ip(q + wr::kOffDhcpStart);
                    state_.dhcp_end = Ip(q + wr::kOffDhcpEnd);
                }
                state_.workgroup = Text(q + wr::kOffWorkgroup, wr::kWorkgroupWidth);
                state_.zone = Text(q + wr::kOffZone, wr::kZoneWidth);
                state_.time_zone = proto::GetI32(q + wr::kOffTimeZone);
                state_.wins = q[wr::kOffWinsEnable] == 1;
                state_.wins_server = Ip(q + wr::kOffWinsServer);
                return r;
            }
            case proto::kCmdSetPassword:
            case proto::kCmdVerifyPassword: {
                if (!mine || req.size() < proto::password::kRequestSize)
                    return {};
                const std::string given = Text(req.data() + proto::password::kOffPassword, 15);
                if (h.command == proto::kCmdSetPassword)
                    state_.password = given;
                else if (given != state_.password)
                    status(proto::kStNotVerified);
                return r;
            }
            case proto::kCmdPrinterData: {
                if (printer_fails_) {
                    status(proto::kStPrinter);
                    return r;
                }
                const std::size_t n = h.length > 0 ? h.length - 1u : 0u;
                if (req.size() >= proto::printer::kOffData + n)
                    printed_.append(
                        reinterpret_cast<const char *>(req.data()) + proto::printer::kOffData, n);
                length(proto::printer::kReplyPayload);
                return r;
            }
            case proto::kCmdPrinterAck:
                return r;
            default:
                status(proto::kStUnknownCommand);
                return r;
        }
    }

    // Runs on the responder's thread.
    Bytes Reply(const Bytes &req) {
        if (req.size() < 8)
            return {};
        std::lock_guard<std::mutex> lock(mutex_);
        ++counts_[proto::GetU16(req.data())];
        received_.push_back(req);
        if (silent_)
            return {};
        // A repeated request gets the stored answer, as the agent's does.
        if (req != last_request_) {
            last_reply_ = Answer(req);
            last_request_ = req;
        }
        return last_reply_;
    }

    const int apply_ms_;
    std::atomic<bool> silent_{false};
    std::atomic<bool> printer_fails_{false};
    std::mutex mutex_;
    State state_;
    std::map<std::uint16_t, int> counts_;
    std::vector<Bytes> received_;
    std::string printed_;
    Bytes last_request_, last_reply_;
    testutil::UdpResponder responder_;  // last: its thread ends before the rest goes
};

}  // namespace uitest
