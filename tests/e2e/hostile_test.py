#!/usr/bin/env python3
"""End-to-end tests of `zuvo copy` and `create_store` on hostile and unusual
input: very long paths, odd names, the store path limit, a chunk map that
claims the largest chunk count, a source that is its own destination, pipes
and devices as sources, a source that changes while it is read, and two
copies into one destination. Each must end in the right result or a clear
error: never a crash, a hang, or data lost.

usage: hostile_test.py PATH/TO/zuvo
"""
import os
import resource
import stat
import struct
import subprocess
import sys
import threading
import time

from harness import check, read, run_tests, take_summary, write

ZUVO = None
TIMEOUT = 60


def run(args, cwd, limit_memory=None, timeout=TIMEOUT):
    def limit():
        if limit_memory:
            resource.setrlimit(resource.RLIMIT_AS, (limit_memory, limit_memory))
    try:
        proc = subprocess.run([ZUVO] + list(args), cwd=cwd, capture_output=True,
                              timeout=timeout, preexec_fn=limit)
    except subprocess.TimeoutExpired:
        check(False, "%r still running after %d s" % (args, timeout))
    check(proc.returncode >= 0, "%r died of signal %d" % (args, -proc.returncode))
    check(proc.returncode != 255, "%r ended with a fatal error: %r" % (args, proc.stdout))
    return proc.returncode, take_summary(proc.stdout, proc.returncode)[0]


def lines(out):
    """The output without progress redraws."""
    return [l for l in out.split(b"\n") if not l.startswith(b"|") and b"\b" not in l]


def create_store(tmp, path, *switches):
    rc, out = run(["create_store"] + list(switches) + [path], tmp)
    check(rc == 0, "create_store %r: %r" % (path, out))
    return path


def round_trip(tmp, store, src, name, data):
    rc, out = run(["copy", src, os.path.join(store, name)], tmp)
    check(rc == 0, "copy into the store: %r" % out)
    back = os.path.join(tmp, "back.bin")
    if os.path.exists(back):
        os.remove(back)
    rc, out = run(["copy", os.path.join(store, name), back], tmp)
    check(rc == 0 and read(back) == data, "restore of %r: %r" % (name, out))


def deep_folder(tmp, length):
    """A folder whose full path is exactly `length` bytes, made one name at a
    time relative to the last (the whole path may be too long for mkdir).
    Returns the path and an open descriptor of the folder (caller closes)."""
    path = tmp
    fd = os.open(tmp, os.O_RDONLY)
    while len(path) < length:
        remaining = length - len(path)  # the separator included
        step = min(200, remaining - 1)
        if remaining - 1 - step == 1:
            step -= 1  # never leave room for a one-byte remainder
        os.mkdir("d" * step, dir_fd=fd)
        inner = os.open("d" * step, os.O_RDONLY, dir_fd=fd)
        os.close(fd)
        fd = inner
        path = os.path.join(path, "d" * step)
    check(len(path) == length, "deep folder of %d bytes (made %d)" % (length, len(path)))
    return path, fd


def test_long_paths(tmp):
    # Source, destination and store paths around and beyond 4096 bytes: a
    # clear error or a correct copy, never a crash or a stray file.
    data = os.urandom(50000)
    write(os.path.join(tmp, "src"), data)
    store = create_store(tmp, os.path.join(tmp, "s"), "-i", "4096")
    run(["copy", "src", store], tmp)
    for length in (4090, 4096, 4097, 9000):
        top = os.path.join(tmp, "l%d" % length)
        os.mkdir(top)
        folder, fd = deep_folder(top, length - len("/f"))
        target = os.path.join(folder, "f")
        check(len(target) == length, "path length")
        # Destination.
        rc, out = run(["copy", "src", target], tmp)
        if rc == 0:
            check(read(target) == data, "%d-byte destination holds the data" % length)
        else:
            check(lines(out)[-2].startswith(b"ERROR: Unable to open/create destination"),
                  "%d-byte destination: %r" % (length, out[-300:]))
        # Source.
        with open(os.open("f", os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644, dir_fd=fd),
                  "wb") as f:
            f.write(data)
        os.close(fd)
        rc, out = run(["copy", target, "out%d" % length], tmp)
        if length < 4096:
            check(rc == 0 and read(os.path.join(tmp, "out%d" % length)) == data,
                  "%d-byte source: %r" % (length, out[-300:]))
        else:
            check(rc != 0 and b"ERROR: " in out, "%d-byte source: %r" % (length, out[-300:]))
            check(not os.path.exists(os.path.join(tmp, "out%d" % length)), "no output file")
        # A store there: refused by name, nothing created.
        rc, out = run(["create_store", os.path.join(folder, "st")], tmp)
        check(rc == 12 and out.startswith(b"ERROR: Bad folder name"), "%r" % out[-200:])
        # A chunk map from a store copied to the long path.
        rc, out = run(["copy", os.path.join(store, "src"), target + "m"], tmp)
        check(rc == 0 or b"ERROR: Unable to open/create destination" in out, repr(out[-300:]))


