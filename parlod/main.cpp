// parlod: the terminal's voice console. It places and answers calls
// between the terminal's loudspeaker and microphone, network telephony and
// intercom units, driven by text commands from its command pipe.
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <getopt.h>
#include <memory>

#include "my_manager.h"
#include "version.h"

// The console's process identity. The release of the terminal software,
// which --version prints first, is the project's (KEL_VERSION).
static const char Manufacturer[] = "Quorvane";
static const char Application[] = "Parlod Console";
static const char Version[] = "3.19.4";

// Termination signals are taken by the main thread alone (every other
// thread starts with them blocked), so that the manager cannot go between
// the handler's look at it and its use.
static std::atomic<MyManager *> running_manager;

static void on_interrupt(int sig)
{
	(void)sig;
	if (MyManager *manager = running_manager.load())
		manager->EndRun(); // writes to an eventfd: safe in a handler
}

static void usage(FILE *to, const char *prog)
{
	fprintf(to,
	       "Usage: %s [options]\n"
	       "  -h, --help                 this text\n"
	       "  -v, --version              the program's identity\n"
	       "  -p, --sip-port PORT        SIP port, UDP and TCP (5060); TLS on the next\n"
	       "      --sip-listen ADDRESS   IPv4 address to listen on (all, and those that come)\n"
	       "  -u, --user NAME            SIP user name (parlod)\n"
	       "      --sound-player DEV     PulseAudio sink (the default)\n"
	       "      --sound-recorder DEV   PulseAudio source (the default)\n"
	       "Settings (kel.conf(5)): /etc/parlod.conf, among them the SIP registrar, user,\n"
	       "domain, proxy and ring timeout; the SIP password in /etc/parlod-sip.secret.\n",
	       prog);
}

int main(int argc, char **argv)
{
	static const struct option longopts[] = {
		{ "help", no_argument, nullptr, 'h' },
		{ "version", no_argument, nullptr, 'v' },
		{ "sip-port", required_argument, nullptr, 'p' },
		{ "sip-listen", required_argument, nullptr, 'L' },
		{ "user", required_argument, nullptr, 'u' },
		{ "sound-player", required_argument, nullptr, 'P' },
		{ "sound-recorder", required_argument, nullptr, 'R' },
		{ nullptr, 0, nullptr, 0 },
	};
	ParlodOptions options;
	int c;

	// Writes to a pipe or socket whose reader has gone (the journal's pipe
	// of a stopped journald, a shell pipeline) fail with EPIPE instead of
	// ending the console, however it was started.
	signal(SIGPIPE, SIG_IGN);

	while ((c = getopt_long(argc, argv, "hvp:u:", longopts, nullptr)) != -1) {
		switch (c) {
		case 'h':
			usage(stdout, argv[0]);
			return fflush(stdout) == 0 ? 0 : 1;
		case 'v':
			printf("parlod %s\n%s %s, version %s\n", KEL_VERSION, Manufacturer, Application, Version);
			return fflush(stdout) == 0 ? 0 : 1;
		case 'p': {
			char *end;
			long port = strtol(optarg, &end, 10);
			if (*end || port < 1 || port > 65535) {
				fprintf(stderr, "%s: invalid SIP port \"%s\"\n", argv[0], optarg);
				return 1;
			}
			options.sip_port = (int)port;
			break;
		}
		case 'L':
			options.sip_listen = optarg;
			break;
		case 'u':
			options.sip_user = optarg;
			break;
		case 'P':
			options.sound_player = optarg;
			break;
		case 'R':
			options.sound_recorder = optarg;
			break;
		default:
			usage(stderr, argv[0]);
			return 1;
		}
	}
	if (optind < argc) {
		fprintf(stderr, "%s: unexpected argument \"%s\"\n", argv[0], argv[optind]);
		usage(stderr, argv[0]);
		return 1;
	}

	sigset_t termination;
	sigemptyset(&termination);
	sigaddset(&termination, SIGTERM);
	sigaddset(&termination, SIGINT);
	// A signal that comes while the console starts waits for the handler.
	pthread_sigmask(SIG_BLOCK, &termination, nullptr);
	auto manager = std::make_unique<MyManager>();
	if (!manager->Initialise(options))
		return 1;

	struct sigaction sa = {};
	sa.sa_handler = on_interrupt;
	sigemptyset(&sa.sa_mask);
	running_manager = manager.get();
	sigaction(SIGTERM, &sa, nullptr);
	sigaction(SIGINT, &sa, nullptr);
	pthread_sigmask(SIG_UNBLOCK, &termination, nullptr);

	bool served = manager->Run();

	pthread_sigmask(SIG_BLOCK, &termination, nullptr);
	running_manager = nullptr;
	manager.reset(); // STOPPING=1, every call cleared and every thread joined
	return served ? 0 : 1;
}
