// Configuration files of the daemon (fixed paths; see kel_path()).
#pragma once

#include <cstdint>

#include "paths.h"

#define VGD_CONF "/etc/kelvgd.conf"  // settings of kelvgd, rewritten by its commands
#define DISP_CONF "/etc/disp.conf"   // CIO-mode dispatcher settings

// Reads the CIO modules' 2/4-wire override and modes into the shared state.
int vgd_load_mm(void);
