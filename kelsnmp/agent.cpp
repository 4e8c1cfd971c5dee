#include "agent.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <sys/eventfd.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

// net-snmp's headers come in this order.
#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/agent/net-snmp-agent-includes.h>
#include <net-snmp/agent/agent_callbacks.h>

#include "mib_tree.h"
#include "record_pipe.h"
#include "rootpath.h"
#include "snmp_record.h"
#include "terminal.h"

namespace kelsnmp {

namespace {

// The master agent's restart is noticed, and the subtree registered
// again, within a few of these.
constexpr int kPingSeconds = 1;
// Notifications kept while no master is there, at most: the oldest go.
constexpr size_t kHeldMax = 64;

// enterprises.<number>.1: kelTerminalMIB.
const oid kRoot[] = { 1, 3, 6, 1, 4, 1, KEL_SNMP_ENTERPRISE, 1 };
// snmpTrapOID.0 of SNMPv2-MIB.
const oid kTrapOid[] = { 1, 3, 6, 1, 6, 3, 1, 1, 4, 1, 0 };

volatile sig_atomic_t stopping;
int signal_fd = -1;
class Agent;
Agent *master_watcher; // told when the master agent comes and goes

// libsystemd's notification is a socket(), sendmsg() and close() on the
// stack, which a signal handler may call.
void on_signal(int sig)
{
	int saved = errno;
	uint64_t one = 1;

	(void)sig;
	if (!stopping)
		sd_notify(0, "STOPPING=1");
	stopping = 1;
	// Wakes the main loop's select(); one that fails is due already.
	if (write(signal_fd, &one, sizeof(one)) < 0) {
	}
	errno = saved;
}

std::vector<oid> full_oid(const Oid &below)
{
	std::vector<oid> o(std::begin(kRoot), std::end(kRoot));
	o.insert(o.end(), below.begin(), below.end());
	return o;
}

void set_value(netsnmp_variable_list *vb, const Value &v)
{
	switch (v.type) {
	case Value::Type::Integer: {
		long n = (long)v.number;
		snmp_set_var_typed_value(vb, ASN_INTEGER, &n, sizeof(n));
		break;
	}
	case Value::Type::Gauge:
	case Value::Type::Counter: {
		u_long n = (u_long)v.number;
		snmp_set_var_typed_value(vb, v.type == Value::Type::Gauge ? ASN_GAUGE : ASN_COUNTER, &n, sizeof(n));
		break;
	}
	case Value::Type::Text:
		snmp_set_var_typed_value(vb, ASN_OCTET_STR, v.text.data(), v.text.size());
		break;
	}
}

int compare(const std::vector<oid> &a, const oid *b, size_t b_len)
{
	return snmp_oid_compare(a.data(), a.size(), b, b_len);
}

// The sub-agent. Everything runs on the main thread, in net-snmp's loop,
// but the reading of the pipe: RecordPipe's thread hands the records over
// and wakes the loop through wake_fd_.
class Agent {
public:
	Agent() : terminal_(Clock::now()), pipe_(kel_path(SNMP_PIPE), [this] { wake(); }) {}
	~Agent()
	{
		for (netsnmp_variable_list *vars : held_)
			snmp_free_varbind(vars);
	}
	Agent(const Agent &) = delete;
	Agent &operator=(const Agent &) = delete;

	int run(const AgentOptions &options);

private:
	static int handle(netsnmp_mib_handler *handler, netsnmp_handler_registration *reg,
			  netsnmp_agent_request_info *info, netsnmp_request_info *requests);
	static void on_wake(int fd, void *self);
	static void on_signal_fd(int fd, void *self);
	static void on_tick(unsigned int reg, void *self);
	static int on_master(int major, int minor, void *server, void *client);
	void send_held();

	void wake();
	void answer(netsnmp_agent_request_info *info, netsnmp_request_info *requests);
	void notify(const std::vector<Event> &events);

