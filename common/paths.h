// Fixed paths that more than one part of the system uses: the files and
// pipes through which the daemon and the console meet, and the hardware
// identity both read. Each goes through kel_path() where it is opened.
#pragma once

#define DEVICE_CONF "/etc/device.conf"              // hardware identity: cio, revision
#define CONSOLE_PIPE "/run/parlod-cli"              // command lines to the console
#define SPEAKER_STATE_FILE "/var/run/parlod.spk"    // a call's audio runs while it exists
#define IC_STATES_FILE "/run/parlod-ic-states"      // the intercom units' states
#define PARLOD_IC_CONF "/etc/parlod-ic.conf"        // the intercom buses: ports_mask, ports_baud, button_led
