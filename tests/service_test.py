#!/usr/bin/env python3
"""Process-level tests of the quillmere binary.

Usage: service_test.py QUILLMERE [CASE...]

Every case runs as root inside a mount and network namespace of its own
(unshare --mount --net --fork): its service's abstract socket and the stub
opener bind-mounted over /usr/bin/xdg-open exist only there. Clients are this
script in --peer mode, started as other users through setpriv, with exactly
the environment a case chooses.
"""
import ctypes
import glob
import json
import os
import pwd
import re
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

# Explicitly, since the peer runs from a copy under python3 -I.
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import (ADDRESS, HANDSHAKE, OPENER, OPTIONS, PYTHON, SKIP, VERSION,  # noqa: E402
		     end_namespace_processes, listener_inode, open_url_frame)

REPLIES = VERSION + b"\0" + OPTIONS + b"\0"

USAGE = ("Usage: {} [OPTIONS]\n\t-D           Run non-daemon mode (daemon is default).\n"
	 "\t-v LEVEL     Set debug message output level.\n"
	 "\t             Levels: debug, info, warning, error, none.\n"
	 "\t-h           Print this help message.\nPlease, see README for details.\n\n")
BANNER = re.compile(r"\nQuillmere version: 1\.1\.0\.2\n"
		    r"Build time: [A-Z][a-z]{2} [ \d]\d \d{4} \d\d:\d\d:\d\d\n\n")
NOTICE = "\nCaught an interrupt signal\nWait for graceful shutdown\n"
REFUSAL = "Cannot start - only one program instance is allowed!\n"
NOTICE_LINES = NOTICE.split("\n")
FORKING = "Forking to background...\n"
RECORD = re.compile(r"([SEWIDH]?): (\d{4}\.\d\d\.\d\d \d\d:\d\d:\d\d\.\d{3}): (\d+): (\w+): (.*)")

# The example table of the environment filter, with what the opener must see.
TABLE_ENV = ["DISPLAY=:0", "WAYLAND_DISPLAY=wayland-0", "HOME=/home/u", "HOMEDIR=/home/u",
	     "XDG_CONFIG_HOME=/", "XDG_DATA_HOME=/", "XDG_CONFIG_HOME=/home/u/.config",
	     "XDG_SESSION_TYPE=x11", "XDG_RUNTIME_DIR=/run/user/1000",
	     "DBUS_SESSION_BUS_ADDRESS=unix:path=/run/user/1000/bus",
	     "SESSION_MANAGER=local/unix", "SESSION_MANAGER=", "PATH=/usr/bin:/bin",
	     "XAUTHORITY=/home/u/.Xauthority", "LANG=de_DE.UTF-8", "A=DISPLAY=1", ""]
TABLE_KEPT = ["DISPLAY=:0", "WAYLAND_DISPLAY=wayland-0", "HOME=/home/u",
	      "XDG_CONFIG_HOME=/home/u/.config", "XDG_SESSION_TYPE=x11",
	      "XDG_RUNTIME_DIR=/run/user/1000",
	      "DBUS_SESSION_BUS_ADDRESS=unix:path=/run/user/1000/bus", "SESSION_MANAGER=",
	      "A=DISPLAY=1"]

STUB = r'''#!/usr/bin/python3 -I
import json, os, sys, time
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
with open("/proc/self/environ", "rb") as f:
	env = f.read()
record = {"t": time.monotonic_ns(), "argv": sys.argv[1:], "uid": os.getresuid(),
	  "gid": os.getresgid(), "groups": sorted(os.getgroups()), "fds": fds, "cwd": os.getcwd(),
	  "environ": [e.decode("utf-8", "surrogateescape") for e in env.split(b"\0")[:-1]]}
path = "OUTDIR/open-%d.json" % os.getpid()
with open(path + ".tmp", "w") as f:
	json.dump(record, f)
os.rename(path + ".tmp", path)
'''


# ---------------------------------------------------------------- the peer

def c_strings(items):
	return (ctypes.c_char_p * (len(items) + 1))(*[i.encode() for i in items], None)


def peer_main(args):
	"""--peer [--as=UID:GID:GROUPS] [--env-file F] [--nodump] [--exit] URL...: prints the
	replies in hex."""
	become = [a for a in args if a.startswith("--as=")]
	if become:
		# Drops root by itself, where setpriv would look the ids up in the user database.
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
		elif words[0] == "drop":
			held.pop(0).close()
			print("dropped", flush=True)
		else:
			break
	return 0


def receive_all(s):
	data = b""
	while True:
		chunk = s.recv(4096)
		if not chunk:
			return data
		data += chunk


# ---------------------------------------------------------------- helpers inside a namespace

class Failure(Exception):
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


def handshake(s):
	"""Completes the handshake on a connected socket; the child then serves it."""
	s.sendall(HANDSHAKE)
	replies = b""
	while len(replies) < len(REPLIES):
		chunk = s.recv(64)
		check(chunk, "connection closed during the handshake")
		replies += chunk
	check_equal(replies, REPLIES, "handshake replies")


def holder_of(inode):
	target = "socket:[%d]" % inode
	for fd in glob.glob("/proc/[0-9]*/fd/*"):
		try:
			if os.readlink(fd) == target:
				return int(fd.split("/")[2])
		except OSError:
			pass
	return None


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


