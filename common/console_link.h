// What the daemon and the console say to each other, in one place: the
// command lines the daemon writes into the console's pipe, the intercom
// states file that the console publishes and the daemon reads, and the
// speaker state file. Both programs build and read these texts only
// through here, so a change of one side is a change of both.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/types.h>

#include "paths.h"

// Command lines (CONSOLE_PIPE). The console takes its words in any case.

#define CONSOLE_CMD_CALL "call"     // call <party>: from the terminal's own sound device
#define CONSOLE_CMD_HANGUP "hangup" // ends the call
#define CONSOLE_CMD_TCMD "tcmd"     // tcmd <word> [value]: the speech path, the call's volume, a test tone
// "rs" and an intercom's address names that intercom as a party.
#define CONSOLE_INTERCOM_PARTY "rs"

// What "tcmd" makes of the speech-path line.
enum console_tr_mode {
	CONSOLE_TR_AUTO, // "tr_auto": the line follows the far end's speech
	CONSOLE_TR_ON,   // "tr_on": held at 1
	CONSOLE_TR_OFF,  // "tr_off": held at 0
};

// One whole line, its "\n" included. It is far below the pipe's atomic
// write, so it reaches the console whole from a single write, or not at all.
struct console_line {
	char text[32];
	size_t len;
};

console_line console_line_call(int intercom); // "call rs3\n"
console_line console_line_hangup(void);       // "hangup\n"
console_line console_line_tcmd(console_tr_mode mode);

const char *console_tr_word(console_tr_mode mode);
// The mode that a word after "tcmd" names, or -EINVAL.
int console_tr_parse(const char *word);

// The intercom states file (IC_STATES_FILE), the console's report of the
// intercom units on its buses:
//
//   # cb_cur,inp1,inp2,rel,pulses,audio,cb_pend,rcause
//   rs<a>=<seven status bits as 0 or 1>,<reset cause>  each present intercom, by address
//   # res,time
//   test<a>=<level>,<seconds since>                     each intercom with a self-test result
//   call=<ic_call_kind>
//
// Every line ends in "\n". The console writes each version into a new file
// and renames it over the last, so a reader sees one whole version, takes
// its shared flock or not, and once the file it holds has no name left
// (st_nlink 0) finds the newest by opening the path afresh. A console that
// starts publishes an empty file at once; one that stops removes it.

#define IC_STATES_INTERCOMS 128
// The whole text stays below this, with every intercom present and tested.
#define IC_STATES_MAX 8192

// The call that "call=" reports.
enum ic_call_kind {
	IC_CALL_NONE = 0,
	IC_CALL_LOCAL = 1, // from the terminal's own sound device ("pc:")
	IC_CALL_OTHER = 2, // any other, such as a network call
};

// The state word of an intercom: 0 while it is absent; else bit 15, the
// reset cause in bits 8-14 and the status byte of its last reply in bits 0-7.
#define IC_STATE_PRESENT 0x8000
enum ic_status_bit {
	IC_CB_CUR = 1 << 0, // its call button is held
	IC_INP1 = 1 << 1,
	IC_INP2 = 1 << 2,
	IC_REL = 1 << 3,
	// Bit 4 is not published.
	IC_PULSES = 1 << 5,
	IC_AUDIO = 1 << 6, // busy with a call's audio
	IC_CB_PEND = 1 << 7,
};

struct ic_states {
	uint16_t state[IC_STATES_INTERCOMS];
	// The fields that its line gave (up to 8); the writer writes all.
	uint8_t fields[IC_STATES_INTERCOMS];
	bool tested[IC_STATES_INTERCOMS];
	uint16_t test_level[IC_STATES_INTERCOMS]; // ic_test_level() of the result
	uint64_t test_age[IC_STATES_INTERCOMS];   // seconds since it came
	int call; // ic_call_kind; -1 when the file names none known
};

// The level published for a self-test result: ⌊√result × 0.78125⌋.
unsigned ic_test_level(uint16_t result);

// The text into buf, cut to size - 1 bytes and ended with a NUL; returns the
// length of the whole text, which is more than size - 1 when it was cut.
size_t ic_states_format(const ic_states *s, char *buf, size_t size);

// What a text says. An intercom's line counts with the fields it gives, a
// status bit is set when its field begins with a 1; other lines that are
// not whole, and lines it does not know, are passed over. Without a
// "call=" line the call is IC_CALL_NONE; with one it cannot read, -1.
void ic_states_parse(const char *text, ic_states *s);

// Input n of intercom a (0: inp1, 1: inp2, then rel, pulses, audio and
// cb_pend: the fields after the call button): 1 when set, 0 when not, -1
// when the intercom's line does not give it (or there is none).
int ic_states_input(const ic_states *s, int address, int input);

// The console's publishing of the file.
struct ic_states_file {
	dev_t dev;
	ino_t ino;
	bool written; // dev and ino name the version written last
};
// Writes a new version and renames it over the last: 0 or a negated errno
// value, without a message; no temporary file stays behind.
int ic_states_publish(ic_states_file *f, const char *text, size_t len);
// The path still names the version written last.
bool ic_states_in_place(const ic_states_file *f);
// Removes the file, unless something else has taken its place.
void ic_states_remove(ic_states_file *f);

// The speaker state file (SPEAKER_STATE_FILE): it exists while a call's
// audio runs, and its one byte is "1" while the terminal speaks and "0"
// while it does not. The console's echo canceller keeps it for calls of
// the terminal's own sound device, the intercom endpoint for network calls
// to an intercom; the daemon waits for it to go after a hang-up.

// Creates it empty (mode 0444): a descriptor, or a negated errno value.
int speaker_state_create(void);
// 0, or a negated errno value: the state is then not published.
int speaker_state_write(int fd, bool speaking);
// Closes fd unless it is negative, and removes the file.
void speaker_state_remove(int fd);
bool speaker_state_present(void);