def test_odd_names(tmp):
    # Names that are not UTF-8, hold a newline or begin with '-': into a
    # store and back by name, and through folder destinations.
    store = create_store(tmp, os.path.join(tmp, "s"), "-z", "-i", "4096")
    os.mkdir(os.path.join(tmp, "out"))
    real = os.path.realpath(tmp).encode()
    for name in (b"bad\xff\xfe", b"\xc3", b"new\nline", b"-dash", b"-", b"--zz", b"-x y",
                 b"caf\xe9.bin", b"cut\xe2\x82", b"\x80\xc0\x80"):
        data = os.urandom(9000) + name
        src = os.path.join(tmp.encode(), name)
        write(src, data)
        proc = subprocess.run([ZUVO.encode(), b"copy", b"./" + name, store.encode()], cwd=tmp,
                              capture_output=True, timeout=TIMEOUT)
        check(proc.returncode == 0, "copy of %r: %r" % (name, proc.stdout))
        mapped = os.path.join(store.encode(), name)
        # Messages show the names' own bytes, UTF-8 or not.
        check(proc.stdout.startswith(b'copying "%s/%s" to "%s"\n' % (real, name, mapped)),
              "copying line of %r: %r" % (name, proc.stdout[:200]))
        proc = subprocess.run([ZUVO.encode(), b"info", mapped, name], cwd=tmp,
                              capture_output=True, timeout=TIMEOUT)
        check(proc.stdout.startswith(b'WARNING: Ignoring unexpected argument "%s"\nfile: %s\n'
                                     % (name, mapped)), "info of %r: %r" % (name, proc.stdout))
        proc = subprocess.run([ZUVO.encode(), b"copy", b"./" + name + b".gone", b"out"],
                              cwd=tmp, capture_output=True, timeout=TIMEOUT)
        check(b'ERROR: Unable to open source "%s/%s.gone"\n' % (real, name) in proc.stdout,
              "error text of %r: %r" % (name, proc.stdout))
        check(read(mapped)[:8] == b"zuvo1.f\n", "map named %r" % name)
        proc = subprocess.run([ZUVO.encode(), b"copy", mapped, b"out"], cwd=tmp,
                              capture_output=True, timeout=TIMEOUT)
        check(proc.returncode == 0, "restore of %r: %r" % (name, proc.stdout))
        check(read(os.path.join(tmp.encode(), b"out", name)) == data, "data of %r" % name)
    # A two-byte name beginning with '-' is a switch; "./-n" names the file.
    write(os.path.join(tmp, "-n"), b"dash n")
    rc, out = run(["copy", "./-n", "dn"], tmp)
    check(rc == 0 and read(os.path.join(tmp, "dn")) == b"dash n", repr(out))


def test_store_path_limit(tmp):
    # A store folder of 414 bytes holds the deepest dictionary; 415 is refused.
    parent, fd = deep_folder(tmp, 300)
    os.close(fd)
    at_limit = os.path.join(parent, "u" * (414 - len(parent) - 1))
    check(len(at_limit) == 414, "414 bytes")
    create_store(tmp, at_limit, "-i", "4096", "-n", "3", "-w", "4", "-z")
    data = os.urandom(70000)
    write(os.path.join(tmp, "src"), data)
    round_trip(tmp, at_limit, "src", "f", data)
    over = at_limit + "x"
    rc, out = run(["create_store", over], tmp)
    check(rc == 12 and out == b'ERROR: Bad folder name "%s"\n' % over.encode(), repr(out))
    check(not os.path.exists(over), "nothing created")
    # A store made by hand at 415 bytes cannot be used: a copy into it or out
    # of it fails clearly and writes nothing (never plain data into a store).
    os.makedirs(os.path.join(over, ".zuvo"))
    write(os.path.join(over, ".zuvo", "_info"), read(os.path.join(at_limit, ".zuvo", "_info")))
    rc, out = run(["copy", "src", over], tmp)
    check(rc == 12 and lines(out)[-2].startswith(b"ERROR: Bad folder name"), repr(out[-200:]))
    check(sorted(os.listdir(over)) == [".zuvo"], "nothing written into the store")
    write(os.path.join(over, "m"), read(os.path.join(at_limit, "f")))
    rc, out = run(["copy", os.path.join(over, "m"), "m.out"], tmp)
    check(rc in (8, 12) and b"ERROR: " in out, repr(out[-200:]))
    check(not os.path.exists(os.path.join(tmp, "m.out")), "nothing restored")


