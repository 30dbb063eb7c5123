#!/usr/bin/env python3
"""Process-level tests of quillmere-open.

Every case runs in a private mount and network namespace of its own, so the
abstract socket and the stub opener bind-mounted over /usr/bin/xdg-open are
the case's alone. The client talks to the real service or to a fake server
that this script plays itself. One case installs the build into a temporary
prefix and builds a C plug-in against the installed library.

Usage: client_test.py QUILLMERE QUILLMERE_OPEN BUILD_DIR
"""
import contextlib
import glob
import os
import re
import select
import socket
import struct
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import (ADDRESS, OPTIONS, PYTHON, VERSION, Failure, Results, Sandbox,  # noqa: E402
                     Service, as_user, end_namespace_processes, open_url_frame, project_version,
                     require_namespaces, run_cases, wait_listening)

# What a well-behaved client sends during the handshake: its version and an
# ok status, then the options it wants (all it knows of) and an ok status.
HANDSHAKE = (VERSION + b"\0" + OPTIONS + b"\0").hex()
NOBODY = 65534
# Generous for a sanitizer build whose opener takes a while per URL.
PATIENT = ["--timeout", "60"]


def command(url):
    return open_url_frame(url).hex()


# Client arguments, expected status, text expected on stderr (or stdout for
# status 0). None of these reach a server.
USAGE_CASES = [
    ([], 64, "no URL given"),
    (["--ping", "about:blank"], 64, "--ping takes no URL"),
    (["--timeout", "soon", "about:blank"], 64, "not a number of seconds"),
    (["--timeout", "-1", "about:blank"], 64, "not a number of seconds"),
    (["--timeout", "nan", "about:blank"], 64, "not a number of seconds"),
    (["--bogus", "about:blank"], 64, "unknown option --bogus; try 'quillmere-open --help'"),
    (["about:blank", "--timeout"], 64, "option --timeout needs an argument"),
    (["--help"], 0, "Usage: quillmere-open [--timeout SECONDS] [--verbose] URL..."),
    (["-v", "about:blank"], 64, "unknown option -v"),
    (["--version"], 0, "quillmere-open {version}"),
]

# Fake servers: name, behaviour, uid it runs as, client arguments, expected
# status, expected text on stderr, bytes the server must have received (hex,
# None when it depends on timing).
FAKE_CASES = [
    ("not running as root", "ok", NOBODY, ["about:blank"], 77,
     "quillmere-open: the service is not running as root", ""),
    ("wrong version", "wrong-version", 0, ["about:blank"], 76,
     "it speaks version 0x00020001, this client 0x00010001", "0100010001"),
    ("version refused", "refuse", 0, ["about:blank"], 76,
     "it refused this client's version", "0100010000"),
    ("never answers", "silent", 0, ["--timeout", "0.5", "about:blank"], 75,
     "the service did not answer in time", ""),
    # What a slow opener did before the service stopped waiting for it.
    ("never closes", "stall", 0, ["--timeout", "0.5", "about:blank"], 75,
     "quillmere-open: the service did not answer in time", HANDSHAKE + command("about:blank")),
    # The service closes a connection over its limits without a word.
    ("refuses the connection", "close", 0, ["about:blank"], 75,
     "quillmere-open: the service refused the connection: likely a process that is not dumpable", ""),
    ("hangs up after its version", "hangup", 0, ["about:blank"], 76,
     "closed the connection", None),
    ("byte in the command phase", "chatter", 0, ["about:blank"], 76,
     "unexpected byte 0x7f", HANDSHAKE + command("about:blank")),
    ("bad status byte", "bad-status", 0, ["about:blank"], 76,
     "unexpected byte 0x05", "0100010000"),
    ("frames of two URLs", "ok", 0, ["about:blank", ""], 0,
     "", HANDSHAKE + command("about:blank") + command("")),
]


def run_client(client, args, user=None, timeout=90):
    return subprocess.run(as_user([client] + args, user), stdin=subprocess.DEVNULL, capture_output=True,
                          text=True, timeout=timeout)


# --- cases run inside the namespace ---------------------------------------

def case_usage(ctx, r):
    version = project_version(ctx["build"])
    for args, status, text in USAGE_CASES:
        text = text.format(version=version)
        p = run_client(ctx["client"], args)
        out = p.stdout if status == 0 else p.stderr
        one_line = status == 0 or (p.stderr.count("\n") == 1 and p.stderr.startswith("quillmere-open: "))
        r.check(f"usage {args}"[:80], p.returncode == status and text in out and one_line,
                f"status {p.returncode}, stdout {p.stdout!r}, stderr {p.stderr[:300]!r}")


