// A call: its connections (party A first), and, while both are up, one
// media patch per direction.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "connection.h"
#include "media_patch.h"

namespace callfw {

class CallManager;

class Call : public std::enable_shared_from_this<Call> {
public:
	Call(CallManager &manager, std::string token, std::string party_a, std::string party_b);
	~Call();
	Call(const Call &) = delete;
	Call &operator=(const Call &) = delete;

	CallManager &manager() const { return manager_; }
	const std::string &token() const { return token_; }
	const std::string &party_a() const { return party_a_; }
	const std::string &party_b() const { return party_b_; }

	std::vector<ConnectionPtr> connections() const;
	bool is_established() const;
	bool is_cleared() const;
	CallEndReason end_reason() const;
	// What the far end said about the end, when it said something worth
	// reporting beside the reason; empty otherwise.
	std::string end_detail() const;

	// Ends the call; the work happens on the manager's worker thread, so
	// this returns at once from any thread. Only the first reason counts.
	void clear(CallEndReason reason = CallEndReason::LocalUser, std::string detail = {});

	// For connections and the manager.
	void add_connection(ConnectionPtr connection);
	void on_answered(Connection &connection);
	void on_released(Connection &connection, CallEndReason reason, std::string detail = {});

private:
	friend class CallManager;
	void start_media();
	void stop_media();
	void do_clear(CallEndReason reason); // on the worker thread

	CallManager &manager_;
	const std::string token_, party_a_, party_b_;
	mutable std::mutex mutex_;
	std::vector<ConnectionPtr> connections_;
	std::vector<std::unique_ptr<MediaPatch>> patches_; // owned, stopped before release
	bool established_ = false;
	bool clearing_ = false;
	bool cleared_ = false;
	CallEndReason reason_ = CallEndReason::LocalUser;
	std::string detail_;
};

using CallPtr = std::shared_ptr<Call>;

} // namespace callfw
