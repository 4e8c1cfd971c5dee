// srvaddr: the push server's address and whether reports are pushed.
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <netdb.h>
#include <syslog.h>

#include "cfg.h"
#include "config.h"
#include "gpio_mode/mainloop.h"
#include "gpio_mode/push.h"
#include "handlers.h"
#include "rootpath.h"
#include "shared_state.h"

static const char *resolver_error(int code)
{
	switch (code) {
	case HOST_NOT_FOUND:
		return "The specified host is unknown.\n";
	case TRY_AGAIN:
		return "A temporary error occurred on an authoritative name server.\n";
	case NO_RECOVERY:
		return "A nonrecoverable name server error occurred.\n";
	case NO_DATA:
		return "The requested name is valid but does not have an IP address.\n";
	default:
		return "Unknown gethostbyname() fault.\n";
	}
}

int vgd_update_addr(const char *address)
{
	struct in_addr resolved = {};
	bool found = false;
	int r;

	if (address && *address) {
		struct hostent *h = gethostbyname(address);

		if (h && h->h_addrtype == AF_INET && h->h_addr_list[0]) {
			memcpy(&resolved, h->h_addr_list[0], sizeof(resolved));
			found = true;
		} else
			fputs(resolver_error(h ? NO_DATA : h_errno), stderr);
	}

	if ((r = vgd_write_lock(SEM_SSTATE_R, SEM_SSTATE_W)) < 0)
		return r;
	if (vgd_state->push_en) {
		vgd_state->num_serv = found;
		if (found) {
			vgd_state->serv_addr = {};
			vgd_state->serv_addr.sin_family = AF_INET;
			vgd_state->serv_addr.sin_port = htons(PUSH_PORT);
			vgd_state->serv_addr.sin_addr = resolved;
		}
		vgd_store(&vgd_state->serv_upd, 1);
	}
	r = vgd_write_unlock(SEM_SSTATE_R, SEM_SSTATE_W);
	if (r < 0)
		return r;
	return address && *address && !found ? -ENOENT : 0;
}

static int vgd_push_enable(int enable)
{
	const char *conf = kel_path(VGD_CONF);
	const char *what = enable ? "enable" : "disable";
	bool was;
	int r;

	if ((r = vgd_write_lock(SEM_SSTATE_R, SEM_SSTATE_W)) < 0)
		goto fail;
	was = vgd_state->push_en;
	if (!enable && was) {
		vgd_state->num_serv = 0;
		vgd_state->push_en = 0;
		vgd_store(&vgd_state->serv_upd, 1);
	} else if (enable && !was)
		vgd_state->push_en = 1;
	vgd_write_unlock(SEM_SSTATE_R, SEM_SSTATE_W);
	if (enable && !was && (r = vgd_update_addr(cfg_read_str(conf, "serv_addr", ""))) < 0)
		goto fail;
	if ((r = cfg_write_int(conf, "push_enabled", enable)) < 0)
		goto fail;
	syslog(LOG_NOTICE, "%s \"push\" protocol", enable ? "Enabled" : "Disabled");
	return 0;
fail:
	errno = -r;
	syslog(LOG_ERR, "Failed to %s \"push\" protocol: %m", what);
	return r;
}

int vgd_srvaddr(cmdline_param *params)
{
	const char *conf = kel_path(VGD_CONF);
	const char *address = param_str(params, 'a');
	int32_t enable = param_num(params, 'e');
	int r;

	if (enable >= 0) {
		if ((r = vgd_push_enable(enable)) < 0 || !address)
			return r;
	}
	if (!address) {
		printf("serv_addr=%s\npush_enabled=%s\n", cfg_read_str(conf, "serv_addr", ""),
		       cfg_read_str(conf, "push_enabled", "0"));
		return 0;
	}
	if ((r = vgd_update_addr(address)) < 0) {
		errno = -r;
		syslog(LOG_ERR, "Failed to update server address for \"push\" protocol: %m");
		return r;
	}
	if ((r = cfg_write_str(conf, "serv_addr", address)) < 0) {
		errno = -r;
		syslog(LOG_ERR, "Failed to save server address for \"push\" protocol: %m");
		return r;
	}
	syslog(LOG_NOTICE, "Updated server address for \"push\" protocol");
	return 0;
}
