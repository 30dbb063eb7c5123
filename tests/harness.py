"""Shared by the process-level tests: the wire constants, a tally of results,
and for the load and fault tests the real service inside private mount and
network namespaces, with a stub opener that records every URL, and a plain
peer that speaks the wire protocol."""

import glob
import os
import re
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time
import traceback

ADDRESS = b"\0ftnl54531"
VERSION = struct.pack("<I", 0x00010001)
OPTIONS = struct.pack("<I", 0x00000002)
HANDSHAKE = VERSION + b"\0" + b"\0\0\0\0" + b"\0"
OPENER = "/usr/bin/xdg-open"
PYTHON = "/usr/bin/python3"
NAMESPACE_MARK = "QUILLMERE_RELIABILITY_NAMESPACE"
SKIP = 77


def open_url_frame(url, prefix=b"\0\0\0\0"):
    if isinstance(url, str):
        url = url.encode()
    return struct.pack("<II", 1, len(prefix) + len(url)) + prefix + url


def listener_inode():
    """The inode of the listening service socket in this namespace, or None."""
    # Accepted sockets carry the name too; only a listener has __SO_ACCEPTCON.
    name = "@" + ADDRESS[1:].decode()
    with open("/proc/net/unix") as f:
        for line in f.readlines()[1:]:
            fields = line.split()
            if len(fields) >= 8 and fields[7] == name and fields[3] == "00010000":
                return int(fields[6])
    return None


def end_namespace_processes(timeout=10):
    """Kills whatever a case left running in its network namespace (there is no
    pid namespace) and waits until it is gone."""
    ours = os.readlink("/proc/self/ns/net")
    # Only in a namespace unshare made for us: whoever ran unshare is outside it.
    try:
        with open("/proc/%d/stat" % os.getppid()) as f:
            grandparent = int(f.read().rsplit(")", 1)[1].split()[1])
        if os.readlink("/proc/%d/ns/net" % grandparent) == ours:
            return
    except (OSError, ValueError, IndexError):
        return
    killed = []
    for entry in glob.glob("/proc/[0-9]*/ns/net"):
        pid = int(entry.split("/")[2])
        if pid in (os.getpid(), os.getppid()):
            continue
        try:
            if os.readlink(entry) == ours:
                os.kill(pid, signal.SIGKILL)
                killed.append(pid)
        except OSError:
            pass
    deadline = time.time() + timeout
    for pid in killed:
        while time.time() < deadline:
            try:
                # Orphans handed to this process as subreaper are reaped here.
                if os.waitpid(pid, os.WNOHANG)[0] == pid:
                    break
            except ChildProcessError:
                pass
            try:
                with open("/proc/%d/stat" % pid) as f:
                    if f.read().rsplit(")", 1)[1].split()[0] == "Z":
                        break
            except OSError:
                break
            time.sleep(0.01)


def enter_namespaces():
    """Re-runs the calling script inside its own mount and network namespaces,
    or skips (fails under CI) where that cannot be done."""
    if os.environ.get(NAMESPACE_MARK) == "1":
        return
    reason = None
    if os.geteuid() != 0:
        reason = "needs root for namespaces and bind mounts"
    elif not shutil.which("unshare"):
        reason = "unshare is not installed"
    elif not os.path.exists(OPENER):
        reason = OPENER + " is missing (install xdg-utils)"
    if reason:
        if os.environ.get("CI") == "true":
            print("cannot run: " + reason)
            print("0 passed, 1 failed")
            sys.exit(1)
        print("skipped: " + reason)
        print("0 passed, 0 failed")
        sys.exit(SKIP)
    env = dict(os.environ)
    env[NAMESPACE_MARK] = "1"
    os.execvpe("unshare", ["unshare", "--mount", "--net", "--fork",
                           sys.executable, os.path.abspath(sys.argv[0])] + sys.argv[1:], env)


def become_subreaper():
    # Connection children outlive a stopped service; they are reparented here.
    import ctypes
    libc = ctypes.CDLL(None, use_errno=True)
    PR_SET_CHILD_SUBREAPER = 36
    libc.prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0)


STUB = r"""#!/bin/sh
# Records every URL at its start, then acts on its scheme.
printf '%s\n' "$1" >> {dir}/urls
case "$1" in
hang:*)
	i=0
	while [ -e {dir}/hold ] && [ $i -lt 1200 ]; do /bin/sleep 0.05; i=$((i+1)); done ;;
kill:*)
	kill -KILL $$ ;;
segv:*)
	# Undumpable first, so that no core helper of the machine is started.
	exec {python} -c 'import ctypes, os, signal; ctypes.CDLL(None).prctl(4, 0, 0, 0, 0); os.kill(os.getpid(), signal.SIGSEGV)' ;;
esac
exit 0
"""


