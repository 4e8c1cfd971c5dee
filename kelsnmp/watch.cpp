#include "watch.h"

namespace kelsnmp {

void Watch::judge(Condition &c, bool on, Alert raise, Alert clear, unsigned index, std::vector<Event> &out)
{
	// A fault already there when the sub-agent starts is news too; its
	// absence is not.
	if (c == on || (!c && !on)) {
		c = on;
		return;
	}
	c = on;
	out.push_back({ on ? raise : clear, index });
}

std::vector<Event> Watch::record(const TerminalRecord &r, Clock::time_point now)
{
	std::vector<Event> out;

	if (silent_) {
		silent_ = false;
		new_run_ = true; // a restart, perhaps
		out.push_back({ Alert::DaemonBack });
	}
	last_ = now;
	if (new_run_) {
		new_run_ = false;
		settled_ = now + kSettle;
	}
	if (now < settled_)
		return out;
	if (r.measures_power()) {
		judge(supply_, !r.supply, Alert::SupplyLost, Alert::SupplyRestored, 0, out);
		const bool low = battery_.value_or(false) ? r.battery_mv < kBatteryNormalMv : r.battery_mv <= kBatteryLowMv;
		judge(battery_, low, Alert::BatteryLow, Alert::BatteryNormal, 0, out);
	}
	if (r.cio)
		judge(dispatcher_, !r.dispatcher, Alert::DispatcherLost, Alert::DispatcherBack, 0, out);
	for (unsigned i = 0; i < modules_.size(); i++)
		if (r.modules[i])
			judge(modules_[i], r.modules[i]->shorted, Alert::ModuleShorted, Alert::ModuleCleared, i, out);
	for (unsigned i = 0; i < sensors_.size(); i++)
		if (r.sensors[i])
			judge(sensors_[i], r.sensors[i]->error, Alert::SensorFailed, Alert::SensorRecovered, i, out);
	return out;
}

std::vector<Event> Watch::tick(Clock::time_point now)
{
	if (silent_ || now - last_ < kSilence)
		return {};
	silent_ = true;
	return { { Alert::DaemonSilent } };
}

std::vector<Event> Watch::intercoms(const IntercomStates &s)
{
	std::vector<Event> out;

	// The first states seen are how things are: those missing then were
	// never seen, and are not missed.
	for (unsigned a = 0; a < kIntercoms; a++) {
		const auto &unit = s.units[a];
		std::optional<uint8_t> &was = present_[a];
		if (intercoms_known_ && was && !unit) {
			out.push_back({ Alert::IntercomLost, a, *was });
			lost_.set(a);
		} else if (unit && lost_[a]) {
			out.push_back({ Alert::IntercomBack, a, unit->reset_cause });
			lost_.reset(a);
		}
		was = unit ? std::optional<uint8_t>(unit->reset_cause) : std::nullopt;
	}
	intercoms_known_ = true;
	return out;
}

} // namespace kelsnmp
