// The AgentX sub-agent: serves KEL-TERMINAL-MIB through the system's SNMP
// master agent and sends its notifications there.
#pragma once

#include <string>

namespace kelsnmp {

struct AgentOptions {
	std::string agentx_socket; // the master's; empty: net-snmp's setting
};

// Runs until SIGTERM, SIGINT or SIGHUP; the exit status.
int run_agent(const AgentOptions &options);

} // namespace kelsnmp
