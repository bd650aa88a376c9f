// confagent: the LAN configuration agent daemon.
#include "agent/agent.h"

int main() {
    return AgentMain();
}
