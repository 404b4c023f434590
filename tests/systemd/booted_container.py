"""A Debian root booted with systemd-nspawn, its own systemd as PID 1, for tests that need a
real service manager: commands run inside with nsenter, a tap device gives the container an
adapter with a default gateway, and the container is powered off at the end, killed when it
does not end in time. Use as a context manager.

nspawn runs in a control group of its own (one per hierarchy it uses), made here and removed
afterwards: started from the host's root group it would put every container into the same
"payload" group, where two containers' systemds would manage one tree."""

import os
import signal
import subprocess
import tempfile
import time

BOOT_WAIT_S = 120.0
POWER_OFF_WAIT_S = 60.0
SLOW_POWER_OFF_S = 5.0  # a clean one takes well under a second: show why it took longer
KILL_WAIT_S = 10.0
CGROUP_REMOVE_WAIT_S = 5.0
INSIDE_PATH = "/usr/sbin:/usr/bin:/sbin:/bin"
BOOTED_STATES = ("running", "degraded")


class ContainerError(Exception):
    """The container did not boot, or a set-up step inside it failed."""


def _host_cgroup_bases():
    """The folders of this process's own groups in the hierarchies nspawn puts its container
    into: the unified one and, on a hybrid host, the named "systemd" one."""
    mounts = {}
    with open("/proc/self/mountinfo", encoding="utf-8") as mountinfo:
        for line in mountinfo:
            fields = line.split()
            separator = fields.index("-")
            fs_type, options = fields[separator + 1], fields[separator + 3]
            if fs_type == "cgroup2":
                mounts[""] = fields[4]
            elif fs_type == "cgroup" and "name=systemd" in options.split(","):
                mounts["name=systemd"] = fields[4]
    bases = []
    with open("/proc/self/cgroup", encoding="utf-8") as groups:
        for line in groups:
            _, controllers, path = line.rstrip("\n").split(":", 2)
            if controllers in mounts:
                bases.append(os.path.join(mounts[controllers], path.lstrip("/")))
    return bases


def _remove_cgroup_tree(top):
    """Deepest first; a group empties only once its last process is reaped."""
    deadline = time.monotonic() + CGROUP_REMOVE_WAIT_S
    while os.path.isdir(top):
        for folder, _, _ in os.walk(top, topdown=False):
            try:
                os.rmdir(folder)
            except OSError:
                pass
        if time.monotonic() > deadline:
            print(f"NOTE: could not remove the control group {top}")
            return
        time.sleep(0.05)


def _end_inside_first(nsenter):
    """Kills what nsenter runs inside before nsenter itself. Killed first, nsenter would leave
    its child to the host's init, and the container's systemd, which never hears of that
    child's end, would wait out its full time-out for it at power-off."""
    try:
        with open(f"/proc/{nsenter.pid}/task/{nsenter.pid}/children", encoding="ascii") as file:
            children = [int(pid) for pid in file.read().split()]
    except OSError:
        children = []
    for child in children:
        try:
            os.kill(child, signal.SIGKILL)
        except ProcessLookupError:
            pass
    try:
        nsenter.communicate(timeout=KILL_WAIT_S)
    except subprocess.TimeoutExpired:
        nsenter.kill()
        nsenter.communicate()


