#!/usr/bin/env python3
"""Faults of a replicated network volume mounted twice (two clients, as two
machines would mount it), run by scripts/fs_gluster.sh after the common legs:
  - the store lock between the clients: a lock held through one mount keeps
    `prune -b` and `copy -b` through the other out, and a prune through one
    mount never runs while a copy through the other does;
  - a brick's server killed in the middle of an ingest, started again and
    healed: `verify` finds 0 problems, every map restores byte for byte, and
    every brick holds every chunk file, each hashing to its name;
  - a client killed in the middle of a copy: the old map stays, no partial
    chunk file appears under a chunk's name, and the copy done again succeeds.
The client leg kills the second mount's client, so it runs last.

usage: cluster_faults.py ZUVO MOUNT1 MOUNT2 --volume V --sock GLUSTERD_SOCKET
                         --client-pid PIDFILE_OF_MOUNT2
"""
import argparse
import fcntl
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import xml.etree.ElementTree as ET

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import fs_legs  # noqa: E402
from fs_legs import Failure, must, read, write, zuvo  # noqa: E402

crash_soak = fs_legs.crash_soak
K = 262144  # the default chunk size: the size users' stores have


def refused_busy(r):
    """Whether a command with -b stopped at the store lock."""
    return r.returncode != 0 and b"in use by another zuvo command" in r.stdout


def verify_clean(exe, store):
    r = must(exe, "verify", store)
    text = r.stdout.decode(errors="replace")
    if not re.search(r"( 0 problems$|problems=0\b)", text, re.M):
        raise Failure("verify: " + text.strip().splitlines()[-1])


def gluster(sock, *args):
    r = subprocess.run(["gluster", "--mode=script", "--glusterd-sock=" + sock] + list(args),
                       stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=60)
    return r.returncode, r.stdout.decode(errors="replace")


def bricks(sock, volume):
    """(path, pid) of each brick, pid 0 when its server is down."""
    rc, out = gluster(sock, "volume", "status", volume, "--xml")
    if rc != 0:
        raise Failure("volume status: " + out[-200:])
    found = []
    for node in ET.fromstring(out).iter("node"):
        path, pid = node.findtext("path"), node.findtext("pid")
        if path and path.startswith("/"):
            found.append((path, int(pid or 0) if node.findtext("status") == "1" else 0))
    return found


def pending_heals(sock, volume):
    """(entries left to heal, their names), or (None, []) while a brick is
    still coming up."""
    # The heal report's own tool: the command line's "heal info" asks only
    # the default glusterd, not the one at `sock`.
    libexec = subprocess.run(["glusterfs", "--print-libexecdir"], stdout=subprocess.PIPE,
                             text=True).stdout.strip()
    r = subprocess.run([os.path.join(libexec, "glfsheal"), volume, "glusterd-sock", sock],
                       stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=60)
    lines = r.stdout.decode(errors="replace").splitlines()
    counts = [line.split(":", 1)[1].strip() for line in lines
              if line.startswith("Number of entries:")]
    if r.returncode != 0 or not counts or not all(c.isdigit() for c in counts):
        return None, []
    return sum(int(c) for c in counts), [line.strip() for line in lines if line.startswith("/")]


def heal(sock, volume, mount, limit=120):
    """Starts every brick again and waits until nothing is left to heal.
    Returns the seconds it took and how many entries a client had to look up."""
    started = time.monotonic()
    last_trigger = 0.0
    looked_up = set()
    left, names = None, []
    while time.monotonic() - started < limit:
        if not all(pid for _, pid in bricks(sock, volume)):
            # Until glusterd has seen the brick die, a start is a no-op: again.
            rc, out = gluster(sock, "volume", "start", volume, "force")
            if rc != 0:
                raise Failure("volume start force: " + out[-200:])
        else:
            if time.monotonic() - last_trigger > 10:
                gluster(sock, "volume", "heal", volume)
                last_trigger = time.monotonic()
            left, names = pending_heals(sock, volume)
            if left == 0:
                return time.monotonic() - started, len(looked_up)
            # An entry the daemon leaves for long is healed by a client's
            # lookup, as an administrator would make one.
            if time.monotonic() - started > 30:
                for name in names:
                    try:
                        os.stat(os.path.join(mount, name.lstrip("/")))
                    except OSError:
                        pass
                    looked_up.add(name)
        time.sleep(1)
    raise Failure("entries still to heal after %d s: %s %s" % (limit, left, " ".join(names[:5])))


