// dssetup: what a command comes to, for every front end alike. The command-line tool prints it
// as text or as one JSON object; another front end takes the fields as they are.
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace dssetup {

using Json = nlohmann::ordered_json;

// Exit statuses of the command-line tool.
inline constexpr int kExitOk = 0;        // done
inline constexpr int kExitNoAnswer = 1;  // no answer, nothing found, the network cannot be used
inline constexpr int kExitUsage = 2;     // a wrong command line or value: nothing was sent
inline constexpr int kExitRefused = 3;   // the appliance answered with a failure status

// A rule broken by a value: the key (as given to `set`, empty for the whole input) and what a
// person should know about it.
// A warning is a problem that --force may override: the settings keep every rule, but sending
// them looks like a mistake (the appliance would be cut off from this PC).
struct Problem {
    std::string field;
    std::string message;
    bool warning = false;
};

struct Result {
    bool ok = false;
    int exit = kExitNoAnswer;
    std::optional<int> status;      // the appliance's status; none when it did not answer
    std::string message;            // one sentence for people
    Json data = Json::object();     // the command's data, on success only
    std::vector<Problem> problems;  // values refused before anything was sent
    std::string text;               // on success: the data as lines for people
    // After a set that failed once sent: what became of the appliance (see ResultJson).
    Json rollback;
};

Result Succeeded(std::string message, std::optional<int> status = std::nullopt);
Result NoAnswer(std::string message);
Result Usage(std::string message);
// The appliance answered `status` (non-zero); `message` says what it means for the command.
Result Refused(int status, std::string message);

// A JSON value as one line of text, every control character escaped: the library's
// escapes (U+0000 to U+001F), DEL and U+0080 to U+009F too, so that nothing printed can steer
// a terminal.
std::string JsonText(const Json &j);

// The one JSON object of every command and outcome: "ok", "status" (a number or null),
// "message", then on success the data's fields, on a refusal "problems" (each with "field",
// "message" and, for a warning, "warning": true), after a failed set "rollback". One line.
std::string ResultJson(const Result &result);

}  // namespace dssetup
