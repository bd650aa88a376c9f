// What the sharing system tests share: the fixture, records and file checks.
#pragma once

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "share/share.h"
#include "tests/support/sim_env.h"
#include "tests/support/test_util.h"

namespace sharetest {

inline constexpr char kSmbCalls[] = "/etc/rc.d/init.d/smb";
inline constexpr char kAtalkCalls[] = "/etc/rc.d/init.d/atalk";

class ShareSystem : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!sim::Inside()) {
            GTEST_SKIP() << "runs in the simulated appliance";
        }
        sim::ClearLogs();
        // The appliance as started, also when several cases share one run.
        for (const char *file :
             {"/etc/smb.conf", "/etc/printcap", "/etc/atalk/atalkd.conf", "/etc/atalk/papd.conf"}) {
            testutil::WriteFile(file, testutil::ReadFile(sim::SourceDir() + "/sim/rootfs" + file));
        }
        unlink("/var/lib/sim/status/smb");
        unlink("/var/lib/sim/status/atalk");
    }
};

// Makes the stand-in of program exit with status.
inline void SetExitStatus(const std::string &program, int status) {
    testutil::WriteFile("/var/lib/sim/status/" + program, std::to_string(status) + "\n");
}

// Temporary files of the rewrites still in /tmp (names, one per line).
inline std::string LeftoverTemps() {
    std::string found;
    DIR *dir = opendir("/tmp");
    if (dir == nullptr) {
        return found;
    }
    while (dirent *e = readdir(dir)) {
        std::string name = e->d_name;
        for (const char *prefix : {"SaM.bA", "sAm.Ba", "NeTa.lk", "nEtA.lK"}) {
            if (name.rfind(prefix, 0) == 0) {
                found += name + "\n";
            }
        }
    }
    closedir(dir);
    return found;
}

inline struct stat StatOf(const std::string &path) {
    struct stat st {};
    stat(path.c_str(), &st);
    return st;
}

inline SambaInfo Samba(const char *state, const char *workgroup, const char *wins = "",
                       const char *printer = "lp", const char *comment = "",
                       const char *code_page = "437") {
    SambaInfo info{};
    std::snprintf(info.state, sizeof info.state, "%s", state);
    std::snprintf(info.workgroup, sizeof info.workgroup, "%s", workgroup);
    std::snprintf(info.code_page, sizeof info.code_page, "%s", code_page);
    std::snprintf(info.printer_name, sizeof info.printer_name, "%s", printer);
    std::snprintf(info.printer_comment, sizeof info.printer_comment, "%s", comment);
    std::snprintf(info.wins_server, sizeof info.wins_server, "%s", wins);
    return info;
}

inline AtalkInfo Atalk(const char *state, const char *zone, const char *printer = "lp",
                       const char *type = "LaserWriter", const char *client = "LaserWriter") {
    AtalkInfo info{};
    std::snprintf(info.state, sizeof info.state, "%s", state);
    std::snprintf(info.zone, sizeof info.zone, "%s", zone);
    std::snprintf(info.printer_name, sizeof info.printer_name, "%s", printer);
    std::snprintf(info.printer_type, sizeof info.printer_type, "%s", type);
    std::snprintf(info.printer_client, sizeof info.printer_client, "%s", client);
    return info;
}

}  // namespace sharetest
