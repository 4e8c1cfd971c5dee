// The SNMP sub-agent's reading of the daemon's records and the console's
// states, and what it decides to notify.
#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "cfg.h"
#include "ic_states.h"
#include "mib_tree.h"
#include "record.h"
#include "record_pipe.h"
#include "snmp_pipe.h"
#include "terminal.h"
#include "tmpdir.h"
#include "watch.h"

using namespace kelsnmp;
using namespace std::chrono_literals;

namespace {

const std::string kGpioRecord = "devtype=kel\ndevrev=5\nbatt=13250\nauxpwr=1\nauxvol=12345\ntemp=40\n"
				"etemp0=21\netemp_lr0=1\netemp_err0=0\netemp_err1=-1\n";
const std::string kCioRecord = "devtype=cio\ndevrev=2\nbatt=0\nauxpwr=0\nauxvol=0\ntemp=42\n"
			       "disp_conn=1\nmod_supply=24\ndisp_addr=a,b\n"
			       "mod_vol0=48\nmod_sc0=0\nmod_mode0=0\nmod_vol1=12\nmod_sc1=1\nmod_mode1=2\n";

TerminalRecord parse(const std::string &text)
{
	std::string why;
	auto r = parse_record(text, why);
	EXPECT_TRUE(r) << why << "\n" << text;
	return r.value_or(TerminalRecord{});
}

// The daemon's own writer, through a pipe, into the sub-agent's reader:
// every value arrives where the sub-agent serves it.
class RoundTrip : public SnmpPipe {
protected:
	void SetUp() override
	{
		SnmpPipe::SetUp();
		agent();
		s.vbatt = 9870;
		s.vpsu = 5.25;
		s.temperature = -7;
	}

