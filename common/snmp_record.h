// What the monitoring daemon hands the SNMP sub-agent: a static description
// of the terminal, rewritten when a monitoring loop starts, and state
// records in a named pipe that the sub-agent makes and reads. A record is a
// run of key=value lines, one a second at the most, each beginning with its
// device type line; keys with a number count modules and sensors from 0.
#pragma once

#define SNMP_CONF "/etc/velta-snmp.conf" // num_modules, num_tsensors
#define SNMP_PIPE "/run/velta-snmp"      // the state records

// Keys of the static description.
#define SNMP_KEY_NUM_MODULES "num_modules"
#define SNMP_KEY_NUM_TSENSORS "num_tsensors"

// Keys of a record, every mode: "kel" (GPIO mode) or "cio"; the hardware
// revision; battery mV; 1 while the supply is above 6 V, and its mV; board
// temperature in degrees Celsius.
#define SNMP_KEY_DEVTYPE "devtype"
#define SNMP_KEY_DEVREV "devrev"
#define SNMP_KEY_BATT "batt"
#define SNMP_KEY_AUXPWR "auxpwr"
#define SNMP_KEY_AUXVOL "auxvol"
#define SNMP_KEY_TEMP "temp"
#define SNMP_DEVTYPE_GPIO "kel"
#define SNMP_DEVTYPE_CIO "cio"

// CIO mode: the dispatcher link (0 or 1), the modules' supply in volts, the
// dispatcher addresses separated by commas; per module its volts, 1 while
// short-circuited, and its mode (0 as the board sets it, 1 two-wire, 2
// four-wire).
#define SNMP_KEY_DISP_CONN "disp_conn"
#define SNMP_KEY_MOD_SUPPLY "mod_supply"
#define SNMP_KEY_DISP_ADDR "disp_addr"
#define SNMP_KEY_MOD_VOL "mod_vol"
#define SNMP_KEY_MOD_SC "mod_sc"
#define SNMP_KEY_MOD_MODE "mod_mode"

// GPIO mode, per external temperature sensor: its whole degrees and the age
// of the reading (1) while it reads, and 0, or -1 alone while it does not.
#define SNMP_KEY_ETEMP "etemp"
#define SNMP_KEY_ETEMP_LR "etemp_lr"
#define SNMP_KEY_ETEMP_ERR "etemp_err"

// The most modules and sensors a record can name: the daemon's state has
// room for that many.
#define SNMP_RECORD_MODULES 8
#define SNMP_RECORD_TSENSORS 2
