#include "my_manager.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <strings.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include "cfg.h"
#include "console_link.h"
#include "pc_sound_endpoint.h"
#include "rootpath.h"
#include "rs485_endpoint.h"
#include "util.h"
#include "sip_endpoint.h"
#include "sip_registration.h"

using namespace callfw;

MyManager::MyManager() = default;

MyManager::~MyManager()
{
	sd_notify(0, "STOPPING=1");
	// Every call and thread ends before the echo canceller goes: its
	// filters run on the media threads.
	shutdown();
}

// Who may call the console, and its TLS certificate (kel.conf(5)). The
// files are named as they are, like paths on the command line.
static void ReadAccessSettings(sipep::SipSettings &sip)
{
	const char *conf = kel_path(PARLOD_CONF);
	sip.accept = cfg_read_str(conf, "sip_accept", "");
	sip.tls_cert = cfg_read_str(conf, "sip_tls_cert", "");
	sip.tls_key = cfg_read_str(conf, "sip_tls_key", "");
	sip.tls_ca = cfg_read_str(conf, "sip_tls_ca", "");
}

// The SIP account: where the console registers, as whom, through which
// proxy, and its password (kel.conf(5)).
static void ReadRegistrationSettings(sipep::SipSettings &sip, const std::function<void(const std::string &)> &say)
{
	const char *conf = kel_path(PARLOD_CONF);
	sip.registrar = cfg_read_str(conf, "sip_registrar", "");
	sip.aor_user = cfg_read_str(conf, "sip_user", "");
	sip.domain = cfg_read_str(conf, "sip_domain", "");
	sip.proxy = cfg_read_str(conf, "sip_proxy", "");
	int32_t expires = (int32_t)sip.expires, ring = (int32_t)sip.ring_timeout.count();
	cfg_read_int(conf, "sip_expires", &expires);
	cfg_read_int(conf, "sip_ring_timeout", &ring);
	if (expires < 1) {
		say("\nsip_expires must be 1 or more; " + std::to_string(sip.expires) + " is taken");
		expires = (int32_t)sip.expires;
	}
	if (ring < 0) {
		say("\nsip_ring_timeout must be 0 or more; " + std::to_string(sip.ring_timeout.count()) + " is taken");
		ring = (int32_t)sip.ring_timeout.count();
	}
	sip.expires = (uint32_t)expires;
	sip.ring_timeout = std::chrono::seconds(ring);
	std::string complaint;
	sip.password = sipep::read_password(kel_path(PARLOD_SIP_SECRET), PARLOD_SIP_SECRET, complaint);
	if (!complaint.empty())
		say(complaint);
}

