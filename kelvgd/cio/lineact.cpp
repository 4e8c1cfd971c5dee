// The timed line actions of the CIO loop: the recording of the lines that
// answers the dispatcher, the line command sent as three SI pulses, and
// the transmission of a queued line packet.
//
// Every time on the lines is counted on the board's clock: SI pulses by its
// delay (or by discarding samples), gaps by reading and discarding samples
// at the acquisition rate, never by sleeping. The read latency the board
// measures is taken off each gap and off the skip at the start of a
// recording. The timed parts run at real-time priority, so that other
// processes do not stretch the 31.25 ms steps of the codes.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <syslog.h>
#include <zlib.h>

#include "errmsg.h"
#include "loop.h"
#include "shared_state.h"

#define NS_PER_S 1000000000LL
// One step of a hub address or command code: 1/32 s.
#define CODE_STEP_NS 31250000LL
#define HUB_GAP_NS 21240234LL
#define CMD_GAP_NS 4882813LL

int cio_fail(int status, const char *message)
{
	errno = -status;
	return neg_errno_msg("%s", message);
}

// Logs a failure to change the scheduling once, not at every action of a
// system that does not allow real-time priority.
static int sched_failed(const char *message)
{
	static const char *last;
	int r = neg_errno();

	if (message != last)
		syslog(LOG_WARNING, "%s", message);
	last = message;
	return r;
}

int sched_save(int *scheduler, struct sched_param *oldparam)
{
	struct sched_param fifo = {};
	int policy = sched_getscheduler(0);

	if (policy < 0)
		return sched_failed("Failed to determine scheduling policy!");
	*scheduler = policy;
	if (sched_getparam(0, oldparam) != 0) {
		*scheduler = -1;
		return sched_failed("Failed to determine scheduling parameter!");
	}
	fifo.sched_priority = 1;
	if (sched_setscheduler(0, SCHED_FIFO, &fifo) != 0)
		return sched_failed("Failed to configure scheduling policy!");
	return 0;
}

int sched_restore(int scheduler, const struct sched_param *oldparam)
{
	return sched_setscheduler(0, scheduler, oldparam) == 0 ? 0 : neg_errno();
}

// The timed part of an action: entered at real-time priority when that
// can be had, left at the priority the process had before.
struct cio_timed {
	int saved; // sched_save()'s result: 0 when there is something to restore
	int scheduler;
	struct sched_param param;
};

static void cio_timed_begin(cio_timed *t)
{
	t->saved = sched_save(&t->scheduler, &t->param);
}

static int cio_timed_end(cio_timed *t)
{
	int r = t->saved == 0 ? sched_restore(t->scheduler, &t->param) : 0;

	t->saved = -1;
	return r < 0 ? cio_fail(r, "Failed to restore scheduler parameters!\n") : 0;
}

// A failure in the timed part ends the loop: the process goes back to its
// own priority for the end of the loop.
static int cio_timed_fail(cio_timed *t, int status, const char *message)
{
	if (t->saved == 0)
		sched_restore(t->scheduler, &t->param);
	t->saved = -1;
	return cio_fail(status, message);
}

// The samples of ns nanoseconds at rate, to the nearest; none for a time
// that the latency has used up.
static unsigned cio_samples(int64_t ns, unsigned rate)
{
	return ns > 0 ? (unsigned)((ns * rate + NS_PER_S / 2) / NS_PER_S) : 0;
}

// Waits count samples on the board's clock; the board's latency or the error.
static int64_t cio_discard(const cio_ops *b, unsigned count)
{
	return b->read(nullptr, count);
}

int minicio_si_dur(const cio_ops *ops, unsigned si_dur_main, unsigned cur_freq, uint8_t si_mask)
{
	int64_t r = ops->si(si_mask);

	if (r != 0)
		return (int)r;
	if (ops->delay)
		r = ops->delay(si_dur_main);
	else
		r = ops->read(nullptr, (si_dur_main * cur_freq + 500) / 1000);
	if (r < 0)
		return (int)r;
	return ops->si(0);
}

int cio_ack(cio_loop *l)
{
	static const uint8_t ack[CIO_MSG_HEADER] = { 'T', 'E', '3', 0, CIO_ACK_BODY };
	uint8_t *buf = (uint8_t *)calloc(1, CIO_MSG_HEADER + CIO_ACK_BODY);

	if (!buf) {
		errno = ENOMEM;
		return neg_errno_automsg();
	}
	memcpy(buf, ack, sizeof(ack));
	l->reply = { buf, CIO_MSG_HEADER + CIO_ACK_BODY, 0 };
	return 0;
}

