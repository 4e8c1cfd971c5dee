// State for the SNMP sub-agent: a static description written when a loop
// starts, and state records in a named pipe, at most one a second and none
// while the reader has not taken the last one. The pipe is never waited on.
#pragma once

#include "snmp_record.h"

// Reads the device revision and writes the description.
int snmp_write_cfg(int num_modules, int num_tsensors);

// Writes a state record if one is due; 0, or the clock's error.
int snmp_worker(bool disp_connected);

// Closes the pipe; the next record is due at once.
void snmp_close(void);
