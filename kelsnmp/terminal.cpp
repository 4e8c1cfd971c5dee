#include "terminal.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "cfg.h"
#include "paths.h"
#include "rootpath.h"
#include "snmp_record.h"

namespace kelsnmp {

namespace {

// More than any states file: 128 intercoms and their tests.
constexpr size_t kStatesMax = 65536;

// The file's text; 0 or a negated errno value.
int read_text(const char *path, std::string &text, struct stat &st)
{
	// Whatever else stands there is not waited on.
	int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
	if (fd < 0)
		return -errno;
	int r = fstat(fd, &st) == 0 ? 0 : -errno;
	if (r == 0 && !S_ISREG(st.st_mode))
		r = S_ISDIR(st.st_mode) ? -EISDIR : -EINVAL;
	text.clear();
	while (r == 0 && text.size() < kStatesMax) {
		char buf[4096];
		ssize_t n = read(fd, buf, sizeof(buf));
		if (n < 0 && errno != EINTR)
			r = -errno;
		else if (n == 0)
			break;
		else if (n > 0)
			text.append(buf, (size_t)n);
	}
	close(fd);
	return r;
}

std::optional<int32_t> read_int(const char *path, const char *key)
{
	int32_t v = 0;
	return cfg_read_int(path, key, &v) == 0 ? std::optional<int32_t>(v) : std::nullopt;
}

} // namespace

Terminal::FileId Terminal::identify(const char *path)
{
	struct stat st;
	if (stat(path, &st) != 0)
		return {};
	return { st.st_dev, st.st_ino, st.st_mtim, st.st_size };
}

void Terminal::malformed(const std::string &why)
{
	view_.malformed++;
	if (!said_malformed_)
		fprintf(stderr, "A record in %s is malformed and ignored (%s); more are counted until a good one\n",
			kel_path(SNMP_PIPE), why.c_str());
	said_malformed_ = true;
}

std::vector<Event> Terminal::take(const PipeItem &item, Clock::time_point now)
{
	std::string why;
	bool incomplete = false;

	switch (item.kind) {
	case PipeItem::Kind::Record: {
		if (!item.again) {
			counted_ = Counted::Nothing;
			applied_.clear();
		}
		auto r = item.overlong ? std::nullopt : parse_record(item.text, why, &incomplete);
		if (r) {
			if (item.text == applied_)
				return {}; // its end, or a pause, with nothing new
			applied_ = item.text;
			view_.record = std::move(*r);
			view_.record_at = now;
			if (counted_ != Counted::Taken)
				view_.taken++;
			counted_ = Counted::Taken;
			said_malformed_ = false;
			return watch_.record(*view_.record, now);
		}
		// Lines still to come may complete it.
		if (incomplete && !item.final)
			return {};
		if (counted_ != Counted::Malformed)
			malformed(item.overlong ? "a line too long for a record" : why);
		counted_ = Counted::Malformed;
		return {};
	}
	case PipeItem::Kind::Fragment: {
		const std::string first = item.text.substr(0, item.text.find('\n'));
		malformed(item.overlong ? "a line too long for a record" : "a line out of any record: \"" + first + "\"");
		return {};
	}
	case PipeItem::Kind::WriterGone:
		watch_.writer_gone();
		return {};
	}
	return {};
}

void Terminal::read_descriptions()
{
	const char *device = kel_path(DEVICE_CONF), *description = kel_path(SNMP_CONF);
	const FileId d = identify(device), s = identify(description);

	if (read_once_ && d == device_ && s == description_)
		return;
	// Both files are rewritten by others while the sub-agent runs: read
	// them again, not the copies held.
	cfg_cache_drop();
	device_ = d;
	description_ = s;
	read_once_ = true;
	view_.revision = read_int(device, "revision");
	view_.modules = read_int(description, SNMP_KEY_NUM_MODULES);
	view_.sensors = read_int(description, SNMP_KEY_NUM_TSENSORS);
}

std::vector<Event> Terminal::states(int error, const std::string &text, Clock::time_point written)
{
	const auto before = view_.states;
	std::optional<IntercomStates> s;

	if (error == 0)
		s = read_ic_states(text);
	view_.states = s ? TerminalView::States::Published
		       : error == 0 || error == -ENOENT ? TerminalView::States::None
							: TerminalView::States::Unreadable;
	if (view_.states == TerminalView::States::Unreadable && before != view_.states)
		fprintf(stderr, "Cannot read %s: %s\n", kel_path(IC_STATES_FILE), strerror(-error));
	if (!s)
		return {};
	view_.intercoms = *s;
	view_.intercoms_written = written;
	return watch_.intercoms(*s);
}

std::vector<Event> Terminal::refresh(Clock::time_point now)
{
	struct stat st = {};
	struct timespec real;
	std::string text;

	read_descriptions();
	int r = read_text(kel_path(IC_STATES_FILE), text, st);
	// The file's time is the wall clock's; how long ago it was written is
	// what counts.
	clock_gettime(CLOCK_REALTIME, &real);
	const auto ago = std::chrono::seconds(real.tv_sec - st.st_mtim.tv_sec) +
			 std::chrono::nanoseconds(real.tv_nsec - st.st_mtim.tv_nsec);
	std::vector<Event> events = states(r, text, now - std::max<Clock::duration>(ago, Clock::duration::zero()));
	for (const Event &e : watch_.tick(now))
		events.push_back(e);
	return events;
}

} // namespace kelsnmp
