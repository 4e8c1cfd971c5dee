// A test driver: runs single operations of the daemon's internals against
// simulated devices, for the system tests. Prints key=value lines; the
// operation's own result as "result=<n>".
//
//   kelvgd_probe <ipc key> <operation> [arguments]
//
// It attaches to the shared state of the given key, so a test sees and sets
// the same record as the kelvgd copy of its sandbox.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <syslog.h>
#include <unistd.h>

#include "cio/cio_ops.h"
#include "cio/thermal.h"
#include "coproc.h"
#include "gpio.h"
#include "gpio_mode/fmm.h"
#include "gpio_mode/inputs.h"
#include "gpio_mode/sound.h"
#include "rootpath.h"
#include "serial.h"
#include "shared_state.h"
#include "util.h"

namespace {

int arg_int(char **argv, int i, int argc)
{
	return i < argc ? (int)strtol(argv[i], nullptr, 0) : 0;
}

void print_array(const char *name, const int32_t *v, int n)
{
	for (int i = 0; i < n; i++)
		printf("%s%d=%d\n", name, i, v[i]);
}

// Opens GPIO and the coprocessor as the daemon does, then reads everything.
int op_update(const char *tty)
{
	double diode, psu, mic;
	int32_t temp, rmux, batt, cur;
	int32_t discrete[22] = {}, buttons[8] = {};
	vgd_flag alarm[22] = {}, active[8] = {};
	int r;

	if ((r = inputs_init(tty)) < 0)
		return r;
	printf("devtype=%d\ncounts=%d,%d,%d,%d\n", vgd_state->devtype, num_discrete(), num_buttons(), num_relays(),
	       num_tsensors());
	r = inputs_update(&diode, &temp, &rmux, discrete, alarm, buttons, active);
	if (r == 0) {
		printf("diode=%.16g\ntemperature=%d\nrmux=%d\n", diode, temp, rmux);
		print_array("discrete", discrete, num_discrete());
		for (int i = 0; i < num_discrete(); i++)
			printf("alarm%d=%d\n", i, alarm[i]);
		print_array("button", buttons, num_buttons());
		for (int i = 0; i < num_buttons(); i++)
			printf("active%d=%d\n", i, active[i]);
	}
	if (r == 0 && (r = update_batt_voltage(&batt)) == 0)
		printf("batt=%d\n", batt);
	if (r == 0 && (r = update_psu_voltage(&psu)) == 0)
		printf("psu=%.6f\n", psu);
	if (r == 0 && (r = update_micspk_voltage(diode, &cur, &mic)) == 0)
		printf("mic=%.6f\nspk=%d\n", mic, cur);
	inputs_done();
	return r;
}

// One coprocessor operation on a freshly reset coprocessor.
int op_coproc(const char *tty, const char *what, int argc, char **argv, int first)
{
	int fd = coproc_init(tty, INPUTS_BAUD);
	int r;

	if (fd < 0)
		return fd;
	if (!strcmp(what, "info")) {
		int devtype, minor;
		r = coproc_info(fd, &devtype, &minor);
		if (r == 0)
			printf("devtype=%d\nminor=%d\n", devtype, minor);
	} else if (!strcmp(what, "adc"))
		r = coproc_adc(fd, (unsigned)arg_int(argv, first, argc));
	else if (!strcmp(what, "input"))
		r = coproc_input(fd, (unsigned)arg_int(argv, first, argc));
	else if (!strcmp(what, "calls")) {
		uint32_t pressed, latched;
		r = coproc_calls(fd, &pressed, &latched);
		if (r == 0)
			printf("pressed=%u\nlatched=%u\n", pressed, latched);
	} else if (!strcmp(what, "charge"))
		r = coproc_charge(fd, arg_int(argv, first, argc));
	else if (!strcmp(what, "wdt"))
		r = coproc_wdt(fd, first < argc ? arg_int(argv, first, argc) : -1);
	else if (!strcmp(what, "tcon"))
		r = coproc_temp_convert(fd);
	else if (!strcmp(what, "trd")) {
		double v[2];
		int n = first < argc ? arg_int(argv, first, argc) : 2;
		r = coproc_temp_read(fd, v, &n);
		for (int i = 0; r == 0 && i < n; i++)
			printf("temp%d=%g\n", i, v[i]);
	} else if (!strcmp(what, "temp")) {
		int t;
		r = coproc_board_temp(fd, &t);
		if (r == 0)
			printf("temp=%d\n", t);
	} else if (!strcmp(what, "cmd"))
		r = coproc_cmd(fd, "%s", first < argc ? argv[first] : "");
	else if (!strcmp(what, "pkt")) {
		uint8_t bytes[200];
		size_t n = 0;
		for (int i = first; i < argc && n < sizeof(bytes); i++)
			bytes[n++] = (uint8_t)strtoul(argv[i], nullptr, 16);
		r = coproc_pkt_send(fd, bytes, n);
	} else if (!strcmp(what, "read_ld")) {
		static uint8_t buf[70000];
		unsigned samples = (unsigned)arg_int(argv, first, argc);
		r = coproc_read_ld(fd, samples <= 4 * sizeof(buf) - 3 ? buf : nullptr, samples);
		if (r >= 0) {
			printf("first=%u\n", buf[0]);
			r = 0;
		}
	} else
		r = -EINVAL;
	coproc_done(fd);
	return r;
}

// One operation of the CIO board driver of the device configuration,
// between its init and its done.
// Descriptors this process holds into the sandbox's IIO converter.
int iio_fds()
{
	const char *iio = kel_path("/sys/bus/iio");
	char link[64], target[4096];
	int n = 0;

	for (int fd = 0; fd < 1024; fd++) {
		snprintf(link, sizeof(link), "/proc/self/fd/%d", fd);
		ssize_t len = readlink(link, target, sizeof(target) - 1);
		if (len > 0) {
			target[len] = '\0';
			n += !strncmp(target, iio, strlen(iio));
		}
	}
	return n;
}

// One operation of a board's driver; what it reads is printed, or in its
// place the error. -ENOSYS for an entry the board lacks.
int64_t cio_op(const cio_ops *b, const char *op, const char *arg)
{
	int v = (int)strtol(arg, nullptr, 0);
	int64_t r = -ENOSYS;

#define HAS(entry) (b->entry != nullptr)
	if (!strcmp(op, "sound"))
		r = b->sound_set(v);
	else if (!strcmp(op, "filter"))
		r = b->filter_en(v);
	else if (!strcmp(op, "si"))
		r = b->si((uint8_t)v);
	else if (!strcmp(op, "freq"))
		r = b->freq_set((unsigned)v);
	else if (!strcmp(op, "fourwire") && HAS(mod_four_wire))
		r = b->mod_four_wire(v);
	else if (!strcmp(op, "delay") && HAS(delay))
		r = b->delay((unsigned)v);
	else if (!strcmp(op, "aux") && HAS(aux_pwr_en))
		r = b->aux_pwr_en(v);
	else if (!strcmp(op, "prot") && HAS(prot_reset))
		r = b->prot_reset(v);
	else if (!strcmp(op, "modreset") && HAS(module_reset))
		r = b->module_reset(v);
	else if (!strcmp(op, "charge") && HAS(batt_charge))
		r = b->batt_charge(v);
	else if (!strcmp(op, "pktch") && HAS(pkt_set_ch))
		r = b->pkt_set_ch(v);
	else if (!strcmp(op, "wdtreset") && HAS(wdt_reset))
		r = b->wdt_reset();
	else if (!strcmp(op, "wdtoff") && HAS(wdt_disable))
		r = b->wdt_disable();
	else if (!strcmp(op, "volts")) {
		int32_t volts;
		r = b->mod_voltage((uint8_t)v, &volts);
		printf("volts%d=%d\n", v, r < 0 ? (int)r : volts);
	} else if (!strcmp(op, "read")) {
		static uint8_t buf[1 << 16];
		int lines = b->num_phys_ch();
		unsigned bytes = lines == 8 ? (unsigned)v : lines == 4 ? (unsigned)v / 2 + v % 2 : (unsigned)v / 4 + (v % 4 != 0);
		r = b->read(bytes <= sizeof(buf) ? buf : nullptr, (unsigned)v);
		if (r >= 0)
			printf("latency=%lld\n", (long long)r);
		if (r >= 0 && bytes && bytes <= sizeof(buf))
			printf("first=%u\nlast=%u\n", buf[0], buf[bytes - 1]);
	} else if (!strcmp(op, "pkt") && HAS(pkt_send)) {
		uint8_t bytes[300];
		unsigned n = 0;
		for (const char *h = arg; h[0] && h[1] && n < sizeof(bytes); h += 2)
			bytes[n++] = (uint8_t)(fromhex(h[0]) << 4 | fromhex(h[1]));
		if ((r = b->pkt_prepare(bytes, n)) == 0)
			r = b->pkt_send();
	} else if (!strcmp(op, "init"))
		r = cio_init(b);
	else if (!strcmp(op, "diode") && HAS(read_diode)) {
		double d;
		if ((r = b->read_diode(&d)) < 0)
			printf("diode=%d\n", (int)r);
		else
			printf("diode=%.6f\n", d);
	} else if (!strcmp(op, "psu") && HAS(psu_voltage)) {
		double d;
		if ((r = b->psu_voltage(&d)) < 0)
			printf("psu=%d\n", (int)r);
		else
			printf("psu=%.3f\n", d);
	} else if (!strcmp(op, "batt") && HAS(batt_voltage)) {
		int32_t mv;
		r = b->batt_voltage(&mv);
		printf("batt=%d\n", r < 0 ? (int)r : mv);
	} else if (!strcmp(op, "modsupply") && HAS(mod_supply)) {
		int32_t volts;
		r = b->mod_supply(&volts);
		printf("modsupply=%d\n", r < 0 ? (int)r : volts);
	} else if (!strcmp(op, "wdt") && HAS(wdt_get))
		printf("wdt=%d\n", (int)(r = b->wdt_get()));
	else if (!strcmp(op, "boardtemp")) {
		int32_t t;
		r = b->board_temp(&t);
		printf("boardtemp=%d\n", r < 0 ? (int)r : t);
	}
#undef HAS
	return r;
}

// The board of the sandbox: initialised, then the operations in turn (e.g.
// "sound 2 filter 1 read 5"; the first failure stops), then finished. Says
// whether it can send packets, and what of GPIO and the converter it left.
int op_cio(const char *what, int argc, char **argv, int first)
{
	const cio_ops *b = cio_detect();
	int64_t r;

	if (!b)
		return -ENODEV;
	if (!strcmp(what, "temp")) {
		int32_t t;
		if ((r = cio_max_thermal_zone(&t)) == 0)
			printf("temp=%d\n", t);
		return (int)r;
	}
	if ((r = cio_init(b)) == 0) {
		printf("pkt=%d\n", cio_sends_packets(b));
		for (int i = first - 1; r >= 0 && i + 1 < argc; i += 2)
			r = cio_op(b, argv[i], argv[i + 1]);
		cio_done(b);
	}
	printf("gpiousr=%d\niio_fds=%d\n", vgd_state->gpiousr, iio_fds());
	return r < 0 ? (int)r : 0;
}

} // namespace

