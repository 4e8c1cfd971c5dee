#include "access_list.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cctype>
#include <cstring>
#include <netdb.h>

namespace sipep {

namespace {

bool parse_item(std::string_view item, in_addr &address, unsigned &prefix)
{
	std::string text(item.substr(0, item.find('/')));
	if (inet_pton(AF_INET, text.c_str(), &address) != 1)
		return false;
	prefix = 32;
	if (item.find('/') == std::string_view::npos)
		return true;
	std::string_view digits = item.substr(item.find('/') + 1);
	if (digits.empty() || digits.size() > 2 || !std::all_of(digits.begin(), digits.end(), ::isdigit))
		return false;
	prefix = (unsigned)std::stoul(std::string(digits));
	return prefix <= 32;
}

std::string address_text(uint32_t host_order)
{
	in_addr a{ htonl(host_order) };
	char text[INET_ADDRSTRLEN];
	inet_ntop(AF_INET, &a, text, sizeof(text));
	return text;
}

} // namespace

std::string AccessList::add(std::string_view text)
{
	std::string refused;
	anyone_ = false;
	while (!text.empty()) {
		size_t end = text.find_first_of(", \t");
		std::string_view item = text.substr(0, end);
		text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
		if (item.empty())
			continue;
		in_addr address;
		unsigned prefix;
		if (parse_item(item, address, prefix))
			add(address, prefix);
		else
			refused += (refused.empty() ? "" : ", ") + std::string(item);
	}
	return refused;
}

void AccessList::add(in_addr network, unsigned prefix)
{
	anyone_ = false;
	prefix = std::min(prefix, 32u);
	uint32_t mask = prefix ? ~uint32_t(0) << (32 - prefix) : 0;
	Network n{ ntohl(network.s_addr) & mask, mask, prefix };
	for (const Network &have : networks_)
		if (have.network == n.network && have.mask == n.mask)
			return;
	networks_.push_back(n);
}

bool AccessList::allows(in_addr address) const
{
	if (anyone_)
		return true;
	uint32_t a = ntohl(address.s_addr);
	return std::any_of(networks_.begin(), networks_.end(),
			   [a](const Network &n) { return (a & n.mask) == n.network; });
}

std::string AccessList::describe() const
{
	if (anyone_)
		return "any address";
	if (networks_.empty())
		return "no address";
	std::string text;
	for (const Network &n : networks_)
		text += (text.empty() ? "" : ", ") + address_text(n.network) +
			(n.prefix == 32 ? "" : "/" + std::to_string(n.prefix));
	return text;
}

std::vector<in_addr> host_ipv4_addresses(const std::string &host)
{
	std::vector<in_addr> out;
	in_addr literal;
	if (inet_pton(AF_INET, host.c_str(), &literal) == 1)
		return { literal };
	addrinfo hints{}, *list = nullptr;
	hints.ai_family = AF_INET;
	hints.ai_socktype = SOCK_DGRAM;
	if (getaddrinfo(host.c_str(), nullptr, &hints, &list) != 0)
		return out;
	for (addrinfo *i = list; i; i = i->ai_next) {
		in_addr a = ((const sockaddr_in *)i->ai_addr)->sin_addr;
		if (std::none_of(out.begin(), out.end(), [&](in_addr b) { return b.s_addr == a.s_addr; }))
			out.push_back(a);
	}
	freeaddrinfo(list);
	return out;
}

} // namespace sipep
