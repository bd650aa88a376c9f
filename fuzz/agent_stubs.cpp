// Stand-ins for everything the agent's handlers reach outside the process: the command runner
// (no script runs), the reply socket, the settings store and its lock, the date file, the
// printer, the event log, and the network, naming and sharing functions that write settings
// applies (their text rules answer as the input says; they are fuzzed in net_fuzz and
// share_fuzz). Each checks what the agent hands it and aborts on a breach.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "agent/agent.h"
#include "agent/read_settings.h"
#include "common/paths.h"
#include "config/cfg.h"
#include "fuzz/agent_world.h"
#include "net/net.h"
#include "share/share.h"

namespace fuzzworld {

World &Get() {
    static World world;
    return world;
}

}  // namespace fuzzworld

namespace {

using fuzzworld::Get;

[[noreturn]] void Breach() {
    std::abort();
}

// A command line must be a terminated string (of the agent's command buffer, or of one of
// the handlers' own buffers).
void CheckCommand(const char *command, std::size_t limit = kCommandBufferSize) {
    if (command == nullptr || strnlen(command, limit) >= limit) {
        Breach();
    }
}

// Splits the arguments the shell would see for "SCRIPT OP WORD" where WORD is one single-quoted
// word (with '\'' for a quote): the unquoted word into out. False when the line is not of
// that form, i.e. the shell would see something else.
bool UnquoteLastWord(const char *line, char *out, std::size_t size) {
    const char *p = std::strchr(line, ' ');
    if (p == nullptr || (p[1] != '0' && p[1] != '1') || p[2] != ' ') {
        return false;
    }
    p += 3;
    if (std::strcmp(p, "\"\"") == 0) {  // the empty password of the checks
        out[0] = '\0';
        return true;
    }
    std::size_t n = 0;
    bool quoted = false;
    for (; *p != '\0'; ++p) {
        if (quoted) {
            if (*p == '\'') {
                quoted = false;
            } else if (n + 1 < size) {
                out[n++] = *p;
            }
        } else if (*p == '\'') {
            quoted = true;
        } else if (p[0] == '\\' && p[1] == '\'') {
            if (n + 1 < size) {
                out[n++] = '\'';
            }
            ++p;
        } else {
            return false;  // a character the shell would interpret
        }
    }
    out[n] = '\0';
    return !quoted;
}

bool StartsWith(const char *text, const char *prefix) {
    return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

// What the shell sees in `line` are plain words of safe characters and single-quoted words
// (with '\'' for a quote) only: no character of the request can make it do anything else.
void CheckShellWords(const char *line) {
    bool quoted = false;
    for (const char *p = line; *p != '\0'; ++p) {
        const char c = *p;
        if (quoted) {
            quoted = c != '\'';
        } else if (c == '\'') {
            quoted = true;
        } else if (c == '\\' && p[1] == '\'') {
            ++p;
        } else if (c == '"' && p[1] == '"') {
            ++p;  // the empty word of the password checks
        } else if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                     std::strchr(" _./:=,+-", c) != nullptr)) {
            Breach();
        }
    }
    if (quoted) {
        Breach();
    }
}

// The script of the password commands must get the request's password (cut to 14) as one word.
void CheckPasswordCommand(const char *command) {
    CheckCommand(command);
    CheckShellWords(command);
    if (!StartsWith(command, paths::kPasswordScript)) {
        Breach();
    }
    char word[64];
    if (!UnquoteLastWord(command + std::strlen(paths::kPasswordScript), word, sizeof word)) {
        Breach();
    }
    const std::uint8_t *request = Get().request;
    const std::uint16_t code = proto::GetU16(request + proto::kOffCommand);
    if (code == proto::kCmdSetPassword || code == proto::kCmdVerifyPassword) {
        char expected[proto::password::kMaxPassword + 1] = {};
        std::memcpy(expected, request + proto::password::kOffPassword,
                    proto::password::kMaxPassword);
        if (std::strcmp(word, expected) != 0) {
            Breach();
        }
    } else if (word[0] != '\0') {
        Breach();  // identify and read settings check the empty password only
    }
}

}  // namespace

