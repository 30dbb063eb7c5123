#!/usr/bin/env python3
"""The administrator's URL policy on the real service: which URLs open, what
is logged, the pace of a connection, a file refused at start, and reloads on
SIGHUP.

The service reads its policy from the path it was built with. Inside this
test's mount namespace that path's directory is a private tmpfs (or, where
the directory does not exist, an overlay on its nearest existing ancestor),
so the machine's own file is neither seen nor touched.

usage: policy_test.py QUILLMERE POLICY_FILE"""

import os
import re
import signal
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import (Peer, Results, Sandbox, Service, check, end_namespace_processes,  # noqa: E402
                     enter_namespaces)

NOBODY = 65534
REFUSED = r"^W: .*: refused scheme (\S+) for uid (\d+)$"



def private_directory(directory, scratch):
    """Makes the directory exist, empty and private to this namespace. Returns
    the mount points to undo, last first."""
    if os.path.isdir(directory):
        subprocess.run(["mount", "-t", "tmpfs", "-o", "mode=0755", "tmpfs", directory], check=True)
        return [directory]
    ancestor = directory
    while not os.path.isdir(ancestor):
        ancestor = os.path.dirname(ancestor)
    layer = os.path.join(scratch, "layer")
    os.mkdir(layer)
    # An overlay's upper layer cannot itself lie on an overlay, as /tmp may.
    subprocess.run(["mount", "-t", "tmpfs", "tmpfs", layer], check=True)
    os.mkdir(os.path.join(layer, "upper"))
    os.mkdir(os.path.join(layer, "work"))
    subprocess.run(["mount", "-t", "overlay", "overlay", "-o",
                    "lowerdir=%s,upperdir=%s/upper,workdir=%s/work" % (ancestor, layer, layer),
                    ancestor], check=True)
    os.makedirs(directory, mode=0o755)
    return [ancestor, layer]


class Policy:
    def __init__(self, path):
        self.path = path

    def write(self, text, mode=0o644):
        # Replaced, not rewritten, as an editor saves it.
        temporary = self.path + ".new"
        with open(temporary, "w") as f:
            f.write(text)
        os.chmod(temporary, mode)
        os.rename(temporary, self.path)

    def remove(self):
        if os.path.exists(self.path):
            os.remove(self.path)


def open_as(sandbox, uid, *urls):
    """Opens the URLs from a peer of that user, so that the uid in a record is the caller's."""
    done = sandbox.run_peer(urls, user=uid)
    check(done.returncode == 0, "the peer failed: %s" % done.stderr)


def open_urls(sandbox, *urls):
    """Opens the URLs on one connection and returns those the opener got."""
    sandbox.clear_urls()
    peer = Peer().handshake()
    peer.open(*urls)
    peer.finish()
    return sandbox.urls()


def start_refused(binary, sandbox, level):
    """Runs a service that must refuse to start; its status and its standard error."""
    p = subprocess.run([binary, "-D", "-v", level], stdin=subprocess.DEVNULL,
                       capture_output=True, cwd=sandbox.dir, timeout=30)
    return p.returncode, p.stderr.decode(errors="replace")


def signal_ignored(pid, signum):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("SigIgn:"):
                return bool(int(line.split()[1], 16) & (1 << (signum - 1)))
    return False


