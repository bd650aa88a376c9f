// Applying a server name: the default-name file, the host-name file, the hosts table, the
// network settings file, the Macintosh file server's configuration, the kernel and afpd.
#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "common/paths.h"
#include "common/process.h"
#include "common/scoped.h"
#include "common/shell_quote.h"
#include "common/util.h"
#include "common/work_buffers.h"
#include "net/line_scanner.h"
#include "net/net.h"
#include "protocol/server_name.h"

namespace {

constexpr char kTag[] = "TCPIP";
constexpr std::size_t kNameSize = 15;
constexpr char kDefaultNameTemplate[] = "/tmp/Eda.qXXXXXX";
constexpr char kHostsTemplate[] = "/tmp/Edb.qXXXXXX";
constexpr char kNetworkTemplate[] = "/tmp/Edc.qXXXXXX";
constexpr char kKillAfpd[] = "killall afpd";
constexpr char kAfpdGuest[] = "-guestname guest";
constexpr std::string_view kHostnameKey = "HOSTNAME=";

int RunSystemBuffer() {
    return run_system(systembuffer) == -1 ? -1 : 0;
}

// Writes the formatted text of linebuffer to a file opened write-only, created with `mode`
// and truncated. 0; -2 after `open_message`; -4 after `write_message`.
int WriteWholeFile(const char *path, mode_t mode, const char *open_message,
                   const char *write_message) {
    UniqueFd fd(::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode));
    if (!fd.valid()) {
        NETDebugMsg(kTag, open_message);
        return -2;
    }
    std::size_t n = std::strlen(linebuffer);
    if (::write(fd.get(), linebuffer, n) != static_cast<ssize_t>(n)) {
        NETDebugMsg(kTag, write_message);
        return -4;
    }
    return 0;
}

// Line 2 of the default-name file becomes the new name; line 1 stays.
int WriteDefaultNameFile(const char *name) {
    {
        UniqueFd probe(::open(paths::kDefaultNameFile, O_RDONLY | O_CLOEXEC));
        if (!probe.valid()) {
            NETDebugMsg(kTag, "Open Default Server Name file fail - 1");
            int rc = NETWriteDefaultHostnameData();
            if (rc != 0) {
                return rc;
            }
            probe.reset(::open(paths::kDefaultNameFile, O_RDONLY | O_CLOEXEC));
            if (!probe.valid()) {
                NETDebugMsg(kTag, "Open Default Server Name file fail - 2");
                NETDebugMsg(kTag, "Find <CR> in one line fail");
                return -3;
            }
        }
    }
    FileRewrite rw(paths::kDefaultNameFile, kDefaultNameTemplate);
    int rc = rw.Open(kTag, "Open Default Server Name file fail - 2", "Open hostname tempfile fail");
    if (rc != 0) {
        return rc;
    }
    LineScanner scanner(rw.source(), ScanMode::kReader);
    ScannedLine line{};
    int got = scanner.Next(&line);
    if (got < 0) {
        NETDebugMsg(kTag, "Find <CR> in one line fail");
        return -3;
    }
    std::memset(linebuffer, 0, kLineBufferSize);
    if (got > 0) {
        std::snprintf(linebuffer, kLineBufferSize, "%.*s\n", static_cast<int>(line.text.size()),
                      line.text.data());
    } else {
        // An empty file is completed: line 1 is the default name in force.
        std::array<char, 9> fallback{};
        if (NETReadDefaultHostname(fallback.data()) != 0) {
            NETDebugMsg(kTag, "Read Default Server Name fail");
            return -1;
        }
        std::snprintf(linebuffer, kLineBufferSize, "%s\n", fallback.data());
    }
    std::size_t used = std::strlen(linebuffer);
    std::snprintf(linebuffer + used, kLineBufferSize - used, "%s\n", name);
    if (rw.Write(linebuffer) != 0) {
        NETDebugMsg(kTag, "Write hostname tempfile fail");
        return -4;
    }
    return rw.Commit(kTag, 0744, "Seek hostname tempfile fail",
                     "Open Default Server Name file fail",
                     "Write Default Server Name file back fail");
}

