// What the network management system is told without asking: faults of the
// terminal and their end, decided from the daemon's records and the
// console's intercom states as they arrive.
#pragma once

#include <bitset>
#include <chrono>
#include <cstdint>
#include <optional>
#include <vector>

#include "ic_states.h"
#include "record.h"

namespace kelsnmp {

// Each is the last number of its notification's object identifier.
enum class Alert : uint32_t {
	SupplyLost = 1,
	SupplyRestored,
	BatteryLow,
	BatteryNormal,
	SensorFailed,
	SensorRecovered,
	DispatcherLost,
	DispatcherBack,
	ModuleShorted,
	ModuleCleared,
	IntercomLost,
	IntercomBack,
	DaemonSilent,
	DaemonBack,
};

struct Event {
	Alert alert;
	unsigned index = 0;      // module or sensor from 0, intercom address
	uint8_t reset_cause = 0; // an intercom's: the last one known
	bool operator==(const Event &) const = default;
};

class Watch {
public:
	using Clock = std::chrono::steady_clock;

	// The daemon sends a record a second: this long without one, it has
	// stopped or hangs.
	static constexpr std::chrono::seconds kSilence{ 10 };
	// A daemon that has just started reports what it has not measured yet
	// (sensors not read, no dispatcher yet): what its records say in their
	// first seconds counts only if it still holds after them.
	static constexpr std::chrono::seconds kSettle{ 5 };
	// The daemon's battery fault is at most this; clear again from the
	// second, so that a battery near its limit does not raise the pair at
	// every measurement.
	static constexpr int32_t kBatteryLowMv = 9999;
	static constexpr int32_t kBatteryNormalMv = 10200;

	explicit Watch(Clock::time_point start) : last_(start) {}

	// A record that arrived at now.
	std::vector<Event> record(const TerminalRecord &r, Clock::time_point now);
	// The daemon closed the pipe: its next record begins a new run.
	void writer_gone() { new_run_ = true; }
	// Whether the daemon has fallen silent by now.
	std::vector<Event> tick(Clock::time_point now);
	// The intercoms that the console publishes now.
	std::vector<Event> intercoms(const IntercomStates &s);

private:
	// A fault: unknown until a record has been judged, then on or off as
	// last reported.
	using Condition = std::optional<bool>;
	static void judge(Condition &c, bool on, Alert raise, Alert clear, unsigned index, std::vector<Event> &out);

	Clock::time_point last_; // of the last record, or the start
	Clock::time_point settled_;
	bool silent_ = false;
	bool new_run_ = true;
	Condition supply_, battery_, dispatcher_;
	std::array<Condition, SNMP_RECORD_MODULES> modules_;
	std::array<Condition, SNMP_RECORD_TSENSORS> sensors_;
	bool intercoms_known_ = false;
	std::array<std::optional<uint8_t>, kIntercoms> present_; // reset cause of each present one
	std::bitset<kIntercoms> lost_;
};

} // namespace kelsnmp
