// User input that the far end sends in SIP INFO requests.
#pragma once

#include <string>
#include <string_view>

namespace sipep {

struct InfoInput {
	enum Kind {
		Text,        // text holds the input
		Nothing,     // a body without input (empty text, no body)
		Unsupported, // a content type that carries no user input
		Malformed,   // a DTMF relay body without a key
	} kind;
	std::string text;
};

// The input of an INFO body of the given content type: the text of any
// "text/..." type without its line ends at the end, or the key of an
// "application/dtmf-relay" body ("Signal=5").
InfoInput parse_info_body(std::string_view type, std::string_view subtype, std::string_view body);

} // namespace sipep
