// dssetup: the settings as a JSON object, printed by `show --json` and read back by
// `set --from`.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "client/settings.h"
#include "client/wire.h"

namespace dssetup {

// The whole read-settings reply as one JSON object (field names in kKeys[].json and the
// read-only ones: status, status_text, mac, default_name, version, version_code,
// password_set). Text that is not UTF-8 is shown with U+FFFD in place of the bad bytes.
std::string FormatSettingsJson(const SettingsInfo &info);

// A text as FormatSettingsJson shows it, decoded again (equal to the text when it is UTF-8).
std::string TextAsShown(std::string_view text);

// The settable fields of a JSON object as FormatSettingsJson prints it, as changes. The
// read-only fields are accepted and ignored, and so are "date" and "time": they are a reading
// of the appliance's clock, out of date by the time the object is sent back. An object whose
// "status" is not 0 came from a failed read and is refused. false with problems for text that
// is no JSON object, unknown fields and values of the wrong type.
bool ParseSettingsJson(std::string_view text, std::vector<Change> *changes,
                       std::vector<Problem> *problems);

}  // namespace dssetup