bool MyManager::Initialise(const ParlodOptions &options)
{
	m_cli = std::make_unique<KelCLI>("", [this](const std::string &text) { broadcast(text); });
	m_cli->SetCommand(CONSOLE_CMD_TCMD, [this](KelCLI::Arguments &a) { CmdTCmd(a); }, "Velta specific command",
			  "<command> [param]");
	m_cli->SetDetails(CONSOLE_CMD_TCMD, {
		"tr_on          the speech-path line to 1",
		"tr_off         the speech-path line to 0",
		"tr_auto        the line follows the far end's speech",
		"duplex         the microphone is never muted",
		"simplex        the microphone is muted while the far end speaks",
		"sndtest F [L]  a test tone of F Hz (0: off) at L % (100) to the loudspeaker",
		"vol_mic N      the call's microphone volume, N % (50..150)",
		"vol_spk N      the call's loudspeaker volume, N % (50..150)",
	});
	m_cli->SetCommand(CONSOLE_CMD_CALL, [this](KelCLI::Arguments &a) { CmdCall(a); }, "Start call", "<uri>");
	m_cli->SetCommand(CONSOLE_CMD_HANGUP, [this](KelCLI::Arguments &a) { CmdHangUp(a); }, "Hang up call",
			  "[ --call <token> ]", "c-call: Token for call to hang up");
	m_cli->SetCommand("calls", [this](KelCLI::Arguments &a) { ListCalls(a); }, "List the calls", "");
	m_cli->SetCommand("status", [this](KelCLI::Arguments &a) { ShowStatus(a); },
			  "Show the SIP registration and the calls", "");

	// Routes first: the SIP endpoint takes calls as soon as it listens.
	set_default_route("pc:");
	pcsound::PcSoundSettings sound;
	sound.playback_device = options.sound_player;
	sound.record_device = options.sound_recorder;
	add_endpoint(std::make_unique<pcsound::PcSoundEndpoint>(*this, sound));

	// Of the network protocols only SIP has an endpoint in this build; a
	// call to "h323:" or another prefix fails like any unknown one.
	sipep::SipSettings sip;
	sip.listen_address = options.sip_listen;
	sip.port = (uint16_t)options.sip_port;
	sip.user = options.sip_user;
	ReadAccessSettings(sip);
	{
		const char *path = kel_path(PARLOD_CONF);
		std::vector<std::string> unknown;
		sip.codecs = parse_encodings(cfg_read_str(path, "sip_codecs", ""), unknown);
		for (const std::string &name : unknown)
			broadcast("\nsip_codecs: " + name + ": no such codec, left out");
		if (sip.codecs.empty() && !unknown.empty())
			broadcast("\nsip_codecs: none left: PCMU, PCMA, GSM");
		const char *srtp = cfg_read_str(path, "sip_srtp", "off");
		if (auto mode = sipep::parse_srtp_mode(srtp))
			sip.srtp = *mode;
		else
			broadcast(std::string("\nsip_srtp: ") + srtp + ": neither off, optional nor mandatory; SRTP off");
	}
	ReadRegistrationSettings(sip, [this](const std::string &text) { broadcast(text); });
	try {
		auto endpoint = std::make_unique<sipep::SipEndpoint>(*this, sip);
		// A bare user or number ("call 112") is one of the domain's.
		if (!endpoint->settings().domain.empty())
			routes().add("pc:.*\t[^:@]+", "sip:<du>@" + endpoint->settings().domain);
		add_endpoint(std::move(endpoint));
	} catch (const std::exception &e) {
		broadcast(std::string("Cannot start SIP: ") + e.what() + "\n");
		return false;
	}
	CreateRS485EndPoint();

	const char *conf = kel_path(PARLOD_CONF);
	int32_t duplex = 0, gpio = -1, defstate = 1, trauto = 1, txdelay = 160, rxdelay = 160, micdelay = 20;
	cfg_read_int(conf, "duplex", &duplex);
	cfg_read_int(conf, "gpio", &gpio);
	cfg_read_int(conf, "defstate", &defstate);
	cfg_read_int(conf, "trauto", &trauto);
	cfg_read_int(conf, "txdelay", &txdelay);
	cfg_read_int(conf, "rxdelay", &rxdelay);
	cfg_read_int(conf, "micdelay", &micdelay);
	m_txDelay = txdelay;
	m_duplex = duplex != 0;
	m_trAuto = trauto != 0;
	m_rxDelay = rxdelay;
	// The sum of two settings that may each be anything a number can be.
	m_micDelay = (int32_t)std::clamp<int64_t>((int64_t)rxdelay + micdelay, INT32_MIN, INT32_MAX);

	// The idle level first: opening the line drives it there.
	m_echoCanceler.SetDefState(defstate);
	m_echoCanceler.SetGPIONum(gpio);
	return true;
}

// The intercom buses. The endpoint puts its route ("rs" and a number) at
// the head of the table and starts its threads at once.
bool MyManager::CreateRS485EndPoint()
{
	try {
		add_endpoint(std::make_unique<OpalRS485EndPoint>(*this, "rs485"));
	} catch (const std::exception &e) {
		// The console goes on without its intercoms.
		broadcast(std::string("\nCannot start the intercom buses: ") + e.what());
		return false;
	}
	return true;
}

bool MyManager::Run()
{
	// Ready once the pipe takes commands: a client ordered after us
	// writes at once, and finds no pipe, or one without a reader, before.
	if (!m_cli->OpenPipe())
		return false;
	sd_notify(0, "READY=1");
	return m_cli->StartForeground();
}

void MyManager::EndRun()
{
	if (m_cli)
		m_cli->Stop();
}

CallPtr MyManager::CurrentCall() const
{
	std::lock_guard<std::mutex> hold(m_callMutex);
	return m_currentCall;
}

static std::string local_time()
{
	char text[64];
	time_t now = time(nullptr);
	struct tm tm;

	localtime_r(&now, &tm);
	strftime(text, sizeof(text), "%a %l : %M%P", &tm);
	std::string s = text;
	// The hour without padding.
	size_t pad = s.find("  ");
	if (pad != std::string::npos)
		s.erase(pad, 1);
	return s;
}

