// The named pipes that tools write command lines into, as their reader
// sees them: made, taken over, made anew whatever took their place, read
// on from writer to writer; and the command pipe's lines.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "command_fifo.h"
#include "tmpdir.h"

using namespace std::chrono_literals;
using Event = CommandFifo::Event;

namespace {

// How often the pipes of the tests that replace them are looked at.
constexpr auto kCheck = 100ms;

bool is_fifo(const std::string &path)
{
	struct stat st;
	return lstat(path.c_str(), &st) == 0 && S_ISFIFO(st.st_mode);
}

// A tool: opens without waiting (which fails while nobody reads), writes,
// closes unless told to keep the pipe.
int tool(const std::string &path, const std::string &text, bool keep = false)
{
	int fd = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
	if (fd < 0)
		return -errno;
	if (!text.empty() && write(fd, text.data(), text.size()) != (ssize_t)text.size()) {
		close(fd);
		return -EIO;
	}
	if (keep)
		return fd;
	close(fd);
	return 0;
}

struct Reads {
	std::vector<Event> events;
	std::string data;
};

// Reads until the event wanted (or the time is up), counting every return.
Reads read_until(CommandFifo &fifo, Event want, std::chrono::milliseconds limit)
{
	Reads got;
	char buf[256];
	const auto end = std::chrono::steady_clock::now() + limit;
	while (std::chrono::steady_clock::now() < end) {
		size_t count;
		Event e = fifo.read(buf, sizeof(buf), 100ms, count);
		if (e != Event::Timeout)
			got.events.push_back(e);
		got.data.append(buf, count);
		if (e == want || e == Event::Failed)
			break;
	}
	return got;
}

TEST(CommandFifo, MadeOrTakenOverWhateverStandsThere)
{
	TmpDir dir;
	const std::string path = dir.path("fifo");
	const mode_t mask = umask(0);
	{
		CommandFifo fifo(path);
		ASSERT_TRUE(fifo.open());
		EXPECT_TRUE(fifo.made());
		struct stat st;
		ASSERT_EQ(stat(path.c_str(), &st), 0);
		EXPECT_TRUE(S_ISFIFO(st.st_mode));
		EXPECT_EQ(st.st_mode & 07777, 0660u);
		// Open for reading: a tool that does not wait gets in.
		EXPECT_EQ(tool(path, ""), 0);
		fifo.close();
		EXPECT_EQ(tool(path, ""), -ENXIO);
		// A pipe that is there is taken as it is.
		ASSERT_TRUE(fifo.open());
		EXPECT_FALSE(fifo.made());
	}
	umask(mask);

	// A file, a link, an empty directory: each gives way to a pipe.
	for (int kind = 0; kind < 3; kind++) {
		unlink(path.c_str());
		if (kind == 0) {
			dir.write("fifo", "rel 3 99\n");
		} else if (kind == 1) {
			ASSERT_EQ(symlink("/dev/zero", path.c_str()), 0);
		} else {
			ASSERT_EQ(mkdir(path.c_str(), 0755), 0);
		}
		CommandFifo fifo(path);
		ASSERT_TRUE(fifo.open()) << kind;
		EXPECT_TRUE(fifo.made()) << kind;
		EXPECT_TRUE(is_fifo(path)) << kind;
	}

	// A directory with something in it stays, and there is no pipe.
	ASSERT_EQ(unlink(path.c_str()), 0);
	ASSERT_EQ(mkdir(path.c_str(), 0755), 0);
	dir.write("fifo/keep", "x");
	CommandFifo fifo(path);
	EXPECT_FALSE(fifo.open());
	EXPECT_EQ(fifo.error(), ENOTEMPTY);
	EXPECT_EQ(fifo.failed_step(), CommandFifo::Step::Make);
	EXPECT_FALSE(fifo.is_open());
	EXPECT_EQ(dir.read("fifo/keep"), "x");
}

TEST(CommandFifo, ReadsOnFromWriterToWriter)
{
	TmpDir dir;
	const std::string path = dir.path("fifo");
	CommandFifo fifo(path);
	ASSERT_TRUE(fifo.open());

	// Nothing comes: the wait ends at its bound.
	char buf[64];
	size_t count = 1;
	const auto t0 = std::chrono::steady_clock::now();
	EXPECT_EQ(fifo.read(buf, sizeof(buf), 200ms, count), Event::Timeout);
	EXPECT_EQ(count, 0u);
	EXPECT_GE(std::chrono::steady_clock::now() - t0, 200ms);

	for (int writer = 0; writer < 3; writer++) {
		ASSERT_EQ(tool(path, "hbt\n"), 0);
		Reads got = read_until(fifo, Event::WriterGone, 3s);
		EXPECT_EQ(got.data, "hbt\n");
		EXPECT_EQ(got.events, (std::vector<Event>{ Event::Data, Event::WriterGone }));
		// The fresh read end: the next tool gets in at once, and the end
		// of the last one is not reported again.
		EXPECT_EQ(fifo.read(buf, sizeof(buf), 100ms, count), Event::Timeout);
	}

	// Stopped from elsewhere, for good.
	fifo.interrupt();
	EXPECT_EQ(fifo.read(buf, sizeof(buf), -1ms, count), Event::Interrupted);
	EXPECT_EQ(fifo.read(buf, sizeof(buf), 1000ms, count), Event::Interrupted);
}

TEST(CommandFifo, MadeAnewWhenRemovedOrReplaced)
{
	TmpDir dir;
	const std::string path = dir.path("fifo");
	char buf[64];
	size_t count;

	// 0: removed; 1: a file renamed over it; 2: a directory in its place;
	// each with no writer, then with one that keeps the old pipe open.
	for (int keep = 0; keep < 2; keep++)
		for (int kind = 0; kind < 3; kind++) {
			CommandFifo fifo(path, 0660, kCheck);
			ASSERT_TRUE(fifo.open());
			int writer = keep ? tool(path, "rel 3", true) : -1;
			ASSERT_TRUE(!keep || writer >= 0);
			ASSERT_EQ(unlink(path.c_str()), 0);
			if (kind == 1) {
				dir.write("file", "rel 3 99\n");
				ASSERT_EQ(rename(dir.path("file").c_str(), path.c_str()), 0);
			} else if (kind == 2) {
				ASSERT_EQ(mkdir(path.c_str(), 0755), 0);
			}

			Reads got = read_until(fifo, Event::Replaced, 30 * kCheck);
			ASSERT_FALSE(got.events.empty()) << keep << kind;
			EXPECT_EQ(got.events.back(), Event::Replaced) << keep << kind;
			EXPECT_TRUE(fifo.made());
			EXPECT_TRUE(is_fifo(path)) << keep << kind;
			// Nothing of what stood there was read, and it is read no
			// more: the next waits are quiet.
			EXPECT_EQ(got.data.find("99"), std::string::npos);
			const auto t0 = std::chrono::steady_clock::now();
			int returns = 0;
			while (std::chrono::steady_clock::now() - t0 < 3 * kCheck) {
				EXPECT_EQ(fifo.read(buf, sizeof(buf), kCheck, count), Event::Timeout);
				returns++;
			}
			EXPECT_LE(returns, 4);
			// The new pipe is read.
			ASSERT_EQ(tool(path, "clc 3\n"), 0) << keep << kind;
			got = read_until(fifo, Event::WriterGone, 3s);
			EXPECT_EQ(got.data, "clc 3\n");
			if (writer >= 0)
				close(writer);
			fifo.remove();
			EXPECT_FALSE(is_fifo(path));
		}
}

TEST(CommandFifo, ReplacedWhileItsWriterStaysAndRemovedOnlyWhenOurs)
{
	TmpDir dir;
	const std::string path = dir.path("fifo");
	CommandFifo fifo(path, 0660, kCheck);
	ASSERT_TRUE(fifo.open());

	// A writer that keeps writing to the old pipe keeps it busy, but its
	// replacement is noticed all the same.
	int writer = tool(path, "", true);
	ASSERT_GE(writer, 0);
	ASSERT_EQ(unlink(path.c_str()), 0);
	dir.write("fifo", "rel 3 99\n");
	const auto t0 = std::chrono::steady_clock::now();
	Event last = Event::Timeout;
	char buf[64];
	size_t count;
	while (std::chrono::steady_clock::now() - t0 < 30 * kCheck && last != Event::Replaced) {
		if (write(writer, "hbt\n", 4) < 0)
			break;
		last = fifo.read(buf, sizeof(buf), kCheck, count);
	}
	EXPECT_EQ(last, Event::Replaced);
	EXPECT_TRUE(is_fifo(path));
	close(writer);

	// Something else at the path by the end stays.
	unlink(path.c_str());
	dir.write("fifo", "mine");
	fifo.remove();
	EXPECT_EQ(dir.read("fifo"), "mine");
}

TEST(CommandLines, TheCommandPipesLines)
{
	CommandLines lines(16, CommandLines::Ends::Newline);
	std::vector<std::string> got;
	int too_long = 0;
	const auto t0 = CommandLines::Clock::now();
	auto feed = [&](std::string_view bytes, int ms) {
		lines.feed(bytes.data(), bytes.size(), t0 + std::chrono::milliseconds(ms),
			   [&](std::string_view line) { got.emplace_back(line); }, [&] { too_long++; });
	};

	// Only LF ends a line: a CR is the line's.
	feed("calls\r\nhang", 0);
	feed("up\n", 900);
	EXPECT_EQ(got, (std::vector<std::string>{ "calls\r", "hangup" }));
	// Too long: said once, at its end, and nothing of it runs.
	got.clear();
	feed(std::string(17, 'x') + "\nhelp\n", 1000);
	EXPECT_EQ(too_long, 1);
	EXPECT_EQ(got, (std::vector<std::string>{ "help" }));
	// Exactly at the limit it is a line.
	feed(std::string(16, 'y') + "\n", 1000);
	EXPECT_EQ(got.back(), std::string(16, 'y'));
	// An overlong line whose writer went is not said at all.
	feed(std::string(20, 'x'), 1000);
	lines.writer_gone();
	feed("\n", 1000);
	EXPECT_EQ(too_long, 1);
	EXPECT_EQ(got.back(), "");
	// Two writers' halves never make one command.
	got.clear();
	feed("hang", 2000);
	feed("up\n", 3001);
	EXPECT_EQ(got, (std::vector<std::string>{ "up" }));
}

} // namespace
