// libFuzzer harness of the writers of the system files at their fixed paths, through a test
// root: /etc, /var/log and /tmp are empty file systems of the harness's own mount namespace
// (fuzz/sandbox.h), and no command runs (the library's runner is stood in for). The input gives
// the existing files and the settings; the Samba, AppleTalk, TCP/IP, resolver, naming, DHCP
// server, telnet and default-name writers run on them, three times. Besides the sanitizers, the
// harness checks after every writer that no rewrite is left half-done (the mark of the
// temporary file empty, the copy emptied, no staging file left in /tmp), that every file that
// existed keeps its inode and mode, and that the files settle (a third run with the same
// settings changes nothing).
//
// Input: NUL-separated texts: smb.conf, printcap, papd.conf, atalkd.conf, hosts, network,
// DEFHOSTNAME, inetd.conf (each file is absent when its text is "-"), then the workgroup, the
// printer name, the printer comment, the zone, the server name, the IP address, netmask, gateway,
// name server, DHCP range start and end, and one byte of switches.
#include <dirent.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "common/paths.h"
#include "common/process.h"
#include "fuzz/fuzz_dir.h"
#include "fuzz/input_cursor.h"
#include "fuzz/sandbox.h"
#include "net/net.h"
#include "share/share.h"

namespace {

[[noreturn]] void Breach(const std::string &what) {
    std::fprintf(stderr, "writers_fuzz: %s\n", what.c_str());
    std::abort();
}

// Commands are only looked at: nothing runs.
int NoCommand(const char *command) {
    if (command == nullptr || std::strlen(command) >= 4096) {
        Breach("a command line without its end");
    }
    return 0;
}

constexpr const char *kFiles[] = {
    paths::kSmbConf,   paths::kPrintcap,    paths::kPapdConf,        paths::kAtalkdConf,
    paths::kHostsFile, paths::kNetworkFile, paths::kDefaultNameFile, paths::kInetdConf,
    paths::kIfcfgEth0, paths::kResolvConf,  paths::kHostnameFile,    paths::kAfpdConf,
    paths::kDhcpdConf, paths::kDhcpdLeases,
};
constexpr std::size_t kInputFiles = 8;

template <std::size_t N>
void Put(char (&field)[N], const std::string &text) {
    std::memset(field, 0, N);
    std::memcpy(field, text.data(), text.size() < N - 1 ? text.size() : N - 1);
}

std::string Read(const char *path) {
    return fuzzdir::Read(path);
}

void Write(const char *path, const std::string &text) {
    if (!fuzzdir::Write(path, reinterpret_cast<const std::uint8_t *>(text.data()), text.size())) {
        Breach(std::string("cannot seed ") + path);
    }
}

struct Meta {
    bool exists;
    ino_t inode;
    mode_t mode;
};

std::map<std::string, Meta> Stat() {
    std::map<std::string, Meta> m;
    for (const char *path : kFiles) {
        struct stat st {};
        const bool exists = stat(path, &st) == 0;
        m[path] = Meta{exists, st.st_ino, st.st_mode};
    }
    return m;
}

// Removes what the folders of the test root hold (they are the harness's own file systems).
int RemoveEntry(const char *path, const struct stat *, int, FTW *ftw) {
    return ftw->level > 0 ? remove(path) : 0;
}
void Empty(const char *folder) {
    (void)nftw(folder, RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
}

std::size_t StagingFiles() {
    std::size_t n = 0;
    DIR *dir = opendir("/tmp");
    if (dir == nullptr) {
        return 0;
    }
    while (dirent *e = readdir(dir)) {
        n += e->d_name[0] != '.' ? 1 : 0;
    }
    closedir(dir);
    return n;
}

// After each writer: nothing half-done, every file that was there still the same file.
void Check(const char *writer, const std::map<std::string, Meta> &before) {
    if (!Read(paths::kSystemFileMark).empty()) {
        Breach(std::string(writer) + " left a rewrite marked as under way");
    }
    if (!Read(paths::kSystemFileTemp).empty()) {
        Breach(std::string(writer) + " left its copy behind");
    }
    if (StagingFiles() != 0) {
        Breach(std::string(writer) + " left a staging file in /tmp");
    }
    const auto now = Stat();
    for (const auto &[path, was] : before) {
        const Meta &is = now.at(path);
        if (was.exists && (!is.exists || is.inode != was.inode || is.mode != was.mode)) {
            Breach(std::string(writer) + " replaced " + path + " instead of rewriting it");
        }
    }
}

struct Settings {
    SambaInfo samba;
    AtalkInfo atalk;
    NetInfo net;
    DnsInfo dns;
    DhcpServerInfo dhcp;
    char name[15];
    bool telnet;
    int dns_kind;
};

void RunWriters(const Settings &s) {
    struct Step {
        const char *name;
        void (*run)(const Settings &);
    };
    static const Step kSteps[] = {
        {"SMBWriteSambaData",
         [](const Settings &x) {
             SambaInfo samba = x.samba;
             (void)SMBWriteSambaData(&samba);
         }},
        {"APPLEWriteNetatalkData",
         [](const Settings &x) {
             AtalkInfo atalk = x.atalk;
             (void)APPLEWriteNetatalkData(&atalk);
         }},
        {"NETWriteNetworkTCPIPData",
         [](const Settings &x) {
             NetInfo net = x.net;
             (void)NETWriteNetworkTCPIPData(&net);
         }},
        {"NETWriteNetworkDNSData",
         [](const Settings &x) { (void)NETWriteNetworkDNSData(&x.dns, x.dns_kind); }},
        {"NETWriteHostnameData",
         [](const Settings &x) {
             char name[15];
             std::memcpy(name, x.name, sizeof name);
             (void)NETWriteHostnameData(name);
         }},
        {"NETUpdateNetworkHostsFile", [](const Settings &) { (void)NETUpdateNetworkHostsFile(); }},
        {"NETSetDHCPServer",
         [](const Settings &x) { (void)NETSetDHCPServer(&x.net, &x.dns, &x.dhcp); }},
        {"NETSetInetService",
         [](const Settings &x) { (void)NETSetInetService(x.telnet ? "enable" : "disable"); }},
        {"NETWriteDefaultHostnameData",
         [](const Settings &) { (void)NETWriteDefaultHostnameData(); }},
    };
    for (const Step &step : kSteps) {
        const auto before = Stat();
        step.run(s);
        Check(step.name, before);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    static const char *const kFolders[] = {"/etc", "/var/log", "/tmp", nullptr};
    if (!sandbox::PrivateFolders(kFolders)) {
        sandbox::Refuse("writers_fuzz", "its test root");
    }
    set_system_runner(NoCommand);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    // A fresh root for every input.
    for (const char *folder : {"/etc", "/var/log", "/tmp"}) {
        Empty(folder);
    }
    mkdir("/etc/sysconfig", 0755);
    mkdir("/etc/sysconfig/network-scripts", 0755);
    mkdir("/etc/atalk", 0755);
    fuzzinput::Cursor in(data, size);
    for (std::size_t i = 0; i < kInputFiles; ++i) {
        const std::string text = in.Text();
        if (text != "-") {
            Write(kFiles[i], text);
        }
    }
    Settings s{};
    const std::string workgroup = in.Text();
    const std::string printer = in.Text();
    const std::string comment = in.Text();
    const std::string zone = in.Text();
    const std::string name = in.Text();
    const std::string ip = in.Text();
    const std::string netmask = in.Text();
    const std::string gateway = in.Text();
    const std::string server = in.Text();
    const std::string start = in.Text();
    const std::string end = in.Text();
    const std::uint8_t switches = in.Byte();
    Put(s.samba.state, "enable");
    Put(s.samba.workgroup, workgroup);
    Put(s.samba.code_page, (switches & 1) != 0 ? "850" : "437");
    Put(s.samba.printer_name, printer);
    Put(s.samba.printer_comment, comment);
    Put(s.samba.wins_server, (switches & 2) != 0 ? server : "");
    Put(s.atalk.state, "enable");
    Put(s.atalk.zone, zone);
    Put(s.atalk.printer_name, printer);
    Put(s.atalk.printer_type, comment);
    Put(s.atalk.printer_client, (switches & 4) != 0 ? "LaserWriter" : comment);
    Put(s.net.ifname, "eth0");
    Put(s.net.ipaddr, ip);
    Put(s.net.netmask, netmask);
    Put(s.net.gateway, gateway);
    Put(s.net.bootproto, (switches & 8) != 0 ? "dhcp" : "static");
    Put(s.dns.nameserver1, server);
    Put(s.dhcp.state, (switches & 16) != 0 ? "disable" : "enable");
    Put(s.dhcp.start_ip, start);
    Put(s.dhcp.end_ip, end);
    Put(s.name, name);
    s.telnet = (switches & 32) != 0;
    s.dns_kind = (switches & 64) != 0 ? 2 : 1;

    // The files settle: once the passes have put the files into their own form (a first run,
    // and a second one for the forms a pass reads differently from how it writes them, such as
    // papd.conf's header), the same settings change nothing more.
    RunWriters(s);
    RunWriters(s);
    std::map<std::string, std::string> settled;
    for (const char *path : kFiles) {
        settled[path] = Read(path);
    }
    RunWriters(s);
    for (const char *path : kFiles) {
        if (Read(path) != settled[path]) {
            Breach(std::string("a third run with the same settings changed ") + path);
        }
    }
    return 0;
}
