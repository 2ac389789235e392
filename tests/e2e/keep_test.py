#!/usr/bin/env python3
"""End-to-end tests of keeping a store: `verify` finds every missing or
damaged chunk and names the maps that list it, `-r` moves damaged chunks
aside so that copying the data in again repairs them; `prune` deletes only
chunks no map lists and temporary files, stops before deleting anything when
a map is doubtful, and excludes copies into the store through the store lock;
ingests, map deletions and prunes run together and leave every map whole.

usage: keep_test.py [--wine] PATH/TO/zuvo
"""
import os
import random
import re
import signal
import subprocess
import sys
import threading
import time

from harness import WINE, check, command, main, read, shown, take_summary, write


def run(args, cwd, code=0):
    proc = subprocess.run(command(args), cwd=cwd, capture_output=True, stdin=subprocess.DEVNULL)
    out = proc.stdout.decode("utf-8", "surrogateescape").replace("\r\n", "\n")
    out, _ = take_summary(out, proc.returncode)
    # Progress redraws (backspaces) are dropped; the other lines stay.
    out = "\n".join(l for l in out.split("\n") if "\b" not in l and not l.startswith("|"))
    check(proc.returncode == code, "%r exited %d (expected %d): %r" % (args, proc.returncode, code, out))
    check(proc.stderr == b"", "%r wrote to standard error: %r" % (args, proc.stderr))
    return out


def dictionary(store):
    found = {}
    for root, _, files in os.walk(os.path.join(store, ".zuvo")):
        for f in files:
            if f != "_info":
                found[os.path.join(root, f)] = os.path.getsize(os.path.join(root, f))
    return found


def summary(out):
    m = re.search(r'store "[^"]*": (\d+) chunk maps?, (\d+) chunks?, \S+ checked, (\d+) problems?', out)
    check(m, "no summary in %r" % out)
    return tuple(int(g) for g in m.groups())


def prune_counts(out):
    get = lambda what: int(re.search(what + r": (\d+)", out).group(1))
    return (get("chunk maps read"), get("chunk files kept"),
            get("chunk files (?:removed|to remove)"), get("temporary files (?:removed|to remove)"))


def flip(path, at=100):
    raw = bytearray(read(path))
    raw[at] ^= 1
    write(path, bytes(raw))


