// shareapply: applies the stored Windows-sharing settings to Samba.
//
// Reads the settings of section "network" of the configuration file (without a lock; nothing
// else runs at boot) and hands them to SMBSetSamba. Exit status 0, or the failing step's
// negative result (the shell sees it modulo 256).
#include <cstdio>
#include <cstring>

#include "common/paths.h"
#include "common/util.h"
#include "config/cfg.h"
#include "config/keys.h"
#include "share/share.h"

namespace {

constexpr char kTag[] = "SYSTEM";

bool IsOn(const char *value) {
    return std::strcmp(value, "yes") == 0 || std::strcmp(value, "enable") == 0;
}

// The exit status of a failure. The service restart's raw wait status (an exit code of 1 is
// 256) would reach the shell as 0, success; such a result becomes 1.
int FailureStatus(int rc) {
    return (rc & 0xff) == 0 ? 1 : rc;
}

// Reads one key into field (of size bytes); traces failure.
int Read(const char *key, char *field, int size, const char *failure) {
    int rc = ReadCFGData(paths::kConfigFile, paths::kConfigSection, key, field, size);
    if (rc != 0) {
        NETDebugMsg(kTag, failure);
    }
    return rc;
}

}  // namespace

int main() {
    SambaInfo info;
    std::memset(&info, 0, sizeof info);

    int rc =
        Read(keys::kMsnEnable, info.state, sizeof info.state, "Read samba flag from DS.CONF fail");
    if (rc != 0) {
        return FailureStatus(rc);
    }
    if (!IsOn(info.state)) {
        std::snprintf(info.state, sizeof info.state, "%s", "disable");
        rc = SMBSetSamba(&info);
        if (rc != 0) {
            NETDebugMsg(kTag, "Set samba disable fail");
            return FailureStatus(rc);
        }
        return 0;
    }
    std::snprintf(info.state, sizeof info.state, "%s", "enable");

    char wins_flag[8] = {};
    struct Field {
        const char *key;
        char *out;
        int size;
        const char *failure;
    };
    const Field fields[] = {
        {keys::kWorkgroup, info.workgroup, sizeof info.workgroup,
         "Read workgroup from DS.CONF fail"},
        {keys::kCodePage, info.code_page, sizeof info.code_page,
         "Read code page from DS.CONF fail"},
        {keys::kPrinterName, info.printer_name, sizeof info.printer_name,
         "Read samba printername from DS.CONF fail"},
        {keys::kPrinterComment, info.printer_comment, sizeof info.printer_comment,
         "Read samba printer comment from DS.CONF fail"},
        {keys::kWinsEnable, wins_flag, sizeof wins_flag,
         "Read samba wins server flag from DS.CONF fail"},
    };
    for (const Field &f : fields) {
        rc = Read(f.key, f.out, f.size, f.failure);
        if (rc != 0) {
            return FailureStatus(rc);
        }
    }
    if (IsOn(wins_flag)) {
        rc = Read(keys::kWinsServer, info.wins_server, sizeof info.wins_server,
                  "Read samba wins server from DS.CONF fail");
        if (rc != 0) {
            return FailureStatus(rc);
        }
    }

    rc = SMBSetSamba(&info);
    if (rc != 0) {
        NETDebugMsg(kTag, "Set SMBShare fail");
        return FailureStatus(rc);
    }
    NETDebugMsg(kTag, "Set SMBShare Finish");
    return 0;
}
