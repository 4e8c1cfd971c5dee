// The dispatcher's side of the CIO loop against any input: an address list
// (up to the first NUL) and then 4-byte commands, acted on with a board of
// the harness's own. Whatever comes, the loop's state stays within the
// lines of the board, and the address list within its record.
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/ipc.h>
#include <sys/sem.h>

#include "cio/loop.h"
#include "shared_state.h"

namespace {

shared_state state;
int lines;

int ok_u8(uint8_t) { return 0; }
int ok_bool(bool) { return 0; }
int ok_int(int) { return 0; }
int ok_unsigned(unsigned) { return 0; }
int ok_void(void) { return 0; }
int num_lines(void) { return lines; }
int volts(uint8_t line, int32_t *v)
{
	if (line >= lines)
		return -EINVAL;
	*v = 60;
	return 0;
}
int prepare(const uint8_t *, unsigned) { return 0; }

int64_t board_read(uint8_t *buf, unsigned count)
{
	if (buf)
		memset(buf, 0x5A, count);
	return 1000;
}

const cio_ops board = {
	.si = ok_u8,
	.filter_en = ok_bool,
	.sound_set = ok_int,
	.mod_four_wire = ok_bool,
	.freq_set = ok_unsigned,
	.num_phys_ch = num_lines,
	.read = board_read,
	.pkt_set_ch = ok_int,
	.pkt_prepare = prepare,
	.pkt_send = ok_void,
	.mod_voltage = volts,
};

void remove_semaphores(void)
{
	semctl(vgd_sem_id, 0, IPC_RMID);
}

bool setup(void)
{
	vgd_ipc_key = IPC_PRIVATE;
	if (vgd_sem_open() < 0)
		abort();
	atexit(remove_semaphores);
	vgd_state = &state;
	return true;
}

bool name_char(char c)
{
	return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.';
}

void check_addresses(void)
{
	const shared_state *s = &state;

	if (s->addr_len < 1 || s->addr_len > (int)sizeof(s->addr_server) || s->addr_pos < 0 || s->addr_pos >= s->addr_len)
		abort();
	for (int i = 0; i < s->addr_len; i++)
		if (s->addr_server[i] && !name_char(s->addr_server[i]))
			abort();
	// The position is at the start of a name, or the list names nobody.
	if (s->addr_pos > 0 && s->addr_server[s->addr_pos] && s->addr_server[s->addr_pos - 1])
		abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	static const bool ready = setup();
	const uint8_t *nul = (const uint8_t *)memchr(data, 0, size);
	cio_loop l = {};
	bool acquired = false;

	(void)ready;
	memset(&state, 0, sizeof(state));
	state.read_freq = 16384;
	state.si_dur_main = 20;
	state.zlib_level = -1;
	lines = size && (data[0] & 1) ? 4 : 8;
	l.cioo = &board;
	l.lines = lines;

	if (nul) {
		std::string text((const char *)data, (size_t)(nul - data));
		minicio_register_server(text.c_str());
		check_addresses();
		for (int i = 0; i < 4; i++) {
			select_next_address();
			check_addresses();
		}
		size -= (size_t)(nul - data) + 1;
		data = nul + 1;
	}
	for (; size >= 4; data += 4, size -= 4) {
		if (cio_command(&l, data) < 0)
			abort();
		if (l.snd_dir > lines)
			abort();
		// Only a line the board lacks is acknowledged at once.
		if (l.reply.buf) {
			if (data[1] <= lines || data[1] > 8 || l.perform_cmd || l.pkt_locked)
				abort();
			cio_msg_free(&l.reply);
		}
		if (l.perform_cmd) {
			if (l.perform_cmd > 64 || l.perform_dir < 1 || l.perform_dir > lines || l.perform_hub < 1 ||
			    l.perform_hub > 32)
				abort();
			if (cio_line_command(&l) < 0 || l.perform_cmd)
				abort();
			cio_msg_free(&l.reply);
		}
		if (l.pkt_locked) {
			if (state.pkt_len != 6 || state.pkt_dir < 1 || state.pkt_dir > lines)
				abort();
			cio_packet_unlock(&l);
		}
		if (!acquired && !l.block_si) {
			if (cio_acquire(&l) < 0 || !l.packed.buf || l.packed.buf[0] != 'T')
				abort();
			cio_msg_free(&l.packed);
			acquired = true;
		}
	}
	return 0;
}
