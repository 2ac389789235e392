#!/usr/bin/env python3
"""End-to-end tests of runs nobody watches: -q leaves the progress line out,
-t bounds the wait for a store in use (exit code 25), and the summary line of
copy, verify and prune gives exact counts, checked against the files on disk.

usage: unattended_test.py [--wine] PATH/TO/zuvo
"""
import os
import subprocess
import sys
import time

from harness import WINE, check, command, main, read, take_summary, write

K = 65536


def run(args, cwd, code=0):
    """(output without the summary line, the summary's values) of one run."""
    proc = subprocess.run(command(args), cwd=cwd, capture_output=True, stdin=subprocess.DEVNULL)
    out = proc.stdout.decode("utf-8", "surrogateescape").replace("\r\n", "\n")
    check(proc.returncode == code, "%r exited %d (expected %d): %r"
          % (args, proc.returncode, code, out[-300:]))
    check(proc.stderr == b"", "%r wrote to standard error: %r" % (args, proc.stderr))
    return take_summary(out, proc.returncode)


def chunk_files(store):
    """{path: size} of the chunk files in the store's dictionary."""
    found = {}
    for root, _, files in os.walk(os.path.join(store, ".zuvo")):
        for name in files:
            if len(name) == 64:
                found[os.path.join(root, name)] = os.path.getsize(os.path.join(root, name))
    return found


def pieces(seed, count):
    return [bytes([seed + i]) * 7 + os.urandom(K - 7) for i in range(count)]


def test_quiet(tmp):
    store = os.path.join(tmp, "s")
    run(["create_store", "-i", str(K), store], tmp)
    write(os.path.join(tmp, "a"), b"".join(pieces(1, 40)))
    for command_line in (["copy", "a", store], ["verify", store]):
        loud, _ = run(command_line, tmp)
        quiet, values = run(command_line[:1] + ["-q"] + command_line[1:], tmp)
        check("\b" in loud and "|" in loud, "no progress line without -q: %r" % loud)
        # Only the redraws go: every other line stays as it was.
        kept = [l for l in loud.split("\n") if "\b" not in l and not l.startswith("|")]
        check(quiet.split("\n") == kept, "%r -q printed %r, not %r" % (command_line, quiet, kept))
        check(values and values["exit"] == 0, "no summary with -q: %r" % quiet)
    _, values = run(["prune", "-q", store], tmp)
    check(values["removed"] == 0, "prune -q: %r" % values)


