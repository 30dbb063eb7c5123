#!/usr/bin/env python3
"""Process-level tests of the quillmere binary.

Usage: service_test.py QUILLMERE [CASE...]

Every case runs as root inside a mount and network namespace of its own
(unshare --mount --net --fork): its service's abstract socket and the stub
opener bind-mounted over /usr/bin/xdg-open exist only there. Clients are the
harness's peer, started as other users through setpriv, with exactly the
environment a case chooses.
"""
import ctypes
import glob
import json
import os
import platform
import pwd
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

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import (ADDRESS, HANDSHAKE, OPENER, PYTHON, REPLIES, VERSION, Failure,  # noqa: E402
		     Listener, Sandbox, Service, as_user, check, check_equal, children_of,
		     end_namespace_processes, listener_inode, open_url_frame, process_gone,
		     project_version, receive_all, require_namespaces, run_cases, user_runtime_dir,
		     wait_for, write_file)

USAGE = ("Usage: {} [OPTIONS]\n\t-D           Run non-daemon mode (daemon is default).\n"
	 "\t-v LEVEL     Set debug message output level.\n"
	 "\t             Levels: debug, info, warning, error, none.\n"
	 "\t-h           Print this help message.\nPlease, see README for details.\n\n")
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
	      "XAUTHORITY=/home/u/.Xauthority", "LANG=de_DE.UTF-8", "A=DISPLAY=1"]

def handshake(s):
	"""Completes the handshake on a connected socket; the child then serves it."""
	s.sendall(HANDSHAKE)
	replies = b""
	while len(replies) < len(REPLIES):
		chunk = s.recv(64)
		check(chunk, "connection closed during the handshake")
		replies += chunk
	check_equal(replies, REPLIES, "handshake replies")


def banner(ctx):
	"""The banner of the build under test."""
	version = re.escape(project_version(os.path.dirname(ctx.binary)))
	return re.compile(r"\nQuillmere version: %s\n"
			  r"Build time: [A-Z][a-z]{2} [ \d]\d \d{4} \d\d:\d\d:\d\d\n\n" % version)


def holder_of(inode):
	target = "socket:[%d]" % inode
	for fd in glob.glob("/proc/[0-9]*/fd/*"):
		try:
			if os.readlink(fd) == target:
				return int(fd.split("/")[2])
		except OSError:
			pass
	return None


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
	check(banner(ctx).fullmatch(second.stdout), "banner of the second instance: %r" % second.stdout)
	lines = second.stderr.splitlines(keepends=True)
	check_equal(len(lines), 2, "lines on stderr of a second instance: %r" % lines)
	check_equal(records(lines[0]), [("E", second.pid, "create_server_socket",
					 "unable to bind: -98: Address already in use")], "bind record")
	check_equal(lines[1], REFUSAL, "refusal")

	quiet = Service(ctx, "-v", "info", "-v", "none")
	check_equal(quiet.wait(), 1, "status of a second instance with -v none")
	check(banner(ctx).fullmatch(quiet.stdout), "banner with -v none: %r" % quiet.stdout)
	check_equal(quiet.stderr, REFUSAL, "stderr with -v none")

	check_equal(first.stop(), 0, "status after SIGTERM")
	# Once, although two connection children have come and gone.
	check(banner(ctx).fullmatch(first.stdout), "banner of the first instance: %r" % first.stdout)


