#!/usr/bin/env python3
"""Boots a minimal Debian 12 with systemd as its PID 1 in an ephemeral
container and checks the Debian packages there as an administrator and users
meet them: install, socket activation, users' URLs through the real xdg-open
in scopes of their users' slices at a bounded rate, the journal's priorities, reload, upgrade in place and removal.

The tree is made with debootstrap from the archive the machine's apt uses,
once per run, in a temporary directory. The container is ephemeral, has no
network and is registered nowhere; its cgroups and nspawn's runtime files are
the test's own and go with it.

Usage: boot_test.py SOURCE_DIR WORK_DIR
"""
import ctypes
import glob
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import Failure, Results, children_of, listener_inode, skip_or_fail, wait_for  # noqa: E402
from package_test import build, control, depends  # noqa: E402

TOOLS = ["debootstrap", "systemd-nspawn", "nsenter", "unshare", "dpkg-buildpackage", "dpkg-deb"]
# Debian 12, what CI runs on, with what an administrator's system has anyway.
SUITE = "bookworm"
BASE = ["systemd", "systemd-sysv", "dbus", "procps"]
# The host directory that the container sees here: the packages and what the
# handlers record.
SHARE = "/srv/quillmere-test"
USERS = {"alice": 1000, "bob": 1001}
CONTAINER_ENV = {"PATH": "/usr/sbin:/usr/bin:/sbin:/bin", "LANG": "C.UTF-8"}
PR_SET_PDEATHSIG = 1

# A browser as far as xdg-open can tell: it records who runs it, where, and
# for which URL, then stays a while.
HANDLER = """#!/bin/sh
out=SHARE/probe/$$
{ echo "$1"; id -u; cat /proc/self/cgroup; } > "$out.tmp" && mv "$out.tmp" "$out"
exec sleep 300
"""
DESKTOP = """[Desktop Entry]
Type=Application
Name=Probe
Exec=/usr/local/bin/quillmere-probe %u
MimeType=x-scheme-handler/https;x-scheme-handler/http;
"""
MIMEAPPS = """[Default Applications]
x-scheme-handler/https=quillmere-probe.desktop
x-scheme-handler/http=quillmere-probe.desktop
"""
SETUP = """set -e
mkdir -p /usr/local/bin /usr/local/share/applications
cat > /usr/local/bin/quillmere-probe <<'EOF'
{handler}EOF
chmod 755 /usr/local/bin/quillmere-probe
for user in {users}; do
	useradd --create-home "$user"
	mkdir -p "/home/$user/.config" "/home/$user/.local/share/applications"
	cat > "/home/$user/.local/share/applications/quillmere-probe.desktop" <<'EOF'
{desktop}EOF
	cat > "/home/$user/.config/mimeapps.list" <<'EOF'
{mimeapps}EOF
	chown -R "$user:" "/home/$user"
done
"""


def run(argv, **kw):
    return subprocess.run(argv, capture_output=True, text=True, stdin=subprocess.DEVNULL, **kw)


def archive_uri():
    """Where this machine's apt finds Debian: the first deb stanza of the
    deb822 sources, else the first deb line of sources.list."""
    for path in sorted(glob.glob("/etc/apt/sources.list.d/*.sources")):
        with open(path) as f:
            for stanza in re.split(r"\n\s*\n", f.read()):
                fields = dict(l.split(":", 1) for l in stanza.splitlines()
                              if ":" in l and not l.startswith(("#", " ", "\t")))
                if "deb" in fields.get("Types", "").split() and fields.get("URIs", "").split():
                    return fields["URIs"].split()[0]
    try:
        with open("/etc/apt/sources.list") as f:
            for line in f:
                words = re.sub(r"\[[^]]*\]", "", line).split()
                if len(words) >= 2 and words[0] == "deb":
                    return words[1]
    except FileNotFoundError:
        pass
    return None


def packages_needed(debs):
    """What the packages depend on, by name, less the packages themselves:
    dpkg -i installs nothing else."""
    needed = {d.split(":")[0] for deb in debs.values()
              for d in depends(control(deb, "Package", "Depends")) if d}
    return sorted(needed - set(debs))