// Puts the sound path back on the dispatcher's line after a line action.
static int cio_sound_restore(cio_loop *l)
{
	const cio_ops *b = l->cioo;
	int r;

	if (!l->snd_dir)
		return 0;
	if ((r = b->sound_set(l->snd_dir - 1)) < 0)
		return cio_fail(r, "Failed to set sound channel!\n");
	if (b->mod_four_wire && (r = b->mod_four_wire(l->four_wire)) < 0)
		return cio_fail(r, "Failed to set four wire mode!\n");
	return 0;
}

// The line the dispatcher's SI of the next recording goes into: all lines
// but the one the sound path holds in two-wire operation, or in test mode
// one line after the other.
static uint8_t cio_acquire_mask(cio_loop *l)
{
	uint8_t mask;

	if (l->cmd_test) {
		if (++l->cur_dir >= l->lines)
			l->cur_dir = 0;
		return (uint8_t)(1u << l->cur_dir);
	}
	mask = cio_all_lines(l->lines);
	if (l->snd_dir && !l->four_wire)
		mask &= (uint8_t) ~(1u << (l->snd_dir - 1));
	return mask;
}

// Two 2-bit samples of the four in each byte go into each nibble of a
// byte of their own, from the last byte to the first, in place.
static void cio_expand_2line(uint8_t *p, size_t n)
{
	for (size_t i = n; i-- > 0;) {
		uint8_t b = p[i];

		p[2 * i] = (uint8_t)(((b * 4) & 0x30) | (b & 0x03));
		p[2 * i + 1] = (uint8_t)(((b / 4) & 0x30) | ((b / 16) & 0x03));
	}
}

static int cio_compress(uint8_t *dest, size_t *len, const uint8_t *src, size_t n, int level)
{
	uLongf out = *len;

	switch (compress2(dest, &out, src, n, level)) {
	case Z_OK:
		*len = out;
		return 0;
	case Z_MEM_ERROR:
		return cio_fail(-ENOMEM, "zlib: Insufficient memory!\n");
	case Z_BUF_ERROR:
		return cio_fail(-ENOBUFS, "zlib: The buffer was not large enough to hold the compressed data!\n");
	default:
		return cio_fail(-EIO, "zlib: Unknown error!\n");
	}
}

