#!/usr/bin/env python3
"""Crash soak: ingests killed with SIGKILL at random moments, then the store
is checked from the outside.

Each run makes a fresh store (raw or compressing, 4 or 16 KiB chunks), often
seeds it with an earlier complete ingest, then starts one ingest, or two at
once whose data overlaps (sometimes both into the same chunk map name), and
kills them at a random moment. Afterwards:
  - every chunk file hashes to its name (compressed chunks inflated first),
    and has a size a chunk file may have;
  - every chunk map in the store restores, with the tool itself, to exactly
    one of the versions of the data that were ever copied to that name;
  - each killed ingest, run again, completes and restores correctly.
Temporary files left behind by killed writers are counted, not failed.

usage: crash_soak.py PATH/TO/zuvo RUNS [--seed S] [--keep] [--base FOLDER]
Exit code 0 when no damage was found; the last line sums up the numbers.
"""
import argparse
import hashlib
import os
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import zlib

MAP_MAGIC = b"zuvo1.f\n"
TEMP_PREFIX = ".zuvo-tmp-"


class Stats:
    def __init__(self):
        self.runs = 0
        self.processes = 0
        self.killed_midway = 0     # still running when the signal came
        self.finished_first = 0    # done before the signal
        self.chunks_checked = 0
        self.maps_checked = 0
        self.damaged = 0
        self.temp_left = 0         # temporary files found after the kills
        self.temp_after_rerun = 0  # ... and still there after the reruns
        self.problems = []

    def damage(self, run, what):
        self.damaged += 1
        self.problems.append("run %d: %s" % (run, what))


def zuvo(exe, *args, cwd=None):
    return subprocess.run([exe] + list(args), cwd=cwd, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT)


def read(path):
    with open(path, "rb") as h:
        return h.read()


def make_data(rng, pool, size, chunk):
    """Data built from a shared pool of blocks, so that sources overlap and
    repeat chunks; a few blocks are fresh random bytes."""
    out = bytearray()
    while len(out) < size:
        if rng.random() < 0.25:
            out += rng.randbytes(chunk)
        else:
            out += pool[rng.randrange(len(pool))]
    # Odd sizes exercise the zero-padded last chunk.
    return bytes(out[:size - rng.randrange(chunk)])


def chunk_ok(path, name, k, compressed):
    """None when the chunk file matches its name, else what is wrong."""
    with open(path, "rb") as f:
        raw = f.read()
    if len(raw) == k:
        data = raw
    elif compressed and 0 < len(raw) <= k - 4096:
        try:
            d = zlib.decompressobj(-15)
            data = d.decompress(raw, k + 1)
            if not d.eof or d.unconsumed_tail or len(data) != k:
                return "deflate stream of %d bytes gives %d bytes" % (len(raw), len(data))
        except zlib.error as e:
            return "does not inflate: %s" % e
    else:
        return "size %d" % len(raw)
    if hashlib.sha512(data).digest()[:32].hex() != name:
        return "content does not hash to its name"
    return None


def check_chunks(stats, run, store, k, compressed):
    temps = 0
    for root, dirs, files in os.walk(os.path.join(store, ".zuvo")):
        for f in files:
            path = os.path.join(root, f)
            if f.startswith(TEMP_PREFIX):
                temps += 1
                continue
            if root == os.path.join(store, ".zuvo") and f == "_info":
                continue
            if len(f) != 64 or any(c not in "0123456789abcdef" for c in f):
                stats.damage(run, "stray file in the dictionary: %s" % path)
                continue
            stats.chunks_checked += 1
            bad = chunk_ok(path, f, k, compressed)
            if bad:
                stats.damage(run, "chunk %s: %s" % (path, bad))
    return temps


def check_maps(stats, run, exe, store, versions, scratch):
    """Each chunk map restores to one of the versions copied to its name."""
    temps = 0
    for f in sorted(os.listdir(store)):
        path = os.path.join(store, f)
        if f == ".zuvo" or os.path.isdir(path):
            continue
        if f.startswith(TEMP_PREFIX):
            temps += 1
            continue
        with open(path, "rb") as h:
            head = h.read(8)
        if head != MAP_MAGIC:
            stats.damage(run, "%s is not a chunk map" % path)
            continue
        stats.maps_checked += 1
        out = os.path.join(scratch, "restored")
        if os.path.exists(out):
            os.remove(out)
        r = zuvo(exe, "copy", path, out)
        if r.returncode != 0:
            stats.damage(run, "%s does not restore: %r" % (path, r.stdout[-300:]))
            continue
        if read(out) not in versions.get(f, ()):
            stats.damage(run, "%s restores to data never copied there" % path)
    return temps


