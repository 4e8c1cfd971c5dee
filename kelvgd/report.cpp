#include "report.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdarg>
#include <cstdio>

#include "crc8.h"
#include "gpio_mode/inputs.h"
#include "handlers.h"
#include "shared_state.h"

struct report {
	char *buf;
	size_t size;
	size_t len;
	int err;
};

static void __attribute__((format(printf, 2, 3))) report_add(report *r, const char *fmt, ...)
{
	va_list ap;
	int n;

	if (r->err)
		return;
	va_start(ap, fmt);
	n = vsnprintf(r->buf + r->len, r->size - r->len, fmt, ap);
	va_end(ap);
	if (n < 0)
		r->err = -EBADMSG;
	else if ((size_t)n >= r->size - r->len)
		r->err = -EMSGSIZE;
	else
		r->len += (size_t)n;
}

// The diode line carries two check digits: CRC-8 (initial 0xFF) over the
// formatted value from its third character on, then over "3X", modulo 100.
static void report_diode(report *r, const shared_state *s)
{
	char text[16];
	uint8_t crc = 0xFF;

	snprintf(text, sizeof(text), "%f", s->diode);
	crc8_str(text + 2, &crc);
	crc8_str("3X", &crc);
	report_add(r, "diode=%s%02u\n", text, crc % 100u);
}

static void report_gpio(report *r, const shared_state *s)
{
	char ip[INET_ADDRSTRLEN] = "";
	int n;

	report_add(r, "power12v=%f\n", s->vpsu);
	report_add(r, "rmux=%d\n", s->rmux);
	n = num_discrete();
	for (int i = 0; i < n; i++)
		report_add(r, "discrete%d=%d,%d\n", i, s->discrete[i], s->alarm[i] != 0);
	n = num_buttons();
	for (int i = 0; i < n; i++)
		report_add(r, "call_button%d=%d,%d\n", i, s->buttoncur[i], s->buttonact[i] != 0);
	report_add(r, "sound_ch=%d\n", (int)s->sound_ch - 1);
	report_add(r, "mic_v_min=%g\n", s->vol_mic_min);
	report_add(r, "mic_v_max=%g\n", s->vol_mic_max);
	report_add(r, "spk_cur_min=0\nspk_cur_max=0\n");
	n = num_relays();
	for (int i = 0; i < n; i++)
		report_add(r, "relay%d=%u\n", i + 1, (s->relays >> i) & 1u);
	report_add(r, "urate=%f\n", s->urate / 1000.0);
	if (s->num_serv)
		inet_ntop(AF_INET, &s->serv_addr.sin_addr, ip, sizeof(ip));
	report_add(r, "push_ip=%s\n", ip);
	for (int i = 0; i < 2; i++)
		if (s->temp_mask & (1u << i))
			report_add(r, "ext_temp%d=%f\next_temp%d_time=1\n", i + 1, s->temp_sensors[i], i + 1);
	report_add(r, "fmm=%d\n", s->fmm_active != 0);
}

static void report_cio(report *r, const shared_state *s)
{
	int n = std::min<int>(s->mod_num, sizeof(s->mod_vol) / sizeof(s->mod_vol[0]));

	if (!s->cio_inputs_valid) {
		r->err = -EAGAIN;
		return;
	}
	for (int i = 0; i < n; i++)
		report_add(r, "mod_vol%d=%u\n", i + 1, (unsigned)s->mod_vol[i]);
	report_add(r, "mod_supply=%u\n", (unsigned)s->mod_supply);
}

int vgd_format_state(char *buf, size_t size)
{
	const shared_state *s = vgd_state;
	bool gpio = vgd_load(&vgd_state->inputs_valid);
	report r = { buf, size, 0, 0 };
	int res;

	if (size)
		buf[0] = '\0';
	res = vgd_read_lock(SEM_SSTATE_R, SEM_SSTATE_W);
	if (res < 0)
		return res;
	if (!gpio && !s->cio_inputs_valid)
		r.err = -EAGAIN;

	report_diode(&r, s);
	report_add(&r, "batt=%f\n", s->vbatt / 1000.0);
	report_add(&r, "auxpwr=%u\n", s->vpsu > 6.0 ? 1u : 0u);
	report_add(&r, "auxvol=%f\n", s->vpsu);
	if (s->temperature >= -273)
		report_add(&r, "temp=%d\n", s->temperature);
	if (gpio)
		report_gpio(&r, s);
	else
		report_cio(&r, s);

	res = vgd_read_unlock(SEM_SSTATE_R, SEM_SSTATE_W);
	if (r.err || res < 0) {
		if (size)
			buf[0] = '\0';
		return r.err ? r.err : res;
	}
	return (int)r.len;
}

int vgd_dump(cmdline_param *params)
{
	char buf[4096];
	int running = vgd_expect_loop();
	int n;

	(void)params;
	n = vgd_format_state(buf, sizeof(buf));
	if (n == -EAGAIN && running > 0)
		fputs("no data yet: the monitoring loop has not completed a cycle\n", stderr);
	if (n < 0)
		return n;
	if (fwrite(buf, 1, (size_t)n, stdout) != (size_t)n || fflush(stdout) != 0)
		return -EIO;
	// A report that reached its reader feeds the external watchdog.
	vgd_store(&vgd_state->dumped, 1);
	return 0;
}
