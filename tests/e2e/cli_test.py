#!/usr/bin/env python3
"""End-to-end tests of the zuvo command line: runs the built program in
temporary folders and checks the exact bytes on standard output, that standard
error stays empty, the exit code, and what lands on disk.

usage: cli_test.py [--wine] PATH/TO/zuvo

With --wine the program is the Windows executable, run under Wine: the
frame's texts end lines with "\r\n" and paths show in Windows syntax (the
Linux folder /tmp/x as Z:\\tmp\\x). Console messages keep bare line feeds.
"""
import os
import struct
import subprocess
import sys

from harness import Failure, check, run_tests

ZUVO = None
WINE = sys.argv[1:2] == ["--wine"]
NL = "\r\n" if WINE else "\n"  # the frame's line end on this platform


def shown(path):
    """A full Linux path as the program prints it."""
    return "Z:" + path.replace("/", "\\") if WINE else path


def run(args, cwd):
    if WINE:
        # No standard input: an inherited one costs Wine about a second a start.
        proc = subprocess.run(["wine", ZUVO] + args, cwd=cwd, capture_output=True,
                              stdin=subprocess.DEVNULL)
    else:
        proc = subprocess.run([ZUVO] + args, cwd=cwd, capture_output=True)
    return proc.returncode, proc.stdout.decode("utf-8", "surrogateescape"), proc.stderr


def expect(args, cwd, out, code=0):
    rc, stdout, stderr = run(args, cwd)
    if stderr:
        raise Failure("%r wrote to standard error: %r" % (args, stderr))
    if stdout != out:
        raise Failure("%r printed\n%r\nexpected\n%r" % (args, stdout, out))
    if rc != code:
        raise Failure("%r exited %d, expected %d" % (args, rc, code))


BANNER = ("File Zuvo Tool" + NL + "Copyright (c) 2026 The zuvo authors" + NL +
          "Version 26ZO" + NL + "For help run: zuvo -h" + NL)
LIST_HEAD = "zuvo <command> [...]" + NL + "commands:" + NL
LIST_FOOT = "For more help run: zuvo <command> -h" + NL
LINE_COPY = "  copy  Copy file(s) to or from hash store." + NL
LINE_CREATE = "  create_store  Create a hash store." + NL
LINE_INFO = "  info  Display zuvo file/store information." + NL
LINE_PRUNE = "  prune  Delete chunk files that no chunk map uses." + NL
LINE_VERIFY = "  verify  Check that a hash store holds what its zuvo files list." + NL
CREATE_HELP = NL.join([
    "syntax: zuvo create_store [<switch> ...] <store folder>", "switches:",
    "  -i <n>  Hash chunk size", "  -n <n>  Folder levels in chunk dictionary",
    "  -w <n>  Digit count in folder names in chunk dictionary",
    "  -z  Use zip compression", ""])
CREATED = "Store folder created successfully.\n"


def info_image(path):
    with open(os.path.join(path, ".zuvo", "_info"), "rb") as f:
        data = f.read()
    check(len(data) == 256, "_info is %d bytes" % len(data))
    check(data[:8] == b"zuvo1.s\n", "bad magic")
    check(data[8:16] == bytes(8) and data[25:] == bytes(231), "reserved bytes not zero")
    chunk, hsize, htype, comp, levels, digits = struct.unpack_from("<IBBBBB", data, 16)
    check((hsize, htype) == (32, 1), "hash fields %d %d" % (hsize, htype))
    return chunk, comp, levels, digits


