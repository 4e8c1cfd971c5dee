// The SIP account's settings as the console completes them, and its password
// file as the console reads it.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "sip_endpoint.h"
#include "sip_registration.h"
#include "tmpdir.h"

namespace {

using sipep::SipSettings;

TEST(SipRegistration, AccountDefaultsComeFromTheRegistrar)
{
	SipSettings given;
	given.user = "cabin3";
	given.registrar = "sip:pbx.example:5070;transport=tcp";
	std::string complaint;
	SipSettings s = sipep::complete_settings(given, complaint);
	EXPECT_EQ(complaint, "");
	EXPECT_EQ(s.aor_user, "cabin3");
	EXPECT_EQ(s.domain, "pbx.example");
	EXPECT_EQ(s.proxy, given.registrar);

	// What is set stays as it is.
	given.aor_user = "lift-7";
	given.domain = "rescue.example";
	given.proxy = "sip:sbc.example;transport=udp";
	s = sipep::complete_settings(given, complaint);
	EXPECT_EQ(complaint, "");
	EXPECT_EQ((std::vector<std::string>{ s.aor_user, s.domain, s.proxy }),
		  (std::vector<std::string>{ "lift-7", "rescue.example", "sip:sbc.example;transport=udp" }));

	// No registrar: no domain, no proxy, and the From stays the host's.
	s = sipep::complete_settings(SipSettings{}, complaint);
	EXPECT_EQ(complaint, "");
	EXPECT_EQ(s.aor_user, "parlod");
	EXPECT_EQ(s.domain, "");
	EXPECT_EQ(s.proxy, "");
}

TEST(SipRegistration, AddressesThatAreNoneAreDroppedAndSaid)
{
	for (const char *bad :
	     { "pbx.example", "sip:parlod@pbx.example", "sip:pbx.example;transport=sctp", "tel:+4930123" }) {
		SipSettings given;
		given.registrar = bad;
		std::string complaint;
		SipSettings s = sipep::complete_settings(given, complaint);
		EXPECT_EQ(s.registrar, "") << bad;
		EXPECT_EQ(s.domain, "") << bad;
		EXPECT_EQ(s.proxy, "") << bad;
		EXPECT_NE(complaint.find("No registration: sip_registrar \"" + std::string(bad) + "\""),
			  std::string::npos)
			<< complaint;
	}
	SipSettings given;
	given.registrar = "sip:192.0.2.20";
	given.proxy = "http://192.0.2.21";
	std::string complaint;
	SipSettings s = sipep::complete_settings(given, complaint);
	EXPECT_EQ(s.registrar, "sip:192.0.2.20");
	EXPECT_EQ(s.proxy, "");
	EXPECT_NE(complaint.find("No outbound proxy: sip_proxy"), std::string::npos) << complaint;
}

TEST(SipRegistration, PasswordIsTheFirstLineOfAPrivateFile)
{
	TmpDir dir;
	const std::string path = dir.path("etc/parlod-sip.secret");
	auto read = [&](const std::string &text, mode_t mode, std::string &complaint) {
		dir.write("etc/parlod-sip.secret", text);
		EXPECT_EQ(chmod(path.c_str(), mode), 0);
		complaint.clear();
		return sipep::read_password(path.c_str(), "/etc/parlod-sip.secret", complaint);
	};
	std::string complaint;

	EXPECT_EQ(read("two words\r\n", 0600, complaint), "two words");
	EXPECT_EQ(complaint, "");
	EXPECT_EQ(read("first\nsecond\n", 0400, complaint), "first");
	EXPECT_EQ(read("no line end", 0600, complaint), "no line end");

	EXPECT_EQ(read("hunter2\n", 0644, complaint), std::nullopt);
	EXPECT_EQ(complaint, "\nNot using /etc/parlod-sip.secret: group or others may read it (chmod 600 it); "
			     "challenged requests will fail");
	EXPECT_EQ(read("\n", 0600, complaint), std::nullopt);
	EXPECT_EQ(complaint, "\nNot using /etc/parlod-sip.secret: it holds no password");

	// No file: no password, and nothing to say about it.
	ASSERT_EQ(unlink(path.c_str()), 0);
	complaint.clear();
	EXPECT_EQ(sipep::read_password(path.c_str(), "/etc/parlod-sip.secret", complaint), std::nullopt);
	EXPECT_EQ(complaint, "");
}

} // namespace
