#!/usr/bin/env python3
"""Builds the Debian package with cpack from a build tree and checks it:
its file list and control fields, the unpacked binaries, the systemd unit and
the manual pages. Everything happens in a temporary directory.

Usage: package_test.py BUILD_DIR POLICY_FILE
"""
import os
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import Results  # noqa: E402

# Path in the package, mode.
FILES = {
    "./usr/sbin/quillmere": 0o755,
    "./usr/bin/quillmere-open": 0o755,
    "./usr/lib/systemd/system/quillmere.service": 0o644,
    "./usr/share/man/man8/quillmere.8": 0o644,
    "./usr/share/man/man5/quillmere.conf.5": 0o644,
    "./usr/share/man/man1/quillmere-open.1": 0o644,
    "./usr/share/doc/quillmere/README.md": 0o644,
    "./usr/share/doc/quillmere/protocol.md": 0o644,
    "./usr/share/doc/quillmere/security.md": 0o644,
    "./usr/lib/libquillmere-client.so.1.0.0": 0o644,
    "./usr/lib/libquillmere-client.so.1": None,
    "./usr/lib/libquillmere-client.so": None,
    "./usr/include/quillmere/client.h": 0o644,
    "./usr/lib/pkgconfig/quillmere-client.pc": 0o644,
}
EXEC_START = "ExecStart=/usr/sbin/quillmere -D -v info"
TOOLS = ["cpack", "dpkg-deb", "dpkg", "systemd-analyze", "man", "file"]


def run(argv, **kw):
    return subprocess.run(argv, capture_output=True, text=True, stdin=subprocess.DEVNULL, **kw)


def file_list(deb):
    """Regular files of the package with their modes."""
    listing = run(["dpkg-deb", "-c", deb]).stdout.splitlines()
    files = {}
    for line in listing:
        fields = line.split()
        if line.startswith("-"):
            mode = sum(0o400 >> i for i, c in enumerate(fields[0][1:10]) if c != "-")
            files[fields[-1]] = mode
        elif line.startswith("l"):
            files[fields[-3]] = None
        elif not line.startswith("d"):
            files[fields[-1]] = None
    return files


def check_package(build, policy, tmp, r):
    out = os.path.join(tmp, "out")
    p = run(["cpack", "-G", "DEB", "--config", os.path.join(build, "CPackConfig.cmake"), "-B", out])
    debs = [f for f in os.listdir(out) if f.endswith(".deb")] if os.path.isdir(out) else []
    r.check("cpack builds one .deb", p.returncode == 0 and len(debs) == 1,
            f"status {p.returncode}: {p.stdout}{p.stderr}")
    if len(debs) != 1:
        return
    deb = os.path.join(out, debs[0])
    r.check("package file name", debs[0].startswith("quillmere_1.1.0.2-1_"), debs[0])

    files = file_list(deb)
    # The policy lies where the packaged service was built to read it.
    expected = dict(FILES, **{"." + policy: 0o644})
    r.check("file list", files == expected,
            f"missing {sorted(set(expected) - set(files))}, unexpected {sorted(set(files) - set(expected))}, "
            f"modes {[(f, oct(m or 0)) for f, m in files.items() if expected.get(f) != m]}")
    conffiles = run(["dpkg-deb", "-I", deb, "conffiles"]).stdout
    r.check("the policy is a conffile", conffiles.splitlines() == [policy], conffiles)

    fields = run(["dpkg-deb", "-f", deb, "Package", "Version", "Depends", "Section"]).stdout
    depends = [d.split()[0] for line in fields.splitlines() if line.startswith("Depends:")
               for d in line[len("Depends:"):].split(",")]
    r.check("control fields", "Package: quillmere" in fields and "Version: 1.1.0.2-1" in fields
            and "libevent-core-2.1-7" in depends and "xdg-utils" in depends, fields)

    root = os.path.join(tmp, "root")
    p = run(["dpkg", "-x", deb, root])
    r.check("dpkg -x unpacks it", p.returncode == 0, p.stderr)
    if p.returncode != 0:
        return

    for binary in ("usr/sbin/quillmere", "usr/bin/quillmere-open"):
        kind = run(["file", "-b", os.path.join(root, binary)]).stdout
        r.check(f"{binary} is an ELF executable", kind.startswith("ELF") and "executable" in kind, kind)
    # The client's library is not installed on this machine, only unpacked.
    p = run([os.path.join(root, "usr/bin/quillmere-open"), "--version"],
            env=dict(os.environ, LD_LIBRARY_PATH=os.path.join(root, "usr/lib")))
    r.check("the packaged client runs", p.returncode == 0
            and p.stdout.startswith("quillmere-open 1.1.0.2"), p.stdout + p.stderr)
    with open(os.path.join(root, "usr/lib/pkgconfig/quillmere-client.pc")) as f:
        pc = f.read()
    r.check("the pkg-config file names the installed prefix",
            pc.startswith("prefix=/usr\n") and "libdir=${prefix}/lib\n" in pc, pc)
    p = run([os.path.join(root, "usr/sbin/quillmere"), "-h"])
    r.check("the packaged service runs", p.returncode == 0 and p.stdout.startswith("Usage: "),
            p.stdout + p.stderr)

    check_unit(root, tmp, r)
    check_policy(root, policy, r)

    env = dict(os.environ, MANWIDTH="80", LC_ALL="C.UTF-8")
    pages = {
        "usr/share/man/man8/quillmere.8": ("EXIT STATUS",),
        "usr/share/man/man1/quillmere-open.1": ("EXIT STATUS",),
        "usr/share/man/man5/quillmere.conf.5": ("FORMAT", "EXAMPLES"),
    }
    for page, sections in pages.items():
        path = os.path.join(root, page)
        # Warnings only: the rendered page itself goes nowhere.
        p = subprocess.run(f"man -l --warnings '{path}' 2>&1 >/dev/null", shell=True,
                           capture_output=True, text=True, env=env)
        r.check(f"man -l {os.path.basename(page)} renders without warnings",
                p.returncode == 0 and p.stdout == "", p.stdout)
        text = run(["man", "-l", path], env=env).stdout
        r.check(f"{os.path.basename(page)} has its sections",
                all(s in text for s in ("NAME", "SYNOPSIS", "DESCRIPTION", "SEE ALSO") + sections),
                text[:200])


