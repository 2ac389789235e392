#!/usr/bin/env python3
"""Checks that dependencies point one way: each folder includes only the
folders below it, and only base/ and platform/ call the platform's os_*
functions. The linker cannot tell (the executables link every module), so
this does. Test sources are exempt; so is frame/entry.cpp, the executable's
entry, which registers every layer's commands.

Usage: check_layers.py [--root DIR]. Exit 0 with one line, or 1 listing
every include or call that points the wrong way.
"""
import argparse
import os
import re
import sys

# What each folder's sources may include, besides their own folder.
ALLOWED = {
    "platform": {"platform/platform.h", "base/err.h"},
    "base": {"platform/platform.h"},
    "hash": {"base/"},
    "frame": {"base/", "platform/platform.h"},
    "store": {"frame/", "hash/", "base/", "platform/platform.h"},
    "copy": {"store/", "frame/", "hash/", "base/", "platform/platform.h"},
}
# Folders whose code may call the platform's functions.
CALLERS_OF_PLATFORM = {"base", "platform"}
EXEMPT = {"frame/entry.cpp"}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"')
OS_CALL = re.compile(r"\bos_[a-z0-9_]+\s*\(")


def allowed(layer, own, target):
    """Whether a source in folder `own` of `layer` may include `target`.
    A platform folder keeps to itself and the shared interface."""
    if target.startswith(own + "/"):
        return True
    return any(target == a or (a.endswith("/") and target.startswith(a)) for a in ALLOWED[layer])


def strip_comments(line):
    return line.split("//", 1)[0]


def check(root):
    faults = []
    files = 0
    for layer in ALLOWED:
        for folder, _, names in os.walk(os.path.join(root, layer)):
            own = os.path.relpath(folder, root).replace(os.sep, "/")
            for name in sorted(names):
                if not name.endswith((".cpp", ".h")) or name.endswith("_test.cpp"):
                    continue
                rel = own + "/" + name
                if rel in EXEMPT or own == "platform/fault":
                    continue
                files += 1
                with open(os.path.join(folder, name), encoding="utf-8") as f:
                    for number, line in enumerate(f, 1):
                        m = INCLUDE.match(line)
                        if m and "/" in m.group(1):
                            target = m.group(1)
                            if not allowed(layer, own, target):
                                faults.append("%s:%d: includes %s" % (rel, number, target))
                        if layer not in CALLERS_OF_PLATFORM:
                            call = OS_CALL.search(strip_comments(line))
                            if call:
                                faults.append("%s:%d: calls %s)" % (rel, number, call.group(0)))
    return files, faults


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--root", default=os.path.join(os.path.dirname(__file__), ".."))
    args = parser.parse_args()
    files, faults = check(os.path.abspath(args.root))
    if files == 0:
        print("layers: no sources found under %s" % args.root)
        return 1
    for fault in faults:
        print(fault)
    if faults:
        print("layers: %d wrong-way dependencies" % len(faults))
        return 1
    print("layers: %d sources keep to their layers" % files)
    return 0


if __name__ == "__main__":
    sys.exit(main())
