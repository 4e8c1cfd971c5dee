// Control concentrators on their serial bus, for `kelvgd ccdump` and
// `kelvgd ccctl`.
#include "cconc.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <unistd.h>

#include "errmsg.h"
#include "handlers.h"
#include "rootpath.h"
#include "serial.h"
#include "shared_state.h"

#define CC_BAUD 9600
#define CC_STOP_BITS 2
#define CC_BYTE_WAIT_MS 100 // for each byte of a reply
#define CC_GAP_MS 50        // after a reply, before the next request

void cc_request(uint8_t frame[CC_REQUEST_LEN], unsigned addr, uint8_t cmd)
{
	frame[0] = (uint8_t)(addr + 8);
	frame[1] = 0x01;
	frame[2] = cmd;
	frame[3] = (uint8_t)(247 - cmd - addr);
}

bool cc_reply_valid(const uint8_t *reply, size_t len, unsigned addr, uint8_t cmd)
{
	uint8_t sum = 0;

	if (len != CC_REPLY_LEN)
		return false;
	for (size_t i = 0; i < len; i++)
		sum = (uint8_t)(sum + reply[i]);
	return sum == 0 && reply[0] == addr + 8 && reply[1] == 0x04 && reply[2] == cmd;
}

// "<status bits, bit 7 first>,<flag bit 0>,<value>,<flag bit 4>"
static void cc_print_status(const uint8_t *reply)
{
	char bits[9];

	for (int i = 0; i < 8; i++)
		bits[i] = reply[3] & (0x80 >> i) ? '1' : '0';
	bits[8] = '\0';
	printf("%s,%u,%02x,%u", bits, reply[4] & 1u, reply[5], (reply[4] >> 4) & 1u);
}

static int cc_send(int fd, const uint8_t *p, size_t len)
{
	while (len) {
		ssize_t n = write(fd, p, len);

		if (n < 0) {
			if (errno == EAGAIN || errno == EINTR)
				continue;
			return neg_errno();
		}
		p += n;
		len -= (size_t)n;
	}
	return 0;
}

// Up to a full reply, each byte within its wait; what came.
static size_t cc_receive(int fd, uint8_t reply[CC_REPLY_LEN])
{
	size_t len = 0;

	while (len < CC_REPLY_LEN) {
		int c = serial_getchr(fd, CC_BYTE_WAIT_MS);

		if (c < 0)
			break;
		reply[len++] = (uint8_t)c;
	}
	return len;
}

// One unit: request, reply, its line. A unit's silence is part of the
// answer; a bus that cannot be flushed or written is an error, and so is an
// output that cannot be written.
static int cc_query(int fd, unsigned addr, uint8_t cmd)
{
	uint8_t frame[CC_REQUEST_LEN];
	uint8_t reply[CC_REPLY_LEN];
	size_t len;
	int r;

	if ((r = serial_flush(fd)) < 0)
		return r;
	cc_request(frame, addr, cmd);
	if ((r = cc_send(fd, frame, sizeof(frame))) < 0)
		return r;
	printf("cc%u=", addr);
	len = cc_receive(fd, reply);
	if (cc_reply_valid(reply, len, addr, cmd))
		cc_print_status(reply);
	putchar('\n');
	// Lines that cannot be delivered are a failed command.
	if (fflush(stdout) != 0)
		return neg_errno();
	// A full reply may be followed by more from a unit that talks too much:
	// let it settle, the next flush drops it.
	if (len == CC_REPLY_LEN)
		vgd_msleep(CC_GAP_MS);
	return 0;
}

int cc_command(unsigned addr, uint8_t cmd)
{
	char path[PATH_MAX];
	int fd;
	int r;

	if (addr > 7 && addr != CC_ADDR_ALL)
		return -EINVAL;
	if ((r = kel_pathf(path, sizeof(path), "/dev/ttyS%u", CC_BUS_PORT)) < 0)
		return r;
	r = 0;
	fd = serial_open(path, CC_BAUD, 8, 0, 0, CC_STOP_BITS);
	if (fd == -EBUSY)
		fprintf(stderr, "%s(): %s is in use\n", __func__, path);
	if (fd < 0)
		return fd;
	for (unsigned a = 0; a < 8 && r == 0; a++)
		if (addr == CC_ADDR_ALL || addr == a)
			r = cc_query(fd, a, cmd);
	serial_close(fd);
	return r;
}

int cc_dump(void)
{
	return cc_command(CC_ADDR_ALL, 0);
}

int vgd_ccdump(cmdline_param *params)
{
	(void)params;
	return cc_dump();
}

int vgd_ccctl(cmdline_param *params)
{
	return cc_command((unsigned)param_num(params, 'a'), (uint8_t)param_num(params, 'c'));
}