	// What one call of the worker writes, assembled as the pipe's reader
	// does.
	TerminalRecord written(bool disp_connected)
	{
		snmp_close(); // the next record is due at once
		EXPECT_EQ(snmp_worker(disp_connected), 0);
		const std::string text = record();
		EXPECT_FALSE(text.empty());
		RecordAssembler records;
		CommandLines lines(RecordPipe::kMaxLine, CommandLines::Ends::Newline);
		lines.feed(text.data(), text.size(), CommandLines::Clock::now(),
			   [&](std::string_view line) { records.line(line); });
		std::vector<PipeItem> items;
		records.pause(items);
		EXPECT_EQ(items.size(), 1u);
		if (items.size() != 1)
			return {};
		EXPECT_EQ(items[0].kind, PipeItem::Kind::Record);
		return parse(items[0].text);
	}
};

TEST_F(RoundTrip, GpioRecord)
{
	ASSERT_EQ(snmp_write_cfg(0, 2), 0);
	s.inputs_valid = 1;
	s.num_tsensors = 2;
	s.temp_mask = 2;
	s.temp_sensors[0] = 30;
	s.temp_sensors[1] = -12.9;

	TerminalRecord r = written(true);
	EXPECT_FALSE(r.cio);
	EXPECT_EQ(r.revision, 5);
	EXPECT_EQ(r.battery_mv, 9870);
	EXPECT_FALSE(r.supply);
	EXPECT_EQ(r.supply_mv, 5250);
	EXPECT_EQ(r.temperature, -7);
	ASSERT_TRUE(r.sensors[0] && r.sensors[1]);
	EXPECT_TRUE(r.sensors[0]->error);
	EXPECT_FALSE(r.sensors[1]->error);
	EXPECT_EQ(r.sensors[1]->celsius, -12);
	EXPECT_EQ(r.sensors[1]->last_read, 1);
	EXPECT_TRUE(std::none_of(r.modules.begin(), r.modules.end(), [](auto &m) { return m.has_value(); }));

	// The static description, through the sub-agent's reading of it.
	Terminal t(Clock::now());
	t.refresh(Clock::now());
	EXPECT_EQ(t.view().modules, 0);
	EXPECT_EQ(t.view().sensors, 2);
	EXPECT_EQ(t.view().revision, 5);
}

TEST_F(RoundTrip, CioRecordWithEveryModule)
{
	static_assert(sizeof(s.mod_vol) / sizeof(s.mod_vol[0]) == SNMP_RECORD_MODULES);
	static_assert(sizeof(s.temp_sensors) / sizeof(s.temp_sensors[0]) == SNMP_RECORD_TSENSORS);
	dir.write("etc/device.conf", "cio=1\nrevision=3\n");
	ASSERT_EQ(snmp_write_cfg(8, 0), 0);
	s.cio_inputs_valid = 1;
	s.vpsu = 13.5;
	s.mod_supply = 27;
	s.mod_num = 8;
	s.mod_override = 1;
	s.mod_modes = 0x81;
	for (int i = 0; i < 8; i++)
		s.mod_vol[i] = 15 + 2 * i;
	const char list[] = "\0disp1.example\0\0disp2\0";
	memcpy(s.addr_server, list, sizeof(list));
	s.addr_len = sizeof(list) - 2;

	TerminalRecord r = written(false);
	EXPECT_TRUE(r.cio);
	EXPECT_EQ(r.revision, 3);
	EXPECT_TRUE(r.supply);
	EXPECT_EQ(r.supply_mv, 13500);
	EXPECT_FALSE(r.dispatcher);
	EXPECT_EQ(r.module_supply, 27);
	EXPECT_EQ(r.dispatchers, "disp1.example,disp2");
	for (unsigned i = 0; i < 8; i++) {
		ASSERT_TRUE(r.modules[i]) << i;
		EXPECT_EQ(r.modules[i]->volts, (int)(15 + 2 * i));
		EXPECT_EQ(r.modules[i]->shorted, 15 + 2 * i < 22) << i;
		EXPECT_EQ(r.modules[i]->mode, i == 0 || i == 7 ? 2u : 1u) << i;
	}
	s.mod_override = 0;
	r = written(true);
	EXPECT_TRUE(r.dispatcher);
	ASSERT_TRUE(r.modules[7]);
	EXPECT_EQ(r.modules[7]->mode, 0u);
}

// Whatever else reaches the pipe is no record, and says why.
TEST(Record, WhatIsNoRecord)
{
	const std::string general = "devtype=kel\ndevrev=5\nbatt=1\nauxpwr=1\nauxvol=1\ntemp=1\n";
	const struct {
		std::string text, why;
	} cases[] = {
		{ "devrev=5\n" + general, "does not begin with devtype" },
		{ "devtype=kel\ndevrev=5\n", "missing" },
		{ general.substr(0, general.size() - 1), "no whole line" },
		{ general + "etemp_err0=0\n", "sensor 0 lacks" },
		{ general + "etemp_err2=-1\n", "no such sensor" },
		{ general + "etemp_err0=1\n", "neither 0 nor -1" },
		{ general + "mod_vol0=3\nmod_sc0=0\nmod_mode0=0\n", "other mode" },
		{ general + "batt=2\n", "batt twice" },
		{ "devtype=kel\ndevrev=0x5\nbatt=1\nauxpwr=1\nauxvol=1\ntemp=1\n", "no number" },
		{ "devtype=kel\ndevrev=5\nbatt=1 \nauxpwr=1\nauxvol=1\ntemp=1\n", "no number" },
		{ "devtype=kel\ndevrev=5\nbatt=1\nauxpwr=2\nauxvol=1\ntemp=1\n", "neither 0 nor 1" },
		{ "devtype=vgd\ndevrev=5\nbatt=1\nauxpwr=1\nauxvol=1\ntemp=1\n", "unknown device type" },
		{ general + "\n", "without \"=\"" },
		{ kCioRecord + "mod_vol8=1\nmod_sc8=0\nmod_mode8=0\n", "no such module" },
		{ kCioRecord + "mod_vol2=1\nmod_sc2=0\n", "module 2 lacks" },
		{ kCioRecord + "mod_vol2=1\nmod_sc2=0\nmod_mode2=3\n", "no such mode" },
		{ kCioRecord + "etemp_err0=-1\n", "other mode" },
		{ "devtype=cio\ndevrev=2\nbatt=0\nauxpwr=0\nauxvol=0\ntemp=42\n", "every CIO record" },
	};
	for (const auto &c : cases) {
		std::string why;
		bool incomplete = true;
		EXPECT_FALSE(parse_record(c.text, why, &incomplete)) << c.text;
		EXPECT_NE(why.find(c.why), std::string::npos) << why;
		// Only fields missing: the rest of the record may still come.
		EXPECT_EQ(incomplete, c.why == "missing" || c.why == "no whole line" || c.why.ends_with(" lacks") ||
					      c.why == "every CIO record")
			<< c.text;
	}
	// A newer daemon's key is passed over; numbered keys of the other kind
	// too.
	TerminalRecord r = parse(general + "vbatt_min=7\nbatt2=1\nmod_vol=3\n");
	EXPECT_EQ(r.battery_mv, 1);
	EXPECT_EQ(parse(kCioRecord).dispatchers, "a,b");
}

// Records as the daemon writes them: several writes each, one a second.
TEST(RecordAssembler, RecordsFragmentsAndLateLines)
{
	RecordAssembler a;
	std::vector<PipeItem> out;
	auto expect = [&](size_t i, PipeItem::Kind kind, const std::string &text, bool again, bool final) {
		ASSERT_LT(i, out.size());
		EXPECT_EQ(out[i].kind, kind) << i;
		EXPECT_EQ(out[i].text, text) << i;
		EXPECT_EQ(out[i].again, again) << i;
		EXPECT_EQ(out[i].final, final) << i;
	};

	a.line("mod_sc3=0"); // the tail of a record from before our time
	a.line("devtype=kel");
	a.line("devrev=5");
	EXPECT_TRUE(a.pending());
	a.pause(out);
	ASSERT_EQ(out.size(), 2u);
	expect(0, PipeItem::Kind::Fragment, "mod_sc3=0\n", false, true);
	expect(1, PipeItem::Kind::Record, "devtype=kel\ndevrev=5\n", false, false);
	EXPECT_FALSE(a.pending());
	out.clear();
	a.pause(out);
	EXPECT_TRUE(out.empty());

	// Lines after a pause still belong to the record: it is handed again,
	// and once more, whole, when the next one begins.
	a.line("batt=1");
	a.pause(out);
	ASSERT_EQ(out.size(), 1u);
	expect(0, PipeItem::Kind::Record, "devtype=kel\ndevrev=5\nbatt=1\n", true, false);
	out.clear();
	a.line("devtype=cio");
	a.overlong();
	a.line("devtype=kel");
	a.line("temp=3");
	a.end(out);
	ASSERT_EQ(out.size(), 3u);
	expect(0, PipeItem::Kind::Record, "devtype=kel\ndevrev=5\nbatt=1\n", true, true);
	expect(1, PipeItem::Kind::Record, "devtype=cio\n", false, true);
	EXPECT_TRUE(out[1].overlong);
	expect(2, PipeItem::Kind::Record, "devtype=kel\ntemp=3\n", false, true);
	EXPECT_FALSE(out[2].overlong);

	// After the writer's end, lines begin no record until a device type.
	out.clear();
	a.line("temp=4");
	a.pause(out);
	ASSERT_EQ(out.size(), 1u);
	expect(0, PipeItem::Kind::Fragment, "temp=4\n", false, true);

	// A writer that never stops is not kept in memory.
	out.clear();
	a.line("devtype=kel");
	for (int i = 0; i < 5000; i++)
		a.line("temp=123456");
	a.pause(out);
	ASSERT_EQ(out.size(), 1u);
	EXPECT_TRUE(out[0].overlong);
	EXPECT_LE(out[0].text.size(), RecordAssembler::kMaxRecord);
}

std::vector<Alert> alerts(const std::vector<Event> &events)
{
	std::vector<Alert> out;
	for (const Event &e : events)
		out.push_back(e.alert);
	return out;
}

TEST(Watch, SupplyBatteryAndTheDaemonsFirstSeconds)
{
	const auto t0 = Clock::now();
	Watch w(t0);
	TerminalRecord r = parse(kGpioRecord);

	// What a daemon's first seconds say waits: a sensor not read yet, a
	// supply that comes.
	r.supply = false;
	EXPECT_EQ(alerts(w.record(r, t0)), std::vector<Alert>{});
	r.supply = true;
	EXPECT_EQ(alerts(w.record(r, t0 + 4s)), std::vector<Alert>{});
	// Then what is wrong is news, what is fine is not.
	EXPECT_EQ(alerts(w.record(r, t0 + 5s)), std::vector<Alert>{ Alert::SensorFailed });
	EXPECT_EQ(alerts(w.record(r, t0 + 6s)), std::vector<Alert>{});

	r.supply = false;
	EXPECT_EQ(alerts(w.record(r, t0 + 7s)), std::vector<Alert>{ Alert::SupplyLost });
	EXPECT_EQ(alerts(w.record(r, t0 + 8s)), std::vector<Alert>{});
	r.supply = true;
	EXPECT_EQ(alerts(w.record(r, t0 + 9s)), std::vector<Alert>{ Alert::SupplyRestored });

	// The battery's fault, and its end only well clear of the limit.
	r.battery_mv = 9999;
	EXPECT_EQ(alerts(w.record(r, t0 + 10s)), std::vector<Alert>{ Alert::BatteryLow });
	r.battery_mv = 10100;
	EXPECT_EQ(alerts(w.record(r, t0 + 11s)), std::vector<Alert>{});
	r.battery_mv = 10200;
	EXPECT_EQ(alerts(w.record(r, t0 + 12s)), std::vector<Alert>{ Alert::BatteryNormal });
	r.battery_mv = 10000;
	EXPECT_EQ(alerts(w.record(r, t0 + 13s)), std::vector<Alert>{});

	// The sensor's recovery names it.
	r.sensors[1] = TerminalRecord::Sensor{ false, 20, 1 };
	auto events = w.record(r, t0 + 14s);
	ASSERT_EQ(events.size(), 1u);
	EXPECT_EQ(events[0], (Event{ Alert::SensorRecovered, 1 }));

	// A restarted daemon gets its first seconds again; the state before
	// is kept, so a quick restart says nothing.
	w.writer_gone();
	r.sensors[1]->error = true;
	r.supply = false;
	EXPECT_EQ(alerts(w.record(r, t0 + 15s)), std::vector<Alert>{});
	r.sensors[1]->error = false;
	r.supply = true;
	EXPECT_EQ(alerts(w.record(r, t0 + 20s)), std::vector<Alert>{});
}

TEST(Watch, SilenceAndTheDaemonsReturn)
{
	const auto t0 = Clock::now();
	Watch w(t0);
	TerminalRecord r = parse(kGpioRecord);
	r.sensors[1].reset();

	// None since the start counts too.
	EXPECT_EQ(alerts(w.tick(t0 + 9s)), std::vector<Alert>{});
	EXPECT_EQ(alerts(w.tick(t0 + 10s)), std::vector<Alert>{ Alert::DaemonSilent });
	EXPECT_EQ(alerts(w.tick(t0 + 11s)), std::vector<Alert>{});
	EXPECT_EQ(alerts(w.record(r, t0 + 12s)), std::vector<Alert>{ Alert::DaemonBack });
	EXPECT_EQ(alerts(w.record(r, t0 + 17s)), std::vector<Alert>{});
	EXPECT_EQ(alerts(w.tick(t0 + 26s)), std::vector<Alert>{});
	EXPECT_EQ(alerts(w.tick(t0 + 27s)), std::vector<Alert>{ Alert::DaemonSilent });
	// The daemon that comes back may be a new one: its first seconds wait.
	r.supply = false;
	EXPECT_EQ(alerts(w.record(r, t0 + 30s)), std::vector<Alert>{ Alert::DaemonBack });
	EXPECT_EQ(alerts(w.record(r, t0 + 35s)), std::vector<Alert>{ Alert::SupplyLost });
}

TEST(Watch, CioDispatcherModulesAndUnmeasuredPower)
{
	const auto t0 = Clock::now();
	Watch w(t0);
	TerminalRecord r = parse(kCioRecord);

	// A board that measures neither battery nor supply reports 0 for both:
	// no fault of either.
	EXPECT_EQ(w.record(r, t0), std::vector<Event>{});
	auto events = w.record(r, t0 + 5s);
	ASSERT_EQ(events.size(), 1u);
	EXPECT_EQ(events[0], (Event{ Alert::ModuleShorted, 1 }));

	r.dispatcher = false;
	r.modules[1]->shorted = false;
	r.modules[0]->shorted = true;
	EXPECT_EQ(w.record(r, t0 + 6s), (std::vector<Event>{ { Alert::DispatcherLost },
							      { Alert::ModuleShorted, 0 },
							      { Alert::ModuleCleared, 1 } }));
	r.dispatcher = true;
	EXPECT_EQ(alerts(w.record(r, t0 + 7s)), std::vector<Alert>{ Alert::DispatcherBack });

	// One that measures them has them judged.
	r.battery_mv = 12000;
	r.supply_mv = 3000;
	EXPECT_EQ(alerts(w.record(r, t0 + 8s)), std::vector<Alert>{ Alert::SupplyLost });
}

TEST(Watch, IntercomsLostAndBack)
{
	Watch w(Clock::now());
	IntercomStates s;
	s.units[3] = IntercomStates::Unit{};
	s.units[70] = IntercomStates::Unit{};
	s.units[70]->reset_cause = 0x20;

	// What the first states say is how things are.
	EXPECT_EQ(w.intercoms(s), std::vector<Event>{});
	s.units[70].reset();
	EXPECT_EQ(w.intercoms(s), (std::vector<Event>{ { Alert::IntercomLost, 70, 0x20 } }));
	EXPECT_EQ(w.intercoms(s), std::vector<Event>{});
	// A new one is no return.
	s.units[9] = IntercomStates::Unit{};
	EXPECT_EQ(w.intercoms(s), std::vector<Event>{});
	s.units[70] = IntercomStates::Unit{};
	s.units[70]->reset_cause = 2;
	EXPECT_EQ(w.intercoms(s), (std::vector<Event>{ { Alert::IntercomBack, 70, 2 } }));
}

// The console's file through its own reader, as the sub-agent serves it.
TEST(IcStates, PublishedStatesOnly)
{
	EXPECT_FALSE(read_ic_states("")); // a console that has just started
	auto s = read_ic_states("# cb_cur,inp1,inp2,rel,pulses,audio,cb_pend,rcause\n"
				"rs3=0,1,0,0,0,0,0,0\nrs127=1,1,1,1,1,1,1,127\nrs128=1,1,1,1,1,1,1,1\n"
				"# res,time\ntest3=25,7\ncall=2\n");
	ASSERT_TRUE(s);
	ASSERT_TRUE(s->units[3]);
	EXPECT_TRUE(s->units[3]->input1);
	EXPECT_FALSE(s->units[3]->call_button || s->units[3]->input2 || s->units[3]->pending);
	ASSERT_TRUE(s->units[127]);
	EXPECT_TRUE(s->units[127]->call_button && s->units[127]->relay && s->units[127]->pulses &&
		    s->units[127]->audio && s->units[127]->pending);
	EXPECT_EQ(s->units[127]->reset_cause, 127);
	EXPECT_EQ(std::count_if(s->units.begin(), s->units.end(), [](auto &u) { return u.has_value(); }), 2);
	ASSERT_TRUE(s->tests[3]);
	EXPECT_EQ(s->tests[3]->result, 25u);
	EXPECT_EQ(s->tests[3]->age, 7u);
	EXPECT_EQ(s->call, 2u);

	// A call the file names in no way known: no call served, not a wrong one.
	s = read_ic_states("# cb_cur,inp1,inp2,rel,pulses,audio,cb_pend,rcause\n# res,time\ncall=7\n");
	ASSERT_TRUE(s);
	EXPECT_FALSE(s->call);
	TerminalView v;
	v.states = TerminalView::States::Published;
	v.intercoms = *s;
	for (const Instance &i : instances(v, Clock::now()))
		EXPECT_NE(i.oid, (Oid{ 1, 6, 2, 0 }));
}

const Value *find(const std::vector<Instance> &all, const Oid &oid)
{
	for (const Instance &i : all)
		if (i.oid == oid)
			return &i.value;
	return nullptr;
}

TEST(MibTree, InstancesInOrderAndNothingStale)
{
	const auto t0 = Clock::now();
	TerminalView v;
	v.revision = 5;
	v.record = parse(kCioRecord);
	v.record_at = t0;
	v.states = TerminalView::States::Published;
	v.intercoms.units[70] = IntercomStates::Unit{};
	v.intercoms.units[3] = IntercomStates::Unit{};
	v.intercoms.units[3]->input1 = true;
	v.intercoms.tests[3] = IntercomStates::Test{ 25, 7 };
	v.intercoms_written = t0 - 2s;

	auto all = instances(v, t0 + 9s);
	EXPECT_TRUE(std::is_sorted(all.begin(), all.end(), [](auto &a, auto &b) { return a.oid < b.oid; }));
	// kelBatteryVoltage.0, kelModuleShortCircuit.2, kelModuleMode.2
	EXPECT_EQ(*find(all, { 1, 3, 3, 0 }), (Value{ Value::Type::Integer, 0, {} }));
	EXPECT_EQ(find(all, { 1, 4, 1, 3, 2 })->number, 1);
	EXPECT_EQ(find(all, { 1, 4, 1, 4, 2 })->number, 3);
	EXPECT_EQ(find(all, { 1, 3, 9, 0 })->text, "a,b");
	// kelIntercomInput1.3 true, of .70 false; kelIntercomTestAge.3
	// counts from the test, not from the file.
	EXPECT_EQ(find(all, { 1, 6, 4, 1, 3, 3 })->number, 1);
	EXPECT_EQ(find(all, { 1, 6, 4, 1, 3, 70 })->number, 2);
	EXPECT_EQ(find(all, { 1, 6, 4, 1, 11, 3 })->number, 18);
	EXPECT_FALSE(find(all, { 1, 6, 4, 1, 11, 70 }));
	EXPECT_EQ(find(all, { 1, 6, 3, 0 })->number, 2);

	// A record 10 s old is no value any more, only its age is.
	all = instances(v, t0 + 10s);
	EXPECT_FALSE(find(all, { 1, 3, 3, 0 }));
	EXPECT_FALSE(find(all, { 1, 4, 1, 2, 1 }));
	EXPECT_EQ(find(all, { 1, 1, 2, 0 })->number, 2); // stale
	EXPECT_EQ(find(all, { 1, 1, 3, 0 })->number, 10);
	// Neither are the intercoms of a file that went.
	v.states = TerminalView::States::None;
	all = instances(v, t0 + 10s);
	EXPECT_EQ(find(all, { 1, 6, 1, 0 })->number, 2);
	EXPECT_FALSE(find(all, { 1, 6, 2, 0 }));
	EXPECT_FALSE(find(all, { 1, 6, 4, 1, 2, 3 }));

	// Instances of the module's objects, and what is none.
	EXPECT_TRUE(names_object({ 1, 3, 3, 0 }));
	EXPECT_TRUE(names_object({ 1, 6, 4, 1, 11, 5 }));
	EXPECT_TRUE(names_object({ 1, 1, 5, 0 }));
	EXPECT_FALSE(names_object({ 1, 1, 6, 0 }));
	EXPECT_FALSE(names_object({ 1, 6, 4, 1, 1, 5 })); // the index
	EXPECT_FALSE(names_object({ 1, 3, 3 }));
	EXPECT_FALSE(names_object({ 1, 7, 1, 0 }));
}

TEST(MibTree, NotificationsCarryTheirValues)
{
	const auto t0 = Clock::now();
	TerminalView v;
	v.record = parse(kGpioRecord);
	v.record_at = t0;
	v.states = TerminalView::States::Published;

	EXPECT_EQ(notification_oid(Alert::DaemonBack), (Oid{ 0, 14 }));
	auto objects = notification_objects({ Alert::SupplyLost }, v, t0);
	ASSERT_EQ(objects.size(), 2u);
	EXPECT_EQ(objects[0].oid, (Oid{ 1, 3, 5, 0 }));
	EXPECT_EQ(objects[0].value.number, 12345);
	EXPECT_EQ(objects[1].value.number, 13250);

	objects = notification_objects({ Alert::SensorFailed, 1 }, v, t0);
	ASSERT_EQ(objects.size(), 1u);
	EXPECT_EQ(objects[0].oid, (Oid{ 1, 5, 1, 3, 2 }));
	EXPECT_EQ(objects[0].value.number, 2);

	// A lost intercom's row is gone: its last cause comes with the event.
	objects = notification_objects({ Alert::IntercomLost, 70, 0x20 }, v, t0);
	ASSERT_EQ(objects.size(), 2u);
	EXPECT_EQ(objects[0].oid, (Oid{ 1, 6, 4, 1, 9, 70 }));
	EXPECT_EQ(objects[0].value.number, 0x20);
	EXPECT_EQ(objects[1].value.number, 0);

	objects = notification_objects({ Alert::DaemonSilent }, v, t0 + 12s);
	ASSERT_EQ(objects.size(), 2u);
	EXPECT_EQ(objects[1].value.number, 12);
}

// The sub-agent's own files and counts.
class TerminalFiles : public ::testing::Test {
protected:
	TmpDir dir;
	void SetUp() override { std::filesystem::create_directories(dir.path("run")); }
	void TearDown() override { cfg_cache_drop(); }

