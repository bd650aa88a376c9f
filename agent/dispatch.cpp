// The dispatcher: one handler per command code; unknown codes get status -1.
#include <cstring>

#include "agent/agent.h"

namespace {

using Handler = void (*)(AgentState &);

struct CommandEntry {
    std::uint16_t code;
    Handler handler;
};

constexpr CommandEntry kCommands[] = {
    {proto::kCmdIdentify, HandleIdentify},
    {proto::kCmdReadSettings, HandleReadSettings},
    {proto::kCmdWriteSettings, HandleWriteSettings},
    {proto::kCmdSetPassword, HandleSetPassword},
    {proto::kCmdVerifyPassword, HandleVerifyPassword},
    {proto::kCmdPrinterData, HandlePrinterData},
    {proto::kCmdPrinterData2, HandlePrinterData},
    {proto::kCmdPrinterData3, HandlePrinterData},
    {proto::kCmdPrinterAck, HandlePrinterAck},
};

}  // namespace

void SetReplyStatus(AgentState &state, int status, std::uint16_t length) {
    proto::PutI16(state.reply + proto::kOffStatus, status);
    proto::PutU16(state.reply + proto::kOffLength, length);
}

bool TargetIsThisAgent(const AgentState &state) {
    return std::memcmp(state.receive + proto::password::kOffMac, state.mac, proto::kMacSize) == 0;
}

void HandleUnknown(AgentState &state) {
    SetReplyStatus(state, proto::kStUnknownCommand, 0);
    SendReply(state);
}

void Dispatch(AgentState &state) {
    const std::uint16_t code = proto::GetU16(state.receive + proto::kOffCommand);
    for (const CommandEntry &entry : kCommands) {
        if (entry.code == code) {
            entry.handler(state);
            return;
        }
    }
    HandleUnknown(state);
}