// ---- command runner ----
int mySystem(const char *command, unsigned seconds) {
    if (seconds != kScriptSeconds) {
        Breach();
    }
    CheckCommand(command);
    if (StartsWith(command, paths::kPasswordScript)) {
        CheckPasswordCommand(command);
    } else if (StartsWith(command, paths::kTimeZoneScript) ||
               StartsWith(command, paths::kClockSet)) {
        CheckShellWords(command);
    } else {
        Breach();  // nothing else runs with a time-out
    }
    return Get().script_result;
}

int RunShell(const char *command) {
    CheckCommand(command, 4096);
    CheckShellWords(command);
    return Get().shell_result;
}

int RunProgram(const char *path, const char *argument) {
    fuzzworld::World &w = Get();
    if (std::strcmp(path, paths::kCrondInit) != 0) {
        Breach();
    }
    if (std::strcmp(argument, "stop") == 0) {
        ++w.crond_stops;
    } else if (std::strcmp(argument, "start") == 0) {
        --w.crond_stops;
    } else {
        Breach();
    }
    return 0;
}

int ReapAbandoned() {
    return 0;
}

// ---- reply ----
void SendReply(const AgentState &state) {
    const std::size_t length = proto::kHeaderSize + proto::GetU16(state.reply + proto::kOffLength);
    if (length > proto::kBufferSize) {
        Breach();  // the reply's own length must lie within the buffer
    }
    ++Get().replies;
}

// ---- event log ----
void AgentLog(const char *message) {
    // The event log takes at most 80 characters of one line.
    if (message == nullptr || std::strlen(message) > 80 || std::strchr(message, '\n') != nullptr) {
        Breach();
    }
}

// ---- settings store ----
int LockFile(int mode) {
    if (mode != kLockShared && mode != kLockExclusive) {
        Breach();
    }
    fuzzworld::World &w = Get();
    if (w.locks_held != 0) {
        Breach();  // a command takes the lock once
    }
    const int rc = w.lock_results[w.lock_calls++ % 4];
    if (rc == kCfgOk) {
        ++w.locks_held;
    }
    return rc;
}

int UnLockFile() {
    --Get().locks_held;
    return kCfgOk;
}

int ReadCFGData(const char *path, const char *section, const char *key, char *out, int size) {
    fuzzworld::World &w = Get();
    if (w.locks_held != 1 || std::strcmp(path, paths::kConfigFile) != 0 ||
        std::strcmp(section, paths::kConfigSection) != 0 || key == nullptr || size <= 0) {
        Breach();  // stored settings are read under the lock only
    }
    const int i = w.key_calls++ % fuzzworld::kKeys;
    // As the store does: the value must be shorter than the buffer, else -3 with what fits.
    const char *value = w.key_values[i];
    const std::size_t length = std::strlen(value);
    std::memset(out, 0, static_cast<std::size_t>(size));
    std::memcpy(
        out, value,
        length < static_cast<std::size_t>(size) ? length : static_cast<std::size_t>(size) - 1);
    if (w.key_results[i] != kCfgOk) {
        return w.key_results[i];
    }
    return length < static_cast<std::size_t>(size) ? kCfgOk : kCfgTooLong;
}

int WriteCFGData(const char *, const char *, const char *key, const char *value) {
    if (Get().locks_held != 1 || key == nullptr || value == nullptr) {
        Breach();
    }
    for (const char *p = value; *p != '\0'; ++p) {
        if (static_cast<unsigned char>(*p) < 0x20 && *p != '\t') {
            Breach();  // never a control character into the settings file
        }
    }
    return kCfgOk;
}

