// The daemon runs with the file-creation mask 0, so every file it creates gets exactly the
// mode it asks for; what its scripts and programs create gets the mask 022. After a round of
// every command but write settings (see write_settings_systest.cpp), no file that the agent or
// a child of it made or changed is writable by group or others.
#include <sys/stat.h>

#include "tests/agent/agent_sim.h"

namespace agentsim {
namespace {

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
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const timespec mark = CoarseNow();

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
    const auto changed = ChangedSince(mark);
    EXPECT_EQ(ModeIn(changed, kLock), 0644u);
    EXPECT_EQ(ModeIn(changed, kEventLog), 0644u);
    EXPECT_EQ(ModeIn(changed, "/tmp/date_tmep"), 0644u);
    EXPECT_EQ(ModeIn(changed, "/tmp/made-by-script"), 0644u);
    EXPECT_EQ(ModeIn(changed, "/tmp/folder-by-script"), 0755u);
    EXPECT_GE(ExpectNothingWritableByOthers(changed), 6);
}

}  // namespace
}  // namespace agentsim
