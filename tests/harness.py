"""The one fixture of every process-level test: the wire constants, the skip
rule, mount and network namespaces of a test's own, a sandbox with the stub
opener bind-mounted over the real one, the real service, and peers that run
as a chosen user with a chosen environment and groups.

Run as a program, this file is that peer:
  harness.py --peer [--env-file F] [--nodump] [--exit] [--malformed] [--hold=N]
              [--hold-as-ids=K:N] [--churn=N] URL...
or a listener in the background, as a display or a bus ("@" for an abstract name):
  harness.py --listen ADDRESS
"""

import ctypes
import glob
import json
import os
import re
import resource
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import traceback

ADDRESS = b"\0ftnl54531"
VERSION = struct.pack("<I", 0x00010001)
OPTIONS = struct.pack("<I", 0x00000002)
HANDSHAKE = VERSION + b"\0" + b"\0\0\0\0" + b"\0"
# What the service answers to HANDSHAKE.
REPLIES = VERSION + b"\0" + OPTIONS + b"\0"
OPENER = "/usr/bin/xdg-open"
PYTHON = "/usr/bin/python3"
UNSHARE = ["unshare", "--mount", "--net", "--fork"]
NAMESPACE_MARK = "QUILLMERE_TEST_NAMESPACE"
SKIP = 77


def open_url_frame(url, prefix=b"\0\0\0\0"):
    if isinstance(url, str):
        url = url.encode()
    return struct.pack("<II", 1, len(prefix) + len(url)) + prefix + url


def project_version(build_dir):
    """The version the build was configured with, from its generated header."""
    with open(os.path.join(build_dir, "version.h")) as f:
        return re.search(r'#define QUILLMERE_VERSION "([^"]+)"', f.read()).group(1)


# ---------------------------------------------------------------- results

class Failure(AssertionError):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


def check_equal(actual, expected, what):
    if actual != expected:
        raise Failure("%s:\n  expected %r\n  actual   %r" % (what, expected, actual))


def wait_for(predicate, what, timeout=10.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(0.02)
    raise Failure("timed out waiting for " + what)


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
        except Failure as e:
            self.check(name, False, e)
        except Exception:
            self.failed += 1
            print("FAIL " + name)
            traceback.print_exc(file=sys.stdout)
            sys.stdout.flush()
        else:
            self.check(name, True)

    def finish(self):
        print("%d passed, %d failed" % (self.passed, self.failed))
        sys.exit(1 if self.failed else 0)


def skip_or_fail(reason):
    """Where a test cannot run it skips, except under CI, where that is a failure."""
    if os.environ.get("CI") == "true":
        print("cannot run under CI: %s\n0 passed, 1 failed" % reason)
        sys.exit(1)
    print("skipped: %s\n0 passed, 0 failed" % reason)
    sys.exit(SKIP)


def require_namespaces():
    """Skips (fails under CI) where namespaces, other users or the opener are missing."""
    if os.geteuid() != 0:
        skip_or_fail("needs root for namespaces, bind mounts and other users")
    for tool in ("unshare", "setpriv", "mount", PYTHON, OPENER):
        if not shutil.which(tool):
            skip_or_fail("%s is missing (see scripts/deps.sh)" % tool)
    probe = subprocess.run(UNSHARE + ["true"], capture_output=True, timeout=30)
    if probe.returncode != 0:
        skip_or_fail("unshare refused: %s" % probe.stderr.decode().strip())


# ---------------------------------------------------------------- namespaces

def enter_namespaces():
    """Re-runs the calling script inside mount and network namespaces of its own."""
    if os.environ.get(NAMESPACE_MARK) == "1":
        return
    require_namespaces()
    env = dict(os.environ)
    env[NAMESPACE_MARK] = "1"
    os.execvpe("unshare", UNSHARE + [sys.executable, os.path.abspath(sys.argv[0])] + sys.argv[1:], env)


def run_cases(script, names, args, timeout):
    """Runs each case of a script in namespaces of its own, as
    `script --case NAME ARGS...`, and prints what it printed. A case prints an
    'ok   ' or 'FAIL ' line per check; one that ends badly without saying so
    fails too. Returns the counts (passed, failed)."""
    passed = failed = 0
    for name in names:
        cmd = UNSHARE + [sys.executable, "-I", os.path.abspath(script), "--case", name, *args]
        try:
            done = subprocess.run(cmd, stdin=subprocess.DEVNULL, capture_output=True,
                                  text=True, timeout=timeout)
            status, output = done.returncode, done.stdout + done.stderr
        except subprocess.TimeoutExpired as e:
            status, output = None, (e.stdout or b"").decode(errors="replace")
        # What a passing case prints is a measurement worth keeping in the log.
        if output.strip():
            print(output.rstrip())
        lines = output.splitlines()
        passed += sum(line.startswith("ok   ") for line in lines)
        failed += sum(line.startswith("FAIL ") for line in lines)
        if status != 0 and not any(line.startswith("FAIL ") for line in lines):
            print("FAIL %s: %s" % (name, "timed out" if status is None else "status %d" % status))
            failed += 1
        sys.stdout.flush()
    return passed, failed


def listener_inode(pid="self"):
    """The inode of the listening service socket in the network namespace of
    pid (this one by default), or None."""
    # Accepted sockets carry the name too; only a listener has __SO_ACCEPTCON.
    name = "@" + ADDRESS[1:].decode()
    with open("/proc/%s/net/unix" % pid) as f:
        for line in f.readlines()[1:]:
            fields = line.split()
            if len(fields) >= 8 and fields[7] == name and fields[3] == "00010000":
                return int(fields[6])
    return None


def wait_listening(proc, timeout=10):
    """Whether proc, still running, came to listen on the service's name in time."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if listener_inode() is not None:
            return True
        if proc.poll() is not None:
            return False
        time.sleep(0.02)
    return False


def children_of(pid):
    """{child pid: state letter} of pid's children."""
    found = {}
    for stat in glob.glob("/proc/[0-9]*/stat"):
        try:
            with open(stat) as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        if int(fields[1]) == pid:
            found[int(stat.split("/")[2])] = fields[0]
    return found


def process_gone(pid):
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().rsplit(")", 1)[1].split()[0] == "Z"
    except OSError:
        return True


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
            if process_gone(pid):
                break
            time.sleep(0.01)


def become_subreaper():
    # Connection children outlive a stopped service; they are reparented here.
    libc = ctypes.CDLL(None, use_errno=True)
    PR_SET_CHILD_SUBREAPER = 36
    libc.prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0)