def test_verify_and_repair(tmp):
    k = 16384
    store = os.path.join(tmp, "s")
    run(["create_store", "-i", str(k), store], tmp)
    a, b = os.urandom(20 * k), os.urandom(10 * k + 5)
    write(os.path.join(tmp, "a"), a)
    write(os.path.join(tmp, "ab"), a + b)
    run(["copy", os.path.join(tmp, "a"), store], tmp)
    os.makedirs(os.path.join(store, "sub"))
    run(["copy", os.path.join(tmp, "ab"), os.path.join(store, "sub", "ab")], tmp)
    # A nested store is not looked into: its map would not even validate here.
    nested = os.path.join(store, "sub", "inner")
    # Made elsewhere and moved in: create_store refuses a folder inside a store.
    run(["create_store", "-i", "4096", os.path.join(tmp, "elsewhere")], tmp)
    os.rename(os.path.join(tmp, "elsewhere"), nested)
    run(["copy", os.path.join(tmp, "a"), nested], tmp)
    check(summary(run(["verify", store], tmp)) == (2, 31, 0), "clean store")
    check(summary(run(["verify", os.path.join(store, "sub")], tmp)) == (1, 31, 0), "a folder")
    check(summary(run(["verify", os.path.join(store, "a")], tmp)) == (1, 20, 0), "a map")

    # One chunk of both maps damaged, one of ab only missing, a stray file
    # and a temporary file in the dictionary.
    chunks = sorted(dictionary(store))
    a_chunks = [c for c in chunks if os.path.basename(c) in run_hashes(os.path.join(store, "a"))]
    victim = a_chunks[0]
    lost = [c for c in chunks if c not in a_chunks][0]
    flip(victim)
    os.remove(lost)
    write(os.path.join(store, ".zuvo", "stray"), b"x")
    write(os.path.join(os.path.dirname(victim), ".zuvo-tmp-1-2-3"), b"y")
    out = run(["verify", "-a", store], tmp, 27)
    check('damaged chunk file "%s" (content does not match its name), listed in "%s", "%s"\n'
          % (shown(victim), shown(os.path.join(store, "a")), shown(os.path.join(store, "sub", "ab")))
          in out, out)
    check('missing chunk file "%s", listed in "%s"\n'
          % (shown(lost), shown(os.path.join(store, "sub", "ab"))) in out, out)
    check('not a chunk file "%s"\n' % shown(os.path.join(store, ".zuvo", "stray")) in out, out)
    check(summary(out) == (2, 31, 3), "two chunks and a stray file: %r" % out)
    check("temporary files: 1" in out and "run verify -r" in out, out)

    # Copying the data in again does not mend a damaged chunk: the name is taken.
    run(["copy", os.path.join(tmp, "a"), store], tmp)
    check(summary(run(["verify", os.path.join(store, "a")], tmp, 27))[2] == 1, "still damaged")
    # -r moves files: what it does not understand stops it before any store is opened.
    out = run(["verify", "-r", store, "--all"], tmp, 4)
    check(out == 'ERROR: Unknown switch "--all"\n' and os.path.exists(victim), out)
    out = run(["verify", "-r", store], tmp, 27)
    check('  moved aside to "%s.damaged"\n' % shown(victim) in out, out)
    check(not os.path.exists(victim) and os.path.exists(victim + ".damaged"), "moved aside")
    check(out.endswith("again:\n  %s\n  %s\n" % (shown(os.path.join(store, "a")),
                                                shown(os.path.join(store, "sub", "ab")))), out)
    # Neither the moved-aside file nor the temporary file is a chunk to anyone.
    out = run(["verify", "-a", store], tmp, 27)
    check("missing chunk file \"%s\"" % shown(victim) in out and "kept aside: 1" in out, out)
    run(["copy", os.path.join(tmp, "ab"), os.path.join(store, "sub", "ab")], tmp)
    check(summary(run(["verify", "-a", store], tmp, 27)) == (2, 31, 1), "only the stray file left")
    os.remove(os.path.join(store, ".zuvo", "stray"))
    check(summary(run(["verify", "-a", store], tmp)) == (2, 31, 0), "repaired")
    run(["copy", os.path.join(store, "a"), os.path.join(tmp, "a.out")], tmp)
    check(read(os.path.join(tmp, "a.out")) == a, "restored after the repair")

    # Compressed stores: a stream that does not inflate, a size no chunk has.
    zs = os.path.join(tmp, "z")
    run(["create_store", "-z", "-i", str(k), zs], tmp)
    write(os.path.join(tmp, "zeros"), bytes(k) + os.urandom(k))
    run(["copy", os.path.join(tmp, "zeros"), zs], tmp)
    small, raw = sorted(dictionary(zs), key=os.path.getsize)
    write(small, read(small)[:10])
    write(raw, read(raw) + b"!")
    out = run(["verify", zs], tmp, 27)
    check('"%s" (does not inflate)' % shown(small) in out, out)
    check('"%s" (a size no chunk can have)' % shown(raw) in out, out)


def run_hashes(map_path):
    data = read(map_path)
    count = (int.from_bytes(data[8:16], "little") + int.from_bytes(data[16:20], "little") - 1) \
        // int.from_bytes(data[16:20], "little")
    return {data[64 + 32 * i:96 + 32 * i].hex() for i in range(count)}


