"""What the terminal talks to: the push server, the dispatcher, the voice
console's command pipe, SIP user agents and a registrar, a certificate
authority for TLS, and net-snmp's master agent and trap receiver."""
