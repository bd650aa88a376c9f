// Walls around a harness whose code under test writes fixed paths or talks to the network: a
// mount namespace of its own with fresh, empty file systems over the folders it writes (the
// test root), and a network namespace of its own with only its loopback interface up. Made
// once, from LLVMFuzzerInitialize (before libFuzzer starts threads); as root, or else inside a
// user namespace of the harness's own. A harness that cannot have its walls does not run.
#pragma once

#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace sandbox {

// Writes `text` to a /proc file of this process.
inline bool WriteProc(const char *path, const std::string &text) {
    const int fd = open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    close(fd);
    return ok;
}

// New namespaces of the kinds in `flags`; without root, inside a new user namespace in which
// this process is root.
inline bool Unshare(int flags) {
    if (unshare(flags) == 0) {
        return true;
    }
    const uid_t uid = getuid();
    const gid_t gid = getgid();
    if (unshare(flags | CLONE_NEWUSER) != 0) {
        return false;
    }
    return WriteProc("/proc/self/setgroups", "deny") &&
           WriteProc("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") &&
           WriteProc("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1");
}

// The test root: an empty tmpfs over each folder of `folders` (null-terminated), in a mount
// namespace of this process alone. Nothing the harness writes there reaches the machine.
inline bool PrivateFolders(const char *const *folders) {
    if (!Unshare(CLONE_NEWNS) || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        return false;
    }
    for (const char *const *f = folders; *f != nullptr; ++f) {
        if (mount("fuzzroot", *f, "tmpfs", MS_NOSUID | MS_NODEV, "size=64m,mode=0755") != 0) {
            return false;
        }
    }
    return true;
}

// A network of this process alone: its loopback interface, up; nothing else to send to.
inline bool PrivateNetwork() {
    if (!Unshare(CLONE_NEWNET)) {
        return false;
    }
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    ifreq ifr{};
    std::snprintf(ifr.ifr_name, sizeof ifr.ifr_name, "lo");
    bool ok = ioctl(fd, SIOCGIFFLAGS, &ifr) == 0;
    ifr.ifr_flags = static_cast<short>(ifr.ifr_flags | IFF_UP);
    ok = ok && ioctl(fd, SIOCSIFFLAGS, &ifr) == 0;
    close(fd);
    return ok;
}

// Ends the harness when its walls cannot be had.
[[noreturn]] inline void Refuse(const char *harness, const char *what) {
    std::fprintf(stderr, "%s: cannot make %s (needs root or user namespaces); not run\n", harness,
                 what);
    std::exit(1);
}

}  // namespace sandbox
