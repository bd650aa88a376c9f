// dssetup: the settings kept per appliance for `dssetup rescue`.
#include "client/kept_settings.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "client/session.h"
#include "client/settings_json.h"

namespace dssetup {

namespace {

constexpr mode_t kFolderMode = 0700;
constexpr mode_t kFileMode = 0600;

}  // namespace

std::string CacheDir() {
    const char *cache = std::getenv("XDG_CACHE_HOME");
    if (cache != nullptr && cache[0] == '/') {
        return std::string(cache) + "/dssetup";
    }
    const char *home = std::getenv("HOME");
    if (home != nullptr && home[0] == '/') {
        return std::string(home) + "/.cache/dssetup";
    }
    return {};
}

std::string KeptSettingsPath(const std::string &dir, const Mac &mac) {
    char name[40];
    std::snprintf(name, sizeof name, "settings-%02x%02x%02x%02x%02x%02x.json", mac[0], mac[1],
                  mac[2], mac[3], mac[4], mac[5]);
    return dir + "/" + name;
}

bool KeepSettings(const std::string &dir, const SettingsInfo &info, const std::string &address,
                  std::string *error) {
    if (dir.empty() || info.status != 0) {
        return true;
    }
    // The cache folder and the tool's folder in it, as private as the files.
    mkdir(dir.substr(0, dir.rfind('/')).c_str(), kFolderMode);
    mkdir(dir.c_str(), kFolderMode);
    Json j;
    j["kept_at"] = static_cast<long long>(std::time(nullptr));
    j["address"] = address;
    j["settings"] = SettingsJson(info);
    const std::string text = j.dump(1, ' ', false, Json::error_handler_t::replace) + "\n";
    const std::string path = KeptSettingsPath(dir, info.mac);
    std::string temp = path + ".XXXXXX";
    const int fd = mkstemp(temp.data());
    if (fd < 0) {
        *error = "cannot keep the settings in " + dir + ": " + strerror(errno);
        return false;
    }
    // Whole or not at all: written and synced under another name, then renamed over the old.
    const bool ok = fchmod(fd, kFileMode) == 0 && WriteWhole(fd, text) && fsync(fd) == 0;
    const int saved = errno;
    if (close(fd) != 0 || !ok || rename(temp.c_str(), path.c_str()) != 0) {
        *error = "cannot keep the settings in " + path + ": " + strerror(ok ? errno : saved);
        unlink(temp.c_str());
        return false;
    }
    return true;
}

bool LoadKeptSettings(const std::string &dir, const Mac &mac, KeptSettings *kept,
                      std::string *error) {
    error->clear();
    if (dir.empty()) {
        return false;
    }
    const std::string path = KeptSettingsPath(dir, mac);
    std::FILE *f = std::fopen(path.c_str(), "re");
    if (f == nullptr) {
        if (errno != ENOENT) {
            *error = "cannot read " + path + ": " + strerror(errno);
        }
        return false;
    }
    std::string text;
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, f)) > 0;) {
        text.append(buffer, n);
    }
    std::fclose(f);
    const Json j = Json::parse(text, nullptr, false);
    const bool shaped = j.is_object() && j.contains("settings") && j["settings"].is_object() &&
                        j.contains("kept_at") && j["kept_at"].is_number_integer() &&
                        j["settings"].contains("date") && j["settings"]["date"].is_string() &&
                        j["settings"].contains("time") && j["settings"]["time"].is_string();
    std::vector<Change> changes;
    std::vector<Problem> problems;
    Settings s;
    if (!shaped || !ParseSettingsJson(j["settings"].dump(), &changes, &problems) ||
        !ApplyChanges(changes, s, &s, &problems)) {
        *error = path + " does not hold settings as dssetup keeps them";
        return false;
    }
    s.date = j["settings"]["date"].get<std::string>();
    s.time = j["settings"]["time"].get<std::string>();
    kept->settings = s;
    kept->kept_at = static_cast<std::time_t>(j["kept_at"].get<long long>());
    kept->address = j.contains("address") && j["address"].is_string()
                        ? j["address"].get<std::string>()
                        : std::string();
    return true;
}

}  // namespace dssetup
