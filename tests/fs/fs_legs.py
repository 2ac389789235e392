#!/usr/bin/env python3
"""The legs that scripts/fs_matrix.sh runs on each mounted file system:
round trips, two writers at once, a kill soak and a full disk. With a second
mount of the same folder (a network file system mounted twice, with separate
caches, as two machines would) the second writer goes through it.

usage: fs_legs.py ZUVO NAME FOLDER [--second FOLDER2] [--soak RUNS] [--full-disk] [--locks-across]
Prints one line per leg ("ok  name: leg: detail" or "FAIL ..."), then the
fallbacks the file system made the tool take; exit code 1 when a leg failed.
With --split OTHER a store in FOLDER keeps its metadata folder on OTHER's file
system, through a link; --only LEG runs the legs whose name contains LEG.
"""
import argparse
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "soak"))
import crash_soak  # noqa: E402  (chunk and map checks)

K = 16384
TEMP_PREFIX = ".zuvo-tmp-"
# The SSH file system keeps each client's locks to itself; --locks-across
# names one whose locks hold between its clients.
LOCKS_ACROSS_MOUNTS = False


class Failure(Exception):
    pass


def zuvo(exe, *args):
    return subprocess.run([exe] + list(args), stdout=subprocess.PIPE, stderr=subprocess.STDOUT)


def must(exe, *args):
    r = zuvo(exe, *args)
    if r.returncode != 0:
        raise Failure("zuvo %s: exit %d: %s" % (" ".join(args), r.returncode,
                                                r.stdout.decode(errors="replace")[-300:]))
    return r


def write(path, data):
    with open(path, "wb") as f:
        f.write(data)


def read(path):
    with open(path, "rb") as f:
        return f.read()


def check_store(store, compressed):
    """Every chunk file hashes to its name; returns (chunks, temporary files)."""
    stats = crash_soak.Stats()
    temps = crash_soak.check_chunks(stats, 0, store, K, compressed)
    if stats.damaged:
        raise Failure("; ".join(stats.problems[:3]))
    return stats.chunks_checked, temps


def restore_equals(exe, map_path, data, scratch):
    out = os.path.join(scratch, "restored")
    if os.path.exists(out):
        os.remove(out)
    must(exe, "copy", map_path, out)
    if read(out) != data:
        raise Failure("%s does not restore to its data" % map_path)


