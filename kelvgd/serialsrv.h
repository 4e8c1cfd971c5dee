// The serial pass-through: a network connection, handed over as standard
// input and output by a super-server (inetd, or systemd socket activation
// with Accept=yes), relayed both ways to one of the terminal's serial ports.
//
// The port and its line settings come from the shared state, where
// `kelvgd sercfg` puts them.
#pragma once

#include <csignal>
#include <cstdint>

#define SERSRV_BUF_SIZE 16384 // each direction; one byte stays free

// Relays until both directions are finished (0) or *running is cleared
// (0), or a wait fails. Signals are taken only while waiting, with waitmask
// as the signal mask. The descriptors must be non-blocking.
int sersrv_relay(int net_in, int net_out, int port, const uint8_t *running, const sigset_t *waitmask);

// Serves one connection on descriptors 0 and 1: opens the configured port,
// relays, shuts the network output down. 0 when both sides are done.
int serial_inetd_srv(void);
