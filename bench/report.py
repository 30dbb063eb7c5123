#!/usr/bin/env python3
"""Runs every benchmark of a Release build and prints one table of ratios.

    python3 bench/report.py BUILD_DIR

The connection part runs the real service in mount and network namespaces
of its own, with a stub opener over /usr/bin/xdg-open; it needs root and is
reported as skipped otherwise.
"""
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

OPENER = "/usr/bin/xdg-open"
# Every client loop is bounded in count and in seconds.
SEQUENTIAL = ["--clients", "1", "--count", "1500", "--seconds", "4"]
PARALLEL = ["--clients", "4", "--count", "6000", "--seconds", "4"]
# The peers: a user with no supplementary groups, as a plug-in runs, and root.
USER = 65534
# Another user, who floods the service while USER is measured.
FLOODER = 4242
# Servers run in turn, each round measuring both, so that drift on a shared
# machine lands on both sides of a ratio; the spread over rounds is the noise.
ROUNDS = int(os.environ.get("QUILLMERE_BENCH_ROUNDS", "3"))
# The environment a plug-in in a desktop session brings: the service reads it.
CLIENT_ENV = {
    "HOME": "/home/bench", "USER": "bench", "LOGNAME": "bench", "SHELL": "/bin/bash",
    "PATH": "/usr/local/bin:/usr/bin:/bin:/usr/local/games:/usr/games",
    "LANG": "en_GB.UTF-8", "LANGUAGE": "en_GB:en", "TERM": "xterm-256color",
    "DISPLAY": ":10.0", "XAUTHORITY": "/home/bench/.Xauthority",
    "XDG_RUNTIME_DIR": "/run/user/65534", "XDG_SESSION_TYPE": "x11",
    "XDG_SESSION_ID": "c42", "XDG_SESSION_CLASS": "user", "XDG_SEAT": "seat0",
    "XDG_CURRENT_DESKTOP": "XFCE", "XDG_SESSION_DESKTOP": "xfce",
    "XDG_CONFIG_DIRS": "/etc/xdg/xdg-xfce:/etc/xdg",
    "XDG_DATA_DIRS": "/usr/share/xfce4:/usr/local/share:/usr/share:/var/lib/snapd/desktop",
    "XDG_MENU_PREFIX": "xfce-", "DESKTOP_SESSION": "xfce",
    "DBUS_SESSION_BUS_ADDRESS": "unix:path=/run/user/65534/bus",
    "SESSION_MANAGER": "local/host:@/tmp/.ICE-unix/2412,unix/host:/tmp/.ICE-unix/2412",
    "SSH_AUTH_SOCK": "/run/user/65534/keyring/ssh", "GTK_MODULES": "gail:atk-bridge",
    "QT_ACCESSIBILITY": "1", "EDITOR": "vim", "PAGER": "less",
    "LS_COLORS": ":".join("*.%s=01;%d" % (ext, 31 + i % 6) for i, ext in enumerate(
        "tar tgz arc arj taz lha lz4 lzh lzma tlz txz tzo t7z zip z dz gz lrz lz lzo xz zst "
        "tzst bz2 bz tbz tbz2 tz deb rpm jar war ear sar rar alz ace zoo cpio 7z rz cab wim "
        "swm dwm esd jpg jpeg mjpg mjpeg gif bmp pbm pgm ppm tga xbm xpm tif tiff png svg "
        "svgz mng pcx mov mpg mpeg m2v mkv webm webp ogm mp4 m4v mp4v vob qt nuv wmv asf rm "
        "rmvb flc avi fli flv gl dl xcf xwd yuv cgm emf ogv ogx aac au flac m4a mid midi mka "
        "mp3 mpc ogg ra wav oga opus spx xspf".split())),
}


def note(text):
    print(text, file=sys.stderr, flush=True)


def run_logger_bench(build):
    out = tempfile.NamedTemporaryFile(prefix="quillmere-bench-", suffix=".json", delete=False)
    out.close()
    try:
        subprocess.run([os.path.join(build, "bench", "logger_bench"),
                        "--benchmark_out=" + out.name, "--benchmark_out_format=json"],
                       stdout=sys.stderr, check=True, timeout=600)
        with open(out.name) as f:
            data = json.load(f)
    finally:
        os.unlink(out.name)
    # Keyed by name and argument, without the run settings.
    return {"/".join(p for p in b["name"].split("/") if ":" not in p and p != "real_time"): b
            for b in data["benchmarks"]}


def start(argv, log):
    return subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                            start_new_session=True)


def stop(proc):
    if proc.poll() is None:
        proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(timeout=5)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait(timeout=5)


