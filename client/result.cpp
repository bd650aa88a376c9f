// dssetup: results of the commands and their JSON form.
#include "client/result.h"

#include <cstdio>
#include <utility>

namespace dssetup {

Result Succeeded(std::string message, std::optional<int> status) {
    Result r;
    r.ok = true;
    r.exit = kExitOk;
    r.status = status;
    r.message = std::move(message);
    return r;
}

Result NoAnswer(std::string message) {
    Result r;
    r.exit = kExitNoAnswer;
    r.message = std::move(message);
    return r;
}

Result Usage(std::string message) {
    Result r;
    r.exit = kExitUsage;
    r.message = std::move(message);
    return r;
}

Result Refused(int status, std::string message) {
    Result r;
    r.exit = kExitRefused;
    r.status = status;
    r.message = std::move(message);
    return r;
}

std::string JsonText(const Json &j) {
    // Texts are UTF-8 by the time they get here (see Latin1ToUtf8); a stray byte that is not
    // still becomes U+FFFD instead of invalid output.
    const std::string raw = j.dump(-1, ' ', false, Json::error_handler_t::replace);
    // The library escapes U+0000 to U+001F only; DEL and the C1 controls U+0080 to U+009F
    // (U+009B starts a terminal's commands) are escaped too. Outside strings the text is
    // ASCII, so every such character stands inside one.
    std::string out;
    out.reserve(raw.size());
    for (std::size_t i = 0; i < raw.size(); ++i) {
        const auto c = static_cast<unsigned char>(raw[i]);
        const unsigned next = i + 1 < raw.size() ? static_cast<unsigned char>(raw[i + 1]) : 0U;
        unsigned point = 0x100;  // none
        if (c == 0x7F) {
            point = c;
        } else if (c == 0xC2 && next >= 0x80 && next <= 0x9F) {
            point = next;
            ++i;
        }
        if (point == 0x100) {
            out += raw[i];
            continue;
        }
        char escape[8];
        std::snprintf(escape, sizeof escape, "\\u%04x", point);
        out += escape;
    }
    return out;
}

std::string ResultJson(const Result &r) {
    Json j;
    j["ok"] = r.ok;
    j["status"] = r.status.has_value() ? Json(*r.status) : Json(nullptr);
    j["message"] = r.message;
    if (r.ok) {
        for (const auto &[key, value] : r.data.items()) {
            j[key] = value;
        }
    } else if (!r.problems.empty()) {
        Json list = Json::array();
        for (const Problem &p : r.problems) {
            Json item{{"field", p.field}, {"message", p.message}};
            if (p.warning) {
                item["warning"] = true;
            }
            list.push_back(item);
        }
        j["problems"] = list;
    }
    if (!r.ok && !r.rollback.is_null()) {
        j["rollback"] = r.rollback;
    }
    return JsonText(j) + "\n";
}

}  // namespace dssetup