def test_prune(tmp):
    k = 4096
    store = os.path.join(tmp, "s")
    run(["create_store", "-i", str(k), store], tmp)
    a, b = os.urandom(12 * k), os.urandom(7 * k)
    write(os.path.join(tmp, "a"), a)
    write(os.path.join(tmp, "ab"), a[:5 * k] + b)
    run(["copy", os.path.join(tmp, "a"), store], tmp)
    os.makedirs(os.path.join(store, "x"))
    run(["copy", os.path.join(tmp, "ab"), os.path.join(store, "x", "ab")], tmp)
    write(os.path.join(store, "x", "notes.txt"), b"plain file")
    write(os.path.join(store, "x", ".zuvo-tmp-9-9-9"), b"left by a killed copy")
    first = sorted(dictionary(store))[0]
    write(os.path.join(os.path.dirname(first), ".zuvo-tmp-8-8-8"), b"left too")
    aside = first + ".damaged"
    write(aside, b"moved aside by verify -r")
    nested = os.path.join(store, "x", "inner")
    run(["create_store", "-i", "8192", os.path.join(tmp, "elsewhere")], tmp)
    os.rename(os.path.join(tmp, "elsewhere"), nested)
    run(["copy", os.path.join(tmp, "a"), nested], tmp)
    inner = dictionary(nested)
    os.remove(os.path.join(store, "a"))
    before = dictionary(store)

    out = run(["prune", "-n", store], tmp)
    check(prune_counts(out) == (1, 12, 7, 2), out)
    check(dictionary(store) == before, "-n deletes nothing")
    # Prune deletes: a switch it does not know or a second folder stops it.
    for extra, why in [("--dry-run", "Unknown switch"), ("-x", "Unknown switch"),
                       ("T", "Unexpected argument")]:
        out = run(["prune", store, extra], tmp, 4)
        check(out == 'ERROR: %s "%s"\n' % (why, extra), out)
    check(dictionary(store) == before, "a refused prune deletes nothing")

    # Doubtful maps stop the prune before anything is deleted.
    ab = read(os.path.join(store, "x", "ab"))
    other = os.path.join(tmp, "o")
    run(["create_store", "-i", "8192", other], tmp)
    run(["copy", os.path.join(tmp, "a"), other], tmp)
    doubtful = [("cut", ab[:1000]), ("long", ab + b"\0"), ("start", b"zuvo"),
                ("size", read(os.path.join(other, "a")))]
    for name, data in doubtful:
        path = os.path.join(store, "x", "y", name)
        write(path, data)
        out = run(["prune", store], tmp, 4 if name == "size" else 3)
        check('"%s"' % shown(path) in out and "ERROR:" in out, "%s: %r" % (name, out))
        check(dictionary(store) == before, "%s: nothing deleted" % name)
        os.remove(path)
    if not WINE:  # maps copied in through a folder link would not count
        link = os.path.join(store, "x", "elsewhere")
        os.symlink(tmp, link)
        out = run(["prune", store], tmp, 5)
        check('"%s"' % link in out and dictionary(store) == before, out)
        os.remove(link)

    out = run(["prune", store], tmp)
    check(prune_counts(out) == (1, 12, 7, 2), out)
    check("(%d bytes freed)" % (7 * k) in out, out)
    check(len(dictionary(store)) == 13 and dictionary(nested) == inner, "only unlisted files went")
    check(os.path.exists(aside) and "damaged chunk files kept aside: 1" in out, out)
    check(not os.path.exists(os.path.join(store, "x", ".zuvo-tmp-9-9-9")), "temporary map gone")
    check(read(os.path.join(store, "x", "notes.txt")) == b"plain file", "plain file kept")
    check(summary(run(["verify", "-a", store], tmp)) == (1, 12, 0), "whole after the prune")
    run(["copy", os.path.join(store, "x", "ab"), os.path.join(tmp, "ab.out")], tmp)
    check(read(os.path.join(tmp, "ab.out")) == a[:5 * k] + b, "restored after the prune")


def started(args, cwd):
    return subprocess.Popen(command(args), cwd=cwd, stdin=subprocess.DEVNULL,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)


