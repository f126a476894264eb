#!/usr/bin/python3
"""A private OpenSSH server (SFTP only) for the tests and benchmarks.

    sftp_server.py DIR
Makes in DIR: host_key(.pub) (the server's ed25519 host key), client_key(.pub)
(the only key that may log in), sshd_config and root/ (a folder for the
test's files). Starts /usr/sbin/sshd on 127.0.0.1 with that config only,
prints the port on stdout once connections are accepted, and runs until
SIGTERM, which stops sshd by its PID. Needs root (sshd changes user for each
login): the one account that may log in is root, with client_key only, and
only to the SFTP subsystem; no password is accepted. Exits 1 with the reason
on stderr when the server cannot start.
"""
import os
import signal
import socket
import subprocess
import sys
import time

SSHD = "/usr/sbin/sshd"

directory = os.path.abspath(sys.argv[1])
if os.geteuid() != 0:
    sys.exit("sftp_server.py: sshd needs root to log users in")
if not os.access(SSHD, os.X_OK):
    sys.exit("sftp_server.py: %s is missing (openssh-server)" % SSHD)


def keygen(name):
    path = os.path.join(directory, name)
    if not os.path.exists(path):
        subprocess.run(["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-C", name, "-f", path],
                       check=True, stdin=subprocess.DEVNULL)
    return path


host_key = keygen("host_key")
keygen("client_key")
os.makedirs(os.path.join(directory, "root"), exist_ok=True)
# sshd's privilege separation folder; Debian makes it only when the service
# starts.
os.makedirs("/run/sshd", mode=0o755, exist_ok=True)


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def write_config(port):
    path = os.path.join(directory, "sshd_config")
    with open(path, "w") as out:
        out.write("\n".join([
            "ListenAddress 127.0.0.1:%d" % port,
            "HostKey " + host_key,
            "PidFile none",
            "AuthorizedKeysFile " + os.path.join(directory, "client_key.pub"),
            "AllowUsers root",
            "PermitRootLogin prohibit-password",
            "PubkeyAuthentication yes",
            "PasswordAuthentication no",
            "KbdInteractiveAuthentication no",
            "UsePAM no",
            "StrictModes no",
            "X11Forwarding no",
            "AllowTcpForwarding no",
            "AllowAgentForwarding no",
            "PermitTTY no",
            "ForceCommand internal-sftp",
            "Subsystem sftp internal-sftp",
            "LogLevel FATAL",  # the start-up probe would log a closed connection
            "",
        ]))
    return path


server = None
stopping = False


def stop(*_):
    # Only signals sshd: the main flow waits for it and then exits. (Waiting
    # here, inside the main flow's own wait, would deadlock on its lock.)
    global stopping
    stopping = True
    if server is not None:
        try:
            os.kill(server.pid, signal.SIGTERM)
        except ProcessLookupError:
            pass


signal.signal(signal.SIGTERM, stop)
signal.signal(signal.SIGINT, stop)

# sshd cannot bind port 0 and report it: a free port is picked and, in the rare
# case another process takes it first, the next one.
for attempt in range(5):
    if stopping:
        break
    port = free_port()
    config = write_config(port)
    server = subprocess.Popen([SSHD, "-D", "-e", "-f", config], stdin=subprocess.DEVNULL)
    deadline = time.monotonic() + 5
    while time.monotonic() < deadline and server.poll() is None:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=0.2).close()
            break
        except OSError:
            time.sleep(0.02)
    if server.poll() is None and not stopping:
        print(port, flush=True)
        server.wait()
        sys.exit(0)
    stop()
    server.wait()
if stopping:
    sys.exit(0)
sys.exit("sftp_server.py: sshd did not start")
