// The 2/4-wire mode override of the CIO line modules.
#include "config.h"
#include "shared_state.h"

int vgd_update_mm(int32_t override, int32_t modes)
{
	int r = vgd_write_lock(SEM_SSTATE_R, SEM_SSTATE_W);

	if (r < 0)
		return r;
	vgd_state->mod_modes = (uint8_t)modes;
	vgd_state->mod_override = override != 0;
	return vgd_write_unlock(SEM_SSTATE_R, SEM_SSTATE_W);
}
