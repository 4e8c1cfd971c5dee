// The line packet a board driver holds between pkt_prepare and pkt_send.
#pragma once

#include <cstdint>

struct cio_packet {
	uint8_t *data; // owned; none when no packet is held
	unsigned len;
};

// Keeps a copy of the bytes, dropping any packet held before; -ENOMEM.
int cio_packet_keep(cio_packet *p, const uint8_t *bytes, unsigned count);
void cio_packet_drop(cio_packet *p);
