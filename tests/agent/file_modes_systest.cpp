// The daemon runs with the file-creation mask 0, so every file it creates gets exactly the
// mode it asks for; what its scripts and programs create gets the mask 022. After a round of
// every command, no file that the agent or a child of it made or changed is writable by
// group or others.
#include <ftw.h>
#include <sys/stat.h>

#include <climits>
#include <cstdlib>
#include <ctime>
#include <map>

#include "tests/agent/agent_sim.h"

namespace agentsim {
namespace {

// Every file and folder under `roots` changed since `since` (inode change time), with its mode.
std::map<std::string, mode_t> &Changed() {
    static std::map<std::string, mode_t> changed;
    return changed;
}
timespec changed_since{};

int Note(const char *path, const struct stat *st, int, FTW *) {
    const timespec c = st->st_ctim;
    if (c.tv_sec > changed_since.tv_sec ||
        (c.tv_sec == changed_since.tv_sec && c.tv_nsec >= changed_since.tv_nsec)) {
        Changed()[path] = st->st_mode;
    }
    return 0;
}

class FileModesTest : public AgentSimTest {};

TEST_F(FileModesTest, NothingTheAgentOrItsChildrenMakeIsWritableByOthers) {
    // The password check stands in for every script the agent runs: it makes a file and a
    // folder with the modes the shell's defaults give them.
    testutil::WriteFile(kPasswordScript,
                        "#!/bin/sh\n"
                        ": > /tmp/made-by-script\n"
                        "mkdir -p /tmp/folder-by-script\n"
                        "umask > /tmp/script-umask\n",
                        0755);
    // Made fresh (the lower layer of the appliance's /var may hold one of the host).
    unlink("/var/log/DS_log.tmp");
    // An old lock file of another mode is taken over with the agent's own.
    testutil::WriteFile(kLock, "", 0666);
    chmod(kLock, 0666);
    PrinterPort port;
    ASSERT_TRUE(port.ok());
    // File times come from the kernel's coarse clock: the mark is taken from the same one,
    // well after the set-up's own files.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    clock_gettime(CLOCK_REALTIME_COARSE, &changed_since);

    ASSERT_EQ(StartAgent(), 0);
    Pc pc;
    EXPECT_EQ(pc.Ask(Request(0x00, 1)).size(), 32u);   // identify: the script
    EXPECT_EQ(pc.Ask(Request(0x10, 2)).size(), 258u);  // read settings: script, clockshow
    EXPECT_EQ(pc.Ask(PasswordRequest(0x12, 3, "pw")).size(), 8u);
    EXPECT_EQ(pc.Ask(PasswordRequest(0x13, 4, "pw")).size(), 8u);
    Bytes print = Request(0x20, 5, 12);
    proto::PutU16(print.data() + 6, 4);
    EXPECT_EQ(pc.Ask(print).size(), 10u);
    EXPECT_EQ(pc.Ask(Request(0x05, 6)).size(), 8u);  // unknown: logged nowhere, answered
    unlink(kConfig);
    EXPECT_EQ(pc.Ask(Request(0x10, 7)).size(), 258u);  // a failure that is logged

    EXPECT_EQ(testutil::ReadFile("/tmp/script-umask"), "0022\n");
    for (const char *root : {"/etc", "/var", "/tmp", "/run", "/dev"}) {
        nftw(root, Note, 32, FTW_PHYS);
    }
    std::map<std::string, mode_t> &changed = Changed();
    auto mode = [&](const std::string &path) {
        char real[PATH_MAX];  // /var/lock may lead to /run/lock
        auto it = changed.find(realpath(path.c_str(), real) != nullptr ? real : path.c_str());
        return it == changed.end() ? ~0u : (it->second & 07777);
    };
    EXPECT_EQ(mode(kLock), 0644u);
    EXPECT_EQ(mode(kEventLog), 0644u);
    EXPECT_EQ(mode("/tmp/date_tmep"), 0644u);
    EXPECT_EQ(mode("/tmp/made-by-script"), 0644u);
    EXPECT_EQ(mode("/tmp/folder-by-script"), 0755u);

    int checked = 0;
    for (const auto &[path, m] : changed) {
        if (path.rfind("/var/log/sim/", 0) == 0 || path == "/var/log/sim" ||
            path == PrinterPort::kPath || S_ISLNK(m) || S_ISSOCK(m)) {
            continue;  // the simulator's own logs, the test's printer FIFO, no modes of their own
        }
        if (path == "/var/log/DS_log.tmp") {
            continue;  // the event log's temporary file: checked by the event log's own tests
        }
        if (path == "/tmp" || path == "/var/tmp" || path == "/dev/shm") {
            EXPECT_EQ(m & 07777, 01777u) << path;  // sticky folders open to all, as they were
            continue;
        }
        ++checked;
        EXPECT_EQ(m & 0022, 0u) << path << " has mode " << std::oct << (m & 07777);
    }
    EXPECT_GE(checked, 6);
}

}  // namespace
}  // namespace agentsim