def records(text):
	"""Parsed log records: (letter, pid, function, message); a stray line fails."""
	parsed = []
	for line in text.splitlines():
		if line in NOTICE_LINES:
			continue
		m = RECORD.fullmatch(line)
		check(m is not None, "not a log record: %r" % line)
		parsed.append((m.group(1), int(m.group(3)), m.group(4), m.group(5)))
	return parsed


def pids_with(parsed, letter, function, message):
	"""The processes that wrote a given record."""
	return [pid for (lv, pid, fn, msg) in parsed if (lv, fn, msg) == (letter, function, message)]


class Service:
	"""A quillmere process with its standard output and error captured."""

	def __init__(self, ctx, *args, prefix=(), stdin=subprocess.DEVNULL):
		self.proc = subprocess.Popen([*prefix, ctx.binary, *args], stdin=stdin,
					     stdout=subprocess.PIPE, stderr=subprocess.PIPE, cwd=ctx.dir)
		self.pid = self.proc.pid
		self.out = bytearray()
		self.err = bytearray()
		self.readers = [threading.Thread(target=self._drain, args=(s, b), daemon=True)
				for s, b in ((self.proc.stdout, self.out), (self.proc.stderr, self.err))]
		for r in self.readers:
			r.start()

	@staticmethod
	def _drain(stream, into):
		for chunk in iter(lambda: stream.read1(4096), b""):
			into.extend(chunk)

	def wait_listening(self):
		wait_for(listener_inode, "the listening socket")

	def stop(self, sig=signal.SIGTERM):
		self.proc.send_signal(sig)
		return self.wait()

	def wait(self, timeout=10):
		try:
			rc = self.proc.wait(timeout)
		except subprocess.TimeoutExpired:
			self.proc.kill()
			raise Failure("the service did not end")
		for r in self.readers:
			r.join(timeout)
		return rc

	@property
	def stdout(self):
		return self.out.decode()

	@property
	def stderr(self):
		return self.err.decode()


