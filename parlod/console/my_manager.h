// The console's call manager: one call at a time between the terminal's own
// loudspeaker and microphone, network calls and intercom units.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "call_manager.h"
#include "echo_canceler.h"
#include "kel_cli.h"
#include "volume_file.h"

#define PARLOD_CONF "/etc/parlod.conf"
#define PARLOD_SIP_SECRET "/etc/parlod-sip.secret" // the password of the SIP account, one line

// What the command line chooses.
struct ParlodOptions {
	std::string sip_listen; // empty: every IPv4 address
	int sip_port = 5060;
	std::string sip_user = "parlod";
	std::string sound_player;   // empty: the sound server's default
	std::string sound_recorder; // empty: the sound server's default
};

class MyManager : public callfw::CallManager {
public:
	MyManager();
	~MyManager() override;

	// Creates the endpoints, reads the configuration, tells systemd it is
	// ready; false when an endpoint cannot start.
	bool Initialise(const ParlodOptions &options);
	// Serves the command pipe until EndRun(); false when it cannot.
	bool Run();
	// Safe in a signal handler.
	void EndRun();

	virtual void ProcessCommand(callfw::Connection *connection, const std::vector<std::string> &args);
	virtual void CmdTCmd(KelCLI::Arguments &args);
	virtual void CmdCall(KelCLI::Arguments &args);
	virtual void CmdHangUp(KelCLI::Arguments &args);
	virtual bool CreateRS485EndPoint();

	// The framework's hooks.
	bool on_local_incoming_call(callfw::Connection &local) override;
	void on_cleared_call(callfw::Call &call) override;
	void on_start_media_patch(callfw::Connection &connection, callfw::MediaPatch &patch) override;
	void on_stop_media_patch(callfw::Connection &connection, callfw::MediaPatch &patch) override;
	void adjust_media_formats(bool local, const callfw::Connection &connection,
				  callfw::MediaFormatList &formats) const override;
	void on_user_input_string(callfw::Connection &connection, const std::string &text) override;

	bool AllTransportableMediaFormats(const callfw::MediaFormatList &formats) const;

	void Broadcast(const std::string &text) { broadcast(text); }

private:
	callfw::CallPtr CurrentCall() const;
	void ListCalls(KelCLI::Arguments &args);
	void ShowStatus(KelCLI::Arguments &args);
	std::string ApplyStoredVolume(callfw::Connection &connection, bool microphone);

	mutable std::mutex m_callMutex; // guards m_currentCall
	callfw::CallPtr m_currentCall;
	KelEchoCanceler m_echoCanceler;
	bool m_duplex = false;
	bool m_trAuto = true;
	int m_txDelay = 160;
	int m_rxDelay = 160;
	int m_micDelay = 180;
	std::unique_ptr<KelCLI> m_cli;
};
