#!/usr/bin/env python3
"""Process-level tests of quillmere-open.

Every case runs in a private mount and network namespace of its own, so the
abstract socket and the stub opener bind-mounted over /usr/bin/xdg-open are
the case's alone. The client talks to the real service or to a fake server
that this script plays itself.

Usage: client_test.py QUILLMERE QUILLMERE_OPEN
"""
import os
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import (ADDRESS, OPENER, OPTIONS, PYTHON, SKIP, VERSION, Results,  # noqa: E402
                     end_namespace_processes, listener_inode, open_url_frame)

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
    (["--bogus", "about:blank"], 64, "Try 'quillmere-open --help'"),
    (["--help"], 0, "Usage: quillmere-open [--timeout SECONDS] URL..."),
    (["--version"], 0, "quillmere-open 1.1.0.2"),
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
    ("hangs up after its version", "hangup", 0, ["about:blank"], 76,
     "closed the connection", None),
    ("byte in the command phase", "chatter", 0, ["about:blank"], 76,
     "unexpected byte 0x7f", HANDSHAKE + command("about:blank")),
    ("bad status byte", "bad-status", 0, ["about:blank"], 76,
     "unexpected byte 0x05", "0100010000"),
    ("frames of two URLs", "ok", 0, ["about:blank", ""], 0,
     "", HANDSHAKE + command("about:blank") + command("")),
]


def wait_listening(proc):
    for _ in range(500):
        if listener_inode() is not None:
            return True
        if proc.poll() is not None:
            return False
        time.sleep(0.02)
    return False


def run_client(client, args, user=None, timeout=90):
    argv = [client] + args
    if user is not None:
        argv = ["setpriv", f"--reuid={user}", f"--regid={user}", "--clear-groups", "--"] + argv
    return subprocess.run(argv, stdin=subprocess.DEVNULL, capture_output=True,
                          text=True, timeout=timeout)


# --- cases run inside the namespace ---------------------------------------

def case_usage(ctx, r):
    for args, status, text in USAGE_CASES:
        p = run_client(ctx["client"], args)
        out = p.stdout if status == 0 else p.stderr
        r.check(f"usage {args}", p.returncode == status and text in out,
                f"status {p.returncode}, stdout {p.stdout!r}, stderr {p.stderr!r}")


def case_no_service(ctx, r):
    p = run_client(ctx["client"], ["about:blank"])
    r.check("no service: 69", p.returncode == 69
            and p.stderr.startswith("quillmere-open: the service is not running"),
            f"status {p.returncode}, stderr {p.stderr!r}")
    p = run_client(ctx["client"], ["--ping"])
    r.check("no service, ping: 69", p.returncode == 69, f"status {p.returncode}")


def install_stub(tmp):
    opened = os.path.join(tmp, "opened")
    stub = os.path.join(tmp, "xdg-open")
    # The opener gets a cleared environment: no PATH, so full paths only.
    with open(stub, "w") as f:
        f.write("#!/bin/sh\n"
                "case \"$1\" in slow:*) /bin/sleep 3;; *) /bin/sleep 0.2;; esac\n"
                f"printf '%s %s\\n' \"$(/usr/bin/id -u)\" \"$1\" >> {opened}\n")
    os.chmod(stub, 0o755)
    open(opened, "w").close()
    os.chmod(opened, 0o666)
    subprocess.run(["mount", "--bind", stub, OPENER], check=True)
    return opened


def read_lines(path):
    with open(path) as f:
        return f.read().splitlines()


