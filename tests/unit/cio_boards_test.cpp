// The board drivers as the driver table offers them: each board's entries,
// line count, window and rates, without the hardware (which the system
// tests simulate).
#include <cerrno>
#include <gtest/gtest.h>
#include <set>
#include <string>

#include "cfg.h"
#include "cio/cio_ops.h"
#include "tmpdir.h"

namespace {

// The entries a driver has, by name.
std::set<std::string> entries(const cio_ops *o)
{
	std::set<std::string> s;
#define ENTRY(e)                                                                                       \
	if (o->e)                                                                                      \
		s.insert(#e);
	ENTRY(init) ENTRY(done) ENTRY(si) ENTRY(delay) ENTRY(aux_pwr_en) ENTRY(filter_en) ENTRY(sound_set)
	ENTRY(prot_reset) ENTRY(mod_four_wire) ENTRY(module_reset) ENTRY(freq_set) ENTRY(num_phys_ch) ENTRY(read)
	ENTRY(pkt_set_ch) ENTRY(pkt_prepare) ENTRY(pkt_send) ENTRY(pkt_capable) ENTRY(read_diode) ENTRY(mod_voltage)
	ENTRY(batt_voltage) ENTRY(psu_voltage) ENTRY(mod_supply) ENTRY(batt_charge) ENTRY(wdt_disable)
	ENTRY(wdt_reset) ENTRY(wdt_get) ENTRY(board_temp) ENTRY(ns_to_send)
#undef ENTRY
	return s;
}

const std::set<std::string> every_board = { "init", "done", "si", "filter_en", "sound_set", "freq_set",
					    "num_phys_ch", "read", "mod_voltage", "board_temp" };

// The entries of every board, and more.
std::set<std::string> plus(std::initializer_list<std::string> more)
{
	std::set<std::string> s = every_board;
	s.insert(more);
	return s;
}

class CioBoards : public ::testing::Test {
protected:
	TmpDir dir;

	const cio_ops *board(int revision)
	{
		cfg_cache_drop();
		dir.write("etc/device.conf", "cio=1\nrevision=" + std::to_string(revision) + "\n");
		return cio_detect();
	}
	void TearDown() override { cfg_cache_drop(); }
};

TEST_F(CioBoards, Via)
{
	const cio_ops *via = board(1);
	ASSERT_NE(via, nullptr);
	EXPECT_EQ(entries(via), plus({ "module_reset", "ns_to_send" }));
	EXPECT_EQ(via->num_phys_ch(), 4);
	EXPECT_EQ(via->ns_to_send(), 1000000000u);
	EXPECT_EQ(via->freq_set(16384), 0);
	for (unsigned rate : { 8192u, 16383u, 32768u })
		EXPECT_EQ(via->freq_set(rate), -EINVAL) << rate;
}

TEST_F(CioBoards, CirrusMini)
{
	const cio_ops *cm = board(3);
	ASSERT_NE(cm, nullptr);
	EXPECT_EQ(entries(cm), plus({ "aux_pwr_en", "prot_reset", "mod_four_wire", "module_reset", "pkt_set_ch",
				      "pkt_prepare", "pkt_send", "pkt_capable", "read_diode", "batt_voltage",
				      "batt_charge", "psu_voltage", "ns_to_send" }));
	EXPECT_EQ(cm->pkt_set_ch, cm->sound_set);
	EXPECT_EQ(cm->num_phys_ch(), 2);
	EXPECT_EQ(cm->ns_to_send(), 1000000000u);
	for (unsigned rate : { 16384u, 18432u, 23040u, 36864u, 46080u })
		EXPECT_EQ(cm->freq_set(rate), 0) << rate;
	for (unsigned rate : { 32768u, 15360u, 51200u, 0u })
		EXPECT_EQ(cm->freq_set(rate), -EINVAL) << rate;
	EXPECT_EQ(cm->read(nullptr, 0), 0);
}

TEST_F(CioBoards, Compact)
{
	const cio_ops *om = board(4);
	ASSERT_NE(om, nullptr);
	EXPECT_EQ(entries(om), plus({ "aux_pwr_en", "prot_reset", "mod_four_wire", "module_reset", "pkt_set_ch",
				      "pkt_prepare", "pkt_send", "batt_voltage", "psu_voltage", "mod_supply",
				      "batt_charge", "wdt_disable", "wdt_reset", "wdt_get", "ns_to_send" }));
	EXPECT_NE(om->pkt_set_ch, om->sound_set);
	EXPECT_EQ(om->num_phys_ch(), 2);
	EXPECT_EQ(om->ns_to_send(), 1000000000u);
	// A line the board lacks is refused before the converter is asked.
	int32_t volts = -1;
	EXPECT_EQ(om->mod_voltage(2, &volts), -EINVAL);
	EXPECT_EQ(volts, -1);
}

} // namespace