bool MyManager::on_local_incoming_call(Connection &local)
{
	Call &call = local.call();
	std::lock_guard<std::mutex> hold(m_callMutex);

	std::string line = "\n" + call.token() + ": incoming call at " + local_time() + " from " + call.party_a() +
			   " to " + call.party_b();
	if (!m_currentCall || m_currentCall.get() == &call) {
		broadcast(line);
		m_currentCall = call.shared_from_this();
		return true;
	}
	// One message: each ends its line when written.
	broadcast(line + " refused as busy.");
	return false;
}

void MyManager::on_cleared_call(Call &call)
{
	{
		std::lock_guard<std::mutex> hold(m_callMutex);
		if (m_currentCall.get() == &call)
			m_currentCall.reset();
	}
	CallManager::on_cleared_call(call); // the report of the call's end
}

void MyManager::CmdCall(KelCLI::Arguments &args)
{
	if (args.GetCount() == 0) {
		args.WriteUsage();
		return;
	}
	// Held across the set-up, so that a call cleared at once cannot leave
	// a stale current call behind.
	std::unique_lock<std::mutex> hold(m_callMutex);
	if (m_currentCall) {
		args.WriteError("Already in call.");
		return;
	}
	std::string a = args.GetCount() == 1 ? "pc:*" : args[0];
	std::string b = args.GetCount() == 1 ? args[0] : args[1];
	m_currentCall = setup_call(a, b);
	if (m_currentCall)
		args.Write("Started call from " + m_currentCall->party_a() + " to " + m_currentCall->party_b() + "\n");
	else
		args.WriteError("Could not start call.");
}

void MyManager::CmdHangUp(KelCLI::Arguments &args)
{
	CallPtr call;
	auto all = calls();

	if (args.HasOption("call")) {
		call = find_call(args.GetOptionString("call"));
		if (!call) {
			args.WriteError("No call with token " + args.GetOptionString("call"));
			return;
		}
	} else if (all.size() == 1)
		call = all.front();
	else {
		args.WriteError(all.empty() ? "No active call." : "Several calls: give one with --call.");
		return;
	}
	args.Write("Hanging up call from " + call->party_a() + " to " + call->party_b() + "\n");
	call->clear();
}

void MyManager::ShowStatus(KelCLI::Arguments &args)
{
	auto *sip = dynamic_cast<sipep::SipEndpoint *>(find_endpoint("sip"));
	std::string text = sip ? sip->registration_status() + "\n" : "";
	size_t n = calls().size();
	args.Write(text + (n ? std::to_string(n) + (n == 1 ? " call.\n" : " calls.\n") : "No calls.\n"));
}

void MyManager::ListCalls(KelCLI::Arguments &args)
{
	std::string text;
	for (auto &call : calls())
		text += call->token() + ": " + call->party_a() + " -> " + call->party_b() +
			(call->is_established() ? " (established)\n" : " (setting up)\n");
	args.Write(text.empty() ? "No calls.\n" : text);
}

// The commands act on the call in progress, through its first connection.
void MyManager::CmdTCmd(KelCLI::Arguments &args)
{
	ConnectionPtr connection;
	CallPtr call = CurrentCall();

	if (call && !call->connections().empty())
		connection = call->connections().front();
	ProcessCommand(connection.get(), args.Words());
}

void MyManager::ProcessCommand(Connection *connection, const std::vector<std::string> &args)
{
	std::string text;

	if (args.empty())
		return;
	const char *word = args[0].c_str();
	// A number too large for its type, or a negative one, is too large for
	// every range below: it must not come out small by wrapping around.
	auto number = [&](size_t i) {
		unsigned long v = strtoul(args[i].c_str(), nullptr, 0);
		return v > UINT_MAX ? UINT_MAX : (unsigned)v;
	};

	const int tr = console_tr_parse(word);

	if (tr >= 0)
		m_echoCanceler.SetTransistorMode(tr == CONSOLE_TR_ON ? 1 : tr == CONSOLE_TR_OFF ? 2 : 0, false);
	else if (!strcasecmp(word, "duplex"))
		m_echoCanceler.SetDuplexMode(1);
	else if (!strcasecmp(word, "simplex"))
		m_echoCanceler.SetDuplexMode(0);
	else if (!strcasecmp(word, "sndtest")) {
		if (args.size() < 2)
			text += "\nsndtest: frequency parameter missing";
		else {
			unsigned f = number(1), level = args.size() > 2 ? number(2) : 100;
			if (f > 2000) {
				text += "\nRequested frequency is too high, aborting";
				f = 0;
			}
			if (level > 100) {
				text += "\nRequested level (%) is too high, aborting";
				f = 0;
			}
			if (f)
				text += "\nActivating test signal " + std::to_string(f) + "Hz, level " + std::to_string(level) +
					"%";
			else
				text += "\nDisabling test signal";
			m_echoCanceler.SetTestSignal(f, level);
		}
	} else if (!strcasecmp(word, "vol_mic") || !strcasecmp(word, "vol_spk")) {
		bool mic = !strcasecmp(word, "vol_mic");
		if (!connection)
			text += "\nNo connection for volume control";
		else if (args.size() < 2)
			text += std::string("\nvol_") + (mic ? "mic" : "spk") + ": percentage parameter missing";
		else if (unsigned p = number(1); p < 50 || p > 150)
			text += "\nVolume percentage out of range (50..150)";
		else {
			bool found = false;
			for (auto &leg : connection->call().connections()) {
				if (leg->is_network())
					continue;
				found = true;
				if (!leg->set_audio_volume(mic, p))
					text += "\nFailed to set volume";
				break;
			}
			if (!found)
				text += "\nCannot find suitable connection for volume control";
		}
	} else
		return;
	broadcast(text);
}

