"""kamailio as the registrar and proxy of a test, with digest authentication:
the PBX or SIP provider that a terminal is installed behind.

    pbx = Kamailio(ns, workdir, users={"parlod": "secret", "op": "pw"})
    pbx.uri                      # sip:192.0.2.20, the registrar (UDP)
    pbx.wait(r"PBX REGISTERED user=parlod ")   # what it logged
    pbx.locations()              # {"parlod": ["<sip:parlod@...>;expires=..."], ...}
    pbx.restart()                # stop and start again: every registration is lost
    pbx.close()

It runs in the foreground, inside the test's network namespace (sim/peers/sip_peers.py),
listening on an address of its own there (PBX_ADDRESS, added to the namespace's
interface) for UDP and TCP on port 5060, and for TLS on 5061 when given a
certificate and its key (tls=(cert, key), e.g. from sim/peers/tls_ca.py). Its runtime
directory, pid file and control socket are the test's; it is never a service of
the machine. Every user is a subscriber of the domain (its address, or domain=)
with the password given: REGISTER is challenged with 401 and every other request
that opens a dialog with 407, both in the realm of the domain. A request for a
user of the domain goes to where that user registered (404 when nowhere); one
for another domain is relayed to it, once its sender authenticated. It stays in
the path of the dialogs it forwards (Record-Route).

Each request it takes, each challenge and each registration is logged as a line
beginning with "PBX " (see wait() and lines())."""

import os
import re
import signal
import socket
import subprocess
import time

from .sip_peers import Lines

PBX_ADDRESS = "192.0.2.20"
PORT = 5060
TLS_PORT = 5061
MODULES = "/usr/lib/x86_64-linux-gnu/kamailio/modules"

_SCRIPT = r"""#!KAMAILIO
debug=2
log_stderror=yes
children=2
tcp_children=2
auto_aliases=no
alias="{domain}"
{listen}
{tls_core}
mpath="{modules}"

loadmodule "kex.so"
loadmodule "corex.so"
loadmodule "tm.so"
loadmodule "tmx.so"
loadmodule "sl.so"
loadmodule "rr.so"
loadmodule "pv.so"
loadmodule "maxfwd.so"
loadmodule "usrloc.so"
loadmodule "registrar.so"
loadmodule "textops.so"
loadmodule "siputils.so"
loadmodule "xlog.so"
loadmodule "sanity.so"
loadmodule "ctl.so"
loadmodule "auth.so"
{tls_module}

modparam("ctl", "binrpc", "unix:{ctl}")
modparam("usrloc", "db_mode", 0)
modparam("registrar", "min_expires", 1)
modparam("registrar", "max_expires", 3600)
modparam("rr", "enable_full_lr", 1)
modparam("tm", "fr_timer", 10000)
modparam("tm", "fr_inv_timer", 120000)
{tls_params}

request_route {{
	if (!mf_process_maxfwd_header("10")) {{
		sl_send_reply("483", "Too Many Hops");
		exit;
	}}
	if (!sanity_check()) {{
		exit;
	}}
	xlog("L_NOTICE", "PBX $rm from=$fu to=$tu ruri=$ru src=$si:$sp proto=$pr\n");

	if (has_totag()) {{
		if (loose_route()) {{
			route(RELAY);
			exit;
		}}
		if (is_method("ACK")) {{
			if (t_check_trans()) {{
				route(RELAY);
			}}
			exit;
		}}
		sl_send_reply("404", "Not here");
		exit;
	}}
	if (is_method("CANCEL")) {{
		if (t_check_trans()) {{
			route(RELAY);
		}}
		exit;
	}}
	if (!is_method("ACK")) {{
		t_check_trans();
	}}
	if (is_method("REGISTER")) {{
		route(REGISTRAR);
		exit;
	}}
	if (is_method("OPTIONS") && uri == myself && $rU == $null) {{
		sl_send_reply("200", "OK");
		exit;
	}}
	route(AUTH);
	remove_hf("Route");
	if (is_method("INVITE|SUBSCRIBE")) {{
		record_route();
	}}
	if (uri == myself) {{
		if (!lookup("location")) {{
			xlog("L_NOTICE", "PBX NOT FOUND $ru\n");
			sl_send_reply("404", "Not Found");
			exit;
		}}
	}}
	xlog("L_NOTICE", "PBX ROUTE $rm to=$ru\n");
	route(RELAY);
}}

route[RELAY] {{
	if (!t_relay()) {{
		sl_reply_error();
	}}
	exit;
}}

route[PASSWORD] {{
	$var(password) = "";
{passwords}
}}

route[AUTH] {{
	route(PASSWORD);
	if (!pv_proxy_authenticate("{realm}", "$var(password)", "0")) {{
		xlog("L_NOTICE", "PBX CHALLENGE 407 $rm from=$fu user=$au\n");
		proxy_challenge("{realm}", "1");
		exit;
	}}
	consume_credentials();
	xlog("L_NOTICE", "PBX AUTHENTICATED $rm from=$fu user=$au\n");
}}

route[REGISTRAR] {{
	route(PASSWORD);
	if (!pv_www_authenticate("{realm}", "$var(password)", "0")) {{
		xlog("L_NOTICE", "PBX CHALLENGE 401 REGISTER to=$tu user=$au\n");
		www_challenge("{realm}", "1");
		exit;
	}}
	if ($au != $tU) {{
		sl_send_reply("403", "Forbidden");
		exit;
	}}
	consume_credentials();
	if (!save("location")) {{
		sl_reply_error();
		exit;
	}}
	xlog("L_NOTICE", "PBX REGISTERED user=$tU proto=$pr src=$si:$sp contact=$ct expires=$hdr(Expires)\n");
}}
"""

