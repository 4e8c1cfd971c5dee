// The intercom endpoint against anything on its buses and its control FIFO.
// The first byte picks one, the second shapes the input.
//
// Bus bytes reach the endpoint as the transceiver hands them over: read
// into its buffer in pieces, cut into frames as each comes whole; a frame
// whose CRC fails ends the reply, every valid one goes to the endpoint's
// own handling of replies to a request for the intercom the second byte
// names, with a call to an intercom set up. Control bytes arrive in reads of a size the second byte gives,
// at once or (its top bit) each more than a second after the last, and are
// put together into lines and split into words as the control thread
// does: the lines run are exactly those that a writer finished, within the
// limit, and not cut by a pause; what is left when the writer goes never
// runs; and the words of a line are what lies between its separators.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>
#include <memory>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <vector>

#include "call_manager.h"
#include "command_fifo.h"
#include "rs485_endpoint.h"
#include "util.h"

namespace {

void check(bool ok)
{
	if (!ok)
		abort();
}

// A party that never answers: the call that the harness places from
// intercom 3 stays in its set-up, so that its intercom call takes the
// audio and pacing replies, for as long as the harness runs.
class Pending : public callfw::Connection {
public:
	using Connection::Connection;
	bool is_network() const override { return true; }
	callfw::MediaFormatList media_formats() const override { return {}; }
	void start() override {}
	void release(callfw::CallEndReason) override {}
	callfw::MediaStreamPtr open_media_stream(const callfw::MediaFormat &, bool) override { return nullptr; }
};

class Unanswered : public callfw::Endpoint {
public:
	using Endpoint::Endpoint;
	callfw::ConnectionPtr make_connection(callfw::Call &call, const std::string &party) override
	{
		return std::make_shared<Pending>(call, *this, prefix() + ":" + party);
	}
};

// A console with the endpoint and its threads, but no bus: the ports
// stay closed, so nothing the harness hands over is ever sent anywhere.
struct Console {
	callfw::CallManager manager;
	OpalRS485EndPoint *endpoint;
	callfw::CallPtr call;

	Console()
	{
		auto rs485 = std::make_unique<OpalRS485EndPoint>(manager, "rs485");
		endpoint = rs485.get();
		manager.add_endpoint(std::move(rs485));
		manager.add_endpoint(std::make_unique<Unanswered>(manager, "pending"));
		call = manager.setup_call("rs485:rs3", "pending:x");
		check(call != nullptr);
		// The call's legs start on the manager's worker: once a task
		// posted after them has run, the intercom call is set up.
		std::promise<void> started;
		manager.post([&started] { started.set_value(); });
		started.get_future().wait();
	}
};
std::unique_ptr<Console> console;

void feed_bus(uint8_t address, const uint8_t *data, size_t size, unsigned piece)
{
	uint8_t buffer[RS485_MAX_FRAME];
	unsigned held = 0;

	while (size) {
		if (held == sizeof(buffer))
			return; // the transceiver flushes the port
		const size_t n = std::min<size_t>({ size, piece, sizeof(buffer) - held });
		memcpy(buffer + held, data, n);
		data += n;
		size -= n;
		held += (unsigned)n;
		while (const unsigned length = rs485_complete_frame(buffer, held)) {
			check(length <= held && length <= RS485_MAX_FRAME);
			if (crc8_smbus(buffer, length) != 0)
				return;
			console->endpoint->ProcessIncoming(address, buffer);
			memmove(buffer, buffer + length, held - length);
			held -= length;
		}
	}
}

// The lines a writer finished, as the control FIFO's rules have them.
std::vector<std::string> finished_lines(const uint8_t *data, size_t size, unsigned piece, bool slow)
{
	std::vector<std::string> lines;
	std::string line;
	bool after_cr = false;
	for (size_t i = 0; i < size; i++) {
		if (slow && i % piece == 0)
			line.clear(); // waited too long for its end
		const char c = (char)data[i];
		if (after_cr && c == '\n') {
			after_cr = false;
			continue;
		}
		after_cr = false;
		if (c == '\r' || c == '\n') {
			if (line.size() <= ControlFifo::kLineMax)
				lines.push_back(line);
			line.clear();
			after_cr = c == '\r';
		} else
			line += c;
	}
	return lines;
}

void feed_control(const uint8_t *data, size_t size, unsigned piece, bool slow)
{
	CommandLines lines(ControlFifo::kLineMax, CommandLines::Ends::Any);
	std::vector<std::string> run_lines;
	auto run = [&](std::string_view line) {
		check(line.size() <= ControlFifo::kLineMax);
		check(line.find_first_of("\r\n") == std::string_view::npos);
		const auto words = split_words(line);
		check(!words.empty());
		size_t total = words.size() - 1;
		for (std::string_view w : words) {
			check(w.find_first_of(" \t") == std::string_view::npos);
			check(w.data() >= line.data() && w.data() + w.size() <= line.data() + line.size());
			total += w.size();
		}
		check(total == line.size());
		run_lines.emplace_back(line);
	};
	auto now = CommandLines::Clock::now();
	for (size_t at = 0; at < size; at += piece) {
		lines.feed((const char *)data + at, std::min<size_t>(size - at, piece), now, run);
		if (slow)
			now += std::chrono::milliseconds(1500);
	}
	lines.writer_gone();
	check(lines.empty());
	check(run_lines == finished_lines(data, size, piece, slow));
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
	// The endpoint's threads keep their states file and control FIFO in a
	// sandbox root of their own (run-fuzzer names a scratch directory in
	// TMPDIR); its reports of resets and bad audio go nowhere.
	const char *tmp = getenv("TMPDIR");
	std::string root = std::string(tmp && *tmp ? tmp : "/tmp") + "/kel-fuzz-rs485-XXXXXX";
	if (!mkdtemp(root.data()) || mkdir((root + "/etc").c_str(), 0755) != 0 ||
	    mkdir((root + "/run").c_str(), 0755) != 0 || setenv("KEL_ROOT", root.c_str(), 1) != 0 ||
	    !freopen("/dev/null", "w", stdout))
		abort();
	console = std::make_unique<Console>();
	// The console ends before what it uses at its end (the root's paths,
	// made while it started): the call's release and the threads' last
	// steps name files.
	atexit([] { console.reset(); });
	return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	if (size < 2)
		return 0;
	const bool bus = data[0] & 1;
	const uint8_t shape = data[1];
	data += 2;
	size -= 2;
	if (bus)
		feed_bus(shape % RS485_INTERCOMS, data, size, 1 + shape % 67);
	else
		feed_control(data, size, 1 + (shape & 0x7F), shape & 0x80);
	return 0;
}
