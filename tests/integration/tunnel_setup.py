"""The pieces of a real TLS tunnel in front of the query server that the tunnel and HTTPS tests
share: a free loopback port, a self-signed certificate made with openssl, the tunnel program's
configuration, the tail of its log, and this process as the subreaper of the tunnels that
outlive the service."""

import ctypes
import os
import socket
import subprocess

from live_service import PORT

PR_SET_CHILD_SUBREAPER = 36


def free_loopback_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def certificate(folder, name, host):
    """A self-signed certificate and its key for `host`, as two files in folder."""
    cert, key = os.path.join(folder, f"{name}.pem"), os.path.join(folder, f"{name}.key")
    subject_name = "IP" if host.replace(".", "").isdigit() else "DNS"
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1",
                    "-subj", f"/CN={host}", "-addext", f"subjectAltName={subject_name}:{host}",
                    "-keyout", key, "-out", cert], check=True, capture_output=True, timeout=60)
    return cert, key


def write_tunnel_config(folder, port, log):
    """The tunnel program's configuration in folder, with a certificate of its own: in the
    foreground, TLS on 127.0.0.1:port forwarded to the query server, its log in `log`.
    Returns the configuration's path."""
    cert, key = certificate(folder, "tunnel", "127.0.0.1")
    config = os.path.join(folder, "tunnel.conf")
    with open(config, "w", encoding="utf-8") as out:
        out.write(f"foreground = yes\npid =\noutput = {log}\n"
                  f"[query]\naccept = 127.0.0.1:{port}\n"
                  f"connect = 127.0.0.1:{PORT}\ncert = {cert}\nkey = {key}\n")
    return config


def read_tail(path, chars):
    """The last `chars` characters of a log, or '' when there is none yet."""
    try:
        with open(path, encoding="latin-1") as log:
            return log.read()[-chars:]
    except FileNotFoundError:
        return ""


def become_subreaper():
    """Tunnels outlive the service; as their subreaper this process inherits and reaps them,
    whatever pid 1 of this machine does with orphans."""
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) != 0:
        raise OSError(ctypes.get_errno(), "prctl(PR_SET_CHILD_SUBREAPER)")