_TLS_CFG = """[server:default]
method = TLSv1.2+
verify_certificate = no
require_certificate = no
private_key = {key}
certificate = {cert}

[client:default]
method = TLSv1.2+
verify_certificate = no
require_certificate = no
"""


def _quoted(text):
    if not re.fullmatch(r"[A-Za-z0-9_.+-]+", text):
        raise ValueError(f"keep it plain for the script: {text!r}")
    return text


class Kamailio:
    def __init__(self, ns, workdir, users, address=PBX_ADDRESS, domain=None, tls=None):
        """users: {user: password}; tls: (certificate, key) files to listen
        for TLS too."""
        self.ns, self.address = ns, address
        self.domain = domain or address
        self.dir = os.path.join(str(workdir), "kamailio")
        os.makedirs(self.dir, exist_ok=True)
        self.uri = f"sip:{address}"
        self.tls = tls
        self.log = Lines()  # its standard error, over its restarts
        self.proc = None
        self._add_address()

        listen = [f"listen=udp:{address}:{PORT}", f"listen=tcp:{address}:{PORT}"]
        tls_core = tls_module = tls_params = ""
        if tls:
            tls_cfg = os.path.join(self.dir, "tls.cfg")
            with open(tls_cfg, "w") as f:
                f.write(_TLS_CFG.format(cert=tls[0], key=tls[1]))
            listen.append(f"listen=tls:{address}:{TLS_PORT}")
            tls_core = "enable_tls=yes"
            tls_module = 'loadmodule "tls.so"'
            tls_params = f'modparam("tls", "config", "{tls_cfg}")'
        passwords = "\n".join(f'\tif ($au == "{_quoted(u)}") {{\n\t\t$var(password) = "{_quoted(p)}";\n\t}}'
                              for u, p in users.items())
        self.ctl = os.path.join(self.dir, "ctl")
        self.config = os.path.join(self.dir, "kamailio.cfg")
        with open(self.config, "w") as f:
            f.write(_SCRIPT.format(domain=_quoted(self.domain), realm=_quoted(self.domain),
                                   listen="\n".join(listen), tls_core=tls_core, tls_module=tls_module,
                                   tls_params=tls_params, modules=MODULES, ctl=self.ctl, passwords=passwords))
        self.start()

    def _add_address(self):
        shown = subprocess.run(self.ns.cmd(["ip", "-4", "-o", "addr", "show", "dev", "kel0"]), capture_output=True,
                               text=True, check=True, timeout=10).stdout
        if f" {self.address}/" not in shown:
            subprocess.run(self.ns.cmd(["ip", "addr", "add", f"{self.address}/24", "dev", "kel0"]), check=True,
                           timeout=10)

    def start(self, timeout=20):
        """Starts it and waits until it answers."""
        assert self.proc is None or self.proc.poll() is not None
        argv = ["kamailio", "-DD", "-E", "-f", self.config, "-Y", self.dir, "-P", os.path.join(self.dir, "pid"),
                "-m", "32", "-M", "8"]
        # A session of its own: its workers go with it, whatever happens.
        self.proc = subprocess.Popen(self.ns.cmd(argv), stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                     stderr=subprocess.PIPE, text=True, errors="replace", start_new_session=True)
        self._reader = self.log.follow(self.proc.stderr)
        deadline = time.monotonic() + timeout
        while not self._answers():
            if self.proc.poll() is not None or time.monotonic() > deadline:
                text = "\n".join(self.lines())
                self.stop()
                raise RuntimeError("kamailio did not start:\n" + text)
            time.sleep(0.1)

    def _answers(self):
        """It answers an OPTIONS over UDP."""
        s = self.ns.socket(socket.AF_INET, socket.SOCK_DGRAM)
        try:
            s.bind((self.address, 0))
            port = s.getsockname()[1]
            branch = f"z9hG4bKprobe{time.monotonic_ns()}"
            s.sendto((f"OPTIONS {self.uri} SIP/2.0\r\n"
                      f"Via: SIP/2.0/UDP {self.address}:{port};branch={branch}\r\n"
                      f"From: <sip:probe@{self.address}>;tag=p\r\nTo: <{self.uri}>\r\n"
                      f"Call-ID: {branch}\r\nCSeq: 1 OPTIONS\r\nMax-Forwards: 70\r\n"
                      "Content-Length: 0\r\n\r\n").encode(), (self.address, PORT))
            s.settimeout(0.3)
            try:
                return s.recv(65536).startswith(b"SIP/2.0 200")
            except OSError:
                return False
        finally:
            s.close()

    def lines(self, pattern=None):
        """What it logged so far (the lines that match)."""
        return [line for line in self.log.all() if not pattern or re.search(pattern, line)]

    def mark(self):
        return len(self.log.all())

    def wait(self, pattern, timeout=15, start=0):
        """The first logged line from index start that matches, as a match."""
        return self.log.wait(pattern, timeout, start)[0]

    def locations(self):
        """The registered contacts, by user, from its location table."""
        r = subprocess.run(self.ns.cmd(["kamcmd", "-s", f"unix:{self.ctl}", "ul.dump"]), capture_output=True,
                           text=True, timeout=10)
        if r.returncode != 0:
            raise RuntimeError("kamcmd ul.dump: " + r.stderr)
        found, user = {}, None
        for line in r.stdout.splitlines():
            m = re.search(r"AoR: (\S+)", line)
            if m:
                user = m.group(1)
                found.setdefault(user, [])
            m = re.search(r"Address: (\S+)", line)
            if m and user:
                found[user].append(m.group(1))
        return found

    def stop(self, timeout=10):
        if self.proc is None:
            return
        if self.proc.poll() is None:
            os.killpg(self.proc.pid, signal.SIGTERM)
            try:
                self.proc.wait(timeout)
            except subprocess.TimeoutExpired:
                pass
        # Whatever is left of its workers.
        try:
            os.killpg(self.proc.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        self.proc.wait()
        # Its log ends with the last of its workers.
        self._reader.join(timeout)

    def restart(self):
        """Stops and starts it again; it forgets every registration."""
        self.stop()
        self.start()

    def close(self):
        self.stop()