def case_daemon(ctx):
	# Started with standard input closed, the socket must not land on descriptor 0.
	starter = Service(ctx, "-v", "info", prefix=["sh", "-c", 'exec "$0" "$@" <&-'])
	check_equal(starter.wait(), 0, "status of the calling process")
	check(banner(ctx).fullmatch(starter.stdout), "banner in daemon mode: %r" % starter.stdout)
	# The one record before it detaches names the policy in force: none, in the sandbox.
	lines = starter.stderr.splitlines(keepends=True)
	check(len(lines) == 2 and lines[1] == FORKING, "stderr in daemon mode: %r" % starter.stderr)
	check(re.fullmatch(r"I: .*: main: no policy file /\S+: every URL opens\n", lines[0]),
	      "policy record in daemon mode: %r" % lines[0])

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
	ctx.request(["https://example.org/large"], env=[pad, first, "PATH=/bin", second, last],
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
	# Refused before a process is spent on it: there is nobody to count it against.
	wait_for(lambda: "unable to verify peer" in service.stderr, "the refusal")
	ctx.request(["https://example.org/next"], user=(65534, 65534))
	check_equal(service.stop(), 0, "status after SIGTERM")

	parsed = records(service.stderr)
	gone = pids_with(parsed, "E", "accept_cb", "unable to verify peer: -2: No such file or directory")
	check_equal(gone, [service.pid], "'unable to verify peer' records")
	check_served(parsed, service.pid, 1)
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
		    env=["DISPLAY=:0\n" + forged, "PATH=C\\x0a\n" + forged])
	check_equal(service.stop(), 0, "status after SIGTERM")
	parsed = records(service.stderr)
	check_equal([r for r in parsed if r[3] == "forged"], [], "forged records")
	messages = [msg for (lv, pid, fn, msg) in parsed if fn == "change_environ"]
	check_equal(messages, ["plugin env: DISPLAY=:0\\x0a" + forged,
			       "putenv: DISPLAY=:0\\x0a" + forged,
			       "plugin env: PATH=C\\x5cx0a\\x0a" + forged], "quoted entries")


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


def serve_sleepers(ctx, service, urls):
	"""Sends the URLs on one connection and returns its child, the socket
	shut for sending."""
	s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
	s.connect(ADDRESS)
	s.settimeout(60)
	handshake(s)
	child = next(iter(wait_for(lambda: children_of(service.pid), "the connection child")))
	s.sendall(b"".join(open_url_frame(u) for u in urls))
	return s, child


def left_running(service, child):
	return [int(msg.split(": ")[1]) for (lv, pid, fn, msg) in records(service.stderr)
		if (lv, pid, fn) == ("I", child, "open_url") and msg.startswith("opener still running: ")]


def case_opener_left_running(ctx):
	service = Service(ctx, "-D", "-v", "info")
	service.wait_listening()
	s, child = serve_sleepers(ctx, service, ["sleep:20/1", "sleep:20/2"])
	s.shutdown(socket.SHUT_WR)
	check_equal(receive_all(s), b"", "the end of the connection")
	wait_for(lambda: child not in children_of(service.pid), "the connection child to end")
	opened = ctx.opened()
	check_equal([r["argv"] for r in opened], [["sleep:20/1"], ["sleep:20/2"]], "openers in order")
	check_equal(ctx.ended(), {}, "openers that ended")
	check(not any(process_gone(r["pid"]) for r in opened), "an opener was ended")
	wait_for(lambda: len(left_running(service, child)) >= len(opened), "the 'still running' records")
	check_equal(left_running(service, child), [r["pid"] for r in opened], "'still running' records")
	check_equal(service.stop(), 0, "status after SIGTERM")


def case_openers_left_running_at_most_four(ctx):
	service = Service(ctx, "-D", "-v", "info")
	service.wait_listening()
	urls = ["sleep:10/1"] + ["sleep:20/%d" % i for i in range(2, 6)]
	s, child = serve_sleepers(ctx, service, urls)
	opened = wait_for(lambda: len(ctx.opened()) == 5 and ctx.opened(), "the fifth opener", 30)
	ended = ctx.ended()
	check_equal([r["argv"] for r in opened], [[u] for u in urls], "openers in order")
	# Exactly one of the first four had ended when the fifth started: the short one.
	check_equal([r["pid"] for r in opened[:4] if ended.get(r["pid"], opened[4]["t"]) < opened[4]["t"]],
		    [opened[0]["pid"]], "openers ended before the fifth started")
	s.shutdown(socket.SHUT_WR)
	check_equal(receive_all(s), b"", "the end of the connection")
	# The child wrote its last record before it closed; this side may not have read it yet.
	wait_for(lambda: len(left_running(service, child)) >= 5, "the last 'still running' record")
	check_equal(left_running(service, child), [r["pid"] for r in opened],
		    "'still running' records")
	check_equal(service.stop(), 0, "status after SIGTERM")


