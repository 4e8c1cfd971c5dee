"""Making and measuring sound: G.711 coding, RTP streams, the pitch of a
recorded tone."""
