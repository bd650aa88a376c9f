// dssetup command line.
#include "client/args.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using dssetup::Command;
using dssetup::Options;

bool Parse(std::vector<const char *> args, Options *o, std::string *error) {
    args.insert(args.begin(), "dssetup");
    return dssetup::ParseArgs(static_cast<int>(args.size()), args.data(), o, error);
}

TEST(ArgsTest, CommandsWithTheirOperandsAndOptions) {
    Options o;
    std::string e;
    ASSERT_TRUE(Parse({"discover", "--timeout", "2.5", "--interface", "pc0"}, &o, &e)) << e;
    EXPECT_EQ(o.command, Command::kDiscover);
    EXPECT_DOUBLE_EQ(o.timeout, 2.5);
    EXPECT_EQ(o.interface, "pc0");
    EXPECT_FALSE(o.json);

    ASSERT_TRUE(Parse({"show", "--json", "00:C0:02:1A:2B:3C"}, &o, &e)) << e;
    EXPECT_EQ(o.command, Command::kShow);
    EXPECT_TRUE(o.json);
    EXPECT_EQ(o.target, "00:C0:02:1A:2B:3C");
    EXPECT_EQ(o.tries, dssetup::kDefaultTries);

    ASSERT_TRUE(Parse({"print", "192.168.0.2", "-", "--tries", "2"}, &o, &e)) << e;
    EXPECT_EQ(o.command, Command::kPrint);
    EXPECT_EQ(o.target, "192.168.0.2");
    EXPECT_EQ(o.file, "-");
    EXPECT_EQ(o.tries, 2);

    ASSERT_TRUE(Parse({"verify", "192.168.0.2", "--port", "9150"}, &o, &e)) << e;
    EXPECT_EQ(o.port, 9150);
    EXPECT_FALSE(o.timeout_given);

    ASSERT_TRUE(Parse(
        {"set", "192.168.0.2", "name=NAS", "--from", "-", "zone=A B", "--now", "--tries", "3"}, &o,
        &e))
        << e;
    EXPECT_EQ(o.command, Command::kSet);
    EXPECT_EQ(o.target, "192.168.0.2");
    EXPECT_EQ(o.assignments, (std::vector<std::string>{"name=NAS", "zone=A B"}));
    EXPECT_EQ(o.from, "-");
    EXPECT_TRUE(o.now);
    EXPECT_TRUE(o.tries_given);
    EXPECT_FALSE(o.timeout_given);
    EXPECT_FALSE(o.force || o.no_rollback);
    EXPECT_DOUBLE_EQ(o.confirm, dssetup::kDefaultConfirm);

    ASSERT_TRUE(
        Parse({"set", "192.168.0.2", "ip=10.0.0.2", "--force", "--no-rollback", "--confirm", "30"},
              &o, &e))
        << e;
    EXPECT_TRUE(o.force && o.no_rollback);
    EXPECT_DOUBLE_EQ(o.confirm, 30);
    // rescue: settings are optional (a kept set may do).
    ASSERT_TRUE(Parse({"rescue", "00:C0:02:1A:2B:3C"}, &o, &e)) << e;
    EXPECT_EQ(o.command, Command::kRescue);
    EXPECT_TRUE(o.assignments.empty());
    ASSERT_TRUE(Parse({"rescue", "00:C0:02:1A:2B:3C", "ip=192.168.0.9", "--force"}, &o, &e));
    EXPECT_EQ(o.assignments, (std::vector<std::string>{"ip=192.168.0.9"}));
}

TEST(ArgsTest, HelpForEveryCommand) {
    for (const char *cmd :
         {"discover", "show", "set", "rescue", "passwd", "verify", "print", "bench", "ui"}) {
        Options o;
        std::string e;
        ASSERT_TRUE(Parse({cmd, "--help"}, &o, &e)) << cmd;
        EXPECT_TRUE(o.help);
        const std::string help = dssetup::UsageText(o.command);
        EXPECT_NE(help.find(std::string("dssetup ") + cmd), std::string::npos) << cmd;
        // Every option the command takes is in its help, and is taken.
        const std::vector<std::string> options = dssetup::OptionsOf(o.command);
        EXPECT_FALSE(options.empty()) << cmd;
        for (const std::string &option : options) {
            EXPECT_NE(help.find("  " + option + " "), std::string::npos) << cmd << " " << option;
            std::vector<const char *> line = {cmd};
            if (o.command != Command::kDiscover && o.command != Command::kUi)
                line.push_back("192.168.0.2");
            if (o.command == Command::kPrint)
                line.push_back("-");
            if (o.command == Command::kSet)
                line.push_back("zone=Lab");
            line.push_back(option.c_str());
            if (option != "--json" && option != "--now" && option != "--force" &&
                option != "--no-rollback" && option != "--no-browser")
                line.push_back(option == "--from" ? "-" : option == "--interface" ? "eth0" : "2");
            Options parsed;
            EXPECT_TRUE(Parse(line, &parsed, &e)) << cmd << " " << option << ": " << e;
        }
    }
    Options v;
    std::string ve;
    ASSERT_TRUE(Parse({"--version"}, &v, &ve));
    EXPECT_TRUE(v.version);
    EXPECT_EQ(dssetup::VersionText().rfind("dssetup ", 0), 0u);
    Options o;
    std::string e;
    ASSERT_TRUE(Parse({"--help"}, &o, &e));
    EXPECT_EQ(o.command, Command::kNone);
    EXPECT_NE(dssetup::UsageText(Command::kNone).find("discover"), std::string::npos);
}

TEST(ArgsTest, WrongCommandLinesAreRefused) {
    const std::vector<std::vector<const char *>> bad = {
        {},
        {"frobnicate"},
        {"show"},
        {"print", "192.168.0.2"},
        {"show", "a", "b"},
        {"discover", "--timeout"},
        {"discover", "--timeout", "x"},
        {"discover", "--timeout", "-1"},
        {"show", "x", "--tries", "0"},
        {"discover", "--bogus"},
        {"discover", "--interface", "an-interface-name-too-long"},
        {"set"},
        {"set", "192.168.0.2"},  // nothing to set
        {"set", "192.168.0.2", "--from"},
        {"show", "192.168.0.2", "--now"},
        {"show", "192.168.0.2", "--from", "-"},
        // Options a command does not take are refused, not ignored.
        {"discover", "--count", "5"},
        {"show", "192.168.0.2", "--count", "5"},
        {"bench", "192.168.0.2", "--json"},
        {"show", "192.168.0.2", "--force"},
        {"rescue", "00:C0:02:1A:2B:3C", "--no-rollback"},
        {"set", "192.168.0.2", "zone=A", "--confirm", "0"},
    };
    for (const auto &args : bad) {
        Options o;
        std::string e;
        EXPECT_FALSE(Parse(args, &o, &e)) << (args.empty() ? "(none)" : args[0]);
        EXPECT_FALSE(e.empty());
    }
}

}  // namespace