class Context:
	def __init__(self, binary, workdir, name):
		self.binary = binary
		self.peer = os.path.join(workdir, "peer.py")
		self.dir = os.path.join(workdir, name)
		self.out = os.path.join(self.dir, "out")
		os.makedirs(self.out)
		os.chmod(self.dir, 0o755)
		os.chmod(self.out, 0o777)
		stub = os.path.join(self.dir, "xdg-open")
		with open(stub, "w") as f:
			f.write(STUB.replace("OUTDIR", self.out))
		os.chmod(stub, 0o755)
		subprocess.run(["mount", "--bind", stub, OPENER], check=True, timeout=10)
		self.envs = 0

	def start_holder(self, count, user=None):
		"""A client that holds count connections and takes orders on its input."""
		cmd = [PYTHON, "-I", self.peer, "--peer", "--hold=%d" % count]
		if user is not None:
			cmd = ["setpriv", "--reuid=%d" % user, "--regid=%d" % user, "--clear-groups", *cmd]
		holder = subprocess.Popen(cmd, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
		check_equal(holder.stdout.readline(), "held %d\n" % count, "connections held")
		return holder

	def run_peer(self, urls=(), env=("HOME=/nonexistent",), user=None, flags=(), groups=None,
		     wrap=()):
		"""Runs a client; user is (uid, gid) or None for root, with the given
		supplementary groups (none by default for a user, root's own for root).
		wrap is a command that execs the rest in the same process ("@PID@" in
		env is the client's pid)."""
		self.envs += 1
		env_file = os.path.join(self.dir, "env-%d.json" % self.envs)
		with open(env_file, "w") as f:
			json.dump(list(env), f)
		os.chmod(env_file, 0o644)
		cmd = [PYTHON, "-I", self.peer, "--peer", "--env-file", env_file, *flags, *urls]
		group_args = ["--clear-groups"] if not groups else ["--groups=" + ",".join(map(str, groups))]
		if user is not None:
			cmd = ["setpriv", "--reuid=%d" % user[0], "--regid=%d" % user[1], *group_args, *cmd]
		elif groups is not None:
			cmd = ["setpriv", *group_args, *cmd]
		cmd = [*wrap, *cmd]
		try:
			return subprocess.run(cmd, stdin=subprocess.DEVNULL, capture_output=True,
					      text=True, timeout=30)
		except subprocess.TimeoutExpired:
			raise Failure("the client did not end: %r" % cmd)

	def request(self, urls, **kw):
		done = self.run_peer(urls, **kw)
		check_equal((done.returncode, done.stdout.strip()), (0, REPLIES.hex()),
			    "client status and replies (%s)" % done.stderr.strip())

	def opened(self):
		found = []
		for path in glob.glob(os.path.join(self.out, "open-*.json")):
			with open(path) as f:
				found.append(json.load(f))
		return sorted(found, key=lambda r: r["t"])


def check_opener(record, url, uid, gid, groups, environ):
	check_equal(record["argv"], [url], "opener arguments")
	check_equal(record["uid"], [uid] * 3, "opener user ids")
	check_equal(record["gid"], [gid] * 3, "opener group ids")
	check_equal(record["groups"], sorted(groups), "opener supplementary groups")
	check_equal(record["environ"], environ, "opener environment")
	check_equal(sorted(int(fd) for fd in record["fds"]), [0, 1, 2], "opener descriptors")
	check_equal([record["fds"][fd] for fd in ("0", "1", "2")], ["/dev/null"] * 3,
		    "what the opener's 0, 1 and 2 are")


def check_served(service_records, service_pid, served, failed=()):
	"""Each connection: 'new process' from the service, then 'new connection'
	from that child, in the exact layout; failed children log no 'new connection'."""
	children = [int(m) for (lv, pid, fn, msg) in service_records
		    if (lv, pid, fn) == ("I", service_pid, "accept_cb")
		    for m in re.findall(r"^new process: (\d+)$", msg)]
	check_equal(len(children), served + len(failed), "'new process' records")
	connected = [pid for (lv, pid, fn, msg) in service_records
		     if (lv, fn, msg) == ("I", "accept_cb", "new connection")]
	check_equal(sorted(connected), sorted(c for c in children if c not in failed),
		    "'new connection' records")
	return children


# ---------------------------------------------------------------- the cases

def case_command_line(ctx):
	b = ctx.binary
	usage = USAGE.format(b)
	table = [
		(["-h"], 0, usage, ""),
		(["-D", "-h"], 0, usage, ""),
		(["-v", "DEBUG"], 1, "", usage),
		(["-v", "verbose", "-h"], 1, "", usage),
		(["-x"], 1, "", "%s: invalid option -- 'x'\n%s" % (b, usage)),
		(["-v"], 1, "", "%s: option requires an argument -- 'v'\n%s" % (b, usage)),
		(["extra"], 1, "", "Unknown argument: extra\n\n"),
		(["-D", "one", "two"], 1, "", "Unknown argument: one\n\n"),
	]
	for args, status, out, err in table:
		done = subprocess.run([b, *args], stdin=subprocess.DEVNULL, capture_output=True,
				      text=True, timeout=10)
		check_equal((done.returncode, done.stdout, done.stderr), (status, out, err),
			    "status, stdout, stderr of %r" % args)
	check(listener_inode() is None, "a rejected command line must not listen")


def case_single_instance(ctx):
	first = Service(ctx, "-D", "-v", "info")
	first.wait_listening()
	ctx.request(["https://example.org/1"], user=(65534, 65534))
	ctx.request(["https://example.org/2"], user=(65534, 65534))

	# Without -D: refused before daemonising, so no "Forking" and the status is ours.
	second = Service(ctx, "-v", "error")
	check_equal(second.wait(), 1, "status of a second instance")
	check(BANNER.fullmatch(second.stdout), "banner of the second instance: %r" % second.stdout)
	lines = second.stderr.splitlines(keepends=True)
	check_equal(len(lines), 2, "lines on stderr of a second instance: %r" % lines)
	check_equal(records(lines[0]), [("E", second.pid, "create_server_socket",
					 "unable to bind: -98: Address already in use")], "bind record")
	check_equal(lines[1], REFUSAL, "refusal")

	quiet = Service(ctx, "-v", "info", "-v", "none")
	check_equal(quiet.wait(), 1, "status of a second instance with -v none")
	check(BANNER.fullmatch(quiet.stdout), "banner with -v none: %r" % quiet.stdout)
	check_equal(quiet.stderr, REFUSAL, "stderr with -v none")

	check_equal(first.stop(), 0, "status after SIGTERM")
	# Once, although two connection children have come and gone.
	check(BANNER.fullmatch(first.stdout), "banner of the first instance: %r" % first.stdout)


def case_daemon(ctx):
	# Started with standard input closed, the socket must not land on descriptor 0.
	starter = Service(ctx, "-v", "info", prefix=["sh", "-c", 'exec "$0" "$@" <&-'])
	check_equal(starter.wait(), 0, "status of the calling process")
	check(BANNER.fullmatch(starter.stdout), "banner in daemon mode: %r" % starter.stdout)
	check_equal(starter.stderr, FORKING, "stderr in daemon mode")

	daemon = wait_for(lambda: listener_inode() and holder_of(listener_inode()), "the daemon")
	check(daemon != starter.pid, "the background process is a new one")
	ctx.request(["https://example.org/daemon"], user=(65534, 65534))
	check_equal([r["argv"] for r in ctx.opened()], [["https://example.org/daemon"]],
		    "URLs opened by the daemon")
	os.kill(daemon, signal.SIGTERM)
	wait_for(lambda: process_gone(daemon), "the daemon to end")
	check(listener_inode() is None, "the socket is released")


def case_signals(ctx):
	for sig, level in ((signal.SIGTERM, []), (signal.SIGINT, ["-v", "info"])):
		service = Service(ctx, "-D", *level)
		service.wait_listening()
		held = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
		held.settimeout(10)
		held.connect(ADDRESS)
		handshake(held)

		check_equal(service.stop(sig), 0, "status after %s" % sig.name)
		check(service.stderr.endswith(NOTICE), "shutdown notice: %r" % service.stderr)
		check(listener_inode() is None, "the socket is released after %s" % sig.name)
		if not level:
			# ERROR is the default: a served connection leaves no record.
			check_equal(service.stderr, NOTICE, "stderr at the default level")

		# The serving child is not touched by a signal to the service.
		url = "https://example.org/after-" + sig.name
		held.sendall(open_url_frame(url))
		held.shutdown(socket.SHUT_WR)
		check_equal(receive_all(held), b"", "nothing more from the child")
		held.close()
		check_equal(ctx.opened()[-1]["argv"], [url], "URL sent after the signal")


def case_request_as_nobody(ctx):
	nobody = pwd.getpwuid(65534)
	# The user database claims groups for nobody that its process does not have:
	# the opener must get the caller's own groups, exactly.
	group_file = os.path.join(ctx.dir, "group")
	with open(group_file, "w") as f:
		f.write("root:x:0:\nadm:x:4:%s\nnogroup:x:65534:\nextra:x:4242:%s\n"
			% (nobody.pw_name, nobody.pw_name))
	subprocess.run(["mount", "--bind", group_file, "/etc/group"], check=True, timeout=10)
	groups = [777]
	# Supplementary groups of the service that no user's opener may keep.
	service = Service(ctx, "-D", "-v", "info", prefix=["setpriv", "--groups=4,24"])
	service.wait_listening()
	urls = ["https://example.org/a b?c=1&d=2", "about:blank"]
	ctx.request(urls, env=TABLE_ENV, user=(65534, nobody.pw_gid), groups=groups)
	check_equal(service.stop(), 0, "status after SIGTERM")

	opened = ctx.opened()
	check_equal([r["argv"] for r in opened], [[u] for u in urls], "URLs in order")
	for record, url in zip(opened, urls):
		check_opener(record, url, 65534, nobody.pw_gid, groups, TABLE_KEPT)
	parsed = records(service.stderr)
	check_served(parsed, service.pid, 1)
	check_equal([r for r in parsed if r[0] in "SEW"], [], "error or warning records")


def case_request_without_passwd_entry(ctx):
	uid = next(u for u in range(4242, 5000) if not_in_passwd(u))
	gid = uid + 7
	# 500 dropped bytes, then entries over bytes 512, 1024 and 1536.
	pad = "PADDING=" + "p" * 491
	first = "XDG_FIRST=" + "a" * 40
	second = "DISPLAY=" + "b" * 1000
	last = "HOME=/home/" + "c" * 600
	service = Service(ctx, "-D", "-v", "info")
	service.wait_listening()
	ctx.request(["https://example.org/large"], env=[pad, first, "LANG=C", second, last],
		    user=(uid, gid))
	check_equal(service.stop(), 0, "status after SIGTERM")
	opened = ctx.opened()
	check_equal(len(opened), 1, "openers run")
	# A caller in no supplementary group gets none.
	check_opener(opened[0], "https://example.org/large", uid, gid, [], [first, second, last])


def not_in_passwd(uid):
	try:
		pwd.getpwuid(uid)
		return False
	except KeyError:
		return True


def case_root_peer(ctx):
	service = Service(ctx, "-D", prefix=["setpriv", "--groups=4,24"])
	service.wait_listening()
	ctx.request(["https://example.org/root"], env=TABLE_ENV, groups=[6, 777])
	check_equal(service.stop(), 0, "status after SIGTERM")
	opened = ctx.opened()
	check_equal(len(opened), 1, "openers run")
	# No change of user, but root too gets its own groups, not the service's.
	check_opener(opened[0], "https://example.org/root", 0, 0, [6, 777], TABLE_KEPT)


def case_no_user_database(ctx):
	# A FIFO without a writer: whatever opens it to look a user up waits for good,
	# and the client's deadline fails the case.
	fifo = os.path.join(ctx.dir, "database")
	os.mkfifo(fifo)
	for path in ("/etc/passwd", "/etc/group"):
		subprocess.run(["mount", "--bind", fifo, path], check=True, timeout=10)
	service = Service(ctx, "-D", "-v", "info")
	service.wait_listening()
	for url, who in (("https://example.org/user", "4242:4343:777,4242"), ("https://example.org/root", "0:0:6")):
		ctx.request([url], env=TABLE_ENV, flags=["--as=" + who])
	check_equal(service.stop(), 0, "status after SIGTERM")
	opened = ctx.opened()
	check_equal(len(opened), 2, "openers run")
	# Each with the groups its caller had, which only the socket can have told.
	check_opener(opened[0], "https://example.org/user", 4242, 4343, [777, 4242], TABLE_KEPT)
	check_opener(opened[1], "https://example.org/root", 0, 0, [6], TABLE_KEPT)


def case_peer_gone(ctx):
	service = Service(ctx, "-D", "-v", "info")
	service.wait_listening()
	os.kill(service.pid, signal.SIGSTOP)
	try:
		done = ctx.run_peer(user=(65534, 65534), flags=["--exit"])
		check_equal(done.returncode, 0, "connect while the service is stopped")
	finally:
		os.kill(service.pid, signal.SIGCONT)
	wait_for(lambda: "unable to open" in service.stderr, "the failed child")
	ctx.request(["https://example.org/next"], user=(65534, 65534))
	check_equal(service.stop(), 0, "status after SIGTERM")

	parsed = records(service.stderr)
	gone = pids_with(parsed, "E", "change_environ", "unable to open: -2: No such file or directory")
	check_equal(len(gone), 1, "'unable to open' records")
	check_served(parsed, service.pid, 1, failed=gone)
	check_equal([r["argv"] for r in ctx.opened()], [["https://example.org/next"]], "URLs opened")


def case_peer_not_owner(ctx):
	# A non-dumpable process's environment file belongs to root, not to its user.
	service = Service(ctx, "-D", "-v", "info")
	service.wait_listening()
	done = ctx.run_peer(["https://example.org/refused"], env=TABLE_ENV,
			    user=(65534, 65534), flags=["--nodump"])
	check_equal((done.returncode, done.stdout.strip()), (0, ""), "a refused peer gets nothing")
	check_equal(service.stop(), 0, "status after SIGTERM")
	parsed = records(service.stderr)
	refused = pids_with(parsed, "E", "change_environ",
			    "unable to verify peer: -1: Operation not permitted")
	check_equal(len(refused), 1, "'unable to verify peer' records")
	check_served(parsed, service.pid, 0, failed=refused)
	check_equal(ctx.opened(), [], "openers run")


def case_twenty_at_once(ctx):
	service = Service(ctx, "-D", "-v", "info")
	service.wait_listening()
	held = []
	for _ in range(20):
		s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
		s.settimeout(10)
		s.connect(ADDRESS)
		handshake(s)
		held.append(s)
	check_equal(len(children_of(service.pid)), 20, "serving children")
	for s in held:
		s.close()
	try:
		wait_for(lambda: not children_of(service.pid), "every child to be reaped", timeout=5)
	except Failure:
		raise Failure("children left: %r" % children_of(service.pid))
	check_equal(service.stop(), 0, "status after SIGTERM")
	check_served(records(service.stderr), service.pid, 20)


def case_clean_opener(ctx):
	# A terminal of root's as the service's input, as with -D from a shell.
	master, slave = os.openpty()
	home = os.path.join(ctx.dir, "home")
	os.mkdir(home)
	os.chown(home, 65534, 65534)
	service = Service(ctx, "-D", "-v", "info", stdin=slave)
	os.close(slave)
	service.wait_listening()
	homes = [("HOME=" + home, home), (None, "/"), ("HOME=/root", "/"), ("HOME=home", "/")]
	for entry, _ in homes:
		ctx.request(["https://example.org/cwd"], env=[entry] if entry else [],
			    user=(65534, 65534))
	check_equal(service.stop(), 0, "status after SIGTERM")
	os.close(master)
	opened = ctx.opened()
	check_equal([r["cwd"] for r in opened], [cwd for _, cwd in homes],
		    "working directories of the openers")
	for record in opened:
		check_equal(record["fds"]["0"], "/dev/null", "the opener's standard input")


def case_one_record_one_line(ctx):
	forged = "I: 2026.12.08 03:28:13.123: 1: accept_cb: forged"
	service = Service(ctx, "-D", "-v", "debug")
	service.wait_listening()
	ctx.request(["https://example.org/forge"], user=(65534, 65534),
		    env=["DISPLAY=:0\n" + forged, "LANG=C\\x0a\n" + forged])
	check_equal(service.stop(), 0, "status after SIGTERM")
	parsed = records(service.stderr)
	check_equal([r for r in parsed if r[3] == "forged"], [], "forged records")
	messages = [msg for (lv, pid, fn, msg) in parsed if fn == "change_environ"]
	check_equal(messages, ["plugin env: DISPLAY=:0\\x0a" + forged,
			       "putenv: DISPLAY=:0\\x0a" + forged,
			       "plugin env: LANG=C\\x5cx0a\\x0a" + forged], "quoted entries")


def order(holder, line):
	holder.stdin.write(line + "\n")
	holder.stdin.flush()
	return holder.stdout.readline().strip()


def case_connection_limits(ctx):
	service = Service(ctx, "-D", "-v", "info")
	service.wait_listening()
	nobody = ctx.start_holder(32, user=65534)
	# The 33rd of one user is refused without a process, in a burst logged once.
	check_equal(order(nobody, "try 10"), "refused 10", "connections over the user limit")
	ctx.request(["https://example.org/other-user"], user=(4242, 4242))
	wait_for(lambda: "refused 9 more connections" in service.stderr, "the summary of the burst")
	# A freed slot comes back once its child is reaped.
	check_equal(order(nobody, "drop"), "dropped", "a dropped connection")
	wait_for(lambda: len(children_of(service.pid)) == 31, "the reap")
	check_equal(order(nobody, "try 1"), "refused 0", "a connection in the freed slot")

	# Root counts toward the total only, and the total holds for everyone.
	root = ctx.start_holder(256 - 32)
	check_equal(order(root, "try 1"), "refused 1", "a connection over the total")
	done = ctx.run_peer(["https://example.org/over-total"], user=(4242, 4242))
	check_equal(done.stdout.strip(), "", "replies to a user over the total")
	for holder in (nobody, root):
		order(holder, "quit")
		holder.wait(30)
	refusals = re.compile(r"^W: .*: (accept_cb|refusal_cb): refused", re.M)
	try:
		wait_for(lambda: len(refusals.findall(service.stderr)) == 4, "the last refusal")
	except Failure:
		raise Failure("records: " + "".join(l for l in service.stderr.splitlines(True) if "refus" in l))
	check_equal(service.stop(), 0, "status after SIGTERM")

	parsed = records(service.stderr)
	warnings = [(fn, msg) for (lv, pid, fn, msg) in parsed
		    if lv == "W" and msg.startswith("refused")]
	check(re.fullmatch(r"refused uid 65534 pid \d+: user limit 32", warnings[0][1]),
	      "first refusal: %r" % (warnings,))
	check_equal(warnings[1], ("refusal_cb", "refused 9 more connections"), "summary")
	check_equal(len(warnings), 4, "warnings: %r" % (warnings,))
	check(re.fullmatch(r"refused uid 0 pid \d+: total limit 256", warnings[2][1]),
	      "root over the total: %r" % (warnings,))
	# Within a second of the first, the second refusal is only counted.
	check(re.fullmatch(r"refused uid 4242 pid \d+: total limit 256", warnings[3][1])
	      or warnings[3] == ("refusal_cb", "refused 1 more connections"),
	      "a user over the total: %r" % (warnings,))
	check_equal([r["argv"] for r in ctx.opened()], [["https://example.org/other-user"]],
		    "URLs opened")


def case_handshake_deadline(ctx):
	service = Service(ctx, "-D", "-v", "info")
	service.wait_listening()
	silent, half, done = (socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) for _ in range(3))
	for s in (silent, half, done):
		s.connect(ADDRESS)
		s.settimeout(30)
	half.sendall(VERSION)
	handshake(done)
	# Each ends with what it was owed, and only the finished one stays.
	check_equal(receive_all(silent), VERSION, "what a silent peer gets")
	check_equal(receive_all(half), VERSION + b"\0", "what a half-done handshake gets")
	done.sendall(open_url_frame("https://example.org/late"))
	done.shutdown(socket.SHUT_WR)
	check_equal(receive_all(done), b"", "the end of a finished handshake")
	check_equal(service.stop(), 0, "status after SIGTERM")
	check_equal([r["argv"] for r in ctx.opened()], [["https://example.org/late"]], "URLs opened")
	ended = pids_with(records(service.stderr), "E", "deadline_cb", "handshake not finished in 10 s")
	check_equal(len(ended), 2, "deadline records")