def case_no_service(ctx, r):
    p = run_client(ctx["client"], ["about:blank"])
    r.check("no service: 69", p.returncode == 69
            and p.stderr.startswith("quillmere-open: the service is not running"),
            f"status {p.returncode}, stderr {p.stderr!r}")
    p = run_client(ctx["client"], ["--ping"])
    r.check("no service, ping: 69", p.returncode == 69, f"status {p.returncode}")


def stub_opener(ctx):
    """The stub opener, taking a while for each URL; what it opened is read
    with opened()."""
    return Sandbox(ctx["quillmere"], "client", parent=ctx["tmp"], delay=0.2)


def opened(sandbox):
    """The "uid URL" of each opener, in the order they counted the URL opened."""
    return [f"{r['uid'][0]} {r['argv'][0]}" for r in sandbox.opened()]


@contextlib.contextmanager
def running_service(sandbox, r):
    """The real service in the foreground; yields False when it did not start."""
    service = Service(sandbox, "-D", "-v", "info")
    try:
        started = wait_listening(service.proc)
        if not started:
            r.check("service starts", False, service.stdout + service.stderr)
        yield started
    finally:
        try:
            status = service.stop()
        except Failure:
            status = None
        r.check("service stops with status 0", status == 0, service.stdout + service.stderr)


def case_service(ctx, r):
    sandbox = stub_opener(ctx)
    with running_service(sandbox, r) as started:
        if not started:
            return
        client = ctx["client"]

        p = run_client(client, PATIENT + ["--ping"])
        r.check("ping", p.returncode == 0
                and p.stdout == "version 0x00010001, options 0x00000002\n",
                f"status {p.returncode}, stdout {p.stdout!r}, stderr {p.stderr!r}")

        # Each URL takes the stub a while: the client must still return only
        # after the last one was written.
        urls = ["https://example.org/a", "about:blank", "https://example.org/b?c=1&d=2 3",
                "-not-an-option", "mailto:x@example.org"]
        p = run_client(client, PATIENT + ["--"] + urls)
        got = opened(sandbox)
        r.check("URLs opened in order before the client returns",
                p.returncode == 0 and got == [f"0 {u}" for u in urls],
                f"status {p.returncode}, stderr {p.stderr!r}, opened {got}")

        # Each step on its own line, the URL's control bytes escaped.
        p = run_client(client, PATIENT + ["--verbose", "about:blank", "https://example.org/a\nb"])
        steps = [r"connected to the service: process \d+, uid 0",
                 "handshake done: version 0x00010001, options 0x00000002",
                 "sent URL 1 of 2: about:blank", r"sent URL 2 of 2: https://example.org/a\\x0ab",
                 "finished: the service closed the connection"]
        r.check("--verbose prints each step", p.returncode == 0 and re.fullmatch(
                "".join(f"quillmere-open: {s}\n" for s in steps), p.stderr) is not None,
                f"status {p.returncode}, stderr {p.stderr!r}")

        long_url = "https://example.org/" + "x" * 120000
        p = run_client(client, PATIENT + [long_url])
        got = opened(sandbox)[len(urls) + 2:]
        r.check("a 120 kB URL arrives whole", p.returncode == 0 and got == [f"0 {long_url}"],
                f"status {p.returncode}, stderr {p.stderr!r}, lines {len(got)}")

        p = run_client(client, PATIENT + ["https://example.org/user"], user=NOBODY)
        got = opened(sandbox)[-1:]
        r.check("a user's URL is opened as that user",
                p.returncode == 0 and got == [f"{NOBODY} https://example.org/user"],
                f"status {p.returncode}, stderr {p.stderr!r}, opened {got}")

        # Two openers that outlast the service's wait for one: the time-out
        # alone would run out, the opener wait for each URL on top does not.
        p = run_client(client, ["--timeout", "4", "slow:1", "slow:2"])
        r.check("slow openers get the opener wait on top of the time-out: 0", p.returncode == 0,
                f"status {p.returncode}, stderr {p.stderr!r}")
        deadline = time.time() + 30
        while "0 slow:2" not in opened(sandbox) and time.time() < deadline:
            time.sleep(0.05)
        r.check("the slow URLs are opened in order",
                opened(sandbox)[-2:] == ["0 slow:1", "0 slow:2"],
                f"opened {opened(sandbox)[-2:]}")