int main(int argc, char **argv)
{
	int r;

	if (argc < 3) {
		fputs("usage: kelvgd_probe <ipc key> <operation> [arguments]\n", stderr);
		return 2;
	}
	setvbuf(stdout, nullptr, _IOLBF, 0);
	openlog("kelvgd_probe", LOG_PID, LOG_DAEMON);
	vgd_ipc_key = (key_t)strtol(argv[1], nullptr, 0);
	if (vgd_state_open() < 0 || vgd_sem_open() < 0)
		return 2;

	std::string op = argv[2];
	// The bell process takes GPIO itself, as it does under the daemon.
	bool with_gpio = op != "bell" && op != "hangup" && op != "cio";
	if (with_gpio && (r = gpio_init()) < 0) {
		printf("result=%d\n", r);
		return 0;
	}
	if (op == "update")
		r = op_update(argc > 3 ? argv[3] : "");
	else if (op == "cio")
		r = op_cio(argc > 3 ? argv[3] : "", argc, argv, 4);
	else if (op == "coproc")
		r = argc > 4 ? op_coproc(argv[3], argv[4], argc, argv, 5) : -EINVAL;
	else if (op == "ewdt-reset") {
		if ((r = inputs_init(argc > 3 ? argv[3] : "")) == 0) {
			r = ewdt_reset();
			inputs_done();
		}
	} else if (op == "bell")
		r = play_bell(arg_int(argv, 3, argc));
	else if (op == "fmm-activate") {
		fmm_activate();
		r = 0;
	} else if (op == "fmm-deactivate") {
		fmm_deactivate();
		r = 0;
	} else if (op == "hangup")
		r = fmm_hangup_cmd();
	else if (op == "set-ch")
		r = sound_set_ch(arg_int(argv, 3, argc));
	else
		r = -EINVAL;
	if (with_gpio)
		gpio_done();
	printf("result=%d\n", r);
	vgd_state_close();
	return 0;
}
