// The list of addresses and networks that may call the console.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include "access_list.h"
#include "sip_gate.h"

// The gate's timer needs libre's loop of this thread.
extern "C" int libre_init(void);
extern "C" void libre_close(void);

namespace {

in_addr ip(const char *text)
{
	in_addr a{};
	EXPECT_EQ(inet_pton(AF_INET, text, &a), 1) << text;
	return a;
}

TEST(SipAccess, EveryoneUntilSomethingIsAdded)
{
	sipep::AccessList list;
	EXPECT_TRUE(list.anyone());
	EXPECT_TRUE(list.allows(ip("203.0.113.9")));
	EXPECT_EQ(list.describe(), "any address");
	list.limit();
	EXPECT_FALSE(list.allows(ip("203.0.113.9")));
	EXPECT_EQ(list.describe(), "no address");
}

TEST(SipAccess, AddressesAndNetworksWithTheirBoundaries)
{
	sipep::AccessList list;
	EXPECT_EQ(list.add("192.0.2.7, 10.1.2.3/8\t198.51.100.64/26,,  172.16.0.1/32"), "");
	EXPECT_EQ(list.describe(), "192.0.2.7, 10.0.0.0/8, 198.51.100.64/26, 172.16.0.1");
	EXPECT_TRUE(list.allows(ip("192.0.2.7")));
	EXPECT_FALSE(list.allows(ip("192.0.2.6")));
	EXPECT_FALSE(list.allows(ip("192.0.2.8")));
	EXPECT_TRUE(list.allows(ip("10.255.255.255")));
	EXPECT_FALSE(list.allows(ip("11.0.0.0")));
	EXPECT_FALSE(list.allows(ip("198.51.100.63")));
	EXPECT_TRUE(list.allows(ip("198.51.100.64")));
	EXPECT_TRUE(list.allows(ip("198.51.100.127")));
	EXPECT_FALSE(list.allows(ip("198.51.100.128")));
	EXPECT_TRUE(list.allows(ip("172.16.0.1")));
	EXPECT_FALSE(list.allows(ip("172.16.0.2")));
	// The same network again adds nothing.
	list.add(ip("10.200.0.0"), 8);
	EXPECT_EQ(list.describe(), "192.0.2.7, 10.0.0.0/8, 198.51.100.64/26, 172.16.0.1");
}

TEST(SipAccess, EveryAddressOnlyWhenSaidSo)
{
	sipep::AccessList list;
	EXPECT_EQ(list.add("0.0.0.0/0"), "");
	EXPECT_FALSE(list.anyone());
	EXPECT_TRUE(list.allows(ip("203.0.113.9")));
	EXPECT_TRUE(list.allows(ip("255.255.255.255")));
}

TEST(SipAccess, WhatIsNoAddressAdmitsNobody)
{
	sipep::AccessList list;
	EXPECT_EQ(list.add("pbx.example 192.0.2.300 192.0.2.1/33 192.0.2.1/ 192.0.2.1/-1 192.0.2.1/1x 1.2.3"),
		  "pbx.example, 192.0.2.300, 192.0.2.1/33, 192.0.2.1/, 192.0.2.1/-1, 192.0.2.1/1x, 1.2.3");
	EXPECT_FALSE(list.anyone());
	EXPECT_FALSE(list.allows(ip("192.0.2.1")));
	EXPECT_EQ(list.describe(), "no address");
	EXPECT_EQ(list.add("192.0.2.1/31 junk"), "junk");
	EXPECT_TRUE(list.allows(ip("192.0.2.0")));
}

TEST(SipAccess, HostsAreLookedUpUnlessWrittenAsAddresses)
{
	auto literal = sipep::host_ipv4_addresses("192.0.2.44");
	ASSERT_EQ(literal.size(), 1u);
	EXPECT_EQ(literal[0].s_addr, ip("192.0.2.44").s_addr);
	auto local = sipep::host_ipv4_addresses("localhost");
	ASSERT_FALSE(local.empty());
	EXPECT_EQ(local[0].s_addr, ip("127.0.0.1").s_addr);
}

TEST(SipAccess, TheRegistrarsNameLetsInWhereItMoves)
{
	ASSERT_EQ(libre_init(), 0);
	{
		std::vector<std::string> said;
		sipep::SipGate gate("192.0.2.0/30", { "sip:localhost:5070;transport=tls", "", "sip:198.51.100.4" }, "parlod",
				    [&](const std::string &text) { said.push_back(text); });
		EXPECT_EQ(gate.access().describe(), "192.0.2.0/30, 127.0.0.1, 198.51.100.4");
		EXPECT_TRUE(said.empty());
		// Only the name it looks up again counts, and only a new address.
		gate.on_resolved("localhost", ip("203.0.113.7"));
		gate.on_resolved("localhost", ip("127.0.0.1"));
		gate.on_resolved("localhost", std::nullopt);
		gate.on_resolved("elsewhere.example", ip("203.0.113.8"));
		gate.on_resolved("198.51.100.4", ip("203.0.113.9"));
		EXPECT_TRUE(gate.access().allows(ip("203.0.113.7")));
		EXPECT_FALSE(gate.access().allows(ip("203.0.113.8")));
		EXPECT_FALSE(gate.access().allows(ip("203.0.113.9")));
		EXPECT_EQ(said, std::vector<std::string>{ "\nSIP: localhost is at 203.0.113.7 now: calls from there are taken too" });
	}
	libre_close();
}

TEST(SipAccess, ANameThatCannotBeLookedUpOpensNothing)
{
	ASSERT_EQ(libre_init(), 0);
	{
		std::vector<std::string> said;
		sipep::SipGate gate("", { "sip:no host" }, "parlod", [&](const std::string &text) { said.push_back(text); });
		EXPECT_FALSE(gate.access().anyone());
		EXPECT_EQ(gate.access().describe(), "no address");
		ASSERT_EQ(said.size(), 1u);
		EXPECT_EQ(said[0], "\nSIP: cannot look up the host of sip:no host: calls from it are refused");
	}
	libre_close();
}

} // namespace