def as_user(cmd, user=None, groups=None):
    """cmd run through setpriv: user is a uid or (uid, gid), None for root;
    groups the supplementary groups (none by default for a user, root's own
    for root)."""
    group_args = ["--clear-groups"] if not groups else ["--groups=" + ",".join(map(str, groups))]
    if user is not None:
        uid, gid = user if isinstance(user, tuple) else (user, user)
        return ["setpriv", "--reuid=%d" % uid, "--regid=%d" % gid, *group_args, "--", *cmd]
    if groups is not None:
        return ["setpriv", *group_args, "--", *cmd]
    return list(cmd)


# ---------------------------------------------------------------- the sandbox

# Stands in for xdg-open. The URL goes first, at once, so that URLs stand in
# the order their openers started, however busy the machine; the environment
# is kept before the shell's PWD joins it.
STUB = r'''#!/bin/sh
printf '%s\n' "$1" >> SANDBOX/urls
/bin/cat /proc/$$/environ > OUTDIR/open-$$.environ
case $1 in signals:*)
	# Read by the shell itself: the interpreter below changes signals of its own.
	while IFS= read -r line; do
		case $line in SigBlk:*|SigIgn:*) printf '%s\n' "$line";; esac
	done < /proc/$$/status > OUTDIR/signals-$$;;
esac
exec /usr/bin/python3 -IS SANDBOX/recorder.py "$@"
'''