int cio_acquire(cio_loop *l)
{
	const cio_ops *b = l->cioo;
	unsigned cur_freq, si_dur;
	int level;
	int64_t bytes_to_save, bytes_to_send, first_conc_off, max_packed_buf, latency;
	uint8_t *packet = nullptr, *rec = nullptr;
	size_t packed_len;
	cio_timed t;
	int r;

	if ((r = vgd_read_lock(SEM_SSTATE_R, SEM_SSTATE_W)) < 0)
		return r;
	cur_freq = vgd_state->read_freq;
	si_dur = vgd_state->si_dur_main;
	level = vgd_state->zlib_level;
	vgd_read_unlock(SEM_SSTATE_R, SEM_SSTATE_W);
	if (level < 0 || level > 9)
		level = Z_DEFAULT_COMPRESSION;

	// 1.062 s recorded; the board's window sent, starting 26 ms after the
	// end of the SI pulse.
	bytes_to_save = ((int64_t)cur_freq * 1062 + 500) / 1000;
	bytes_to_send = ((int64_t)cio_window_ns(b) * cur_freq + NS_PER_S / 2) / NS_PER_S;
	bytes_to_send = bytes_to_send < bytes_to_save ? bytes_to_send : bytes_to_save;
	first_conc_off = ((int64_t)cur_freq * 26 + 500) / 1000;
	max_packed_buf = (int64_t)((double)bytes_to_send * 1.01 + 13.0);
	// The body length of a data packet is 16 bits wide.
	if (max_packed_buf > 0xFFFF) {
		errno = ERANGE;
		return neg_errno_msg("Acquisition rate %u is too high for a data packet!\n", cur_freq);
	}

	packet = (uint8_t *)malloc((size_t)max_packed_buf + CIO_MSG_HEADER);
	rec = (uint8_t *)malloc((size_t)bytes_to_save + 1);
	if (!packet || !rec) {
		free(packet);
		free(rec);
		errno = ENOMEM;
		return neg_errno_automsg();
	}
	if ((r = b->freq_set(cur_freq)) < 0) {
		r = cio_fail(r, "Failed to configure acquire frequency!\n");
		goto out;
	}

	cio_timed_begin(&t);
	if ((r = minicio_si_dur(b, si_dur, cur_freq, cio_acquire_mask(l))) != 0) {
		r = cio_timed_fail(&t, r, "SI generation failed!\n");
		goto out;
	}
	latency = b->read(rec, (unsigned)bytes_to_save);
	if (latency < 0) {
		r = cio_timed_fail(&t, (int)latency, "Data acquision failed!\n");
		goto out;
	}
	first_conc_off -= (latency * cur_freq + NS_PER_S / 2) / NS_PER_S;
	if (first_conc_off < 0)
		first_conc_off = 0;
	if ((r = cio_timed_end(&t)) < 0)
		goto out;

	switch (l->lines) {
	case 8:
		break;
	case 4: // two samples a byte
		first_conc_off /= 2;
		bytes_to_send /= 2;
		break;
	case 2: { // four samples a byte, sent as two a byte
		int64_t h = (bytes_to_send + 3) / 2;

		first_conc_off /= 4;
		if (bytes_to_save - h < first_conc_off)
			first_conc_off = bytes_to_save - h;
		cio_expand_2line(rec + first_conc_off, (size_t)(bytes_to_send + 3) / 4);
		bytes_to_send /= 2;
		break;
	}
	default:
		r = cio_fail(-ENOSYS, "Unsupported CIO interface!\n");
		goto out;
	}
	if (first_conc_off > bytes_to_save - bytes_to_send)
		first_conc_off = bytes_to_save - bytes_to_send;

	packed_len = (size_t)max_packed_buf;
	r = cio_compress(packet + CIO_MSG_HEADER, &packed_len, rec + first_conc_off, (size_t)bytes_to_send, level);
	if (r < 0)
		goto out;
	packet[0] = 'T';
	packet[1] = 'C';
	packet[2] = '0';
	for (int i = 0; i < l->lines; i++)
		if (l->vol_problem[i])
			packet[2] = '1';
	packet[3] = (uint8_t)(packed_len >> 8);
	packet[4] = (uint8_t)packed_len;
	l->packed = { packet, packed_len + CIO_MSG_HEADER, 0 };
	packet = nullptr;
out:
	free(packet);
	free(rec);
	return r;
}

int cio_line_command(cio_loop *l)
{
	const cio_ops *b = l->cioo;
	const uint8_t mask = (uint8_t)(1u << (l->perform_dir - 1));
	const int64_t hub = l->perform_hub, code = l->perform_cmd;
	unsigned cur_freq, si_dur;
	int64_t latency, r;
	cio_timed t;

	if ((r = vgd_read_lock(SEM_SSTATE_R, SEM_SSTATE_W)) < 0)
		return (int)r;
	cur_freq = vgd_state->read_freq;
	si_dur = vgd_state->si_dur_main;
	vgd_read_unlock(SEM_SSTATE_R, SEM_SSTATE_W);

	if ((r = b->sound_set(-1)) < 0)
		return cio_fail((int)r, "Failed to disable sound for command transmission!\n");
	if ((r = b->freq_set(cur_freq)) < 0)
		return cio_fail((int)r, "Failed to configure acquire frequency!\n");

	cio_timed_begin(&t);
	if ((latency = cio_discard(b, 1)) < 0)
		return cio_timed_fail(&t, (int)latency, "Data acquision failed!\n");
	// The hub address is the gap between the first two pulses, the code
	// the gap between the last two, each counted from the end of a pulse.
	if ((r = minicio_si_dur(b, si_dur, cur_freq, mask)) != 0)
		return cio_timed_fail(&t, (int)r, "SI generation failed!\n");
	if ((r = cio_discard(b, cio_samples(hub * CODE_STEP_NS + HUB_GAP_NS - latency, cur_freq))) < 0)
		return cio_timed_fail(&t, (int)r, "Data acquision failed!\n");
	if ((r = minicio_si_dur(b, si_dur, cur_freq, mask)) != 0)
		return cio_timed_fail(&t, (int)r, "SI generation failed!\n");
	if ((r = cio_discard(b, cio_samples((code - 1) * CODE_STEP_NS + CMD_GAP_NS - latency, cur_freq))) < 0)
		return cio_timed_fail(&t, (int)r, "Data acquision failed!\n");
	if ((r = minicio_si_dur(b, si_dur, cur_freq, mask)) != 0)
		return cio_timed_fail(&t, (int)r, "SI generation failed!\n");
	if ((r = cio_timed_end(&t)) < 0)
		return (int)r;

	if ((r = cio_sound_restore(l)) < 0)
		return (int)r;
	// The hub answers on the line before the next recording.
	if ((r = cio_discard(b, (unsigned)((cur_freq * 1046.875 + 500.0) / 1000.0))) < 0)
		return cio_fail((int)r, "Data acquision failed!\n");
	if ((r = cio_ack(l)) < 0)
		return (int)r;
	l->perform_cmd = 0;
	return 0;
}