def case_idle_connection_reaps_its_opener(ctx):
	service = Service(ctx, "-D", "-v", "info")
	service.wait_listening()
	s, child = serve_sleepers(ctx, service, ["sleep:3/idle"])
	wait_for(lambda: left_running(service, child), "the opener to be left running")
	wait_for(ctx.ended, "the opener to end")
	try:
		wait_for(lambda: not children_of(child), "the opener to be reaped")
	except Failure:
		raise Failure("children of the idle connection child: %r" % children_of(child))
	check(child in children_of(service.pid), "the connection was ended")
	s.shutdown(socket.SHUT_WR)
	check_equal(receive_all(s), b"", "the end of the connection")
	check_equal(service.stop(), 0, "status after SIGTERM")
	check_equal([(lv, fn, msg) for (lv, pid, fn, msg) in records(service.stderr)
		     if fn == "open_url" and not msg.startswith("opener still running: ")], [],
		    "records of the reaped opener")


FOREGROUND_HANDLER = r'''#!/usr/bin/python3 -I
import sys, time
# A browser that is not running yet stays in the foreground of the opener.
name = "OUTDIR/handler-%s-" + sys.argv[1].rsplit("/", 1)[1]
with open(name % "start", "w") as f:
	f.write(str(time.monotonic_ns()))
time.sleep(20)
with open(name % "end", "w") as f:
	f.write(str(time.monotonic_ns()))
'''


def users_handler(ctx, script):
	"""Puts the system's xdg-open back, with the script as the handler for
	https that the caller's XDG_CONFIG_HOME and XDG_DATA_HOME under ctx.dir
	name, where a desktop's browser would be."""
	subprocess.run(["umount", OPENER], check=True, timeout=10)
	handler = os.path.join(ctx.dir, "handler")
	write_file(handler, script.replace("OUTDIR", ctx.out), 0o755)
	write_file(ctx.dir + "/config/mimeapps.list",
		   "[Default Applications]\nx-scheme-handler/https=handler.desktop\n")
	write_file(ctx.dir + "/data/applications/handler.desktop", "[Desktop Entry]\n"
		   "Type=Application\nName=handler\nExec=%s %%u\n" % handler)


def case_real_opener_foreground_handler(ctx):
	build = os.path.dirname(ctx.binary)
	quillmere_open = next((p for p in (os.path.join(build, "tools", "quillmere-open"),
					   os.path.join(build, "quillmere-open")) if os.access(p, os.X_OK)), None)
	check(quillmere_open, "quillmere-open is not built next to " + ctx.binary)
	users_handler(ctx, FOREGROUND_HANDLER)
	os.makedirs(ctx.dir + "/home")
	# No XDG_CURRENT_DESKTOP: xdg-open's generic mode runs the handler and waits for it.
	env = {"DISPLAY": ":0", "HOME": ctx.dir + "/home", "XDG_CONFIG_HOME": ctx.dir + "/config",
	       "XDG_DATA_HOME": ctx.dir + "/data"}
	env.update({k: v for k, v in os.environ.items() if k.endswith("SAN_OPTIONS")})
	service = Service(ctx, "-D", "-v", "info")
	service.wait_listening()

	def mark(what, n):
		try:
			with open(os.path.join(ctx.out, "handler-%s-%d" % (what, n))) as f:
				return int(f.read())
		except OSError:
			return None

	started = time.monotonic_ns()
	done = subprocess.run(as_user([quillmere_open, "https://example.org/1", "https://example.org/2"],
				      65534), env=env, stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=60)
	returned = time.monotonic_ns()
	check_equal((done.returncode, done.stderr), (0, ""), "quillmere-open's status and errors")
	first, second = (wait_for(lambda n=n: mark("start", n), "handler %d" % n) for n in (1, 2))
	check(first < second, "the handlers started out of order")
	check_equal([mark("end", 1), mark("end", 2)], [None, None], "handlers that ended")
	check_equal(service.stop(), 0, "status after SIGTERM")
	for what, t in (("first handler starts", first), ("second handler starts", second),
			("quillmere-open returns (default --timeout)", returned)):
		print("| %s | %.2f |" % (what, (t - started) / 1e9))


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