def case_bounded_commands(ctx):
	service = Service(ctx, "-D", "-v", "info")
	service.wait_listening()
	s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
	s.connect(ADDRESS)
	s.settimeout(60)
	handshake(s)
	child = wait_for(lambda: children_of(service.pid), "the connection child")
	child = next(iter(child))
	longest = "https://example.org/" + "l" * (131071 - 20)
	s.sendall(struct.pack("<II", 9, 48 << 20))
	chunk = b"u" * (1 << 20)
	for _ in range(48):
		s.sendall(chunk)
	s.sendall(open_url_frame("https://example.org/" + "o" * 131052))
	s.sendall(open_url_frame(longest) + open_url_frame("https://example.org/short"))
	wait_for(lambda: len(ctx.opened()) == 2, "the last two URLs")
	with open("/proc/%d/status" % child) as f:
		peak = int(re.search(r"^VmHWM:\s+(\d+) kB", f.read(), re.M).group(1))
	s.shutdown(socket.SHUT_WR)
	check_equal(receive_all(s), b"", "the end of the connection")
	check_equal(service.stop(), 0, "status after SIGTERM")
	check_equal([r["argv"] for r in ctx.opened()], [[longest], ["https://example.org/short"]],
		    "URLs opened")
	parsed = records(service.stderr)
	check_equal([(lv, fn, msg) for (lv, pid, fn, msg) in parsed if lv in "EW" and fn != "sigchld_cb"],
		    [("W", "received_data", "unknown cmd 9"),
		     ("E", "received_data", "URL too long: 131076 bytes, skipped")], "records")
	# The sanitizer's quarantine keeps freed buffers resident.
	if not os.environ.get("ASAN_OPTIONS"):
		check(peak < 16 << 10, "peak resident memory of the child: %d KiB" % peak)


