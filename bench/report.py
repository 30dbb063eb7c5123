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

OPENER = "/usr/bin/xdg-open"
# Every client loop is bounded in count and in seconds.
SEQUENTIAL = ["--clients", "1", "--count", "1500", "--seconds", "4"]
PARALLEL = ["--clients", "4", "--count", "6000", "--seconds", "4"]


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
                       capture_output=True, text=True, timeout=timeout)
    if r.returncode != 0:
        raise RuntimeError("conn_bench %s: %s" % (" ".join(args), r.stderr.strip()))
    return r.stdout.strip()


def inner(build):
    """Runs inside the namespaces: each server in turn, the same clients."""
    subprocess.run(["mount", "--bind", os.path.join(build, "bench", "bench_opener"), OPENER],
                   check=True)
    name = conn_bench(build, "socket-name")
    tool = os.path.join(build, "bench", "conn_bench")
    servers = [
        ("quillmere", [os.path.join(build, "quillmere"), "-D"], True),
        ("floor", [tool, "floor"], True),
        ("socat", ["socat", "ABSTRACT-LISTEN:%s,fork" % name, "EXEC:%s stdio" % tool], False),
    ]
    results = {}
    with tempfile.TemporaryFile() as log:
        for label, argv, memory in servers:
            proc = start(argv, log)
            try:
                conn_bench(build, "wait", "5")
                r = {}
                if memory:
                    r["memory"] = json.loads(conn_bench(build, "memory", str(proc.pid)))
                r["plain"] = json.loads(conn_bench(build, "client", *SEQUENTIAL))
                r["plain_parallel"] = json.loads(conn_bench(build, "client", *PARALLEL))
                r["command"] = json.loads(conn_bench(build, "client", "--command", *SEQUENTIAL))
                r["command_parallel"] = json.loads(
                    conn_bench(build, "client", "--command", *PARALLEL))
                results[label] = r
            except (RuntimeError, subprocess.TimeoutExpired) as e:
                results[label] = {"error": str(e)}
            finally:
                stop(proc)
        log.seek(0)
        tail = log.read()[-2000:].decode(errors="replace")
    if any("error" in r for r in results.values()):
        results["server_log"] = tail
    print(json.dumps(results))


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


def main():
    if len(sys.argv) == 3 and sys.argv[1] == "--inner":
        inner(sys.argv[2])
        return 0
    if len(sys.argv) != 2:
        note(__doc__)
        return 2
    build = os.path.abspath(sys.argv[1])

    note("== logger and dump (Google Benchmark output follows)")
    b = run_logger_bench(build)
    note("== connections (real service in its own namespaces)")
    conn, skipped = run_connections(build)

    rows = []  # measure, ours, reference, ratio, target, met

    def add(measure, ours, ref, ratio, target, met):
        rows.append((measure, ours, ref, ratio, target, met))

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

    if conn is not None and all("error" not in conn.get(k, {"error": 1})
                                for k in ("quillmere", "floor", "socat")):
        q, f, s = conn["quillmere"], conn["floor"], conn["socat"]
        for kind, title in (("plain", "handshake"), ("command", "handshake + open-URL")):
            r = q[kind]["p50_us"] / f[kind]["p50_us"]
            add("%s p50 latency vs floor" % title, fmt(q[kind]["p50_us"], " us"),
                fmt(f[kind]["p50_us"], " us"), r, "<= 1.3x" if kind == "plain" else "-",
                r <= 1.3 if kind == "plain" else None)
            r = q[kind]["p99_us"] / f[kind]["p99_us"]
            add("%s p99 latency vs floor" % title, fmt(q[kind]["p99_us"], " us"),
                fmt(f[kind]["p99_us"], " us"), r, "-", None)
            par = kind + "_parallel"
            r = q[par]["per_second"] / s[par]["per_second"]
            add("%s conns/s vs socat" % title, fmt(q[par]["per_second"], "/s"),
                fmt(s[par]["per_second"], "/s"), r,
                ">= 5x" if kind == "plain" else "-", r >= 5 if kind == "plain" else None)
            r = q[par]["per_second"] / f[par]["per_second"]
            add("%s conns/s vs floor" % title, fmt(q[par]["per_second"], "/s"),
                fmt(f[par]["per_second"], "/s"), r, "-", None)
        qm, fm = q["memory"], f["memory"]
        add("idle service resident memory", fmt(qm["idle_rss_kib"], " KiB"),
            "3072 KiB", qm["idle_rss_kib"] / 3072, "< 1x", qm["idle_rss_kib"] < 3072)
        add("connection child private memory", fmt(qm["child_private_kib"], " KiB"),
            "256 KiB", qm["child_private_kib"] / 256, "< 1x", qm["child_private_kib"] < 256)
        add("  (floor child private memory)", fmt(fm["child_private_kib"], " KiB"),
            "-", None, "-", None)
    elif conn is not None:
        skipped = json.dumps(conn)[:800]

    head = ("measure", "quillmere", "reference", "ratio", "target", "met")
    table = [head] + [(m, o, ref, "-" if ratio is None else "%.2fx" % ratio, t,
                       "-" if met is None else ("yes" if met else "NO"))
                      for m, o, ref, ratio, t, met in rows]
    widths = [max(len(str(row[i])) for row in table) for i in range(len(head))]
    print("Quillmere benchmarks on %d cores" % os.cpu_count())
    for i, row in enumerate(table):
        print("  ".join(str(c).ljust(w) if j == 0 else str(c).rjust(w)
                        for j, (c, w) in enumerate(zip(row, widths))).rstrip())
        if i == 0:
            print("  ".join("-" * w for w in widths))
    if skipped:
        print("connections: skipped (%s)" % skipped)
    print("latency: connect, handshake, optional open-URL command, shutdown, server's close;"
          " p50/p99 from one client in sequence, conns/s from 4 clients in parallel")
    return 0


if __name__ == "__main__":
    sys.exit(main())
