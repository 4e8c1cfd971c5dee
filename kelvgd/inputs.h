// The hardware counts of the device, known once its type has been read.
#pragma once

// Each is the count, or -EAGAIN while the device type is not yet known. The
// counts never exceed the arrays of the shared record they index.
int num_discrete(void);
int num_buttons(void);
int num_relays(void);
int num_tsensors(void);