def case_pipelined_handshake_then_malformed(ctx):
	service = Service(ctx, "-D", "-v", "info")
	service.wait_listening()
	done = ctx.run_peer(["https://example.org/first"], user=(65534, 65534), flags=["--malformed"])
	check_equal((done.returncode, done.stdout.strip()), (0, REPLIES.hex()), "all the replies")
	check_equal(service.stop(), 0, "status after SIGTERM")
	check_equal([r["argv"] for r in ctx.opened()], [["https://example.org/first"]], "URLs opened")


# A caller that sees files the service does not names them through its own
# /proc entry: a handler for https and an xdg-open of its own.
CALLERS_HANDLER = "#!/bin/sh\n/usr/bin/id -u > OUTDIR/handler-ran-as-$(/usr/bin/id -u)\n"
CALLERS_OPENER = "#!/bin/sh\n/usr/bin/id -u > OUTDIR/own-opener-ran-as-$(/usr/bin/id -u)\n"
CALLERS_XDG = ["DISPLAY=:0", "HOME=/proc/@PID@/root/mnt/evil",
	       "XDG_DATA_HOME=/proc/@PID@/root/mnt/evil",
	       "XDG_CONFIG_HOME=/proc/@PID@/root/mnt/evil/config"]
CALLERS_PATH = ["DISPLAY=:0", "PATH=/proc/@PID@/root/mnt/evil/bin:DISPLAY="]
CONFINED = r"pid \d+ is confined: only its display and session variables are taken"
REFUSED = r"refused pid \d+: root in another mount namespace or root directory"


