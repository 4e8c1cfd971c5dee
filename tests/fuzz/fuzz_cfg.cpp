// The configuration reader and rewriter against any file content. After a
// rewrite the key must read back as written, every other key must keep its
// value, and no temporary file may be left.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>

#include "cfg.h"

namespace {

std::string root;
std::string conf;

std::map<std::string, std::string> effective_values()
{
	std::map<std::string, std::string> values;
	cfg_read_str(conf.c_str(), "", nullptr);
	// Newest entries first: the first one met for a key is its value.
	for (cfg_entry *e = cfg_file_start(conf.c_str()); e && e->cfile; e = e->next)
		if (e->key && conf == e->cfile)
			values.emplace(e->key, e->value);
	return values;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
	// Every input rewrites the file: a scratch directory on tmpfs (run-fuzzer
	// names one in TMPDIR) makes that many times faster than a disk.
	const char *tmp = getenv("TMPDIR");
	std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/kel-fuzz-cfg-XXXXXX";
	if (!mkdtemp(tmpl.data()))
		abort();
	root = tmpl;
	std::filesystem::create_directory(root + "/etc");
	setenv("KEL_ROOT", root.c_str(), 1);
	conf = root + "/etc/test.conf";
	atexit([] { std::filesystem::remove_all(root); });
	return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	static const char *const keys[] = { "a", "wdt_period", "serv_addr", "#", "x y" };
	const char *key = keys[size ? data[0] % 5 : 0];
	const char *value = size > 1 && (data[1] & 1) ? "'quoted value'" : "v1";

	FILE *f = fopen(conf.c_str(), "wb");
	if (!f)
		abort();
	fwrite(data, 1, size, f);
	fclose(f);

	auto before = effective_values();
	int32_t n;
	cfg_read_int(conf.c_str(), "wdt_period", &n);
	if (cfg_write_str(conf.c_str(), key, value) != 0)
		__builtin_trap();
	if (strcmp(cfg_read_str(conf.c_str(), key, ""), value))
		__builtin_trap();

	cfg_cache_drop();
	auto after = effective_values();
	std::string want = value[0] == '\'' ? "quoted value" : value;
	if (after[key] != want)
		__builtin_trap();
	before.erase(key);
	after.erase(key);
	if (before != after)
		__builtin_trap();
	for (auto &e : std::filesystem::directory_iterator(root + "/etc"))
		if (e.path().filename() != "test.conf")
			__builtin_trap();
	cfg_cache_drop();
	return 0;
}