def main():
    enter_namespaces()
    binary = os.path.abspath(sys.argv[1])
    policy = Policy(sys.argv[2])
    results = Results()
    sandbox = Sandbox(binary, "policy")
    scratch = tempfile.mkdtemp(prefix="quillmere-policy-", dir=sandbox.dir)
    mounts = private_directory(os.path.dirname(policy.path), scratch)
    everything = ["https://x", "MAILTO:a@b", "file:///etc/passwd", "/etc/passwd", "smb://h/s"]

    def with_service(name, test):
        service = Service.started(sandbox)
        try:
            test(service)
            check(service.proc.poll() is None, "the service stopped")
        finally:
            service.stop()
            end_namespace_processes()

    def allow_list(service):
        check(service.wait_for_record(r"^I: .*: policy %s: 2 schemes$" % re.escape(policy.path)),
              "no start record:\n" + service.records())
        sandbox.clear_urls()
        open_as(sandbox, NOBODY, *everything)
        check(sandbox.urls() == ["https://x", "MAILTO:a@b"], "opened: %s" % sandbox.urls())
        # Refused in one burst: the first is recorded, the rest counted at the end.
        check(service.wait_for_record(r"^W: .*: refused 2 more URLs$"), service.records())
        records = service.records()
        refused = re.findall(REFUSED, records, re.M)
        check(refused == [("file", str(NOBODY))], "refusals: %s\n%s" % (refused, records))
        for part in ("passwd", "h/s", "//"):
            check(part not in records, "the log holds %r:\n%s" % (part, records))

    def without_file(service):
        start = r"^I: .*: no policy file %s: every URL opens$" % re.escape(policy.path)
        check(service.wait_for_record(start), "no start record:\n" + service.records())
        check(open_urls(sandbox, *everything) == everything, "opened: %s" % sandbox.urls())
        check(not re.search("refused|skipped", service.records()), service.records())
        # SIGHUP stays ignored where it always was: in a connection child and its opener.
        open(sandbox.hold_path, "w").close()
        peer = Peer().handshake()
        try:
            peer.open("hang:x")
            check(sandbox.wait_for_url("hang:x"), "the opener never started")
            children = [pid for pid, _ in service.children()]
            openers = [pid for child in children for pid, _ in service.children(child)]
            check(len(children) == 1 and len(openers) == 1, "%s %s" % (children, openers))
            check(signal_ignored(children[0], signal.SIGHUP), "connection child catches SIGHUP")
            check(signal_ignored(openers[0], signal.SIGHUP), "opener does not ignore SIGHUP")
        finally:
            os.remove(sandbox.hold_path)
            peer.finish()

    def reload(service):
        hup = 0

        def reload_and_wait(expected):
            nonlocal hup
            hup += 1
            service.proc.send_signal(signal.SIGHUP)
            outcome = r"^.*(?:policy reloaded|bad policy).*$"
            check(service.wait_for_record(outcome, count=hup), "no outcome:\n" + service.records())
            last = re.findall(outcome, service.records(), re.M)[-1]
            check(re.fullmatch(expected, last), "%r is not %r" % (last, expected))

        check(open_urls(sandbox, "https://x", "mailto:a") == ["https://x"], sandbox.urls())
        running = Peer().handshake()
        policy.write("schemes = mailto\n")
        reload_and_wait(r"I: .*: policy reloaded: 1 schemes")
        check(open_urls(sandbox, "https://x", "mailto:a") == ["mailto:a"], sandbox.urls())
        # A connection keeps the policy it was forked with.
        sandbox.clear_urls()
        running.open("https://y", "mailto:b")
        running.finish()
        check(sandbox.urls() == ["https://y"], "running connection opened %s" % sandbox.urls())

        policy.write("schemes = mailto\n[x]\n")
        reload_and_wait(r"E: .*: bad policy: %s:2: section headers are not allowed" % re.escape(policy.path))
        policy.remove()
        reload_and_wait(r"W: .*: bad policy: %s:0: No such file or directory" % re.escape(policy.path))
        check(open_urls(sandbox, "https://x", "mailto:a") == ["mailto:a"], sandbox.urls())

        policy.write("# every setting commented out\n")
        reload_and_wait(r"I: .*: policy reloaded: every scheme")
        check(open_urls(sandbox, "https://x", "mailto:a") == ["https://x", "mailto:a"], sandbox.urls())

    def pace(service):
        urls = ["https://x/%d" % i for i in range(100)]
        check(open_urls(sandbox, *urls) == urls[:3], "opened: %s" % sandbox.urls())
        # Written as the connection ends, unless every skip had a record of its own.
        service.wait_for_record(r"skipped \d+ more URLs$")
        records = service.records()
        recorded = len(re.findall(r"^W: .*: URL skipped: more than 3 in 3600 s$", records, re.M))
        counted = [int(k) for k in re.findall(r"^W: .*: skipped (\d+) more URLs$", records, re.M)]
        check(recorded >= 1 and recorded + sum(counted) == 97 and len(counted) == (recorded < 97),
              "%d recorded, %s counted:\n%s" % (recorded, counted, records))

    def bad_line(_):
        for level in ("none", "error"):
            status, err = start_refused(binary, sandbox, level)
            text = "bad policy: %s:3: unknown key scheme\n" % policy.path
            check(status == 1, "status %d" % status)
            check(err.endswith(text), "-v %s: %s" % (level, err))
            records = [line for line in err.splitlines() if line.startswith("E: ")]
            check(len(records) == (level == "error"), "-v %s: %s" % (level, err))

    def writable_by_others(_):
        status, err = start_refused(binary, sandbox, "none")
        check(status == 1 and err == "bad policy: %s:0: writable by group or others\n" % policy.path,
              "status %d: %s" % (status, err))

    try:
        policy.remove()
        results.run("without a file every URL opens, the start record says so, SIGHUP stays ignored",
                    with_service, "none", without_file)
        policy.write("# web and mail\nschemes = https mailto\n")
        results.run("schemes = https mailto: only those open, a burst of refusals recorded once and counted",
                    with_service, "allow", allow_list)
        policy.write("# three, then none for an hour\npace = 3/3600\n")
        results.run("pace = 3/3600: 100 URLs on one connection open 3, the skips recorded or counted",
                    with_service, "pace", pace)
        policy.write("schemes = https\n\nscheme = mailto\n")
        results.run("a bad line stops the start with its number, even under -v none",
                    bad_line, None)
        policy.write("schemes = https\n", mode=0o646)
        results.run("a file writable by others stops the start", writable_by_others, None)
        policy.write("schemes = https\n")
        results.run("SIGHUP reloads a good file and keeps the policy over a bad or missing one",
                    with_service, "reload", reload)
    finally:
        for point in mounts:
            subprocess.run(["umount", point], check=False)
        sandbox.cleanup()
    results.finish()


if __name__ == "__main__":
    main()
