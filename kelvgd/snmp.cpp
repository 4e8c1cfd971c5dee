#include "snmp.h"

#include <algorithm>
#include <cstdarg>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <syslog.h>
#include <unistd.h>

#include "cfg.h"
#include "config.h"
#include "errmsg.h"
#include "fileio.h"
#include "rootpath.h"
#include "shared_state.h"
#include "util.h"

static int snmp_fd = -1;
static struct timespec snmp_last; // when the last record was due
static bool snmp_any;              // whether one was
static int32_t dev_rev;
static bool snmp_warned;            // a pipe problem was logged since the last record

int snmp_write_cfg(int num_modules, int num_tsensors)
{
	const char *device = kel_path(DEVICE_CONF);
	const char *conf = kel_path(SNMP_CONF);
	int r = cfg_read_int(device, "revision", &dev_rev);

	if (r < 0) {
		fprintf(stderr, "Error reading config file %s.\n", device);
		return r;
	}
	if (file_writes(conf, "num_modules=%d\nnum_tsensors=%d\n", num_modules, num_tsensors) < 0)
		syslog(LOG_WARNING, "Failed to write %s", conf);
	return 0;
}

void snmp_close(void)
{
	if (snmp_fd >= 0)
		close(snmp_fd);
	snmp_fd = -1;
	snmp_any = false;
}

// The dispatcher list: names separated by runs of NULs become a comma list.
static void snmp_addresses(const shared_state *s, char *out, size_t size)
{
	const char *a = s->addr_server;
	const size_t cap = sizeof(s->addr_server);
	size_t i = 0, o = 0;
	size_t end;

	while (i < cap && a[i] == '\0')
		i++;
	end = i + (size_t)std::clamp<int32_t>(s->addr_len, 0, (int32_t)cap);
	end = std::min(end, cap);
	for (; i < end && o + 1 < size; i++) {
		if (a[i] != '\0')
			out[o++] = a[i];
		else if (o && out[o - 1] != ',')
			out[o++] = ',';
	}
	while (o && out[o - 1] == ',')
		o--;
	out[o] = '\0';
}

// A sub-agent that is restarting or gone is logged once, not every second:
// the next warning waits until a record has gone through again.
static void __attribute__((format(printf, 1, 2))) snmp_warn(const char *fmt, ...)
{
	va_list ap;

	if (snmp_warned)
		return;
	snmp_warned = true;
	va_start(ap, fmt);
	vsyslog(LOG_WARNING, fmt, ap);
	va_end(ap);
}

// Writes into the pipe: EAGAIN drops that piece and goes on, any other
// failure gives up on this record. A reader that closed its end gives EPIPE
// here (kelvgd never dies of SIGPIPE).
static int __attribute__((format(printf, 1, 2))) snmp_put(const char *fmt, ...)
{
	va_list ap;
	int r;

	va_start(ap, fmt);
	r = vdprintf(snmp_fd, fmt, ap);
	va_end(ap);
	return r < 0 && errno != EAGAIN ? -1 : 0;
}

static int snmp_record(const shared_state *s, bool gpio, bool disp_connected)
{
	char addresses[sizeof(s->addr_server) + 1];

	if (snmp_put("devtype=%s\ndevrev=%d\nbatt=%d\nauxpwr=%u\nauxvol=%d\ntemp=%d\n", gpio ? "kel" : "cio", dev_rev,
		     s->vbatt, s->vpsu > 6.0 ? 1u : 0u, (int)(s->vpsu * 1000), s->temperature) < 0)
		return -1;
	if (!gpio) {
		int n = std::min<int>(s->mod_num, sizeof(s->mod_vol) / sizeof(s->mod_vol[0]));

		snmp_addresses(s, addresses, sizeof(addresses));
		if (snmp_put("disp_conn=%u\nmod_supply=%d\ndisp_addr=%s\n", disp_connected ? 1u : 0u, s->mod_supply,
			     addresses) < 0)
			return -1;
		for (int i = 0; i < n; i++) {
			unsigned mode = s->mod_override ? ((s->mod_modes >> i) & 1u) + 1 : 0;

			if (snmp_put("mod_vol%u=%d\nmod_sc%u=%u\nmod_mode%u=%u\n", i, s->mod_vol[i], i,
				     s->mod_vol[i] < 22 ? 1u : 0u, i, mode) < 0)
				return -1;
		}
		return 0;
	}
	for (int i = 0; i < std::min<int>(s->num_tsensors, 2); i++) {
		int r = s->temp_mask & (1u << i)
				? snmp_put("etemp%u=%d\netemp_lr%u=1\netemp_err%u=0\n", i, (int)s->temp_sensors[i], i, i)
				: snmp_put("etemp_err%u=-1\n", i);
		if (r < 0)
			return -1;
	}
	return 0;
}

int snmp_worker(bool disp_connected)
{
	const char *pipe = kel_path(SNMP_PIPE);
	struct timespec now;
	bool gpio, cio;
	int unread;
	int err;
	int r;

	if (clock_gettime(CLOCK_MONOTONIC, &now) != 0)
		return neg_errno_automsg();
	if (snmp_any && ts_elapsed_ns(&snmp_last, &now) < NSEC_PER_SEC)
		return 0;
	snmp_any = true;
	snmp_last = now;

	if (vgd_read_lock(SEM_SSTATE_R, SEM_SSTATE_W) < 0)
		return 0;
	gpio = vgd_state->inputs_valid;
	cio = vgd_state->cio_inputs_valid;
	vgd_read_unlock(SEM_SSTATE_R, SEM_SSTATE_W);
	if (!gpio && !cio)
		return 0;

	if (snmp_fd < 0) {
		snmp_fd = open(pipe, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
		if (snmp_fd < 0) {
			// No pipe, or nobody reading it: the sub-agent is not running.
			if (errno != ENOENT && errno != ENXIO)
				snmp_warn("Error (%m) opening %s", pipe);
			return 0;
		}
	}
	if (ioctl(snmp_fd, FIONREAD, &unread) != 0) {
		snmp_warn("Error (%m) querying unread bytes of %s", pipe);
		snmp_close();
		return 0;
	}
	if (unread > 0)
		return 0;

	if (vgd_read_lock(SEM_SSTATE_R, SEM_SSTATE_W) < 0)
		return 0;
	r = snmp_record(vgd_state, gpio, disp_connected);
	err = errno;
	vgd_read_unlock(SEM_SSTATE_R, SEM_SSTATE_W);
	if (r < 0) {
		errno = err;
		snmp_warn("Error (%m) writing %s", pipe);
		close(snmp_fd);
		snmp_fd = -1;
	} else
		snmp_warned = false;
	return 0;
}