def chunk_names(folder):
    names = set()
    for _, _, files in os.walk(os.path.join(folder, ".zuvo")):
        names.update(f for f in files if len(f) == 64)
    return names


def check_chunks(store):
    """Every chunk file hashes to its name; returns the chunk names."""
    stats = crash_soak.Stats()
    crash_soak.check_chunks(stats, 0, store, K, False)
    if stats.damaged:
        raise Failure("; ".join(stats.problems[:3]))
    return chunk_names(store)


def wait_for_chunks(proc, brick_store, count):
    """Waits until the copy has stored `count` chunk files (seen on a brick,
    which costs the clients nothing); False when it ended first."""
    while proc.poll() is None:
        if len(chunk_names(brick_store)) >= count:
            return True
        time.sleep(0.02)
    return False


def ended_with_error(proc, what):
    out = proc.communicate()[0].decode(errors="replace")
    errors = [line for line in out.splitlines() if line.startswith("ERROR: ")]
    if proc.returncode == 0:
        return None
    if not errors:
        raise Failure("%s: exit %d without an error line" % (what, proc.returncode))
    return "exit %d, %s" % (proc.returncode, errors[-1][:90])


def take_lock(f, how, limit=10):
    """The lock, once the previous holder's release has reached the servers."""
    until = time.monotonic() + limit
    while True:
        try:
            return fcntl.flock(f, how | fcntl.LOCK_NB)
        except BlockingIOError:
            if time.monotonic() > until:
                raise Failure("the store lock is still held %d s after its holder ended" % limit)
            time.sleep(0.1)