# Records how the opener was started, then acts on its URL.
RECORDER = r'''import json, os, signal, sys, time
fds = {}
for fd in range(256):
	try:
		os.fstat(fd)
	except OSError:
		continue
	try:
		fds[fd] = os.readlink("/proc/self/fd/%d" % fd)
	except OSError:
		fds[fd] = "?"
with open("OUTDIR/open-%d.environ" % os.getpid(), "rb") as f:
	env = f.read()
url = sys.argv[1] if sys.argv[1:] else ""
# An opener that takes a while before it counts as done; "slow:" longer.
delay = 2.5 if url.startswith("slow:") else DELAY
if delay:
	time.sleep(delay)
def session_of_its_own():
	"""The audit login uid and the session keyring this process runs with."""
	import ctypes, platform
	keyctl = {"x86_64": 250, "aarch64": 219}.get(platform.machine())
	# KEYCTL_GET_KEYRING_ID of KEY_SPEC_SESSION_KEYRING, without creating one.
	keyring = ctypes.CDLL(None).syscall(keyctl, 0, -3, 0) if keyctl else None
	try:
		with open("/proc/self/loginuid") as f:
			return f.read(), keyring
	except OSError:
		return None, keyring
loginuid, keyring = session_of_its_own()
record = {"t": time.monotonic_ns(), "argv": sys.argv[1:], "uid": os.getresuid(),
	  "loginuid": loginuid, "keyring": keyring,
	  "gid": os.getresgid(), "groups": sorted(os.getgroups()), "fds": fds, "cwd": os.getcwd(),
	  "environ": [e.decode("utf-8", "surrogateescape") for e in env.split(b"\0")[:-1]]}
path = "OUTDIR/open-%d.json" % os.getpid()
with open(path + ".tmp", "w") as f:
	json.dump(record, f)
os.rename(path + ".tmp", path)
if url.startswith("sleep:"):
	# "sleep:S/...": runs S seconds, as a browser kept in the foreground, and records its end.
	time.sleep(int(url[6:].split("/")[0]))
	with open("OUTDIR/end-%d" % os.getpid(), "w") as f:
		f.write(str(time.monotonic_ns()))
elif url.startswith("hang:"):
	# Runs while the test holds it, a minute at most.
	for _ in range(1200):
		if not os.path.exists("SANDBOX/hold"):
			break
		time.sleep(0.05)
elif url.startswith("kill:"):
	os.kill(os.getpid(), signal.SIGKILL)
elif url.startswith("segv:"):
	# Undumpable first, so that no core helper of the machine is started.
	import ctypes
	ctypes.CDLL(None).prctl(4, 0, 0, 0, 0)
	os.kill(os.getpid(), signal.SIGSEGV)
'''


class Listener:
    """A Unix socket that accepts and at once closes every connection, as a
    display or a session bus looks to the service: "@NAME" is abstract."""

    def __init__(self, address):
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.sock.bind(b"\0" + address[1:].encode() if address.startswith("@") else address)
        self.sock.listen(64)
        threading.Thread(target=self._serve, daemon=True).start()

    def _serve(self):
        while True:
            try:
                self.sock.accept()[0].close()
            except OSError:
                return


def listen_in_background(address):
    """--listen: returns once bound, and serves from a child until killed."""
    listener = Listener(address)
    if os.fork() != 0:
        os._exit(0)
    os.setsid()
    # Whoever started it waits for the end of its output, not for it.
    null = os.open("/dev/null", os.O_RDWR)
    for fd in (0, 1, 2):
        os.dup2(null, fd)
    while True:
        time.sleep(3600)
    return listener


def user_runtime_dir(uid):
    """An empty /run/user of the namespace's own, with the user's runtime
    directory and a session bus in it, as logind makes them."""
    subprocess.run(["mount", "-t", "tmpfs", "-o", "mode=755", "runuser", "/run/user"],
                   check=True, timeout=10)
    path = "/run/user/%d" % uid
    os.mkdir(path, 0o700)
    os.chown(path, uid, uid)
    return path, Listener(path + "/bus")


def write_file(path, text, mode=0o644):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as f:
        f.write(text)
    os.chmod(path, mode)


