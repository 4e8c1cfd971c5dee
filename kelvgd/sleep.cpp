#include "shared_state.h"

#include <cerrno>
#include <unistd.h>

#include "errmsg.h"

int vgd_msleep(unsigned ms)
{
	return vgd_usleep((unsigned long)ms * 1000);
}

// Whole seconds apart: usleep() may refuse a second or more.
int vgd_usleep(unsigned long us)
{
	if (us >= 1000000 && sleep((unsigned)(us / 1000000)) != 0)
		return -EINTR;
	if (us % 1000000 && usleep((useconds_t)(us % 1000000)) != 0)
		return neg_errno();
	return 0;
}
