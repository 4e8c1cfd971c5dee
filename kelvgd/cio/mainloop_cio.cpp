// The CIO-mode monitoring loop: it owns the board for its whole life, keeps
// one connection to a dispatcher, answers every dispatcher command with a
// compressed recording of the lines, executes line commands and line
// packets, and between those keeps the health data of the shared state
// current: line voltages, module supply, battery, supply voltage, board
// temperature, watchdog.
//
// One thread, in passes. A pass never waits on the network; the line
// actions block it for up to a few seconds. A pass that found nothing to do
// waits a little for the dispatcher instead of spinning.
#include "mainloop_cio.h"

#include <cerrno>
#include <cstdio>
#include <poll.h>
#include <systemd/sd-daemon.h>

#include "cmdline.h"
#include "errmsg.h"
#include "loop.h"
#include "shared_state.h"
#include "snmp.h"
#include "util.h"

// How long an idle pass waits for the dispatcher. A command wakes it at
// once; so does a signal. A stop by `kelvgd stop` is seen within this.
#define CIO_IDLE_MS 20

#define CIO_DEFAULT_RATE 16384
#define CIO_DEFAULT_SI_MS 20

static bool ts_set(const struct timespec *t)
{
	return t->tv_sec || t->tv_nsec;
}

static int cio_setup(const cio_ops *b)
{
	int r;

	if (b->aux_pwr_en && (r = b->aux_pwr_en(true)) < 0)
		return cio_fail(r, "Failed to enable AUX power\n");
	if ((r = b->filter_en(false)) < 0)
		return cio_fail(r, "Failed to disable filter\n");
	if ((r = b->sound_set(-1)) < 0)
		return cio_fail(r, "Failed to disable sound\n");
	if (b->prot_reset && (r = b->prot_reset(false)) < 0)
		return cio_fail(r, "Failed to set protection reset state\n");
	if (b->mod_four_wire && (r = b->mod_four_wire(false)) < 0)
		return cio_fail(r, "Failed to set modules mode\n");
	if (b->module_reset && (r = b->module_reset(false)) < 0)
		return cio_fail(r, "Failed to set module reset state\n");
	return 0;
}

static int cio_battery_charge(void *ctx, bool on)
{
	const cio_loop *l = (const cio_loop *)ctx;
	int r = l->cioo->batt_charge(on);

	vgd_store(&vgd_state->error_coproc, r < 0);
	if (r < 0)
		return cio_fail(r, on ? "Failed to switch on charger!\n" : "Failed to switch off charger!\n");
	return 0;
}

static int cio_battery_measure(void *ctx, int32_t *millivolts)
{
	cio_loop *l = (cio_loop *)ctx;
	int r = l->cioo->batt_voltage(millivolts);

	l->ready_mask |= CIO_READY_BATTERY;
	if (r < 0) {
		vgd_store(&vgd_state->error_coproc, 1);
		return cio_fail(r, "Failed to read battery voltage!\n");
	}
	return 0;
}

static const vgd_battery_ops cio_battery = { cio_battery_charge, cio_battery_measure };

// Measures one line. A line the board lacks, or cannot measure now (this
// board not while the sound path is on a line), keeps its last value.
static int cio_measure_line(cio_loop *l, int k)
{
	int32_t volts;
	int r;

	if (l->cioo->mod_voltage((uint8_t)k, &volts) < 0)
		return 0;
	l->vol_problem[k] = volts <= 21;
	if ((r = vgd_write_lock(SEM_SSTATE_R, SEM_SSTATE_W)) < 0)
		return r;
	vgd_state->mod_vol[k] = volts;
	return vgd_write_unlock(SEM_SSTATE_R, SEM_SSTATE_W);
}

