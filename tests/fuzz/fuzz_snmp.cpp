// The SNMP sub-agent's reading of the daemon's pipe and of the console's
// states file against any bytes. Control bytes cut the input into the
// pieces that reads return, with pauses and the writer's end between them.
// Whatever comes, the instances served are in order, each once, and each
// is an instance of an object of the MIB module.
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "command_fifo.h"
#include "ic_states.h"
#include "mib_tree.h"
#include "record_pipe.h"
#include "terminal.h"

using namespace kelsnmp;

namespace {

void check(const TerminalView &v, Clock::time_point now)
{
	const std::vector<Instance> all = instances(v, now);
	for (size_t i = 0; i < all.size(); i++) {
		if (!names_object(all[i].oid))
			abort();
		if (i > 0 && !(all[i - 1].oid < all[i].oid))
			abort();
	}
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	auto now = Clock::time_point{} + std::chrono::hours(1);
	Terminal t(now);
	RecordAssembler records;
	CommandLines lines(RecordPipe::kMaxLine, CommandLines::Ends::Newline);
	std::vector<PipeItem> items;
	uint32_t malformed = 0;

	auto take = [&] {
		for (const PipeItem &item : items)
			for (const Event &e : t.take(item, now))
				notification_objects(e, t.view(), now);
		items.clear();
		if (t.view().malformed < malformed)
			abort();
		malformed = t.view().malformed;
		check(t.view(), now);
	};
	for (size_t i = 0; i < size;) {
		const uint8_t c = data[i++];
		if (c == 0xFF) {
			lines.writer_gone();
			records.end(items);
			items.push_back({ PipeItem::Kind::WriterGone, {} });
		} else if (c >= 0xF0) {
			records.pause(items);
			now += std::chrono::milliseconds(700) * (c - 0xEF);
		} else {
			const size_t n = std::min<size_t>(c % 64 + 1, size - i);
			lines.feed(
				reinterpret_cast<const char *>(data + i), n, now,
				[&](std::string_view line) { records.line(line); }, [&] { records.overlong(); });
			i += n;
		}
		take();
	}
	records.end(items);
	take();

	// The same bytes as the console's states file.
	const std::string text(reinterpret_cast<const char *>(data), size);
	for (const Event &e : t.states(0, text, now))
		notification_objects(e, t.view(), now);
	check(t.view(), now);
	return 0;
}
