#include "mib_tree.h"

#include <algorithm>

#include "version.h"

namespace kelsnmp {

namespace {

// The layout of KEL-TERMINAL-MIB, below kelObjects (1).
constexpr uint32_t kObjects = 1;
namespace agent {
constexpr uint32_t group = 1, version = 1, record_state = 2, record_age = 3, taken = 4, malformed = 5;
}
namespace device {
constexpr uint32_t group = 2, revision = 1, modules = 2, sensors = 3;
}
namespace state {
constexpr uint32_t group = 3, type = 1, revision = 2, battery = 3, supply_present = 4, supply = 5, temperature = 6,
		   dispatcher = 7, module_supply = 8, dispatchers = 9;
}
namespace module {
constexpr uint32_t table = 4, volts = 2, shorted = 3, mode = 4;
}
namespace sensor {
constexpr uint32_t table = 5, value = 2, status = 3, last_read = 4;
}
namespace ic {
constexpr uint32_t group = 6, states = 1, call = 2, count = 3, table = 4, call_button = 2, input1 = 3, input2 = 4,
		   relay = 5, pulses = 6, audio = 7, pending = 8, reset_cause = 9, test_result = 10, test_age = 11;
}

enum RecordState { kFresh = 1, kStale = 2, kNone = 3 };
enum StatesState { kStatesPublished = 1, kStatesNone = 2, kStatesUnreadable = 3 };

Oid scalar(uint32_t group, uint32_t item)
{
	return { kObjects, group, item, 0 };
}

Oid module_column(uint32_t column, unsigned i)
{
	return { kObjects, module::table, 1, column, i + 1 };
}

Oid sensor_column(uint32_t column, unsigned i)
{
	return { kObjects, sensor::table, 1, column, i + 1 };
}

Oid intercom_column(uint32_t column, unsigned address)
{
	return { kObjects, ic::group, ic::table, 1, column, address };
}

Value integer(int64_t n)
{
	return { Value::Type::Integer, n, {} };
}

Value gauge(int64_t n)
{
	return { Value::Type::Gauge, n, {} };
}

Value counter(int64_t n)
{
	return { Value::Type::Counter, n, {} };
}

Value text(std::string s)
{
	return { Value::Type::Text, 0, std::move(s) };
}

// TruthValue.
Value truth(bool b)
{
	return integer(b ? 1 : 2);
}

int64_t seconds(Clock::duration d)
{
	return std::max<int64_t>(0, std::chrono::duration_cast<std::chrono::seconds>(d).count());
}

// The record, while it is current.
const TerminalRecord *current(const TerminalView &v, Clock::time_point now)
{
	return v.record && v.record_at && now - *v.record_at < Watch::kSilence ? &*v.record : nullptr;
}

RecordState record_state(const TerminalView &v, Clock::time_point now)
{
	return !v.record_at ? kNone : current(v, now) ? kFresh : kStale;
}

void add_agent(std::vector<Instance> &out, const TerminalView &v, Clock::time_point now)
{
	out.push_back({ scalar(agent::group, agent::version), text(KEL_VERSION) });
	out.push_back({ scalar(agent::group, agent::record_state), integer(record_state(v, now)) });
	if (v.record_at)
		out.push_back({ scalar(agent::group, agent::record_age), gauge(seconds(now - *v.record_at)) });
	out.push_back({ scalar(agent::group, agent::taken), counter(v.taken) });
	out.push_back({ scalar(agent::group, agent::malformed), counter(v.malformed) });
	if (v.revision)
		out.push_back({ scalar(device::group, device::revision), integer(*v.revision) });
	if (v.modules)
		out.push_back({ scalar(device::group, device::modules), integer(*v.modules) });
	if (v.sensors)
		out.push_back({ scalar(device::group, device::sensors), integer(*v.sensors) });
}

void add_record(std::vector<Instance> &out, const TerminalRecord &r)
{
	out.push_back({ scalar(state::group, state::type), integer(r.cio ? 2 : 1) });
	out.push_back({ scalar(state::group, state::revision), integer(r.revision) });
	out.push_back({ scalar(state::group, state::battery), integer(r.battery_mv) });
	out.push_back({ scalar(state::group, state::supply_present), truth(r.supply) });
	out.push_back({ scalar(state::group, state::supply), integer(r.supply_mv) });
	out.push_back({ scalar(state::group, state::temperature), integer(r.temperature) });
	if (r.cio) {
		out.push_back({ scalar(state::group, state::dispatcher), truth(r.dispatcher) });
		out.push_back({ scalar(state::group, state::module_supply), integer(r.module_supply) });
		out.push_back({ scalar(state::group, state::dispatchers), text(r.dispatchers) });
	}
	for (unsigned i = 0; i < r.modules.size(); i++) {
		if (!r.modules[i])
			continue;
		const auto &m = *r.modules[i];
		out.push_back({ module_column(module::volts, i), integer(m.volts) });
		out.push_back({ module_column(module::shorted, i), truth(m.shorted) });
		out.push_back({ module_column(module::mode, i), integer(m.mode + 1) });
	}
	for (unsigned i = 0; i < r.sensors.size(); i++) {
		if (!r.sensors[i])
			continue;
		const auto &s = *r.sensors[i];
		if (!s.error)
			out.push_back({ sensor_column(sensor::value, i), integer(s.celsius) });
		out.push_back({ sensor_column(sensor::status, i), integer(s.error ? 2 : 1) });
		if (!s.error)
			out.push_back({ sensor_column(sensor::last_read, i), integer(s.last_read) });
	}
}

unsigned intercom_count(const IntercomStates &s)
{
	return (unsigned)std::count_if(s.units.begin(), s.units.end(), [](const auto &u) { return u.has_value(); });
}

void add_intercoms(std::vector<Instance> &out, const TerminalView &v, Clock::time_point now)
{
	const int states = v.states == TerminalView::States::Published	? kStatesPublished
			   : v.states == TerminalView::States::None ? kStatesNone
								    : kStatesUnreadable;
	out.push_back({ scalar(ic::group, ic::states), integer(states) });
	if (v.states != TerminalView::States::Published)
		return;
	const IntercomStates &s = v.intercoms;
	if (s.call)
		out.push_back({ scalar(ic::group, ic::call), integer(*s.call + 1) });
	out.push_back({ scalar(ic::group, ic::count), gauge(intercom_count(s)) });
	for (unsigned a = 0; a < kIntercoms; a++) {
		if (!s.units[a])
			continue;
		const auto &u = *s.units[a];
		out.push_back({ intercom_column(ic::call_button, a), truth(u.call_button) });
		out.push_back({ intercom_column(ic::input1, a), truth(u.input1) });
		out.push_back({ intercom_column(ic::input2, a), truth(u.input2) });
		out.push_back({ intercom_column(ic::relay, a), truth(u.relay) });
		out.push_back({ intercom_column(ic::pulses, a), truth(u.pulses) });
		out.push_back({ intercom_column(ic::audio, a), truth(u.audio) });
		out.push_back({ intercom_column(ic::pending, a), truth(u.pending) });
		out.push_back({ intercom_column(ic::reset_cause, a), integer(u.reset_cause) });
		if (const auto &t = s.tests[a]) {
			out.push_back({ intercom_column(ic::test_result, a), integer(t->result) });
			out.push_back({ intercom_column(ic::test_age, a),
					gauge((int64_t)t->age + seconds(now - v.intercoms_written)) });
		}
	}
}

} // namespace

std::vector<Instance> instances(const TerminalView &v, Clock::time_point now)
{
	std::vector<Instance> out;

	add_agent(out, v, now);
	if (const TerminalRecord *r = current(v, now))
		add_record(out, *r);
	add_intercoms(out, v, now);
	std::sort(out.begin(), out.end(), [](const Instance &a, const Instance &b) { return a.oid < b.oid; });
	return out;
}

bool names_object(const Oid &oid)
{
	// The objects: below a parent, those numbered first to last.
	static const struct {
		Oid parent;
		uint32_t first, last;
	} families[] = {
		{ { kObjects, agent::group }, agent::version, agent::malformed },
		{ { kObjects, device::group }, device::revision, device::sensors },
		{ { kObjects, state::group }, state::type, state::dispatchers },
		{ { kObjects, module::table, 1 }, module::volts, module::mode },
		{ { kObjects, sensor::table, 1 }, sensor::value, sensor::last_read },
		{ { kObjects, ic::group }, ic::states, ic::count },
		{ { kObjects, ic::group, ic::table, 1 }, ic::call_button, ic::test_age },
	};
	for (const auto &f : families) {
		const size_t n = f.parent.size();
		if (oid.size() > n + 1 && std::equal(f.parent.begin(), f.parent.end(), oid.begin()) &&
		    oid[n] >= f.first && oid[n] <= f.last)
			return true;
	}
	return false;
}

Oid notification_oid(Alert alert)
{
	return { 0, static_cast<uint32_t>(alert) };
}

std::vector<Instance> notification_objects(const Event &e, const TerminalView &v, Clock::time_point now)
{
	std::vector<Instance> all = instances(v, now);
	auto find = [&](const Oid &oid) {
		auto it = std::lower_bound(all.begin(), all.end(), oid,
					   [](const Instance &i, const Oid &o) { return i.oid < o; });
		return it != all.end() && it->oid == oid ? std::optional<Instance>(*it) : std::nullopt;
	};
	std::vector<Oid> objects;

	switch (e.alert) {
	case Alert::SupplyLost:
	case Alert::SupplyRestored:
		objects = { scalar(state::group, state::supply), scalar(state::group, state::battery) };
		break;
	case Alert::BatteryLow:
	case Alert::BatteryNormal:
		objects = { scalar(state::group, state::battery), scalar(state::group, state::supply) };
		break;
	case Alert::SensorFailed:
		objects = { sensor_column(sensor::status, e.index) };
		break;
	case Alert::SensorRecovered:
		objects = { sensor_column(sensor::status, e.index), sensor_column(sensor::value, e.index) };
		break;
	case Alert::DispatcherLost:
	case Alert::DispatcherBack:
		objects = { scalar(state::group, state::dispatcher), scalar(state::group, state::dispatchers) };
		break;
	case Alert::ModuleShorted:
	case Alert::ModuleCleared:
		objects = { module_column(module::shorted, e.index), module_column(module::volts, e.index) };
		break;
	case Alert::IntercomLost:
	case Alert::IntercomBack: {
		// A lost intercom has no row any more: its last cause is the
		// event's.
		std::vector<Instance> out = { { intercom_column(ic::reset_cause, e.index), integer(e.reset_cause) } };
		if (auto count = find(scalar(ic::group, ic::count)))
			out.push_back(*count);
		return out;
	}
	case Alert::DaemonSilent:
		objects = { scalar(agent::group, agent::record_state), scalar(agent::group, agent::record_age) };
		break;
	case Alert::DaemonBack:
		objects = { scalar(agent::group, agent::record_state), scalar(state::group, state::type) };
		break;
	}
	std::vector<Instance> out;
	for (const Oid &oid : objects)
		if (auto i = find(oid))
			out.push_back(std::move(*i));
	return out;
}

} // namespace kelsnmp