def check_policy(root, policy, r):
    with open(os.path.join(root, policy.lstrip("/"))) as f:
        lines = f.read().splitlines()
    r.check("the shipped policy sets nothing",
            all(not l.strip() or l.lstrip().startswith("#") for l in lines), "\n".join(lines))
    with open(os.path.join(root, "usr/sbin/quillmere"), "rb") as f:
        r.check("the packaged service reads the shipped policy", policy.encode() + b"\0" in f.read(),
                policy)


def check_unit(root, tmp, r):
    unit = os.path.join(root, "usr/lib/systemd/system/quillmere.service")
    with open(unit) as f:
        text = f.read()
    lines = text.splitlines()
    r.check("the unit runs the packaged service in the foreground",
            EXEC_START in lines and "Restart=on-failure" in lines
            and "ExecReload=kill -HUP $MAINPID" in lines
            and os.access(os.path.join(root, "usr/sbin/quillmere"), os.X_OK), text)
    r.check("the unit sets no sandboxing option",
            not any(l.startswith(("ProtectHome=", "PrivateTmp=", "ProtectSystem=", "NoNewPrivileges="))
                    for l in lines), text)

    # systemd-analyze checks executables and manual pages on the running
    # system; point both at the unpacked tree.
    checked = os.path.join(tmp, "unit", "quillmere.service")
    os.makedirs(os.path.dirname(checked))
    with open(checked, "w") as f:
        f.write(text.replace("ExecStart=/usr/", f"ExecStart={root}/usr/"))
    env = dict(os.environ, MANPATH=os.path.join(root, "usr/share/man"))
    p = run(["systemd-analyze", "verify", checked], env=env)
    r.check("systemd-analyze verify", p.returncode == 0 and p.stdout + p.stderr == "",
            p.stdout + p.stderr)


def main():
    build = os.path.abspath(sys.argv[1])
    policy = sys.argv[2]
    r = Results()
    missing = [t for t in TOOLS if shutil.which(t) is None]
    if missing:
        r.check("tools", False, f"missing {missing}; run scripts/deps.sh")
    else:
        with tempfile.TemporaryDirectory(prefix="quillmere-package-") as tmp:
            check_package(build, policy, tmp, r)
    print(f"{r.passed} passed, {r.failed} failed")
    return 1 if r.failed else 0


if __name__ == "__main__":
    sys.exit(main())
