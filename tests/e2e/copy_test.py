#!/usr/bin/env python3
"""End-to-end tests of `zuvo copy`: round trips through stores, duplicate
avoidance read from the final progress line, the command's destinations and
messages, and the safety guarantees (a chunk map destination is replaced only
by a complete copy; damaged chunks are reported, never restored).

usage: copy_test.py [--wine] PATH/TO/zuvo

With --wine the program is the Windows executable, run under Wine: paths in
its messages show in Windows syntax (the Linux folder /tmp/x as Z:\\tmp\\x)
and the interrupt is Wine's translation of SIGINT into a console Ctrl-C.
"""
import hashlib
import os
import re
import signal
import struct
import subprocess
import sys
import zlib

from harness import WINE, check, command, main, read, shown, take_summary, write

PROGRESS = re.compile(r"\|([#-]{40})\|\s*(\d+)% (\S+)/(\S+) (\S+)/sec (\d+):(\d\d):(\d\d) "
                      r"sr=(\S+) dr=(\S+) dw=(\S+)")


def run(args, cwd):
    # No standard input: under Wine an inherited one costs about a second a start.
    proc = subprocess.run(command(args), cwd=cwd, capture_output=True, stdin=subprocess.DEVNULL)
    check(proc.stderr == b"", "%r wrote to standard error: %r" % (args, proc.stderr))
    out, _ = take_summary(proc.stdout.decode("utf-8", "surrogateescape"), proc.returncode)
    return proc.returncode, out


def split_output(out):
    """The output with every progress redraw removed, and the last redraw."""
    last = None
    lines = []
    for line in out.split("\n"):
        if "\b" in line or line.startswith("|"):
            draws = [p for p in re.split(r"[\b]+", line) if p.strip()]
            if draws:
                last = draws[-1].rstrip(" ")
            continue
        lines.append(line)
    return "\n".join(lines), last


def counters(last):
    m = PROGRESS.search(last or "")
    check(m, "no progress line in %r" % last)
    return {"percent": int(m.group(2)), "done": m.group(3), "total": m.group(4),
            "sr": m.group(9), "dr": m.group(10), "dw": m.group(11), "bar": m.group(1)}