// The hosts table: first line kept, the second line's name replaced, later lines dropped; a
// line for the appliance is added when the table had fewer than two lines. The table is read
// with the reader rules: a line of 256 or more characters is skipped whole, so its tail is
// never taken for the localhost or the appliance's line.
int WriteHostsFile(const char *name) {
    FileRewrite rw(paths::kHostsFile, kHostsTemplate);
    int rc = rw.Open(kTag, "Open hosts file fail", "Open hosts tempfile fail");
    if (rc != 0) {
        return rc;
    }
    LineScanner scanner(rw.source(), ScanMode::kReader);
    ScannedLine line{};
    int lines = 0;
    while (lines < 2 && scanner.Next(&line) > 0) {
        ++lines;
        int wrote;
        if (lines == 1) {
            wrote = rw.WriteLine(line);
        } else {
            std::string_view text = line.text;
            auto field = [&text]() {
                std::size_t n = text.find_first_of(" \t");
                std::string_view f = TextHead(text, n);
                text.remove_prefix(f.size());
                return f;
            };
            auto blanks = [&text]() {
                std::size_t n = text.find_first_not_of(" \t");
                text.remove_prefix(n == std::string_view::npos ? text.size() : n);
            };
            std::string_view address = field();
            blanks();
            field();  // the old name
            blanks();
            ScannedLine rest{text, true};  // the last line kept: always complete
            wrote = rw.Write(address);
            if (wrote == 0) {
                wrote = rw.Write("\t");
            }
            if (wrote == 0) {
                wrote = rw.Write(name);
            }
            if (wrote == 0) {
                wrote = rw.Write("\t");
            }
            if (wrote == 0) {
                wrote = rw.WriteLine(rest);
            }
        }
        if (wrote != 0) {
            NETDebugMsg(kTag, "Write hosts tempfile fail");
            return -4;
        }
    }
    if (lines < 2) {
        NetInfo info{};
        if (NETReadCurrentNetworkData(&info) != 0) {
            NETDebugMsg(kTag, "Read Current TCP/IP information fail");
            return -1;
        }
        if (IsNoAddress(info.ipaddr)) {
            NETDebugMsg(kTag, "Read Current TCP/IP null data");
            return -1;
        }
        std::memset(linebuffer, 0, kLineBufferSize);
        std::snprintf(linebuffer, kLineBufferSize, "%s\t%s\t%s\n", info.ipaddr, name, info.ipaddr);
        if (rw.Write(linebuffer) != 0) {
            NETDebugMsg(kTag, "Write hosts tempfile fail");
            return -4;
        }
    }
    return rw.Commit(kTag, 0744, "Seek hosts tempfile fail", "Write hosts file back fail",
                     "Write hosts file back fail");
}

// The HOSTNAME= line of the network settings file, where there is one.
int WriteNetworkHostname(const char *name) {
    FileRewrite rw(paths::kNetworkFile, kNetworkTemplate);
    int rc = rw.Open(kTag, "Open hostname network fail", "Open hostname network tempfile fail");
    if (rc != 0) {
        return rc;
    }
    LineScanner scanner(rw.source(), ScanMode::kRewriter);
    ScannedLine line{};
    int got;
    while ((got = scanner.Next(&line)) > 0) {
        int wrote;
        if (line.text.starts_with(kHostnameKey)) {
            std::memset(linebuffer, 0, kLineBufferSize);
            std::snprintf(linebuffer, kLineBufferSize, "HOSTNAME=%s\n", name);
            wrote = rw.Write(linebuffer);
        } else {
            wrote = rw.WriteLine(line);
        }
        if (wrote != 0) {
            NETDebugMsg(kTag, "Write hostname network tempfile fail");
            return -4;
        }
    }
    if (got < 0) {
        NETDebugMsg(kTag, "Open hostname network fail");
        return -2;
    }
    return rw.Commit(kTag, 0755, "Seek hostname network tempfile fail",
                     "Write hostname network file back fail",
                     "Write hostname network file back fail");
}

}  // namespace

std::size_t NETServerNameSafeLength(const char *name) {
    auto alnum = [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    };
    std::size_t n = 0;
    if (!alnum(name[0])) {
        return 0;
    }
    while (alnum(name[n]) || name[n] == '-' || name[n] == '_' || name[n] == '.') {
        ++n;
    }
    return n;
}

bool NETServerNameIsValid(const char *name) {
    return name[0] == '\0' || proto::IsValidServerName(name);
}