// One step of the measurement rotation: the lines' voltages, the diode
// and the module supply, one at a time. 1 when it measured something. A
// diode that cannot be read shows as -1 V; a module supply that cannot be
// read keeps its last value, as a line does.
static int cio_rotation(cio_loop *l)
{
	const cio_ops *b = l->cioo;
	double diode = CIO_DIODE_DEFAULT;
	int32_t supply = 0;
	int k, r;

	l->adc_state = (uint8_t)((l->adc_state + 1) % 32);
	if (l->adc_state & 1)
		return 0;
	k = l->adc_state / 2;
	if (k > 9)
		return 0;
	if (k < 8)
		return (r = cio_measure_line(l, k)) < 0 ? r : 1;
	if (k == 8) {
		if (b->read_diode && b->read_diode(&diode) < 0)
			diode = -1.0;
		if ((r = vgd_write_lock(SEM_SSTATE_R, SEM_SSTATE_W)) < 0)
			return r;
		vgd_state->diode = diode;
	} else {
		l->ready_mask |= CIO_READY_MOD_SUPPLY;
		if (b->mod_supply && b->mod_supply(&supply) < 0)
			return 1;
		if ((r = vgd_write_lock(SEM_SSTATE_R, SEM_SSTATE_W)) < 0)
			return r;
		vgd_state->mod_supply = supply;
	}
	vgd_write_unlock(SEM_SSTATE_R, SEM_SSTATE_W);
	return 1;
}

// Waits for the dispatcher, or a little, after a pass without work.
static void cio_idle_wait(const cio_loop *l)
{
	struct pollfd p = { l->serv_socket, POLLIN, 0 };
	bool sendable = (l->packed.buf && l->cmd_sync) || l->reply.buf;

	if (l->serv_socket < 0) {
		poll(nullptr, 0, CIO_IDLE_MS);
		return;
	}
	if (!l->connected || (sendable && !l->block_si))
		p.events |= POLLOUT;
	poll(&p, 1, CIO_IDLE_MS);
}

static int cio_housekeeping(cio_loop *l)
{
	const cio_ops *b = l->cioo;
	int did = 0;
	int r;

	if ((r = cio_rotation(l)) < 0)
		return r;
	did |= r;
	if (b->batt_voltage && b->batt_charge) {
		if ((r = vgd_battery_cycle(&l->battery, &l->now, &cio_battery, l)) < 0)
			return r;
		did |= r;
	} else
		l->ready_mask |= CIO_READY_BATTERY;
	snmp_worker(l->connected);
	if (!did)
		cio_idle_wait(l);
	return 0;
}

static int cio_supply(cio_loop *l)
{
	const cio_ops *b = l->cioo;
	double v = 0.0;
	int r;

	if (ts_elapsed_ns(&l->t_voltages, &l->now) < NSEC_PER_SEC)
		return 0;
	r = b->psu_voltage ? b->psu_voltage(&v) : 0;
	vgd_store(&vgd_state->error_coproc, r < 0);
	l->ready_mask |= CIO_READY_PSU;
	if (r < 0)
		return cio_fail(r, "Failed to read PSU voltage!\n");
	if ((r = vgd_write_lock(SEM_SSTATE_R, SEM_SSTATE_W)) < 0)
		return r;
	vgd_state->vpsu = v;
	vgd_write_unlock(SEM_SSTATE_R, SEM_SSTATE_W);
	l->t_voltages = l->now;
	return 0;
}

static int cio_temperature(cio_loop *l)
{
	const cio_ops *b = l->cioo;
	int32_t t;
	int r;

	if (!b->board_temp) {
		l->ready_mask |= CIO_READY_TEMPERATURE;
		return 0;
	}
	if (ts_elapsed_ns(&l->t_board_temp, &l->now) < 5 * NSEC_PER_SEC)
		return 0;
	if ((r = b->board_temp(&t)) < 0)
		return cio_fail(r, "Failed to read board temperature!\n");
	if ((r = vgd_write_lock(SEM_SSTATE_R, SEM_SSTATE_W)) < 0)
		return r;
	vgd_state->temperature = t;
	vgd_write_unlock(SEM_SSTATE_R, SEM_SSTATE_W);
	l->ready_mask |= CIO_READY_TEMPERATURE;
	l->t_board_temp = l->now;
	return 0;
}