def fmt_size(value):
    units = ["KB", "MB", "GB", "TB"]
    for unit in range(4):
        q, r = divmod(value, 1000)
        if q < 10:
            return "%d.%03d%s" % (q, r, units[unit])
        if q < 100:
            return "%d.%02d%s" % (q, r // 10, units[unit])
        if q < 1000:
            return "%d.%01d%s" % (q, r // 100, units[unit])
        if unit == 3:
            return "%dTB" % q
        value = q


def copy(args, cwd, code=0):
    rc, out = run(["copy"] + args, cwd)
    text, last = split_output(out)
    check(rc == code, "copy %r exited %d (expected %d): %r" % (args, rc, code, out))
    return text, last


def create_store(tmp, name, *switches):
    rc, out = run(["create_store"] + list(switches) + [name], tmp)
    check(rc == 0, out)
    return os.path.join(tmp, name)


def chunk_files(store):
    found = []
    for root, _, files in os.walk(os.path.join(store, ".zuvo")):
        for f in files:
            if f != "_info":
                found.append(os.path.join(root, f))
    return found


def pattern_data(size, seed=1):
    out = bytearray()
    block = hashlib.sha512(b"seed%d" % seed).digest()
    while len(out) < size:
        block = hashlib.sha512(block).digest()
        out += block
    return bytes(out[:size])


def test_round_trips(tmp):
    for chunk in (4096, 65536):
        for comp in ([], ["-z"]):
            store = create_store(tmp, "s%d%s" % (chunk, "z" if comp else ""), "-i", str(chunk), *comp)
            for size in (0, 1, chunk - 1, chunk, chunk + 1, 100 * chunk + 7):
                data = pattern_data(size // 2, size) + bytes(size - size // 2)  # random, then zeros
                src = os.path.join(tmp, "src", "f%d" % size)
                write(src, data)
                copy([src, store], tmp)
                mapped = os.path.join(store, "f%d" % size)
                count = (size + chunk - 1) // chunk
                expected = ((32 * (count + 2) + 60) // 2048) * 2048 + 1987
                check(os.path.getsize(mapped) == expected, "map size for %d" % size)
                back = os.path.join(tmp, "back", "f%d.%d%s" % (size, chunk, comp))
                os.makedirs(os.path.dirname(back), exist_ok=True)
                copy([mapped, back], tmp)
                check(read(back) == data, "round trip of %d bytes, K=%d %r" % (size, chunk, comp))
            for f in chunk_files(store):
                size = os.path.getsize(f)
                check(size == chunk or (comp and 0 < size <= chunk - 4096),
                      "chunk file size %d in %s" % (size, store))
    # An empty file: a 1987-byte map and no chunk files.
    empty_store = create_store(tmp, "empty")
    write(os.path.join(tmp, "e", "zero"), b"")
    copy([os.path.join(tmp, "e", "zero"), empty_store], tmp)
    check(os.path.getsize(os.path.join(empty_store, "zero")) == 1987, "empty map size")
    check(chunk_files(empty_store) == [], "no chunk files for an empty file")


def test_duplicate_avoidance(tmp):
    k = 65536
    store = create_store(tmp, "s", "-i", str(k))
    block = pattern_data(k, 7)
    src = os.path.join(tmp, "rep.bin")
    write(src, block * 100)
    _, last = copy([src, store], tmp)
    c = counters(last)
    check(c["percent"] == 100 and c["bar"] == "#" * 40, "final line %r" % last)
    check((c["sr"], c["dr"], c["dw"]) == (fmt_size(100 * k), "0.000KB", fmt_size(k)),
          "100 identical chunks stored once: %r" % c)
    check(len(chunk_files(store)) == 1, "one chunk file")
    mapped = read(os.path.join(store, "rep.bin"))
    slots = [mapped[64 + 32 * i: 96 + 32 * i] for i in range(100)]
    check(len(set(slots)) == 1 and slots[0] == hashlib.sha512(block).digest()[:32], "slots")
    # Again: every chunk present, nothing stored.
    _, last = copy([src, os.path.join(store, "again.bin")], tmp)
    c = counters(last)
    check((c["sr"], c["dr"], c["dw"]) == (fmt_size(100 * k), "0.000KB", "0.000KB"), "re-ingest %r" % c)
    # Restore over identical data reads everything and writes nothing; -w writes all.
    out = os.path.join(tmp, "out.bin")
    copy([os.path.join(store, "rep.bin"), out], tmp)
    _, last = copy([os.path.join(store, "rep.bin"), out], tmp)
    c = counters(last)
    check((c["sr"], c["dr"], c["dw"]) == ("0.000KB", fmt_size(100 * k), "0.000KB"), "identical %r" % c)
    _, last = copy(["-w", os.path.join(store, "rep.bin"), out], tmp)
    c = counters(last)
    check((c["dr"], c["dw"]) == ("0.000KB", fmt_size(100 * k)), "-w %r" % c)
    # A destination that differs in its third chunk only.
    data = pattern_data(10 * k + 5, 3)
    write(os.path.join(tmp, "ten.bin"), data)
    copy([os.path.join(tmp, "ten.bin"), store], tmp)
    damaged = bytearray(data)
    damaged[2 * k + 10] ^= 0xFF
    write(os.path.join(tmp, "ten.out"), bytes(damaged))
    _, last = copy([os.path.join(store, "ten.bin"), os.path.join(tmp, "ten.out")], tmp)
    c = counters(last)
    check((c["sr"], c["dw"]) == (fmt_size(k), fmt_size(k)), "third chunk only %r" % c)
    check(read(os.path.join(tmp, "ten.out")) == data, "repaired")
    # Store to store within a store: no chunk read or written.
    _, last = copy([os.path.join(store, "ten.bin"), os.path.join(store, "copy-of-ten.bin")], tmp)
    c = counters(last)
    check((c["sr"], c["dw"]) == ("0.000KB", "0.000KB"), "same store %r" % c)
    # Into another store: every chunk copied once and verified.
    other = create_store(tmp, "other", "-i", str(k), "-z")
    copy([os.path.join(store, "ten.bin"), other], tmp)
    copy([os.path.join(other, "ten.bin"), os.path.join(tmp, "ten.again")], tmp)
    check(read(os.path.join(tmp, "ten.again")) == data, "store to store round trip")
    # A larger destination is cut to the source size.
    big = os.path.join(tmp, "big.out")
    write(big, bytes(20 * k))
    copy([os.path.join(store, "ten.bin"), big], tmp)
    check(read(big) == data, "larger destination cut")


def test_command_lines(tmp):
    write(os.path.join(tmp, "a"), b"alpha" * 1000)
    write(os.path.join(tmp, "b"), b"beta" * 1000)
    os.mkdir(os.path.join(tmp, "t"))
    text, _ = copy(["a", "t"], tmp)
    check(text == 'copying "%s" to "%s"\ncopy complete\n'
          % (shown(tmp + "/a"), shown(tmp + "/t/a")), repr(text))
    text, _ = copy(["a", "b", "t"], tmp)
    check(read(os.path.join(tmp, "t", "b")) == b"beta" * 1000, "two into a folder")
    text, _ = copy(["a", "b", "nofolder"], tmp, 4)
    check(text == "ERROR: Can't copy multiple source files to destination file\n", repr(text))
    check(not os.path.exists(os.path.join(tmp, "nofolder")), "nothing copied")
    text, _ = copy(["-D", "out", "a", "b"], tmp)
    check(read(os.path.join(tmp, "out", "a")) == b"alpha" * 1000, "-d creates the folder")
    text, _ = copy(["-f", "x/y.bin", "a"], tmp)
    check(read(os.path.join(tmp, "x", "y.bin")) == b"alpha" * 1000, "-f creates the parent")
    # ".." after a link: Windows climbs by the name, POSIX from the link's target.
    os.makedirs(os.path.join(tmp, "sub", "deep"))
    os.symlink(os.path.join("sub", "deep"), os.path.join(tmp, "lnk"))
    copy(["a", "lnk\\..\\c" if WINE else "lnk/../c"], tmp)
    check(os.path.exists(os.path.join(tmp, "c" if WINE else "sub/c")), "where .. leads")
    text, _ = copy(["-f", "y.bin", "a", "b"], tmp, 4)
    check(text == "ERROR: Can't copy multiple source files to destination file\n", repr(text))
    text, _ = copy(["a"], tmp, 4)
    check(text == "ERROR: Must specify destination file/folder.\n", repr(text))
    text, _ = copy(["-d", "out"], tmp, 4)
    check(text == "ERROR: No source file(s) specified\n", repr(text))
    text, _ = copy(["-x", "a", "fresh"], tmp)
    check(text.startswith('WARNING: Ignoring unknown switch "-x"\ncopying'), repr(text))
    text, _ = copy(["-xy", "a", "t"], tmp, 8)
    check(text == 'copying "%s" to "%s"\nERROR: Unable to open source "%s"\n'
          % (shown(tmp + "/-xy"), shown(tmp + "/t/-xy"), shown(tmp + "/-xy")), repr(text))
    text, _ = copy(["-n", "a", "fresh"], tmp, 10)
    check(text.endswith('ERROR: Unable to create destination "%s"\n' % shown(tmp + "/fresh")),
          repr(text))
    text, _ = copy(["a", "-d"], tmp, 4)  # a trailing -d has no value
    check(text == "ERROR: Must specify destination file/folder.\n", repr(text))
    rc, out = run(["copy", "-h"], tmp)
    check(out.startswith("syntax: zuvo copy [<switch> ...] <souce file>"), repr(out))
    # Into a folder inside a store, and back out.
    store = create_store(tmp, "st")
    os.mkdir(os.path.join(store, "docs"))
    copy(["a", os.path.join(store, "docs")], tmp)
    rc, out = run(["info", os.path.join(store, "docs", "a")], tmp)
    check("type: zuvo-file" in out and "file-size: 5000" in out, out)
    copy([os.path.join(store, "docs", "a"), "restored"], tmp)
    check(read(os.path.join(tmp, "restored")) == b"alpha" * 1000, "restored")
    # Nothing goes into a store's metadata folder, through a link neither.
    os.symlink(os.path.join(store, ".zuvo"), os.path.join(tmp, "meta"))
    text, _ = copy(["a", "meta"], tmp, 5)
    check(text == 'ERROR: Destination inside the metadata folder of a store "%s"\n'
          % shown(tmp + "/meta/a"), repr(text))
    # A chunk map outside any store fails with 1168.
    os.rename(os.path.join(store, "docs", "a"), os.path.join(tmp, "stray.map"))
    text, _ = copy(["stray.map", "x2"], tmp, 8)
    check("ERROR: Unable to locate zuvo store in path of" in text, repr(text))
    # A chunk size mismatch fails before any chunk is read.
    small = create_store(tmp, "small", "-i", "4096")
    copy(["a", store], tmp)
    text, last = copy([os.path.join(store, "a"), small], tmp, 4)
    check(text.endswith("ERROR: Mismatched source and dest file chunk size\n"), repr(text))
    check(not os.path.exists(os.path.join(small, "a")), "no map on failure")


def test_safety(tmp):
    k = 65536
    store = create_store(tmp, "s", "-i", str(k))
    data = pattern_data(6 * k, 11)
    write(os.path.join(tmp, "v1"), data)
    copy([os.path.join(tmp, "v1"), os.path.join(store, "file")], tmp)
    before = read(os.path.join(store, "file"))
    text, _ = copy(["-n", os.path.join(tmp, "v1"), os.path.join(store, "file")], tmp, 10)
    check(read(os.path.join(store, "file")) == before, "-n leaves the destination")
    # Damage one chunk file: the restore fails with 23 and names it.
    victim = sorted(chunk_files(store))[0]
    raw = bytearray(read(victim))
    raw[100] ^= 1
    write(victim, bytes(raw))
    text, _ = copy([os.path.join(store, "file"), os.path.join(tmp, "restore.bin")], tmp, 23)
    check('ERROR: Hash mismatch in source chunk file "%s"\n' % shown(victim) in text, repr(text))
    # A missing chunk file.
    os.remove(victim)
    text, _ = copy([os.path.join(store, "file"), os.path.join(tmp, "restore2.bin")], tmp, 8)
    check('ERROR: Missing source chunk file "%s"' % shown(victim) in text, repr(text))
    # A damaged compressed chunk.
    zs = create_store(tmp, "z", "-z", "-i", str(k))
    write(os.path.join(tmp, "zeros"), bytes(3 * k))
    copy([os.path.join(tmp, "zeros"), zs], tmp)
    [zchunk] = chunk_files(zs)
    check(os.path.getsize(zchunk) < k - 4096, "zeros compressed")
    check(zlib.decompressobj(-15).decompress(read(zchunk)) == bytes(k), "independent inflate")
    write(zchunk, read(zchunk)[:10])
    text, _ = copy([os.path.join(zs, "zeros"), os.path.join(tmp, "z.out")], tmp, 17)  # 11
    check("Decompression failed for source chunk file" in text, repr(text))
    # Ctrl-C during a long copy: "cancelled", exit code 2, old map untouched.
    big = os.path.join(tmp, "big")
    write(big, pattern_data(1024 * 1024, 5) * 256)
    proc = subprocess.Popen(command(["copy", "-w", big, os.path.join(store, "file")]), cwd=tmp,
                            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    first = proc.stdout.read(1)  # the copy has started talking: interrupt it
    proc.send_signal(signal.SIGINT)
    out, err = proc.communicate(timeout=60)
    out, _ = take_summary((first + out).decode(), proc.returncode)
    if proc.returncode == 0:
        print("  (the copy finished before the interrupt; cancellation not exercised)")
    else:
        check(proc.returncode == 2 and out.endswith("ERROR: cancelled\n") and err == b"",
              "interrupt: %d %r" % (proc.returncode, out[-200:]))
        check(read(os.path.join(store, "file")) == before, "cancelled copy keeps the old map")
        leftovers = [f for f in os.listdir(store) if f.startswith(".zuvo-tmp")]
        check(leftovers == [], "no temporary map left: %r" % leftovers)


def test_repeated_destinations(tmp):
    """One command never replaces what it has just written; temporary names are not made."""
    k = 65536
    store = create_store(tmp, "st", "-i", str(k))
    first, second = pattern_data(3 * k + 5, 21), pattern_data(2 * k, 22)
    write(os.path.join(tmp, "vm1", "disk.img"), first)
    write(os.path.join(tmp, "vm2", "disk.img"), second)
    write(os.path.join(tmp, "vm3", "link.img"), second)

    def refused(args, dest, data, source="vm1/disk.img"):
        text, _ = copy(args, tmp, 10)
        check(text.endswith('ERROR: Will not overwrite "%s", which this command has just copied '
                            'from "%s"\n' % (shown(dest), shown(tmp + "/" + source))),
              repr(text))
        check(text.count("copy complete") == 1, repr(text))
        back = os.path.join(tmp, "back.img")
        copy(["-w", dest, back], tmp)  # a map is restored, a plain file copied
        check(read(back) == data, "first copy of %r intact" % args)

    refused(["vm1/disk.img", "vm2/disk.img", "st"], store + "/disk.img", first)
    refused(["-d", "out", "vm1/disk.img", "vm2/disk.img"], tmp + "/out/disk.img", first)
    refused(["-d", "twice", "vm1/disk.img", "./vm1/../vm1/disk.img"], tmp + "/twice/disk.img", first)
    copy(["-f", "st/a/disk.img", "vm1/disk.img"], tmp)
    copy(["-f", "st/b/disk.img", "vm2/disk.img"], tmp)
    refused(["-d", "maps", "st/a/disk.img", "st/b/disk.img"], tmp + "/maps/disk.img", first,
            "st/a/disk.img")
    if not WINE:  # the same file under another name
        os.symlink("disk.img", os.path.join(tmp, "out", "link.img"))
        refused(["-d", "out", "vm1/disk.img", "vm3/link.img"], tmp + "/out/link.img", first)
    # Prune deletes files of the temporary prefix: such a destination is never made.
    write(os.path.join(tmp, ".zuvo-tmp-x"), b"data")
    chunks = len(chunk_files(store))
    for args in (["vm1/disk.img", ".zuvo-tmp-x", "st"], ["-f", "st/.zuvo-tmp-y", "vm1/disk.img"]):
        text, _ = copy(args, tmp, 12)
        check(text.startswith("ERROR: Destination name is reserved for temporary files"), repr(text))
    check(not [f for f in os.listdir(store) if f.startswith(".zuvo-tmp")], "nothing made")
    check(len(chunk_files(store)) == chunks, "no chunk stored")


if __name__ == "__main__":
    sys.exit(main([test_round_trips, test_duplicate_avoidance, test_command_lines, test_safety,
                   test_repeated_destinations]))
