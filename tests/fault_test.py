#!/usr/bin/env python3
"""Faults against the real service: peers that vanish at every point, an
absurd length, hanging and crashing openers, fork failing, and SIGTERM while
connections are served. After each, the service goes on serving.

usage: fault_test.py QUILLMERE FORK_SHIM [--sanitized]"""

import fcntl
import os
import signal
import struct
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import (HANDSHAKE, Peer, Results, Sandbox, Service, become_subreaper,  # noqa: E402
                     check, end_namespace_processes, enter_namespaces, open_url_frame)

RECORD = r"^E: [0-9.]+ [0-9:.]+: \d+: "
SIOCOUTQ = 0x5411


def run_case(results, name, test, service, *args):
    def settled_first():
        # On a busy machine the previous case's children may not be reaped yet.
        left = service.wait_childless()
        check(not left, "children of the previous case left: %s" % left)
        test(service, *args)
    results.run(name, settled_first)


def unread_bytes(sock):
    # A local stream socket's bytes count against the sender until they are read.
    return struct.unpack("i", fcntl.ioctl(sock.fileno(), SIOCOUTQ, b"\0" * 4))[0]


def still_serving(service, sandbox, url):
    peer = Peer().handshake()
    peer.open(url)
    peer.finish()
    check(sandbox.wait_for_url(url), "service no longer serves: %s not opened" % url)
    check(service.proc.poll() is None, "service ended")


def disconnect_everywhere(service, sandbox):
    # Connect and go before even reading the version word.
    Peer().close()
    stream = HANDSHAKE + open_url_frame("http://cut.test/whole")
    for cut in range(len(stream) + 1):
        peer = Peer()
        if cut % 2:
            peer.recv_exact(4)
        peer.sock.sendall(stream[:cut])
        peer.close()
    left = service.wait_childless()
    check(not left, "connection children left: %s" % left)
    check(sandbox.urls() == ["http://cut.test/whole"],
          "opened after cuts: %s" % sandbox.urls())
    # Every connection child saw its peer go.
    # Unread replies make the peer's close a reset rather than an end of file.
    check(service.wait_for_record(r"event_cb: (disconnected|connection error)$", len(stream) + 2),
          "not every cut connection logged its end")
    still_serving(service, sandbox, "http://cut.test/after")


def huge_length(service, sandbox):
    peer = Peer().handshake()
    peer.sock.sendall(struct.pack("<II", 1, 0xFFFFFFFF) + b"\0\0\0\0http://huge.test/")
    deadline = time.time() + 10
    while unread_bytes(peer.sock) and time.time() < deadline:
        time.sleep(0.01)
    check(not unread_bytes(peer.sock), "the connection child never read the header")
    pid = [p for p, _ in service.children()]
    check(len(pid) == 1, "expected one connection child, found %s" % pid)
    # The child waits for the rest; it must not reserve the 4 GiB, now or a little later.
    rss = 0
    for _ in range(25):
        with open("/proc/%d/status" % pid[0]) as f:
            rss = max(rss, [int(l.split()[1]) for l in f if l.startswith("VmRSS:")][0])
        time.sleep(0.02)
    check(rss < 262144, "connection child holds %d KiB" % rss)
    peer.close()
    check(not service.wait_childless(), "child did not end after the disconnect")
    check(not any("huge.test" in u for u in sandbox.urls()), "partial command opened")
    still_serving(service, sandbox, "http://huge.test/after")


def hanging_opener(service, sandbox):
    open(sandbox.hold_path, "w").close()
    try:
        hung = Peer().handshake()
        hung.open("hang:first", "http://hang.test/second")
        check(sandbox.wait_for_url("hang:first"), "hanging opener never started")
        for i in range(5):
            peer = Peer(timeout=10).handshake()
            peer.open("http://other.test/%d" % i)
            peer.finish()
        others = [u for u in sandbox.urls() if u.startswith("http://other.test/")]
        check(len(others) == 5, "other connections were not served: %s" % others)
        # Nor does it hold back its own connection: it is left running.
        hung.finish()
    finally:
        os.unlink(sandbox.hold_path)
    urls = sandbox.urls()
    check(urls.index("http://hang.test/second") > urls.index("hang:first"), "order lost")


def killed_opener(service, sandbox):
    # A connection each: the second end alike of one connection would only be counted.
    for urls in (("kill:nine", "http://killed.test/after"), ("segv:eleven",)):
        peer = Peer().handshake()
        peer.open(*urls)
        peer.finish()
    check(sandbox.wait_for_url("http://killed.test/after"), "command after the crash lost")
    check(service.wait_for_record(RECORD + r"open_url: unable to process: 9$"),
          "no record for SIGKILL")
    check(service.wait_for_record(RECORD + r"open_url: unable to process: (11|139)$"),
          "no record for SIGSEGV")


