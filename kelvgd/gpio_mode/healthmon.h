// The failure monitor (`kelvgd failmon`): reports the terminal's health to
// systemd, shows an error code on the front LEDs, tests the sound input in a
// child process (`kelvgd atest`) and power-cycles the USB port when those
// tests keep failing.
#pragma once

// Error bits, as reported to systemd and blinked on the red LED: bit i is
// shown as i + 1 flashes.
#define HM_ERR_BATT 0x01     // error_batt of the shared state
#define HM_ERR_COPROC 0x02   // error_coproc of the shared state
#define HM_ERR_AUDIO 0x04    // the last audio test failed
#define HM_ERR_FIRMWARE 0x08 // the firmware was not loaded at start

#define USB_SOFTCONNECT "/sys/kernel/debug/musb-hdrc.0/softconnect"

// Runs until the loop flag is cleared; 0, or the error that stopped it.
int health_monitor(void);

// Records from the default sound source until it delivers data: 0 when it
// does in time, a negative code otherwise.
int audio_test(void);

// Connects (1) or disconnects (0) the USB port.
int usb_power(int on);