	// As their writers do: a new file in the old one's place.
	void replace(const std::string &rel, const std::string &text)
	{
		dir.write(rel + ".new", text);
		std::filesystem::rename(dir.path(rel + ".new"), dir.path(rel));
	}
};

TEST_F(TerminalFiles, RecordsTakenAndMalformedCountedOnceEach)
{
	const auto t0 = Clock::now();
	Terminal t(t0);
	auto item = [](std::string text, bool again, bool final) {
		return PipeItem{ PipeItem::Kind::Record, std::move(text), again, false, final };
	};
	const std::string half = kGpioRecord.substr(0, kGpioRecord.find("auxvol"));

	// A record in two pieces, a pause between: the first is no fault, the
	// whole one is served and taken once.
	t.take(item(half, false, false), t0);
	EXPECT_EQ(t.view().malformed, 0u);
	EXPECT_FALSE(t.view().record);
	t.take(item(kGpioRecord, true, false), t0 + 1s);
	t.take(item(kGpioRecord, true, true), t0 + 2s);
	EXPECT_EQ(t.view().taken, 1u);
	ASSERT_TRUE(t.view().record);
	EXPECT_EQ(t.view().record_at, t0 + 1s);

	// One that stays incomplete is malformed at its end; one with a bad
	// line at once, and once.
	testing::internal::CaptureStderr();
	t.take(item(half, false, false), t0);
	t.take(item(half, true, true), t0);
	t.take(item("devtype=kel\nbatt=x\n", false, false), t0);
	t.take(item("devtype=kel\nbatt=x\ntemp=1\n", true, true), t0);
	t.take(PipeItem{ PipeItem::Kind::Fragment, "junk\n" }, t0);
	std::string said = testing::internal::GetCapturedStderr();
	EXPECT_EQ(t.view().malformed, 3u);
	EXPECT_EQ(t.view().taken, 1u);
	EXPECT_EQ(t.view().record->battery_mv, 13250); // the last good one stays
	EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
	EXPECT_NE(said.find("velta-snmp"), std::string::npos);

	// Said again after a good one: a record with a line too long.
	t.take(item(kGpioRecord, false, true), t0);
	EXPECT_EQ(t.view().taken, 2u);
	testing::internal::CaptureStderr();
	t.take(PipeItem{ PipeItem::Kind::Record, kGpioRecord, false, true, false }, t0);
	said = testing::internal::GetCapturedStderr();
	EXPECT_EQ(t.view().malformed, 4u);
	EXPECT_NE(said.find("too long"), std::string::npos) << said;
}

TEST_F(TerminalFiles, FilesReadAgainWhenTheyChange)
{
	const auto t0 = Clock::now();
	Terminal t(t0);

	t.refresh(t0);
	EXPECT_FALSE(t.view().modules);
	EXPECT_FALSE(t.view().revision);
	EXPECT_EQ(t.view().states, TerminalView::States::None);

	replace("etc/device.conf", "cio=1\nrevision=2\n");
	replace("etc/velta-snmp.conf", "num_modules=8\nnum_tsensors=0\n");
	replace("run/parlod-ic-states", "");
	t.refresh(t0);
	EXPECT_EQ(t.view().modules, 8);
	EXPECT_EQ(t.view().revision, 2);
	EXPECT_EQ(t.view().states, TerminalView::States::None); // not published yet

	replace("etc/velta-snmp.conf", "num_modules=4\nnum_tsensors=0\n");
	replace("run/parlod-ic-states", "# cb_cur,inp1,inp2,rel,pulses,audio,cb_pend,rcause\nrs5=0,0,0,0,0,0,0,0\n"
					  "# res,time\ncall=0\n");
	t.refresh(t0);
	EXPECT_EQ(t.view().modules, 4);
	EXPECT_EQ(t.view().states, TerminalView::States::Published);
	EXPECT_TRUE(t.view().intercoms.units[5]);

	// A file the sub-agent cannot read says so, once.
	std::filesystem::remove(dir.path("run/parlod-ic-states"));
	std::filesystem::create_directory(dir.path("run/parlod-ic-states"));
	testing::internal::CaptureStderr();
	t.refresh(t0);
	t.refresh(t0);
	std::string said = testing::internal::GetCapturedStderr();
	EXPECT_EQ(t.view().states, TerminalView::States::Unreadable);
	EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
	std::filesystem::remove(dir.path("run/parlod-ic-states"));
	t.refresh(t0);
	EXPECT_EQ(t.view().states, TerminalView::States::None);
}

} // namespace
