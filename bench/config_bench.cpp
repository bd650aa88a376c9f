// The configuration store on a realistic /etc/CGI_ds.conf (in a temporary folder): reading every
// key of section network, as the read-settings command does, and one in-place replacement.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "config/cfg.h"
#include "config/cfg_internal.h"
#include "config/keys.h"

namespace {

const char *const kAllKeys[] = {
    keys::kVersion,        keys::kDefaultServerName,
    keys::kDiskServerName, keys::kDiskServerComment,
    keys::kHwAddr,         keys::kBootproto,
    keys::kIpAddr,         keys::kNetmask,
    keys::kGateway,        keys::kDnsServer1,
    keys::kDnsServer2,     keys::kDnsServer3,
    keys::kDhcpServer,     keys::kDhcpStartIp,
    keys::kDhcpEndIp,      keys::kTelnetEnable,
    keys::kMsnEnable,      keys::kWorkgroup,
    keys::kCodePage,       keys::kPrinterName,
    keys::kPrinterComment, keys::kWinsEnable,
    keys::kWinsServer,     keys::kAppleEnable,
    keys::kZoneName,       keys::kMacPrinterType,
    keys::kPrinterClient,  keys::kTimeZone,
};

constexpr char kRealisticFile[] =
    "# Settings of the disk server\n"
    "[network]\n"
    "version=1.2.3\n"
    "default_server_name=JX1A2B3C\n"
    "disk_server_name=STORAGE\n"
    "disk_server_comment=Disk server of the office\n"
    "hw_addr=00:C0:02:1A:2B:3C\n"
    "bootproto=static\n"
    "ip_addr=192.168.0.2\n"
    "netmask=255.255.255.0\n"
    "gateway=192.168.0.1\n"
    "dns_server1=192.168.0.1\n"
    "dns_server2=\n"
    "dns_server3=\n"
    "dhcp_server=no\n"
    "dhcp_start_ip=192.168.0.100\n"
    "dhcp_end_ip=192.168.0.200\n"
    "telnet_enable=no\n"
    "msn_enable=yes\n"
    "w_d_name=WORKGROUP\n"
    "code_page=437\n"
    "printer_name=lp\n"
    "printer_comment=Printer of the office\n"
    "wins_enable=no\n"
    "wins_server=\n"
    "apple_enable=yes\n"
    "zone_name=*\n"
    "mac_printer_type=LaserWriter\n"
    "printer_client=Office printer\n"
    "time_zone=8\n";

// A temporary folder holding the configuration file, removed at the end.
class Fixture {
  public:
    Fixture() {
        const char *base = std::getenv("TMPDIR");
        dir_ = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/cfgbench.XXXXXX";
        if (mkdtemp(dir_.data()) == nullptr) {
            dir_.clear();
            return;
        }
        path_ = dir_ + "/CGI_ds.conf";
        temp_ = dir_ + "/CGI_ds.conf.tmp";
        if (FILE *f = std::fopen(path_.c_str(), "w"); f != nullptr) {
            std::fputs(kRealisticFile, f);
            std::fclose(f);
        }
    }
    ~Fixture() {
        // The store leaves its temporary file and the file's mark beside the file.
        if (!dir_.empty()) {
            std::error_code ignored;
            std::filesystem::remove_all(dir_, ignored);
        }
    }
    Fixture(const Fixture &) = delete;
    Fixture &operator=(const Fixture &) = delete;
    const char *path() const { return path_.c_str(); }
    const char *temp() const { return temp_.c_str(); }

  private:
    std::string dir_, path_, temp_;
};

void BM_ReadAllKeys(benchmark::State &state) {
    Fixture fx;
    char out[256];
    for (auto _ : state) {
        for (const char *key : kAllKeys) {
            if (ReadCFGData(fx.path(), "network", key, out, sizeof out) != 0) {
                state.SkipWithError("read failed");
                return;
            }
            benchmark::DoNotOptimize(out);
        }
    }
    state.SetItemsProcessed(state.iterations() *
                            static_cast<int64_t>(sizeof kAllKeys / sizeof kAllKeys[0]));
}
BENCHMARK(BM_ReadAllKeys);

// One WriteCFGData replacing a key in the middle of the file (scan, copy to the temporary
// file, fsync, copy back in place, fsync).
void BM_WriteReplace(benchmark::State &state) {
    Fixture fx;
    const char *values[] = {"192.168.0.3", "192.168.0.2"};
    int i = 0;
    for (auto _ : state) {
        if (cfg::WriteCFGDataWithTemp(fx.path(), fx.temp(), "network", "ip_addr", values[i]) != 0) {
            state.SkipWithError("write failed");
            return;
        }
        i ^= 1;
    }
}
BENCHMARK(BM_WriteReplace)->UseRealTime();

}  // namespace
