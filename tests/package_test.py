#!/usr/bin/env python3
"""Builds the Debian packages once with dpkg-buildpackage from a copy of the
source tree and checks them: their versions and file lists, lintian, the
systemd units and manual pages, an install into a throw-away root with
dpkg --root, and that an upgrade stops nothing before it unpacks. What the
maintainer scripts start, restart and stop on a booted system is
boot_test.py's.

Nothing is started and nothing outside the temporary directory changes: the
install runs with DPKG_ROOT set, under which the scripts leave systemd
alone, with a policy-rc.d that forbids every action and a systemctl that
only records. The scripts' own runs see stubs and a private /run.

Usage: package_test.py SOURCE_DIR WORK_DIR BUILD_DIR
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import Results, project_version, skip_or_fail  # noqa: E402

TOOLS = ["dpkg-buildpackage", "dh", "dpkg-parsechangelog", "dpkg-architecture", "dpkg-deb",
         "dpkg", "lintian", "systemd-analyze", "man", "file", "unshare", "objdump", "pkg-config", "cc"]
EXEC_START = "ExecStart=/usr/sbin/quillmere -D -v info"
UNIT_DIR = "lib/systemd/system"
SOCKET_LINK = "etc/systemd/system/sockets.target.wants/quillmere.socket"
POLICY = "/etc/quillmere/quillmere.conf"
# What the shipped policy sets, each under comment lines that say why.
SHIPPED_SETTINGS = ["schemes = https http mailto", "pace = 20/10"]
LIBRARY = "libquillmere-client.so.1"
SYMBOLS = ["quillmere_connect", "quillmere_open_url", "quillmere_finish", "quillmere_free",
           "quillmere_strerror", "quillmere_fd"]
# A plug-in as its author would build it against the -dev package.
PLUGIN = r"""
#include <quillmere/client.h>
#include <stdio.h>
int main(void) {
	quillmere_client *client = 0;
	int r = quillmere_connect(&client, 1000);
	printf("%d %s\n", r, quillmere_strerror(r));
	quillmere_free(client);
	return 0;
}
"""


def expected_files(multiarch):
    """Package -> {path: mode of a regular file, or "-> target" of a link}."""
    def doc(package):
        return {f"./usr/share/doc/{package}/changelog.gz": 0o644,
                f"./usr/share/doc/{package}/copyright": 0o644}
    lib = f"./usr/lib/{multiarch}/"
    return {
        "libquillmere-client1": {
            lib + LIBRARY + ".0.0": 0o644,
            lib + LIBRARY: "-> " + LIBRARY + ".0.0",
            **doc("libquillmere-client1"),
        },
        "libquillmere-client-dev": {
            "./usr/include/quillmere/client.h": 0o644,
            lib + "libquillmere-client.so": "-> " + LIBRARY,
            lib + "pkgconfig/quillmere-client.pc": 0o644,
            **doc("libquillmere-client-dev"),
        },
        "quillmere": {
            "." + POLICY: 0o644,
            "./usr/sbin/quillmere": 0o755,
            "./usr/bin/quillmere-open": 0o755,
            f"./{UNIT_DIR}/quillmere.service": 0o644,
            f"./{UNIT_DIR}/quillmere.socket": 0o644,
            "./usr/share/man/man8/quillmere.8.gz": 0o644,
            "./usr/share/man/man5/quillmere.conf.5.gz": 0o644,
            "./usr/share/man/man1/quillmere-open.1.gz": 0o644,
            "./usr/share/bash-completion/completions/quillmere-open": 0o644,
            "./usr/share/doc/quillmere/README.md.gz": 0o644,
            "./usr/share/doc/quillmere/NEWS.md.gz": 0o644,
            "./usr/share/doc/quillmere/protocol.md.gz": 0o644,
            "./usr/share/doc/quillmere/security.md.gz": 0o644,
            "./usr/share/doc/quillmere/NEWS.Debian.gz": 0o644,
            **doc("quillmere"),
        },
    }


def run(argv, **kw):
    return subprocess.run(argv, capture_output=True, text=True, stdin=subprocess.DEVNULL, **kw)


def copy_source(source, dest, work):
    """The tree as committed or edited, without builds, the work directory or
    what an earlier package build left in debian/."""
    def ignore(directory, names):
        skip = [n for n in names if os.path.realpath(os.path.join(directory, n)) == work
                or n == "__pycache__" or n == "out" and directory.endswith("fuzz")]
        if os.path.samefile(directory, source):
            skip += [n for n in names if n.startswith(("build", "obj-", ".git"))]
        elif os.path.basename(directory) == "debian":
            skip += [n for n in names if n != "source" and os.path.isdir(os.path.join(directory, n))
                     or n in ("files", "debhelper-build-stamp")
                     or n.endswith((".substvars", ".debhelper", ".debhelper.log"))]
        return skip
    shutil.copytree(source, dest, ignore=ignore, symlinks=True)


def file_list(deb):
    """Regular files with their modes and links with their targets."""
    files = {}
    for line in run(["dpkg-deb", "-c", deb]).stdout.splitlines():
        fields = line.split()
        if line.startswith("-"):
            files[fields[5]] = sum(0o400 >> i for i, c in enumerate(fields[0][1:10]) if c != "-")
        elif line.startswith("l"):
            files[fields[5]] = "-> " + fields[7]
        elif not line.startswith("d"):
            files[fields[5]] = None
    return files


def build(source, work, tmp, r):
    """dpkg-buildpackage into tmp; returns the .changes and the .debs by package."""
    tree = os.path.join(tmp, "quillmere")
    copy_source(source, tree, work)
    env = dict(os.environ, DEB_BUILD_OPTIONS="parallel=2")
    start = time.monotonic()
    p = run(["dpkg-buildpackage", "-us", "-uc", "-b"], cwd=tree, env=env)
    print(f"dpkg-buildpackage took {time.monotonic() - start:.1f} s")
    r.check("dpkg-buildpackage -us -uc -b", p.returncode == 0, (p.stdout + p.stderr)[-4000:])
    # Warnings of the compiler and of debhelper both.
    warnings = [l for l in (p.stdout + p.stderr).splitlines() if re.search(r"\bwarning\b", l)]
    r.check("the package build warns of nothing", not warnings, "\n".join(warnings))
    changes = [f for f in os.listdir(tmp) if f.endswith(".changes")]
    debs = {f.split("_")[0]: os.path.join(tmp, f) for f in os.listdir(tmp) if f.endswith(".deb")}
    return (os.path.join(tmp, changes[0]) if len(changes) == 1 else None), debs, tree


def check_versions(build_dir, tree, debs, r):
    version = project_version(build_dir)
    p = run(["dpkg-parsechangelog", "-S", "Version"], cwd=tree)
    r.check("debian/changelog states the project's version", p.stdout.strip() == version,
            f"changelog {p.stdout.strip()!r}, the build {version!r}")
    arch = run(["dpkg-architecture", "-qDEB_HOST_ARCH"]).stdout.strip()
    for package, deb in debs.items():
        r.check(f"{package} is named for the version", os.path.basename(deb) ==
                f"{package}_{version}_{arch}.deb", os.path.basename(deb))
    return version


def control(deb, *fields):
    return dict(l.split(": ", 1) for l in run(["dpkg-deb", "-f", deb, *fields]).stdout.splitlines()
                if ": " in l)


def depends(fields):
    return [d.split()[0] for d in fields.get("Depends", "").split(", ")]


def check_contents(debs, version, multiarch, r):
    expected = expected_files(multiarch)
    dbgsym = {"quillmere-dbgsym", "libquillmere-client1-dbgsym"}
    r.check("the packages built", set(debs) == set(expected) | dbgsym, sorted(debs))
    for package, files in expected.items():
        if package not in debs:
            return False
        got = file_list(debs[package])
        r.check(f"{package}: file list", got == files,
                f"missing {sorted(set(files) - set(got))}, unexpected {sorted(set(got) - set(files))}, "
                f"differ {[(f, m) for f, m in got.items() if f in files and files[f] != m]}")
        print(f"{package}:\n" + run(["dpkg-deb", "-I", debs[package]]).stdout)

    fields = control(debs["quillmere"], "Version", "Depends")
    r.check("quillmere: version and dependencies", fields.get("Version") == version
            and {"libevent-core-2.1-7", "liburiparser1", "xdg-utils", "libquillmere-client1"}
            <= set(depends(fields)),
            fields)
    fields = control(debs["libquillmere-client1"], "Section", "Multi-Arch", "Depends")
    r.check("libquillmere-client1: a library that needs no C++ runtime",
            fields.get("Section") == "libs" and fields.get("Multi-Arch") == "same"
            and depends(fields) == ["libc6"], fields)
    fields = control(debs["libquillmere-client-dev"], "Section", "Depends")
    r.check("libquillmere-client-dev: depends on this very library",
            fields.get("Section") == "libdevel"
            and f"libquillmere-client1 (= {version})" in fields.get("Depends", ""), fields)

    conffiles = run(["dpkg-deb", "--info", debs["quillmere"], "conffiles"]).stdout
    r.check("quillmere: the URL policy is its only conffile", conffiles.splitlines() == [POLICY],
            conffiles)

    # dpkg-shlibdeps of every package that links the library reads these.
    p = run(["dpkg-deb", "--info", debs["libquillmere-client1"], "symbols"])
    r.check("libquillmere-client1: a symbols file with the API",
            p.stdout.startswith(f"{LIBRARY} libquillmere-client1 #MINVER#")
            and all(f" {s}@Base " in p.stdout for s in SYMBOLS), p.stdout + p.stderr)
    return True


def check_lintian(changes, r):
    # As root lintian only warns about itself; --allow-root says we know.
    p = run(["lintian", "--allow-root", "--tag-display-limit", "0", changes])
    print("lintian:\n" + p.stdout + p.stderr)
    bad = [l for l in p.stdout.splitlines() if l.startswith(("E:", "W:"))]
    r.check("lintian reports no error and no warning", not bad and p.returncode == 0,
            f"status {p.returncode}\n" + "\n".join(bad) + p.stderr)


STUB = """#!/bin/sh
printf '%s\\n' "${0##*/} $*" >> "$STUB_LOG"
# As on a first install: no unit was installed before.
[ "$1" != debian-installed ]
"""


def stubs(directory, log, *names):
    os.makedirs(directory, exist_ok=True)
    for name in names:
        path = os.path.join(directory, name)
        with open(path, "w") as f:
            f.write(STUB)
        os.chmod(path, 0o755)
    return dict(os.environ, STUB_LOG=log, PATH=directory + ":" + os.environ["PATH"])


def dpkg_root(root, tmp, env, *args):
    return run(["dpkg", f"--root={root}", f"--log={os.path.join(tmp, 'dpkg.log')}",
                "--force-script-chrootless", "--force-depends", *args], env=env)


def check_install(debs, tmp, r):
    """Installs into a throw-away root; returns it, or None."""
    root = os.path.join(tmp, "root")
    for d in ("var/lib/dpkg/info", "var/lib/dpkg/updates", "var/lib/dpkg/triggers", "usr/sbin"):
        os.makedirs(os.path.join(root, d))
    open(os.path.join(root, "var/lib/dpkg/status"), "w").close()
    # deb-systemd-invoke asks $DPKG_ROOT/usr/sbin/policy-rc.d: 101 forbids.
    with open(os.path.join(root, "usr/sbin/policy-rc.d"), "w") as f:
        f.write("#!/bin/sh\nexit 101\n")
    os.chmod(os.path.join(root, "usr/sbin/policy-rc.d"), 0o755)
    log = os.path.join(tmp, "install-calls")
    env = stubs(os.path.join(tmp, "install-stubs"), log, "systemctl")
    packages = [deb for name, deb in sorted(debs.items()) if not name.endswith("-dbgsym")]

    p = dpkg_root(root, tmp, env, "--install", *packages)
    r.check("dpkg --root installs the packages", p.returncode == 0, p.stdout + p.stderr)
    if p.returncode != 0:
        return None
    link = os.path.join(root, SOCKET_LINK)
    r.check("installing enables the socket", os.path.islink(link)
            and os.readlink(link) == f"/{UNIT_DIR}/quillmere.socket", SOCKET_LINK)
    wants = [os.path.join(d, f) for d, _, fs in os.walk(os.path.join(root, "etc/systemd")) for f in fs]
    r.check("and nothing else: the socket starts the service", wants == [link], wants)

    with open(os.path.join(root, "var/lib/dpkg/info/quillmere.postinst")) as f:
        postinst = f.read()
    r.check("the scripts come from dh_installsystemd", "dh_installsystemd" in postinst, postinst)
    return root


def check_scripts(root, tmp, r):
    """Runs the installed maintainer scripts as on a booted system, with every
    systemd tool a stub that records its call."""
    info = os.path.join(root, "var/lib/dpkg/info")
    log = os.path.join(tmp, "script-calls")
    env = stubs(os.path.join(tmp, "script-stubs"), log,
                "systemctl", "deb-systemd-helper", "deb-systemd-invoke")
    env.pop("DPKG_ROOT", None)

    def calls(script, *args):
        path = os.path.join(info, "quillmere." + script)
        open(log, "w").close()
        if not os.path.exists(path):
            return []
        # The scripts act only where /run/systemd/system exists: a private
        # /run gives them one.
        p = run(["unshare", "--mount", "sh", "-c",
                 'mount -t tmpfs none /run && mkdir -p /run/systemd/system && exec sh "$@"',
                 "sh", path, *args], env=env)
        if p.returncode != 0:
            return [f"status {p.returncode}: {p.stderr}"]
        with open(log) as f:
            return [l for l in f.read().splitlines()
                    if l.startswith(("deb-systemd-invoke ", "deb-systemd-helper enable "))]

    # A booted system shows only that the service runs again after the
    # upgrade, not whether it was stopped in between.
    got = calls("preinst", "upgrade", "1.0") + calls("prerm", "upgrade", "1.0")
    r.check("an upgrade stops nothing before it unpacks", got == [], got)


def check_binaries(root, version, multiarch, r):
    lib = os.path.join(root, "usr/lib", multiarch)
    for binary in ("usr/sbin/quillmere", "usr/bin/quillmere-open", f"usr/lib/{multiarch}/{LIBRARY}"):
        kind = run(["file", "-bL", os.path.join(root, binary)]).stdout
        r.check(f"{binary} is stripped ELF", kind.startswith("ELF") and ", stripped" in kind, kind)
    soname = run(["objdump", "-p", os.path.join(lib, LIBRARY)]).stdout.split()
    r.check("the library's SONAME", "SONAME" in soname and soname[soname.index("SONAME") + 1] == LIBRARY,
            " ".join(soname[:40]))
    # The library is unpacked into the root, not installed on this machine.
    env = dict(os.environ, LD_LIBRARY_PATH=lib)
    p = run([os.path.join(root, "usr/bin/quillmere-open"), "--version"], env=env)
    r.check("the packaged client runs", p.returncode == 0
            and p.stdout.startswith(f"quillmere-open {version}"), p.stdout + p.stderr)
    p = run([os.path.join(root, "usr/sbin/quillmere"), "-h"])
    r.check("the packaged service runs", p.returncode == 0 and p.stdout.startswith("Usage: "),
            p.stdout + p.stderr)
    with open(os.path.join(root, POLICY.lstrip("/"))) as f:
        lines = f.read().splitlines()
    settings = [(i, l) for i, l in enumerate(lines) if l.strip() and not l.lstrip().startswith("#")]
    r.check("the shipped policy opens web and mail links at a pace, each setting explained",
            [l for _, l in settings] == SHIPPED_SETTINGS
            and all(i > 0 and lines[i - 1].startswith("# ") for i, _ in settings), "\n".join(lines))
    with open(os.path.join(root, "usr/sbin/quillmere"), "rb") as f:
        r.check("the packaged service reads the shipped policy", POLICY.encode() + b"\0" in f.read(),
                POLICY)


def check_plugin_build(root, tmp, multiarch, r):
    """A C program builds against the installed -dev package through
    pkg-config and runs with the installed library."""
    env = dict(os.environ, PKG_CONFIG_SYSROOT_DIR=root,
               PKG_CONFIG_LIBDIR=os.path.join(root, "usr/lib", multiarch, "pkgconfig"))
    p = run(["pkg-config", "--cflags", "--libs", "quillmere-client"], env=env)
    flags = p.stdout.split()
    r.check("pkg-config finds quillmere-client in the root", p.returncode == 0
            and f"-I{root}/usr/include" in flags and "-lquillmere-client" in flags, p.stdout + p.stderr)
    source = os.path.join(tmp, "plugin.c")
    with open(source, "w") as f:
        f.write(PLUGIN)
    program = os.path.join(tmp, "plugin")
    p = run(["cc", "-std=c99", "-Wall", "-Wextra", "-Werror", source, "-o", program, *flags])
    r.check("a C99 plug-in compiles and links against the -dev package", p.returncode == 0,
            p.stdout + p.stderr)
    if p.returncode == 0:
        # In a network namespace of its own no service answers, whatever runs here.
        p = run(["unshare", "--net", program],
                env=dict(os.environ, LD_LIBRARY_PATH=os.path.join(root, "usr/lib", multiarch)))
        r.check("and runs with the packaged library", p.returncode == 0, p.stdout + p.stderr)


def unit_lines(root, name):
    with open(os.path.join(root, UNIT_DIR, name)) as f:
        text = f.read()
    return text, [l.strip() for l in text.splitlines()]


def check_units(root, tmp, r):
    service, lines = unit_lines(root, "quillmere.service")
    r.check("the service runs the packaged service in the foreground",
            EXEC_START in lines and "Restart=on-failure" in lines and "KillMode=process" in lines
            and "ExecReload=kill -HUP $MAINPID" in lines
            and os.access(os.path.join(root, "usr/sbin/quillmere"), os.X_OK), service)
    r.check("the service requires its socket and enabling it enables the socket",
            {"Requires=quillmere.socket", "After=quillmere.socket", "Also=quillmere.socket"} <= set(lines)
            and not any(l.startswith("WantedBy=") for l in lines), service)
    r.check("the service sets no sandboxing option",
            not any(l.startswith(("ProtectHome=", "PrivateTmp=", "ProtectSystem=", "NoNewPrivileges="))
                    for l in lines), service)
    socket, lines = unit_lines(root, "quillmere.socket")
    r.check("the socket holds the service's name from early boot",
            "ListenStream=@ftnl54531" in lines and "WantedBy=sockets.target" in lines
            and not any(l.startswith(("Accept=", "Service=", "Backlog=")) for l in lines), socket)

    # systemd-analyze checks executables and manual pages on the running
    # system; point both at the installed tree.
    units = os.path.join(tmp, "units")
    os.makedirs(units)
    with open(os.path.join(units, "quillmere.service"), "w") as f:
        f.write(service.replace("ExecStart=/usr/", f"ExecStart={root}/usr/"))
    with open(os.path.join(units, "quillmere.socket"), "w") as f:
        f.write(socket)
    env = dict(os.environ, MANPATH=os.path.join(root, "usr/share/man"))
    p = run(["systemd-analyze", "verify", os.path.join(units, "quillmere.socket"),
             os.path.join(units, "quillmere.service")], env=env)
    r.check("systemd-analyze verify", p.returncode == 0 and p.stdout + p.stderr == "",
            p.stdout + p.stderr)


def check_manuals(root, r):
    env = dict(os.environ, MANWIDTH="80", LC_ALL="C.UTF-8")
    pages = {
        "usr/share/man/man8/quillmere.8.gz": ("EXIT STATUS",),
        "usr/share/man/man1/quillmere-open.1.gz": ("EXIT STATUS",),
        "usr/share/man/man5/quillmere.conf.5.gz": ("FORMAT", "EXAMPLES"),
    }
    for page, sections in pages.items():
        path = os.path.join(root, page)
        name = os.path.basename(page)
        # Warnings only: the rendered page itself goes nowhere.
        p = subprocess.run(f"man -l --warnings '{path}' 2>&1 >/dev/null", shell=True,
                           capture_output=True, text=True, env=env)
        r.check(f"man -l {name} renders without warnings", p.returncode == 0 and p.stdout == "",
                p.stdout)
        text = run(["man", "-l", path], env=env).stdout
        r.check(f"{name} has its sections",
                all(s in text for s in ("NAME", "SYNOPSIS", "DESCRIPTION", "SEE ALSO") + sections),
                text[:200])
        # The documents of this install, not of another.
        docs = set(re.findall(r"/[\w./-]*/security\.md", text))
        r.check(f"{name} names the package's own documents",
                "@QUILLMERE_" not in text and docs == {"/usr/share/doc/quillmere/security.md"}, docs)


def main():
    source, work, build_dir = (os.path.abspath(a) for a in sys.argv[1:4])
    r = Results()
    missing = [t for t in TOOLS if shutil.which(t) is None]
    if missing:
        r.check("can run", False, f"missing {missing}; run scripts/deps.sh")
        r.finish()
    if os.geteuid() != 0:
        skip_or_fail("dpkg --root and the scripts' private /run need root")
    os.makedirs(work, exist_ok=True)
    with tempfile.TemporaryDirectory(prefix="package-", dir=work) as tmp:
        changes, debs, tree = build(source, os.path.realpath(work), tmp, r)
        multiarch = run(["dpkg-architecture", "-qDEB_HOST_MULTIARCH"]).stdout.strip()
        if changes and "quillmere" in debs:
            version = check_versions(build_dir, tree, debs, r)
            complete = check_contents(debs, version, multiarch, r)
            check_lintian(changes, r)
            root = check_install(debs, tmp, r) if complete else None
            if root:
                check_binaries(root, version, multiarch, r)
                check_plugin_build(root, tmp, multiarch, r)
                check_units(root, tmp, r)
                check_manuals(root, r)
                check_scripts(root, tmp, r)
    r.finish()


if __name__ == "__main__":
    sys.exit(main())
