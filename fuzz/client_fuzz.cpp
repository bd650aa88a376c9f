// libFuzzer harness of dssetup's inputs from outside: a reply datagram from the LAN, and the
// JSON object of `set --from`. Besides the sanitizers, the harness checks
// - of a reply: what `show` and `discover` print for people holds no control character but
//   the line feeds, and the `--json` object is valid JSON with every control character
//   escaped;
// - of `set --from`: whatever passes dssetup's own rules is a request the agent takes: no
//   changed text with a control character (C0, DEL, C1), a value the settings file cannot
//   hold or a text its system files would change; a real date and time of day.
//
// Input: one byte (even: a reply; odd: a `set --from` object), then the datagram or the text.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

#include "client/result.h"
#include "client/settings.h"
#include "client/settings_json.h"
#include "client/wire.h"
#include "config/cfg.h"
#include "net/net.h"
#include "protocol/clock_text.h"
#include "protocol/protocol.h"
#include "share/share.h"

namespace {

[[noreturn]] void Breach(const std::string &what) {
    std::fprintf(stderr, "client_fuzz: %s\n", what.c_str());
    std::abort();
}

// A control character in UTF-8 text: C0 (line feeds allowed when `lines`), DEL, C1 (U+0080 to
// U+009F, 0xC2 0x80-0x9F).
bool HasControl(std::string_view text, bool lines) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        const auto next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0U;
        if ((c < 0x20 && !(lines && c == '\n')) || c == 0x7F ||
            (c == 0xC2 && next >= 0x80 && next <= 0x9F)) {
            return true;
        }
    }
    return false;
}

void CheckJson(const dssetup::Json &j, const char *what) {
    const std::string text = dssetup::JsonText(j);
    if (HasControl(text, false)) {
        Breach(std::string(what) + ": a control character printed raw in JSON");
    }
    if (dssetup::Json::parse(text, nullptr, false).is_discarded()) {
        Breach(std::string(what) + ": the JSON printed is not valid");
    }
}

void Reply(const std::uint8_t *d, std::size_t n) {
    dssetup::IdentifyInfo id;
    if (dssetup::DecodeIdentify(d, n, &id)) {
        id.address = "192.168.0.2";
        const std::string table = dssetup::FormatDiscoverTable({id});
        if (HasControl(table, true)) {
            Breach("discover prints a control character");
        }
        CheckJson(dssetup::Json{{"hostname", id.hostname}}, "discover");
    }
    dssetup::SettingsInfo info;
    if (dssetup::DecodeSettings(d, n, &info)) {
        if (HasControl(dssetup::FormatSettingsText(info), true)) {
            Breach("show prints a control character");
        }
        CheckJson(dssetup::SettingsJson(info), "show");
    }
    if (n >= proto::kHeaderSize) {
        (void)dssetup::IsReplyTo(d, n, proto::kCmdReadSettings, proto::GetU16(d + 4));
    }
}

// The settings read from the appliance that the changes start from.
dssetup::SettingsInfo Current() {
    dssetup::SettingsInfo s;
    s.mac = {0x00, 0xC0, 0x02, 0x1A, 0x2B, 0x3C};
    s.server_name = "STORAGE";
    s.description = "Office disk";
    s.date = "12/07/2026";
    s.time = "08:05:09";
    s.ip = "192.168.0.2";
    s.netmask = "255.255.255.0";
    s.gateway = "0.0.0.0";
    s.dhcp_server = true;
    s.dhcp_start = "192.168.0.100";
    s.dhcp_end = "192.168.0.200";
    s.workgroup = "WORKGROUP";
    s.zone = "Office";
    s.wins_server = "0.0.0.0";
    return s;
}

// A text field of the request as the agent reads it (up to the zero it forces into its last
// byte), and whether the agent takes it when it differs from the stored one.
std::string Field(const dssetup::Bytes &r, std::size_t offset, std::size_t width) {
    const char *p = reinterpret_cast<const char *>(r.data() + offset);
    return std::string(p, strnlen(p, width - 1));
}

bool AgentTakes(const std::string &latin1, bool (*fits_files)(const char *)) {
    for (const char c : latin1) {
        const auto b = static_cast<unsigned char>(c);
        if (b < 0x20 || b == 0x7F || (b >= 0x80 && b <= 0x9F)) {
            return false;
        }
    }
    return CFGValueIsStorable(latin1.c_str()) &&
           (fits_files == nullptr || fits_files(latin1.c_str()));
}

void SetFrom(std::string_view text) {
    std::vector<dssetup::Change> changes;
    std::vector<dssetup::Problem> problems;
    if (!dssetup::ParseSettingsJson(text, &changes, &problems)) {
        return;
    }
    const dssetup::Settings current = dssetup::SettingsOf(Current());
    dssetup::Settings wanted = current;
    if (!dssetup::ApplyChanges(changes, current, &wanted, &problems)) {
        return;
    }
    (void)dssetup::ApplyImplied(changes, current, &wanted);
    if (!dssetup::Validate(current, wanted).empty()) {
        return;
    }
    const dssetup::Bytes r = dssetup::EncodeWriteSettings(7, Current().mac, wanted);
    namespace w = proto::write;
    if (r.size() != w::kRequestSize) {
        Breach("a write request of another size");
    }
    const dssetup::Bytes before = dssetup::EncodeWriteSettings(7, Current().mac, current);
    struct TextField {
        std::size_t offset;
        std::size_t width;
        bool (*fits_files)(const char *);
        const char *what;
    };
    const TextField fields[] = {
        {w::kOffServerName, w::kServerNameWidth, NETServerNameIsValid, "server name"},
        {w::kOffDescription, w::kDescriptionWidth, nullptr, "description"},
        {w::kOffWorkgroup, w::kWorkgroupWidth, SMBWorkgroupIsSafe, "workgroup"},
        {w::kOffZone, w::kZoneWidth, APPLEZoneIsSafe, "zone"},
    };
    for (const TextField &f : fields) {
        const std::string now = Field(r, f.offset, f.width);
        if (now != Field(before, f.offset, f.width) && !AgentTakes(now, f.fits_files)) {
            Breach(std::string("dssetup sends a ") + f.what + " the agent refuses");
        }
    }
    if (!proto::clock::DateTextIsValid(Field(r, w::kOffDate, w::kDateWidth)) ||
        !proto::clock::TimeTextIsValid(Field(r, w::kOffTime, w::kTimeWidth))) {
        Breach("dssetup sends a date or time the agent refuses");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    if ((data[0] & 1) == 0) {
        Reply(data + 1, size - 1);
    } else {
        SetFrom(std::string_view(reinterpret_cast<const char *>(data + 1), size - 1));
    }
    return 0;
}