def check_refused_once(service):
	"""One confined root was refused, and its child served nothing."""
	parsed = records(service.stderr)
	refused = [pid for (lv, pid, fn, msg) in parsed
		   if (lv, fn) == ("W", "change_environ") and re.fullmatch(REFUSED, msg)]
	check_equal(len(refused), 1, "refusal records")
	check_served(parsed, service.pid, 0, failed=refused)


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
	check_refused_once(service)


def case_confined_user(ctx):
	nobody = pwd.getpwuid(65534)
	real_opener(ctx)
	# Display 0 the desktop's, run by root where the service looks; no runtime directory.
	display = Listener("@/tmp/.X11-unix/X0")
	subprocess.run(["mount", "-t", "tmpfs", "runuser", "/run/user"], check=True, timeout=10)
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
	check_refused_once(service)


def dbus_escape(text):
	"""A D-Bus address value: every byte but the optionally escaped ones as %XX."""
	safe = b"-_/.\\*0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
	return "".join(chr(b) if b in safe else "%%%02x" % b for b in text.encode())


def case_confined_bus_address(ctx):
	"""A confined caller's bus address would have the real xdg-open run a
	program of its choice outside its confinement; the opener gets the
	user's own runtime directory and bus instead. Confined by a mount
	namespace of its own, by no new privileges alone, and by a user
	namespace of its own, in which a sandbox may apply a policy unseen."""
	real_opener(ctx)
	display = Listener("@/tmp/.X11-unix/X0")
	runtime, bus = user_runtime_dir(65534)
	service = Service.started(ctx)
	nobody = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--"]
	callers = {"mount": (own_mount_namespace(ctx), (65534, 65534)),
		   "nnp": (["setpriv", "--no-new-privs", "--"], (65534, 65534)),
		   "userns": (nobody + ["unshare", "--user", "--"], None)}
	for name, (wrap, user) in callers.items():
		# No XDG_CURRENT_DESKTOP: xdg-open asks the session bus which desktop runs.
		run = "/usr/bin/id > %s/pwned-%s" % (ctx.out, name)
		env = ["DISPLAY=:0", "XDG_RUNTIME_DIR=/tmp", "DBUS_SESSION_BUS_ADDRESS="
		       "unixexec:path=/bin/sh,argv0=sh,argv1=-c,argv2=" + dbus_escape(run)]
		ctx.request(["https://example.org/" + name], env=env, user=user, wrap=wrap)
	check_equal(service.stop(), 0, "status after SIGTERM")
	check_equal([f for f in os.listdir(ctx.out) if f.startswith("pwned")], [],
		    "programs the callers chose")
	opened = ctx.opened()
	check_equal([r["argv"] for r in opened], [["https://example.org/" + n] for n in callers],
		    "URLs the system's handler got")
	for record in opened:
		check_equal(sorted(e for e in record["environ"] if not e.startswith("PWD=")),
			    ["DBUS_SESSION_BUS_ADDRESS=unix:path=%s/bus" % runtime, "DISPLAY=:0",
			     "HOME=" + pwd.getpwuid(65534).pw_dir, "XDG_RUNTIME_DIR=" + runtime],
			    "the handler's environment")
	confined = [pid for (lv, pid, fn, msg) in records(service.stderr)
		    if (lv, fn) == ("I", "change_environ") and re.fullmatch(CONFINED, msg)]
	check_equal(len(confined), 3, "'is confined' records")


def case_confined_display_of_its_own(ctx):
	"""A display that a confined caller serves from its own mount namespace,
	on the abstract name X clients try first, is not the user's desktop."""
	display = Listener("@/tmp/.X11-unix/X0")
	plain = own_mount_namespace(ctx)
	serving = plain[:-2] + [plain[-2].replace("exec", "%s -I %s --listen @/tmp/.X11-unix/X77 && exec"
						  % (PYTHON, ctx.peer)), plain[-1]]
	service = Service.started(ctx)
	for n, wrap in ((77, serving), (0, plain)):
		ctx.request(["https://example.org/%d" % n], env=["DISPLAY=:%d" % n],
			    user=(65534, 65534), wrap=wrap)
	check_equal(service.stop(), 0, "status after SIGTERM")
	check_equal([[e for e in r["environ"] if e.startswith("DISPLAY")] for r in ctx.opened()],
		    [[], ["DISPLAY=:0"]], "displays the openers got")