	Terminal terminal_;
	RecordPipe pipe_;
	int wake_fd_ = -1;
	bool connected_ = false; // to the master agent
	std::deque<netsnmp_variable_list *> held_; // notifications for the next master; owned
};

void Agent::wake()
{
	uint64_t one = 1;
	if (write(wake_fd_, &one, sizeof(one)) < 0) {
		// Already due.
	}
}

void Agent::on_wake(int fd, void *self)
{
	Agent *a = static_cast<Agent *>(self);
	uint64_t n;

	if (read(fd, &n, sizeof(n)) < 0) {
		// Nothing more to take.
	}
	for (const PipeItem &item : a->pipe_.take())
		a->notify(a->terminal_.take(item, Clock::now()));
}

void Agent::on_signal_fd(int fd, void *self)
{
	uint64_t n;

	(void)self;
	if (read(fd, &n, sizeof(n)) < 0) {
		// The flag says it.
	}
}

int Agent::on_master(int major, int minor, void *server, void *client)
{
	Agent *a = master_watcher;

	(void)major;
	(void)server;
	(void)client;
	a->connected_ = minor == SNMPD_CALLBACK_INDEX_START;
	if (a->connected_)
		a->send_held();
	return SNMP_ERR_NOERROR;
}

void Agent::send_held()
{
	while (!held_.empty()) {
		send_v2trap(held_.front());
		snmp_free_varbind(held_.front());
		held_.pop_front();
	}
}

void Agent::on_tick(unsigned int reg, void *self)
{
	Agent *a = static_cast<Agent *>(self);

	(void)reg;
	a->notify(a->terminal_.refresh(Clock::now()));
}

void Agent::notify(const std::vector<Event> &events)
{
	const auto now = Clock::now();

	for (const Event &e : events) {
		netsnmp_variable_list *vars = nullptr;
		const std::vector<oid> trap = full_oid(notification_oid(e.alert));

		snmp_varlist_add_variable(&vars, kTrapOid, OID_LENGTH(kTrapOid), ASN_OBJECT_ID, trap.data(),
					  trap.size() * sizeof(oid));
		for (const Instance &i : notification_objects(e, terminal_.view(), now)) {
			const std::vector<oid> name = full_oid(i.oid);
			netsnmp_variable_list *vb =
				snmp_varlist_add_variable(&vars, name.data(), name.size(), ASN_NULL, nullptr, 0);
			if (vb)
				set_value(vb, i.value);
		}
		// A master that is away would lose it: it waits for the next one,
		// with the values of when it happened.
		if (!connected_) {
			if (held_.size() == kHeldMax) {
				snmp_free_varbind(held_.front());
				held_.pop_front();
			}
			held_.push_back(vars);
			continue;
		}
		send_v2trap(vars);
		snmp_free_varbind(vars);
	}
}

int Agent::handle(netsnmp_mib_handler *handler, netsnmp_handler_registration *reg, netsnmp_agent_request_info *info,
		  netsnmp_request_info *requests)
{
	(void)reg;
	static_cast<Agent *>(handler->myvoid)->answer(info, requests);
	return SNMP_ERR_NOERROR;
}

void Agent::answer(netsnmp_agent_request_info *info, netsnmp_request_info *requests)
{
	const std::vector<Instance> all = instances(terminal_.view(), Clock::now());
	std::vector<std::vector<oid>> names;

	names.reserve(all.size());
	for (const Instance &i : all)
		names.push_back(full_oid(i.oid));
	for (netsnmp_request_info *r = requests; r; r = r->next) {
		netsnmp_variable_list *vb = r->requestvb;
		if (r->processed)
			continue;
		if (info->mode == MODE_GET) {
			size_t k = 0;
			while (k < names.size() && compare(names[k], vb->name, vb->name_length) != 0)
				k++;
			if (k < names.size()) {
				set_value(vb, all[k].value);
				continue;
			}
			const size_t root = OID_LENGTH(kRoot);
			const bool object = vb->name_length > root &&
					    names_object(Oid(vb->name + root, vb->name + vb->name_length));
			netsnmp_set_request_error(info, r, object ? SNMP_NOSUCHINSTANCE : SNMP_NOSUCHOBJECT);
		} else if (info->mode == MODE_GETNEXT) {
			// The first one after the name, or at it when the master
			// asks for that (the start of a range).
			for (size_t k = 0; k < names.size(); k++) {
				const int c = compare(names[k], vb->name, vb->name_length);
				if (c > 0 || (c == 0 && r->inclusive)) {
					snmp_set_var_objid(vb, names[k].data(), names[k].size());
					set_value(vb, all[k].value);
					break;
				}
			}
			// None: the agent goes on past this subtree.
		}
	}
}

int Agent::run(const AgentOptions &options)
{
	struct sigaction sa = {};

	wake_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
	signal_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
	if (wake_fd_ < 0 || signal_fd < 0) {
		perror("eventfd");
		return 1;
	}
	sa.sa_handler = on_signal;
	sigemptyset(&sa.sa_mask);
	for (int sig : { SIGTERM, SIGINT, SIGHUP })
		sigaction(sig, &sa, nullptr);
	signal(SIGPIPE, SIG_IGN);

	snmp_enable_stderrlog();
	// The MIB files are the network management system's business: none is
	// loaded here (the default list would be, and complained about).
	setenv("MIBS", "", 1);
	netsnmp_ds_set_boolean(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_ROLE, 1);
	// Alarms through select()'s timeout, not SIGALRM.
	netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_ALARM_DONT_USE_SIG, 1);
	// Nothing to keep between runs; the unit's file system is read-only.
	netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_PERSIST_STATE, 1);
	netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_SAVE, 1);
	init_agent("kelsnmp");
	// init_agent() sets its own; the configuration files may still set
	// another (agentxPingInterval), and the command line's socket wins.
	netsnmp_ds_set_int(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_AGENTX_PING_INTERVAL, kPingSeconds);
	if (!options.agentx_socket.empty()) {
		std::string line = "agentXSocket " + options.agentx_socket;
		netsnmp_config_remember(line.data());
	}

	netsnmp_handler_registration *reg = netsnmp_create_handler_registration(
		"kelTerminalMIB", handle, kRoot, OID_LENGTH(kRoot), HANDLER_CAN_RONLY);
	if (!reg || (reg->handler->myvoid = this, netsnmp_register_handler(reg) != MIB_REGISTERED_OK)) {
		fprintf(stderr, "Cannot register the MIB's subtree\n");
		return 1;
	}
	// The library frees the argument of a callback at its shutdown: none
	// is given, the agent is known.
	master_watcher = this;
	snmp_register_callback(SNMP_CALLBACK_APPLICATION, SNMPD_CALLBACK_INDEX_START, on_master, nullptr);
	snmp_register_callback(SNMP_CALLBACK_APPLICATION, SNMPD_CALLBACK_INDEX_STOP, on_master, nullptr);
	init_snmp("kelsnmp");
	// A master that is not there yet, or restarts, has been said once (or
	// its end is said as it happens): not again at every attempt, a second
	// apart.
	netsnmp_ds_set_boolean(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_NO_CONNECTION_WARNINGS, 1);

	if (!pipe_.start()) {
		snmp_shutdown("kelsnmp");
		return 1;
	}
	register_readfd(wake_fd_, on_wake, this);
	register_readfd(signal_fd, on_signal_fd, this);
	notify(terminal_.refresh(Clock::now()));
	snmp_alarm_register(1, SA_REPEAT, on_tick, this);
	sd_notify(0, "READY=1");

	while (!stopping)
		agent_check_and_process(1);

	pipe_.stop();
	unregister_readfd(wake_fd_);
	unregister_readfd(signal_fd);
	snmp_shutdown("kelsnmp");
	return 0;
}

} // namespace

int run_agent(const AgentOptions &options)
{
	auto agent = std::make_unique<Agent>();
	return agent->run(options);
}

} // namespace kelsnmp
