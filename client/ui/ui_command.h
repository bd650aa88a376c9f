// dssetup ui: the command that serves the setup page until it is interrupted.
#pragma once

#include <cstdio>

#include "client/args.h"

namespace dssetup::ui {

// Serves the page on 127.0.0.1 (options.ui_port, 0 for a free port), prints its address and,
// unless options.no_browser, opens it in the desktop's browser. Returns at SIGINT or SIGTERM
// (the process's exit status); while settings sent are still being applied it first waits for
// their answer, unless a second signal comes.
int RunUi(const Options &options, std::FILE *out, std::FILE *err);

}  // namespace dssetup::ui