// ---- the library's rules and the settings applied (they write fixed system files) ----
namespace {

bool RuleSays(int bit) {
    return (Get().rules >> bit & 1) != 0;
}

int Applied(int bit) {
    return (Get().applied >> bit & 1) != 0 ? -1 : 0;
}

template <std::size_t N>
void CheckField(const char (&field)[N]) {
    if (strnlen(field, N) == N) {
        Breach();  // every text field of a record handed on ends within its width
    }
}

void CheckNet(const NetInfo *info) {
    CheckField(info->ifname);
    CheckField(info->hwaddr);
    CheckField(info->ipaddr);
    CheckField(info->netmask);
    CheckField(info->gateway);
    CheckField(info->bootproto);
}

void CheckDns(const DnsInfo *dns) {
    CheckField(dns->domain);
    CheckField(dns->nameserver1);
    CheckField(dns->nameserver2);
    CheckField(dns->nameserver3);
}

}  // namespace

bool NETServerNameIsValid(const char *name) {
    CheckCommand(name);
    return RuleSays(0);
}
bool SMBWorkgroupIsSafe(const char *workgroup) {
    CheckCommand(workgroup);
    return RuleSays(1);
}
bool APPLEZoneIsSafe(const char *zone) {
    CheckCommand(zone);
    return RuleSays(2);
}
bool CFGValueIsStorable(const char *value) {
    CheckCommand(value);
    return RuleSays(3);
}

int NETSetTCPIPNetwork(NetInfo *info, DnsInfo *dns) {
    CheckNet(info);
    CheckDns(dns);
    return Applied(0);
}
int NETSetHostname(char *name) {
    if (strnlen(name, 15) == 15) {
        Breach();
    }
    return Applied(1);
}
int NETSetDHCPServer(const NetInfo *info, const DnsInfo *dns, const DhcpServerInfo *dhcp) {
    CheckNet(info);
    CheckDns(dns);
    CheckField(dhcp->state);
    CheckField(dhcp->start_ip);
    CheckField(dhcp->end_ip);
    return Applied(2);
}
int SMBSetSamba(SambaInfo *info) {
    CheckField(info->state);
    CheckField(info->workgroup);
    CheckField(info->code_page);
    CheckField(info->printer_name);
    CheckField(info->printer_comment);
    CheckField(info->wins_server);
    return Applied(3);
}
int APPLESetNetatalk(AtalkInfo *info) {
    CheckField(info->state);
    CheckField(info->zone);
    CheckField(info->printer_name);
    CheckField(info->printer_type);
    CheckField(info->printer_client);
    return Applied(4);
}
int NETReadCurrentNetworkData(NetInfo *info) {
    std::snprintf(info->ipaddr, sizeof info->ipaddr, "192.168.0.77");
    std::snprintf(info->netmask, sizeof info->netmask, "255.255.255.0");
    std::snprintf(info->gateway, sizeof info->gateway, "192.168.0.1");
    return Applied(5);
}
int NETReadCurrentDNSData(DnsInfo *dns) {
    std::memset(dns, 0, sizeof *dns);
    std::snprintf(dns->nameserver1, sizeof dns->nameserver1, "192.168.0.1");
    return Applied(6);
}

// ---- date file and printer ----
int ReadDateFile(const char *, char *date_line, char *time_line, std::size_t size) {
    const fuzzworld::World &w = Get();
    std::snprintf(date_line, size, "%s", w.date_line);
    std::snprintf(time_line, size, "%s", w.time_line);
    return w.date_result;
}

int send_to_printer(const unsigned char *data, unsigned int length) {
    if (length > proto::printer::kMaxData) {
        Breach();
    }
    volatile unsigned char sink = 0;
    for (unsigned int i = 0; i < length; ++i) {
        sink = static_cast<unsigned char>(sink ^ data[i]);  // every byte must be readable
    }
    return Get().printer_result;
}

// The agent's pauses between lock attempts: no time passes in the harness.
extern "C" unsigned int sleep(unsigned int) {
    return 0;
}