def write_file(path, text, mode=0o644):
	os.makedirs(os.path.dirname(path), exist_ok=True)
	with open(path, "w") as f:
		f.write(text)
	os.chmod(path, mode)


def real_opener(ctx):
	"""Puts the system's xdg-open back, with the recording stub as the system's
	handler for https, where a desktop's browser would be."""
	subprocess.run(["umount", OPENER], check=True, timeout=10)
	subprocess.run(["mount", "-t", "tmpfs", "-o", "mode=755", "apps", "/usr/local/share"],
		       check=True, timeout=10)
	apps = "/usr/local/share/applications"
	write_file(apps + "/mimeapps.list",
		   "[Default Applications]\nx-scheme-handler/https=quillmere-browser.desktop\n")
	write_file(apps + "/quillmere-browser.desktop", "[Desktop Entry]\nType=Application\n"
		   "Name=browser\nExec=%s %%u\n" % os.path.join(ctx.dir, "xdg-open"))


def own_mount_namespace(ctx):
	"""A wrap that runs the client in a mount namespace of its own, with the
	caller's files on a tmpfs under /mnt that only it sees."""
	files = os.path.join(ctx.dir, "callers")
	write_file(files + "/handler", CALLERS_HANDLER.replace("OUTDIR", ctx.out), 0o755)
	write_file(files + "/bin/xdg-open", CALLERS_OPENER.replace("OUTDIR", ctx.out), 0o755)
	write_file(files + "/config/mimeapps.list",
		   "[Default Applications]\nx-scheme-handler/https=callers.desktop\n")
	# An interpreter, so that the handler also passes xdg-mime's check in the host's view.
	write_file(files + "/applications/callers.desktop", "[Desktop Entry]\nType=Application\n"
		   "Name=callers\nExec=/bin/sh /proc/@PID@/root/mnt/evil/handler %u\n")
	script = ('mount -t tmpfs -o mode=755 evil /mnt && cp -R %s /mnt/evil && '
		  'sed -i "s/@PID@/$$/" /mnt/evil/applications/callers.desktop && exec "$@"' % files)
	return ["unshare", "--mount", "sh", "-c", script, "sh"]


