// The service loop: one datagram at a time, retransmissions answered from the stored reply.
#include <sys/socket.h>

#include <cstdio>
#include <cstring>

#include "agent/agent.h"
#include "common/paths.h"

void ResetCommand(AgentState &state) {
    std::snprintf(state.command, sizeof state.command, "%s", paths::kPasswordScript);
}

void HandleDatagram(AgentState &state) {
    const std::uint16_t command = proto::GetU16(state.receive + proto::kOffCommand);
    const std::uint16_t sequence = proto::GetU16(state.receive + proto::kOffSequence);
    const std::uint32_t address = state.sender.sin_addr.s_addr;

    LastRequest &last = state.last;
    if (last.valid && last.command == command && last.sequence == sequence &&
        last.address == address) {
        // The request answered last (or dropped last) once more: same answer, nothing run.
        if (!last.dropped) {
            SendReply(state);
        }
        return;
    }
    last.valid = true;
    last.dropped = false;
    last.command = command;
    last.sequence = sequence;
    last.address = address;

    std::memcpy(state.reply, state.receive, proto::kHeaderSize);
    proto::PutI16(state.reply + proto::kOffStatus, proto::kStOk);
    std::memset(state.reply + proto::kHeaderSize, 0, proto::kMaxPayload);
    Dispatch(state);
}

void ServiceLoop(AgentState &state) {
    for (;;) {
        // Each turn is a safe point of the SIGTERM stop; a signal during the receive ends it
        // with EINTR and comes back here.
        StopIfRequested();
        ResetCommand(state);
        ReapAbandoned();
        // Cleared every time: a short datagram reads zeros, never an earlier one's tail.
        std::memset(state.receive, 0, sizeof state.receive);
        socklen_t sender_size = sizeof state.sender;
        ssize_t n = recvfrom(sno, state.receive, sizeof state.receive, 0,
                             reinterpret_cast<sockaddr *>(&state.sender), &sender_size);
        if (n < 0) {
            continue;
        }
        state.received = static_cast<std::size_t>(n);
        HandleDatagram(state);
    }
}
