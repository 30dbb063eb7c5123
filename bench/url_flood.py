#!/usr/bin/env python3
"""One connection floods the service with open-URL commands, as a plug-in
passing on a hostile server's requests would, and prints how many URLs were
opened in the first WINDOW seconds, how many in all, and the wall time from
the connection to its end. The opener is a stub that notes the time and
returns at once, as xdg-open does when the browser already runs.

The real binary runs as root inside mount and network namespaces of this
script's own (see tests/harness.py), with the stub bind-mounted over
/usr/bin/xdg-open and the policy file's directory private to them: with
--pace the file holds only "pace = N/S", without it there is no file. A
timing, never a test.

usage: url_flood.py QUILLMERE POLICY_FILE [--pace N/S] [--count N] [--window S]
  e.g. python3 bench/url_flood.py build/quillmere /usr/local/etc/quillmere/quillmere.conf --pace 20/10
"""

import argparse
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

TESTS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests")
sys.path.insert(0, TESTS)
from harness import OPENER, Peer, Service, enter_namespaces  # noqa: E402
from policy_test import private_directory  # noqa: E402

# bash for its clock; it starts in a few milliseconds and returns at once.
STUB = """#!/bin/bash
printf '%s\\n' "$EPOCHREALTIME" >> OPENED
"""


class Setting:
    """What harness.Service needs of a sandbox."""

    def __init__(self, binary, directory):
        self.binary = binary
        self.dir = directory


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("binary")
    parser.add_argument("policy_file")
    parser.add_argument("--pace", help="N/S, written to the policy file")
    parser.add_argument("--count", type=int, default=500)
    parser.add_argument("--window", type=float, default=10.0)
    args = parser.parse_args()
    enter_namespaces()

    work = tempfile.mkdtemp(prefix="quillmere-flood-")
    os.chmod(work, 0o755)
    opened_path = os.path.join(work, "opened")
    open(opened_path, "w").close()
    os.chmod(opened_path, 0o666)
    stub = os.path.join(work, "xdg-open")
    with open(stub, "w") as f:
        f.write(STUB.replace("OPENED", opened_path))
    os.chmod(stub, 0o755)
    mounts = []
    service = None
    try:
        subprocess.run(["mount", "--make-rprivate", "/"], check=True)
        subprocess.run(["mount", "--bind", stub, OPENER], check=True)
        mounts.append(OPENER)
        mounts = private_directory(os.path.dirname(args.policy_file), work) + mounts
        if args.pace:
            with open(args.policy_file, "w") as f:
                f.write("pace = %s\n" % args.pace)

        service = Service(Setting(os.path.abspath(args.binary), work), "-D", "-v", "warning")
        service.wait_listening()
        urls = ["https://example.org/%d" % i for i in range(args.count)]
        start_wall = time.time()
        start = time.monotonic()
        peer = Peer(timeout=600).handshake()
        peer.open(*urls)
        peer.finish()
        elapsed = time.monotonic() - start

        # Stopped first, so that every record of the connection has been read.
        service.stop()
        records = service.stderr
        service = None
        with open(opened_path) as f:
            stamps = [float(line) for line in f if line.strip()]
        print(json.dumps({
            "pace": args.pace or "none",
            "sent": args.count,
            "opened": len(stamps),
            "opened_in_window": sum(t - start_wall < args.window for t in stamps),
            "window_s": args.window,
            "wall_s": round(elapsed, 3),
            "skip_records": len(re.findall(r"URL skipped: more than", records)),
            "skipped_counted": sum(int(k) for k in re.findall(r"skipped (\d+) more URLs", records)),
        }))
    finally:
        if service:
            service.stop()
        for point in mounts:
            subprocess.run(["umount", point], check=False)
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
