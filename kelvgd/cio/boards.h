// The board drivers of this build, one file each.
#pragma once

#include "cio_ops.h"

extern const cio_ops cio_ops_via;         // 4-line board on a serial port of the host (revision 1)
extern const cio_ops cio_ops_usb;         // 8-line USB control board "DornUSB" (revision 2)
extern const cio_ops cio_ops_cirrus_mini; // 2-line board of the Cirrus Logic based terminal (revision 3)
extern const cio_ops cio_ops_orbesk_mini; // 2-line compact board (revision 4)
