#!/usr/bin/env python3
"""Compiles every installed public header alone (twice in a row, so that
its guard is tested too) as C11 and as C++, with pedantic warnings as
errors: a header must include what it uses, and its declarations must be C
wherever a C compiler reads them. Headers are found by glob, so a new module
is covered as soon as it is installed."""

import argparse
import concurrent.futures
import os
import pathlib
import re
import subprocess
import sys

import known_faults

WARNINGS = ["-pedantic", "-Wall", "-Wextra", "-Werror"]


# A translation unit must declare something; a header of macros alone
# declares nothing.
TRAILER = "typedef int header_check_end;\n"

ERROR_AT = re.compile(r"^(.+?):\d+:\d+: (?:fatal )?error: ", re.M)


def compile_alone(compiler, flags, include_dir, header):
    """None when the header compiles, else {header with an error: diagnostics}:
    an error inside an included header is that header's fault."""
    source = f'#include "{header}"\n#include "{header}"\n{TRAILER}'
    done = subprocess.run([compiler, *flags, *WARNINGS, "-fsyntax-only", "-I", include_dir, "-"],
                          input=source, capture_output=True, text=True)
    if done.returncode == 0:
        return None
    text = (done.stderr or done.stdout).strip()
    at_fault = set()
    for path in ERROR_AT.findall(text):
        full = pathlib.Path(os.path.realpath(path))
        inside = pathlib.Path(os.path.realpath(include_dir))
        at_fault.add(full.relative_to(inside).as_posix() if inside in full.parents else header)
    return {h: text for h in at_fault or {header}}


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--include-dir", required=True)
    parser.add_argument("--cc", required=True)
    parser.add_argument("--cxx", required=True)
    parser.add_argument("--known-faults", required=True)
    args = parser.parse_args()

    include_dir = pathlib.Path(args.include_dir)
    headers = sorted(p.relative_to(include_dir).as_posix() for p in include_dir.rglob("*.h"))
    if not headers:
        sys.exit(f"no headers under {include_dir}")
    checks = {"c11": (args.cc, ["-x", "c", "-std=c11"]),
              "c++": (args.cxx, ["-x", "c++", "-std=c++20"])}
    jobs = {(h, check): (compiler, flags, str(include_dir), h)
            for h in headers for check, (compiler, flags) in checks.items()}
    with concurrent.futures.ThreadPoolExecutor(max_workers=2) as pool:
        results = dict(zip(jobs, pool.map(lambda job: compile_alone(*job), jobs.values())))
    failures = {}
    for (header, check), faults in results.items():
        for at_fault, detail in (faults or {}).items():
            failures.setdefault((at_fault, check), detail)
    print(f"{len(headers)} headers, each compiled alone as {' and '.join(checks)}")
    sys.exit(known_faults.verdict(failures, known_faults.load(args.known_faults), set(checks)))


if __name__ == "__main__":
    main()
