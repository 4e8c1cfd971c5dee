#include "host_resolver.h"

#include <cerrno>
#include <mutex>
#include <netdb.h>
#include <pthread.h>
#include <system_error>
#include <vector>

#include "libre.h"

namespace sipep {

struct HostResolver::Result {
	uint64_t serial;
	uint64_t token;
	std::string name;
	std::optional<in_addr> address;
};

// What the lookup threads and the libre thread share. The bell only wakes
// the libre thread; the answers wait here, so that none is lost (or
// leaked) in the pipe when the resolver closes.
struct HostResolver::Mailbox {
	std::mutex mutex;
	mqueue *bell = nullptr; // none once the resolver closed
	std::vector<Result> results;

	void post(Result result)
	{
		std::lock_guard<std::mutex> hold(mutex);
		if (!bell)
			return;
		results.push_back(std::move(result));
		// One ring per answer: at most kMaxLookups are ever in the pipe.
		(void)mqueue_push(bell, 0, nullptr);
	}
};

namespace {

std::optional<in_addr> ipv4_address_of(const std::string &name)
{
	addrinfo hints{};
	hints.ai_family = AF_INET;
	hints.ai_socktype = SOCK_DGRAM;
	addrinfo *found = nullptr;
	if (getaddrinfo(name.c_str(), nullptr, &hints, &found) != 0)
		return std::nullopt;
	std::optional<in_addr> address;
	for (const addrinfo *a = found; a && !address; a = a->ai_next)
		if (a->ai_family == AF_INET)
			address = ((const sockaddr_in *)a->ai_addr)->sin_addr;
	freeaddrinfo(found);
	return address;
}

} // namespace

HostResolver::~HostResolver()
{
	close();
}

int HostResolver::open(Answer answer)
{
	if (mailbox_)
		return EALREADY;
	auto mailbox = std::make_shared<Mailbox>();
	if (int err = mqueue_alloc(&mailbox->bell, bell_handler, this))
		return err;
	answer_ = std::move(answer);
	mailbox_ = std::move(mailbox);
	return 0;
}

bool HostResolver::lookup(uint64_t token, const std::string &name)
{
	if (!mailbox_ || threads_.size() >= kMaxLookups)
		return false;
	const uint64_t serial = next_serial_++;
	try {
		std::thread thread([mailbox = mailbox_, result = Result{ serial, token, name, std::nullopt }]() mutable {
			pthread_setname_np(pthread_self(), "parlod-dns");
			result.address = ipv4_address_of(result.name);
			mailbox->post(std::move(result));
		});
		threads_.emplace(serial, std::move(thread));
	} catch (const std::system_error &) {
		return false; // no thread to be had: the name goes unlooked-up
	}
	return true;
}

void HostResolver::close()
{
	if (!mailbox_)
		return;
	mqueue *bell;
	{
		std::lock_guard<std::mutex> hold(mailbox_->mutex);
		bell = mailbox_->bell;
		mailbox_->bell = nullptr;
		mailbox_->results.clear();
	}
	mem_deref(bell);
	for (auto &[serial, thread] : threads_)
		thread.detach();
	threads_.clear();
	mailbox_.reset();
}

void HostResolver::bell_handler(int, void *, void *arg)
{
	((HostResolver *)arg)->deliver();
}

void HostResolver::deliver()
{
	if (!mailbox_)
		return;
	std::vector<Result> results;
	{
		std::lock_guard<std::mutex> hold(mailbox_->mutex);
		results.swap(mailbox_->results);
	}
	for (Result &r : results) {
		// It has posted: it is as good as finished.
		auto thread = threads_.find(r.serial);
		if (thread != threads_.end()) {
			thread->second.join();
			threads_.erase(thread);
		}
		answer_(r.token, r.name, r.address);
	}
}

} // namespace sipep