def ran(ctx):
	"""What the caller's own handler or xdg-open left behind."""
	return sorted(f for f in os.listdir(ctx.out) if not f.startswith("open-"))


def case_confined_root(ctx):
	real_opener(ctx)
	service = Service(ctx, "-D", "-v", "info")
	service.wait_listening()
	done = ctx.run_peer(["https://example.org/root"], env=CALLERS_XDG,
			    wrap=own_mount_namespace(ctx))
	check_equal(service.stop(), 0, "status after SIGTERM")
	check_equal(ran(ctx), [], "the caller's handler")
	check_equal((done.returncode, done.stdout.strip()), (0, ""), "a refused root gets nothing")
	check_equal(ctx.opened(), [], "the system's handler")
	parsed = records(service.stderr)
	refused = [pid for (lv, pid, fn, msg) in parsed
		   if (lv, fn) == ("W", "change_environ") and re.fullmatch(REFUSED, msg)]
	check_equal(len(refused), 1, "refusal records")
	check_served(parsed, service.pid, 0, failed=refused)


def case_confined_user(ctx):
	nobody = pwd.getpwuid(65534)
	real_opener(ctx)
	service = Service(ctx, "-D", "-v", "info")
	service.wait_listening()
	wrap = own_mount_namespace(ctx)
	urls = ["https://example.org/xdg", "https://example.org/path"]
	for url, env in zip(urls, (CALLERS_XDG, CALLERS_PATH)):
		ctx.request([url], env=env, user=(65534, nobody.pw_gid), wrap=wrap)
	check_equal(service.stop(), 0, "status after SIGTERM")
	check_equal(ran(ctx), [], "the caller's handler or xdg-open")
	opened = ctx.opened()
	check_equal([r["argv"] for r in opened], [[u] for u in urls], "URLs the system's handler got")
	for record in opened:
		check_equal(record["uid"], [65534] * 3, "the handler's user ids")
		# PWD is the shell's own, from xdg-open.
		check_equal(sorted(e for e in record["environ"] if not e.startswith("PWD=")),
			    ["DISPLAY=:0", "HOME=" + nobody.pw_dir], "the handler's environment")
		check_equal(record["cwd"], "/", "the handler's directory, from the database's HOME")
	parsed = records(service.stderr)
	confined = [pid for (lv, pid, fn, msg) in parsed
		    if (lv, fn) == ("I", "change_environ") and re.fullmatch(CONFINED, msg)]
	check_equal(len(confined), 2, "'is confined' records")
	check_served(parsed, service.pid, 2)


def case_chroot_root(ctx):
	# A root directory of its own in the service's mount namespace: everything
	# the client needs, and /proc, bound in.
	jail = os.path.join(ctx.dir, "jail")
	workdir = os.path.dirname(ctx.dir)
	for path in ("/etc", "/usr", "/proc", workdir):
		os.makedirs(jail + path)
		subprocess.run(["mount", "--bind", path, jail + path], check=True, timeout=10)
	for name in os.listdir("/"):
		if os.path.islink("/" + name):
			os.symlink(os.readlink("/" + name), os.path.join(jail, name))
	service = Service(ctx, "-D", "-v", "info")
	service.wait_listening()
	done = ctx.run_peer(["https://example.org/chroot"], env=TABLE_ENV, wrap=["chroot", jail])
	check_equal((done.returncode, done.stdout.strip()), (0, ""), "a refused root gets nothing")
	check_equal(service.stop(), 0, "status after SIGTERM")
	check_equal(ctx.opened(), [], "openers run")
	parsed = records(service.stderr)
	refused = [pid for (lv, pid, fn, msg) in parsed
		   if (lv, fn) == ("W", "change_environ") and re.fullmatch(REFUSED, msg)]
	check_equal(len(refused), 1, "refusal records")
	check_served(parsed, service.pid, 0, failed=refused)


