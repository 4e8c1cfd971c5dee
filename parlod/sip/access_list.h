// Who may reach the console over SIP: the IPv4 addresses and networks that
// may call in. The address checked is where a request came from (the peer
// of its transport), never what the caller writes in its headers.
#pragma once

#include <cstdint>
#include <netinet/in.h>
#include <string>
#include <string_view>
#include <vector>

namespace sipep {

class AccessList {
public:
	// Everyone.
	AccessList() = default;

	// Adds the items of text: addresses ("192.0.2.7") and networks
	// ("192.0.2.0/24"), separated by commas or blanks. An item that is
	// neither is named in the returned text ("" when all were taken) and
	// left out: an entry that was meant to admit someone admits nobody.
	std::string add(std::string_view text);
	// One address or network (prefix 0 to 32).
	void add(in_addr network, unsigned prefix = 32);

	// Only the entries may call from now on, even while there are none.
	void limit() { anyone_ = false; }

	// Whether anyone may: nothing was ever added nor limited.
	bool anyone() const { return anyone_; }
	bool allows(in_addr address) const;
	// The entries, as "192.0.2.7, 10.0.0.0/8"; "any address" for anyone,
	// "no address" when every entry was refused.
	std::string describe() const;

private:
	struct Network {
		uint32_t network; // host order, masked
		uint32_t mask;
		unsigned prefix;
	};
	bool anyone_ = true;
	std::vector<Network> networks_;
};

// The IPv4 addresses of a host: itself when it is written as one, else what
// the system's resolver says (blocking). None when it has none.
std::vector<in_addr> host_ipv4_addresses(const std::string &host);

} // namespace sipep
