#include "errmsg.h"

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <link.h>

int neg_errno(void)
{
	return errno > 0 ? -errno : -EIO;
}

int neg_errno_msg(const char *fmt, ...)
{
	int r = neg_errno();
	va_list ap;

	va_start(ap, fmt);
	vfprintf(stderr, fmt, ap);
	va_end(ap);
	errno = -r;
	return r;
}

struct code_object {
	uintptr_t addr; // in: an address in memory
	uintptr_t bias; // out: where the object holding it was loaded
	bool found;
};

static int code_object_find(struct dl_phdr_info *info, size_t size, void *data)
{
	code_object *o = (code_object *)data;

	(void)size;
	for (int i = 0; i < info->dlpi_phnum; i++) {
		const ElfW(Phdr) *ph = &info->dlpi_phdr[i];
		uintptr_t start = info->dlpi_addr + ph->p_vaddr;

		if (ph->p_type == PT_LOAD && o->addr >= start && o->addr - start < ph->p_memsz) {
			o->bias = info->dlpi_addr;
			o->found = true;
			return 1;
		}
	}
	return 0;
}

// The code address as the executable file has it, the same on every run
// whatever the address-space layout: `addr2line -e <program> <address>`
// names the source line.
static uintptr_t code_file_address(uintptr_t addr)
{
	code_object o = { addr, 0, false };

	dl_iterate_phdr(code_object_find, &o);
	return o.found ? addr - o.bias : addr;
}

// Not inlined, so that the return address names the caller's call site. One
// byte back from it lies in the call instruction itself, whose line is the
// one wanted even where the call ends a line.
__attribute__((noinline)) int neg_errno_automsg(void)
{
	int r = neg_errno();
	uintptr_t ret = (uintptr_t)__builtin_extract_return_addr(__builtin_return_address(0));
	void *site = (void *)code_file_address(ret - 1);

	errno = -r;
	fprintf(stderr, "%m (@%p)\n", site);
	errno = -r;
	return r;
}

int neg_errno_func(const char *func)
{
	return neg_errno_msg("%s() failed\n", func);
}