def map_header(file_size, chunk):
    return b"zuvo1.f\n" + struct.pack("<QI", file_size, chunk) + bytes([32, 1]) + bytes(42)


def test_huge_chunk_map_claims(tmp):
    # Headers that claim 33554432 chunks (a 1 GiB slot table), under a
    # 400 MB address space limit.
    limit = 400 << 20
    probe = subprocess.run([ZUVO], capture_output=True, timeout=TIMEOUT, preexec_fn=lambda:
                           resource.setrlimit(resource.RLIMIT_AS, (limit, limit)))
    if probe.returncode != 0 or not probe.stdout:
        # A sanitizer build reserves more address space than the limit allows.
        print("  (the executable does not start under a memory limit: skipped)")
        return
    store = create_store(tmp, os.path.join(tmp, "s"), "-i", "4096")
    claim = map_header(33554432 * 4096, 4096)
    # The size is wrong, or one chunk more than allowed: damaged maps,
    # refused before anything is loaded or written.
    for name, body, why in (("small", claim + bytes(1987 - 64), b"bad zuvo file size"),
                            ("over", map_header(33554433 * 4096, 4096) + bytes(1987 - 64),
                             b"unsupported too many chunks")):
        path = os.path.join(store, name)
        write(path, body)
        for args in (["copy", path, name + ".out"], ["info", path]):
            rc, out = run(args, tmp, limit)
            check(rc == 3 and lines(out)[-2] == b'ERROR: Damaged chunk map "%s": %s'
                  % (path.encode(), why), "%r: %r" % (args, out[-200:]))
        check(not os.path.exists(os.path.join(tmp, name + ".out")), "no output")
        os.remove(path)
    # Regression: a valid map of that size that cannot be loaded in memory
    # was copied as a plain file (its own gigabyte of bytes), reported as a
    # success. It is an out-of-memory error, and nothing is written.
    sparse = os.path.join(store, "sparse")
    with open(sparse, "wb") as f:
        f.write(claim)
        f.truncate(((32 * (33554432 + 2) + 60) // 2048) * 2048 + 1987)
    rc, out = run(["copy", sparse, "sparse.out"], tmp, limit)
    check(rc == 6 and lines(out)[-2] == b'ERROR: Out of memory reading "%s"' % sparse.encode(),
          repr(out[-200:]))
    check(not os.path.exists(os.path.join(tmp, "sparse.out")), "no output")
    # info reads the header only: the same map is the map it is, not a file.
    rc, out = run(["info", sparse], tmp, limit)
    check(rc == 0 and b"  type: zuvo-file\n" in out and
          b"  file-size: %d\n" % (33554432 * 4096) in out, repr(out))


def test_damaged_chunk_maps(tmp):
    # Regression: a chunk map cut short (an interrupted transfer), with its
    # size field spoiled or a byte appended was restored as its own bytes and
    # reported as done, and copied into another store as plain data. Every
    # command refuses it with exit code 3, naming it, and changes nothing.
    store = create_store(tmp, os.path.join(tmp, "s"), "-i", "4096")
    other = create_store(tmp, os.path.join(tmp, "o"), "-i", "4096")
    for name in ("p", "gone"):
        write(os.path.join(tmp, name), os.urandom(50000))
        check(run(["copy", name, store], tmp)[0] == 0, "copy %s" % name)
    os.remove(os.path.join(store, "gone"))  # its chunks are unlisted: prune's to delete
    good = read(os.path.join(store, "p"))
    spoiled = good[:8] + struct.pack("<Q", 1 << 30) + good[16:]

    def files():
        return sorted((d, f) for d, _, fs in os.walk(tmp) for f in fs)

    for name, body in (("cut", good[:1000]), ("magic-cut", good[:5]), ("added", good + b"\0"),
                       ("spoiled", spoiled)):
        path = os.path.join(store, name)
        write(path, body)
        before = files()
        for args in (["copy", path, "out"], ["copy", path, other], ["info", path],
                     ["verify", path], ["prune", store]):
            rc, out = run(args, tmp)
            check(rc == 3 and lines(out)[-2] == b'ERROR: Damaged chunk map "%s": bad zuvo file '
                  b'size' % path.encode(), "%s %r: %r" % (name, args, out))
            check(files() == before, "%s %r changed nothing" % (name, args))
        for args in (["verify", store], ["verify", "-r", store]):
            rc, out = run(args, tmp)
            check(rc == 3 and b'Damaged chunk map "%s"' % path.encode() in out,
                  "%s %r: %r" % (name, args, out))
            check(files() == before, "%s %r changed nothing" % (name, args))
        os.remove(path)


def test_same_file_as_source_and_destination(tmp):
    # Regression: a chunk map restored onto itself through a link was cut to
    # the plain size and overwritten, losing the map. Every copy of a file
    # onto itself is refused and leaves the file as it was.
    store = create_store(tmp, os.path.join(tmp, "s"), "-i", "4096")
    data = os.urandom(100000)
    write(os.path.join(tmp, "p"), data)
    run(["copy", "p", store], tmp)
    mapped = os.path.join(store, "p")
    map_bytes = read(mapped)
    os.symlink(mapped, os.path.join(tmp, "map-link"))
    os.symlink(os.path.join(tmp, "p"), os.path.join(tmp, "p-link"))
    os.link(os.path.join(tmp, "p"), os.path.join(tmp, "p-hard"))
    for src, dst in (("p", "p"), ("p", "p-link"), ("p", "p-hard"), (mapped, mapped),
                     (mapped, "map-link"), ("map-link", mapped)):
        rc, out = run(["copy", src, dst], tmp)
        check(rc == 4 and lines(out)[-2].startswith(b"ERROR: Source and destination are the "
                                                    b"same file"), "%s -> %s: %r" % (src, dst, out))
        check(read(os.path.join(tmp, "p")) == data and read(mapped) == map_bytes,
              "%s -> %s left the files" % (src, dst))


def test_destination_folder_inside_store(tmp):
    store = create_store(tmp, os.path.join(tmp, "s"), "-i", "4096")
    folder = os.path.join(store, "docs")
    os.mkdir(folder)
    data = os.urandom(30000)
    write(os.path.join(tmp, "a"), data)
    # A folder as the last argument: the file goes inside it.
    round_trip(tmp, folder, "a", "a", data)
    # A folder named as the destination file: refused, the folder untouched.
    os.mkdir(os.path.join(folder, "b"))
    write(os.path.join(folder, "b", "keep"), b"keep")
    for switches in ([], ["-n"]):
        rc, out = run(["copy"] + switches + ["-f", os.path.join(folder, "b"), "a"], tmp)
        check(rc in (5, 10) and b"ERROR: Unable to " in out, "%r: %r" % (switches, out))
        check(os.listdir(os.path.join(folder, "b")) == ["keep"], "folder untouched")
    check([f for f in os.listdir(folder) if f.startswith(".zuvo-tmp")] == [], "no temp file")


def test_pipes_and_devices_as_source(tmp):
    # Regression: a FIFO without a writer made the copy wait forever in its
    # open, one with a writer and /dev/zero copied as empty and reported
    # success. The copy needs a size and positioned reads: such sources are
    # refused at once, before anything opens them for reading.
    store = create_store(tmp, os.path.join(tmp, "s"), "-i", "4096")
    fifo = os.path.join(tmp, "fifo")
    os.mkfifo(fifo)
    for src in (fifo, "/dev/zero", "/dev/null"):
        for dst in ("out", store):
            start = time.monotonic()
            rc, out = run(["copy", src, dst], tmp, timeout=20)
            check(rc == 4 and lines(out)[-2] == b'ERROR: Source is a pipe or character device '
                  b'"%s"' % src.encode(), "%s -> %s: %r" % (src, dst, out))
            check(time.monotonic() - start < 10, "refused at once")
    check(not os.path.exists(os.path.join(tmp, "out")), "no output")
    check(len(os.listdir(store)) == 1, "no chunk map")
    # A writer waiting at the FIFO is not blocked by the refusal either.
    writer = os.open(fifo, os.O_RDWR)
    try:
        rc, out = run(["copy", fifo, "out2"], tmp, timeout=20)
        check(rc == 4, repr(out))
    finally:
        os.close(writer)
    # Regression: a file that reports size 0 and holds data (procfs) was
    # copied as an empty file and reported as done.
    for dst in ("out3", store):
        rc, out = run(["copy", "/proc/self/mounts", dst], tmp)
        check(rc == 4 and lines(out)[-2] == b'ERROR: Source size cannot be known: it reports 0 '
              b'bytes but holds data "/proc/self/mounts"', "%s: %r" % (dst, out))
    check(not os.path.exists(os.path.join(tmp, "out3")), "no output")
    check(len(os.listdir(store)) == 1, "no chunk map")


def test_source_changing_during_copy(tmp):
    # Regression: a source rewritten while it was read gave a chunk map of
    # old and new chunks mixed, data the file never held. Now the copy fails
    # (the old map stays) or the map restores to one whole version.
    store = create_store(tmp, os.path.join(tmp, "s"), "-i", "4096")
    size = 24 << 20
    old = os.urandom(size)
    new = os.urandom(size)
    src = os.path.join(tmp, "src")
    before = os.urandom(5000)
    write(src, before)
    run(["copy", src, os.path.join(store, "m")], tmp)
    previous_map = read(os.path.join(store, "m"))
    for change in ("rewrite", "shrink", "grow"):
        write(src, old)
        proc = subprocess.Popen([ZUVO, "copy", src, os.path.join(store, "m")], cwd=tmp,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        proc.stdout.read(120)  # the copy has begun to draw progress
        time.sleep(0.05)
        if change == "rewrite":
            with open(src, "r+b") as f:
                f.write(new)
        elif change == "shrink":
            os.truncate(src, size // 3)
        else:
            with open(src, "ab") as f:
                f.write(new)
        out, _ = proc.communicate(timeout=120)
        if proc.returncode == 0:
            back = os.path.join(tmp, "back")
            if os.path.exists(back):
                os.remove(back)
            rc, _ = run(["copy", os.path.join(store, "m"), back], tmp)
            got = read(back)
            check(rc == 0 and got in (old, new), "%s: the map restores to mixed data" % change)
            previous_map = read(os.path.join(store, "m"))
        else:
            check(proc.returncode in (26, 14) and b"ERROR: " in out, "%s: %r" % (change, out[-200:]))
            check(read(os.path.join(store, "m")) == previous_map, "%s: old map kept" % change)


def test_two_copies_into_one_destination(tmp):
    # Regression: two copies into one plain file interleaved their chunks.
    # Now the destination is always one whole result; the loser reports an
    # error (or both succeed one after the other).
    store = create_store(tmp, os.path.join(tmp, "s"), "-i", "16384")
    a = os.urandom(8 << 20)
    b = os.urandom(8 << 20)
    write(os.path.join(tmp, "A"), a)
    write(os.path.join(tmp, "B"), b)
    for dest in ("plain.out", os.path.join(store, "m")):
        for _ in range(4):
            if os.path.exists(os.path.join(tmp, dest)):
                os.remove(os.path.join(tmp, dest))
            procs = [subprocess.Popen([ZUVO, "copy", s, dest], cwd=tmp, stdout=subprocess.PIPE,
                                      stderr=subprocess.PIPE) for s in ("A", "B")]
            outs = [p.communicate(timeout=120)[0] for p in procs]
            codes = [p.returncode for p in procs]
            check(0 in codes, "one copy succeeds: %r %r" % (codes, [o[-150:] for o in outs]))
            for code, out in zip(codes, outs):
                check(code == 0 or b"ERROR: Unable to open/create destination" in out,
                      "%d %r" % (code, out[-200:]))
            got = os.path.join(tmp, dest)
            if dest != "plain.out":
                got = os.path.join(tmp, "restored")
                rc, _ = run(["copy", os.path.join(store, "m"), got], tmp)
                check(rc == 0, "restore")
            check(read(got) in (a, b), "%s holds one whole result" % dest)


def files_under(*folders):
    """Every file below `folders`, by path, with its bytes."""
    found = {}
    for folder in folders:
        for root, _, names in os.walk(folder):
            for name in names:
                found[os.path.join(root, name)] = read(os.path.join(root, name))
    return found


def test_paths_name_what_the_system_names(tmp):
    # Regression: ".." after a link was taken as text, so "current/../data"
    # backed up ./data, not the file cat reads, and "current/../notes" as a
    # destination overwrote an unrelated ./notes.
    store = create_store(tmp, os.path.join(tmp, "s"), "-i", "4096")
    os.makedirs(os.path.join(tmp, "rel", "v2", "sub"))
    os.symlink(os.path.join("rel", "v2", "sub"), os.path.join(tmp, "current"))
    data = os.urandom(30000)
    write(os.path.join(tmp, "rel", "v2", "data"), data)
    write(os.path.join(tmp, "data"), b"decoy")
    write(os.path.join(tmp, "notes"), b"keep")
    cat = subprocess.run(["cat", "current/../data"], cwd=tmp, capture_output=True).stdout
    check(cat == data, "cat reads the target's sibling")
    rc, out = run(["copy", "current/../data", "s/"], tmp)
    check(rc == 0, "backup: %r" % out)
    rc, out = run(["copy", "s/data", "current/../notes"], tmp)
    notes = os.path.join(tmp, "rel", "v2", "notes")
    check(rc == 0 and os.path.exists(notes) and read(notes) == cat, "restore: %r" % out)
    check(read(os.path.join(tmp, "notes")) == b"keep", "./notes untouched")

    # Regression: a destination inside a store's metadata folder was taken: a
    # map beside _info (whose chunks prune then deleted), _info replaced, a
    # chunk file replaced. Refused now however it is spelt, before anything
    # is written; "t" has a metadata folder that is a link to "elsewhere".
    meta = os.path.join(store, ".zuvo")
    create_store(tmp, os.path.join(tmp, "t"))
    os.rename(os.path.join(tmp, "t", ".zuvo"), os.path.join(tmp, "elsewhere"))
    os.symlink(os.path.join(tmp, "elsewhere"), os.path.join(tmp, "t", ".zuvo"))
    chunk = next(p for p in files_under(meta) if not p.endswith("_info"))
    os.symlink(meta, os.path.join(tmp, "x"))
    os.symlink(os.path.dirname(chunk), os.path.join(tmp, "dx"))
    os.symlink(os.path.join(tmp, "elsewhere"), os.path.join(tmp, "y"))
    os.link(os.path.join(meta, "_info"), os.path.join(tmp, "hard-info"))
    before = files_under(meta, os.path.join(tmp, "elsewhere"))
    chunk_name = os.path.basename(chunk)
    for args in (["data", "s/.zuvo"], ["-f", "s/.zuvo/_info", "data"], ["data", "x/"],
                 ["s/data", "dx/" + chunk_name], ["data", "s/./.zuvo/q"],
                 ["data", "s/sub/../.zuvo/q"], ["data", "s/.ZUVO/q"], ["-d", "x/new", "data"],
                 ["data", "current/../../../x/_info"], ["data", "y/q"], ["data", "elsewhere/"],
                 ["s/data", "hard-info"]):
        rc, out = run(["copy"] + args, tmp)
        check(rc == 5 and b"ERROR: Destination inside the metadata folder of a store" in out,
              "%r: %d %r" % (args, rc, out))
        check(files_under(meta, os.path.join(tmp, "elsewhere")) == before, "%r wrote" % args)
    check(not os.path.exists(os.path.join(store, ".ZUVO")), "no .ZUVO folder made")
    rc, out = run(["copy", "s/data", "back"], tmp)
    check(rc == 0 and read(os.path.join(tmp, "back")) == data, "the store restores: %r" % out)


def main():
    global ZUVO
    ZUVO = os.path.abspath(sys.argv[1])
    tests = [test_long_paths, test_odd_names, test_store_path_limit, test_huge_chunk_map_claims,
             test_damaged_chunk_maps, test_same_file_as_source_and_destination, test_destination_folder_inside_store,
             test_pipes_and_devices_as_source, test_source_changing_during_copy,
             test_two_copies_into_one_destination, test_paths_name_what_the_system_names]
    return run_tests([(t.__name__, t) for t in tests], sys.argv[2:])


if __name__ == "__main__":
    sys.exit(main())
