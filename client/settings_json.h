// dssetup: the settings as a JSON object, printed by `show --json` and read back by
// `set --from`.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "client/result.h"
#include "client/settings.h"
#include "client/wire.h"

namespace dssetup {

// The settings of a successful read as the fields of a JSON object: those of kKeys[].json and
// the read-only mac, default_name, version, version_code and password_set.
Json SettingsJson(const SettingsInfo &info);

// The settable fields of a JSON object as `show --json` prints it, as changes. The read-only
// fields are accepted and ignored, and so are the result's "ok", "status" and "message", and
// "date" and "time": they are a reading of the appliance's clock, out of date by the time the
// object is sent back. An object of a failed command ("ok" false, or a "status" other than 0)
// is refused. false with problems for text that is no JSON object, unknown fields and values
// of the wrong type.
bool ParseSettingsJson(std::string_view text, std::vector<Change> *changes,
                       std::vector<Problem> *problems);

}  // namespace dssetup