void MyManager::on_user_input_string(Connection &connection, const std::string &text)
{
	std::vector<std::string> args;
	for (std::string_view word : split_words(text))
		args.emplace_back(word);
	broadcast("\nUser input received: \"" + text + "\"");
	ProcessCommand(&connection, args);
}

// The stored volume of one side of a call, read afresh for every call.
std::string MyManager::ApplyStoredVolume(Connection &connection, bool microphone)
{
	const char *key = microphone ? "mic" : "spk";
	char text[4096];
	int fd = open(kel_path(PARLOD_VOL_CONF), O_RDONLY | O_CLOEXEC);
	ssize_t n;

	if (fd < 0)
		return "";
	n = read(fd, text, sizeof(text) - 1);
	close(fd);
	if (n < 0)
		return "";
	StoredVolume v = find_stored_volume(std::string(text, (size_t)n), key);
	if (!v.found || !v.error.empty())
		return v.error;
	if (!connection.set_audio_volume(microphone, v.percent))
		return std::string("\nFailed to set ") + key + " volume";
	return "";
}

void MyManager::on_start_media_patch(Connection &connection, MediaPatch &patch)
{
	// The end of the patch this connection is: its source is the
	// microphone side, its sink the loudspeaker side.
	const bool microphone = &patch.source().connection() == &connection;
	if (!microphone && patch.sinks().empty())
		return;
	const MediaFormat &format = microphone ? patch.source().format() : patch.sinks().front()->format();
	if (!format.is_raw_audio())
		return;

	if (microphone) {
		m_echoCanceler.SetClockRate(format.clock_rate ? (int)format.clock_rate : 8000);
		m_echoCanceler.SetDuplexMode(m_duplex);
		m_echoCanceler.SetTransistorMode(m_trAuto ? 0 : 3, true);
		m_echoCanceler.SetTXDelay(m_txDelay);
		m_echoCanceler.SetRXDelay(m_rxDelay);
		m_echoCanceler.SetMicDelay(m_micDelay);
		m_echoCanceler.SetTestSignal(0, 0);
		m_echoCanceler.SetDataSize((unsigned)(patch.source().data_size() / 2));
	}
	patch.add_filter(microphone ? m_echoCanceler.ReceivedPacketFilter() : m_echoCanceler.SentPacketFilter(), format);
	broadcast(ApplyStoredVolume(connection, microphone));
}

void MyManager::on_stop_media_patch(Connection &connection, MediaPatch &patch)
{
	(void)connection;
	(void)patch;
	m_echoCanceler.ResetGPIO();
}

bool MyManager::AllTransportableMediaFormats(const MediaFormatList &formats) const
{
	for (const MediaFormat &f : formats)
		if (f.type == MediaType::Audio && !f.transportable)
			return false;
	return true;
}

// Between two coded legs each keeps only the codecs the other offers too,
// so that nothing needs transcoding.
void MyManager::adjust_media_formats(bool local, const Connection &connection, MediaFormatList &formats) const
{
	ConnectionPtr other = connection.other_party();

	CallManager::adjust_media_formats(local, connection, formats);
	if (!other)
		return;
	MediaFormatList theirs = other->media_formats();
	if (!AllTransportableMediaFormats(formats) || !AllTransportableMediaFormats(theirs))
		return;
	std::erase_if(formats, [&](const MediaFormat &f) {
		return f.type == MediaType::Audio && !find_format(theirs, f.name);
	});
}
