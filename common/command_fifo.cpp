#include "command_fifo.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The read end of the pipe at path, and what it is; -1 with errno set when
// there is no pipe there. Never through a link: one planted at the path is
// no pipe of ours.
int open_read_end(const char *path, struct stat &st)
{
	// Without waiting for a writer; reads never wait either, a poll does.
	int fd = open(path, O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW);
	if (fd < 0)
		return -1;
	if (fstat(fd, &st) != 0 || !S_ISFIFO(st.st_mode)) {
		int e = S_ISDIR(st.st_mode) ? EISDIR : ENOTSUP;
		close(fd);
		errno = e;
		return -1;
	}
	return fd;
}

} // namespace

CommandFifo::CommandFifo(std::string path, mode_t mode, std::chrono::milliseconds check)
	: path_(std::move(path)), mode_(mode), check_(check), wake_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
{
}

CommandFifo::~CommandFifo()
{
	close();
	if (wake_ >= 0)
		::close(wake_);
}

bool CommandFifo::open()
{
	const char *path = path_.c_str();
	struct stat st;
	int fd = -1;

	// Another process may put something at the path between the steps:
	// a few goes, then it counts as a failure.
	for (int attempt = 0; fd < 0 && attempt < 3; attempt++) {
		made_ = false;
		if (lstat(path, &st) == 0 && !S_ISFIFO(st.st_mode) &&
		    (S_ISDIR(st.st_mode) ? rmdir(path) : unlink(path)) != 0 && errno != ENOENT) {
			error_ = errno;
			failed_step_ = Step::Make;
			return false;
		}
		if (mkfifo(path, mode_) == 0)
			made_ = true;
		else if (errno != EEXIST) {
			error_ = errno;
			failed_step_ = Step::Make;
			return false;
		}
		fd = open_read_end(path, st);
		if (fd < 0) {
			error_ = errno;
			failed_step_ = Step::Open;
			if (errno != ENOTSUP && errno != EISDIR && errno != ELOOP && errno != ENOENT)
				return false;
		}
	}
	if (fd < 0)
		return false;
	if (fd_ >= 0)
		::close(fd_);
	fd_ = fd;
	dev_ = st.st_dev;
	ino_ = st.st_ino;
	checked_ = Clock::now();
	return true;
}

void CommandFifo::close()
{
	if (fd_ >= 0)
		::close(fd_);
	fd_ = -1;
}

void CommandFifo::remove()
{
	if (still_ours())
		unlink(path_.c_str());
	close();
}

bool CommandFifo::still_ours() const
{
	struct stat st;

	return fd_ >= 0 && lstat(path_.c_str(), &st) == 0 && S_ISFIFO(st.st_mode) && st.st_dev == dev_ &&
	       st.st_ino == ino_;
}

// The pipe at the path in place of the one read, whatever it was.
CommandFifo::Event CommandFifo::renew()
{
	if (open())
		return Event::Replaced;
	close();
	return Event::Failed;
}

// After the last writer has gone, the read end reports that for ever; a
// fresh one reports it again only once a new writer has come and gone.
CommandFifo::Event CommandFifo::reopen()
{
	struct stat st;
	int fd = still_ours() ? open_read_end(path_.c_str(), st) : -1;

	if (fd < 0 || st.st_dev != dev_ || st.st_ino != ino_) {
		if (fd >= 0)
			::close(fd);
		return renew(); // removed or replaced meanwhile
	}
	::close(fd_);
	fd_ = fd;
	return Event::WriterGone;
}

CommandFifo::Event CommandFifo::read(char *buf, size_t size, std::chrono::milliseconds timeout, size_t &count)
{
	const auto deadline = Clock::now() + timeout;

	count = 0;
	if (fd_ < 0) {
		error_ = EBADF;
		failed_step_ = Step::Read;
		return Event::Failed;
	}
	for (;;) {
		auto now = Clock::now();
		if (now - checked_ >= check_) {
			// Looked at once a second, busy or not: a writer that keeps
			// the old pipe open must not keep the path without one.
			checked_ = now;
			if (!still_ours())
				return renew();
		}
		auto wait = checked_ + check_ - now;
		if (timeout.count() >= 0) {
			if (now >= deadline)
				return Event::Timeout;
			wait = std::min(wait, deadline - now);
		}
		// Rounded up: a poll that ends a moment early would spin.
		int wait_ms = (int)std::chrono::ceil<std::chrono::milliseconds>(wait).count();
		struct pollfd p[2] = { { fd_, POLLIN, 0 }, { wake_, POLLIN, 0 } };
		int r = poll(p, 2, std::max(wait_ms, 0));

		if (r < 0 && errno != EINTR) {
			error_ = errno;
			failed_step_ = Step::Read;
			close();
			return Event::Failed;
		}
		if (r > 0 && (p[1].revents & POLLIN))
			return Event::Interrupted;
		if (r > 0 && (p[0].revents & POLLNVAL)) {
			error_ = EBADF;
			failed_step_ = Step::Read;
			fd_ = -1;
			return Event::Failed;
		}
		if (r <= 0 || !(p[0].revents & (POLLIN | POLLHUP | POLLERR)))
			continue;
		ssize_t n = ::read(fd_, buf, size);
		if (n > 0) {
			count = (size_t)n;
			return Event::Data;
		}
		if (n == 0) // every writer has closed the pipe
			return reopen();
		if (errno != EINTR && errno != EAGAIN) {
			error_ = errno;
			failed_step_ = Step::Read;
			close();
			return Event::Failed;
		}
	}
}

void CommandFifo::interrupt()
{
	uint64_t one = 1;

	if (wake_ >= 0 && write(wake_, &one, sizeof(one)) < 0) {
		// Already signalled.
	}
}

CommandLines::CommandLines(size_t max, Ends ends, Clock::duration max_age) : max_(max), ends_(ends), max_age_(max_age)
{
}
