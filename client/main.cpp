// dssetup: the PC setup tool of the storage appliances.
#include <cstdio>
#include <string>

#include "client/args.h"
#include "client/kept_settings.h"
#include "client/result.h"
#include "client/session.h"
#include "client/ui/ui_command.h"

int main(int argc, char **argv) {
    dssetup::Options options;
    std::string error;
    if (!dssetup::ParseArgs(argc, argv, &options, &error)) {
        std::fprintf(stderr, "dssetup: %s\n%s", error.c_str(),
                     dssetup::UsageText(options.command).c_str());
        if (options.json) {
            std::fputs(dssetup::ResultJson(dssetup::Usage(error)).c_str(), stdout);
        }
        return dssetup::kExitUsage;
    }
    // What dssetup keeps between runs (the last settings read, the MAC addresses found).
    options.cache_dir = dssetup::CacheDir();
    if (options.command == dssetup::Command::kUi && !options.help) {
        return dssetup::ui::RunUi(options, stdout, stderr);
    }
    return dssetup::RunCommand(options, stdout, stderr);
}
