// Handlers of the command table: each takes its command's option list and
// returns 0 or a negated errno value.
#pragma once

#include "cmdline.h"

int vgd_run(cmdline_param *params);
int vgd_daemonize(cmdline_param *params);
int vgd_stop(cmdline_param *params);
int vgd_cfg(cmdline_param *params);
int vgd_dump(cmdline_param *params);
int vgd_auxpwrdis(cmdline_param *params);
int vgd_relays(cmdline_param *params);
int vgd_sound(cmdline_param *params);
int vgd_nosound(cmdline_param *params);
int vgd_clcall(cmdline_param *params);
int vgd_clalarm(cmdline_param *params);
int vgd_charge(cmdline_param *params);
int vgd_srvaddr(cmdline_param *params);
int vgd_fmm(cmdline_param *params);
int vgd_spktest(cmdline_param *params);
int vgd_spkres(cmdline_param *params);
int vgd_devtype(cmdline_param *params);
int vgd_failmon(cmdline_param *params);
int vgd_atest(cmdline_param *params);
int vgd_sercfg(cmdline_param *params);
int vgd_sersrv(cmdline_param *params);
int vgd_ccdump(cmdline_param *params);
int vgd_ccctl(cmdline_param *params);
int vgd_xmas(cmdline_param *params);
int vgd_modules(cmdline_param *params);
