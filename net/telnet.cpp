// Telnet through the internet super-server: its line in the super-server's configuration.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "common/paths.h"
#include "common/process.h"
#include "common/switch_word.h"
#include "common/util.h"
#include "common/work_buffers.h"
#include "net/line_scanner.h"
#include "net/net.h"

namespace {

constexpr char kTag[] = "TCPIP";
constexpr char kTempTemplate[] = "/tmp/Eda.qXXXXXX";
constexpr std::string_view kTelnetWord = "telnet";

}  // namespace

int NETSetInetService(const char *state) {
    bool on = false;
    if (!ParseSwitchWord(state, &on)) {
        NETDebugMsg(kTag, "Input Inet Service Invalid");
        return -1;
    }

    FileRewrite rw(paths::kInetdConf, kTempTemplate);
    int rc = rw.Open(kTag, "Open inetd fail", "Open inetd tempfile fail");
    if (rc != 0) {
        return rc;
    }
    LineScanner scanner(rw.source(), ScanMode::kRewriter);
    ScannedLine line{};
    int got;
    while ((got = scanner.Next(&line)) > 0) {
        if (line.text.starts_with(kTelnetWord)) {
            continue;  // every telnet line goes; switching on adds the one composed below
        }
        if (rw.WriteLine(line) != 0) {
            NETDebugMsg(kTag, "Write inetd tempfile fail");
            return -4;
        }
    }
    if (got < 0) {
        NETDebugMsg(kTag, "Open inetd fail");
        return -2;
    }
    if (on) {
        std::memset(linebuffer, 0, kLineBufferSize);
        std::snprintf(linebuffer, kLineBufferSize, "%s\t%s\t%s\t%s\t%s\t%s\t%s\n", "telnet",
                      "stream", "tcp", "nowait", "root", "/usr/sbin/tcpd", "in.telnetd");
        if (rw.Write(linebuffer) != 0) {
            NETDebugMsg(kTag, "Write inetd telnet tempfile fail");
            return -4;
        }
    }
    rc = rw.Commit(kTag, 0755, "Seek network tempfile fail", "Write inetd file back fail",
                   "Write inetd file back fail");
    if (rc != 0) {
        return rc;
    }
    NETRestartInetService();
    return 0;
}

int NETRestartInetService() {
    std::memset(systembuffer, 0, kSystemBufferSize);
    std::snprintf(systembuffer, kSystemBufferSize, "%s restart", paths::kInetInit);
    return run_system(systembuffer) == -1 ? -1 : 0;
}
