// The GPIO-mode monitoring loop: about two cycles a second, it reads every
// input through the coprocessor, merges the readings into the shared state,
// rings the bell on new calls, polls fireman's mode, reports changes to
// the push server, runs the battery cycle and feeds the external watchdog.
#include "mainloop.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <syslog.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include "battery.h"
#include "cmdline.h"
#include "errmsg.h"
#include "fmm.h"
#include "inputs.h"
#include "report.h"
#include "shared_state.h"
#include "snmp.h"
#include "sound.h"
#include "spktest.h"
#include "util.h"
#include "watchdog.h"

// What the loop carries from cycle to cycle.
struct loop_state {
	struct timespec t_inputs, t_voltages, t_micspk, t_conn, t_temp, t_cur;
	bool notify_server; // the report must go to the push server
	vgd_battery battery;
	uint8_t dallas_mask; // sensors whose conversion was started
	int sleep_duration;  // ms, 0 to 1000
	int sk;              // push connection, -1 when none
	vgd_watchdog wdt;
	bool dumped;         // taken from the shared request; then: feed the watchdog
	fmm_poll_state fmm;
	double diode;
	int32_t temperature, rmux;
	int32_t discrete[22], buttoncur[8];
	vgd_flag alarm[22], buttonact[8];
};

// Every coprocessor call records whether it failed; a failure ends the loop.
static int coproc_checked(int r)
{
	vgd_store(&vgd_state->error_coproc, r < 0);
	if (r < 0) {
		errno = -r;
		neg_errno_automsg();
	}
	return r;
}

static void push_close(loop_state *ls)
{
	if (ls->sk < 0)
		return;
	shutdown(ls->sk, SHUT_RDWR);
	close(ls->sk);
	ls->sk = -1;
}

// Merges one reading into the shared state, and rings the bell on new calls.
static void loop_merge_inputs(loop_state *ls)
{
	shared_state *s = vgd_state;
	const int sound_ch = vgd_load(&s->sound_ch);
	const bool fmm = vgd_load(&s->fmm_active);
	const int n_discrete = num_discrete(), n_buttons = num_buttons();

	s->diode = ls->diode;
	s->temperature = ls->temperature;
	s->rmux = ls->rmux;
	for (int i = 0; i < n_discrete; i++) {
		if (inputs_closed(s->discrete[i]) != inputs_closed(ls->discrete[i]) || (ls->alarm[i] && !s->alarm[i]))
			ls->notify_server = true;
		s->discrete[i] = ls->discrete[i];
		s->alarm[i] = s->alarm[i] || ls->alarm[i];
	}
	for (int i = 0; i < n_buttons; i++) {
		const bool maintenance = i + 1 == sound_ch; // its channel is in use
		const bool active = ls->buttonact[i] && !maintenance;
		const bool rise = active && !s->buttonact[i];
		const bool new_press = !inputs_closed(s->buttoncur[i]) && inputs_closed(ls->buttoncur[i]);

		s->buttoncur[i] = ls->buttoncur[i];
		s->buttonact[i] = s->buttonact[i] || active;
		if (rise)
			ls->notify_server = true;
		if (!maintenance && !fmm && (rise || (vgd_load(&s->multi_notify) && new_press)))
			play_bell(i);
	}
}

// Cycle rate in cycles per 1000 s; the sleep adapts by 1 ms a cycle so that
// the loop runs twice a second.
static void loop_rate(loop_state *ls)
{
	const int64_t ns = ts_elapsed_ns(&ls->t_inputs, &ls->t_cur);
	uint32_t urate;

	ls->t_inputs = ls->t_cur;
	urate = ns > 0 ? (uint32_t)std::min<int64_t>(1000 * NSEC_PER_SEC / ns, UINT32_MAX) : UINT32_MAX;
	vgd_state->urate = urate;
	if (urate > 2000 && ls->sleep_duration <= 999)
		ls->sleep_duration++;
	else if (urate < 2000 && ls->sleep_duration > 0)
		ls->sleep_duration--;
}

static int gpio_battery_charge(void *ctx, bool on)
{
	(void)ctx;
	return coproc_checked(battery_charge(on));
}

static int gpio_battery_measure(void *ctx, int32_t *millivolts)
{
	(void)ctx;
	return coproc_checked(update_batt_voltage(millivolts));
}

static const vgd_battery_ops gpio_battery = { gpio_battery_charge, gpio_battery_measure };

static int loop_psu(loop_state *ls)
{
	double v;
	int r;

	if (ts_elapsed_ns(&ls->t_voltages, &ls->t_cur) < NSEC_PER_SEC)
		return 0;
	if ((r = coproc_checked(update_psu_voltage(&v))) < 0)
		return r;
	if ((r = vgd_write_lock(SEM_SSTATE_R, SEM_SSTATE_W)) < 0)
		return r;
	if ((vgd_state->vpsu > 6.0) != (v > 6.0))
		ls->notify_server = true;
	vgd_state->vpsu = v;
	vgd_write_unlock(SEM_SSTATE_R, SEM_SSTATE_W);
	ls->t_voltages = ls->t_cur;
	return 0;
}

