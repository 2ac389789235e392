#!/usr/bin/env python3
"""End-to-end test of `zuvo copy` onto block devices (loop devices over image
files): a device whose size is not a multiple of the 4096-byte transfer block
gets exactly the source's bytes and nothing past their end. Needs root and
losetup; elsewhere it reports itself skipped.

usage: device_test.py PATH/TO/zuvo
"""
import os
import subprocess
import sys

from harness import check, read, run_tests, write

ZUVO = None
SIZE = 4 * 1024 * 1024 + 512  # ends 512 bytes into a transfer block
PATTERN = b"\xa5"


def run(args, cwd):
    proc = subprocess.run([ZUVO] + list(args), cwd=cwd, capture_output=True, timeout=120)
    return proc.returncode, proc.stdout


def attach(image):
    """The loop device over `image`, or None when this process may not make one."""
    try:
        proc = subprocess.run(["losetup", "-f", "--show", image], capture_output=True, timeout=30)
    except OSError:
        return None
    return proc.stdout.decode().strip() if proc.returncode == 0 else None


def test_copies_onto_devices(tmp):
    data = os.urandom(SIZE)
    write(os.path.join(tmp, "disk.img"), data)
    # Odd-sized: its tail is not a whole sector either.
    odd = os.urandom(1024 * 1024 + 1000)
    write(os.path.join(tmp, "odd.bin"), odd)
    rc, out = run(["create_store", "st"], tmp)
    check(rc == 0, "create_store: %r" % out)
    rc, out = run(["copy", "disk.img", "st/disk.img"], tmp)
    check(rc == 0, "copy into the store: %r" % out)

    # Devices of exactly the image's size, larger, and smaller, each filled
    # with a pattern that must survive past whatever is copied.
    sizes = {"exact": SIZE, "large": 2 * SIZE, "small": SIZE - 512}
    devices = {}
    try:
        for name, size in sizes.items():
            image = os.path.join(tmp, name + ".dev")
            write(image, PATTERN * size)
            devices[name] = attach(image)
            if devices[name] is None:
                print("  (losetup is not permitted here: skipped)")
                return

        def device(name):
            with open(devices[name], "rb") as f:
                return f.read()

        def copy(args, name, expected):
            rc, out = run(["copy"] + args + [devices[name]], tmp)
            check(rc == 0, "copy %r onto the %s device: exit %d, %r"
                  % (args, name, rc, out[-200:]))
            got = device(name)
            check(got[:len(expected)] == expected, "copy %r onto the %s device: wrong data"
                  % (args, name))
            check(got[len(expected):] == PATTERN * (sizes[name] - len(expected)),
                  "copy %r onto the %s device: bytes past the copy changed" % (args, name))

        # A restore, again over the same data (compared, nothing written), a
        # plain file, each onto a device of the same size.
        copy(["st/disk.img"], "exact", data)
        copy(["st/disk.img"], "exact", data)
        copy(["-w", "disk.img"], "exact", data)
        # With -p onto a larger device: the image, then an odd-sized file over
        # its start, with and without the compare.
        copy(["-p", "st/disk.img"], "large", data)
        copy(["-p", "odd.bin"], "large", odd + data[len(odd):])
        copy(["-p", "-w", "st/disk.img"], "large", data)
        copy(["-p", "-w", "odd.bin"], "large", odd + data[len(odd):])
        # A smaller device without -p fails before writing; with -p it takes
        # what fits.
        rc, out = run(["copy", "st/disk.img", devices["small"]], tmp)
        check(rc == 7 and b"Unable to set destination file size" in out,
              "restore onto a smaller device: exit %d, %r" % (rc, out[-200:]))
        check(device("small") == PATTERN * sizes["small"], "the smaller device was written")
        copy(["-p", "st/disk.img"], "small", data[:sizes["small"]])
    finally:
        for dev in devices.values():
            if dev:
                subprocess.run(["losetup", "-d", dev], capture_output=True, timeout=30)


def main():
    global ZUVO
    ZUVO = os.path.abspath(sys.argv[1])
    return run_tests([(t.__name__, t) for t in [test_copies_onto_devices]], sys.argv[2:])


if __name__ == "__main__":
    sys.exit(main())