// A pulse on a reset line: on when due, off again after its length. The
// results are not looked at: the next pulse comes anyway.
static void cio_pulse(int (*op)(bool), bool due, struct timespec *t_last, struct timespec *t_act,
		      const struct timespec *now, long length)
{
	if (due) {
		*t_last = *t_act = *now;
		op(true);
	}
	if (ts_set(t_act) && ts_elapsed_ns(t_act, now) >= length * NSEC_PER_SEC) {
		*t_act = {};
		op(false);
	}
}

static void cio_resets(cio_loop *l)
{
	const cio_ops *b = l->cioo;
	bool all_short = true;

	if (b->module_reset)
		cio_pulse(b->module_reset, ts_elapsed_ns(&l->prev_time, &l->now) >= 45 * NSEC_PER_SEC, &l->prev_time,
			  &l->prev_act, &l->now, 1);
	if (!b->prot_reset)
		return;
	// Every line low: the protection has tripped; a reset may bring it back.
	for (int i = 0; i < l->lines; i++)
		all_short = all_short && l->vol_problem[i];
	cio_pulse(b->prot_reset, all_short && ts_elapsed_ns(&l->pwr_time, &l->now) >= 60 * NSEC_PER_SEC, &l->pwr_time,
		  &l->pwr_act, &l->now, 5);
}

static bool cio_packet_lock_free(void)
{
	if (vgd_sem_trylock(SEM_COMMAND) < 0)
		return false;
	vgd_sem_unlock(SEM_COMMAND);
	return true;
}

// One pass: 1 to go on, 0 at a stop, or the error that ends the loop.
static int cio_pass(cio_loop *l)
{
	shared_state *s = vgd_state;
	int r;

	if (clock_gettime(CLOCK_MONOTONIC, &l->now) != 0)
		return neg_errno_automsg();
	if (!vgd_load(&s->daemon_loop))
		return 0;
	l->busy = l->completed = false;

	if ((r = vgd_write_lock(SEM_SSTATE_R, SEM_SSTATE_W)) < 0)
		return r;
	if (l->ready_mask == CIO_READY_ALL)
		s->cio_inputs_valid = 1;
	cio_conn_manage(l);
	vgd_write_unlock(SEM_SSTATE_R, SEM_SSTATE_W);

	if ((r = cio_conn_close_request(l)) < 0 || (r = vgd_watchdog_apply(&l->wdt)) < 0)
		return r;
	cio_conn_poll(l);
	cio_conn_receive(l);

	// A command waits while a line command or an acknowledgement does;
	// but a paused loop holds its line command back, and the command that
	// resumes it must get through: a newer line command then replaces it.
	if (l->cmd_recv_bytes == sizeof(l->serv_cmd) && (!l->perform_cmd || l->block_si) && !l->reply.buf) {
		l->cmd_recv_bytes = 0;
		l->busy = true;
		if ((r = cio_command(l, l->serv_cmd)) < 0)
			return r;
	}
	if (!l->packed.buf && !l->block_si && !l->perform_cmd && !l->reply.buf && cio_packet_lock_free()) {
		l->busy = true;
		if ((r = cio_acquire(l)) < 0)
			return r;
	}
	if (l->packed.buf && !l->block_si && l->cmd_sync && l->writable && cio_conn_send(l, &l->packed))
		l->cmd_sync = false;
	// A line command follows the data packet its command released. One
	// that a lost connection took back waits for the next command, which
	// waits for the line command: the line command goes first then.
	if (l->perform_cmd && !l->block_si && (!l->packed.buf || !l->cmd_sync) && !l->reply.buf) {
		l->busy = true;
		if ((r = cio_line_command(l)) < 0)
			return r;
	}
	if (l->reply.buf && !l->block_si && l->writable)
		cio_conn_send(l, &l->reply);

	if (!l->packed.buf && !l->reply.buf && l->pkt_locked && !l->block_si) {
		if ((r = cio_packet_transmit(l)) < 0)
			return r;
	} else if (!l->busy && (r = cio_housekeeping(l)) < 0)
		return r;

	if ((r = cio_supply(l)) < 0 || (r = cio_temperature(l)) < 0)
		return r;
	cio_resets(l);
	if ((r = vgd_watchdog_keep(&l->wdt, l->completed)) < 0)
		return r;
	return 1;
}