def test_frame(tmp):
    expect([], tmp, BANNER)
    full_list = (LIST_HEAD + LINE_COPY + LINE_CREATE + LINE_INFO + LINE_PRUNE + LINE_VERIFY +
                 LIST_FOOT)
    for word in ["-h", "/?", "HELP", "--help", "h", "-help"]:
        expect([word], tmp, full_list)
    expect(["-h", "st"], tmp, LIST_HEAD + LINE_CREATE + LIST_FOOT)
    expect(["-h", "in*o"], tmp, LIST_HEAD + LINE_INFO + LIST_FOOT)
    expect(["-h", "zzz"], tmp, LIST_HEAD + LIST_FOOT)
    for args in (["help", "create_store"], ["create_store", "-h"], ["create_store", "/?"],
                 ["create_store", "H"], ["Create-Store", "-?"]):
        expect(args, tmp, CREATE_HELP)
    expect(["fo"], tmp, 'ERROR: Unknown command "fo".' + NL + "Try one of:" + NL + "  info" + NL, 7)
    expect(["xyz"], tmp, 'ERROR: Unknown command "xyz".' + NL, 7)
    expect(["version"], tmp, "26ZO" + NL)
    expect(["version", "-h"], tmp, "version_long_help")
    expect(["VERSION"], tmp, "26ZO" + NL)


def test_create_store(tmp):
    s = os.path.join(tmp, "s")
    expect(["create_store", s], tmp, CREATED)
    check(info_image(s) == (262144, 0, 1, 2), "defaults")
    s2 = os.path.join(tmp, "s2")
    expect(["create_store", "-i", "65536", "-n", "2", "-w", "3", "-z", s2], tmp, CREATED)
    check(info_image(s2) == (65536, 1, 2, 3), "switch values")
    expect(["Create-Store", "/I", "65536", "-n", "0x2", "s3"], tmp, CREATED)
    check(info_image(os.path.join(tmp, "s3")) == (65536, 0, 2, 2), "hex value, relative path")
    # The chunk size is for good: a number that would have to be guessed at
    # (once "4096k" was 4096 and 2^64 + 4096 wrapped to 4096) is refused.
    for size in ["4096k", "0x1000", " 4096", "", "18446744073709555712"]:
        expect(["create_store", "-i", size, "bad"], tmp,
               'ERROR: Invalid chunk size "%s": give the bytes in decimal digits\n' % size, 4)
    check(not os.path.exists(os.path.join(tmp, "bad")), "nothing created on a refused size")
    expect(["--create_store", "s4", "-i", "65536"], tmp,
           'WARNING: Ignoring unexpected argument "65536"\n' + CREATED)
    check(info_image(os.path.join(tmp, "s4"))[0] == 262144, "ignored switch before last")
    expect(["create_store", "s5", "-i"], tmp, "ERROR: Invalid chunk size specified\n", 4)
    check(not os.path.exists(os.path.join(tmp, "s5")), "nothing created on a bad parameter")
    for size in ["3000", "33554433", "4294971392", "6144"]:
        expect(["create_store", "-i", size, "bad"], tmp, "ERROR: Invalid chunk size specified\n", 4)
    for levels in ["0", "4", "257"]:
        expect(["create_store", "-n", levels, "bad"], tmp,
               "ERROR: Invalid dictionary folder level count specified\n", 4)
    for digits in ["5", "258", "0"]:
        expect(["create_store", "-w", digits, "bad"], tmp,
               "ERROR: Invalid dictionary folder name digit count specified\n", 4)
    expect(["create_store", "-x", "s6"], tmp, 'WARNING: Ignoring unknown switch "-x"\n' + CREATED)
    expect(["create_store", "/X", "s7", "s8"], tmp,
           'WARNING: Ignoring unknown switch "/X"\n'
           'WARNING: Ignoring unexpected argument "s8"\n' + CREATED)
    check(not os.path.exists(os.path.join(tmp, "s8")), "second folder ignored")
    expect(["create_store", "--zz"], tmp, CREATED)
    check(os.path.isdir(os.path.join(tmp, "--zz", ".zuvo")), "--zz is a folder name")
    expect(["create_store"], tmp, "ERROR: Must specify store folder.\n", 4)
    expect(["create_store", "-i", "4096", "-w", "4", "-n", "3", "s9"], tmp, CREATED)
    expect(["create_store", "-i", "33554432", "s10"], tmp, CREATED)
    # An existing folder with files is fine; a metadata folder with an entry is not.
    os.mkdir(os.path.join(tmp, "busy"))
    open(os.path.join(tmp, "busy", "keep.txt"), "w").write("x")
    expect(["create_store", "busy"], tmp, CREATED)
    expect(["create_store", "busy"], tmp,
           'ERROR: Folder exists and is not empty "%s"\n' % shown(os.path.join(tmp, "busy", ".zuvo")), 10)
    expect(["create_store", "missing/parent/s"], tmp,
           'ERROR: Unable to create folder "%s"\n' % shown(os.path.join(tmp, "missing", "parent", "s")), 9)
    open(os.path.join(tmp, "plain"), "w").write("x")
    rc, out, _ = run(["create_store", "plain"], tmp)
    check(rc != 0 and out == 'ERROR: Unable to create folder "%s"\n' % shown(os.path.join(tmp, "plain")),
          "a file in the way: %r" % out)
    expect(["create_store", "x" * 420], tmp, 'ERROR: Bad folder name "%s"\n' % ("x" * 420), 12)