def own_cgroups(name):
    """A cgroup of the test's own in each hierarchy that a systemd keeps its
    units in, under the one this process is in."""
    where = {}
    with open("/proc/self/cgroup") as f:
        for line in f:
            number, controllers, path = line.rstrip("\n").split(":", 2)
            where["0" if number == "0" else controllers] = path
    dirs = []
    with open("/proc/self/mountinfo") as f:
        for line in f:
            fields = line.split()
            fstype, options = fields[fields.index("-") + 1], fields[-1].split(",")
            key = "0" if fstype == "cgroup2" else "name=systemd" if "name=systemd" in options else None
            if key is None or key not in where:
                continue
            relative = os.path.relpath(where[key], fields[3])
            dirs.append(os.path.normpath(os.path.join(fields[4], relative, name)))
    return dirs


def remove_cgroups(dirs):
    """Removes the cgroups with what nspawn and the container left in them,
    deepest first; a cgroup empties a moment after its last process ended."""
    for top in dirs:
        for _ in range(100):
            for d, _, _ in sorted(os.walk(top), key=lambda w: -w[0].count("/")):
                try:
                    os.rmdir(d)
                except OSError:
                    pass
            if not os.path.exists(top):
                break
            time.sleep(0.1)


class Container:
    """An ephemeral copy of tree booted with systemd-nspawn.

    These machines run no systemd as PID 1, so nspawn has no bus to register
    with (--register=no) and no unit to make (--keep-unit): it puts the
    container into sub-cgroups of the cgroup it runs in. It runs in a cgroup
    made for it, so that those are the test's own and two runs never share
    them, and in a mount namespace with a /run of its own, where it keeps its
    runtime files. On a host with hybrid cgroups it gives the container the
    same layout, which the container's systemd boots with as it is."""

    def __init__(self, tree, share, log):
        self.cgroups = own_cgroups("quillmere-boot-%d" % os.getpid())
        self.pid1 = None
        if not self.cgroups:
            skip_or_fail("no cgroup hierarchy of a systemd's is mounted")
        try:
            for d in self.cgroups:
                os.mkdir(d)
        except OSError as e:
            remove_cgroups(self.cgroups)
            skip_or_fail(f"unable to make a cgroup: {e}")
        libc = ctypes.CDLL(None)

        def enter():
            # Halted, not left running, should the test itself be killed.
            libc.prctl(PR_SET_PDEATHSIG, signal.SIGTERM)
            for d in self.cgroups:
                with open(os.path.join(d, "cgroup.procs"), "w") as f:
                    f.write(str(os.getpid()))

        nspawn = ["systemd-nspawn", "--boot", "--ephemeral", "--keep-unit", "--register=no",
                  "--private-network", "--console=read-only", f"--bind={share}:{SHARE}", "-D", tree]
        # unshare without --fork execs: the pid is nspawn's.
        self.nspawn = subprocess.Popen(
            ["unshare", "--mount", "--propagation", "private", "sh", "-c",
             'mount -t tmpfs -o mode=0755 quillmere-boot /run && exec "$@"', "sh", *nspawn],
            stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT, preexec_fn=enter)

    def boot(self, timeout=180):
        """None once the boot has finished, else why not."""
        start = time.monotonic()
        while self.pid1 is None and time.monotonic() - start < 60 and self.nspawn.poll() is None:
            for pid in children_of(self.nspawn.pid):
                try:
                    with open("/proc/%d/comm" % pid) as f:
                        if f.read().strip() == "systemd":
                            self.pid1 = pid
                except OSError:
                    pass
            time.sleep(0.1)
        if self.pid1 is None:
            return "no systemd came up: nspawn %s" % ("running" if self.nspawn.poll() is None
                                                      else "ended with %d" % self.nspawn.returncode)
        try:
            state = self.out("systemctl", "is-system-running", "--wait", timeout=timeout)
        except Failure as e:
            return str(e)
        print(f"booted in {time.monotonic() - start:.1f} s: {state}")
        if state == "degraded":
            print("failed units:\n" + self.out("systemctl", "--failed", "--plain", "--no-legend"))
        return None if state in ("running", "degraded") else "the system is " + repr(state)

    def run(self, *argv, user=None, timeout=120):
        if user:
            # As a user starts it from a desktop's terminal: a display, no session.
            argv = ("setpriv", f"--reuid={user}", f"--regid={user}", "--init-groups", "env", "-i",
                    "DISPLAY=:0", f"HOME=/home/{user}", "PATH=/usr/bin:/bin", *argv)
        try:
            return run(["nsenter", "-t", str(self.pid1), "-m", "-u", "-i", "-n", "-p", *argv],
                       env=CONTAINER_ENV, timeout=timeout)
        except subprocess.TimeoutExpired:
            raise Failure("timed out: %s" % " ".join(argv))

    def out(self, *argv, **kw):
        return self.run(*argv, **kw).stdout.strip()

    def stop(self):
        if self.nspawn.poll() is None:
            self.nspawn.send_signal(signal.SIGTERM)
            try:
                self.nspawn.wait(60)
            except subprocess.TimeoutExpired:
                # The end of its PID 1 ends everything in the container.
                if self.pid1:
                    os.kill(self.pid1, signal.SIGKILL)
                try:
                    self.nspawn.wait(30)
                except subprocess.TimeoutExpired:
                    self.nspawn.kill()
                    self.nspawn.wait()
        remove_cgroups(self.cgroups)


