// The command line of `dssetup ui`: its own --port, --no-browser, and both only where they
// belong.
#include <gtest/gtest.h>

#include <vector>

#include "client/args.h"

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

}  // namespace
