// Where a call goes: each entry's regular expression must match the whole
// of "source party TAB destination party"; the first that does gives the
// destination, in which "<du>" stands for the destination's user part.
#pragma once

#include <mutex>
#include <regex>
#include <string>
#include <vector>

namespace callfw {

class RouteTable {
public:
	// Adds an entry "pattern=destination"; false when the pattern is no
	// valid regular expression.
	bool add(const std::string &pattern, const std::string &destination);
	// The same, as the entry at index (at the end when beyond it).
	bool insert(size_t index, const std::string &pattern, const std::string &destination);
	// The destination of the first entry that matches, or "" when none does.
	std::string route(const std::string &source, const std::string &destination) const;

	// The user part of a party name: between the prefix and "@" or the end
	// ("sip:rs3@host" gives "rs3", "rs3" gives "rs3").
	static std::string user_part(const std::string &party);

private:
	struct Entry {
		std::regex pattern;
		std::string text;
		std::string destination;
	};
	mutable std::mutex mutex_;
	std::vector<Entry> entries_;
};

} // namespace callfw