int NETWriteHostnameData(char *name) {
    // The name goes into system files and command lines as one plain word; the rule keeps
    // blanks (a field of the hosts table, an option of afpd.conf), line feeds and shell
    // characters out. A name outside it is refused whole, never cut or replaced.
    name[kNameSize - 1] = '\0';
    if (name[0] == '\n') {
        name[0] = '\0';
    }
    if (name[0] != '\0' && !proto::IsValidServerName(name)) {
        NETDebugMsg(kTag, "Input server name invalid, not applied");
        return -1;
    }
    if (name[0] == '\0') {
        std::array<char, 9> fallback{};
        if (NETReadDefaultHostname(fallback.data()) != 0) {
            NETDebugMsg(kTag, "Read Default Server Name fail");
            return -1;
        }
        std::memset(name, 0, kNameSize);
        std::memcpy(name, fallback.data(), fallback.size());
    }

    int rc = WriteDefaultNameFile(name);
    if (rc != 0) {
        return rc;
    }

    std::memset(linebuffer, 0, kLineBufferSize);
    std::snprintf(linebuffer, kLineBufferSize, "%s\n", name);
    rc = WriteWholeFile(paths::kHostnameFile, 0744, "Open Curent Server Name file fail",
                        "Write Current Server Name file fail");
    if (rc != 0) {
        return rc;
    }

    rc = WriteHostsFile(name);
    if (rc != 0) {
        return rc;
    }
    rc = WriteNetworkHostname(name);
    if (rc != 0) {
        return rc;
    }

    std::memset(linebuffer, 0, kLineBufferSize);
    std::snprintf(linebuffer, kLineBufferSize, "%s %s\n", name, kAfpdGuest);
    return WriteWholeFile(paths::kAfpdConf, 0744, "Open Apple afpd.conf file fail",
                          "Write Apple afpd.conf file fail");
}

int NETSetHostname(char *name) {
    int rc = NETWriteHostnameData(name);
    if (rc != 0) {
        NETDebugMsg(kTag, "Set hostname fail");
        return rc;
    }
    // The name is one quoted shell word: whatever it holds, the shell runs nothing else.
    std::memset(systembuffer, 0, kSystemBufferSize);
    std::snprintf(systembuffer, kSystemBufferSize, "%s ", paths::kHostnameProgram);
    if (shell_quote_append(systembuffer, kSystemBufferSize, name) != 0 || RunSystemBuffer() != 0) {
        NETDebugMsg(kTag, "Set Linux hostname fail");
        return -1;
    }
    std::memset(systembuffer, 0, kSystemBufferSize);
    std::snprintf(systembuffer, kSystemBufferSize, "%s", kKillAfpd);
    if (RunSystemBuffer() != 0) {
        NETDebugMsg(kTag, "Stop Afpd fail");
        return -1;
    }
    std::memset(systembuffer, 0, kSystemBufferSize);
    std::snprintf(systembuffer, kSystemBufferSize, "%s", paths::kAfpd);
    if (RunSystemBuffer() != 0) {
        NETDebugMsg(kTag, "Start Afpd fail");
        return -1;
    }
    return 0;
}

int NETUpdateNetworkHostsFile() {
    std::array<char, kNameSize> name{};
    NetInfo info{};
    if (NETReadCurrentHostname(name.data()) != 0) {
        NETDebugMsg(kTag, "Get current hostname fail");
        if (NETReadDefaultHostname(name.data()) != 0 || name[0] == '\0') {
            NETDebugMsg(kTag, "Get Default Name Fail");
            return -1;
        }
    }
    name[NETServerNameSafeLength(name.data())] = '\0';
    int rc = NETReadCurrentNetworkData(&info);
    if (rc != 0) {
        NETDebugMsg(kTag, "Get current TCP/IP information fail");
        return rc;
    }
    UniqueFd fd(::open(paths::kHostsFile, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0744));
    if (!fd.valid()) {
        NETDebugMsg(kTag, "Open /etc/hosts fail");
        return -2;
    }
    std::memset(filebuffer, 0, kFileBufferSize);
    std::snprintf(filebuffer, kFileBufferSize, "%s\t%s\t%s.%s\n%s\t%s\t%s\n", "127.0.0.1",
                  "localhost", "localhost", "localdomain", info.ipaddr, name.data(), info.ipaddr);
    std::size_t n = std::strlen(filebuffer);
    if (::write(fd.get(), filebuffer, n) != static_cast<ssize_t>(n)) {
        NETDebugMsg(kTag, "Update /etc/hosts file fail");
        return -4;
    }
    return 0;
}