static int loop_temperatures(loop_state *ls)
{
	double values[2];
	int n = 2;
	int r;

	if (num_tsensors() == 0 || ts_elapsed_ns(&ls->t_temp, &ls->t_cur) < NSEC_PER_SEC)
		return 0;
	if (ls->dallas_mask) {
		if ((r = coproc_checked(temp_read(values, &n))) < 0)
			return r;
		if ((r = vgd_write_lock(SEM_SSTATE_R, SEM_SSTATE_W)) < 0)
			return r;
		vgd_state->temp_mask = 0;
		for (int i = 0; i < n; i++) {
			vgd_state->temp_sensors[i] = values[i];
			// A reading below -99 °C is a sensor fault.
			if ((ls->dallas_mask & (1u << i)) && (int)values[i] >= -99)
				vgd_state->temp_mask |= (uint8_t)(1u << i);
		}
		vgd_write_unlock(SEM_SSTATE_R, SEM_SSTATE_W);
	}
	if ((r = coproc_checked(temp_convert())) < 0)
		return r;
	ls->dallas_mask = (uint8_t)r;
	ls->t_temp = ls->t_cur;
	return 0;
}

// The microphone line of the external channel, tracked between its extremes.
static int loop_microphone(loop_state *ls)
{
	shared_state *s = vgd_state;
	int32_t cur;
	double mic;
	int n;
	int r;

	if (vgd_load(&s->sound_ch) && ts_elapsed_ns(&ls->t_micspk, &ls->t_cur) >= 2 * NSEC_PER_SEC) {
		if ((r = coproc_checked(update_micspk_voltage(ls->diode, &cur, &mic))) < 0)
			return r;
		if ((r = vgd_write_lock(SEM_SSTATE_R, SEM_SSTATE_W)) < 0)
			return r;
		s->cur_spk_min = std::min(s->cur_spk_min, cur);
		s->cur_spk_max = std::max(s->cur_spk_max, cur);
		s->vol_mic_min = std::min(s->vol_mic_min, mic);
		s->vol_mic_max = std::max(s->vol_mic_max, mic);
		vgd_write_unlock(SEM_SSTATE_R, SEM_SSTATE_W);
		ls->t_micspk = ls->t_cur;
	}
	// The speaker test asks for one measurement of a channel.
	n = vgd_xchg(&s->mic_request, 0);
	if (n) {
		if ((r = coproc_checked(update_micspk_voltage(ls->diode, &cur, &mic))) < 0)
			return r;
		if ((r = vgd_write_lock(SEM_SSTATE_R, SEM_SSTATE_W)) < 0)
			return r;
		s->stest_res[(n - 1) & 7].vol_mic = mic;
		vgd_write_unlock(SEM_SSTATE_R, SEM_SSTATE_W);
	}
	return 0;
}

// Starts a connection to the push server; its outcome shows when sending.
static int loop_connect(loop_state *ls)
{
	struct sockaddr_in addr;
	int r;

	if (ls->sk >= 0 || ts_elapsed_ns(&ls->t_conn, &ls->t_cur) < NSEC_PER_SEC || !vgd_load(&vgd_state->num_serv))
		return 0;
	ls->sk = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
	if (ls->sk < 0)
		return neg_errno_automsg();
	if (socket_keepalive_enable(ls->sk) < 0)
		syslog(LOG_WARNING, "Failed to enable TCP keepalive!");
	if (fcntl(ls->sk, F_SETFL, O_NONBLOCK) != 0) {
		r = neg_errno_automsg();
		push_close(ls);
		return r;
	}
	if ((r = vgd_read_lock(SEM_SSTATE_R, SEM_SSTATE_W)) < 0)
		return r;
	addr = vgd_state->serv_addr;
	vgd_read_unlock(SEM_SSTATE_R, SEM_SSTATE_W);
	connect(ls->sk, (struct sockaddr *)&addr, sizeof(addr));
	return 0;
}

static int push_send_all(int sk, const uint8_t *msg, size_t len)
{
	while (len > 0) {
		ssize_t n = send(sk, msg, len, MSG_NOSIGNAL);

		if (n < 0 && errno == EINTR)
			continue;
		// A server that stops reading fills the buffer: that is a failure
		// too, never a wait.
		if (n <= 0)
			return n == 0 ? -EPIPE : neg_errno();
		msg += n;
		len -= (size_t)n;
	}
	return 0;
}

