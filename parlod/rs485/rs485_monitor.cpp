// The intercoms' states: the replies the transceiver collects, and the
// states file that the health-monitor daemon reads.
#include "rs485_endpoint.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "fileio.h"
#include "paths.h"
#include "rootpath.h"

using namespace rs485;
using namespace std::chrono_literals;

namespace {

// Status bits that the states file shows, in its order; bit 4 is not shown.
constexpr unsigned kShownBits[] = { 0, 1, 2, 3, 5, 6, 7 };
constexpr uint16_t kPresent = 0x8000;
constexpr uint8_t kAudioBit = 1 << 6;
constexpr size_t kStatesMax = 8192;

// The states file as its readers find it. Each version is a file of its
// own, complete before it is renamed over the last: a reader never sees
// half of one, whatever lock it takes or not; nobody waits for anybody
// (a reader that keeps its lock keeps only the old version); and a reader
// that opens the path afresh, as the daemon does once the file it holds
// has no name left, finds the newest. A file removed or renamed away is
// back with the next version.
class StatesFile {
public:
	explicit StatesFile(const char *path) : path_(path) {}

	// 0 or a negated errno value; no temporary file stays behind.
	int replace(const std::string &text)
	{
		std::string tmp = path_ + ".XXXXXX";
		struct stat st;
		int fd = mkostemp(tmp.data(), O_CLOEXEC);
		if (fd < 0)
			return -errno;
		// No fsync: the file lives in /run, which nothing survives, and a
		// reader sees it whole anyway.
		int r = fchmod(fd, 0660) == 0 ? 0 : -errno;
		if (r == 0)
			r = fd_write_all(fd, text.data(), text.size());
		if (r == 0 && fstat(fd, &st) != 0)
			r = -errno;
		if (close(fd) != 0 && r == 0)
			r = -errno;
		if (r == 0 && rename(tmp.c_str(), path_.c_str()) != 0)
			r = -errno;
		if (r < 0) {
			unlink(tmp.c_str());
			return r;
		}
		dev_ = st.st_dev;
		ino_ = st.st_ino;
		written_ = true;
		return 0;
	}

	// The path still names the version written last.
	bool in_place() const
	{
		struct stat st;
		return written_ && lstat(path_.c_str(), &st) == 0 && st.st_dev == dev_ && st.st_ino == ino_;
	}

	// Removes it, unless something else has taken its place.
	void remove()
	{
		if (in_place())
			unlink(path_.c_str());
		written_ = false;
	}

private:
	const std::string path_;
	dev_t dev_ = 0;
	ino_t ino_ = 0;
	bool written_ = false;
};

} // namespace

namespace rs485 {

void append_state_line(std::string &text, unsigned address, uint16_t state)
{
	char line[64];
	int n = snprintf(line, sizeof(line), "rs%u=", address);
	for (unsigned bit : kShownBits)
		n += snprintf(line + n, sizeof(line) - (size_t)n, "%u,", (state >> bit) & 1u);
	snprintf(line + n, sizeof(line) - (size_t)n, "%u\n", (state >> 8) & 0x7Fu);
	text += line;
}

void append_test_line(std::string &text, unsigned address, uint16_t result, uint64_t age)
{
	char line[64];
	snprintf(line, sizeof(line), "test%u=%u,%lu\n", address, (unsigned)(std::sqrt((double)result) * 0.78125),
		 (unsigned long)age);
	text += line;
}

std::string reset_report(unsigned address, uint16_t old_state, uint8_t status, uint8_t cause)
{
	(void)status;
	cause &= 0x7F;
	// An intercom that comes back has its cause recorded, not reported;
	// bit 0 marks a reset that is not to be reported at all.
	if (!(old_state & kPresent) || ((old_state >> 8) & 0x7F) == cause || (cause & 1))
		return "";
	char text[64];
	const char *why = cause & 2 ? " (BOD12)" : cause & 4 ? " (BOD33)" : cause & 0x20 ? " (WDT)" : "";
	snprintf(text, sizeof(text), "\nrs%u RCAUSE 0x%x%s", address, cause, why);
	return text;
}

} // namespace rs485

