#include "adc.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "errmsg.h"
#include "fileio.h"
#include "rootpath.h"
#include "shared_state.h"

#define ADC_DEVICE "/sys/bus/iio/devices/iio:device0"
// Millivolts per count of the converter these boards carry, for a device
// that does not say.
#define ADC_SCALE_DEFAULT 0.43956043956043955
// A converter still busy answers EAGAIN; it is asked again this often,
// ADC_RETRY_US apart, before the reading counts as failed.
#define ADC_READ_ATTEMPTS 1000
#define ADC_RETRY_US 100

static const char adc_fn_template[] = ADC_DEVICE "/in_voltage%u_raw";

static int32_t adc_offset;
static double adc_scale = ADC_SCALE_DEFAULT / 1000;
static int32_t adc_scale_int = (int32_t)(ADC_SCALE_DEFAULT * 1024);
static int adc_fds[ADC_CHANNELS] = { -1, -1, -1, -1, -1 };

int adc_init(void)
{
	const char *offset = kel_path(ADC_DEVICE "/offset");
	const char *scale_path = kel_path(ADC_DEVICE "/scale");
	double scale = ADC_SCALE_DEFAULT;
	char path[PATH_MAX];

	adc_done();
	// Both are optional attributes of an IIO device.
	if (file_exists(offset))
		file_readint(offset, &adc_offset);
	if (file_exists(scale_path) && file_readdbl(scale_path, &scale) < 0)
		scale = ADC_SCALE_DEFAULT;
	adc_scale = scale / 1000;
	adc_scale_int = (int32_t)(scale * 1024);

	for (unsigned ch = 0; ch < ADC_CHANNELS; ch++) {
		if (kel_pathf(path, sizeof(path), adc_fn_template, ch) < 0) {
			adc_done();
			return -ENAMETOOLONG;
		}
		adc_fds[ch] = open(path, O_RDONLY | O_CLOEXEC);
		if (adc_fds[ch] < 0) {
			int r = neg_errno();

			adc_done();
			return r;
		}
	}
	return 0;
}

void adc_done(void)
{
	for (int &fd : adc_fds) {
		if (fd >= 0)
			close(fd);
		fd = -1;
	}
}

int32_t adc_get(int channel)
{
	char text[16];
	char *end;
	ssize_t n;
	long v;

	if (channel < 0 || channel >= ADC_CHANNELS) {
		fprintf(stderr, "%s(): channel %d is unsupported\n", __func__, channel);
		return ADC_FAILED;
	}
	// Read afresh from the start: sysfs makes a new reading for each read
	// at offset 0, so the descriptor serves for the whole run.
	for (int attempt = 1;; attempt++) {
		n = pread(adc_fds[channel], text, sizeof(text) - 1, 0);
		if (n >= 0)
			break;
		if (errno == EINTR)
			continue;
		if (errno != EAGAIN) {
			fprintf(stderr, "%s(): pread(): %m\n", __func__);
			return ADC_FAILED;
		}
		if (attempt == ADC_READ_ATTEMPTS) {
			fprintf(stderr, "%s(): Timeout reading ADC\n", __func__);
			return ADC_FAILED;
		}
		vgd_usleep(ADC_RETRY_US);
	}
	text[n] = '\0';
	text[strcspn(text, "\n")] = '\0';

	errno = 0;
	v = strtol(text, &end, 0);
	if (errno) {
		fprintf(stderr, "%s(): strtol(\"%s\"): %m\n", __func__, text);
		return ADC_FAILED;
	}
	if (end == text) {
		fprintf(stderr, "%s(): strtol(\"%s\"): Not a number\n", __func__, text);
		return ADC_FAILED;
	}
	if (v < INT32_MIN || v > INT32_MAX) {
		fprintf(stderr, "%s(): Value %ld is out of range\n", __func__, v);
		return ADC_FAILED;
	}
	return (int32_t)v;
}

double adc_to_voltage(int32_t raw)
{
	return ((double)raw + adc_offset) * adc_scale;
}

int32_t adc_to_mv(int32_t raw)
{
	return (int32_t)(((int64_t)raw + adc_offset) * adc_scale_int / 1024);
}

static int adc_read_raw(int channel, const char *who, int32_t *raw)
{
	*raw = adc_get(channel);
	if (*raw == ADC_FAILED) {
		errno = EIO;
		return neg_errno_msg("%s(): adc_get() failed!\n", who);
	}
	return 0;
}

int adc_read_volts(int channel, const char *who, double *volts)
{
	int32_t raw;
	int r = adc_read_raw(channel, who, &raw);

	if (r == 0)
		*volts = adc_to_voltage(raw);
	return r;
}

int adc_read_mv(int channel, const char *who, int32_t *mv)
{
	int32_t raw;
	int r = adc_read_raw(channel, who, &raw);

	if (r == 0)
		*mv = adc_to_mv(raw);
	return r;
}
