// Helpers of the network system tests: records, the LED state, calls, the PC's DHCP server.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "net/net.h"
#include "tests/support/pc_dhcp_server.h"
#include "tests/support/sim_env.h"
#include "tests/support/test_util.h"

namespace nettest {

#define SKIP_OUTSIDE_SIM()                         \
    do {                                           \
        if (!sim::Inside())                        \
            GTEST_SKIP() << "needs the simulator"; \
    } while (0)

inline NetInfo Net(const char *ip, const char *mask, const char *gw, const char *proto) {
    NetInfo n{};
    std::strcpy(n.ifname, "eth0");
    std::strcpy(n.ipaddr, ip);
    std::strcpy(n.netmask, mask);
    std::strcpy(n.gateway, gw);
    std::strcpy(n.bootproto, proto);
    return n;
}

inline DnsInfo Dns(const char *a, const char *b, const char *c) {
    DnsInfo d{};
    std::strcpy(d.nameserver1, a);
    std::strcpy(d.nameserver2, b);
    std::strcpy(d.nameserver3, c);
    return d;
}

inline std::string Led() {
    return testutil::ReadFile("/var/lib/sim/led");
}

// Lines of the calls log that start with `prefix`.
inline std::vector<std::string> CallsOf(const std::string &prefix) {
    std::vector<std::string> out;
    std::istringstream in(sim::Calls());
    for (std::string line; std::getline(in, line);) {
        if (line.rfind(prefix, 0) == 0) {
            out.push_back(line);
        }
    }
    return out;
}

inline std::string Sh(const std::string &command) {
    std::string out;
    testutil::Run(command, &out);
    return out;
}

inline ino_t Inode(const std::string &path) {
    struct stat st {};
    stat(path.c_str(), &st);
    return st.st_ino;
}

inline unsigned Mode(const std::string &path) {
    struct stat st {};
    stat(path.c_str(), &st);
    return st.st_mode & 07777;
}

using sim::PcDhcpServer;

}  // namespace nettest