def build_plugin(ctx, r):
    """Installs the build into a temporary prefix and builds a C99 plug-in
    against it the way its authors would; returns the plug-in's path and the
    environment it runs in, or None."""
    prefix = os.path.join(ctx["tmp"], "prefix")
    # Staged: the URL policy goes where the service was built to read it,
    # outside any prefix, and must not land on this machine.
    stage = os.path.join(ctx["tmp"], "stage")
    p = subprocess.run(["cmake", "--install", ctx["build"], "--prefix", prefix],
                       env=dict(os.environ, DESTDIR=stage), capture_output=True, text=True)
    pcs = glob.glob(os.path.join(stage + prefix, "**", "pkgconfig", "quillmere-client.pc"),
                    recursive=True)
    r.check("cmake --install puts the library's pkg-config file into the prefix",
            p.returncode == 0 and len(pcs) == 1, p.stdout + p.stderr)
    if len(pcs) != 1:
        return None
    libdir = os.path.dirname(os.path.dirname(pcs[0]))
    env = dict(os.environ, PKG_CONFIG_PATH=os.path.dirname(pcs[0]), PKG_CONFIG_SYSROOT_DIR=stage,
               LD_LIBRARY_PATH=libdir)
    # A sanitizer build's library brings its runtime along, after the plug-in's C library.
    env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "") + ":verify_asan_link_order=0"
    flags = subprocess.run(["pkg-config", "--cflags", "--libs", "quillmere-client"], env=env,
                           capture_output=True, text=True)
    plugin = os.path.join(ctx["tmp"], "client_plugin")
    source = os.path.join(os.path.dirname(os.path.abspath(__file__)), "client_plugin.c")
    p = subprocess.run(["cc", "-std=c99", "-Wall", "-Wextra", "-Werror", "-o", plugin, source]
                       + flags.stdout.split(), env=env, capture_output=True, text=True)
    r.check("a C99 plug-in builds with pkg-config --cflags --libs quillmere-client",
            flags.returncode == 0 and prefix in flags.stdout and p.returncode == 0,
            f"pkg-config {flags.stdout!r} {flags.stderr!r}, cc: {p.stderr}")
    return (plugin, env) if p.returncode == 0 else None


def check_completion(ctx, r):
    """The installed bash completion loads and offers the long options."""
    script = os.path.join(ctx["tmp"], "stage" + ctx["tmp"], "prefix", "share", "bash-completion",
                          "completions", "quillmere-open")
    p = subprocess.run(["bash", "--norc", "--noprofile", "-c",
                        'source "$1" && COMP_WORDS=(quillmere-open --) COMP_CWORD=1 && '
                        '_quillmere_open && echo "${COMPREPLY[*]}"', "bash", script],
                       capture_output=True, text=True)
    r.check("the installed bash completion loads and completes the long options",
            p.returncode == 0 and p.stderr == ""
            and p.stdout == "--timeout --ping --verbose --help --version\n",
            f"status {p.returncode}, stdout {p.stdout!r}, stderr {p.stderr!r}")


def check_deadline_under_signals(plugin, env, r):
    """A connect held back by a full backlog gives up by its deadline while a
    timer interrupts it every 100 ms; each interruption once gave it its whole
    time again, and it never returned."""
    with contextlib.ExitStack() as sockets:
        listener = sockets.enter_context(socket.socket(socket.AF_UNIX, socket.SOCK_STREAM))
        listener.bind(ADDRESS)
        listener.listen(0)
        # Never accepted: the backlog stays full.
        while True:
            s = sockets.enter_context(socket.socket(socket.AF_UNIX,
                                                    socket.SOCK_STREAM | socket.SOCK_NONBLOCK))
            try:
                s.connect(ADDRESS)
            except BlockingIOError:
                break
        try:
            p = subprocess.run([plugin, "alarm"], env=env, stdin=subprocess.DEVNULL,
                               capture_output=True, text=True, timeout=5)
            ok = p.returncode == 0 and p.stdout.startswith("result -5, interrupted yes: ")
            got = f"status {p.returncode}, stdout {p.stdout!r}, stderr {p.stderr!r}"
        except subprocess.TimeoutExpired:
            ok, got = False, "still connecting after 5 s"
        r.check("a connect interrupted by signals keeps its deadline", ok, got)


def case_library(ctx, r):
    built = build_plugin(ctx, r)
    check_completion(ctx, r)
    if built is None:
        return
    plugin, env = built
    check_deadline_under_signals(plugin, env, r)

    # The listener's uid is checked before a byte is sent.
    ran = against_fake("ok", NOBODY, [plugin, "connect"], r, "library refuses a listener not root",
                       env=env)
    if ran is not None:
        p, out, err = ran
        r.check("the library refuses a listener that is not root, and names it",
                re.fullmatch(r"result -3, uid 65534, pid (\d+): @ftnl54531 is held by uid 65534, "
                             r"process \1\n", p.stdout) is not None and out.strip() == "",
                f"status {p.returncode}, stdout {p.stdout!r}, stderr {p.stderr!r}, server got {out!r}")

    sandbox = stub_opener(ctx)
    urls = ["https://example.org/plugin/1", "https://example.org/plugin/2?a=b"]
    with running_service(sandbox, r) as started:
        if not started:
            return
        p = subprocess.run(as_user([plugin, "open"] + urls, NOBODY), env=env, stdin=subprocess.DEVNULL,
                           capture_output=True, text=True, timeout=90)
        got = opened(sandbox)
        r.check("a plug-in as another user opens two URLs through the installed library",
                p.returncode == 0 and p.stdout == "done\n" and got == [f"{NOBODY} {u}" for u in urls],
                f"status {p.returncode}, stdout {p.stdout!r}, stderr {p.stderr!r}, opened {got}")


