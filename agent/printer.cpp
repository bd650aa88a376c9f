// Printer pass-through: raw bytes to the parallel port, and the empty acknowledge.
#include "agent/agent.h"
#include "common/util.h"

std::size_t PrinterDataCount(std::uint16_t length_field, std::size_t received) {
    std::size_t count = length_field > 0 ? length_field - 1U : 0U;
    std::size_t held =
        received > proto::printer::kOffData ? received - proto::printer::kOffData : 0U;
    if (count > held) {
        count = held;
    }
    if (count > proto::printer::kMaxData) {
        count = proto::printer::kMaxData;
    }
    return count;
}

void HandlePrinterData(AgentState &state) {
    const std::size_t count =
        PrinterDataCount(proto::GetU16(state.receive + proto::kOffLength), state.received);
    const int rc =
        send_to_printer(state.receive + proto::printer::kOffData, static_cast<unsigned int>(count));
    const std::uint8_t result = rc == 0 ? 0 : 1;
    state.reply[proto::printer::kOffResult] = result;
    state.reply[proto::printer::kOffResult + 1] = result;
    SetReplyStatus(state, rc == 0 ? proto::kStOk : proto::kStPrinter,
                   proto::printer::kReplyPayload);
    SendReply(state);
}

void HandlePrinterAck(AgentState &state) {
    SetReplyStatus(state, proto::kStOk, 0);
    SendReply(state);
}
