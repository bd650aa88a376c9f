// dssetup ui: start, the browser, and the end at a signal.
#include "client/ui/ui_command.h"

#include <signal.h>
#include <time.h>

#include <cstdlib>
#include <string>
#include <thread>

#include "client/ui/api.h"
#include "client/ui/browser_opener.h"
#include "client/ui/request_guard.h"
#include "client/ui/web_server.h"

namespace dssetup::ui {

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
    // Its file goes when the server ends.
    BrowserOpener opener;
    if (!options.no_browser) {
        opener.Open(server.Address(), err);
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
        opener.Remove();
        std::fflush(out);
        std::fflush(err);
        std::_Exit(rc);
    }
    return 0;
}

}  // namespace dssetup::ui