static int cio_start(cio_loop *l, int addr_interval)
{
	int r;

	l->wdt_ops = { l->cioo->wdt_get, l->cioo->wdt_reset, l->cioo->wdt_disable };
	vgd_watchdog_start(&l->wdt, &l->wdt_ops);
	if ((r = cio_setup(l->cioo)) < 0)
		return r;
	// Once now, while the sound path is surely off: a dispatcher that puts
	// it on a line at once would otherwise leave lines never measured, and
	// reported at 0 V.
	for (int k = 0; k < l->lines; k++)
		if ((r = cio_measure_line(l, k)) < 0)
			return r;
	// A dispatcher that went away cannot kill the loop: sends say
	// MSG_NOSIGNAL, and main() leaves SIGPIPE harmless for every write.
	vgd_store(&vgd_state->serv_sock_close, 0);

	if ((r = vgd_write_lock(SEM_SSTATE_R, SEM_SSTATE_W)) < 0)
		return r;
	vgd_state->mod_num = (uint8_t)l->lines;
	vgd_state->si_dur_main = CIO_DEFAULT_SI_MS;
	vgd_state->read_freq = CIO_DEFAULT_RATE;
	vgd_state->cio_inputs_valid = 0;
	vgd_state->addr_interval = addr_interval;
	vgd_state->zlib_level = -1;
	vgd_write_unlock(SEM_SSTATE_R, SEM_SSTATE_W);
	sd_notify(0, "READY=1");
	return 0;
}

int vgd_main_loop_cio(const char *serv_addr, int addr_interval)
{
	cio_loop l = {};
	int r = vgd_instance_lock();

	if (r < 0)
		return r;
	// Raised before the board is set up, which takes a while: a stop
	// asked for meanwhile must not be overwritten.
	vgd_loop_begin(&vgd_state->daemon_loop);
	l.serv_socket = -1;
	l.retry_flag = true;
	l.adc_state = 255;
	if ((r = minicio_register_server(serv_addr)) < 0)
		goto unlock;
	l.cioo = cio_detect();
	if (!l.cioo) {
		fputs("Cannot detect CIO type\n", stderr);
		r = -ENODEV;
		goto unlock;
	}
	if ((r = cio_init(l.cioo)) < 0) {
		cio_fail(r, "CIO init failed\n");
		goto unlock;
	}
	l.lines = l.cioo->num_phys_ch();
	if (l.lines != 2 && l.lines != 4 && l.lines != 8) {
		r = cio_fail(-ENOSYS, "Unsupported CIO interface!\n");
		goto done;
	}
	snmp_write_cfg(l.lines, 0);

	if ((r = cio_start(&l, addr_interval)) == 0) {
		while ((r = cio_pass(&l)) == 1)
			;
		// A lock wait cut short by the stop is the stop, not a failure.
		if (r == -EINTR && !vgd_load(&vgd_state->daemon_loop))
			r = 0;
	}
	cio_conn_end(&l);
	vgd_watchdog_stop(&l.wdt);
done:
	cio_done(l.cioo);
	// A packet the loop could not send goes with it.
	if (l.pkt_locked)
		vgd_state->pkt_len = 0;
	cio_packet_unlock(&l);
	cio_msg_free(&l.packed);
	cio_msg_free(&l.reply);
	vgd_store(&vgd_state->cio_inputs_valid, 0);
	snmp_close();
unlock:
	vgd_sem_unlock(SEM_MAINLOOP);
	return r;
}