def test_lock(tmp):
    store = os.path.join(tmp, "s")
    run(["create_store", "-i", "65536", store], tmp)
    big = os.path.join(tmp, "big")
    write(big, os.urandom(128 << 20))
    # A copy into the store holds the lock: prune -b fails, prune waits.
    copier = started(["copy", big, store], tmp)
    deadline = time.time() + 60
    while not [f for f in os.listdir(store) if f.startswith(".zuvo-tmp")] and time.time() < deadline:
        time.sleep(0.01)
    proc = subprocess.run(command(["prune", "-b", store]), cwd=tmp, capture_output=True,
                          stdin=subprocess.DEVNULL)
    busy = copier.poll() is None
    waiter = started(["prune", store], tmp)
    copier.communicate(timeout=300)
    check(copier.returncode == 0, "copy while prunes wait")
    out, _ = waiter.communicate(timeout=300)
    out = out.decode().replace("\r\n", "\n")
    check(waiter.returncode == 0 and "chunk files removed: 0" in out, out)
    if busy:
        text = proc.stdout.decode().replace("\r\n", "\n")
        busy_text = 'ERROR: Store in use by another zuvo command "%s"\nsummary: prune exit=25 '
        check(proc.returncode == 25 and text.startswith(busy_text % shown(store)),
              "prune -b during a copy: %d %r" % (proc.returncode, text))
        check(out.startswith('waiting for the store "%s"' % shown(store)), out)
    else:
        print("  (the copy ended before the prunes started; the lock was not exercised)")
    check(summary(run(["verify", store], tmp)) == (1, 2048, 0), "copy whole")
    if WINE:
        return
    # The lock as another process holds it: Ctrl-C cancels a waiting copy.
    import fcntl
    with open(os.path.join(store, ".zuvo", "_info"), "rb") as held:
        fcntl.flock(held, fcntl.LOCK_EX)
        small = os.path.join(tmp, "small")
        write(small, b"small")
        out = run(["copy", "-b", small, store], tmp, 25)
        check("ERROR: Store in use by another zuvo command" in out, out)
        waiter = started(["copy", small, store], tmp)
        line = waiter.stdout.readline().decode()
        check(line.startswith('waiting for the store "%s"' % store), line)
        waiter.send_signal(signal.SIGINT)
        out, _ = waiter.communicate(timeout=60)
        check(waiter.returncode == 2 and
              out.decode().startswith("ERROR: cancelled\nsummary: copy exit=2 "), out)
    check(not os.path.exists(os.path.join(store, "small")), "cancelled before copying")


def test_concurrent_keeping(tmp):
    """Ingests, map deletions and prunes at once; then every map left is whole."""
    k = 4096
    store = os.path.join(tmp, "s")
    run(["create_store", "-i", str(k), store], tmp)
    os.makedirs(os.path.join(store, "m"))
    rng = random.Random(15)
    blocks = [os.urandom(k) for _ in range(64)]
    rounds = 3 if WINE else 8
    written = {}
    errors = []

    def writer(w):
        for i in range(rounds):
            data = b"".join(rng.choice(blocks) for _ in range(24)) + os.urandom(k)
            name = "w%d_%d" % (w, i)
            src = os.path.join(tmp, name)
            write(src, data)
            proc = subprocess.run(command(["copy", src, os.path.join(store, "m", name)]), cwd=tmp,
                                  capture_output=True, stdin=subprocess.DEVNULL)
            if proc.returncode != 0:
                errors.append("copy %s: %r" % (name, proc.stdout[-300:]))
            written[name] = data

    def deleter():
        for _ in range(rounds):
            time.sleep(0.05)
            maps = sorted(os.listdir(os.path.join(store, "m"))) if os.path.isdir(
                os.path.join(store, "m")) else []
            maps = [m for m in maps if not m.startswith(".zuvo-tmp")]
            if maps:
                try:
                    os.remove(os.path.join(store, "m", rng.choice(maps)))
                except FileNotFoundError:
                    pass

    def pruner():
        for _ in range(rounds):
            proc = subprocess.run(command(["prune", store]), cwd=tmp, capture_output=True,
                                  stdin=subprocess.DEVNULL)
            if proc.returncode != 0:
                errors.append("prune: %r" % proc.stdout[-300:])

    threads = [threading.Thread(target=writer, args=(w,)) for w in range(2)]
    threads += [threading.Thread(target=deleter), threading.Thread(target=pruner)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    check(not errors, "\n".join(errors))
    remaining = [m for m in os.listdir(os.path.join(store, "m")) if not m.startswith(".zuvo-tmp")]
    check(remaining, "some maps remain")
    maps, _, problems = summary(run(["verify", store], tmp))
    check(maps == len(remaining) and problems == 0, "0 missing chunks in %d maps" % maps)
    for name in remaining:
        out = os.path.join(tmp, name + ".out")
        run(["copy", os.path.join(store, "m", name), out], tmp)
        check(read(out) == written[name], "%s restores" % name)


if __name__ == "__main__":
    sys.exit(main([test_verify_and_repair, test_prune, test_lock, test_concurrent_keeping]))