# An opener that needs few descriptors: a shell cannot even read its script
# with fewer than 11. It records what it was started on, writes what a user's
# program could write to descriptors of the service's, and runs while held.
FEW_DESCRIPTORS_OPENER = """#!/usr/bin/python3 -IS
import json, os, sys, time
fds = {fd: os.readlink("/proc/self/fd/%d" % fd) for fd in range(3)}
with open("OUTDIR/fds-%d.json" % os.getpid(), "w") as f:
	json.dump([sys.argv[1], fds], f)
for fd, text in ((0, b"FORGED input\\n"), (1, b"FORGED output\\n"),
		 (2, b"<0>E: 2026.12.09 00:00:00.000: 1: main: FORGED record\\n")):
	try:
		os.write(fd, text)
	except OSError:
		pass
while sys.argv[1] == "hang" and os.path.exists("HOLD"):
	time.sleep(0.05)
"""


def case_user_lowers_its_childs_limits(ctx):
	"""After the drop the user owns its connection child and may lower its
	descriptor limit: the opener still starts on the null device, never on
	root's terminal or log, and its wait stays bounded without a pidfd."""
	opener = os.path.join(ctx.dir, "few-descriptors")
	write_file(opener, FEW_DESCRIPTORS_OPENER.replace("OUTDIR", ctx.out).replace("HOLD", ctx.hold_path),
		   0o755)
	subprocess.run(["mount", "--bind", opener, OPENER], check=True, timeout=10)
	master, slave = os.openpty()
	service = Service(ctx, "-D", "-v", "info", stdin=slave)
	os.close(slave)
	service.wait_listening()

	def held_child(limit):
		holder = ctx.start_holder(1, user=65534)
		child = [c for c, _ in service.children()][-1]
		if limit is None:
			# No descriptor left for a pidfd, but the three an opener needs.
			used = {int(fd) for fd in os.listdir("/proc/%d/fd" % child)}
			limit = min(set(range(len(used) + 1)) - used)
		done = subprocess.run(as_user(["prlimit", "--pid", str(child), "--nofile=%d" % limit], 65534),
				      capture_output=True, text=True, timeout=10)
		check_equal(done.returncode, 0, "the user's prlimit: " + done.stderr)
		return holder, child

	holder, child = held_child(None)
	open(ctx.hold_path, "w").close()
	for url in ("forge", "hang"):
		check_equal(order(holder, "open " + url), "sent", "an open-URL command")
	check(service.wait_for_record(r"opener still running: \d+$"), "the bounded wait")
	os.unlink(ctx.hold_path)
	wait_for(lambda: not children_of(child), "the reap of the opener left running")
	low, _ = held_child(2)
	check_equal(order(low, "open forge"), "sent", "an open-URL command")
	check(service.wait_for_record(r"unable to prepare the opener: -24: Too many open files$"),
	      "the refusal to start an opener")
	for h in (holder, low):
		h.stdin.close()
		h.wait(30)
	check_equal(service.stop(), 0, "status after SIGTERM")
	os.set_blocking(master, False)
	try:
		terminal = os.read(master, 4096)
	except OSError:
		terminal = b""
	os.close(master)
	check_equal(terminal, b"", "what reached root's terminal")
	check("FORGED" not in service.stdout + service.stderr, "what an opener wrote to the service's output")
	records(service.stderr)
	started = []
	for path in sorted(glob.glob(os.path.join(ctx.out, "fds-*.json"))):
		with open(path) as f:
			started.append(json.load(f))
	check_equal(sorted(started), [["forge", {"0": "/dev/null", "1": "/dev/null", "2": "/dev/null"}],
				      ["hang", {"0": "/dev/null", "1": "/dev/null", "2": "/dev/null"}]],
		    "openers started, and their 0, 1 and 2")


