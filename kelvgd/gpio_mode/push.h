// The push server's address, as configured and as the loop uses it.
#pragma once

// Resolves the address (host name or dotted quad, no port) and, while push
// is enabled, hands it to the loop, which reconnects. An empty text means no
// server. -ENOENT when a name cannot be resolved.
int vgd_update_addr(const char *address);
