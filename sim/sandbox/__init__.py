"""What the terminal's operating system gives its programs, made for a test
of its own: the sandbox root, System V IPC, the system log, systemd (the
notification socket and a service manager), a sound server, stand-ins of
the system programs, and the kernel interfaces simulated devices sit
behind (pseudo-terminals with modem lines, FUSE mounts)."""
