#!/usr/bin/env python3
"""Stores are the same bytes on every platform: a store that the Linux
program writes is read by the Windows program (run under Wine) and the other
way round. Each direction, with and without compression, stores a file with
one program and restores it with the other, checks that the reader adds no
chunk for data the writer stored, and that both describe the chunk map alike.

usage: cross_store_test.py PATH/TO/zuvo PATH/TO/zuvo.exe
"""
import os
import random
import subprocess
import sys

from harness import check, run_tests, take_summary

LINUX = None
WINDOWS = None


def run(program, args, cwd):
    if program == WINDOWS:
        command = ["wine", WINDOWS] + args
    else:
        command = [LINUX] + args
    proc = subprocess.run(command, cwd=cwd, capture_output=True, stdin=subprocess.DEVNULL)
    check(proc.returncode == 0 and proc.stderr == b"",
          "%s %r: exit %d, %r %r" % (os.path.basename(program), args, proc.returncode,
                                     proc.stdout[-300:], proc.stderr[-300:]))
    return take_summary(proc.stdout.decode("utf-8", "surrogateescape"), 0)[0]


def source_bytes(seed):
    """Random chunks, some of them repeated, a zero run and a short tail."""
    rng = random.Random(seed)
    block = [rng.randbytes(65536) for _ in range(5)]
    data = block[0] + block[1] + block[0] + bytes(3 * 65536) + block[2] + block[1]
    return data + block[3][:12345]


def chunk_files(store):
    names = set()
    for folder, _, files in os.walk(os.path.join(store, ".zuvo")):
        names.update(os.path.relpath(os.path.join(folder, f), store) for f in files)
    return names


def info_fields(text):
    """The parameters that info reports, without the paths."""
    return [line.strip() for line in text.splitlines()
            if ":" in line and not line.startswith(("file:", "store:"))]


def one_direction(tmp, writer, reader, compress):
    store = os.path.join(tmp, "st")
    run(writer, ["create_store", "-i", "65536", "-n", "2", "-w", "2"] + (["-z"] if compress else [])
        + ["st"], tmp)
    os.makedirs(os.path.join(store, "in"))
    data = source_bytes(7 if compress else 8)
    with open(os.path.join(tmp, "src.bin"), "wb") as f:
        f.write(data)

    out = run(writer, ["copy", "src.bin", "st/in"], tmp)
    check(out.endswith("copy complete\n"), "writer copy: %r" % out[-200:])
    stored = chunk_files(store)
    check(len(stored) == 6, "distinct chunks plus _info: %d" % len(stored))

    # The reader restores the writer's file byte for byte.
    run(reader, ["copy", "st/in/src.bin", "back.bin"], tmp)
    with open(os.path.join(tmp, "back.bin"), "rb") as f:
        check(f.read() == data, "restored bytes differ")

    # The reader stores the same data again: every chunk is found, none added.
    run(reader, ["copy", "src.bin", "st/in/again.bin"], tmp)
    check(chunk_files(store) == stored, "the reader added chunks for stored data")
    with open(os.path.join(store, "in", "src.bin"), "rb") as a, \
            open(os.path.join(store, "in", "again.bin"), "rb") as b:
        check(a.read() == b.read(), "the two programs wrote different chunk maps")

    # New data stored by the reader comes back through the writer.
    more = source_bytes(9)
    with open(os.path.join(tmp, "more.bin"), "wb") as f:
        f.write(more)
    run(reader, ["copy", "more.bin", "st/in"], tmp)
    run(writer, ["copy", "st/in/more.bin", "more_back.bin"], tmp)
    with open(os.path.join(tmp, "more_back.bin"), "rb") as f:
        check(f.read() == more, "the writer restored the reader's file wrongly")

    # Both describe the chunk map and its store alike.
    check(info_fields(run(writer, ["info", "st/in/src.bin"], tmp)) ==
          info_fields(run(reader, ["info", "st/in/src.bin"], tmp)), "info differs")


def main():
    global LINUX, WINDOWS
    LINUX = os.path.abspath(sys.argv[1])
    WINDOWS = os.path.abspath(sys.argv[2])
    tests = []
    for writer, reader in ((LINUX, WINDOWS), (WINDOWS, LINUX)):
        for compress in (False, True):
            name = "%s -> %s%s" % (os.path.basename(writer), os.path.basename(reader),
                                   " (-z)" if compress else "")
            tests.append((name, lambda tmp, w=writer, r=reader, c=compress:
                          one_direction(tmp, w, r, c)))
    return run_tests(tests)


if __name__ == "__main__":
    sys.exit(main())
