// The daemon's state record, shared by every kelvgd process through a
// System V shared-memory segment, and the semaphores that guard it.
//
// The record's layout is an interface: other programs map the segment, and a
// new daemon starts from whatever an older one left in it. Fields keep their
// order and natural alignment; the asserts at the end pin them down.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <netinet/in.h>
#include <sys/types.h>
#include <type_traits>

// A one-byte truth value: 0 or 1.
typedef uint8_t vgd_flag;

struct sound_test_result {
	double vol_mic; // microphone-line voltage during the test
	uint8_t amp;    // measured amplitude, 255 when it did not fit
	time_t ts;      // when the test ran, seconds since the epoch; 0 = never
};

struct shared_state {
	vgd_flag daemon_loop; // the monitoring loop runs while set
	vgd_flag inputs_valid;
	vgd_flag cio_inputs_valid;
	double diode;        // reference diode voltage, V
	int32_t temperature; // °C; below -273 = unknown
	int32_t vbatt;       // mV
	int32_t rmux;        // Ω
	double vpsu;         // V
	int32_t discrete[22]; // Ω
	vgd_flag alarm[22];   // latched until cleared
	int32_t buttoncur[8]; // Ω; INT32_MAX = not measured
	vgd_flag buttonact[8]; // latched until cleared
	vgd_flag pendingbell[8];
	uint32_t urate; // loop cycles per 1000 s
	int32_t cur_spk_min;
	int32_t cur_spk_max;
	double vol_mic_min;
	double vol_mic_max;
	uint8_t sound_ch; // external sound channel + 1; 0 = none
	uint8_t relays;   // bit i = relay i + 1
	uint8_t ser_port;
	uint32_t ser_baud;
	uint8_t ser_bits;
	char ser_par;
	uint8_t ser_stop;
	struct sockaddr_in serv_addr; // push server
	uint8_t num_serv;
	vgd_flag push_en;
	vgd_flag serv_upd; // request: server address changed
	vgd_flag dumped;   // request: a dump was made
	vgd_flag wdt_disabled;
	int32_t wdt_period; // s
	int32_t gpiousr;    // processes holding the GPIO lines
	vgd_flag batttest;
	vgd_flag error_coproc;
	vgd_flag error_batt;
	uint8_t num_discrete; // 0 = not yet known
	uint8_t num_buttons;
	uint8_t num_relays;
	uint8_t num_tsensors;
	double temp_sensors[2]; // °C
	uint8_t temp_mask;      // bit i = sensor i present and valid
	uint8_t devtype;
	vgd_flag devtype_valid;
	char addr_server[257]; // dispatcher names, NUL-separated
	int32_t addr_pos;
	int32_t addr_len;
	vgd_flag serv_sock_close;
	int32_t addr_interval;
	uint8_t pkt_data[80];
	uint8_t pkt_len;
	uint8_t pkt_dir;
	uint32_t si_dur_main; // ms
	uint32_t read_freq;   // samples per second
	int32_t zlib_level;
	int32_t mod_vol[8];
	int32_t mod_supply;
	vgd_flag mod_override;
	uint8_t mod_modes;
	uint8_t mod_num;
	struct sound_test_result stest_res[8];
	uint8_t stest_mask; // request: channels still to test
	uint8_t stest_cnt;  // speaker tests running
	uint8_t mic_request; // request: channel + 1 whose microphone to measure
	vgd_flag multi_notify;
	vgd_flag force_notify;
	vgd_flag fmm_enabled;
	int8_t fmm_icomaddr;
	int8_t fmm_soundch;
	int8_t fmm_discrete;
	int8_t fmm_icominp;
	int8_t fmm_cabinact;
	int8_t fmm_invert;
	vgd_flag fmm_active;
};

static_assert(std::is_standard_layout_v<shared_state> && std::is_trivially_copyable_v<shared_state>);
static_assert(sizeof(time_t) == 8 && sizeof(sockaddr_in) == 16 && alignof(double) == 8);
static_assert(sizeof(sound_test_result) == 24);
#define VGD_LAYOUT(field, offset) static_assert(offsetof(shared_state, field) == (offset), #field)
VGD_LAYOUT(diode, 8);
VGD_LAYOUT(vpsu, 32);
VGD_LAYOUT(discrete, 40);
VGD_LAYOUT(alarm, 128);
VGD_LAYOUT(buttoncur, 152);
VGD_LAYOUT(buttonact, 184);
VGD_LAYOUT(urate, 200);
VGD_LAYOUT(vol_mic_min, 216);
VGD_LAYOUT(sound_ch, 232);
VGD_LAYOUT(ser_baud, 236);
VGD_LAYOUT(ser_stop, 242);
VGD_LAYOUT(serv_addr, 244);
VGD_LAYOUT(num_serv, 260);
VGD_LAYOUT(wdt_period, 268);
VGD_LAYOUT(num_tsensors, 282);
VGD_LAYOUT(temp_sensors, 288);
VGD_LAYOUT(addr_server, 307);
VGD_LAYOUT(addr_pos, 564);
VGD_LAYOUT(addr_interval, 576);
VGD_LAYOUT(pkt_data, 580);
VGD_LAYOUT(si_dur_main, 664);
VGD_LAYOUT(mod_vol, 676);
VGD_LAYOUT(mod_num, 714);
VGD_LAYOUT(stest_res, 720);
VGD_LAYOUT(stest_mask, 912);
VGD_LAYOUT(multi_notify, 915);
VGD_LAYOUT(fmm_active, 924);
#undef VGD_LAYOUT
static_assert(sizeof(shared_state) == 928);

