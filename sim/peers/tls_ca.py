"""A throw-away certificate authority for TLS tests, made with openssl in a
directory of the test's own: its certificate, and certificates it signs for
servers (a host name and/or an IP address) and clients. Keys are EC P-256,
unencrypted, readable by their owner only; everything lives a day.

    ca = TlsCa(tmp_path / "ca")
    server = ca.issue("registrar", ips=["192.0.2.10"], dns=["pbx.test"])
    server.cert, server.key    # PEM files
    server.combined            # certificate and key in one file (baresip's
                               # sip_certificate, kamailio's and libre's form)
    ca.cert                    # the CA's certificate: what a peer trusts
    ca.store(dir)              # a hashed directory of trusted CAs, as
                               # /etc/ssl/certs is
"""

import os
import subprocess


def _openssl(*args, cwd=None):
    r = subprocess.run(["openssl", *args], cwd=cwd, capture_output=True, text=True, timeout=60)
    if r.returncode != 0:
        raise RuntimeError(f"openssl {' '.join(args)}: {r.stderr}")
    return r.stdout


def _private(path):
    os.chmod(path, 0o600)
    return path


class Issued:
    """A certificate and its key, as files."""

    def __init__(self, cert, key, combined):
        self.cert, self.key, self.combined = cert, key, combined


class TlsCa:
    def __init__(self, directory, name="Kel Test CA"):
        self.dir = str(directory)
        os.makedirs(self.dir, exist_ok=True)
        self.cert = os.path.join(self.dir, "ca.pem")
        self._key = os.path.join(self.dir, "ca.key")
        _openssl("req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
                 "-keyout", self._key, "-out", self.cert, "-days", "1", "-subj", f"/CN={name}",
                 "-addext", "basicConstraints=critical,CA:TRUE",
                 "-addext", "keyUsage=critical,keyCertSign,cRLSign")
        _private(self._key)
        self._serial = 1

    def issue(self, name, dns=(), ips=(), cn=None, client=False):
        """A certificate named name (its files' names too) for the given host
        names and addresses (its subjectAltName); client: for a client
        rather than a server. cn: its common name (the first name, address
        or name by default)."""
        dns, ips = list(dns), list(ips)
        cn = cn or (dns + ips + [name])[0]
        base = os.path.join(self.dir, name)
        key, csr, cert, ext = base + ".key", base + ".csr", base + ".pem", base + ".ext"
        _openssl("req", "-new", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
                 "-keyout", key, "-out", csr, "-subj", f"/CN={cn}")
        _private(key)
        lines = ["basicConstraints=critical,CA:FALSE", "keyUsage=critical,digitalSignature,keyEncipherment",
                 "extendedKeyUsage=" + ("clientAuth" if client else "serverAuth,clientAuth")]
        alt = [f"DNS:{d}" for d in dns] + [f"IP:{i}" for i in ips]
        if alt:
            lines.append("subjectAltName=" + ",".join(alt))
        with open(ext, "w") as f:
            f.write("\n".join(lines) + "\n")
        self._serial += 1
        _openssl("x509", "-req", "-in", csr, "-CA", self.cert, "-CAkey", self._key, "-set_serial",
                 str(self._serial), "-days", "1", "-extfile", ext, "-out", cert)
        os.unlink(csr)
        os.unlink(ext)
        combined = base + "-combined.pem"
        with open(combined, "w") as f:
            for part in (cert, key):
                with open(part) as p:
                    f.write(p.read())
        _private(combined)
        return Issued(cert, key, combined)

    def store(self, directory):
        """A directory of trusted certificates holding this CA, hashed as
        OpenSSL looks certificates up in /etc/ssl/certs."""
        os.makedirs(directory, exist_ok=True)
        with open(self.cert) as src, open(os.path.join(directory, "kel-test-ca.pem"), "w") as dst:
            dst.write(src.read())
        _openssl("rehash", str(directory))
        return str(directory)
