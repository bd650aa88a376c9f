// A DHCP server on the PC side of the simulated LAN, for tests of the appliance's DHCP client.
#pragma once

#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "tests/support/sim_env.h"
#include "tests/support/test_util.h"

namespace sim {

// A DHCP server (dnsmasq) on the PC side, handing out 192.168.0.50 to .60 with the PC as router
// and name server; stopped by its process id.
class PcDhcpServer {
  public:
    PcDhcpServer() {
        std::string out;
        sim::RunOnPc(
            "dnsmasq --port=0 --interface=pc0 --bind-interfaces --user=root --no-ping "
            "--dhcp-range=192.168.0.50,192.168.0.60,255.255.255.0,1h "
            "--dhcp-option=option:router,192.168.0.10 "
            "--dhcp-option=option:dns-server,192.168.0.10 --dhcp-option=option:domain-name,sim.lan "
            "--dhcp-leasefile=/tmp/pc-dnsmasq.leases --pid-file=/tmp/pc-dnsmasq.pid "
            "--log-facility=/tmp/pc-dnsmasq.log");
        for (int i = 0; i < 100 && pid_ <= 0; ++i) {
            usleep(20000);
            pid_ = std::atoi(testutil::ReadFile("/tmp/pc-dnsmasq.pid").c_str());
        }
    }
    ~PcDhcpServer() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
        }
    }
    bool running() const { return pid_ > 0; }

  private:
    int pid_ = 0;
};

}  // namespace sim
