// dssetup: the settings as JSON, both ways.
#include "client/settings_json.h"

#include <cstdint>
#include <limits>
#include <nlohmann/json.hpp>
#include <string>

namespace dssetup {

namespace {

// Records why a text is no JSON; ignores everything else.
class ErrorSax : public nlohmann::json_sax<Json> {
  public:
    bool null() override { return true; }
    bool boolean(bool) override { return true; }
    bool number_integer(number_integer_t) override { return true; }
    bool number_unsigned(number_unsigned_t) override { return true; }
    bool number_float(number_float_t, const string_t &) override { return true; }
    bool string(string_t &) override { return true; }
    bool binary(binary_t &) override { return true; }
    bool start_object(std::size_t) override { return true; }
    bool key(string_t &) override { return true; }
    bool end_object() override { return true; }
    bool start_array(std::size_t) override { return true; }
    bool end_array() override { return true; }
    bool parse_error(std::size_t, const std::string &,
                     const nlohmann::detail::exception &ex) override {
        message = ex.what();
        // "[json.exception.parse_error.101] parse error at line 1, ...": the part for people.
        const std::size_t bracket = message.find("] ");
        if (message.rfind("[json.", 0) == 0 && bracket != std::string::npos) {
            message.erase(0, bracket + 2);
        }
        return false;
    }
    std::string message;
};

std::string ParseErrorOf(std::string_view text) {
    ErrorSax sax;
    Json::sax_parse(text.begin(), text.end(), &sax);
    return sax.message.empty() ? std::string("not JSON") : sax.message;
}

// Fields that are not settings: of the result, read-only ones, and "status_text" of objects
// printed by earlier versions.
constexpr std::string_view kReadOnly[] = {"message", "status_text",  "mac",         "default_name",
                                          "version", "version_code", "password_set"};

const KeyInfo *FindJsonField(std::string_view name) {
    for (const KeyInfo &k : kKeys) {
        if (k.json == name) {
            return &k;
        }
    }
    return nullptr;
}

}  // namespace

Json SettingsJson(const SettingsInfo &s) {
    Json j;
    j["mac"] = FormatMac(s.mac.data());
    j["server_name"] = s.server_name;
    j["default_name"] = s.default_name;
    j["description"] = s.description;
    j["version"] = FormatVersion(s.version);
    j["version_code"] = s.version;
    j["password_set"] = s.password_set;
    j["date"] = s.date;
    j["time"] = s.time;
    j["address_mode"] = s.dhcp_client ? "dhcp" : "static";
    j["ip_addr"] = s.ip;
    j["netmask"] = s.netmask;
    j["gateway"] = s.gateway;
    j["dhcp_server"] = s.dhcp_server;
    j["dhcp_start_ip"] = s.dhcp_start;
    j["dhcp_end_ip"] = s.dhcp_end;
    j["workgroup"] = s.workgroup;
    j["zone"] = s.zone;
    j["time_zone"] = s.time_zone;
    j["wins"] = s.wins;
    j["wins_server"] = s.wins_server;
    return j;
}

bool ParseSettingsJson(std::string_view text, std::vector<Change> *changes,
                       std::vector<Problem> *problems) {
    const Json j = Json::parse(text.begin(), text.end(), nullptr, false);
    if (j.is_discarded()) {
        problems->push_back({"", "the settings are not JSON: " + ParseErrorOf(text)});
        return false;
    }
    if (!j.is_object()) {
        problems->push_back({"",
                             "the settings must be one JSON object, as 'dssetup show --json' "
                             "prints it"});
        return false;
    }
    const std::size_t problems_before = problems->size();
    for (const auto &[name, value] : j.items()) {
        auto wrong = [&, &field_name = name](const char *what) {
            problems->push_back({field_name, "\"" + field_name + "\" must be " + what});
        };
        if (name == "ok") {
            if (!value.is_boolean()) {
                wrong("true or false");
            } else if (!value.get<bool>()) {
                problems->push_back({"ok", "these settings come from a command that failed"});
            }
            continue;
        }
        if (name == "status") {
            if (value.is_null()) {
                problems->push_back({"status", "these settings come from a command that failed"});
            } else if (!value.is_number_integer()) {
                wrong("a number");
            } else if (value.get<std::int64_t>() != 0) {
                const int status = static_cast<int>(value.get<std::int64_t>());
                problems->push_back(
                    {"status", "these settings come from a read that failed with " +
                                   StatusWords(status) +
                                   ": the fields after the failure are zeros, not settings"});
            }
            continue;
        }
        if (name == "date" || name == "time") {
            continue;  // a reading of the clock, not a setting to send back
        }
        bool read_only = false;
        for (std::string_view r : kReadOnly) {
            read_only = read_only || r == name;
        }
        if (read_only) {
            continue;
        }
        const KeyInfo *key = FindJsonField(name);
        if (key == nullptr) {
            problems->push_back({name, "unknown field \"" + name + "\""});
            continue;
        }
        Change c;
        c.key = key->key;
        c.from_json = true;
        switch (key->key) {
            case Key::kDhcpServer:
            case Key::kWins:
                if (!value.is_boolean()) {
                    wrong("true or false");
                    continue;
                }
                c.value = value.get<bool>() ? "on" : "off";
                break;
            case Key::kTimeZone: {
                if (!value.is_number_integer()) {
                    wrong("a whole number");
                    continue;
                }
                const std::int64_t v = value.get<std::int64_t>();
                if (v < std::numeric_limits<std::int32_t>::min() ||
                    v > std::numeric_limits<std::int32_t>::max()) {
                    wrong("a 32-bit number");
                    continue;
                }
                c.value = std::to_string(v);
                break;
            }
            default:
                if (!value.is_string()) {
                    wrong("a string");
                    continue;
                }
                c.value = value.get<std::string>();
                break;
        }
        changes->push_back(c);
    }
    return problems->size() == problems_before;
}

}  // namespace dssetup
