#pragma once

namespace callfw {

enum class CallEndReason {
	LocalUser,   // hung up here
	RemoteUser,  // hung up by the far end
	Busy,        // refused: engaged
	Refused,     // refused otherwise
	Unreachable, // no route, no such party, nobody there
	NoAnswer,    // it rang, nobody answered
	MediaFailed, // the media could not start or broke down
	Shutdown,    // the console ends
	Preempted,   // another call took over the party
};

const char *to_string(CallEndReason reason);

} // namespace callfw
