// dssetup ui: the forwarding file and xdg-open.
#include "client/ui/browser_opener.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "client/session.h"
#include "common/scoped.h"

extern char **environ;

namespace dssetup::ui {

namespace {

bool Set(const char *name) {
    const char *value = std::getenv(name);
    return value != nullptr && *value != '\0';
}

// The page that sends the browser on, by script and, without one, by a refresh; the address
// is this program's own (digits, letters and ":/.#="), nothing to escape.
std::string ForwardingPage(const std::string &address) {
    return "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
           "<title>Storage appliance setup</title>\n"
           "<meta http-equiv=\"refresh\" content=\"0; url=" +
           address + "\">\n<script>location.replace(\"" + address +
           "\");</script>\n</head>\n<body>\n<p><a href=\"" + address +
           "\">Open the setup page</a></p>\n</body>\n</html>\n";
}

}  // namespace

BrowserOpener::~BrowserOpener() {
    Remove();
}

void BrowserOpener::Remove() {
    if (!file_.empty()) {
        ::unlink(file_.c_str());
        file_.clear();
    }
    if (!folder_.empty()) {
        ::rmdir(folder_.c_str());
        folder_.clear();
    }
}

bool BrowserOpener::Write(const std::string &address, const std::string &base, std::string *error) {
    // The first of the places that takes a new folder (mode 0700).
    std::vector<std::string> places;
    if (!base.empty()) {
        places.push_back(base);
    } else {
        for (const char *name : {"XDG_RUNTIME_DIR", "TMPDIR"}) {
            if (Set(name)) {
                places.push_back(std::getenv(name));
            }
        }
        places.push_back("/tmp");
    }
    std::string folder;
    for (const std::string &where : places) {
        folder = where + "/dssetup-ui-XXXXXX";
        if (::mkdtemp(folder.data()) != nullptr) {
            break;
        }
        *error = "cannot make a folder in " + where + ": " + std::strerror(errno);
        folder.clear();
    }
    if (folder.empty()) {
        return false;
    }
    folder_ = folder;
    const std::string file = folder + "/open.html";
    UniqueFd fd(::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd.valid()) {
        *error = "cannot write " + file + ": " + std::strerror(errno);
        return false;
    }
    file_ = file;
    if (::fchmod(fd.get(), 0600) != 0 || !WriteWhole(fd.get(), ForwardingPage(address)) ||
        fd.reset() != 0) {
        *error = "cannot write " + file + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

void BrowserOpener::Open(const std::string &address, std::FILE *err) {
    // On a text console xdg-open would start a text browser on this terminal.
    if (!Set("DISPLAY") && !Set("WAYLAND_DISPLAY")) {
        std::fputs("No desktop to open a browser on: open the address in a browser on this PC.\n",
                   err);
        return;
    }
    std::string error;
    if (!Write(address, "", &error)) {
        std::fprintf(err, "Cannot open a browser (%s): open the address in a browser yourself.\n",
                     error.c_str());
        return;
    }
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    for (int fd = 0; fd <= 2; ++fd) {
        posix_spawn_file_actions_addopen(&files, fd, "/dev/null", fd == 0 ? O_RDONLY : O_WRONLY, 0);
    }
    // The browser gets the signals this program holds back for itself.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none;
    sigemptyset(&none);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    std::string program = "xdg-open";
    std::string url = file_url();
    char *argv[] = {program.data(), url.data(), nullptr};
    pid_t pid = 0;
    const int rc = posix_spawnp(&pid, "xdg-open", &files, &attr, argv, environ);
    posix_spawn_file_actions_destroy(&files);
    posix_spawnattr_destroy(&attr);
    if (rc != 0) {
        std::fprintf(err, "Cannot start xdg-open (%s): open the address in a browser yourself.\n",
                     std::strerror(rc));
        return;
    }
    // Some browsers keep xdg-open until they end: it is reaped whenever that is.
    std::thread([pid] {
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }).detach();
}

}  // namespace dssetup::ui
