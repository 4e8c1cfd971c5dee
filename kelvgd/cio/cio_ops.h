// The operations of a control-I/O (CIO) board, and the choice of the
// board's driver.
//
// A CIO terminal reaches up to eight subscriber lines (directions) of the
// dispatching network through its board: a sound path, signal injection
// (SI) into the lines, sampling of the lines' states, line voltages,
// and on some boards a line packet transmitter, a battery charger and a
// watchdog. The monitoring loop and the maintenance commands never touch
// a board directly: they call its driver through one cio_ops record.
//
// Lines are numbered from 0 in these calls (from 1 in the dispatcher
// protocol); a line mask has bit i for line i. Every operation returns 0
// (or the count it names) or a negated errno value; what it measures goes
// through its out-parameter, which a failure leaves untouched. An entry the
// board lacks is null; the loop calls the entries marked "required" without
// checking. The drivers' records are constant: what an initialised board
// can do beyond its entries, a query says.
#pragma once

#include <cstdint>

struct cio_ops {
	// Opens and prepares the board; a second init before done is -EBUSY.
	int (*init)(void);
	// Releases what init took; safe after a failed init.
	int (*done)(void);
	// SI on for the lines of the mask, off for the others. Required.
	int (*si)(uint8_t mask);
	// Waits on the board's own clock. Without it, waits are made by
	// reading and discarding samples.
	int (*delay)(unsigned ms);
	int (*aux_pwr_en)(bool enable);
	// The sound filter. Required.
	int (*filter_en)(bool enable);
	// Connects the terminal's sound path to a line; -1 disconnects. Required.
	int (*sound_set)(int line);
	// Asserts or releases the reset of the lines' short-circuit protection.
	int (*prot_reset)(bool reset);
	// Four-wire (true) or two-wire operation of the line modules.
	int (*mod_four_wire)(bool enable);
	int (*module_reset)(bool reset);
	// The acquisition rate in samples per second; a rate the board cannot
	// make is -EINVAL or -ERANGE. Required.
	int (*freq_set)(unsigned rate);
	// 2, 4 or 8. Required.
	int (*num_phys_ch)(void);
	// Acquires count samples at the current rate into buf: one sample a
	// byte on 8 lines (bit i = line i), two a byte on 4, four a byte on 2.
	// Without buf they are discarded, which waits count / rate seconds.
	// The nanoseconds from the call until the board began to deliver (0
	// where it does not measure it), or the error. Required.
	int64_t (*read)(uint8_t *buf, unsigned count);
	// Routes the packet transmitter to a line, -1 releases it. Present
	// with pkt_send.
	int (*pkt_set_ch)(int line);
	// Copies a packet into the driver, dropping any it still holds.
	// Present with pkt_send.
	int (*pkt_prepare)(const uint8_t *bytes, unsigned count);
	// Transmits the prepared packet on the routed line, then drops it.
	int (*pkt_send)(void);
	// Whether the initialised board can send packets (its firmware may
	// not); without this entry, whenever pkt_send is there.
	bool (*pkt_capable)(void);
	// The reference diode's forward voltage.
	int (*read_diode)(double *volts);
	// Whole volts on a line, never negative; -EINVAL for a line the board
	// lacks. Required.
	int (*mod_voltage)(uint8_t line, int32_t *volts);
	int (*batt_voltage)(int32_t *millivolts);
	int (*psu_voltage)(double *volts);
	// Whole volts of the line modules' supply, never negative.
	int (*mod_supply)(int32_t *volts);
	int (*batt_charge)(bool enable);
	int (*wdt_disable)(void);
	// Arms the watchdog for wdt_period plus the board's margin.
	int (*wdt_reset)(void);
	// Seconds left; 0 when it is not running.
	int (*wdt_get)(void);
	// Whole degrees Celsius; below -273 when the board has no sensor.
	int (*board_temp)(int32_t *celsius);
	// The stretch of line samples one data packet carries, in nanoseconds.
	uint64_t (*ns_to_send)(void);
};

// The window of a data packet on boards without ns_to_send: 1.03125 s.
#define CIO_NS_TO_SEND_DEFAULT 1031250000ULL
// The reference diode of boards that cannot measure it.
#define CIO_DIODE_DEFAULT 0.835
#define CIO_LINES_MAX 8

// The board's driver, chosen by key "revision" of /etc/device.conf; none,
// after saying why, when the file cannot be read or the revision has no
// driver.
const cio_ops *cio_detect(void);

// Whether this may be a CIO terminal: false only when /etc/device.conf
// says cio=0.
bool cio_terminal(void);

static inline int cio_init(const cio_ops *ops)
{
	return ops->init ? ops->init() : 0;
}

static inline int cio_done(const cio_ops *ops)
{
	return ops->done ? ops->done() : 0;
}

static inline uint8_t cio_all_lines(int count)
{
	return (uint8_t)((1u << count) - 1);
}

static inline bool cio_sends_packets(const cio_ops *ops)
{
	return ops->pkt_send && (!ops->pkt_capable || ops->pkt_capable());
}

static inline uint64_t cio_window_ns(const cio_ops *ops)
{
	return ops->ns_to_send ? ops->ns_to_send() : CIO_NS_TO_SEND_DEFAULT;
}

// One SI pulse of ms milliseconds on the lines of the mask, timed by the
// board: by its delay, or by discarding samples at rate. SI stays on when
// the wait fails.
int minicio_si_dur(const cio_ops *ops, unsigned si_dur_main, unsigned cur_freq, uint8_t si_mask);

// Installs the dispatcher address list into the shared state: any
// character other than a letter, digit, '-' or '.' separates names. The
// loop drops its connection and starts over with the new list. An absent
// text changes nothing.
int minicio_register_server(const char *addresses);
