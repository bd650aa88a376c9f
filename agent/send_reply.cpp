// The one way a reply leaves the agent.
#include <sys/socket.h>

#include "agent/agent.h"

void SendReply(const AgentState &state) {
    std::size_t length = proto::kHeaderSize + proto::GetU16(state.reply + proto::kOffLength);
    if (length > proto::kBufferSize) {
        length = proto::kBufferSize;
    }
    // A reply that does not get through is the PC's to retransmit.
    (void)sendto(sno, state.reply, length, 0, reinterpret_cast<const sockaddr *>(&state.sender),
                 sizeof state.sender);
}
