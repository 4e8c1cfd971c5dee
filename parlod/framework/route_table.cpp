#include "route_table.h"

#include <algorithm>

namespace callfw {

bool RouteTable::add(const std::string &pattern, const std::string &destination)
{
	return insert((size_t)-1, pattern, destination);
}

bool RouteTable::insert(size_t index, const std::string &pattern, const std::string &destination)
{
	try {
		Entry entry{ std::regex(pattern), pattern, destination };
		std::lock_guard<std::mutex> hold(mutex_);
		entries_.insert(entries_.begin() + (ptrdiff_t)std::min(index, entries_.size()), std::move(entry));
		return true;
	} catch (const std::regex_error &) {
		return false;
	}
}

std::string RouteTable::user_part(const std::string &party)
{
	size_t colon = party.find(':');
	size_t start = colon == std::string::npos ? 0 : colon + 1;
	size_t at = party.find('@', start);

	return party.substr(start, at == std::string::npos ? std::string::npos : at - start);
}

std::string RouteTable::route(const std::string &source, const std::string &destination) const
{
	const std::string subject = source + "\t" + destination;
	std::lock_guard<std::mutex> hold(mutex_);

	for (const Entry &e : entries_) {
		if (!std::regex_match(subject, e.pattern))
			continue;
		std::string result = e.destination;
		const std::string macro = "<du>";
		for (size_t at; (at = result.find(macro)) != std::string::npos;)
			result.replace(at, macro.size(), user_part(destination));
		return result;
	}
	return "";
}

} // namespace callfw
