#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <cstdio>

#include "common/scoped.h"
#include "common/util.h"

namespace {
constexpr int kLineSize = 256;  // key, "=" and value: at most 254 characters are kept
constexpr mode_t kCreatedFileMode = 0644;
}  // namespace

int put_string(FILE *stream, const char *key, const char *value) {
    if (stream == nullptr || key == nullptr || value == nullptr) {
        return -2;
    }
    // A stream that cannot seek (a pipe) writes at its end anyway.
    (void)std::fseek(stream, 0, SEEK_END);
    char line[kLineSize];
    int n = std::snprintf(line, sizeof line, "%s=%s", key, value);
    if (n < 0) {
        return -2;
    }
    if (std::fputs(line, stream) == EOF || std::fputc('\n', stream) == EOF) {
        return -2;
    }
    return 0;
}

int create_file(const char *path) {
    // An explicit mode: the agent runs with the file-creation mask 0.
    UniqueFd fd(::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, kCreatedFileMode));
    if (!fd.valid()) {
        return -1;
    }
    return fd.reset() == 0 ? 0 : -1;
}

int change_file_owner(const char *path, const char *user, const char *group) {
    if (path == nullptr || user == nullptr || group == nullptr) {
        return -1;
    }
    const struct passwd *pw = ::getpwnam(user);
    if (pw == nullptr) {
        return -1;
    }
    uid_t uid = pw->pw_uid;
    const struct group *gr = ::getgrnam(group);
    if (gr == nullptr) {
        return -1;
    }
    return ::chown(path, uid, gr->gr_gid) == 0 ? 0 : -1;
}