def conn_bench(build, *args, timeout=60):
    r = subprocess.run([os.path.join(build, "bench", "conn_bench"), *args],
                       capture_output=True, text=True, timeout=timeout, env=CLIENT_ENV)
    if r.returncode != 0:
        raise RuntimeError("conn_bench %s: %s" % (" ".join(args), r.stderr.strip()))
    return r.stdout.strip()


def cpu_seconds(pid, children=True):
    """The process's user and system time, and that of its reaped children."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    ticks = sum(int(v) for v in fields[11:15 if children else 13])
    return ticks / os.sysconf("SC_CLK_TCK")


def has_children(pid):
    with open("/proc/%d/task/%d/children" % (pid, pid)) as f:
        return bool(f.read().split())


def measured(build, proc, *args):
    """One client run, with the server's CPU time per connection: its own and
    its children's, once the last child has been reaped."""
    before = cpu_seconds(proc.pid)
    r = json.loads(conn_bench(build, "client", *args))
    deadline = time.time() + 3
    while has_children(proc.pid) and time.time() < deadline:
        time.sleep(0.01)
    r["cpu_us"] = (cpu_seconds(proc.pid) - before) * 1e6 / r["connections"]
    return r


def flood(build, proc, victim_args=None, seconds=2):
    """Another user holds what it may and floods the rest. Without a victim:
    the service's own CPU time per refused connection. With one: the victim's
    figures while the flood goes on."""
    tool = os.path.join(build, "bench", "conn_bench")
    flooder = subprocess.Popen([tool, "flood", "--user", str(FLOODER), "--count", "200000",
                                "--seconds", str(seconds)],
                               stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True,
                               env=CLIENT_ENV)
    try:
        held = flooder.stdout.readline().split()
        if held[:1] != ["held"]:
            raise RuntimeError("flooder: %r" % held)
        before = cpu_seconds(proc.pid, children=False)
        flooder.stdin.write("go\n")
        flooder.stdin.flush()
        victim = json.loads(conn_bench(build, "client", *victim_args)) if victim_args else None
        out, _ = flooder.communicate(timeout=seconds + 30)
        r = json.loads(out)
        r["held"] = int(held[1])
        if victim is None:
            r["cpu_us"] = (cpu_seconds(proc.pid, children=False) - before) * 1e6 / max(1, r["refused"])
        return r, victim
    finally:
        if flooder.poll() is None:
            flooder.kill()
            flooder.wait()


def serve_and_measure(build, argv, log, measure):
    proc = start(argv, log)
    try:
        conn_bench(build, "wait", "5")
        return measure(proc)
    except (RuntimeError, subprocess.TimeoutExpired, ValueError, OSError) as e:
        return {"error": str(e)}
    finally:
        stop(proc)


def inner(build):
    """Runs inside the namespaces: each server in turn, the same clients."""
    subprocess.run(["mount", "--bind", os.path.join(build, "bench", "bench_opener"), OPENER],
                   check=True)
    name = conn_bench(build, "socket-name")
    tool = os.path.join(build, "bench", "conn_bench")
    user = ["--user", str(USER)]
    servers = {"quillmere": [os.path.join(build, "quillmere"), "-D"], "floor": [tool, "floor"]}

    def rounds_of(proc):
        r = {"memory": json.loads(conn_bench(build, "memory", str(proc.pid), *user))}
        r["user"] = measured(build, proc, *user, *SEQUENTIAL)
        r["user_parallel"] = measured(build, proc, *user, *PARALLEL)
        r["root"] = measured(build, proc, *SEQUENTIAL)
        r["root_parallel"] = measured(build, proc, *PARALLEL)
        r["command"] = measured(build, proc, "--command", *user, *SEQUENTIAL)
        return r

    def under_flood(proc):
        r = {"unloaded": measured(build, proc, *user, *SEQUENTIAL)}
        r["refusals"], _ = flood(build, proc)
        r["flood"], r["victim"] = flood(build, proc, [*user, *SEQUENTIAL], seconds=5)
        return r

    results = {"rounds": []}
    with tempfile.TemporaryFile() as log:
        for _ in range(ROUNDS):
            results["rounds"].append({label: serve_and_measure(build, argv, log, rounds_of)
                                      for label, argv in servers.items()})
        results["flood"] = serve_and_measure(build, servers["quillmere"], log, under_flood)
        results["socat"] = serve_and_measure(
            build, ["socat", "ABSTRACT-LISTEN:%s,fork" % name, "EXEC:%s stdio" % tool], log,
            lambda proc: {"user_parallel": measured(build, proc, *user, *PARALLEL)})
        log.seek(0)
        tail = log.read()[-2000:].decode(errors="replace")
    if errors(results):
        results["server_log"] = tail
    print(json.dumps(results))