def case_socket_activation(ctx):
	activate = ["systemd-socket-activate", "-l", "@" + ADDRESS[1:].decode()]
	service = Service(ctx, "-D", "-v", "info", prefix=activate)
	inode = wait_for(listener_inode, "the socket of the service manager")
	ctx.request(["https://example.org/activated"], user=(65534, 65534))
	# Served on the socket it was handed, not one of its own.
	check_equal((listener_inode(), holder_of(inode)), (inode, service.pid), "the listener")
	second = Service(ctx, "-D", "-v", "info")
	check_equal((second.wait(), second.stderr.splitlines(True)[-1]), (1, REFUSAL),
		    "a second instance started by hand")
	check_equal(service.stop(), 0, "status after SIGTERM")
	check_equal([r["argv"] for r in ctx.opened()], [["https://example.org/activated"]],
		    "URLs opened")

	# A socket on another name is not the service's to serve.
	other = Service(ctx, "-D", "-v", "info", prefix=activate[:2] + ["@elsewhere"])
	wait_for(lambda: "@elsewhere" in open("/proc/net/unix").read(), "the other socket")
	s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
	s.connect(b"\0elsewhere")
	check_equal(other.wait(), 1, "status with a foreign socket")
	# The service manager's own lines come first.
	ours = other.stderr[other.stderr.index("E: "):].replace(REFUSAL, "")
	check_equal([msg for (lv, pid, fn, msg) in records(ours) if fn == "create_server_socket"],
		    ["inherited socket is not one listening on @ftnl54531"], "records")
	check(other.stderr.endswith(REFUSAL), "refusal: %r" % other.stderr)


CASES = {name[len("case_"):]: fn for name, fn in globals().items() if name.startswith("case_")}


# ---------------------------------------------------------------- drivers

def run_case(name, binary, workdir):
	ctx = Context(binary, workdir, name)
	try:
		CASES[name](ctx)
	except Failure as e:
		print("FAIL %s: %s" % (name, e))
		return 1
	except Exception:
		traceback.print_exc()
		return 1
	finally:
		end_namespace_processes()
	return 0


def sanitizer_dirs():
	"""Directories the sanitizers of the binary under test log into."""
	dirs = []
	for var in ("ASAN_OPTIONS", "UBSAN_OPTIONS"):
		m = re.search(r"(?:^|:)log_path=([^:]+)", os.environ.get(var, ""))
		if m:
			dirs.append(m.group(1))
	return dirs


def skip_or_fail(reason):
	if os.environ.get("CI") == "true":
		print("cannot run under CI: %s\n0 passed, 1 failed" % reason)
		return 1
	print("skipped: %s\n0 passed, 0 failed" % reason)
	return SKIP


def main():
	binary = os.path.abspath(sys.argv[1])
	if os.geteuid() != 0:
		return skip_or_fail("needs root for namespaces and other users")
	for tool in ("unshare", "setpriv", "mount", PYTHON, OPENER):
		if not shutil.which(tool):
			return skip_or_fail("%s is missing" % tool)
	probe = subprocess.run(["unshare", "--mount", "--net", "--fork", "true"],
			       capture_output=True, timeout=30)
	if probe.returncode != 0:
		return skip_or_fail("unshare refused: %s" % probe.stderr.decode().strip())

	# Connection children log here after dropping root.
	for prefix in sanitizer_dirs():
		os.makedirs(os.path.dirname(prefix), exist_ok=True)
		os.chmod(os.path.dirname(prefix), 0o1777)

	workdir = tempfile.mkdtemp(prefix="quillmere-service-")
	passed = failed = 0
	try:
		os.chmod(workdir, 0o755)
		shutil.copy(os.path.abspath(__file__), os.path.join(workdir, "peer.py"))
		os.chmod(os.path.join(workdir, "peer.py"), 0o755)
		harness = os.path.join(os.path.dirname(os.path.abspath(__file__)), "harness.py")
		shutil.copy(harness, os.path.join(workdir, "harness.py"))
		os.chmod(os.path.join(workdir, "harness.py"), 0o644)
		for name in sys.argv[2:] or CASES:
			cmd = ["unshare", "--mount", "--net", "--fork", sys.executable, "-I",
			       os.path.abspath(__file__), "--case", name, binary, workdir]
			try:
				done = subprocess.run(cmd, stdin=subprocess.DEVNULL, capture_output=True,
						      text=True, timeout=120)
				ok = done.returncode == 0
				output = done.stdout + done.stderr
			except subprocess.TimeoutExpired as e:
				ok = False
				output = "timed out\n%s" % (e.stdout or "")
			print("%s %s" % ("ok  " if ok else "FAIL", name))
			if not ok:
				print(output.rstrip())
			passed, failed = passed + ok, failed + (not ok)
	finally:
		shutil.rmtree(workdir, ignore_errors=True)

	for prefix in sanitizer_dirs():
		reports = glob.glob(prefix + "*")
		for report in reports:
			with open(report, errors="replace") as f:
				print("sanitizer report %s:\n%s" % (report, f.read()))
		if reports:
			print("FAIL sanitizer reports")
			failed += 1
	print("%d passed, %d failed" % (passed, failed))
	return 1 if failed else 0


if __name__ == "__main__":
	if len(sys.argv) > 1 and sys.argv[1] == "--peer":
		sys.exit(peer_main(sys.argv[2:]))
	if len(sys.argv) == 5 and sys.argv[1] == "--case":
		sys.exit(run_case(*sys.argv[2:]))
	if len(sys.argv) < 2 or not set(sys.argv[2:]) <= set(CASES):
		sys.exit(__doc__)
	sys.exit(main())
