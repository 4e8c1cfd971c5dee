// Modem lines for simulated serial ports, preloaded into the programs under
// test (LD_PRELOAD).
//
// The system tests attach simulated devices through pseudo-terminals, and a
// pseudo-terminal has no modem lines: TIOCMGET and its kin fail there. This
// library answers them for the ports a test names, from the simulator of
// the device behind the port, so the programs run unchanged.
//
// KEL_MODEM_LINES lists the ports as "<device>=<socket>" entries separated
// by ':'. A modem-line ioctl (TIOCMGET, TIOCMSET, TIOCMBIS, TIOCMBIC) on a
// descriptor of one of those devices (the same character device, by
// whatever path it was opened) becomes one exchange with the simulator over
// a fresh connection to its socket (AF_UNIX, SOCK_SEQPACKET):
//
//   request  "get", "set <bits>", "bis <bits>" or "bic <bits>"
//   reply    "<bits>", the lines after the request, or "error <errno>"
//
// with bits the TIOCM_* values in decimal. A simulator that is gone or does
// not answer within MODEM_REPLY_MS makes the ioctl fail with EIO. Every
// other request and descriptor goes to the C library untouched.
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#define MODEM_REPLY_MS 2000

namespace {

using ioctl_fn = int (*)(int, unsigned long, ...);

ioctl_fn real_ioctl()
{
	static ioctl_fn fn = (ioctl_fn)dlsym(RTLD_NEXT, "ioctl");
	return fn;
}

// The socket of the simulator behind fd, into sock; false when fd is none
// of the listed ports.
bool simulated_port(int fd, char *sock, size_t size)
{
	const char *list = getenv("KEL_MODEM_LINES");
	struct stat fst, dst;

	if (!list || !*list || fstat(fd, &fst) != 0 || !S_ISCHR(fst.st_mode))
		return false;
	while (*list) {
		const char *end = strchrnul(list, ':');
		const char *eq = (const char *)memchr(list, '=', (size_t)(end - list));
		char device[4096];

		if (eq && (size_t)(eq - list) < sizeof(device) && (size_t)(end - eq - 1) < size) {
			memcpy(device, list, (size_t)(eq - list));
			device[eq - list] = '\0';
			if (stat(device, &dst) == 0 && S_ISCHR(dst.st_mode) && dst.st_rdev == fst.st_rdev) {
				memcpy(sock, eq + 1, (size_t)(end - eq - 1));
				sock[end - eq - 1] = '\0';
				return true;
			}
		}
		list = *end ? end + 1 : end;
	}
	return false;
}

// One request and its reply; the lines after it, or -1 with errno set.
int exchange(const char *path, const char *request)
{
	struct sockaddr_un addr = {};
	struct pollfd p;
	char reply[64];
	int fd, r = -1, err = EIO;
	ssize_t n;

	if (strlen(path) >= sizeof(addr.sun_path)) {
		errno = EIO;
		return -1;
	}
	addr.sun_family = AF_UNIX;
	strcpy(addr.sun_path, path);
	fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
	if (fd < 0) {
		errno = EIO;
		return -1;
	}
	if (connect(fd, (struct sockaddr *)&addr, sizeof(addr)) != 0 || send(fd, request, strlen(request), MSG_NOSIGNAL) < 0)
		goto out;
	p = { fd, POLLIN, 0 };
	while ((n = poll(&p, 1, MODEM_REPLY_MS)) < 0 && errno == EINTR)
		;
	if (n <= 0)
		goto out;
	n = recv(fd, reply, sizeof(reply) - 1, 0);
	if (n <= 0)
		goto out;
	reply[n] = '\0';
	if (sscanf(reply, "error %d", &err) == 1) {
		if (err <= 0)
			err = EIO;
	} else if (sscanf(reply, "%d", &r) != 1 || r < 0) {
		r = -1;
		err = EIO;
	}
out:
	close(fd);
	if (r < 0)
		errno = err;
	return r;
}

int modem_ioctl(const char *sock, unsigned long request, int *arg)
{
	char text[32];
	int lines;

	if (!arg) {
		errno = EFAULT;
		return -1;
	}
	// The kernel takes the argument from any address: so does the stand-in.
	memcpy(&lines, arg, sizeof(lines));
	if (request == TIOCMGET)
		snprintf(text, sizeof(text), "get");
	else
		snprintf(text, sizeof(text), "%s %d",
			 request == TIOCMSET ? "set" : request == TIOCMBIS ? "bis" : "bic", lines);
	lines = exchange(sock, text);
	if (lines < 0)
		return -1;
	if (request == TIOCMGET)
		memcpy(arg, &lines, sizeof(lines));
	return 0;
}

} // namespace

extern "C" int ioctl(int fd, unsigned long request, ...) noexcept
{
	va_list ap;
	void *arg;
	char sock[sizeof(((struct sockaddr_un *)nullptr)->sun_path)];
	int saved = errno;

	va_start(ap, request);
	arg = va_arg(ap, void *);
	va_end(ap);

	if ((request == TIOCMGET || request == TIOCMSET || request == TIOCMBIS || request == TIOCMBIC) &&
	    simulated_port(fd, sock, sizeof(sock))) {
		errno = saved;
		return modem_ioctl(sock, request, (int *)arg);
	}
	errno = saved;
	ioctl_fn next = real_ioctl();
	if (!next) {
		errno = ENOSYS;
		return -1;
	}
	return next(fd, request, arg);
}