# ---------------------------------------------------------------- what is seen

def handlers(share):
    """{URL: (pid, uid, cgroup)} of every handler that has started."""
    found = {}
    for path in glob.glob(os.path.join(share, "probe", "[0-9]*")):
        if path.endswith(".tmp"):
            continue
        with open(path) as f:
            lines = f.read().splitlines()
        cgroup = next((l[3:] for l in lines if l.startswith("0::")), None)
        found[lines[0]] = (int(os.path.basename(path)), int(lines[1]), cgroup)
    return found


def wait_for_handler(share, url):
    try:
        return wait_for(lambda: handlers(share).get(url), "the handler of " + url, 20)
    except Failure:
        return None


def alive(c, pid):
    state = c.out("ps", "-o", "stat=", "-p", str(pid))
    return state != "" and not state.startswith("Z")


def unit_processes(c, unit):
    """[(pid, user, executable)] in the unit's cgroup."""
    cgroup = c.out("systemctl", "show", "-P", "ControlGroup", unit)
    script = ('for p in $(cat /sys/fs/cgroup/unified"$1"/cgroup.procs 2>/dev/null || '
              'cat /sys/fs/cgroup"$1"/cgroup.procs); do '
              'echo "$p $(stat -c %U /proc/$p) $(readlink /proc/$p/exe)"; done')
    # A process that ends meanwhile has no owner or executable left.
    return [tuple((l.split() + ["?"] * 3)[:3])
            for l in c.out("sh", "-c", script, "sh", cgroup).splitlines()]


def journal(c):
    """[(priority, message)] of the service's records."""
    records = []
    for line in c.out("journalctl", "-u", "quillmere.service", "-o", "json", "--no-pager").splitlines():
        entry = json.loads(line)
        if isinstance(entry.get("MESSAGE"), str):
            records.append((entry.get("PRIORITY"), entry["MESSAGE"]))
    return records


def wait_for_record(c, pattern):
    """The priority of the first record that ends with pattern, or None."""
    def find():
        return next((p for p, m in journal(c) if re.search(pattern + "$", m)), None)
    try:
        return wait_for(find, pattern, 10)
    except Failure:
        return None


def open_url(c, user, url):
    return c.run("quillmere-open", url, user=user).returncode


# ---------------------------------------------------------------- checks

def check_install(c, r):
    p = c.run("sh", "-c", f"dpkg -i {SHARE}/debs/*.deb")
    r.check("dpkg -i installs the packages", p.returncode == 0, p.stdout + p.stderr)
    if p.returncode != 0:
        return False
    got = [c.out("systemctl", "is-enabled", "quillmere.socket"),
           c.out("systemctl", "is-active", "quillmere.socket"),
           listener_inode(c.pid1) is not None,
           c.out("systemctl", "is-active", "quillmere.service")]
    r.check("installing enables the socket, which listens, and leaves the service stopped",
            got == ["enabled", "active", True, "inactive"], got)
    return True


