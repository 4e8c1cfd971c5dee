// The command table. Rows and option lists are writable: the parser stores
// the command line into them.
#include "cmdline.h"
#include "handlers.h"

#define OPT_N(letter, lo, hi, def) { nullptr, def, lo, hi, 'n', letter, 0, 0 }
#define OPT_NM(letter, lo, hi, def) { nullptr, def, lo, hi, 'n', letter, 1, 0 }
#define OPT_S(letter, def) { def, 0, 0, 0, 's', letter, 0, 0 }
#define OPT_END { nullptr, 0, 0, 0, 0, 0, 0, 0 }

static cmdline_param params_daemonize[] = { OPT_S('D', "/dev/ttyS4"), OPT_END };
static cmdline_param params_run[] = { OPT_S('D', "/dev/ttyS4"), OPT_S('a', nullptr), OPT_N('i', 0, 86400, 1), OPT_END };
static cmdline_param params_xmas[] = { OPT_END };
static cmdline_param params_sound[] = { OPT_NM('c', 0, 7, 0), OPT_END };
static cmdline_param params_clcall[] = { OPT_N('c', 0, 7, -1), OPT_END };
static cmdline_param params_clalarm[] = { OPT_N('c', 0, 21, -1), OPT_END };
static cmdline_param params_auxpwr[] = { OPT_NM('d', 0, 1, 0), OPT_END };
static cmdline_param params_relays[] = {
	OPT_N('a', 0, 1, -1), OPT_N('b', 0, 1, -1), OPT_N('c', 0, 1, -1), OPT_N('d', 0, 1, -1), OPT_END,
};
static cmdline_param params_sercfg[] = {
	OPT_N('i', 1, 2, -1), OPT_N('b', 0, 4000000, -1), OPT_N('w', 7, 8, 8), OPT_S('p', "N"), OPT_N('s', 1, 2, 1), OPT_END,
};
static cmdline_param params_ccctl[] = { OPT_NM('a', 0, 7, 0), OPT_NM('c', 0, 255, 0), OPT_END };
static cmdline_param params_srvaddr[] = { OPT_S('a', nullptr), OPT_N('e', 0, 1, -1), OPT_END };
static cmdline_param params_cfg[] = {
	OPT_N('d', 0, 1, -1), OPT_N('w', 10, 900, -1), OPT_N('m', 0, 1, -1), OPT_N('f', 0, 1, -1), OPT_END,
};
static cmdline_param params_charge[] = { OPT_NM('e', 0, 1, 0), OPT_END };
static cmdline_param params_modules[] = { OPT_N('m', 0, 255, -1), OPT_N('o', 0, 1, -1), OPT_END };
static cmdline_param params_spktest[] = { OPT_N('m', 0, 255, 255), OPT_END };
static cmdline_param params_fmm[] = {
	OPT_N('e', 0, 1, -2), OPT_N('a', 0, 127, -2), OPT_N('c', 0, 7, -2), OPT_N('d', -1, 23, -2),
	OPT_N('i', -1, 1, -2), OPT_N('r', 0, 1, -2), OPT_N('v', 0, 1, -2), OPT_END,
};

vgd_command commands[] = {
	{ "daemonize", params_daemonize, "[-D <coprocessor tty device>] -- run daemon in background", vgd_daemonize, 0 },
	{ "run", params_run, "[-D <coprocessor tty device>] [-a <disp addr>] [-i <disp interval>] -- run daemon in foreground", vgd_run, 0 },
	{ "xmas", params_xmas, "-- Christmas lights", vgd_xmas, 0 },
	{ "stop", nullptr, "-- stop running daemon", vgd_stop, 0 },
	{ "sound", params_sound, "-c <channel> -- enable external mic/spk", vgd_sound, 0 },
	{ "nosound", nullptr, "-- disable external mic/spk", vgd_nosound, 0 },
	{ "clcall", params_clcall, "[-c <channel>] -- clear call botton(s)", vgd_clcall, 0 },
	{ "clalarm", params_clalarm, "[-c <channel>] -- clear alarm(s)", vgd_clalarm, 0 },
	{ "auxpwr", params_auxpwr, "-d <0/1> -- disable external power", vgd_auxpwrdis, 0 },
	{ "relays", params_relays, "[-a <0/1>] [-b <0/1>] [-c <0/1>] [-d <0/1>] -- relays control", vgd_relays, 0 },
	{ "dump", nullptr, "-- dump device state", vgd_dump, 0 },
	{ "sercfg", params_sercfg, "[-i <portnum>] [-b <baud>] [-w <bits>] [-p <parity>] [-s <stop>] -- serial pass-through configuration", vgd_sercfg, 0 },
	{ "sersrv", nullptr, "-- run serial pass-through server in \"inetd\" mode", vgd_sersrv, 0 },
	{ "ccdump", nullptr, "-- dump \"Control Concentrators\" info", vgd_ccdump, 0 },
	{ "ccctl", params_ccctl, "-a <address> -c <command> -- perform command (0-0xff) on control concentrator (0-7)", vgd_ccctl, 0 },
	{ "srvaddr", params_srvaddr, "[-a <address>] [-e <0/1>] -- update server address and enable/disable PUSH protocol", vgd_srvaddr, 0 },
	{ "cfg", params_cfg, "[-d <0/1>] [-w <10..900>] [-m <0/1>] [-f <0/1>] -- configuration: disable WDT, WDT duration, enable multi-notify, disable force-notify", vgd_cfg, 0 },
	{ "charge", params_charge, "-e <state> -- enable/disable battery charger", vgd_charge, 0 },
	{ "failmon", nullptr, "-- run failure monitor", vgd_failmon, 0 },
	{ "atest", nullptr, "-- run audio test", vgd_atest, 1 },
	{ "devtype", nullptr, "-- output device type code", vgd_devtype, 0 },
	{ "modules", params_modules, "[-o <0/1>] [-m <modes>] -- read/update CIO modules mode override (2/4-wire)", vgd_modules, 0 },
	{ "spktest", params_spktest, "[-m <mask>] -- trigger speakerphones test", vgd_spktest, 0 },
	{ "spkres", nullptr, "-- dump speakerphones test results", vgd_spkres, 0 },
	{ "fmm", params_fmm, "[-e <enable>] [-a <icomaddr>] [-c <soundch>] [-d <discrete>] [-i <icominp>] [-r <cabin>] [-v <invert>] -- fireman's mode configuration", vgd_fmm, 0 },
};

const size_t commands_count = sizeof(commands) / sizeof(commands[0]);
static_assert(sizeof(commands) / sizeof(commands[0]) == 25);
