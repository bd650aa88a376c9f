// dssetup: results of the commands and their JSON form.
#include "client/result.h"

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
    // Texts are UTF-8 by the time they get here (see Latin1ToUtf8); a stray byte that is not
    // still becomes U+FFFD instead of invalid output.
    return j.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
}

}  // namespace dssetup
