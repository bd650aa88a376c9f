// The agent's entries in the event log. Each entry is a safe point of the SIGTERM stop: a stop
// asked for before it runs instead of the entry, one asked for while it is written runs right
// after it, so an entry is never cut.
#include "agent/agent.h"
#include "common/event_log.h"
#include "common/paths.h"

void AgentLog(const char *message) {
    StopIfRequested();
    SetLogMsg(paths::kAgentName, message);
    StopIfRequested();
}
