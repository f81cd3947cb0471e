#!/usr/bin/env python3
"""Compares what the shared library exports with what the installed public
headers declare: every function and variable with external linkage that a
public header declares must be exported (a forgotten FERRY_API fails), and
nothing else may be (a leaked internal fails).

The declarations come from clang's syntax tree of one translation unit that
includes every installed header, read as C++ so that the C++ sections count
too; the symbol of a declaration is its mangled name (the plain name for
the extern "C" part). The exports come from nm (ELF) or objdump (PE)."""

import argparse
import json
import os
import pathlib
import re
import subprocess
import sys

import known_faults


class Declarations:
    """Walks the syntax tree in document order. clang writes a location's
    file only when it differs from the previous location written, so the
    current file is tracked through every location of the tree."""

    SCOPES = {"TranslationUnitDecl", "LinkageSpecDecl", "NamespaceDecl"}

    def __init__(self, include_dir):
        self.include_dir = include_dir
        self.file = None
        self.found = {}  # symbol -> header

    def header_of(self, file):
        path = pathlib.Path(os.path.realpath(file)) if file else None
        if path and self.include_dir in path.parents:
            return path.relative_to(self.include_dir).as_posix()
        return None

    def visit(self, value, file_scope=False):
        if isinstance(value, list):
            for item in value:
                self.visit(item, file_scope)
        elif isinstance(value, dict):
            if "offset" in value or "tokLen" in value:
                self.file = value.get("file", self.file)
                return
            kind = value.get("kind")
            # An anonymous namespace gives internal linkage.
            inner_scope = kind in self.SCOPES and not (kind == "NamespaceDecl"
                                                       and "name" not in value)
            for key, item in value.items():
                self.visit(item, inner_scope if key == "inner" else False)
                if key == "loc" and file_scope:
                    self.consider(value)

    def consider(self, decl):
        header = self.header_of(self.file)
        if header and self.has_linkage(decl):
            self.found.setdefault(decl["mangledName"], header)

    @staticmethod
    def has_linkage(decl):
        if "mangledName" not in decl or decl.get("isImplicit"):
            return False
        if decl["kind"] == "FunctionDecl":
            return not (decl.get("inline") or decl.get("constexpr")
                        or decl.get("storageClass") == "static")
        if decl["kind"] == "VarDecl":
            return decl.get("storageClass") == "extern" and not decl.get("inline")
        return False


def declared_symbols(clang, include_dir):
    headers = sorted(p.relative_to(include_dir).as_posix() for p in include_dir.rglob("*.h"))
    source = "".join(f'#include "{h}"\n' for h in headers)
    # FERRY_STATIC_DEFINE empties FERRY_API: its Windows form means nothing
    # to a Linux clang, and the declarations are the same either way.
    done = subprocess.run([clang, "-x", "c++", "-std=c++20", "-fsyntax-only", "-DFERRY_STATIC_DEFINE",
                           "-I", str(include_dir), "-Xclang", "-ast-dump=json", "-"],
                          input=source, capture_output=True, text=True)
    if done.returncode:
        sys.exit(f"clang could not read the headers:\n{done.stderr}")
    walker = Declarations(include_dir)
    walker.visit(json.loads(done.stdout), True)
    return headers, walker.found


def elf_exports(nm, library):
    out = subprocess.run([nm, "-D", "--defined-only", "--format=posix", library],
                         capture_output=True, text=True, check=True).stdout
    return {line.split()[0] for line in out.splitlines() if line.strip()}


def pe_exports(objdump, library):
    out = subprocess.run([objdump, "-p", library], capture_output=True, text=True,
                         check=True).stdout
    table = out.split("[Ordinal/Name Pointer] Table", 1)
    if len(table) < 2:
        return set()
    names = set()
    for line in table[1].splitlines()[1:]:
        match = re.match(r"\s*\[\s*\d+\]\s+(\S+)", line)
        if not match:
            break
        names.add(match.group(1))
    return names


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--include-dir", required=True)
    parser.add_argument("--clang", required=True)
    parser.add_argument("--elf")
    parser.add_argument("--nm")
    parser.add_argument("--pe")
    parser.add_argument("--objdump")
    parser.add_argument("--known-faults", required=True)
    args = parser.parse_args()

    include_dir = pathlib.Path(os.path.realpath(args.include_dir))
    headers, declared = declared_symbols(args.clang, include_dir)
    if args.elf:
        library, exported = args.elf, elf_exports(args.nm, args.elf)
    else:
        library, exported = args.pe, pe_exports(args.objdump, args.pe)
    if not declared or not exported:
        sys.exit(f"found {len(declared)} declarations and {len(exported)} exports: "
                 "nothing to compare")
    print(f"{len(declared)} declarations in {len(headers)} headers; "
          f"{len(exported)} symbols exported by {library}")

    missing = {}
    for symbol, header in declared.items():
        if symbol not in exported:
            missing.setdefault(header, []).append(symbol)
    failures = {(header, "exports"): "declared but not exported: " + ", ".join(sorted(symbols))
                for header, symbols in missing.items()}
    status = known_faults.verdict(failures, known_faults.load(args.known_faults), {"exports"})
    leaked = sorted(exported - declared.keys())
    if leaked:
        print("FAILED exported but declared by no public header:\n  " + "\n  ".join(leaked))
        status = 1
    sys.exit(status)


if __name__ == "__main__":
    main()