def one_run(exe, run, rng, base, stats):
    work = os.path.join(base, "run%d" % run)
    os.makedirs(work)
    k = rng.choice((4096, 16384))
    compressed = rng.random() < 0.5
    store = os.path.join(work, "store")
    args = ["create_store", "-i", str(k)] + (["-z"] if compressed else []) + [store]
    if zuvo(exe, *args).returncode != 0:
        raise SystemExit("create_store failed in run %d" % run)

    # Blocks of zeros compress; random ones do not.
    pool = [rng.randbytes(k) for _ in range(12)] + [bytes(k)]
    versions = {}  # map name -> every data copied there

    def source(name, data):
        path = os.path.join(work, name)
        with open(path, "wb") as h:
            h.write(data)
        return path

    # Often an earlier version is in place: the killed copy must not spoil it.
    if rng.random() < 0.5:
        old = make_data(rng, pool, rng.randrange(k, 160 * k), k)
        r = zuvo(exe, "copy", source("old.bin", old), os.path.join(store, "a"))
        if r.returncode != 0:
            raise SystemExit("seed copy failed in run %d: %r" % (run, r.stdout[-300:]))
        versions.setdefault("a", []).append(old)

    # One ingest, or two at once with overlapping data.
    jobs = []
    count = 1 if rng.random() < 0.6 else 2
    for j in range(count):
        data = make_data(rng, pool, rng.randrange(1, 260 * k), k)
        name = "a" if j == 0 or rng.random() < 0.3 else "b"
        versions.setdefault(name, []).append(data)
        jobs.append((source("src%d" % j, data), name, data))

    procs = [subprocess.Popen([exe, "copy", src, os.path.join(store, name)],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
             for src, name, _ in jobs]
    stats.processes += len(procs)
    # Most kills land inside the copy; some before it starts, some after.
    time.sleep(rng.random() * stats.window)
    for p in procs:
        if rng.random() < 0.85 or len(procs) == 1:
            if p.poll() is None:
                p.send_signal(signal.SIGKILL)
        time.sleep(rng.random() * 0.01)
    for p in procs:
        p.wait()
        if p.returncode == -signal.SIGKILL:
            stats.killed_midway += 1
        elif p.returncode == 0:
            stats.finished_first += 1
        else:
            stats.damage(run, "an ingest failed by itself with exit code %d" % p.returncode)

    scratch = os.path.join(work, "scratch")
    os.makedirs(scratch)
    temps = check_chunks(stats, run, store, k, compressed)
    temps += check_maps(stats, run, exe, store, versions, scratch)
    stats.temp_left += temps

    # Run every ingest again to the end: it completes and restores exactly.
    for src, name, data in jobs:
        r = zuvo(exe, "copy", src, os.path.join(store, name))
        if r.returncode != 0:
            stats.damage(run, "rerun of %s failed: %r" % (name, r.stdout[-300:]))
            continue
        out = os.path.join(scratch, "rerun")
        if os.path.exists(out):
            os.remove(out)
        r = zuvo(exe, "copy", os.path.join(store, name), out)
        if r.returncode != 0 or read(out) != data:
            stats.damage(run, "rerun of %s does not restore its data" % name)
    stats.temp_after_rerun += check_chunks(stats, run, store, k, compressed)
    stats.runs += 1
    shutil.rmtree(work)


def calibrate(exe, base):
    """How long an uninterrupted ingest of a middle-sized source takes here."""
    work = os.path.join(base, "calibrate")
    os.makedirs(work)
    store = os.path.join(work, "s")
    zuvo(exe, "create_store", "-i", "4096", store)
    src = os.path.join(work, "src")
    with open(src, "wb") as h:
        h.write(os.urandom(130 * 4096))
    start = time.monotonic()
    zuvo(exe, "copy", src, store)
    elapsed = time.monotonic() - start
    shutil.rmtree(work)
    return max(elapsed, 0.02)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("zuvo")
    ap.add_argument("runs", type=int)
    ap.add_argument("--seed", type=int, default=None)
    ap.add_argument("--keep", action="store_true", help="keep the folder of a damaged run")
    ap.add_argument("--base", help="where the runs' folders go (a file system under test)")
    a = ap.parse_args()
    exe = os.path.abspath(a.zuvo)
    seed = a.seed if a.seed is not None else random.randrange(1 << 30)
    rng = random.Random(seed)
    stats = Stats()
    base = tempfile.mkdtemp(prefix="zuvo-soak-", dir=a.base)
    started = time.monotonic()
    try:
        stats.window = calibrate(exe, base)
        print("seed %d, kill window %.3f s" % (seed, stats.window))
        for run in range(a.runs):
            damaged_before = stats.damaged
            one_run(exe, run, rng, base, stats)
            if stats.damaged != damaged_before:
                for p in stats.problems[-(stats.damaged - damaged_before):]:
                    print("DAMAGE " + p)
            if (run + 1) % 50 == 0:
                print("%d runs, %.0f s" % (run + 1, time.monotonic() - started), flush=True)
    finally:
        if not (a.keep and stats.damaged):
            shutil.rmtree(base, ignore_errors=True)
    print("runs %d, processes %d, killed mid-way %d, finished before the kill %d, "
          "chunk files checked %d, chunk maps restored %d, damaged %d, "
          "temporary files left by kills %d (after reruns %d), %.0f s"
          % (stats.runs, stats.processes, stats.killed_midway, stats.finished_first,
             stats.chunks_checked, stats.maps_checked, stats.damaged, stats.temp_left,
             stats.temp_after_rerun, time.monotonic() - started))
    return 1 if stats.damaged else 0


if __name__ == "__main__":
    sys.exit(main())
