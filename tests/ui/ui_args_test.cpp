// The command line of `dssetup ui`: its own --port, --no-browser, and both only where they
// belong; the browser it opens, given a file of the user's rather than the keyed address.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <thread>
#include <vector>

#include "client/args.h"
#include "client/ui/browser_opener.h"
#include "tests/support/test_util.h"

namespace {

using dssetup::Command;
using dssetup::Options;

bool Parse(std::vector<const char *> args, Options *o, std::string *error) {
    args.insert(args.begin(), "dssetup");
    return dssetup::ParseArgs(static_cast<int>(args.size()), args.data(), o, error);
}

TEST(UiArgsTest, PortIsThePagesAndTheAppliancesKeepTheirs) {
    Options o;
    std::string error;
    ASSERT_TRUE(Parse({"ui"}, &o, &error)) << error;
    EXPECT_EQ(o.command, Command::kUi);
    EXPECT_EQ(o.ui_port, 0);  // a free port
    EXPECT_EQ(o.port, 915);
    EXPECT_FALSE(o.no_browser);

    ASSERT_TRUE(Parse({"ui", "--port", "8080", "--no-browser", "--timeout", "2"}, &o, &error))
        << error;
    EXPECT_EQ(o.ui_port, 8080);
    EXPECT_EQ(o.port, 915);
    EXPECT_TRUE(o.no_browser);
    EXPECT_DOUBLE_EQ(o.timeout, 2.0);
    ASSERT_TRUE(Parse({"--port", "8081", "ui"}, &o, &error)) << error;
    EXPECT_EQ(o.ui_port, 8081);

    EXPECT_FALSE(Parse({"ui", "00:C0:02:1A:2B:3C"}, &o, &error));
    EXPECT_EQ(error, "too many arguments");
    EXPECT_FALSE(Parse({"ui", "--port", "70000"}, &o, &error));
    EXPECT_FALSE(Parse({"show", "1.2.3.4", "--no-browser"}, &o, &error));
    EXPECT_EQ(error, "the show command takes no --no-browser");
    EXPECT_FALSE(Parse({"ui", "--now"}, &o, &error));
}

TEST(UiArgsTest, HelpNamesEveryOption) {
    const std::string help = dssetup::UsageText(Command::kUi);
    for (const char *option : {"--port P", "--no-browser", "--timeout S", "--interface IF"})
        EXPECT_NE(help.find(option), std::string::npos) << option;
    EXPECT_NE(dssetup::UsageText(Command::kNone).find("\n  ui "), std::string::npos);
}

// xdg-open (a stand-in on PATH that records what it is given) gets the path of a file that
// only this user can read, never the key; the file forwards to the address and goes with the
// opener.
TEST(UiArgsTest, TheBrowserIsOpenedWithoutTheKeyOnACommandLine) {
    testutil::TempDir dir;
    const std::string log = dir.file("xdg-open.log");
    testutil::WriteFile(dir.file("xdg-open"),
                        "#!/bin/sh\nprintf '%s\\n' \"$0 $*\" > " + log + ".part\n" +
                            "stat -c %a \"${1#file://}\" \"$(dirname \"${1#file://}\")\" >> " +
                            log + ".part\ncat \"${1#file://}\" >> " + log + ".part\nmv " + log +
                            ".part " + log + "\n",
                        0755);
    const std::string key = "0123456789abcdef0123456789abcdef";
    const std::string address = "http://127.0.0.1:8123/#key=" + key;
    const char *saved_path = getenv("PATH");
    const std::string path = saved_path ? saved_path : "";
    setenv("PATH", (dir.path() + ":" + path).c_str(), 1);
    setenv("DISPLAY", ":99", 1);
    setenv("XDG_RUNTIME_DIR", dir.path().c_str(), 1);
    std::string file;
    {
        dssetup::ui::BrowserOpener opener;
        opener.Open(address, stderr);
        file = opener.file();
        for (int i = 0; i < 200 && !testutil::FileExists(log); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        const std::string seen = testutil::ReadFile(log);
        ASSERT_FALSE(seen.empty());
        const std::string first_line = seen.substr(0, seen.find('\n'));
        EXPECT_EQ(first_line, dir.file("xdg-open") + " file://" + file);
        EXPECT_EQ(first_line.find(key), std::string::npos);
        EXPECT_EQ(file.rfind(dir.path() + "/dssetup-ui-", 0), 0u) << file;
        EXPECT_NE(seen.find("\n600\n700\n"), std::string::npos) << seen;
        EXPECT_NE(seen.find("location.replace(\"" + address + "\")"), std::string::npos) << seen;
    }
    setenv("PATH", path.c_str(), 1);
    unsetenv("DISPLAY");
    unsetenv("XDG_RUNTIME_DIR");
    EXPECT_FALSE(testutil::FileExists(file));
    EXPECT_FALSE(testutil::FileExists(file.substr(0, file.rfind('/'))));
}

}  // namespace
