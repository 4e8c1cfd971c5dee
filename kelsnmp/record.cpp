#include "record.h"

#include <charconv>
#include <set>

namespace kelsnmp {

namespace {

enum class Field {
	Devtype,
	Devrev,
	Batt,
	Auxpwr,
	Auxvol,
	Temp,
	DispConn,
	ModSupply,
	DispAddr,
	ModVol,
	ModSc,
	ModMode,
	Etemp,
	EtempLr,
	EtempErr,
};

struct Key {
	const char *name;
	Field field;
	bool indexed;
};

constexpr Key kKeys[] = {
	{ SNMP_KEY_DEVTYPE, Field::Devtype, false },	 { SNMP_KEY_DEVREV, Field::Devrev, false },
	{ SNMP_KEY_BATT, Field::Batt, false },		 { SNMP_KEY_AUXPWR, Field::Auxpwr, false },
	{ SNMP_KEY_AUXVOL, Field::Auxvol, false },	 { SNMP_KEY_TEMP, Field::Temp, false },
	{ SNMP_KEY_DISP_CONN, Field::DispConn, false },	 { SNMP_KEY_MOD_SUPPLY, Field::ModSupply, false },
	{ SNMP_KEY_DISP_ADDR, Field::DispAddr, false },	 { SNMP_KEY_MOD_VOL, Field::ModVol, true },
	{ SNMP_KEY_MOD_SC, Field::ModSc, true },	 { SNMP_KEY_MOD_MODE, Field::ModMode, true },
	{ SNMP_KEY_ETEMP, Field::Etemp, true },		 { SNMP_KEY_ETEMP_LR, Field::EtempLr, true },
	{ SNMP_KEY_ETEMP_ERR, Field::EtempErr, true },
};

// Bits of the fields seen, by field.
constexpr unsigned bit(Field f) { return 1u << static_cast<unsigned>(f); }
constexpr unsigned kGeneral = bit(Field::Devtype) | bit(Field::Devrev) | bit(Field::Batt) | bit(Field::Auxpwr) |
			      bit(Field::Auxvol) | bit(Field::Temp);
constexpr unsigned kCio = bit(Field::DispConn) | bit(Field::ModSupply) | bit(Field::DispAddr);
constexpr unsigned kModule = bit(Field::ModVol) | bit(Field::ModSc) | bit(Field::ModMode);
constexpr unsigned kSensor = bit(Field::Etemp) | bit(Field::EtempLr) | bit(Field::EtempErr);

// The daemon writes plain decimal numbers; anything else is no number of
// its.
bool decimal(std::string_view text, int32_t &out)
{
	const char *end = text.data() + text.size();
	auto [p, ec] = std::from_chars(text.data(), end, out);
	return !text.empty() && ec == std::errc() && p == end;
}

// The key's name and its number (-1 without one).
std::string_view split_key(std::string_view key, long &index)
{
	size_t digits = key.size();
	while (digits > 0 && key[digits - 1] >= '0' && key[digits - 1] <= '9')
		digits--;
	index = -1;
	if (digits < key.size()) {
		int32_t n;
		// No leading zeros, and a name in front.
		if (digits == 0 || (key.size() - digits > 1 && key[digits] == '0') || !decimal(key.substr(digits), n))
			index = -2;
		else
			index = n;
	}
	return key.substr(0, digits);
}

template <class T> T &slot(std::optional<T> &o)
{
	return o ? *o : o.emplace();
}

const Key *find_key(std::string_view name, bool indexed)
{
	for (const Key &k : kKeys)
		if (name == k.name && k.indexed == indexed)
			return &k;
	return nullptr;
}

} // namespace

std::optional<TerminalRecord> parse_record(std::string_view text, std::string &why, bool *incomplete)
{
	TerminalRecord r;
	unsigned seen = 0;
	std::array<unsigned, SNMP_RECORD_MODULES> module_seen{};
	std::array<unsigned, SNMP_RECORD_TSENSORS> sensor_seen{};
	std::set<std::string_view> keys;
	bool first = true;

	auto fail = [&](std::string text) {
		why = std::move(text);
		return std::nullopt;
	};
	// Every line is sound from here on: only fields may be missing.
	auto lacking = [&](std::string text) {
		if (incomplete)
			*incomplete = true;
		return fail(std::move(text));
	};
	if (incomplete)
		*incomplete = false;
	if (text.empty() || text.back() != '\n')
		return lacking("no whole line at its end");
	text.remove_suffix(1);
	for (size_t start = 0; start <= text.size();) {
		size_t end = text.find('\n', start);
		if (end == std::string_view::npos)
			end = text.size();
		const std::string_view line = text.substr(start, end - start);
		start = end + 1;

		const size_t eq = line.find('=');
		if (eq == std::string_view::npos)
			return fail("a line without \"=\": \"" + std::string(line) + "\"");
		const std::string_view key = line.substr(0, eq), value = line.substr(eq + 1);
		if (!keys.insert(key).second)
			return fail(std::string(key) + " twice");
		long index;
		const std::string_view name = split_key(key, index);
		const Key *k = index >= -1 ? find_key(name, index >= 0) : nullptr;
		if (first && (!k || k->field != Field::Devtype))
			return fail("it does not begin with " SNMP_KEY_DEVTYPE);
		first = false;
		if (!k)
			continue;
		const Field f = k->field;
		int32_t n = 0;
		if (f != Field::Devtype && f != Field::DispAddr && !decimal(value, n))
			return fail(std::string(key) + " is no number: \"" + std::string(value) + "\"");
		const bool flag = f == Field::Auxpwr || f == Field::DispConn || f == Field::ModSc;
		if (flag && n != 0 && n != 1)
			return fail(std::string(key) + "=" + std::string(value) + " is neither 0 nor 1");
		if (k->indexed) {
			const bool module = bit(f) & kModule;
			const size_t count = module ? r.modules.size() : r.sensors.size();
			if ((size_t)index >= count)
				return fail(std::string(key) + ": no such " + (module ? "module" : "sensor"));
			(module ? module_seen[index] : sensor_seen[index]) |= bit(f);
		}
		seen |= bit(f);
		switch (f) {
		case Field::Devtype:
			if (value != SNMP_DEVTYPE_GPIO && value != SNMP_DEVTYPE_CIO)
				return fail("unknown device type \"" + std::string(value) + "\"");
			r.cio = value == SNMP_DEVTYPE_CIO;
			break;
		case Field::Devrev:
			r.revision = n;
			break;
		case Field::Batt:
			r.battery_mv = n;
			break;
		case Field::Auxpwr:
			r.supply = n;
			break;
		case Field::Auxvol:
			r.supply_mv = n;
			break;
		case Field::Temp:
			r.temperature = n;
			break;
		case Field::DispConn:
			r.dispatcher = n;
			break;
		case Field::ModSupply:
			r.module_supply = n;
			break;
		case Field::DispAddr:
			r.dispatchers = value;
			break;
		case Field::ModVol:
			slot(r.modules[index]).volts = n;
			break;
		case Field::ModSc:
			slot(r.modules[index]).shorted = n;
			break;
		case Field::ModMode:
			if (n < 0 || n > 2)
				return fail(std::string(key) + "=" + std::string(value) + ": no such mode");
			slot(r.modules[index]).mode = (uint32_t)n;
			break;
		case Field::Etemp:
			slot(r.sensors[index]).celsius = n;
			break;
		case Field::EtempLr:
			slot(r.sensors[index]).last_read = n;
			break;
		case Field::EtempErr:
			if (n != 0 && n != -1)
				return fail(std::string(key) + "=" + std::string(value) + " is neither 0 nor -1");
			slot(r.sensors[index]).error = n != 0;
			break;
		}
	}
	if (r.cio ? (seen & kSensor) : (seen & (kCio | kModule)))
		return fail(std::string("fields of the other mode in a record of a ") + (r.cio ? "CIO" : "GPIO") +
			    " terminal");
	if ((seen & kGeneral) != kGeneral)
		return lacking("a field of every record is missing");
	if (r.cio && (seen & kCio) != kCio)
		return lacking("a field of every CIO record is missing");
	for (size_t i = 0; i < module_seen.size(); i++)
		if (module_seen[i] && module_seen[i] != kModule)
			return lacking("module " + std::to_string(i) + " lacks a field");
	for (size_t i = 0; i < sensor_seen.size(); i++) {
		const unsigned need = r.sensors[i] && !r.sensors[i]->error ? kSensor : bit(Field::EtempErr);
		if (sensor_seen[i] && (sensor_seen[i] & need) != need)
			return lacking("sensor " + std::to_string(i) + " lacks a field");
	}
	return r;
}

} // namespace kelsnmp