bool OpalRS485EndPoint::ProcessIncoming(uint8_t address, const uint8_t *frame)
{
	const uint8_t wire = frame[0] & 63, length = frame[1], code = frame[2] & 0x7F;
	const bool matches = wire == (address & 63);
	// The bus comes from the request, the address on it from the reply.
	const uint8_t from = (uint8_t)((address & 0xC0) | wire);

	switch (code) {
	case CMD_AUDIO_OUT:
		if (matches)
			ProcessPacing(frame);
		break;
	case CMD_STATUS:
		// Usually from the poll slot's intercom, not the addressed one.
		ProcessStatus(from, frame);
		break;
	case CMD_AUDIO_IN:
		if (matches)
			ProcessAudio(frame);
		break;
	case CMD_TEST_RESULT:
		if (length >= 3 && from < RS485_INTERCOMS) {
			m_testResult[from] = (uint16_t)(frame[3] | frame[4] << 8);
			m_testTime[from] = monotonic_seconds();
		}
		break;
	default:
		break;
	}
	return true;
}

void OpalRS485EndPoint::ProcessStatus(uint8_t address, const uint8_t *frame)
{
	// Without its two bytes a status reply says only that someone answered.
	if (frame[1] < 3 || address >= RS485_INTERCOMS)
		return;
	const uint8_t status = frame[3], cause = frame[4] & 0x7F;
	const uint16_t word = (uint16_t)(kPresent | cause << 8 | status);
	const uint16_t old = m_icState[address].exchange(word);

	std::string report = reset_report(address, old, status, cause);
	if (!report.empty())
		Broadcast(report);
	if (address == m_currentIc)
		m_currentCallButton = status & 1;
}

void OpalRS485EndPoint::MonitorIntercoms()
{
	StatesFile file(kel_path(IC_STATES_FILE));
	// A failure said and not over yet: each is said once, the write tried
	// again at each turn.
	bool failing = false;
	auto publish = [&](const std::string &text) {
		int r = file.replace(text);
		if (r < 0 && !failing)
			Broadcast(std::string("\nError creating states file: ") + strerror(-r));
		else if (r == 0 && failing)
			Broadcast("\nStates file written again");
		failing = r < 0;
	};

	// At once empty: what a console that died left there must not pass
	// for this one's states until the first poll cycle is through.
	publish("");

	std::string text;
	text.reserve(kStatesMax);
	// Counts one-second waits without a complete poll cycle, never reset:
	// the file is rewritten after every cycle and every fourth such wait,
	// and at once when it is gone from its path.
	unsigned idle = 0;
	while (!m_stopMonitor.is_set()) {
		if (!m_scanDone.wait(1000ms) && ++idle % 4 != 0 && (failing || file.in_place()))
			continue;

		const uint8_t current = m_currentIc;
		text = "# cb_cur,inp1,inp2,rel,pulses,audio,cb_pend,rcause\n";
		for (unsigned a = 0; a < RS485_INTERCOMS; a++) {
			const uint16_t state = m_icState[a];
			if (!state)
				continue;
			append_state_line(text, a, state);
			// An intercom busy with audio outside the call is stuck in an
			// old one: tell it again to stop.
			if ((state & kAudioBit) && a != current) {
				queueRS485Pkt((uint8_t)a, CMD_RESET, nullptr, 0, 1, 0);
				Broadcast("\nIC" + std::to_string(a) + ": resent CMD_RESET");
			}
		}
		text += "# res,time\n";
		const uint64_t now = monotonic_seconds();
		for (unsigned a = 0; a < RS485_INTERCOMS; a++) {
			const uint64_t at = m_testTime[a];
			if (at)
				append_test_line(text, a, m_testResult[a], now - at);
		}
		text += "call=" + std::to_string(m_callKind.load()) + "\n";
		if (text.size() > kStatesMax) {
			Broadcast("\nIC scan output truncated");
			text.resize(kStatesMax);
		}
		publish(text);
	}
	file.remove();
}