def check_users(c, share, r):
    """alice and bob open URLs; returns bob's handler's pid."""
    p = c.run("sh", "-c", SETUP.format(handler=HANDLER.replace("SHARE", SHARE), desktop=DESKTOP,
                                       mimeapps=MIMEAPPS, users=" ".join(USERS)))
    r.check("alice and bob with a browser for https", p.returncode == 0, p.stdout + p.stderr)
    urls = {"alice": "https://example.org/alice", "bob": "https://example.org/bob?q=1&r=2"}
    status = {user: open_url(c, user, url) for user, url in urls.items()}
    found = {user: wait_for_handler(share, url) for user, url in urls.items()}
    r.check("the first connection starts the service",
            c.out("systemctl", "is-active", "quillmere.service") == "active", status)
    r.check("each user's URL reaches the user's browser through xdg-open",
            status == {u: 0 for u in USERS} and all(found[u] and found[u][1] == USERS[u] for u in USERS),
            f"status {status}, handlers {found}")
    if not found["alice"] or not found["bob"]:
        return None

    scopes = {u: scope_of(found[u][2], USERS[u]) for u in USERS}
    described = {u: c.out("systemctl", "show", "-P", "Description", scopes[u] or "none") for u in USERS}
    r.check("each user's browser runs in a scope in the user's slice, which says whose it is",
            described == {u: f"URLs opened for uid {USERS[u]}" for u in USERS},
            {u: (found[u][2], described[u]) for u in USERS})
    others = [p for p in unit_processes(c, "quillmere.service") if p[2] != "/usr/sbin/quillmere"]
    r.check("the service's cgroup holds only the service", not others, others)
    c.run("systemctl", "stop", "user-1000.slice")
    try:
        ended = wait_for(lambda: not alive(c, found["alice"][0]), "alice's handler to end", 10)
    except Failure:
        ended = False
    kept = alive(c, found["bob"][0])
    r.check("stopping alice's slice ends her browser and leaves bob's", ended and kept,
            f"alice's ended {ended}, bob's runs {kept}")
    return found["bob"][0]


def scope_of(cgroup, uid):
    """The name of the scope in uid's slice that cgroup is, or None."""
    m = re.fullmatch(rf"(?:/.*)?/user\.slice/user-{uid}\.slice/([^/]+\.scope)", cgroup or "")
    return m.group(1) if m else None


def check_rate(c, share, r):
    """A user whose connections each open one URL, all at once, gets at most
    10 of them placed a second; the rest run where the service is."""
    urls = [f"https://example.org/rate/{i}" for i in range(30)]
    c.run("sh", "-c", 'for url; do quillmere-open "$url" & done; wait', "sh", *urls, user="alice")
    try:
        wait_for(lambda: all(u in handlers(share) for u in urls), "30 handlers", 60)
    except Failure:
        pass
    seen = handlers(share)
    # The scope's name ends with when it was asked for, in microseconds.
    stamps = sorted(int(re.search(r"-(\d+)\.scope$", s).group(1))
                    for s in (scope_of(seen[u][2], 1000) for u in urls if u in seen) if s)
    most = max((sum(1 for t in stamps if s <= t < s + 1000000) for s in stamps), default=0)
    warned = wait_for_record(c, r": unable to place pid \d+ in a scope: more than 10 a second for uid 1000")
    r.check("at most 10 placements a second per user, the rest warned of",
            len(seen.keys() & set(urls)) == 30 and 0 < most <= 10 and warned == "4",
            f"{len(seen.keys() & set(urls))} handlers, {len(stamps)} placed, {most} in a second, "
            f"warning {warned}")
    c.run("systemctl", "stop", "user-1000.slice")


def check_journal(c, r):
    # Root that sees other files is refused, with a warning.
    p = c.run("unshare", "--mount", "quillmere-open", "https://example.org/confined")
    got = {"connection": wait_for_record(c, r": accept_cb: new connection"),
           "refusal": wait_for_record(
               c, r": refused pid \d+: root in another mount namespace or root directory")}
    r.check("the journal keeps the records' priorities", p.returncode != 0
            and got == {"connection": "6", "refusal": "4"}, f"quillmere-open {p.returncode}: {got}")
    # The policy as installed keeps a remote server off other schemes' handlers.
    status = open_url(c, "alice", "smb://fileserver/share")
    refused = wait_for_record(c, r": refused scheme smb for uid 1000")
    r.check("the installed policy refuses smb://", status == 0 and refused == "4", f"{status} {refused}")


def check_reload(c, share, r):
    # The packaged file names its schemes already: a second schemes key is no policy.
    c.run("sed", "-i", "s/^schemes *=.*/schemes = http/", "/etc/quillmere/quillmere.conf")
    p = c.run("systemctl", "reload", "quillmere")
    reloaded = wait_for_record(c, r": policy reloaded: 1 schemes(, .*)?")
    url = "https://example.org/after-reload"
    status = open_url(c, "alice", url)
    refused = wait_for_record(c, r": refused scheme https for uid 1000")
    r.check("systemctl reload rereads the policy", p.returncode == 0 and reloaded == "6"
            and refused == "4" and url not in handlers(share),
            f"reload {p.returncode} {p.stderr}, reloaded {reloaded}, refused {refused}, open {status}")


