// The state of the CIO-mode monitoring loop, shared by its parts: the
// pass (mainloop_cio.cpp), the dispatcher connection and protocol
// (dispatcher.cpp) and the timed line actions (lineact.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <netdb.h>
#include <sched.h>

#include "battery.h"
#include "cio_ops.h"
#include "watchdog.h"

// The dispatcher's service.
#define DISP_PORT "5555"
// Header of both messages to the dispatcher: "TC" or "TE", a flag
// character, and the body length, 16 bits, most significant byte first.
#define CIO_MSG_HEADER 5
#define CIO_ACK_BODY 10

// A message to the dispatcher and how much of it has been sent.
struct cio_msg {
	uint8_t *buf; // none: no message waits
	size_t len;
	size_t pos;
};

// A name resolution in progress, polled by the pass. On the heap: the
// resolver's thread writes into it until it is done, which may be after
// the loop has ended.
struct cio_resolve {
	struct gaicb req;
	struct addrinfo hints;
	char *name; // the address being resolved, owned
};

struct cio_loop {
	const cio_ops *cioo;
	int lines; // num_phys_ch()

	// The dispatcher connection.
	int serv_socket; // -1: none
	bool connected;  // the connect completed
	cio_resolve *addrreq; // none: no resolution running
	bool retry_flag; // data went both ways since the last attempt: stay with this dispatcher
	uint8_t serv_cmd[4];
	unsigned cmd_recv_bytes;
	bool cmd_sync; // a command came since the last data packet: one may go
	cio_msg packed; // the data packet ("TC")
	cio_msg reply;  // the acknowledgement ("TE")

	// What the dispatcher asked for.
	bool block_si; // paused: no acquisition, no sending, no line actions
	bool cmd_test; // each acquisition injects SI into one line, in turn
	uint8_t cur_dir; // test mode: the line of the last acquisition, from 0
	uint8_t snd_dir; // the line of the sound path, from 1; 0: none
	bool four_wire;
	uint8_t perform_cmd, perform_dir, perform_hub; // a line command waiting; perform_cmd 0: none
	bool pkt_locked; // this loop holds the packet lock: a line packet is queued

	// Measurements.
	bool vol_problem[CIO_LINES_MAX]; // the line's last voltage was 21 V or less
	uint8_t adc_state;               // position in the measurement rotation
	unsigned ready_mask;             // CIO_READY_* measured at least once
	vgd_battery battery;
	vgd_watchdog wdt;
	vgd_watchdog_ops wdt_ops; // the board's

	// The pass.
	struct timespec now;
	struct timespec t_conn, t_rr, t_voltages, t_board_temp, prev_time, prev_act, pwr_time, pwr_act;
	bool busy;      // the pass did work that is not finished: no housekeeping
	bool completed; // a message reached the dispatcher in this pass
	bool readable, writable;
};

enum {
	CIO_READY_BATTERY = 1,
	CIO_READY_MOD_SUPPLY = 2,
	CIO_READY_PSU = 4,
	CIO_READY_TEMPERATURE = 8,
	CIO_READY_ALL = 15,
};

// The loop's end on a failed board operation: the message, and the status.
int cio_fail(int status, const char *message);

// Line actions. Each blocks the pass for its duration, runs its timed part
// at real-time priority, and ends the loop with the failing status.

// Records the lines and leaves the compressed data packet in packed.
int cio_acquire(cio_loop *l);
// Sends perform_cmd to perform_hub on perform_dir as three SI pulses, then
// leaves the acknowledgement in reply.
int cio_line_command(cio_loop *l);
// Transmits the queued line packet, gives back the packet lock, and leaves
// the acknowledgement in reply.
int cio_packet_transmit(cio_loop *l);
// Gives the packet lock back if this loop holds it.
void cio_packet_unlock(cio_loop *l);
// Leaves the acknowledgement in reply.
int cio_ack(cio_loop *l);

// Saves the scheduling of the process and raises it to first-in-first-out
// real-time priority 1; restores what was saved.
int sched_save(int *scheduler, struct sched_param *oldparam);
int sched_restore(int scheduler, const struct sched_param *oldparam);

// The dispatcher protocol.

// Takes a close request: drops the connection, disconnects the sound path.
int cio_conn_close_request(cio_loop *l);
// Starts, polls and completes name resolution and connection set-up.
void cio_conn_manage(cio_loop *l);
// Polls the socket and takes its pending error.
void cio_conn_poll(cio_loop *l);
// Reads command bytes.
void cio_conn_receive(cio_loop *l);
// Acts on a whole command.
int cio_command(cio_loop *l, const uint8_t cmd[4]);
// Sends what it can of a message; true when it has gone completely.
bool cio_conn_send(cio_loop *l, cio_msg *m);
// Asks the pass to drop the connection.
void cio_conn_request_close(cio_loop *l);
// Ends name resolution and the connection at the end of the loop.
void cio_conn_end(cio_loop *l);
// Moves addr_pos on to the next name of the list; the caller holds the
// state lock.
void select_next_address(void);
// The 6-byte line packet of a command code for a hub (1 to 32).
void cio_line_packet(uint8_t out[6], uint8_t hub, uint8_t cmd);

void cio_msg_free(cio_msg *m);