def leg_lock(exe, m1, m2, local, brick):
    store1, store2 = os.path.join(m1, "lock"), os.path.join(m2, "lock")
    must(exe, "create_store", store1)
    src = os.path.join(local, "lock.bin")
    write(src, os.urandom(24 << 20))
    info1, info2 = (os.path.join(s, ".zuvo", "_info") for s in (store1, store2))
    # A copy's shared lock through one client keeps a prune out through the
    # other; a prune's exclusive one keeps a copy out.
    for held, how, args in ((info1, fcntl.LOCK_SH, ("prune", "-b", store2)),
                            (info2, fcntl.LOCK_EX, ("copy", "-b", src, os.path.join(store1, "x")))):
        with open(held, "r+b") as f:
            take_lock(f, how)
            r = zuvo(exe, *args)
            # Unlocked before the close: a FUSE client lets go of a file at
            # a close only some time later.
            fcntl.flock(f, fcntl.LOCK_UN)
        if not refused_busy(r):
            raise Failure("zuvo %s while the other client holds the lock: exit %d" % (args[0], r.returncode))
    # A running copy through mount 1 against prunes through mount 2.
    copy = subprocess.Popen([exe, "copy", src, os.path.join(store1, "m")],
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    kept_out = 0
    try:
        if not wait_for_chunks(copy, os.path.join(brick, "lock"), 2):
            raise Failure("the copy ended before it could be watched")
        while copy.poll() is None:
            r = zuvo(exe, "prune", "-b", store2)
            if r.returncode == 0 and copy.poll() is None:
                raise Failure("a prune through one client ran during a copy through the other")
            kept_out += refused_busy(r)
    finally:
        out = copy.communicate()[0]
    if copy.returncode != 0:
        raise Failure("the copy failed: %r" % out[-300:])
    if kept_out == 0:
        raise Failure("no prune was tried during the copy")
    must(exe, "prune", "-b", store2)
    fs_legs.restore_equals(exe, os.path.join(store2, "m"), read(src), local)
    shutil.rmtree(store1)
    return "held through either client, the other's prune -b and copy -b refused; %d prunes kept out of a running copy" % kept_out


def leg_brick_killed(exe, m1, m2, local, sock, volume):
    store = os.path.join(m1, "healed")
    must(exe, "create_store", store)
    rng = random.Random(5)
    old = rng.randbytes(4 << 20)
    write(os.path.join(local, "old"), old)
    must(exe, "copy", os.path.join(local, "old"), os.path.join(store, "m"))
    must(exe, "copy", os.path.join(local, "old"), os.path.join(store, "other"))
    old_map = read(os.path.join(store, "m"))
    new = rng.randbytes(32 << 20)
    write(os.path.join(local, "new"), new)
    (victim, pid), survivor = bricks(sock, volume)[0], bricks(sock, volume)[1][0]
    copy = subprocess.Popen([exe, "copy", os.path.join(local, "new"), os.path.join(store, "m")],
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    if not wait_for_chunks(copy, os.path.join(survivor, "healed"), 16 + 40):
        copy.communicate()
        raise Failure("the ingest ended before the brick could be killed")
    os.kill(pid, signal.SIGKILL)
    error = ended_with_error(copy, "an ingest that lost a brick")
    if error is None:
        outcome, expected = "the ingest completed on the other replica", new
    else:
        if read(os.path.join(store, "m")) != old_map:
            raise Failure("a failed ingest changed the previous map (%s)" % error)
        outcome, expected = "the ingest failed (%s), the previous map kept" % error, old
    took, looked_up = heal(sock, volume, m2)
    store2 = os.path.join(m2, "healed")
    verify_clean(exe, store2)
    fs_legs.restore_equals(exe, os.path.join(store2, "m"), expected, local)
    fs_legs.restore_equals(exe, os.path.join(store2, "other"), old, local)
    # Each brick on its own: the healed one holds the same chunk files.
    names = [check_chunks(os.path.join(path, "healed")) for path, _ in bricks(sock, volume)]
    if any(n != names[0] for n in names):
        raise Failure("the bricks hold different chunk files after the heal")
    shutil.rmtree(store)
    lookups = " (%d entries looked up by a client)" % looked_up if looked_up else ""
    return "%s; healed in %.0f s%s, verify: 0 problems, every map restored, %d chunk files alike on every brick" % (
        outcome, took, lookups, len(names[0]))


def leg_client_killed(exe, m1, m2, local, sock, volume, client_pid):
    store = os.path.join(m1, "client")
    must(exe, "create_store", store)
    old = os.urandom(4 << 20)
    write(os.path.join(local, "old"), old)
    must(exe, "copy", os.path.join(local, "old"), os.path.join(store, "m"))
    old_map = read(os.path.join(store, "m"))
    new = os.urandom(32 << 20)
    write(os.path.join(local, "new"), new)
    brick = bricks(sock, volume)[0][0]
    copy = subprocess.Popen([exe, "copy", os.path.join(local, "new"), os.path.join(m2, "client", "m")],
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    if not wait_for_chunks(copy, os.path.join(brick, "client"), 16 + 40):
        copy.communicate()
        raise Failure("the copy ended before its client could be killed")
    with open(client_pid) as f:
        os.kill(int(f.read()), signal.SIGKILL)
    error = ended_with_error(copy, "a copy whose client died")
    if error is None:
        raise Failure("a copy whose client was killed succeeded")
    if read(os.path.join(store, "m")) != old_map:
        raise Failure("the old map changed")
    check_chunks(store)
    for path, _ in bricks(sock, volume):
        check_chunks(os.path.join(path, "client"))
    verify_clean(exe, store)
    must(exe, "copy", os.path.join(local, "new"), os.path.join(store, "m"))
    fs_legs.restore_equals(exe, os.path.join(store, "m"), new, local)
    return "%s; old map intact, no partial chunk file on any brick, the copy again through the other client succeeds" % error


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("zuvo")
    ap.add_argument("mount1")
    ap.add_argument("mount2")
    ap.add_argument("--volume", required=True)
    ap.add_argument("--sock", required=True, help="glusterd's socket")
    ap.add_argument("--client-pid", required=True, help="pid file of the second mount's client")
    a = ap.parse_args()
    exe = os.path.abspath(a.zuvo)
    local = tempfile.mkdtemp(prefix="zuvo-cluster-")
    first_brick = bricks(a.sock, a.volume)[0][0]
    legs = [("lock between clients", lambda: leg_lock(exe, a.mount1, a.mount2, local, first_brick)),
            ("brick killed in an ingest", lambda: leg_brick_killed(exe, a.mount1, a.mount2, local,
                                                                   a.sock, a.volume)),
            ("client killed in a copy", lambda: leg_client_killed(exe, a.mount1, a.mount2, local,
                                                                  a.sock, a.volume, a.client_pid))]
    failed = 0
    try:
        for leg, run in legs:
            try:
                print("ok   glusterfs: %s: %s" % (leg, run()), flush=True)
            except (Failure, OSError, subprocess.SubprocessError) as e:
                failed += 1
                print("FAIL glusterfs: %s: %s" % (leg, e), flush=True)
    finally:
        shutil.rmtree(local, ignore_errors=True)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
