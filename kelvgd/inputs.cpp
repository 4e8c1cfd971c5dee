#include "inputs.h"

#include <algorithm>
#include <cerrno>

#include "shared_state.h"

// The record may have been left by another build; a count from it is
// trusted only as far as the arrays go.
static int vgd_count(uint8_t n, int capacity)
{
	return n ? std::min<int>(n, capacity) : -EAGAIN;
}

int num_discrete(void)
{
	return vgd_count(vgd_state->num_discrete, sizeof(vgd_state->discrete) / sizeof(vgd_state->discrete[0]));
}

int num_buttons(void)
{
	return vgd_count(vgd_state->num_buttons, sizeof(vgd_state->buttoncur) / sizeof(vgd_state->buttoncur[0]));
}

int num_relays(void)
{
	return vgd_count(vgd_state->num_relays, 8 * sizeof(vgd_state->relays));
}

int num_tsensors(void)
{
	return std::min<int>(vgd_state->num_tsensors, sizeof(vgd_state->temp_sensors) / sizeof(vgd_state->temp_sensors[0]));
}
