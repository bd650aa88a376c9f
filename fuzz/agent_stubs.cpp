// Stand-ins for everything the agent's handlers reach outside the process: the command runner
// (no script runs), the reply socket, the settings store and its lock, the date file, the
// printer and the event log. Each checks what the agent hands it and aborts on a breach.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "agent/agent.h"
#include "agent/read_settings.h"
#include "common/paths.h"
#include "config/cfg.h"
#include "fuzz/agent_world.h"

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

// A command line must be a terminated string that fits the agent's command buffer.
void CheckCommand(const char *command) {
    if (command == nullptr || strnlen(command, kCommandBufferSize) >= kCommandBufferSize) {
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

// The script of the password commands must get the request's password (cut to 14) as one word.
void CheckPasswordCommand(const char *command) {
    CheckCommand(command);
    if (std::strncmp(command, paths::kPasswordScript, std::strlen(paths::kPasswordScript)) != 0) {
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
    CheckPasswordCommand(command);
    return Get().script_result;
}

int RunShell(const char *command) {
    CheckCommand(command);
    return Get().shell_result;
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
