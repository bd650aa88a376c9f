// dssetup: the last settings read from each appliance, kept on this PC so that `dssetup
// rescue` can send them back to an appliance that no longer answers where it is looked for.
// One file per MAC address in the user's cache folder, readable by the user alone.
#pragma once

#include <ctime>
#include <string>

#include "client/settings.h"
#include "client/wire.h"

namespace dssetup {

// $XDG_CACHE_HOME/dssetup, or ~/.cache/dssetup; empty when neither is known.
std::string CacheDir();

// The file of one appliance in `dir`: "settings-00c0021a2b3c.json".
std::string KeptSettingsPath(const std::string &dir, const Mac &mac);

// Keeps the settings of a successful read (with where it answered and this PC's time), mode
// 0600, replacing the file whole or not at all. Nothing is kept when `dir` is empty. false
// with *error when the file cannot be written.
bool KeepSettings(const std::string &dir, const SettingsInfo &info, const std::string &address,
                  std::string *error);

struct KeptSettings {
    Settings settings;        // date and time as read then
    std::time_t kept_at = 0;  // this PC's clock at the read
    std::string address;      // where the appliance answered
};
// The settings kept for `mac`. false with *error empty when there are none, else with what is
// wrong with the file.
bool LoadKeptSettings(const std::string &dir, const Mac &mac, KeptSettings *kept,
                      std::string *error);

}  // namespace dssetup
