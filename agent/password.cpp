// Set and verify the administrator password through the password-check script.
#include <cstdio>
#include <cstring>
#include <string_view>

#include "agent/agent.h"
#include "common/shell_quote.h"
#include "config/cfg.h"

int AppendPasswordArguments(AgentState &state, char op, const char *password) {
    const std::size_t used = std::strlen(state.command);
    const int n = std::snprintf(state.command + used, sizeof state.command - used, " %c ", op);
    if (n != 3) {
        state.command[used] = '\0';
        return -1;
    }
    // One shell word, unchanged whatever it holds; the empty password is the empty argument.
    if (shell_quote_append(state.command, sizeof state.command, std::string_view(password)) != 0) {
        state.command[used] = '\0';
        return -1;
    }
    return 0;
}

int CheckEmptyPassword(AgentState &state) {
    const std::size_t used = std::strlen(state.command);
    std::snprintf(state.command + used, sizeof state.command - used, " 1 \"\"");
    return mySystem(state.command, kScriptSeconds);
}

namespace {

// The password field of the request, cut to its 14 characters.
const char *RequestPassword(AgentState &state) {
    state.receive[proto::password::kOffPassword + proto::password::kMaxPassword] = 0;
    return reinterpret_cast<const char *>(state.receive + proto::password::kOffPassword);
}

int RunPasswordScript(AgentState &state, char op) {
    if (AppendPasswordArguments(state, op, RequestPassword(state)) != 0) {
        return -1;
    }
    return mySystem(state.command, kScriptSeconds);
}

}  // namespace

void HandleSetPassword(AgentState &state) {
    if (!TargetIsThisAgent(state)) {
        state.last.dropped = true;
        return;
    }
    int status = TakeConfigLock(kLockExclusive);
    if (status == proto::kStLockOpen) {
        AgentLog(" Call LockFile() fail");
    }
    if (status == 0) {
        const int rc = RunPasswordScript(state, '0');
        if (rc == kRunnerTimeout) {
            status = proto::kStScriptTimeout;
        } else if (rc != 0) {
            status = proto::kStSetPassword;
        }
        if (status != 0) {
            AgentLog(" CMD 0x12, set passwdd fail");
        }
        ReleaseConfigLock();
    }
    SetReplyStatus(state, status, 0);
    SendReply(state);
}

void HandleVerifyPassword(AgentState &state) {
    if (!TargetIsThisAgent(state)) {
        state.last.dropped = true;
        return;
    }
    int status = TakeConfigLock(kLockShared);
    if (status != 0) {
        AgentLog(" CMD 0x13, LockFile() fail");
    } else {
        const int rc = RunPasswordScript(state, '1');
        if (rc == kRunnerTimeout) {
            status = proto::kStScriptTimeout;
        } else if (rc != 0) {
            status = proto::kStNotVerified;
        }
        if (status != 0) {
            AgentLog(" CMD 0x13, verify passwd fail");
        }
        ReleaseConfigLock();
    }
    SetReplyStatus(state, status, 0);
    SendReply(state);
}