def against_fake(behaviour, uid, argv, r, name, env=None):
    """Runs argv against a fake server; returns its result and what the server
    received, or None when the server did not start."""
    python = PYTHON if os.path.exists(PYTHON) else sys.executable
    server_argv = [python, os.path.abspath(__file__), "--fake", behaviour]
    server = subprocess.Popen(as_user(server_argv, uid or None), stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, text=True)
    try:
        if not wait_listening(server):
            r.check(name, False, "the fake server did not start: " + server.stderr.read())
            return None
        p = subprocess.run(argv, stdin=subprocess.DEVNULL, capture_output=True, text=True,
                           timeout=90, env=env)
        out, err = server.communicate(timeout=20)
    finally:
        if server.poll() is None:
            server.kill()
            server.wait()
    return p, out, err


def case_fake(ctx, r, index):
    name, behaviour, uid, args, status, text, received = FAKE_CASES[index]
    ran = against_fake(behaviour, uid, [ctx["client"]] + args, r, name)
    if ran is None:
        return
    p, out, err = ran
    ok = p.returncode == status and text in (p.stderr if status else p.stdout)
    ok = ok and (received is None or out.strip() == received)
    r.check(f"fake server, {name}: {status}", ok,
            f"status {p.returncode}, stderr {p.stderr!r}, server got {out.strip()!r} {err!r}")


# --- the fake server --------------------------------------------------------

def fake_server(behaviour):
    listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    listener.bind(ADDRESS)
    listener.listen(1)
    conn, _ = listener.accept()
    got = bytearray()

    def read(n):
        target = len(got) + n
        while len(got) < target:
            data = conn.recv(target - len(got))
            if not data:
                return False
            got.extend(data)
        return True

    try:
        if behaviour == "close":
            conn.close()
            print("")
            return
        if behaviour == "wrong-version":
            conn.sendall(struct.pack("<I", 0x00020001))
        elif behaviour != "silent":
            conn.sendall(VERSION)
            if behaviour == "hangup":
                conn.close()
                print("")
                return
            if read(5):
                if behaviour == "refuse":
                    conn.sendall(b"\x01")
                elif behaviour == "bad-status":
                    conn.sendall(b"\x05")
                else:
                    conn.sendall(b"\x00" + OPTIONS)
                    if read(5):
                        conn.sendall(b"\x00")
                        if behaviour == "chatter":
                            conn.sendall(b"\x7f")
        while read(1):
            pass
        if behaviour == "stall":
            # Keeps its side open until the client gives up and closes its own.
            poller = select.poll()
            poller.register(conn, select.POLLHUP)
            poller.poll(25000)
    except (BrokenPipeError, ConnectionResetError):
        pass
    print(got.hex())
    conn.close()


# --- driver -----------------------------------------------------------------

def inner(case, quillmere, client, build):
    r = Results()
    with tempfile.TemporaryDirectory(prefix="quillmere-client-") as tmp:
        os.chmod(tmp, 0o755)
        ctx = {"tmp": tmp, "quillmere": quillmere, "client": client, "build": build}
        try:
            if case.startswith("fake:"):
                case_fake(ctx, r, int(case[5:]))
            else:
                {"usage": case_usage, "no-service": case_no_service,
                 "service": case_service, "library": case_library}[case](ctx, r)
        finally:
            end_namespace_processes()
    return 0


def main():
    if len(sys.argv) == 3 and sys.argv[1] == "--fake":
        fake_server(sys.argv[2])
        return 0
    if len(sys.argv) == 6 and sys.argv[1] == "--case":
        return inner(sys.argv[2], *(os.path.abspath(a) for a in sys.argv[3:6]))
    quillmere, client, build = (os.path.abspath(a) for a in sys.argv[1:4])
    require_namespaces()
    cases = ["usage", "no-service", "service", "library"] + [f"fake:{i}" for i in range(len(FAKE_CASES))]
    passed, failed = run_cases(__file__, cases, [quillmere, client, build], 180)
    print(f"{passed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
