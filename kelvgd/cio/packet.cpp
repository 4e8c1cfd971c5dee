#include "packet.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

int cio_packet_keep(cio_packet *p, const uint8_t *bytes, unsigned count)
{
	cio_packet_drop(p);
	p->data = (uint8_t *)malloc(count ? count : 1);
	if (!p->data)
		return -ENOMEM;
	if (count)
		memcpy(p->data, bytes, count);
	p->len = count;
	return 0;
}

void cio_packet_drop(cio_packet *p)
{
	free(p->data);
	p->data = nullptr;
	p->len = 0;
}