def case_large_environment(ctx):
	"""A large environment is filtered in linear time, and one larger than
	any session's is refused before any work on it."""
	service = Service.started(ctx)
	many = ["XDG_%d=" % i for i in range(60000)]
	ctx.request(["https://example.org/many"], env=many, user=(65534, 65534))
	for env in (["XDG_%d=" % i for i in range(70000)],
		    ["XDG_%d=%s" % (i, "x" * 110000) for i in range(10)]):
		done = ctx.run_peer(["https://example.org/too-large"], env=env, user=(65534, 65534))
		check_equal(done.stdout.strip(), "", "replies to a caller with too large an environment")
	check_equal(service.stop(), 0, "status after SIGTERM")
	parsed = records(service.stderr)
	check_equal([msg for (lv, pid, fn, msg) in parsed if lv == "E"],
		    ["environment too large: more than 65536 entries",
		     "environment too large: more than 1048576 bytes"], "error records")
	# From the fork to the child's set-up, in the child's own records.
	stamps = [time.mktime(time.strptime(m.group(2)[:19], "%Y.%m.%d %H:%M:%S")) + int(m.group(2)[20:]) / 1000
		  for m in map(RECORD.fullmatch, service.stderr.splitlines()[:4])
		  if m and re.fullmatch(r"new (process: \d+|connection)", m.group(5))]
	check_equal(len(stamps), 2, "records of the first connection")
	print("60,000 entries: %.3f s from the fork to the connection's set-up" % (stamps[1] - stamps[0]))
	check(stamps[1] - stamps[0] < 1, "60,000 entries took %.3f s" % (stamps[1] - stamps[0]))
	check_equal([r["argv"] for r in ctx.opened()], [["https://example.org/many"]], "URLs opened")