void cio_packet_unlock(cio_loop *l)
{
	if (l->pkt_locked)
		vgd_sem_unlock(SEM_COMMAND);
	l->pkt_locked = false;
}

int cio_packet_transmit(cio_loop *l)
{
	const cio_ops *b = l->cioo;
	unsigned cur_freq, si_dur, len, dir;
	int64_t r;
	cio_timed t;

	if ((r = vgd_read_lock(SEM_SSTATE_R, SEM_SSTATE_W)) < 0)
		return (int)r;
	len = vgd_state->pkt_len;
	cur_freq = vgd_state->read_freq;
	dir = vgd_state->pkt_dir;
	si_dur = vgd_state->si_dur_main;
	vgd_read_unlock(SEM_SSTATE_R, SEM_SSTATE_W);
	if (l->block_si)
		return 0;
	if (len == 0) {
		cio_packet_unlock(l); // nothing queued after all
		return 0;
	}
	if (dir < 1 || dir > (unsigned)l->lines || len > sizeof(vgd_state->pkt_data))
		return cio_fail(-EINVAL, "Failed to prepare packet transmission!\n");

	if ((r = b->freq_set(cur_freq)) < 0)
		return cio_fail((int)r, "Failed to configure acquire frequency!\n");
	if ((r = b->sound_set(-1)) < 0)
		return cio_fail((int)r, "Failed to disable sound for packet transmission!\n");
	if ((r = b->pkt_set_ch((int)dir - 1)) < 0)
		return cio_fail((int)r, "Failed to set channel for packet transmission!\n");
	if (b->mod_four_wire && (r = b->mod_four_wire(false)) < 0)
		return cio_fail((int)r, "Failed to disable four wire mode!\n");
	if ((r = vgd_read_lock(SEM_SSTATE_R, SEM_SSTATE_W)) < 0)
		return (int)r;
	r = b->pkt_prepare(vgd_state->pkt_data, len);
	vgd_read_unlock(SEM_SSTATE_R, SEM_SSTATE_W);
	if (r < 0)
		return cio_fail((int)r, "Failed to prepare packet transmission!\n");

	cio_timed_begin(&t);
	if ((r = cio_discard(b, (cur_freq * 200 + 500) / 1000)) < 0)
		return cio_timed_fail(&t, (int)r, "Data acquision failed!\n");
	if ((r = minicio_si_dur(b, si_dur, cur_freq, (uint8_t)(1u << (dir - 1)))) != 0)
		return cio_timed_fail(&t, (int)r, "SI generation failed!\n");
	if ((r = cio_discard(b, (cur_freq * 1300 + 500) / 1000)) < 0)
		return cio_timed_fail(&t, (int)r, "Data acquision failed!\n");
	if ((r = b->pkt_send()) < 0)
		return cio_timed_fail(&t, (int)r, "Failed to transmit packet!\n");
	if ((r = cio_timed_end(&t)) < 0)
		return (int)r;

	if ((r = vgd_write_lock(SEM_SSTATE_R, SEM_SSTATE_W)) < 0)
		return (int)r;
	vgd_state->pkt_len = 0;
	vgd_write_unlock(SEM_SSTATE_R, SEM_SSTATE_W);
	cio_packet_unlock(l);

	if ((r = b->pkt_set_ch(-1)) < 0)
		return cio_fail((int)r, "Failed to unset channel for packet transmission!\n");
	if ((r = cio_sound_restore(l)) < 0)
		return (int)r;
	vgd_msleep(1000);
	return cio_ack(l);
}
