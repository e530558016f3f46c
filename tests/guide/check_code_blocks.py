#!/usr/bin/env python3
"""check_code_blocks.py GUIDE EXAMPLES_DIR

Every ```cpp block of GUIDE must appear, character for character, in some
file of EXAMPLES_DIR (*.cpp, *.h), so that the guide shows only code the
tests compile and run. Exits 1 naming each block that is not found, and
also when the guide has no C++ block at all.

check_code_blocks.py --self-test checks that a drifted block is caught.
"""
import os
import re
import sys
import tempfile

FENCE = re.compile(r"^```cpp[ \t]*\n(.*?)^```[ \t]*$", re.M | re.S)


def blocks(text):
    return [(text.count("\n", 0, m.start()) + 1, m.group(1)) for m in FENCE.finditer(text)]


def sources(folder):
    found = {}
    for name in sorted(os.listdir(folder)):
        if name.endswith((".cpp", ".h")):
            with open(os.path.join(folder, name), encoding="utf-8") as f:
                found[name] = f.read()
    return found


def check(guide, folder, out=sys.stdout):
    with open(guide, encoding="utf-8") as f:
        text = f.read()
    found = blocks(text)
    files = sources(folder)
    if not found:
        print(f"{guide}: no ```cpp block", file=out)
        return 1
    if not files:
        print(f"{folder}: no example file", file=out)
        return 1
    bad = 0
    for line, body in found:
        if not body.strip():
            print(f"{guide}:{line}: empty block", file=out)
            bad += 1
            continue
        if not any(body in src for src in files.values()):
            first = body.strip().splitlines()[0]
            print(f"{guide}:{line}: block not found in {folder}: {first}", file=out)
            bad += 1
    print(f"{len(found) - bad} of {len(found)} blocks found in {len(files)} example files", file=out)
    return 1 if bad else 0


def self_test():
    with tempfile.TemporaryDirectory() as d:
        ex = os.path.join(d, "examples")
        os.mkdir(ex)
        with open(os.path.join(ex, "a.cpp"), "w") as f:
            f.write("int a() {\n    return 1;\n}\n\nint b() { return 2; }\n")
        guide = os.path.join(d, "guide.md")
        cases = [
            ("```cpp\nint a() {\n    return 1;\n}\n```\n", 0),
            ("```cpp\nint b() { return 2; }\n```\n", 0),
            ("```cpp\nint a() {\n    return 2;\n}\n```\n", 1),   # drifted
            ("```cpp\nint a() {\n  return 1;\n}\n```\n", 1),     # reindented
            ("```cpp\n```\n", 1),                                # empty
            ("no code here\n```sh\nls\n```\n", 1),               # no C++ block
        ]
        failed = 0
        for text, want in cases:
            with open(guide, "w") as f:
                f.write(text)
            got = check(guide, ex, out=open(os.devnull, "w"))
            if got != want:
                print(f"self-test: expected {want}, got {got} for {text!r}")
                failed += 1
        print("self-test", "failed" if failed else "passed")
        return 1 if failed else 0


if __name__ == "__main__":
    if sys.argv[1:] == ["--self-test"]:
        sys.exit(self_test())
    if len(sys.argv) != 3:
        print(__doc__, file=sys.stderr)
        sys.exit(2)
    sys.exit(check(sys.argv[1], sys.argv[2]))