def check_upgrade(c, share, bob_handler, r):
    def state():
        return (c.out("systemctl", "is-enabled", "quillmere.socket"), listener_inode(c.pid1),
                c.out("systemctl", "is-active", "quillmere.service"),
                c.out("systemctl", "show", "-P", "MainPID", "quillmere.service"))
    before = state()
    p = c.run("sh", "-c", f"dpkg -i {SHARE}/debs/*.deb")
    after = state()
    r.check("reinstalling keeps the socket enabled and listening, the very same one",
            p.returncode == 0 and after[:2] == before[:2] and before[1] is not None,
            f"{p.stdout}{p.stderr}before {before}, after {after}")
    # Not stopped before the unpacking: try-restart would start no stopped service.
    r.check("and restarts the running service", before[2] == after[2] == "active"
            and after[3] not in (before[3], "0"), f"before {before}, after {after}")
    if bob_handler:
        r.check("the restart leaves what the service started running", alive(c, bob_handler),
                f"bob's browser, pid {bob_handler}, ended")
    url = "http://example.org/after-upgrade"
    status = open_url(c, "alice", url)
    r.check("the upgraded service serves the next connection",
            status == 0 and wait_for_handler(share, url) is not None, status)


def check_removal(c, r):
    packages = ["libquillmere-client-dev", "quillmere", "libquillmere-client1"]
    p = c.run("dpkg", "-r", *packages)
    got = [c.out("systemctl", "is-active", "quillmere.socket", "quillmere.service"),
           listener_inode(c.pid1)]
    r.check("removal stops the socket and the service and frees the name",
            p.returncode == 0 and got == ["inactive\ninactive", None], f"{p.stdout}{p.stderr}{got}")
    p = c.run("dpkg", "--purge", *packages)
    left = c.out("find", "/etc", "-name", "*quillmere*")
    r.check("purging removes the enablement and the policy", p.returncode == 0 and left == "",
            p.stdout + p.stderr + left)


def main():
    source, work = (os.path.abspath(a) for a in sys.argv[1:3])
    r = Results()
    missing = [t for t in TOOLS if shutil.which(t) is None]
    if missing:
        r.check("can run", False, f"missing {missing}; run scripts/deps.sh")
        r.finish()
    if os.geteuid() != 0:
        skip_or_fail("debootstrap, systemd-nspawn and nsenter need root")
    uri = archive_uri()
    if not uri:
        skip_or_fail("no Debian archive in the apt sources")
    os.makedirs(work, exist_ok=True)
    with tempfile.TemporaryDirectory(prefix="boot-", dir=work) as tmp:
        os.mkdir(os.path.join(tmp, "build"))
        _, debs, _ = build(source, os.path.realpath(work), os.path.join(tmp, "build"), r)
        debs = {name: deb for name, deb in debs.items() if not name.endswith("-dbgsym")}
        if "quillmere" not in debs:
            r.finish()
        share = os.path.join(tmp, "share")
        for d, mode in (("debs", 0o755), ("probe", 0o1777)):
            os.makedirs(os.path.join(share, d))
            os.chmod(os.path.join(share, d), mode)
        for deb in debs.values():
            shutil.copy(deb, os.path.join(share, "debs"))

        tree = os.path.join(tmp, "tree")
        include = BASE + packages_needed(debs)
        start = time.monotonic()
        p = run(["debootstrap", "--variant=minbase", "--include=" + ",".join(include), SUITE, tree, uri])
        print(f"debootstrap of {include} took {time.monotonic() - start:.1f} s")
        if p.returncode != 0:
            skip_or_fail("debootstrap failed: " + (p.stdout + p.stderr)[-2000:])

        log_path = os.path.join(tmp, "console")
        with open(log_path, "w") as log:
            c = Container(tree, share, log)
            try:
                why = c.boot()
                if why:
                    with open(log_path) as f:
                        print(f.read()[-4000:])
                    skip_or_fail("the container did not boot: " + why)
                if check_install(c, r):
                    bob_handler = check_users(c, share, r)
                    check_rate(c, share, r)
                    check_journal(c, r)
                    check_reload(c, share, r)
                    check_upgrade(c, share, bob_handler, r)
                    check_removal(c, r)
            except Failure as e:
                r.check("the container answers", False, e)
            finally:
                c.stop()
    r.finish()


if __name__ == "__main__":
    sys.exit(main())
