// Descriptor closing (with and without close_range) and the library's command runner hook.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "common/process.h"
#include "tests/support/test_util.h"

namespace {

// In a child: opens descriptors well beyond 3 (and a gap), closes from `first` with `closer`,
// and reports (exit status) how many of 0..1023 are still open.
int OpenDescriptorsLeftBy(int (*closer)(int), int first) {
    const pid_t pid = fork();
    if (pid == 0) {
        for (int i = 0; i < 20; ++i) {
            if (open("/dev/null", O_RDONLY) < 0)
                _exit(200);
        }
        if (dup2(0, 700) != 700)  // far beyond the others
            _exit(201);
        if (closer(first) != 0)
            _exit(202);
        int open_count = 0;
        for (int fd = 0; fd < 1024; ++fd) {
            if (fcntl(fd, F_GETFD) != -1)
                ++open_count;
        }
        _exit(open_count);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(CloseDescriptors, EverythingFromTheFirstOnIsClosedEitherWay) {
    // Standard descriptors are open in the test; 0-2 stay, everything else goes.
    EXPECT_EQ(OpenDescriptorsLeftBy(close_descriptors_from, 3), 3);
    // The walk of /proc/self/fd, as used where close_range is missing (kernels before 5.9).
    EXPECT_EQ(OpenDescriptorsLeftBy(close_descriptors_walk, 3), 3);
    EXPECT_EQ(OpenDescriptorsLeftBy(close_descriptors_walk, 0), 0);
    EXPECT_EQ(OpenDescriptorsLeftBy(close_descriptors_walk, 10), 10);
}

int recorded_calls = 0;
std::string recorded_command;
int Recorder(const char *command) {
    ++recorded_calls;
    recorded_command = command;
    return 7 << 8;
}

TEST(RunSystem, GoesThroughTheRunnerThatWasSet) {
    testutil::TempDir dir;
    const std::string made = dir.file("made");
    EXPECT_EQ(run_system(("touch " + made).c_str()), 0);  // system() by default
    EXPECT_TRUE(testutil::FileExists(made));
    EXPECT_EQ(run_system("exit 3"), 3 << 8);

    set_system_runner(Recorder);
    EXPECT_EQ(run_system("/etc/rc.d/init.d/smb restart"), 7 << 8);
    EXPECT_EQ(recorded_calls, 1);
    EXPECT_EQ(recorded_command, "/etc/rc.d/init.d/smb restart");
    set_system_runner(nullptr);
    EXPECT_EQ(run_system("exit 0"), 0);
    EXPECT_EQ(recorded_calls, 1);
}

}  // namespace