class Sandbox:
    """A directory of a test's own inside its namespaces, with the stub
    opener bind-mounted over the real one and a copy of this file for peers
    of other users to run. The stub writes its URL as a line of urls as it
    starts, and records the opener as out/open-PID.json delay seconds later."""

    def __init__(self, binary=None, name="case", parent=None, delay=0):
        self.binary = binary and os.path.abspath(binary)
        self.dir = tempfile.mkdtemp(prefix="quillmere-%s-" % name, dir=parent)
        os.chmod(self.dir, 0o755)
        self.out = os.path.join(self.dir, "out")
        os.mkdir(self.out)
        os.chmod(self.out, 0o777)
        self.urls_path = os.path.join(self.dir, "urls")
        self.hold_path = os.path.join(self.dir, "hold")
        self.clear_urls()
        self.stub = os.path.join(self.dir, "xdg-open")
        for path, text, mode in ((self.stub, STUB, 0o755), (self.dir + "/recorder.py", RECORDER, 0o644)):
            write_file(path, text.replace("OUTDIR", self.out).replace("SANDBOX", self.dir)
                       .replace("DELAY", repr(delay)), mode)
        self.peer = os.path.join(self.dir, "harness.py")
        shutil.copy(os.path.abspath(__file__), self.peer)
        os.chmod(self.peer, 0o644)
        self.envs = 0
        # A crashing opener must not leave core files behind.
        resource.setrlimit(resource.RLIMIT_CORE, (0, 0))
        subprocess.run(["mount", "--make-rprivate", "/"], check=True, timeout=10)
        subprocess.run(["mount", "--bind", self.stub, OPENER], check=True, timeout=10)
        # The machine's own URL policy, installed there or not, decides nothing
        # here: its directory is an empty one of this namespace.
        self.policy_dir = os.path.dirname(os.environ.get("QUILLMERE_POLICY_FILE", ""))
        if self.policy_dir and os.path.isdir(self.policy_dir):
            subprocess.run(["mount", "-t", "tmpfs", "-o", "mode=0755", "tmpfs", self.policy_dir],
                           check=True, timeout=10)
        else:
            self.policy_dir = None

    def cleanup(self):
        if self.policy_dir:
            subprocess.run(["umount", self.policy_dir], check=False)
        subprocess.run(["umount", OPENER], check=False)
        shutil.rmtree(self.dir, ignore_errors=True)

    # What the openers did.

    def clear_urls(self):
        with open(self.urls_path, "w"):
            pass
        # The opener runs as the caller.
        os.chmod(self.urls_path, 0o666)

    def urls(self):
        with open(self.urls_path) as f:
            return f.read().splitlines()

    def wait_for_url(self, url, timeout=10):
        try:
            return wait_for(lambda: url in self.urls(), url, timeout)
        except Failure:
            return False

    def opened(self):
        found = []
        for path in glob.glob(os.path.join(self.out, "open-*.json")):
            with open(path) as f:
                found.append(dict(json.load(f), pid=int(path.split("-")[-1][:-5])))
        return sorted(found, key=lambda r: r["t"])

    def ended(self):
        """{opener pid: when it ended} of the sleeping openers that have ended."""
        found = {}
        for path in glob.glob(os.path.join(self.out, "end-*")):
            with open(path) as f:
                found[int(path.split("-")[-1])] = int(f.read())
        return found

    # Peers.

    def peer_command(self, *args):
        return [PYTHON, "-I", self.peer, "--peer", *args]

    def run_peer(self, urls=(), env=("HOME=/nonexistent",), user=None, flags=(), groups=None,
                 wrap=()):
        """Runs a peer with exactly the environment env ("@PID@" in it is the
        peer's pid), as user with groups (see as_user). wrap is a command that
        execs the rest in the same process."""
        self.envs += 1
        env_file = os.path.join(self.dir, "env-%d.json" % self.envs)
        write_file(env_file, json.dumps(list(env)))
        cmd = [*wrap, *as_user(self.peer_command("--env-file", env_file, *flags, *urls), user, groups)]
        try:
            return subprocess.run(cmd, stdin=subprocess.DEVNULL, capture_output=True,
                                  text=True, timeout=30)
        except subprocess.TimeoutExpired:
            raise Failure("the client did not end: %r" % cmd)

    def request(self, urls, **kw):
        done = self.run_peer(urls, **kw)
        check_equal((done.returncode, done.stdout.strip()), (0, REPLIES.hex()),
                    "client status and replies (%s)" % done.stderr.strip())

    def start_holder(self, count, user=None):
        """A peer that holds count connections and takes orders on its input."""
        holder = subprocess.Popen(as_user(self.peer_command("--hold=%d" % count), user),
                                  stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        check_equal(holder.stdout.readline(), "held %d\n" % count, "connections held")
        return holder


class Service:
    """The real binary, its standard output and error captured."""

    def __init__(self, sandbox, *args, prefix=(), stdin=subprocess.DEVNULL, env=None,
                 journal=False):
        """journal: standard error is a pipe that JOURNAL_STREAM names, as
        the journal's stream is under the service manager."""
        full_env = dict(os.environ)
        full_env.update(env or {})
        stderr = subprocess.PIPE
        if journal:
            read_end, stderr = os.pipe()
            st = os.fstat(stderr)
            full_env["JOURNAL_STREAM"] = "%d:%d" % (st.st_dev, st.st_ino)
        self.proc = subprocess.Popen([*prefix, sandbox.binary, *args], stdin=stdin,
                                     stdout=subprocess.PIPE, stderr=stderr,
                                     cwd=sandbox.dir, env=full_env)
        if journal:
            os.close(stderr)
        err_stream = os.fdopen(read_end, "rb") if journal else self.proc.stderr
        self.pid = self.proc.pid
        self.out = bytearray()
        self.err = bytearray()
        self.readers = [threading.Thread(target=self._drain, args=(s, b), daemon=True)
                        for s, b in ((self.proc.stdout, self.out), (err_stream, self.err))]
        for r in self.readers:
            r.start()

    @classmethod
    def started(cls, sandbox, *args, **kw):
        """A service in the foreground at level info, once it listens."""
        service = cls(sandbox, "-D", "-v", "info", *args, **kw)
        try:
            service.wait_listening()
        except Failure:
            service.proc.kill()
            service.wait()
            raise Failure("the service did not start: " + service.stderr)
        return service

    @staticmethod
    def _drain(stream, into):
        for chunk in iter(lambda: stream.read1(4096), b""):
            into.extend(chunk)

    def wait_listening(self):
        check(wait_listening(self.proc, 20), "the service did not listen: status %s" % self.proc.poll())

    def stop(self, sig=signal.SIGTERM):
        self.proc.send_signal(sig)
        return self.wait()

    def wait(self, timeout=10):
        try:
            rc = self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
            raise Failure("the service did not end")
        for r in self.readers:
            r.join(timeout)
        return rc

    @property
    def stdout(self):
        return self.out.decode(errors="replace")

    @property
    def stderr(self):
        return self.err.decode(errors="replace")

    def records(self):
        return self.stderr

    def wait_for_record(self, pattern, count=1, timeout=10):
        try:
            return wait_for(lambda: len(re.findall(pattern, self.stderr, re.M)) >= count,
                            pattern, timeout)
        except Failure:
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
        return sorted(children_of(self.pid if pid is None else pid).items())

    def wait_childless(self, timeout=15):
        deadline = time.time() + timeout
        while self.children() and time.time() < deadline:
            time.sleep(0.02)
        return self.children()


# ---------------------------------------------------------------- the peer

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
            raise Failure("no version word from the service")
        self.sock.sendall(VERSION)
        if self.recv_exact(1) != b"\0":
            raise Failure("version refused")
        self.sock.sendall(b"\0")
        if self.recv_exact(4) != OPTIONS:
            raise Failure("no options word")
        self.sock.sendall(b"\0\0\0\0")
        if self.recv_exact(1) != b"\0":
            raise Failure("options refused")
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


def receive_all(s):
    data = b""
    while True:
        chunk = s.recv(4096)
        if not chunk:
            return data
        data += chunk


def connect_and_greet():
    """A new connection and the first bytes the service sends on it: its
    version word, or nothing when it refused the connection."""
    s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    s.settimeout(30)
    s.connect(ADDRESS)
    greeting = b""
    while len(greeting) < 4:
        chunk = s.recv(4 - len(greeting))
        if not chunk:
            break
        greeting += chunk
    return s, greeting


def hold_connections(count):
    """Holds count finished handshakes, then obeys one line at a time:
    'try N' makes N more connections and says how many were refused,
    'open URL' sends an open-URL command on the last held connection,
    'drop' closes one held connection, 'quit' ends."""
    held = []
    for _ in range(count):
        s, greeting = connect_and_greet()
        if greeting != VERSION:
            print("refused early", flush=True)
            return 1
        s.sendall(HANDSHAKE)
        held.append(s)
    print("held %d" % len(held), flush=True)
    for line in sys.stdin:
        words = line.split()
        if words[0] == "try":
            refused = 0
            for _ in range(int(words[1])):
                s, greeting = connect_and_greet()
                refused += greeting == b""
                if greeting:
                    s.sendall(HANDSHAKE)
                    held.append(s)
                else:
                    s.close()
            print("refused %d" % refused, flush=True)
        elif words[0] == "open":
            held[-1].sendall(open_url_frame(words[1]))
            print("sent", flush=True)
        elif words[0] == "drop":
            held.pop(0).close()
            print("dropped", flush=True)
        else:
            break
    return 0


def hold_as_ids(ids, count):
    """Makes a user namespace and says 'ready'; once a line says its maps are
    written, holds count connections from each of the ids 0 to ids-1 of the
    namespace, one process each; says how many were refused in all, and
    holds them until its input ends."""
    # Itself, not through a program it runs: an exec would lose the
    # namespace's capabilities before the maps are written.
    CLONE_NEWUSER = 0x10000000
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.unshare(CLONE_NEWUSER) != 0:
        print("unshare: %s" % os.strerror(ctypes.get_errno()), flush=True)
        return 1
    print("ready", flush=True)
    sys.stdin.readline()
    report_r, report_w = os.pipe()
    reports = os.fdopen(report_r)
    children = []
    refused = 0
    # One id after the other: the service's backlog takes one connect at a time.
    for uid in range(ids):
        pid = os.fork()
        if pid == 0:
            held, refused = [], 0
            try:
                os.setgid(uid)
                os.setuid(uid)
                # As the programs it would start are: the service reads their /proc entries.
                libc.prctl(4, 1, 0, 0, 0)  # PR_SET_DUMPABLE
                for _ in range(count):
                    s, greeting = connect_and_greet()
                    if greeting == VERSION:
                        s.sendall(HANDSHAKE)
                        held.append(s)
                    else:
                        refused += 1
            except OSError as e:
                print("id %d: %s" % (uid, e), file=sys.stderr, flush=True)
                refused = -1000
            os.write(report_w, b"%d\n" % refused)
            while True:
                time.sleep(3600)
        children.append(pid)
        refused += int(reports.readline())
    print("refused %d" % refused, flush=True)
    sys.stdin.read()
    for pid in children:
        os.kill(pid, signal.SIGKILL)
    return 0


def churn(count):
    """Connects and at once closes, count times."""
    for _ in range(count):
        s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        s.connect(ADDRESS)
        s.close()
    return 0


def c_strings(items):
    return (ctypes.c_char_p * (len(items) + 1))(*[i.encode() for i in items], None)


def peer_main(args):
    """Sends the handshake and the URLs at once and prints the replies in hex.
    --as=UID:GID:GROUPS makes it drop root by itself first, where setpriv would
    look the ids up in the user database."""
    become = [a for a in args if a.startswith("--as=")]
    if become:
        uid, gid, groups = become[0][len("--as="):].split(":")
        os.setgroups([int(g) for g in groups.split(",") if g])
        os.setgid(int(gid))
        os.setuid(int(uid))
        args = [a for a in args if a not in become]
    if args and args[0] == "--env-file":
        with open(args[1]) as f:
            # A caller names paths through its own /proc entry.
            env = [e.replace("@PID@", str(os.getpid())) for e in json.load(f)]
        argv = [PYTHON, "-I", os.path.abspath(__file__), "--peer"] + args[2:]
        # Exactly these entries, duplicates and empty ones included.
        libc = ctypes.CDLL(None, use_errno=True)
        libc.execve(PYTHON.encode(), c_strings(argv), c_strings(env))
        sys.exit("execve: %d" % ctypes.get_errno())
    flags = [a for a in args if a.startswith("--")]
    urls = [a for a in args if not a.startswith("--")]
    if "--nodump" in flags:
        ctypes.CDLL(None).prctl(4, 0, 0, 0, 0)  # PR_SET_DUMPABLE
    hold = [int(f.split("=")[1]) for f in flags if f.startswith("--hold=")]
    if hold:
        return hold_connections(hold[0])
    as_ids = [f.split("=")[1].split(":") for f in flags if f.startswith("--hold-as-ids=")]
    if as_ids:
        return hold_as_ids(int(as_ids[0][0]), int(as_ids[0][1]))
    churns = [int(f.split("=")[1]) for f in flags if f.startswith("--churn=")]
    if churns:
        return churn(churns[0])
    s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    s.settimeout(30)
    s.connect(ADDRESS)
    if "--exit" in flags:
        return 0
    malformed = struct.pack("<II", 1, 3) + b"abc" if "--malformed" in flags else b""
    try:
        s.sendall(HANDSHAKE + b"".join(open_url_frame(u) for u in urls) + malformed)
        s.shutdown(socket.SHUT_WR)
        print(receive_all(s).hex())
    except (BrokenPipeError, ConnectionResetError):
        # Refused peers are closed on without a word.
        print("")
    return 0


if __name__ == "__main__":
    if len(sys.argv) > 1 and sys.argv[1] == "--peer":
        sys.exit(peer_main(sys.argv[2:]))
    if len(sys.argv) == 3 and sys.argv[1] == "--listen":
        listen_in_background(sys.argv[2])
    sys.exit(__doc__)
