// The monitoring daemon's state records, as the sub-agent reads them.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "snmp_record.h"

namespace kelsnmp {

// A line module of a CIO terminal.
struct RecordModule {
	int32_t volts = 0;
	bool shorted = false;
	uint32_t mode = 0; // 0 as the board sets it, 1 two-wire, 2 four-wire
};

// An external temperature sensor of a GPIO terminal.
struct RecordSensor {
	bool error = false;
	int32_t celsius = 0;   // while not in error
	int32_t last_read = 0; // likewise
};

struct TerminalRecord {
	using Module = RecordModule;
	using Sensor = RecordSensor;

	bool cio = false;
	int32_t revision = 0;
	int32_t battery_mv = 0;
	bool supply = false;
	int32_t supply_mv = 0;
	int32_t temperature = 0;
	// CIO mode.
	bool dispatcher = false;
	int32_t module_supply = 0;
	std::string dispatchers;
	std::array<std::optional<Module>, SNMP_RECORD_MODULES> modules;
	// GPIO mode.
	std::array<std::optional<Sensor>, SNMP_RECORD_TSENSORS> sensors;

	// Boards of CIO terminals that measure neither the battery nor the
	// supply report 0 for both: a terminal that runs has one or the other.
	bool measures_power() const { return !cio || battery_mv != 0 || supply_mv != 0; }
};

// Reads one record: its lines, the first the device type. Keys that no
// daemon writes are passed over, so that a newer daemon's record is still
// read. A record that is not whole or not sound gives none, and why says
// what is wrong with it; incomplete, when given, says whether every line
// was sound and only fields are missing (lines still to come may bring
// them).
std::optional<TerminalRecord> parse_record(std::string_view text, std::string &why, bool *incomplete = nullptr);

} // namespace kelsnmp