def chunk_map_bytes(file_size, chunk_size, slots):
    count = (file_size + chunk_size - 1) // chunk_size
    size = ((32 * (count + 2) + 60) // 2048) * 2048 + 1987
    header = b"zuvo1.f\n" + struct.pack("<QIBB", file_size, chunk_size, 32, 1)
    body = header + bytes(64 - len(header)) + b"".join(slots)
    return body + bytes(size - len(body))


def test_info(tmp):
    s = os.path.join(tmp, "st")
    expect(["create_store", "-z", "-i", "65536", s], tmp, CREATED)
    store_block = ("store: %s\n  chunk-size: 65536\n  hash-type: sha2_512\n  hash-size: 32\n"
                   "  comp-type: zip\n  dict_levels: 1\n  level_digits: 2\n") % shown(os.path.join(s, ".zuvo"))
    expect(["info", s], tmp, "file: %s\n  type: folder\n" % shown(s) + store_block)
    os.makedirs(os.path.join(s, "a", "b"))
    with open(os.path.join(s, "a", "b", "x.bin"), "wb") as f:
        f.write(chunk_map_bytes(100000, 65536, [b"\x11" * 32, b"\x22" * 32]))
    expect(["info", os.path.join(s, "a", "b", "x.bin")], tmp,
           "file: %s\n  type: zuvo-file\n  file-size: 100000\n  chunk-size: 65536\n"
           "  hash-type: sha2_512\n  hash-size: 32\n" % shown(os.path.join(s, "a", "b", "x.bin")) + store_block)
    with open(os.path.join(s, "a", "plain.txt"), "w") as f:
        f.write("hello")
    expect(["info", "-z", os.path.join(s, "a", "plain.txt"), "extra"], tmp,
           'WARNING: Ignoring unknown switch "-z"\nWARNING: Ignoring unexpected argument "extra"\n'
           "file: %s\n  type: file\n" % shown(os.path.join(s, "a", "plain.txt")) + store_block)
    expect(["info", os.path.join(s, "no", "such")], tmp,
           "file: %s\n  type: no-exist\n" % shown(os.path.join(s, "no", "such")) + store_block)
    lone = os.path.join(tmp, "lone")
    os.mkdir(lone)
    expect(["info"], lone, "file: %s\n  type: folder\nstore: \n" % shown(lone))
    # A store whose _info is damaged is not found; the walk goes on above it.
    inner = os.path.join(s, "inner")
    expect(["create_store", os.path.join(tmp, "elsewhere")], tmp, CREATED)
    os.rename(os.path.join(tmp, "elsewhere"), inner)  # create_store refuses it inside s
    with open(os.path.join(inner, ".zuvo", "_info"), "r+b") as f:
        f.seek(22)
        f.write(b"\x02")
    expect(["info", inner], tmp, "file: %s\n  type: folder\n" % shown(inner) + store_block)


def main():
    global ZUVO
    ZUVO = os.path.abspath(sys.argv[2] if WINE else sys.argv[1])
    tests = [test_frame, test_create_store, test_info]
    return run_tests([(t.__name__, t) for t in tests])


if __name__ == "__main__":
    sys.exit(main())
