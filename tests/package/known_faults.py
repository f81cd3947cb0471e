"""Known faults of installed headers (known_faults.txt) and the verdict of a
check that honours them.

A line of known_faults.txt names a header (relative to the include folder),
a check (c11, c++ or exports) and why. A listed fault must still be there:
once it is mended, the check fails until its line is removed, so the list
only ever shrinks."""

import pathlib


def load(path):
    faults = {}
    for number, line in enumerate(pathlib.Path(path).read_text().splitlines(), 1):
        line = line.split("#", 1)[0].strip()
        if not line:
            continue
        parts = line.split(None, 2)
        if len(parts) < 3:
            raise SystemExit(f"{path}:{number}: expected 'header check reason'")
        faults[(parts[0], parts[1])] = parts[2]
    return faults


def verdict(failures, known, checks):
    """failures: {(header, check): detail}; known: load()'s result; checks:
    the checks this run made. Prints the findings, returns the exit status."""
    status = 0
    for (header, check), detail in sorted(failures.items()):
        reason = known.get((header, check))
        if reason:
            print(f"known fault, {header} ({check}): {reason}")
        else:
            print(f"FAILED {header} ({check}):\n{detail}\n")
            status = 1
    for (header, check), reason in sorted(known.items()):
        if check in checks and (header, check) not in failures:
            print(f"FAILED {header} ({check}): listed in known_faults.txt ({reason}) but no "
                  f"longer failing; remove its line")
            status = 1
    return status