def errors(results):
    found = [r["error"] for rnd in results["rounds"] for r in rnd.values() if "error" in r]
    return found + [results[k]["error"] for k in ("flood", "socat") if "error" in results[k]]


def run_connections(build):
    if os.geteuid() != 0:
        return None, "needs root for namespaces"
    for tool in ("unshare", "socat"):
        if not shutil.which(tool):
            return None, "%s not installed" % tool
    if not os.path.exists(OPENER):
        return None, "%s missing: nothing to put the stub opener over" % OPENER
    r = subprocess.run(["unshare", "--mount", "--net", "--fork",
                        sys.executable, os.path.abspath(__file__), "--inner", build],
                       capture_output=True, text=True, timeout=600)
    if r.returncode != 0:
        return None, "namespace run failed: " + r.stderr.strip()[-500:]
    return json.loads(r.stdout), None


def fmt(v, unit=""):
    if v is None:
        return "-"
    if abs(v) >= 100:
        return "%.0f%s" % (v, unit)
    if abs(v) >= 10:
        return "%.1f%s" % (v, unit)
    return "%.2f%s" % (v, unit)


def logger_rows(b, add):
    def per_s(name):
        return b[name]["items_per_second"]

    def ns(name):
        return b[name]["real_time"] if b[name]["time_unit"] == "ns" else None

    def mbs(name):
        return b[name]["bytes_per_second"] / 1e6

    r = per_s("BM_logger_log") / per_s("BM_spdlog_log")
    add("records/s, service pattern vs spdlog", fmt(per_s("BM_logger_log") / 1e6, " M/s"),
        fmt(per_s("BM_spdlog_log") / 1e6, " M/s"), r, ">= 1.5x", r >= 1.5)
    r = ns("BM_logger_dropped") / ns("BM_spdlog_dropped")
    add("dropped record cost vs spdlog", fmt(ns("BM_logger_dropped"), " ns"),
        fmt(ns("BM_spdlog_dropped"), " ns"), r, "<= 0.5x", r <= 0.5)
    big, small = "BM_logger_dump/%d" % (64 << 20), "BM_logger_dump/%d" % (64 << 10)
    r = mbs("BM_stderr_dump") / mbs("BM_xxd")
    add("dump 64 MiB, stderr writer to /dev/null vs xxd", fmt(mbs("BM_stderr_dump"), " MB/s"),
        fmt(mbs("BM_xxd"), " MB/s"), r, ">= 4x", r >= 4)
    for tool in ("BM_xxd", "BM_hexdump_C"):
        r = mbs(big) / mbs(tool)
        add("  (whole text to a writer, %%m%%n, vs %s)" % ("xxd" if tool == "BM_xxd" else "hexdump -C"),
            fmt(mbs(big), " MB/s"), fmt(mbs(tool), " MB/s"), r, "-", None)
    r = mbs(small) / mbs("BM_xxd")
    add("  (64 MiB as 1024 dumps of 64 KiB vs xxd)", fmt(mbs(small), " MB/s"),
        fmt(mbs("BM_xxd"), " MB/s"), r, "-", None)


