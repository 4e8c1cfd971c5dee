// The driver table: the hardware revision of /etc/device.conf selects the
// board, and the board its driver.
#include <cstdio>
#include <unistd.h>

#include "boards.h"
#include "cfg.h"
#include "paths.h"
#include "rootpath.h"

// A driver lacking one of these could not run the monitoring loop.
static bool cio_complete(const cio_ops *ops)
{
	if (!ops->si || !ops->filter_en || !ops->sound_set || !ops->freq_set || !ops->num_phys_ch || !ops->read ||
	    !ops->mod_voltage)
		return false;
	// A transmitter needs its channel and its packet.
	return !ops->pkt_send || (ops->pkt_set_ch && ops->pkt_prepare);
}

// The larger board of the compact board's family: no driver exists for it.
static const cio_ops cio_ops_orbesk_maxi = {};

static const struct {
	int revision;
	const char *board;
	const cio_ops *ops; // none: its driver is not part of this build
} cio_boards[] = {
	{ 1, "4-line serial board", &cio_ops_via },
	{ 2, "8-line USB board", &cio_ops_usb },
	{ 3, "2-line Cirrus Logic board", &cio_ops_cirrus_mini },
	{ 4, "2-line compact board", &cio_ops_orbesk_mini },
	{ 5, "large compact board", &cio_ops_orbesk_maxi },
};

const cio_ops *cio_detect(void)
{
	const char *device = kel_path(DEVICE_CONF);
	int32_t revision = 0;

	if (access(device, R_OK) != 0) {
		fprintf(stderr, "Error reading config file %s.\n", device);
		return nullptr;
	}
	cfg_read_int(device, "revision", &revision);
	for (const auto &b : cio_boards) {
		if (b.revision != revision)
			continue;
		if (!b.ops || !cio_complete(b.ops)) {
			fprintf(stderr, "No driver for the %s (revision %d)!\n", b.board, revision);
			return nullptr;
		}
		return b.ops;
	}
	fputs("Unknown device type!\n", stderr);
	return nullptr;
}

bool cio_terminal(void)
{
	// Only a file that says cio=0 makes a GPIO terminal here: without the
	// key, the board is what the revision says.
	int32_t cio = 1;

	cfg_read_int(kel_path(DEVICE_CONF), "cio", &cio);
	return cio != 0;
}
