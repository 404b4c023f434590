"""The real service running in the foreground on 127.0.0.1:10032, for the tests that talk to it
over loopback: start, wait until it accepts, one request per connection, stop with SIGTERM.
Also the address the service should report on this machine, as its own adapter list gives it."""

import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time

PORT = 10032
REPLY_HEADER = (b"HTTP/1.1 200 OK\r\nAccess-Control-Allow-Origin: *\r\n"
                b"Content-Type: text/html\r\n\r\n")
START_WAIT_S = 15.0  # generous: the sanitizer build starts slowly
STOP_WAIT_S = 10.0
# The service's own adapter list reader (tests/linux/adapter_list_probe), named by ctest.
ADAPTER_PROBE = "TALVORO_ADAPTER_PROBE"


def expected_address():
    """The address the service's own adapter list gives on this host, as 00-1A-2B-3C-4D-5E;
    empty when no adapter has a gateway. The list itself is tested case by case in private
    network namespaces (linux_adapters); here it is what the replies must carry."""
    probe = os.environ.get(ADAPTER_PROBE)
    if not probe:
        raise RuntimeError(f"{ADAPTER_PROBE} must name the adapter_list_probe program")
    lines = subprocess.run([probe], capture_output=True, text=True, check=True,
                           timeout=30).stdout.splitlines()
    if not lines or not lines[-1].startswith("answer"):
        raise RuntimeError(f"unexpected output of {probe}: {lines}")
    return lines[-1].partition(" ")[2]


def port_accepts(timeout=0.5):
    try:
        with socket.create_connection(("127.0.0.1", PORT), timeout=timeout):
            return True
    except OSError:
        return False


def exchange(request, timeout=5.0):
    """Sends `request` on a new connection and reads until the service closes it. Returns the
    bytes received and how it ended: "eof", "timeout" or "reset"."""
    received = b""
    with socket.create_connection(("127.0.0.1", PORT), timeout=timeout) as connection:
        try:
            if request:
                connection.sendall(request)
            deadline = time.monotonic() + timeout
            while time.monotonic() < deadline:
                chunk = connection.recv(65536)
                if not chunk:
                    return received, "eof"
                received += chunk
        except socket.timeout:
            return received, "timeout"
        except (ConnectionResetError, BrokenPipeError):
            return received, "reset"
    return received, "timeout"


class LiveService:
    """The executable copied into a folder of its own, so that its log lands there, and run
    with no argument: the service in the foreground. Use as a context manager."""

    def __init__(self, executable):
        self.executable = executable
        self.folder = None
        self.process = None

    def __enter__(self):
        if port_accepts():
            raise RuntimeError(f"something already listens on 127.0.0.1:{PORT}")
        try:
            return self._start()
        except BaseException:
            self.__exit__(None, None, None)
            raise

    def launch(self):
        """Starts the copy and returns at once, whether or not it gets the port."""
        self.folder = tempfile.mkdtemp(prefix="talvoro-live-")
        path = os.path.join(self.folder, "talvoro_macadress")
        shutil.copy2(self.executable, path)
        with open(os.path.join(self.folder, "stdout"), "wb") as out, \
                open(os.path.join(self.folder, "stderr"), "wb") as err:
            self.process = subprocess.Popen([path], cwd=self.folder, stdin=subprocess.DEVNULL,
                                            stdout=out, stderr=err)

    def _start(self):
        self.launch()
        deadline = time.monotonic() + START_WAIT_S
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                raise RuntimeError(f"the service ended at start with {self.process.returncode}: "
                                   f"{self.output()!r}")
            if port_accepts():  # the probe sends nothing: the service goes back to accept
                if b"Bind Error" in self.output()[0]:
                    raise RuntimeError(f"another program holds 127.0.0.1:{PORT}")
                return self
            time.sleep(0.05)
        raise RuntimeError(f"127.0.0.1:{PORT} did not accept within {START_WAIT_S} s")

    def running(self):
        return self.process.poll() is None

    def output(self):
        """What the service printed on stdout and stderr."""
        texts = []
        for name in ("stdout", "stderr"):
            with open(os.path.join(self.folder, name), "rb") as stream:
                texts.append(stream.read())
        return tuple(texts)

    def stop(self):
        """SIGTERM; returns the exit code, or None when it did not end in time."""
        if self.running():
            self.process.send_signal(signal.SIGTERM)
        try:
            return self.process.wait(timeout=STOP_WAIT_S)
        except subprocess.TimeoutExpired:
            return None

    def __exit__(self, *exc):
        if self.process is not None and self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        if self.folder is not None:
            shutil.rmtree(self.folder, ignore_errors=True)
        return False


def encode(macparam, text):
    result = subprocess.run([macparam, "encode", text], capture_output=True, check=True,
                            timeout=30)
    return result.stdout.decode("ascii").strip()
