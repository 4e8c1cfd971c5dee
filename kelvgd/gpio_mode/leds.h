// The front LEDs, through the kernel's LED class: each LED is a directory
// under /sys/class/leds with its brightness, max_brightness and trigger.
#pragma once

#define LED_RED "kel:red"
#define LED_GREEN "kel:green"

// Full brightness, whatever the LED's maximum is.
int led_on(const char *name);
int led_off(const char *name);
int led_set(const char *name, int value);

// The brightness; -EIO when unreadable, -EINVAL without digits, -ERANGE
// outside int.
int led_get(const char *name);

// The active trigger, newly allocated (the caller frees it); none when the
// trigger file cannot be read.
char *led_tr_get(const char *name);
int led_tr_set(const char *name, const char *trigger);
// No trigger: the brightness file alone decides.
int led_tr_reset(const char *name);

// The active trigger of a trigger file's text, which lists every trigger
// with the active one in brackets; the whole text when it has no brackets.
// Newly allocated.
char *led_tr_parse(const char *text);
