// kelsnmp: the terminal's SNMP sub-agent. It serves what the monitoring
// daemon and the voice console publish through the system's SNMP master
// agent (AgentX), and sends notifications when something fails or
// recovers.
#include <cstdio>
#include <getopt.h>

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/version.h>

#include "agent.h"
#include "version.h"

static void usage(FILE *to, const char *prog)
{
	fprintf(to,
		"Usage: %s [options]\n"
		"  -h, --help                  this text\n"
		"  -v, --version               the program's identity\n"
		"  -x, --agentx-socket ADDRESS the master agent's AgentX socket (net-snmp's\n"
		"                              agentXSocket, by default /var/agentx/master)\n"
		"Reads /etc/velta-snmp.conf, /etc/device.conf and /run/parlod-ic-states, and\n"
		"the monitoring daemon's records from the pipe /run/velta-snmp, which it makes.\n",
		prog);
}

int main(int argc, char **argv)
{
	static const struct option longopts[] = {
		{ "help", no_argument, nullptr, 'h' },
		{ "version", no_argument, nullptr, 'v' },
		{ "agentx-socket", required_argument, nullptr, 'x' },
		{ nullptr, 0, nullptr, 0 },
	};
	kelsnmp::AgentOptions options;
	int c;

	while ((c = getopt_long(argc, argv, "hvx:", longopts, nullptr)) != -1) {
		switch (c) {
		case 'h':
			usage(stdout, argv[0]);
			return fflush(stdout) == 0 ? 0 : 1;
		case 'v':
			printf("kelsnmp %s\nnet-snmp %s\n", KEL_VERSION, netsnmp_get_version());
			return fflush(stdout) == 0 ? 0 : 1;
		case 'x':
			options.agentx_socket = optarg;
			break;
		default:
			usage(stderr, argv[0]);
			return 1;
		}
	}
	if (optind < argc) {
		usage(stderr, argv[0]);
		return 1;
	}
	return kelsnmp::run_agent(options);
}
