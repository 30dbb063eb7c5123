#!/usr/bin/env python3
"""Load on the real service: many sequential and concurrent connections,
every URL opened exactly once and in order, and nothing left behind.

usage: load_test.py QUILLMERE [--sanitized]"""

import os
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import (Peer, Results, Sandbox, Service, check, end_namespace_processes,  # noqa: E402
                     enter_namespaces)

SEQUENTIAL = 1000
CONCURRENT = 100
URLS_EACH = 10


def expected_once_in_order(opened, connections):
    """Every URL of every connection exactly once, each connection's in order."""
    position = {}
    for i, url in enumerate(opened):
        check(url not in position, "opened twice: " + url)
        position[url] = i
    wanted = sum(len(urls) for urls in connections)
    check(len(position) == wanted, "%d URLs opened, %d sent" % (len(position), wanted))
    for urls in connections:
        missing = [u for u in urls if u not in position]
        check(not missing, "never opened: %s" % missing[:5])
        order = [position[u] for u in urls]
        check(order == sorted(order), "out of order: %s" % urls)


def main():
    enter_namespaces()
    binary = sys.argv[1]
    sanitized = "--sanitized" in sys.argv[2:]
    # Freed memory that the allocator keeps for reuse: the sanitizer's
    # quarantine holds far more than the C library's.
    memory_bound_kib = 2048 if sanitized else 512
    results = Results()
    sandbox = Sandbox(binary, "load")
    try:
        service = Service.started(sandbox)
        try:
            # Bring the logger's buffer and libevent's tables to working size first.
            for i in range(20):
                Peer().handshake().finish()
            check(not service.wait_childless(), "warm-up children left")
            fd_before = service.descriptors()
            rss_before = service.resident_kib()
            sandbox.clear_urls()
            figures = {}

            def sequential():
                urls = ["http://sequential.test/%d" % i for i in range(SEQUENTIAL)]
                start = time.monotonic()
                for url in urls:
                    peer = Peer().handshake()
                    peer.open(url)
                    peer.finish()
                figures["sequential"] = time.monotonic() - start
                opened = sandbox.urls()
                expected_once_in_order(opened, [[u] for u in urls])

            def concurrent():
                sandbox.clear_urls()
                connections = [["http://concurrent.test/%d/%d" % (c, u) for u in range(URLS_EACH)]
                               for c in range(CONCURRENT)]
                errors = []
                barrier = threading.Barrier(CONCURRENT)

                def client(urls):
                    try:
                        barrier.wait(60)
                        peer = Peer(timeout=120).handshake()
                        # Half of them send every URL in one write, half one by one.
                        if int(urls[0].split("/")[3]) % 2:
                            peer.open(*urls)
                        else:
                            for url in urls:
                                peer.open(url)
                        peer.finish()
                    except Exception as e:  # reported below, with the others
                        errors.append(repr(e))

                threads = [threading.Thread(target=client, args=(urls,)) for urls in connections]
                start = time.monotonic()
                for t in threads:
                    t.start()
                for t in threads:
                    t.join()
                figures["concurrent"] = time.monotonic() - start
                check(not errors, "clients failed: %s" % errors[:3])
                expected_once_in_order(sandbox.urls(), connections)

            def nothing_left():
                left = service.wait_childless()
                check(not left, "children left behind: %s" % left)
                zombies = [pid for pid, state in service.children() if state == "Z"]
                check(not zombies, "zombies: %s" % zombies)
                fd_after = service.descriptors()
                rss_after = service.resident_kib()
                print("  descriptors %d -> %d, resident %d KiB -> %d KiB (bound +%d KiB)"
                      % (fd_before, fd_after, rss_before, rss_after, memory_bound_kib))
                check(fd_after == fd_before, "descriptors %d -> %d" % (fd_before, fd_after))
                check(rss_after <= rss_before + memory_bound_kib,
                      "resident memory %d KiB -> %d KiB" % (rss_before, rss_after))

            results.run("%d sequential connections, one URL each" % SEQUENTIAL, sequential)
            results.run("%d concurrent connections, %d URLs each" % (CONCURRENT, URLS_EACH),
                        concurrent)
            results.run("no children, descriptors or memory left behind", nothing_left)
            for name, seconds in figures.items():
                print("  %s: %.2f s" % (name, seconds))
            results.run("service still alive",
                        lambda: check(service.proc.poll() is None, "service died"))
        finally:
            service.stop()
            end_namespace_processes()
    finally:
        sandbox.cleanup()
    results.finish()


if __name__ == "__main__":
    main()