// Sends the report when one is due and the connection is up.
static int loop_send(loop_state *ls)
{
	uint8_t msg[PUSH_MSG_MAX];
	struct pollfd p = { ls->sk, POLLOUT | POLLRDHUP, 0 };
	int err = 0;
	socklen_t len = sizeof(err);
	int n;
	int r;

	if (ls->sk < 0)
		return 0;
	if (poll(&p, 1, 0) < 0)
		return neg_errno_automsg();
	if (getsockopt(ls->sk, SOL_SOCKET, SO_ERROR, &err, &len) != 0)
		err = errno;
	// Nothing is ever read, but a server that closed its side would drop
	// whatever is sent next: the report waits for the next connection.
	if (!err && (p.revents & (POLLRDHUP | POLLHUP)))
		err = ECONNRESET;
	if (err) {
		errno = err;
		neg_errno_automsg();
		push_close(ls);
		ls->t_conn = ls->t_cur;
		return 0;
	}
	if (!(p.revents & POLLOUT) || !ls->notify_server)
		return 0;

	n = vgd_format_state((char *)msg + 3, sizeof(msg) - 3);
	if (n < 0)
		return n;
	msg[0] = PUSH_MSG_REPORT;
	msg[1] = (uint8_t)n;
	msg[2] = (uint8_t)(n >> 8);
	r = push_send_all(ls->sk, msg, (size_t)n + 3);
	if (r < 0) {
		// The report stays due for the next connection.
		errno = -r;
		neg_errno_automsg();
		push_close(ls);
		ls->t_conn = ls->t_cur;
		return 0;
	}
	ls->dumped = true;
	ls->notify_server = false;
	return 0;
}

static const vgd_watchdog_ops gpio_watchdog = { ewdt_get, ewdt_reset, ewdt_disable };

// One cycle; 1 to go on, 0 at an orderly stop, or the error.
static int loop_cycle(loop_state *ls)
{
	shared_state *s = vgd_state;
	int r;

	if (!vgd_load(&s->daemon_loop)) {
		push_close(ls);
		return 0;
	}
	if (clock_gettime(CLOCK_MONOTONIC, &ls->t_cur) != 0)
		return neg_errno_automsg();
	ls->dumped = vgd_xchg(&s->dumped, 0);

	if ((r = vgd_watchdog_apply(&ls->wdt)) < 0)
		return r;

	r = coproc_checked(inputs_update(&ls->diode, &ls->temperature, &ls->rmux, ls->discrete, ls->alarm,
					 ls->buttoncur, ls->buttonact));
	if (r < 0)
		return r;
	if ((r = vgd_write_lock(SEM_SSTATE_R, SEM_SSTATE_W)) < 0)
		return r;
	loop_merge_inputs(ls);
	vgd_write_unlock(SEM_SSTATE_R, SEM_SSTATE_W);

	if (vgd_load(&s->fmm_enabled) && !vgd_load(&s->sound_ch))
		fmm_poll(&ls->fmm);
	else
		fmm_poll_forget(&ls->fmm);
	loop_rate(ls);
	if ((r = vgd_battery_cycle(&ls->battery, &ls->t_cur, &gpio_battery, nullptr)) < 0 || (r = loop_psu(ls)) < 0 ||
	    (r = loop_temperatures(ls)) < 0 || (r = loop_microphone(ls)) < 0)
		return r;

	if (ls->battery.measured && !vgd_xchg(&s->inputs_valid, 1))
		sd_notify(0, "READY=1");
	if (vgd_xchg(&s->serv_upd, 0)) {
		push_close(ls);
		ls->notify_server = true;
	}
	if ((r = loop_connect(ls)) < 0)
		return r;
	if (vgd_load(&s->stest_mask))
		spk_test();
	if ((r = loop_send(ls)) < 0 || (r = vgd_watchdog_keep(&ls->wdt, ls->dumped)) < 0)
		return r;
	snmp_worker(ls->sk >= 0);
	vgd_msleep((unsigned)ls->sleep_duration);
	return 1;
}

int vgd_main_loop(void)
{
	loop_state ls = {};
	int r = vgd_instance_lock();

	if (r < 0)
		return r;
	snmp_write_cfg(0, num_tsensors());
	vgd_store(&vgd_state->inputs_valid, 0);
	vgd_loop_begin(&vgd_state->daemon_loop);

	ls.notify_server = true;
	ls.sk = -1;
	fmm_poll_init(&ls.fmm);
	vgd_watchdog_start(&ls.wdt, &gpio_watchdog);

	while ((r = loop_cycle(&ls)) == 1)
		;
	// A lock wait cut short by the stop is the stop, not a failure.
	if (r == -EINTR && !vgd_load(&vgd_state->daemon_loop))
		r = 0;

	push_close(&ls);
	fmm_poll_done(&ls.fmm);
	snmp_close();
	vgd_store(&vgd_state->inputs_valid, 0);
	vgd_watchdog_stop(&ls.wdt);
	vgd_sem_unlock(SEM_MAINLOOP);
	return r;
}