def fork_fails_in_service(service, sandbox, control):
    with open(control, "w") as f:
        f.write("service")
    try:
        peer = Peer()
        peer.sock.settimeout(10)
        # The service closes the connection at once: no version word comes.
        check(peer.sock.recv(4) == b"", "a connection was served although fork failed")
        peer.close()
        check(service.wait_for_record(
            RECORD + r"accept_cb: unable to create process: -11: Resource temporarily unavailable$"),
            "no record of the failed fork")
    finally:
        open(control, "w").close()
    still_serving(service, sandbox, "http://fork.test/service-after")


def fork_fails_in_child(service, sandbox, control):
    peer = Peer().handshake()
    with open(control, "w") as f:
        f.write("child")
    try:
        peer.open("http://fork.test/lost")
        check(service.wait_for_record(
            RECORD + r"open_url: unable to create process: -11: Resource temporarily unavailable$"),
            "no record of the failed fork")
    finally:
        open(control, "w").close()
    peer.open("http://fork.test/child-after")
    peer.finish()
    check("http://fork.test/lost" not in sandbox.urls(), "URL opened although fork failed")
    check(sandbox.wait_for_url("http://fork.test/child-after"), "connection did not go on")
    still_serving(service, sandbox, "http://fork.test/next")


def sigterm_while_serving(service, sandbox):
    open(sandbox.hold_path, "w").close()
    try:
        idle = Peer().handshake()
        busy = Peer().handshake()
        busy.open("http://term.test/busy-1")
        check(sandbox.wait_for_url("http://term.test/busy-1"), "first URL not opened")
        hung = Peer().handshake()
        hung.open("hang:term", "http://term.test/hung-2")
        check(sandbox.wait_for_url("hang:term"), "hanging opener never started")
        serving = [pid for pid, _ in service.children()]
        check(len(serving) == 3, "expected three connection children: %s" % serving)

        service.proc.send_signal(signal.SIGTERM)
        status = service.proc.wait(10)
        check(status == 0, "service ended with %s" % status)
        check("\nCaught an interrupt signal\nWait for graceful shutdown\n" in service.records(),
              "no shutdown notice")
        try:
            Peer(timeout=2)
            raise AssertionError("the listening socket is still open")
        except (ConnectionRefusedError, FileNotFoundError):
            pass

        # The children go on with their connections.
        busy.open("http://term.test/busy-2")
        idle.open("http://term.test/idle-1")
        busy.finish()
        idle.finish()
    finally:
        os.unlink(sandbox.hold_path)
    hung.finish()
    urls = sandbox.urls()
    for url in ("http://term.test/busy-2", "http://term.test/idle-1", "http://term.test/hung-2"):
        check(url in urls, url + " not opened after SIGTERM")
    # Orphaned, they were handed to this process; each ended with status 0.
    for pid in serving:
        deadline = time.time() + 10
        while True:
            done, status = os.waitpid(pid, os.WNOHANG)
            if done or time.time() > deadline:
                break
            time.sleep(0.02)
        check(done == pid, "connection child %d did not end" % pid)
        check(os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0,
              "connection child %d ended with status %#x" % (pid, status))


def main():
    enter_namespaces()
    binary, shim = sys.argv[1], os.path.abspath(sys.argv[2])
    sanitized = "--sanitized" in sys.argv[3:]
    if not os.path.exists(shim):
        raise SystemExit("no fork shim at " + shim)
    become_subreaper()
    results = Results()
    sandbox = Sandbox(binary, "faults")
    try:
        service = Service.started(sandbox)
        try:
            for name, test in [
                ("peer disconnects in every phase and mid-unit", disconnect_everywhere),
                ("length 2^32-1, then disconnect", huge_length),
                ("hanging opener, other connections served", hanging_opener),
                ("opener killed by SIGKILL and SIGSEGV", killed_opener),
            ]:
                run_case(results, name, test, service, sandbox)
        finally:
            service.stop()
            end_namespace_processes()

        control = os.path.join(sandbox.dir, "fork-control")
        open(control, "w").close()
        env = {"LD_PRELOAD": shim, "QUILLMERE_FORK_SHIM": control}
        if sanitized:
            # The shim comes before the sanitizer runtime in the load order.
            env["ASAN_OPTIONS"] = os.environ.get("ASAN_OPTIONS", "") + ":verify_asan_link_order=0"
        service = Service.started(sandbox, env=env)
        try:
            run_case(results, "fork fails in the service process", fork_fails_in_service,
                     service, sandbox, control)
            run_case(results, "fork fails in a connection child", fork_fails_in_child,
                     service, sandbox, control)
            run_case(results, "SIGTERM while connections are served", sigterm_while_serving,
                     service, sandbox)
        finally:
            service.stop()
            end_namespace_processes()
    finally:
        sandbox.cleanup()
    results.finish()


if __name__ == "__main__":
    main()
