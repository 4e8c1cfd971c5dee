// A PulseAudio client context that shares no memory with the server.
//
// Audio goes through the server's socket: the terminal's sounds and calls
// are too little audio for the copy to matter, and libpulse cannot let go
// of a shared connection that breaks at a bad moment. A server gone while
// the shared ring buffer is set up leaves the main loop's thread spinning
// for ever in its clean-up, holding its lock; a block of shared memory
// still held when the server goes leaves it waiting for ever instead.
//
// Inline, so that only the programs that talk to the server link libpulse.
#pragma once

#include <pulse/context.h>
#include <pulse/proplist.h>

static inline pa_context *kel_pa_context_new(pa_mainloop_api *api, const char *name)
{
	pa_proplist *props = pa_proplist_new();
	pa_context *c;

	if (!props)
		return nullptr;
	pa_proplist_sets(props, PA_PROP_APPLICATION_NAME, name);
	pa_proplist_sets(props, PA_PROP_CONTEXT_FORCE_DISABLE_SHM, "yes");
	c = pa_context_new_with_proplist(api, name, props);
	pa_proplist_free(props);
	return c;
}