class BootedContainer:
    """One boot of root; see the module's description."""

    def __init__(self, root, binds_read_only=()):
        """binds_read_only: (host path, path inside) pairs."""
        self.root = root
        self.binds = list(binds_read_only)
        # Unique: nspawn keeps per-machine state under /run/systemd/nspawn by this name.
        self.name = f"talvoro-systemd-{os.getpid()}-{time.monotonic_ns() % 100000}"
        self.process = None
        self.leader = None  # the container's PID 1, as the host numbers it
        self.cgroups = []
        self.console_log = None
        self.boot_seconds = None

    # --- boot and power-off ---------------------------------------------------------------

    def __enter__(self):
        try:
            self._boot()
        except BaseException:
            self.__exit__(None, None, None)
            raise
        return self

    def _boot(self):
        for base in _host_cgroup_bases():
            group = os.path.join(base, self.name)
            os.mkdir(group)
            self.cgroups.append(group)
        command = ["systemd-nspawn", "--quiet", "--boot", "--register=no", "--keep-unit",
                   "--private-network", "--volatile=overlay", "--console=read-only",
                   f"--machine={self.name}", "-D", self.root]
        command += [f"--bind-ro={host}:{inside}" for host, inside in self.binds]
        # The unified hierarchy, as a current Debian host gives its containers.
        environment = dict(os.environ, SYSTEMD_NSPAWN_UNIFIED_HIERARCHY="1")
        self.console_log = tempfile.TemporaryFile()
        began = time.monotonic()
        self.process = subprocess.Popen(command, stdin=subprocess.DEVNULL,
                                        stdout=self.console_log, stderr=subprocess.STDOUT,
                                        env=environment, start_new_session=True,
                                        preexec_fn=self._enter_own_cgroups)
        deadline = began + BOOT_WAIT_S
        while self.leader is None:
            self._check_alive()
            self.leader = self._find_leader()
            self._wait_step(deadline, "the container's systemd did not start")
        state = ""
        while state not in BOOTED_STATES:
            self._check_alive()
            state = self.run(["systemctl", "is-system-running"], timeout=10)[1].strip()
            if state not in BOOTED_STATES:
                self._wait_step(deadline, f"systemd did not finish booting (state {state!r})")
        self.boot_seconds = time.monotonic() - began
        print(f"     container {self.name}: booted to '{state}' in {self.boot_seconds:.1f} s")
        if state == "degraded":
            print(self.run(["systemctl", "--failed", "--no-pager"])[1])

    def _enter_own_cgroups(self):
        for group in self.cgroups:
            with open(os.path.join(group, "cgroup.procs"), "w", encoding="ascii") as procs:
                procs.write("0")

    def _check_alive(self):
        if self.process.poll() is not None:
            raise ContainerError(f"systemd-nspawn ended with {self.process.returncode}:\n"
                                 + self.console_tail())

    def _wait_step(self, deadline, what):
        if time.monotonic() > deadline:
            raise ContainerError(f"{what} within {BOOT_WAIT_S:.0f} s:\n" + self.console_tail())
        time.sleep(0.1)

    def _find_leader(self):
        """nspawn's child that is PID 1 of its own PID namespace, once it is systemd."""
        for entry in os.listdir("/proc"):
            if not entry.isdigit():
                continue
            try:
                with open(f"/proc/{entry}/status", encoding="utf-8") as status:
                    fields = dict(line.rstrip("\n").split(":\t", 1) for line in status
                                  if ":\t" in line)
            except OSError:
                continue
            if (fields.get("PPid") == str(self.process.pid) and fields.get("Name") == "systemd"
                    and fields.get("NSpid", "").split()[-1:] == ["1"]):
                return int(entry)
        return None

    def console_tail(self, size=3000):
        self.console_log.seek(0)
        return self.console_log.read().decode("utf-8", "replace")[-size:]

    def __exit__(self, *exc):
        if self.process is not None:
            self._power_off()
        for group in reversed(self.cgroups):
            _remove_cgroup_tree(group)
        if self.console_log is not None:
            self.console_log.close()
        return False

    def _power_off(self):
        """SIGTERM asks nspawn to halt the container in order; a container that does not end
        in time is killed with its whole PID namespace."""
        began = time.monotonic()
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
        try:
            self.process.wait(timeout=POWER_OFF_WAIT_S)
            seconds = time.monotonic() - began
            print(f"     container {self.name}: powered off in {seconds:.1f} s")
            if seconds > SLOW_POWER_OFF_S:
                print("     the end of its console:\n" + self.console_tail(1500))
            return
        except subprocess.TimeoutExpired:
            print(f"NOTE: container {self.name} did not power off within "
                  f"{POWER_OFF_WAIT_S:.0f} s; killed")
        # Everything the container runs is in our groups: cgroup.kill ends it all at once,
        # where killing nspawn alone would leave the container running.
        for group in self.cgroups:
            kill_file = os.path.join(group, "cgroup.kill")
            if os.path.exists(kill_file):
                with open(kill_file, "w", encoding="ascii") as kill:
                    kill.write("1")
        for pid in (self.leader, self.process.pid):
            if pid is not None:
                try:
                    os.kill(pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
        self.process.wait(timeout=KILL_WAIT_S)

    # --- inside ---------------------------------------------------------------------------

    def run(self, command, input_bytes=None, timeout=60):
        """Runs command (a list) in the container's namespaces, with a clean environment.
        Returns (exit code, stdout, stderr) as text; exit code 124 when it timed out."""
        full = (["nsenter", "-t", str(self.leader), "-a", "--",
                 "env", "-i", f"PATH={INSIDE_PATH}", "LANG=C.UTF-8"] + list(command))
        with subprocess.Popen(full, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE) as nsenter:
            try:
                out, err = nsenter.communicate(input_bytes, timeout=timeout)
            except BaseException as interruption:  # a time-out, or the test is being stopped
                _end_inside_first(nsenter)
                if not isinstance(interruption, subprocess.TimeoutExpired):
                    raise
                return 124, "", f"timed out after {timeout} s"
        return nsenter.returncode, out.decode("utf-8", "replace"), err.decode("utf-8", "replace")

    def shell(self, script, input_bytes=None, timeout=60):
        return self.run(["bash", "-c", script], input_bytes=input_bytes, timeout=timeout)

    def must(self, script):
        """A set-up step that has to work; its stdout."""
        code, out, err = self.shell(script)
        if code != 0:
            raise ContainerError(f"inside the container, {script!r} failed with {code}: {err}")
        return out

    def add_tap(self, name, hardware_address, address, gateway):
        """A tap device with an address and a default route through gateway: an adapter with
        a gateway, which is what the service reports. Nothing answers on it."""
        self.must(f"ip tuntap add dev {name} mode tap && "
                  f"ip link set {name} address {hardware_address} && "
                  f"ip addr add {address} dev {name} && ip link set {name} up && "
                  f"ip route add default via {gateway} dev {name} onlink")
