// Identify: MAC address, host name and whether a password is set.
#include <unistd.h>

#include <cstring>

#include "agent/agent.h"

void HandleIdentify(AgentState &state) {
    namespace id = proto::identify;
    std::memcpy(state.reply + id::kOffMac, state.mac, proto::kMacSize);

    int status = proto::kStOk;
    std::uint8_t flag = 0;
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0 || std::strlen(name) >= id::kHostnameWidth) {
        status = proto::kStGetServerName;
        AgentLog(" CMD 0x0, call gethostname() fail");
    } else {
        std::memcpy(state.reply + id::kOffHostname, name, std::strlen(name));
        const int rc = CheckEmptyPassword(state);
        if (rc == kRunnerTimeout) {
            status = proto::kStScriptTimeout;
            AgentLog(" CMD 0x0, mySystem(CS_PASSWORD) timeout");
        } else {
            flag = rc == 0 ? 0 : 1;
        }
    }
    state.reply[id::kOffPasswordFlag] = flag;
    SetReplyStatus(state, status, id::kPayload);
    SendReply(state);
}
