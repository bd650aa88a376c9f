// dssetup: the PC setup tool of the storage appliances.
#include <cstdio>
#include <string>

#include "client/args.h"
#include "client/session.h"

int main(int argc, char **argv) {
    dssetup::Options options;
    std::string error;
    if (!dssetup::ParseArgs(argc, argv, &options, &error)) {
        std::fprintf(stderr, "dssetup: %s\n%s", error.c_str(),
                     dssetup::UsageText(options.command).c_str());
        return 2;
    }
    return dssetup::RunCommand(options, stdout, stderr);
}