def median(values):
    values = sorted(values)
    n = len(values)
    return values[n // 2] if n % 2 else (values[n // 2 - 1] + values[n // 2]) / 2


def connection_rows(conn, add):
    rounds = conn["rounds"]

    def figure(server, run, key):
        return median([r[server][run][key] for r in rounds])

    def spread(run, key):
        ratios = [r["quillmere"][run][key] / r["floor"][run][key] for r in rounds]
        return "%.2f-%.2fx" % (min(ratios), max(ratios))

    def versus_floor(title, run, key, unit, target=None, higher_is_better=False):
        q, f = figure("quillmere", run, key), figure("floor", run, key)
        ratio = q / f
        met = None
        if target is not None:
            met = ratio >= target if higher_is_better else ratio <= target
        add(title, fmt(q, unit), fmt(f, unit), ratio,
            "-" if target is None else ("%s %gx" % (">=" if higher_is_better else "<=", target)),
            met, spread(run, key))

    versus_floor("user peer, time to version p50 vs floor", "user", "version_p50_us", " us", 1.3)
    versus_floor("user peer, time to version p99 vs floor", "user", "version_p99_us", " us", 1.5)
    versus_floor("root peer, time to version p50 vs floor", "root", "version_p50_us", " us", 1.2)
    versus_floor("root peer, time to version p99 vs floor", "root", "version_p99_us", " us")
    versus_floor("user peers, conns/s, 1 client vs floor", "user", "per_second", "/s", 0.8, True)
    versus_floor("user peers, conns/s, 4 clients vs floor", "user_parallel", "per_second", "/s",
                 0.8, True)
    versus_floor("root peers, conns/s, 1 client vs floor", "root", "per_second", "/s", 0.9, True)
    versus_floor("root peers, conns/s, 4 clients vs floor", "root_parallel", "per_second", "/s",
                 0.9, True)
    versus_floor("user peers, CPU per connection vs floor", "user_parallel", "cpu_us", " us")
    versus_floor("root peers, CPU per connection vs floor", "root_parallel", "cpu_us", " us")
    versus_floor("  (user, handshake + open-URL, p50 vs floor)", "command", "p50_us", " us")

    s = conn["socat"]["user_parallel"]["per_second"]
    q = figure("quillmere", "user_parallel", "per_second")
    add("user peers, conns/s, 4 clients vs socat fork", fmt(q, "/s"), fmt(s, "/s"), q / s,
        ">= 5x", q / s >= 5)

    f = conn["flood"]
    for key, title in (("version_p50_us", "p50"), ("version_p99_us", "p99")):
        v, u = f["victim"][key], f["unloaded"][key]
        add("user peer under another's flood, %s vs unloaded" % title, fmt(v, " us"),
            fmt(u, " us"), v / u, "-", None)
    add("  (flooder: %d held, %d refused, %d served meanwhile)"
        % (f["flood"]["held"], f["flood"]["refused"], f["flood"]["served"]),
        "-", "-", None, "-", None)
    add("service CPU per refused connection", fmt(f["refusals"]["cpu_us"], " us"), "-", None,
        "-", None)
    add("  (refused per second, one flooding process)", fmt(f["refusals"]["per_second"], "/s"),
        "-", None, "-", None)

    idle = median([r["quillmere"]["memory"]["idle_rss_kib"] for r in rounds])
    add("idle service resident memory", fmt(idle, " KiB"), "2048 KiB", idle / 2048, "<= 1x",
        idle <= 2048)
    child = median([r["quillmere"]["memory"]["child_private_kib"] for r in rounds])
    add("user's connection child, private memory", fmt(child, " KiB"), "128 KiB", child / 128,
        "<= 1x", child <= 128)
    floor = median([r["floor"]["memory"]["child_private_kib"] for r in rounds])
    add("  (floor child private memory)", fmt(floor, " KiB"), "-", None, "-", None)


def main():
    if len(sys.argv) == 3 and sys.argv[1] == "--inner":
        inner(sys.argv[2])
        return 0
    if len(sys.argv) != 2:
        note(__doc__)
        return 2
    build = os.path.abspath(sys.argv[1])

    # QUILLMERE_BENCH_ONLY=connections leaves out the logger, for quicker rounds.
    only_connections = os.environ.get("QUILLMERE_BENCH_ONLY") == "connections"
    b = None
    if not only_connections:
        note("== logger and dump (Google Benchmark output follows)")
        b = run_logger_bench(build)
    note("== connections (real service in its own namespaces)")
    conn, skipped = run_connections(build)

    rows = []  # measure, ours, reference, ratio, target, met, spread over rounds

    def add(measure, ours, ref, ratio, target, met, spread="-"):
        rows.append((measure, ours, ref, ratio, target, met, spread))

    if b is not None:
        logger_rows(b, add)
    if conn is not None and not errors(conn):
        connection_rows(conn, add)
    elif conn is not None:
        skipped = json.dumps(conn)[:800]

    head = ("measure", "quillmere", "reference", "ratio", "target", "met", "rounds")
    table = [head] + [(m, o, ref, "-" if ratio is None else "%.2fx" % ratio, t,
                       "-" if met is None else ("yes" if met else "NO"), spread)
                      for m, o, ref, ratio, t, met, spread in rows]
    widths = [max(len(str(row[i])) for row in table) for i in range(len(head))]
    print("Quillmere benchmarks on %d cores" % os.cpu_count())
    for i, row in enumerate(table):
        print("  ".join(str(c).ljust(w) if j == 0 else str(c).rjust(w)
                        for j, (c, w) in enumerate(zip(row, widths))).rstrip())
        if i == 0:
            print("  ".join("-" * w for w in widths))
    if skipped:
        print("connections: skipped (%s)" % skipped)
    if conn is not None and not skipped:
        print("time to version: from connect to the service's version word, one client in"
              " sequence; conns/s: connect, handshake, shutdown, server's close;")
        print("user: uid %d with no supplementary groups; ratios are of the medians over %d"
              " rounds, 'rounds' is the lowest and highest ratio of a single round"
              % (USER, len(conn["rounds"])))
    return 0


if __name__ == "__main__":
    sys.exit(main())