def leg_round_trips(exe, folder, local):
    rng = random.Random(1)
    sizes = [0, 1, K - 1, K, 3 * K + 17, 130 * K + 5]
    checked = 0
    for compressed in (False, True):
        store = os.path.join(folder, "rt-z" if compressed else "rt")
        must(exe, "create_store", "-i", str(K), *(["-z"] if compressed else []), store)
        for n in sizes:
            # Half repeated text (compresses, deduplicates), half random.
            data = (b"zuvo round trip " * (n // 32 + 1))[: n // 2] + rng.randbytes(n - n // 2)
            src = os.path.join(local, "src%d" % n)
            write(src, data)
            must(exe, "copy", src, os.path.join(store, "f%d" % n))
            # A stale, longer file at the destination is replaced exactly.
            out = os.path.join(folder, "out%d%s" % (n, "z" if compressed else ""))
            write(out, rng.randbytes(n + 3 * K))
            must(exe, "copy", os.path.join(store, "f%d" % n), out)
            if read(out) != data:
                raise Failure("restore over a stale file of %d bytes differs" % n)
            checked += 1
        check_store(store, compressed)
    # Store to store onto this file system and off it again.
    src_store = os.path.join(local, "s2s")
    must(exe, "create_store", "-i", str(K), src_store)
    data = rng.randbytes(40 * K + 100)
    write(os.path.join(local, "s2s.bin"), data)
    must(exe, "copy", os.path.join(local, "s2s.bin"), os.path.join(src_store, "m"))
    must(exe, "copy", os.path.join(src_store, "m"), os.path.join(folder, "rt-z", "m"))
    back_store = os.path.join(local, "back")
    must(exe, "create_store", "-i", str(K), back_store)
    must(exe, "copy", os.path.join(folder, "rt-z", "m"), os.path.join(back_store, "m"))
    restore_equals(exe, os.path.join(back_store, "m"), data, local)
    check_store(os.path.join(folder, "rt-z"), True)
    return "%d sizes x raw and compressing store, restores over stale files, store to store both ways" % checked


def leg_two_writers(exe, folder, second, local):
    """Two ingests of overlapping data into one store at once."""
    rng = random.Random(2)
    store = os.path.join(folder, "two")
    must(exe, "create_store", "-i", str(K), store)
    other = os.path.join(second or folder, "two")
    pool = [rng.randbytes(K) for _ in range(40)]
    rounds = 3
    for r in range(rounds):
        datas = [b"".join(pool[rng.randrange(len(pool))] for _ in range(300)) + rng.randbytes(K * 20)
                 for _ in range(2)]
        srcs = []
        for i, d in enumerate(datas):
            srcs.append(os.path.join(local, "w%d" % i))
            write(srcs[-1], d)
        targets = [os.path.join(store, "a%d" % r), os.path.join(other, "b%d" % r)]
        procs = [subprocess.Popen([exe, "copy", s, t], stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
                 for s, t in zip(srcs, targets)]
        for p in procs:
            out = p.communicate()[0]
            if p.returncode != 0:
                raise Failure("a writer failed: %s" % out.decode(errors="replace")[-300:])
        for t, d in zip(targets, datas):
            restore_equals(exe, t, d, local)
    chunks, temps = check_store(store, False)
    if temps:
        raise Failure("%d temporary files left by finished writers" % temps)
    where = "one through each mount" if second else "same mount"
    return "%d rounds, %s, %d chunk files re-hashed, every map restored" % (rounds, where, chunks)


def leg_soak(exe, folder, runs):
    soak = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "soak", "crash_soak.py")
    r = subprocess.run([sys.executable, soak, exe, str(runs), "--base", folder],
                       stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    last = r.stdout.decode(errors="replace").strip().splitlines()[-1:]
    if r.returncode != 0:
        raise Failure(r.stdout.decode(errors="replace")[-600:])
    return last[0] if last else ""


def leg_keeping(exe, folder, second, local):
    """Ingests, map deletions and prunes at once, then `verify`: 0 problems."""
    store = os.path.join(folder, "keep")
    must(exe, "create_store", "-i", str(K), store)
    os.makedirs(os.path.join(store, "m"))
    rng = random.Random(4)
    blocks = [rng.randbytes(K) for _ in range(48)]
    rounds = 6
    written, errors = {}, []

    def writer(w, root):
        for i in range(rounds):
            data = b"".join(blocks[rng.randrange(len(blocks))] for _ in range(40)) + os.urandom(K)
            name = "w%d_%d" % (w, i)
            src = os.path.join(local, name)
            write(src, data)
            r = zuvo(exe, "copy", src, os.path.join(root, "keep", "m", name))
            if r.returncode != 0:
                errors.append("copy %s: %r" % (name, r.stdout[-300:]))
            written[name] = data

    def deleter():
        for _ in range(rounds):
            time.sleep(0.15)
            maps = [m for m in os.listdir(os.path.join(store, "m")) if not m.startswith(TEMP_PREFIX)]
            if maps:
                try:
                    os.remove(os.path.join(store, "m", rng.choice(sorted(maps))))
                except FileNotFoundError:
                    pass

    def pruner():
        for _ in range(rounds):
            r = zuvo(exe, "prune", store)
            if r.returncode != 0:
                errors.append("prune: %r" % r.stdout[-300:])

    # The store lock must reach every writer: through a second mount only
    # where the file system's locks hold across its clients.
    roots = [folder, folder if second and not LOCKS_ACROSS_MOUNTS else (second or folder)]
    threads = [threading.Thread(target=writer, args=(w, roots[w])) for w in range(2)]
    threads += [threading.Thread(target=deleter), threading.Thread(target=pruner)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    if errors:
        raise Failure("; ".join(errors[:3]))
    r = must(exe, "verify", store)
    lines = r.stdout.decode(errors="replace").strip().splitlines()
    last = next((l for l in reversed(lines) if l.startswith("store ")), lines[-1])
    if not last.endswith(" 0 problems"):
        raise Failure("verify: " + last)
    remaining = [m for m in os.listdir(os.path.join(store, "m")) if not m.startswith(TEMP_PREFIX)]
    for name in remaining:
        restore_equals(exe, os.path.join(store, "m", name), written[name], local)
    return "%d rounds of two ingests, deletions and prunes at once; verify: 0 problems, %d maps restored" % (
        rounds, len(remaining))


def leg_split(exe, folder, other, local):
    """The metadata folder on another file system: both are flushed, once
    each, before the map takes its name; also by a copy that finds every
    chunk stored already (another copy may not have flushed them yet)."""
    store = os.path.join(folder, "split")
    must(exe, "create_store", "-i", str(K), store)
    meta = os.path.join(other, "split-meta")
    shutil.move(os.path.join(store, ".zuvo"), meta)
    os.symlink(meta, os.path.join(store, ".zuvo"))
    src = os.path.join(local, "split")
    data = os.urandom(5 * K + 7)
    write(src, data)
    for map_name in ("m", "again"):
        dest = os.path.join(store, map_name)
        trace = os.path.join(local, "split-trace")
        subprocess.run(["strace", "-f", "-qq", "-y", "-o", trace, "-e",
                        "trace=syncfs,sync,fsync,fdatasync,rename,renameat,renameat2", exe, "copy", src,
                        dest], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
        restore_equals(exe, dest, data, local)
        lines = read(trace).decode(errors="replace").splitlines()
        published = [i for i, line in enumerate(lines)
                     if re.search(r'rename\w*\(.*"%s"' % re.escape(dest), line) and line.endswith("= 0")]
        if not published:
            raise Failure("no rename of the map %s seen" % map_name)
        flushed = [re.search(r"syncfs\(\d+<([^>]*)>\) = 0", line) for line in lines[:published[0]]]
        flushed = [m.group(1) for m in flushed if m]
        for name, root in (("map's", folder), ("metadata folder's", other)):
            seen = [p for p in flushed if p.startswith(os.path.realpath(root) + "/")]
            if len(seen) != 1:
                raise Failure("map %s: the %s file system was flushed %d times before its rename: %s"
                              % (map_name, name, len(seen), flushed))
        if len(flushed) != 2:
            raise Failure("map %s: flushes before its rename: %s" % (map_name, flushed))
    check_store(store, False)
    return ("metadata folder linked onto another file system: each flushed once before the map's rename,"
            " also when every chunk was stored already")


def free_bytes(folder):
    st = os.statvfs(folder)
    return st.f_bavail * st.f_frsize


def fill(folder, leave):
    """Writes a filler file until about `leave` bytes remain free."""
    path = os.path.join(folder, "filler")
    block = os.urandom(1 << 20)  # random: a compressing file system must not shrink it
    with open(path, "ab") as f:
        while free_bytes(folder) > leave + len(block):
            try:
                f.write(block)
                f.flush()
            except OSError:
                break
        os.fsync(f.fileno())
    return path


def wait_for_space(folder, size, limit=30):
    """Waits until `size` bytes can be written: a network file system's server
    may free a deleted file only once its client lets go of it, some time
    after the close, and may refuse writes until it looks at its disk again."""
    probe = os.path.join(folder, "space-probe")
    until = time.monotonic() + limit
    while True:
        try:
            with open(probe, "wb") as f:
                f.write(bytes(size))
                os.fsync(f.fileno())
            os.remove(probe)
            return
        except OSError:
            if os.path.exists(probe):
                os.remove(probe)
            if time.monotonic() > until:
                raise Failure("no room for %d bytes %d s after the filler was deleted" % (size, limit))
            time.sleep(0.5)


def leg_full_disk(exe, folder, local, network):
    store = os.path.join(folder, "full")
    must(exe, "create_store", "-i", str(K), store)
    rng = random.Random(3)
    old = rng.randbytes(8 * K)
    write(os.path.join(local, "old"), old)
    must(exe, "copy", os.path.join(local, "old"), os.path.join(store, "m"))
    old_map = read(os.path.join(store, "m"))
    data = rng.randbytes(12 << 20)
    write(os.path.join(local, "big"), data)
    filler = fill(folder, 4 << 20)
    r = zuvo(exe, "copy", os.path.join(local, "big"), os.path.join(store, "m"))
    text = r.stdout.decode(errors="replace")
    os.remove(filler)
    wait_for_space(folder, 2 * len(data))
    if r.returncode == 0:
        raise Failure("a copy larger than the free space succeeded")
    if read(os.path.join(store, "m")) != old_map:
        raise Failure("the previous map changed")
    check_store(store, False)  # no partial chunk file under a chunk name
    error = [line for line in text.splitlines() if line.startswith("ERROR: ")][-1:]
    how = "exit %d, %s" % (r.returncode, error[0][:70] if error else "no error line")
    # The file transfer protocol over SSH has one code for every failure, so
    # a network file system may not say why; a local one must.
    if not network and r.returncode != 11:
        raise Failure("a full disk ended the copy with " + how)
    must(exe, "copy", os.path.join(local, "big"), os.path.join(store, "m"))
    restore_equals(exe, os.path.join(store, "m"), data, local)
    return how + "; the same copy succeeds once space is freed"


def fallbacks(exe, folder, local):
    """What the file system refused, seen in the system calls of one copy."""
    store = os.path.join(folder, "probe")
    must(exe, "create_store", "-i", str(K), store)
    write(os.path.join(local, "probe"), os.urandom(3 * K))
    trace = os.path.join(local, "trace")
    subprocess.run(["strace", "-f", "-qq", "-y", "-o", trace, "-e",
                    "trace=fcntl,renameat2,link,linkat,flock,fsync,fallocate",
                    exe, "copy", os.path.join(local, "probe"), os.path.join(store, "p")],
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
    restore_equals(exe, os.path.join(store, "p"), read(os.path.join(local, "probe")), local)
    t = read(trace).decode(errors="replace")
    seen = []
    if re.search(r"F_SETFL, [^)]*O_DIRECT\) = -1", t):
        seen.append("unbuffered I/O refused: buffered")
    if re.search(r"RENAME_NOREPLACE\) = -1 E(INVAL|NOSYS)", t):
        seen.append("exclusive rename refused: hard link + unlink")
    if re.search(r"flock\([^)]*\) = -1", t):
        seen.append("flock refused")
    if re.search(r"fsync\(\d+<[^>]*>\) = -1|fsync resumed>\) += -1", t):
        seen.append("a flush refused")
    # A flush of the whole file system does not reach a server: there every
    # chunk file must be flushed before it takes its name, elsewhere none is.
    served = mount_type(folder).startswith(("fuse", "cifs", "smb", "9p"))
    chunks = len([f for _, _, files in os.walk(os.path.join(store, ".zuvo"))
                  for f in files if f != "_info"])
    # Started calls: with several threads strace splits a call's line in two.
    flushed = len(re.findall(r"fsync\(\d+<[^>]*\.zuvo-tmp-", t))
    if flushed != (chunks + 1 if served else 0):  # served: the map's temporary file too
        raise Failure("%d of %d chunk files flushed one by one on %s"
                      % (flushed, chunks, mount_type(folder)))
    if served:
        seen.append("each chunk file flushed before its rename")
    return ", ".join(seen) or "none"


def mount_type(folder):
    """The type of the file system that holds `folder`, from the mount table."""
    path, best, kind = os.path.realpath(folder), -1, ""
    with open("/proc/self/mounts") as f:
        for line in f:
            fields = line.split()
            point = fields[1].replace("\\040", " ")
            if (path == point or path.startswith(point.rstrip("/") + "/")) and len(point) > best:
                best, kind = len(point), fields[2]
    return kind


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("zuvo")
    ap.add_argument("name")
    ap.add_argument("folder")
    ap.add_argument("--second", help="the same folder through a second mount")
    ap.add_argument("--split", help="a folder on another file system")
    ap.add_argument("--only", help="run only the legs whose name contains this")
    ap.add_argument("--soak", type=int, default=10)
    ap.add_argument("--full-disk", action="store_true")
    ap.add_argument("--locks-across", action="store_true",
                    help="the store lock holds between the two mounts")
    a = ap.parse_args()
    global LOCKS_ACROSS_MOUNTS
    LOCKS_ACROSS_MOUNTS = a.locks_across
    exe = os.path.abspath(a.zuvo)
    failed = 0
    local = tempfile.mkdtemp(prefix="zuvo-fs-local-")
    legs = [("round trips", lambda: leg_round_trips(exe, a.folder, local)),
            ("two writers", lambda: leg_two_writers(exe, a.folder, a.second, local)),
            ("kill soak", lambda: leg_soak(exe, a.folder, a.soak))]
    legs.append(("prune during ingests", lambda: leg_keeping(exe, a.folder, a.second, local)))
    if a.full_disk:
        legs.append(("full disk", lambda: leg_full_disk(exe, a.folder, local, bool(a.second))))
    if a.split:
        legs.append(("metadata on another file system", lambda: leg_split(exe, a.folder, a.split, local)))
    legs.append(("fallbacks", lambda: fallbacks(exe, a.folder, local)))
    legs = [(leg, run) for leg, run in legs if not a.only or a.only in leg]
    try:
        for leg, run in legs:
            try:
                print("ok   %s: %s: %s" % (a.name, leg, run()), flush=True)
            except (Failure, OSError, subprocess.CalledProcessError) as e:
                failed += 1
                print("FAIL %s: %s: %s" % (a.name, leg, e), flush=True)
    finally:
        shutil.rmtree(local, ignore_errors=True)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
