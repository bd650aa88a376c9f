// dssetup ui: start, the browser, and the end at a signal.
#include "client/ui/ui_command.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "client/ui/api.h"
#include "client/ui/request_guard.h"
#include "client/ui/web_server.h"

extern char **environ;

namespace dssetup::ui {

namespace {

// Starts the desktop's browser on the address (xdg-open), where there is a desktop: on a text
// console xdg-open would start a text browser on this terminal.
void OpenBrowser(const std::string &address, std::FILE *err) {
    const char *display = std::getenv("DISPLAY");
    const char *wayland = std::getenv("WAYLAND_DISPLAY");
    if ((display == nullptr || *display == '\0') && (wayland == nullptr || *wayland == '\0')) {
        std::fputs("No desktop to open a browser on: open the address in a browser on this PC.\n",
                   err);
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
    std::string url = address;
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

}  // namespace

int RunUi(const Options &options, std::FILE *out, std::FILE *err) {
    // Every thread started from here on leaves these signals to the wait below.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);
    signal(SIGPIPE, SIG_IGN);

    WebServer server(options, NewToken());
    std::string error;
    if (!server.Listen(options.ui_port, &error)) {
        std::fprintf(err, "dssetup ui: %s\n", error.c_str());
        return 1;
    }
    std::thread serving([&server] { server.Serve(); });
    std::fprintf(out,
                 "The setup page is served at\n  %s\n"
                 "(the address holds this run's key: keep it to yourself). Ctrl-C ends it.\n",
                 server.Address().c_str());
    std::fflush(out);
    if (!options.no_browser) {
        OpenBrowser(server.Address(), err);
    }

    int signal_number = 0;
    sigwait(&stop, &signal_number);
    int rc = 0;
    if (server.api().Applying()) {
        std::fputs(
            "Settings sent are still being applied: waiting for the appliance's answer "
            "(interrupt again to leave at once).\n",
            out);
        std::fflush(out);
        const timespec second{1, 0};
        while (server.api().Applying()) {
            if (sigtimedwait(&stop, nullptr, &second) > 0) {
                rc = 130;
                break;
            }
        }
    }
    server.Stop();
    serving.join();
    if (rc != 0) {
        // The apply threads still wait for their answers: leave without them.
        std::fflush(out);
        std::fflush(err);
        std::_Exit(rc);
    }
    return 0;
}

}  // namespace dssetup::ui
