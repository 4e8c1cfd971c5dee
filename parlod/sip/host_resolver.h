// Host names that peers give for their media, looked up without holding up
// the libre thread.
//
// libre's own DNS client knows nothing of /etc/hosts, so names go to the
// system's resolver (getaddrinfo(), IPv4), which blocks: each lookup runs
// on a thread of its own. The answer comes back to the libre thread through
// libre's message queue, with the token the lookup was asked with; whoever
// asked is found again by that token, if it is still there.
//
// Threads: open(), lookup(), close() and the answers belong to libre's
// side (the libre thread, or libre's lock). The resolver owns its lookup
// threads: it joins each one when its answer is in. getaddrinfo() cannot be
// interrupted, so close() lets those still waiting for a name server run
// out on their own; they touch nothing of the resolver's but the mailbox
// they share with it, and their answers go nowhere.
//
// Lock order: a mailbox's mutex is innermost; nothing is called under it
// but mqueue_push(), which only writes to a pipe.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <netinet/in.h>
#include <optional>
#include <string>
#include <thread>

namespace sipep {

class HostResolver {
public:
	// address: none when the name has no IPv4 address (or no lookup
	// could tell).
	using Answer = std::function<void(uint64_t token, const std::string &name, std::optional<in_addr> address)>;

	HostResolver() = default;
	~HostResolver();
	HostResolver(const HostResolver &) = delete;
	HostResolver &operator=(const HostResolver &) = delete;

	// Answers go to answer, on the thread that runs libre's loop. 0 or an
	// errno value.
	int open(Answer answer);

	// Starts a lookup of name; its answer comes later, unless close()
	// comes first. False when the resolver is closed or as many lookups
	// as it allows are under way (a peer that sends name after name gets
	// no more threads).
	bool lookup(uint64_t token, const std::string &name);

	// No more answers. Idempotent.
	void close();

	static constexpr size_t kMaxLookups = 4;

private:
	struct Mailbox;
	struct Result;

	static void bell_handler(int id, void *data, void *arg);
	void deliver();

	Answer answer_;
	std::shared_ptr<Mailbox> mailbox_;
	std::map<uint64_t, std::thread> threads_; // by lookup serial
	uint64_t next_serial_ = 1;
};

} // namespace sipep
