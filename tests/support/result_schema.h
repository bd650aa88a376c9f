// The one JSON schema of dssetup's output, as tests hold every command to it: one line, parsed
// by a strict JSON parser (well-formed UTF-8 included); an object whose first fields are "ok"
// (true or false), "status" (a number or null) and "message" (a string); on failure nothing
// but "problems" or "rollback" beyond them.
#pragma once

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>

namespace testutil {

inline nlohmann::ordered_json ParsedResult(const std::string &out) {
    using Json = nlohmann::ordered_json;
    EXPECT_FALSE(out.empty());
    EXPECT_EQ(out.find('\n'), out.size() - 1) << "one line: " << out;
    const Json j = Json::parse(out, nullptr, false);
    EXPECT_FALSE(j.is_discarded()) << out;
    if (j.is_discarded() || !j.is_object()) {
        ADD_FAILURE() << "not a JSON object: " << out;
        return Json::object();
    }
    EXPECT_TRUE(j.contains("ok") && j["ok"].is_boolean()) << out;
    EXPECT_TRUE(j.contains("status") && (j["status"].is_number_integer() || j["status"].is_null()))
        << out;
    EXPECT_TRUE(j.contains("message") && j["message"].is_string()) << out;
    if (j.size() >= 3) {
        auto it = j.begin();
        EXPECT_EQ(it.key(), "ok") << out;
        EXPECT_EQ((++it).key(), "status") << out;
        EXPECT_EQ((++it).key(), "message") << out;
    }
    if (j.contains("ok") && j["ok"].is_boolean() && !j["ok"].get<bool>()) {
        for (const auto &[key, value] : j.items()) {
            EXPECT_TRUE(key == "ok" || key == "status" || key == "message" || key == "problems" ||
                        key == "rollback")
                << "data of a failure: " << key << " in " << out;
        }
    }
    return j;
}

}  // namespace testutil