def test_summary_counts(tmp):
    store = os.path.join(tmp, "s")
    run(["create_store", "-i", str(K), store], tmp)
    a = pieces(1, 6)
    b = a[:3] + pieces(50, 2)
    write(os.path.join(tmp, "a"), b"".join(a) + b"tail")  # a short last chunk
    write(os.path.join(tmp, "b"), b"".join(b))
    size_a, size_b = 6 * K + 4, 5 * K
    _, s = run(["copy", "-q", "a", store], tmp)
    check((s["files"], s["bytes"], s["read"], s["compared"], s["written"], s["chunks"],
           s["chunks_new"], s["chunks_existing"]) == (1, size_a, size_a, 0, size_a, 7, 7, 0),
          "copy a: %r" % s)
    check(len(chunk_files(store)) == 7, "seven chunk files")
    # Two sources: b shares three chunks with a, and a again shares all.
    _, s = run(["copy", "-q", "-d", store, "b", "a"], tmp)
    check((s["files"], s["bytes"], s["read"], s["written"], s["chunks"], s["chunks_new"],
           s["chunks_existing"]) == (2, size_b + size_a, size_b + size_a, 2 * K, 12, 2, 10),
          "copy b a: %r" % s)
    files = chunk_files(store)
    check(len(files) == 9, "nine chunk files")
    _, s = run(["verify", "-q", store], tmp)
    check((s["stores"], s["maps"], s["chunks"], s["bytes"], s["problems"], s["moved"]) ==
          (1, 2, 9, 9 * K, 0, 0), "verify: %r" % s)
    # A restore over a file that holds all but one chunk rewrites that one.
    out = os.path.join(tmp, "a.out")
    stale = bytearray(read(os.path.join(tmp, "a")))
    stale[K + 9] ^= 1
    write(out, bytes(stale))
    _, s = run(["copy", "-q", os.path.join(store, "a"), out], tmp)
    check((s["compared"], s["written"], s["chunks"], s["chunks_new"], s["chunks_existing"]) ==
          (size_a, K, 7, 1, 6), "restore: %r" % s)
    check(read(out) == read(os.path.join(tmp, "a")), "restored")
    # Without b's map its two own chunks go; prune -n counts them first.
    os.remove(os.path.join(store, "b"))
    _, dry = run(["prune", "-n", store], tmp)
    _, s = run(["prune", store], tmp)
    gone = {p: n for p, n in files.items() if p not in chunk_files(store)}
    check(len(gone) == 2 and len(chunk_files(store)) == 7, "b's two chunks removed")
    for values, dry_run in ((dry, 1), (s, 0)):
        check((values["maps"], values["kept"], values["removed"], values["removed_bytes"],
               values["temps"], values["dry_run"]) == (1, 7, 2, sum(gone.values()), 0, dry_run),
              "prune: %r" % values)
    # A damaged chunk: verify's own exit code, counted, and moved aside with -r.
    victim = sorted(chunk_files(store))[0]
    raw = bytearray(read(victim))
    raw[100] ^= 1
    write(victim, bytes(raw))
    _, s = run(["verify", "-q", "-r", store], tmp, 27)
    check((s["exit"], s["problems"], s["moved"]) == (27, 1, 1), "verify -r: %r" % s)
    # The command line refused: no summary line.
    out, s = run(["copy", "-t", "soon", "a", store], tmp, 4)
    check(s is None and "ERROR: Invalid wait limit" in out, out)


def test_lock_wait(tmp):
    if WINE:
        return  # the lock below is a POSIX one
    import fcntl
    store = os.path.join(tmp, "s")
    run(["create_store", "-i", str(K), store], tmp)
    write(os.path.join(tmp, "a"), os.urandom(3 * K))
    run(["copy", "a", store], tmp)
    with open(os.path.join(store, ".zuvo", "_info"), "rb") as held:
        fcntl.flock(held, fcntl.LOCK_EX)  # as a prune holds it
        for switches, least, most in ((["-t", "1"], 0.9, 3.0), (["-t", "0"], 0, 0.5),
                                      (["-b"], 0, 0.5), (["-b", "-t", "9"], 0, 0.5)):
            for command_line in (["copy"] + switches + ["a", os.path.join(store, "x")],
                                 ["verify"] + switches + [store],
                                 ["prune"] + switches + [store]):
                start = time.monotonic()
                out, s = run(command_line, tmp, 25)
                took = time.monotonic() - start
                check(least <= took <= most, "%r gave up after %.2f s" % (command_line, took))
                check("ERROR: Store " in out and s["exit"] == 25, out)
        check(not os.path.exists(os.path.join(store, "x")), "nothing copied")
        # A limit longer than the other's hold: the copy waits, then runs.
        waiter = subprocess.Popen(command(["copy", "-t", "20", "a", os.path.join(store, "x")]),
                                  cwd=tmp, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                  stderr=subprocess.PIPE)
        line = waiter.stdout.readline().decode()
        check(line.startswith("waiting for the store"), line)
    out, err = waiter.communicate(timeout=60)
    check(waiter.returncode == 0 and err == b"", "copy after the wait: %r" % out)
    check(os.path.exists(os.path.join(store, "x")), "copied after the wait")


if __name__ == "__main__":
    sys.exit(main([test_quiet, test_summary_counts, test_lock_wait]))
