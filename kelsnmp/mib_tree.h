// The sub-agent's part of the MIB (KEL-TERMINAL-MIB): what it knows of the
// terminal, as the object instances it serves and the objects each
// notification carries. Object identifiers here are below kelTerminalMIB.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "ic_states.h"
#include "record.h"
#include "watch.h"

namespace kelsnmp {

using Clock = std::chrono::steady_clock;
using Oid = std::vector<uint32_t>;

struct Value {
	enum class Type { Integer, Gauge, Counter, Text };
	Type type = Type::Integer;
	int64_t number = 0;
	std::string text;
	bool operator==(const Value &) const = default;
};

struct Instance {
	Oid oid;
	Value value;
};

// Everything the sub-agent knows, and since when.
struct TerminalView {
	enum class States { Published, None, Unreadable };

	// /etc/device.conf and /etc/velta-snmp.conf.
	std::optional<int32_t> revision, modules, sensors;
	// The daemon's last record.
	std::optional<TerminalRecord> record;
	std::optional<Clock::time_point> record_at;
	uint32_t taken = 0, malformed = 0;
	// The console's states file.
	States states = States::None;
	IntercomStates intercoms;
	Clock::time_point intercoms_written; // when the console wrote them
};

// Every instance there is now, in the order of their identifiers.
std::vector<Instance> instances(const TerminalView &v, Clock::time_point now);

// Whether the identifier lies within an object of the module: a missing
// instance of it is noSuchInstance rather than noSuchObject.
bool names_object(const Oid &oid);

// The identifier of the notification, and the objects it carries.
Oid notification_oid(Alert alert);
std::vector<Instance> notification_objects(const Event &e, const TerminalView &v, Clock::time_point now);

} // namespace kelsnmp
