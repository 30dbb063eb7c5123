#!/usr/bin/env python3
"""Checks what libquillmere-client shows its callers: exactly the API's
symbols, its SONAME, no C++ runtime, and a header that C99 and C++ compilers
take as it is.

Usage: client_abi_test.py LIBRARY INCLUDE_DIR BUILD_DIR
"""
import os
import re
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import Results, project_version  # noqa: E402

API = {
    "quillmere_connect", "quillmere_open_url", "quillmere_finish", "quillmere_free",
    "quillmere_strerror", "quillmere_fd", "quillmere_last_error", "quillmere_listener",
    "quillmere_version", "quillmere_options",
}

# Uses every name of the header, so that a declaration the compiler rejects
# or a code that is missing fails here.
USE = r"""
#include <quillmere/client.h>
int use(void);
int use(void)
{
	quillmere_client *client = 0;
	uid_t uid;
	pid_t pid;
	int codes[] = {QUILLMERE_ENOTRUNNING, QUILLMERE_EREFUSED, QUILLMERE_ENOTROOT,
		       QUILLMERE_EPROTO, QUILLMERE_ETIMEDOUT, QUILLMERE_ETOOLONG,
		       QUILLMERE_ESYSTEM, QUILLMERE_EINVAL};
	int r = quillmere_connect(&client, 0);
	r |= quillmere_open_url(client, "");
	r |= quillmere_finish(client);
	r |= quillmere_listener(client, &uid, &pid);
	r |= (int)quillmere_version(client) | (int)quillmere_options(client);
	r |= quillmere_fd(client) + (int)sizeof(codes) + QUILLMERE_URL_MAX + QUILLMERE_OPENER_WAIT_MS;
	r |= *quillmere_strerror(r) + *quillmere_last_error(client);
	quillmere_free(client);
	return r;
}
"""


def run(argv, **kw):
    return subprocess.run(argv, capture_output=True, text=True, **kw)


def main():
    library, include, build = sys.argv[1:4]
    r = Results()

    p = run(["nm", "-D", "--defined-only", library])
    names = {line.split()[-1] for line in p.stdout.splitlines() if line.strip()}
    r.check("the library exports exactly the API", p.returncode == 0 and names == API,
            f"missing {sorted(API - names)}, extra {sorted(names - API)} {p.stderr}")

    dynamic = run(["readelf", "-d", library]).stdout
    r.check("SONAME libquillmere-client.so.1",
            "Library soname: [libquillmere-client.so.1]" in dynamic, dynamic)
    r.check("no C++ runtime at run time", "libstdc++" not in dynamic, dynamic)

    with tempfile.TemporaryDirectory(prefix="quillmere-abi-") as tmp:
        source = os.path.join(tmp, "use.c")
        with open(source, "w") as f:
            f.write(USE)
        for compiler in (["gcc", "-std=c99", "-pedantic"], ["g++", "-std=c++11", "-x", "c++"]):
            p = run(compiler + ["-Wall", "-Wextra", "-Werror", "-I", include, "-c", source,
                                "-o", os.path.join(tmp, "use.o")])
            r.check(f"the header compiles with {' '.join(compiler[:2])} -Wall -Werror",
                    p.returncode == 0, p.stderr)
        # What pkg-config --modversion states, from the same project().
        macros = run(["gcc", "-E", "-dM", "-I", include, source]).stdout
        got = [re.search(rf"#define QUILLMERE_CLIENT_VERSION_{part}\s+(\d+)", macros)
               for part in ("MAJOR", "MINOR")]
        want = project_version(build).split(".")[:2]
        r.check("the header's version macros are the project's major and minor version",
                all(got) and [m.group(1) for m in got] == want, f"{got}, project {want}")
    r.finish()


if __name__ == "__main__":
    main()
