// Control concentrators: up to eight units on a shared serial bus, addressed
// 0 to 7, each reporting eight status bits, two flags and a value.
//
// Request, 4 bytes: address + 8, 0x01, command, check byte. Reply, 7 bytes:
// address + 8, 0x04, the command echoed, status bits, flags, value, check
// byte. The check byte makes the bytes of a frame sum to 0 modulo 256.
#pragma once

#include <cstddef>
#include <cstdint>

#define CC_BUS_PORT 1         // the bus is /dev/ttyS1
#define CC_ADDR_ALL 255       // cc_command(): every unit in turn
#define CC_REQUEST_LEN 4
#define CC_REPLY_LEN 7

// The request frame for one unit.
void cc_request(uint8_t frame[CC_REQUEST_LEN], unsigned addr, uint8_t cmd);

// Whether reply is a unit's valid answer to cmd: its full length, its
// address and echo, a check byte that matches.
bool cc_reply_valid(const uint8_t *reply, size_t len, unsigned addr, uint8_t cmd);

// Sends the command to one unit (0 to 7) or to every unit (CC_ADDR_ALL) and
// prints one line "cc<addr>=..." per unit on stdout; a unit that is silent
// or answers wrongly gets the line without a value. 0, or the error that
// kept the bus from being opened or written.
int cc_command(unsigned addr, uint8_t cmd);

// Every unit's status.
int cc_dump(void);