def case_subordinate_ids_count_as_their_owner(ctx):
	"""A user's subordinate ids, mapped into a user namespace it made (root
	writes the maps here, as newuidmap would), count as that user."""
	service = Service.started(ctx)
	owner = 4242
	inner = subprocess.Popen(as_user(ctx.peer_command("--hold-as-ids=8:5"), owner),
				 stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
	check_equal(inner.stdout.readline(), "ready\n", "the namespace's first process")
	for name in ("uid_map", "gid_map"):
		with open("/proc/%d/%s" % (inner.pid, name), "w") as f:
			f.write("0 200000 8\n")
	inner.stdin.write("go\n")
	inner.stdin.flush()
	check_equal(inner.stdout.readline(), "refused 8\n", "connections over the owner's limit")
	ctx.request(["https://example.org/other-user"], user=(4343, 4343))
	inner.stdin.close()
	inner.wait(30)
	check_equal(service.stop(), 0, "status after SIGTERM")
	refusals = [msg for (lv, pid, fn, msg) in records(service.stderr)
		    if (lv, fn) == ("W", "accept_cb")]
	check(refusals and re.fullmatch(r"refused uid 4242 pid \d+: user limit 32 \(peer uid 20000[0-7]\)",
					refusals[0]), "refusals: %r" % refusals)
	check_equal([r["argv"] for r in ctx.opened()], [["https://example.org/other-user"]], "URLs opened")


def case_connect_and_close_loop(ctx):
	"""Children reaped together raise no warnings about the signals that
	libevent queued for them."""
	service = Service.started(ctx)
	done = ctx.run_peer(flags=["--churn=2000"], user=(65534, 65534))
	check_equal(done.returncode, 0, "the loop: " + done.stderr)
	check_equal(service.wait_childless(60), [], "children left")
	check_equal(service.stop(), 0, "status after SIGTERM")
	# Those over the user's limit were refused without a child.
	forked = service.stderr.count("new process")
	print("%d of 2000 connections forked a child" % forked)
	check(forked >= 500, "only %d children" % forked)
	check_equal([(lv, msg) for (lv, pid, fn, msg) in records(service.stderr) if fn == "sigchld_cb"],
		    [], "records of the reaping")


def case_opener_signals(ctx):
	"""Openers start as any program would, with nothing of the signals the
	service was started with but SIGHUP and SIGPIPE ignored."""
	start = ("import os, signal, sys; signal.signal(signal.SIGQUIT, signal.SIG_IGN); "
		 "signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGUSR2}); os.execv(sys.argv[1], sys.argv[1:])")
	service = Service.started(ctx, prefix=[PYTHON, "-c", start])
	ctx.request(["signals:x"], user=(65534, 65534))
	check_equal(service.stop(), 0, "status after SIGTERM")
	found = glob.glob(os.path.join(ctx.out, "signals-*"))
	check_equal(len(found), 1, "the opener's signals")
	with open(found[0]) as f:
		check_equal(sorted(f.read().split()),
			    sorted(["SigBlk:", "0000000000000000", "SigIgn:", "0000000000001001"]),
			    "the opener's blocked and ignored signals")


def case_journal_and_time_zone_decided_at_start(ctx):
	"""Whether standard error is the journal, and the time zone of the
	records, are the service's own, decided at start: a connection child has
	taken on its caller's environment by its first record, and at this level
	the service writes none before that child exists."""
	service = Service(ctx, "-D", "-v", "warning", env={"TZ": "UTC"}, journal=True)
	service.wait_listening()
	# Half a day off, and let through by the DISPLAY= rule.
	done = ctx.run_peer(env=["TZ=UTC-12:DISPLAY=x"], flags=["--malformed"])
	check_equal(done.returncode, 0, "the peer: " + done.stderr)
	check(service.wait_for_record(r"protocol error cmd 1/3$"), "the child's record")
	check_equal(service.stop(), 0, "status after SIGTERM")
	lines = [line for line in service.stderr.splitlines() if line not in NOTICE_LINES]
	check_equal([line[:3] for line in lines], ["<3>"], "the journal's priority of each record")
	stamp = RECORD.fullmatch(lines[0][3:]).group(2)
	off = time.mktime(time.strptime(stamp[:16], "%Y.%m.%d %H:%M")) - time.mktime(time.gmtime())
	check(abs(off) < 600, "a record stamped %s at %s UTC" % (stamp, time.strftime("%H:%M", time.gmtime())))


# What a browser does first: open its window on the display, in the user's language.
SESSION_HANDLER = """#!/bin/sh
/usr/bin/xdpyinfo > /dev/null 2> OUTDIR/x-errors && : > OUTDIR/x-reached
/usr/bin/env | /bin/grep -E '^(LANG|LC_[A-Z_]+)=' | /usr/bin/sort > OUTDIR/x-locale
"""


def case_session_display_and_language(ctx):
	"""A program started for a user reaches the session's X display with the
	cookie that the session's XAUTHORITY names, in the user's runtime
	directory as desktops keep it, and speaks the session's language."""
	runtime, bus = user_runtime_dir(65534)
	cookie = runtime + "/xauth_quillmere"
	subprocess.run(["xauth", "-q", "-f", cookie, "add", ":42", ".", os.urandom(16).hex()],
		       check=True, capture_output=True, timeout=10)
	os.chown(cookie, 65534, 65534)
	# Only the abstract name and no lock file: nothing of the machine's /tmp.
	ready_r, ready_w = os.pipe()
	xvfb = subprocess.Popen(["Xvfb", ":42", "-auth", cookie, "-nolisten", "tcp", "-nolisten", "unix",
				 "-nolock", "-displayfd", str(ready_w)], pass_fds=[ready_w],
				stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
	os.close(ready_w)
	with os.fdopen(ready_r) as ready:
		check_equal(ready.readline(), "42\n", "the X server's display")
	users_handler(ctx, SESSION_HANDLER)
	service = Service.started(ctx)
	ctx.request(["https://example.org/session"], user=(65534, 65534),
		    env=["DISPLAY=:42", "XAUTHORITY=" + cookie, "LANG=de_DE.UTF-8",
			 "LC_TIME=en_GB.UTF-8", "HOME=/nonexistent", "XDG_CONFIG_HOME=%s/config" % ctx.dir,
			 "XDG_DATA_HOME=%s/data" % ctx.dir])
	wait_for(lambda: os.path.exists(ctx.out + "/x-locale"), "the handler")
	check_equal(service.stop(), 0, "status after SIGTERM")
	xvfb.kill()
	xvfb.wait()
	with open(ctx.out + "/x-errors") as f:
		check(os.path.exists(ctx.out + "/x-reached"), "the handler's X client: " + f.read())
	with open(ctx.out + "/x-locale") as f:
		check_equal(f.read(), "LANG=de_DE.UTF-8\nLC_TIME=en_GB.UTF-8\n", "the handler's language")


def case_user_signals_its_child(ctx):
	"""A user may signal its own connection's process: stopping and
	continuing it does not flood the log, and ending it announces no
	shutdown of the service."""
	service = Service.started(ctx)
	holder = ctx.start_holder(1, user=65534)
	child = [c for c, _ in service.children()][-1]
	for _ in range(300):
		for sig in (signal.SIGSTOP, signal.SIGCONT):
			subprocess.run(as_user(["kill", "-%d" % sig, str(child)], 65534), check=True, timeout=10)
	subprocess.run(as_user(["kill", "-TERM", str(child)], 65534), check=True, timeout=10)
	check_equal(service.wait_childless(), [], "children left")
	holder.stdin.close()
	holder.wait(30)
	check_equal(service.stop(), 0, "status after SIGTERM")
	# Every stop and continue raised SIGCHLD: a few records, not hundreds.
	check(service.stderr.count("no process") < 10, "records: %d" % service.stderr.count("no process"))
	check_equal(service.stderr.count(NOTICE), 1, "shutdown notices")


def case_opener_takes_its_callers_session(ctx):
	"""The opener has its caller's audit login uid and a session keyring of
	its own, not the service's."""
	service = Service.started(ctx)
	theirs = os.path.join(ctx.dir, "caller-loginuid")
	wrap = ["sh", "-c", "{ echo 4242 > /proc/self/loginuid; } 2>/dev/null; cat /proc/self/loginuid > %s; "
		"exec \"$@\"" % theirs, "sh"]
	ctx.request(["https://example.org/session"], user=(65534, 65534), wrap=wrap)
	check_equal(service.stop(), 0, "status after SIGTERM")
	opener, = ctx.opened()
	with open(theirs) as f:
		check_equal(opener["loginuid"], f.read(), "the opener's login uid")
	mine = ctypes.CDLL(None).syscall({"x86_64": 250, "aarch64": 219}[platform.machine()], 0, -3, 0)
	check(opener["keyring"] not in (None, mine), "the opener's session keyring: %r" % opener["keyring"])

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
	ctx = Sandbox(binary, name, parent=workdir)
	try:
		CASES[name](ctx)
	except Failure as e:
		print("FAIL %s: %s" % (name, e))
		return 1
	except Exception:
		print("FAIL " + name)
		traceback.print_exc(file=sys.stdout)
		return 1
	finally:
		end_namespace_processes()
	print("ok   " + name)
	return 0


def sanitizer_dirs():
	"""Directories the sanitizers of the binary under test log into."""
	dirs = []
	for var in ("ASAN_OPTIONS", "UBSAN_OPTIONS"):
		m = re.search(r"(?:^|:)log_path=([^:]+)", os.environ.get(var, ""))
		if m:
			dirs.append(m.group(1))
	return dirs


def main():
	binary = os.path.abspath(sys.argv[1])
	require_namespaces()

	# Connection children log here after dropping root.
	for prefix in sanitizer_dirs():
		os.makedirs(os.path.dirname(prefix), exist_ok=True)
		os.chmod(os.path.dirname(prefix), 0o1777)

	workdir = tempfile.mkdtemp(prefix="quillmere-service-")
	try:
		os.chmod(workdir, 0o755)
		passed, failed = run_cases(__file__, sys.argv[2:] or CASES, [binary, workdir], 120)
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
	if len(sys.argv) == 5 and sys.argv[1] == "--case":
		sys.exit(run_case(*sys.argv[2:]))
	if len(sys.argv) < 2 or not set(sys.argv[2:]) <= set(CASES):
		sys.exit(__doc__)
	sys.exit(main())