class Sandbox:
    """A temporary directory with the stub opener bind-mounted over the real one."""

    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="quillmere-reliability-")
        os.chmod(self.dir, 0o755)
        self.stub = os.path.join(self.dir, "xdg-open")
        with open(self.stub, "w") as f:
            f.write(STUB.replace("{dir}", self.dir).replace("{python}", PYTHON))
        os.chmod(self.stub, 0o755)
        open(self.urls_path, "w").close()
        subprocess.run(["mount", "--make-rprivate", "/"], check=True)
        subprocess.run(["mount", "--bind", self.stub, OPENER], check=True)

    @property
    def urls_path(self):
        return os.path.join(self.dir, "urls")

    @property
    def hold_path(self):
        return os.path.join(self.dir, "hold")

    def urls(self):
        with open(self.urls_path) as f:
            return f.read().splitlines()

    def wait_for_url(self, url, timeout=10):
        deadline = time.time() + timeout
        while time.time() < deadline:
            if url in self.urls():
                return True
            time.sleep(0.01)
        return False

    def cleanup(self):
        subprocess.run(["umount", OPENER], check=False)
        shutil.rmtree(self.dir, ignore_errors=True)


class Service:
    """The real binary in the foreground, its records collected in a file."""

    def __init__(self, binary, sandbox, name, env=None):
        self.log_path = os.path.join(sandbox.dir, name + ".log")
        self.log = open(self.log_path, "wb")
        full_env = dict(os.environ)
        full_env.update(env or {})

        def no_cores():
            import resource
            # A crashing opener must not leave core files behind.
            resource.setrlimit(resource.RLIMIT_CORE, (0, 0))

        self.proc = subprocess.Popen([os.path.abspath(binary), "-D", "-v", "info"], stdin=subprocess.DEVNULL,
                                     stdout=subprocess.DEVNULL, stderr=self.log,
                                     env=full_env, cwd=sandbox.dir, preexec_fn=no_cores)
        self.pid = self.proc.pid
        deadline = time.time() + 20
        while not self.listening():
            if self.proc.poll() is not None or time.time() > deadline:
                raise RuntimeError("service did not start: " + self.records())
            time.sleep(0.02)

    def listening(self):
        return listener_inode() is not None

    def records(self):
        with open(self.log_path, "rb") as f:
            return f.read().decode(errors="replace")

    def wait_for_record(self, pattern, count=1, timeout=10):
        deadline = time.time() + timeout
        while time.time() < deadline:
            if len(re.findall(pattern, self.records(), re.M)) >= count:
                return True
            time.sleep(0.01)
        return False

    def descriptors(self):
        return len(os.listdir("/proc/%d/fd" % self.pid))

    def resident_kib(self):
        with open("/proc/%d/status" % self.pid) as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
        return 0

    def children(self, pid=None):
        """(pid, state) of every live or zombie child."""
        parent = self.pid if pid is None else pid
        found = []
        for entry in os.listdir("/proc"):
            if not entry.isdigit():
                continue
            try:
                with open("/proc/%s/stat" % entry) as f:
                    stat = f.read()
            except OSError:
                continue
            fields = stat[stat.rindex(")") + 2:].split()
            if int(fields[1]) == parent:
                found.append((int(entry), fields[0]))
        return found

    def wait_childless(self, timeout=15):
        deadline = time.time() + timeout
        while self.children() and time.time() < deadline:
            time.sleep(0.02)
        return self.children()

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.log.close()


class Peer:
    """One connection, spoken byte by byte as a plug-in would."""

    def __init__(self, timeout=30):
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        # With a backlog of 0 a connect waits for the accept; bound that wait.
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_SNDTIMEO, struct.pack("ll", timeout, 0))
        self.sock.connect(ADDRESS)
        self.sock.settimeout(timeout)

    def recv_exact(self, n):
        data = b""
        while len(data) < n:
            chunk = self.sock.recv(n - len(data))
            if not chunk:
                break
            data += chunk
        return data

    def handshake(self):
        if self.recv_exact(4) != VERSION:
            raise AssertionError("no version word from the service")
        self.sock.sendall(VERSION)
        if self.recv_exact(1) != b"\0":
            raise AssertionError("version refused")
        self.sock.sendall(b"\0")
        if self.recv_exact(4) != OPTIONS:
            raise AssertionError("no options word")
        self.sock.sendall(b"\0\0\0\0")
        if self.recv_exact(1) != b"\0":
            raise AssertionError("options refused")
        self.sock.sendall(b"\0")
        return self

    def open(self, *urls):
        self.sock.sendall(b"".join(open_url_frame(u) for u in urls))

    def finish(self):
        """Ends the sending side and waits until the service has closed the
        connection, which it does only after every command was carried out."""
        self.sock.shutdown(socket.SHUT_WR)
        while self.sock.recv(4096):
            pass
        self.sock.close()

    def close(self):
        self.sock.close()


class Results:
    def __init__(self):
        self.passed = 0
        self.failed = 0

    def check(self, name, ok, detail=""):
        if ok:
            self.passed += 1
            print("ok   " + name)
        else:
            self.failed += 1
            print("FAIL %s: %s" % (name, detail))
        sys.stdout.flush()

    def run(self, name, test, *args):
        try:
            test(*args)
        except Exception:
            self.failed += 1
            print("FAIL " + name)
            traceback.print_exc(file=sys.stdout)
        else:
            self.passed += 1
            print("ok   " + name)
        sys.stdout.flush()

    def finish(self):
        print("%d passed, %d failed" % (self.passed, self.failed))
        sys.exit(1 if self.failed else 0)


def check(condition, message):
    if not condition:
        raise AssertionError(message)