// Semaphores of the set, in order.
enum {
	SEM_MAINLOOP,   // instance lock, held by the running monitoring loop
	SEM_SOUNDPINS,  // sound lock: external channel, fireman's mode
	SEM_SOUNDCODEC, // taken with SEM_SOUNDPINS by the bell and the speaker test
	SEM_SSTATE_R,   // free reader places of the state lock
	SEM_SSTATE_W,   // entry gate of the state lock
	SEM_COMMAND,    // packet lock of the CIO loop
	SEM_NUMBER
};

// Reader places of the state lock: a writer takes them all.
#define VGD_READERS_MAX 32767

extern key_t vgd_ipc_key;
extern int vgd_sem_id;
extern shared_state *vgd_state;

// The project identifier in the top byte of every key.
#define VGD_IPC_PROJECT 104

// The IPC key of an executable's real path: the project identifier, then 24
// bits of the path's hash (str_hash32() folded). It depends on the path
// alone, not on the file found there, so a program replaced by an upgrade
// still meets the daemon started from the file before it, and a copy at
// another path meets objects of its own.
key_t vgd_path_key(const char *path);

// vgd_path_key() of the running executable, into vgd_ipc_key.
int vgd_calc_ipc_key(void);

// Whether a monitoring loop holds the instance lock: 1, 0, or a negated
// errno value. It only looks, so it can never keep a starting loop out.
int vgd_loop_running(void);

// For commands that hand their work to the monitoring loop: says
// "kelvgd is not running" when no loop holds the instance lock. Returns
// what vgd_loop_running() found.
int vgd_expect_loop(void);

// Takes the instance lock for a monitoring loop; -EBUSY, said on stderr,
// while another loop holds it.
int vgd_instance_lock(void);

// The same refusal without taking the lock, for a daemon that has yet to
// open its hardware: a second one must not touch the first one's.
int vgd_instance_check(void);

// Gets or creates the segment and attaches it to vgd_state.
int vgd_state_open(void);
int vgd_state_close(void);

// Gets or creates and initialises the semaphore set.
int vgd_sem_open(void);
int vgd_sem_close(void);
int vgd_sem_set(int sem, int value);

// Every take and give uses the kernel's undo adjustment, so a process that
// dies gives back what it held. The lockN forms take all semaphores in one
// atomic call; the trylock forms fail with -EAGAIN instead of waiting.
int vgd_sem_lock(int a);
int vgd_sem_lock2(int a, int b);
int vgd_sem_lock3(int a, int b, int c);
int vgd_sem_trylock(int a);
int vgd_sem_trylock2(int a, int b);
int vgd_sem_trylock3(int a, int b, int c);
int vgd_sem_unlock(int a);
int vgd_sem_unlock2(int a, int b);
int vgd_sem_unlock3(int a, int b, int c);
int vgd_sem_lock_noundo(int a);
int vgd_sem_unlock_noundo(int a);

// The reader-writer lock over the record, called as (SEM_SSTATE_R,
// SEM_SSTATE_W). A waiting writer holds the gate, so it goes before readers
// that arrive after it.
int vgd_read_lock(int r, int w);
int vgd_read_unlock(int r, int w);
int vgd_write_lock(int r, int w);
int vgd_write_unlock(int r, int w);

// Single-byte fields that processes hand each other without the lock are
// read and changed with atomic instructions on the shared byte.
static inline uint8_t vgd_xchg(uint8_t *p, uint8_t v)
{
	return __atomic_exchange_n(p, v, __ATOMIC_SEQ_CST);
}

static inline uint8_t vgd_fetch_or(uint8_t *p, uint8_t bits)
{
	return __atomic_fetch_or(p, bits, __ATOMIC_SEQ_CST);
}

static inline uint8_t vgd_fetch_and(uint8_t *p, uint8_t bits)
{
	return __atomic_fetch_and(p, bits, __ATOMIC_SEQ_CST);
}

static inline void vgd_store(uint8_t *p, uint8_t v)
{
	__atomic_store_n(p, v, __ATOMIC_SEQ_CST);
}

static inline uint8_t vgd_load(const uint8_t *p)
{
	return __atomic_load_n(p, __ATOMIC_SEQ_CST);
}

// Sleeps; -EINTR (or the sleep's error) when cut short.
int vgd_msleep(unsigned ms);
int vgd_usleep(unsigned long us);