def case_service(ctx, r):
    opened = install_stub(ctx["tmp"])
    log_path = os.path.join(ctx["tmp"], "service.log")
    log = open(log_path, "w")
    service = subprocess.Popen([ctx["quillmere"], "-D", "-v", "info"], stdin=subprocess.DEVNULL,
                               stdout=log, stderr=log)
    try:
        if not wait_listening(service):
            r.check("service starts", False, open(log_path).read())
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
        got = read_lines(opened)
        r.check("URLs opened in order before the client returns",
                p.returncode == 0 and got == [f"0 {u}" for u in urls],
                f"status {p.returncode}, stderr {p.stderr!r}, opened {got}")

        long_url = "https://example.org/" + "x" * 120000
        p = run_client(client, PATIENT + [long_url])
        got = read_lines(opened)[len(urls):]
        r.check("a 120 kB URL arrives whole", p.returncode == 0 and got == [f"0 {long_url}"],
                f"status {p.returncode}, stderr {p.stderr!r}, lines {len(got)}")

        p = run_client(client, PATIENT + ["https://example.org/user"], user=NOBODY)
        got = read_lines(opened)[-1:]
        r.check("a user's URL is opened as that user",
                p.returncode == 0 and got == [f"{NOBODY} https://example.org/user"],
                f"status {p.returncode}, stderr {p.stderr!r}, opened {got}")

        p = run_client(client, ["--timeout", "0.5", "slow:1"])
        r.check("a slow opener runs into the time-out: 75", p.returncode == 75
                and "quillmere-open: the service did not answer in time" in p.stderr,
                f"status {p.returncode}, stderr {p.stderr!r}")
        # The connection child goes on without the client; let it finish.
        deadline = time.time() + 30
        while "0 slow:1" not in read_lines(opened) and time.time() < deadline:
            time.sleep(0.05)
        r.check("the slow URL is still opened", "0 slow:1" in read_lines(opened),
                f"opened {read_lines(opened)[-2:]}")
    finally:
        service.send_signal(signal.SIGTERM)
        try:
            status = service.wait(timeout=10)
        except subprocess.TimeoutExpired:
            service.kill()
            status = service.wait()
        log.close()
        r.check("service stops with status 0", status == 0, open(log_path).read())


def case_fake(ctx, r, index):
    name, behaviour, uid, args, status, text, received = FAKE_CASES[index]
    python = PYTHON if os.path.exists(PYTHON) else sys.executable
    argv = [python, os.path.abspath(__file__), "--fake", behaviour]
    if uid != 0:
        argv = ["setpriv", f"--reuid={uid}", f"--regid={uid}", "--clear-groups", "--"] + argv
    server = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, text=True)
    try:
        if not wait_listening(server):
            r.check(name, False, "the fake server did not start: " + server.stderr.read())
            return
        p = run_client(ctx["client"], args)
        out, err = server.communicate(timeout=20)
    finally:
        if server.poll() is None:
            server.kill()
            server.wait()
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
    except (BrokenPipeError, ConnectionResetError):
        pass
    print(got.hex())
    conn.close()


# --- driver -----------------------------------------------------------------

def inner(case, quillmere, client):
    r = Results()
    with tempfile.TemporaryDirectory(prefix="quillmere-client-") as tmp:
        os.chmod(tmp, 0o755)
        ctx = {"tmp": tmp, "quillmere": quillmere, "client": client}
        try:
            if case.startswith("fake:"):
                case_fake(ctx, r, int(case[5:]))
            else:
                {"usage": case_usage, "no-service": case_no_service,
                 "service": case_service}[case](ctx, r)
        finally:
            end_namespace_processes()
    return 0


def main():
    if len(sys.argv) == 3 and sys.argv[1] == "--fake":
        fake_server(sys.argv[2])
        return 0
    if len(sys.argv) == 5 and sys.argv[1] == "--case":
        return inner(sys.argv[2], os.path.abspath(sys.argv[3]), os.path.abspath(sys.argv[4]))
    quillmere, client = (os.path.abspath(a) for a in sys.argv[1:3])

    r = Results()
    if os.geteuid() != 0:
        if os.environ.get("CI") == "true":
            r.check("namespaced cases", False, "they need root, and CI must run them")
        else:
            print("SKIP all cases: they need root for their namespaces")
        print(f"{r.passed} passed, {r.failed} failed")
        return 1 if r.failed else SKIP
    if not os.path.exists(OPENER):
        r.check("stub opener", False, f"{OPENER} is missing; install xdg-utils")

    cases = ["usage", "no-service", "service"] + [f"fake:{i}" for i in range(len(FAKE_CASES))]
    for case in cases:
        argv = ["unshare", "--mount", "--net", "--fork", "--", sys.executable,
                os.path.abspath(__file__), "--case", case, quillmere, client]
        try:
            p = subprocess.run(argv, stdin=subprocess.DEVNULL, capture_output=True, text=True,
                               timeout=180)
        except subprocess.TimeoutExpired:
            r.check(case, False, "timed out")
            continue
        lines = p.stdout.splitlines()
        for line in lines:
            print(line)
        r.passed += sum(line.startswith("ok   ") for line in lines)
        r.failed += sum(line.startswith("FAIL ") for line in lines)
        if p.returncode != 0 or not lines:
            r.check(f"case {case} ran", False, f"status {p.returncode}: {p.stderr}")
    print(f"{r.passed} passed, {r.failed} failed")
    return 1 if r.failed else 0


if __name__ == "__main__":
    sys.exit(main())
