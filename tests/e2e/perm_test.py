#!/usr/bin/env python3
"""End-to-end tests of who may use a store: one planted by another user in a
folder anyone may write, one shared with a group, one made with the defaults.
Runs as root and plays the other users with setpriv (bare user and group
numbers, no accounts); prints "skipped: needs root" otherwise.

usage: perm_test.py PATH/TO/zuvo
"""
import os
import stat
import subprocess
import sys

from harness import check, read, run_tests, take_summary, write

ZUVO = None
ALICE, BOB, MALLORY, TEAM = 61001, 61002, 61003, 61010


def run(args, cwd, user=0, groups=(), umask=0o022):
    """Runs zuvo as `user` (0: root) with the supplementary `groups` and `umask`."""
    command = [ZUVO] + list(args)
    if user:
        joined = ",".join(str(g) for g in groups)
        command = ["setpriv", "--reuid=%d" % user, "--regid=%d" % user,
                   "--groups=" + joined if joined else "--clear-groups"] + command
    proc = subprocess.run(command, cwd=cwd, capture_output=True, timeout=60,
                          preexec_fn=lambda: os.umask(umask))
    return proc.returncode, take_summary(proc.stdout, proc.returncode)[0]


def folder(path, mode, owner=0, group=0):
    os.mkdir(path)
    os.chown(path, owner, group)
    os.chmod(path, mode)  # after chown, which clears set-group-ID
    return path


def modes(root):
    """{name below root: (mode bits, group, is a folder)}."""
    found = {}
    for where, folders, files in os.walk(root):
        for name in folders + files:
            st = os.lstat(os.path.join(where, name))
            found[name] = (stat.S_IMODE(st.st_mode), st.st_gid, stat.S_ISDIR(st.st_mode))
    return found


def source(tmp, name="src.bin", data=None):
    """A file everyone may read, in `tmp` made passable for other users."""
    os.chmod(tmp, 0o711)
    path = os.path.join(tmp, name)
    write(path, data or os.urandom(600000))
    os.chmod(path, 0o644)
    return path


def test_open_folder(tmp):
    src = source(tmp)
    for mode in (0o1777, 0o777):
        pub = folder(os.path.join(tmp, "pub%o" % mode), mode)
        rc, out = run(["create_store", pub], tmp, MALLORY)
        check(rc == 0, "the other user's create_store: %r" % out)
        meta, mine = os.path.join(pub, ".zuvo"), os.path.join(pub, "mine")
        os.mkdir(mine)
        refused = ('ERROR: Store owned by another user in a folder anyone may write "%s"\n'
                   % meta).encode()
        rc, out = run(["copy", src, os.path.join(mine, "copy.bin")], tmp)
        check(rc == 5 and out.endswith(refused), "copy under %o: %d %r" % (mode, rc, out))
        check(os.listdir(mine) == [] and os.listdir(meta) == ["_info"], "the copy left files")
        rc, out = run(["info", mine], tmp)
        check(rc == 5 and out == refused, "info under %o: %d %r" % (mode, rc, out))
        # Its owner still uses it.
        rc, out = run(["copy", src, pub], tmp, MALLORY)
        check(rc == 0 and len(os.listdir(meta)) > 1, "the owner's copy: %r" % out)


def test_team_store(tmp):
    src = source(tmp)
    other = source(tmp, "other.bin", read(src)[:300000] + os.urandom(300000))  # one chunk shared
    stored = {ALICE: (src, "a.bin"), BOB: (other, "b.bin")}
    # With set-group-ID the system hands the group down; without it zuvo must.
    for mode in (0o2770, 0o770):
        team = folder(os.path.join(tmp, "team%o" % mode), mode, ALICE, TEAM)
        rc, out = run(["create_store", team], tmp, ALICE, [TEAM])
        check(rc == 0, "create_store: %r" % out)
        meta = os.path.join(team, ".zuvo")
        info_group = os.stat(os.path.join(meta, "_info")).st_gid
        os.chown(meta, ALICE, TEAM)
        os.chmod(meta, mode)  # all that sharing it takes
        for user, (path, name) in stored.items():
            rc, out = run(["copy", path, os.path.join(team, name)], tmp, user, [TEAM])
            check(rc == 0, "%d's copy in: %r" % (user, out))
        # Each restores what the other stored.
        for user, (path, name) in ((ALICE, stored[BOB]), (BOB, stored[ALICE])):
            out_folder = folder(os.path.join(tmp, "out%d-%o" % (user, mode)), 0o700, user, user)
            rc, out = run(["copy", os.path.join(team, name), out_folder], tmp, user, [TEAM])
            check(rc == 0 and read(os.path.join(out_folder, name)) == read(path),
                  "%d's copy out: %r" % (user, out))
        found = modes(meta)
        for name, (got, group, is_folder) in found.items():
            want = ((0o644, info_group) if name == "_info" else (mode, TEAM) if is_folder
                    else (0o660, TEAM))
            check((got, group) == want, "%s is %o, group %d (in %o)" % (name, got, group, mode))
        check(sum(len(n) == 64 for n in found) == 5, "chunk files %r" % found)


def test_default_store_is_private(tmp):
    src = source(tmp)
    for umask in (0o022, 0o000):
        store = os.path.join(tmp, "s%o" % umask)
        for args in (["create_store", store], ["copy", src, store]):
            rc, out = run(args, tmp, umask=umask)
            check(rc == 0, "%r: %r" % (args, out))
        meta = os.path.join(store, ".zuvo")
        check(stat.S_IMODE(os.stat(meta).st_mode) == 0o700, ".zuvo under umask %o" % umask)
        for name, (got, _, is_folder) in modes(meta).items():
            want = 0o700 if is_folder else 0o644 if name == "_info" else 0o600
            check(got == want, "%s is %o under umask %o" % (name, got, umask))
        # The chunk map is a file of the user's folder: the umask decides.
        check(stat.S_IMODE(os.stat(os.path.join(store, "src.bin")).st_mode) == 0o666 & ~umask,
              "the chunk map under umask %o" % umask)


def test_root_adds_to_a_users_store(tmp):
    """What root copies into a user's private store stays the user's to read."""
    src = source(tmp)
    home = folder(os.path.join(tmp, "alice"), 0o700, ALICE, ALICE)
    store = os.path.join(home, "s")
    rc, out = run(["create_store", store], tmp, ALICE)
    check(rc == 0, "create_store: %r" % out)
    rc, out = run(["copy", src, store], tmp)
    check(rc == 0, "root's copy in: %r" % out)
    back = os.path.join(home, "back.bin")
    rc, out = run(["copy", os.path.join(store, "src.bin"), back], tmp, ALICE)
    check(rc == 0 and read(back) == read(src), "the owner's copy out: %r" % out)


def test_replaced_map_keeps_access(tmp):
    """A chunk map copied in again keeps its mode, owner and group."""
    src = source(tmp)
    store = folder(os.path.join(tmp, "team"), 0o770, ALICE, TEAM)
    rc, out = run(["create_store", store], tmp, ALICE, [TEAM])
    check(rc == 0, "create_store: %r" % out)
    mapped = os.path.join(store, "src.bin")
    # Replaced by a member of its group, then by root.
    for user, owner in ((ALICE, ALICE), (0, BOB)):
        rc, out = run(["copy", src, store], tmp, ALICE, [TEAM])
        check(rc == 0, "copy in: %r" % out)
        os.chown(mapped, owner, TEAM)
        os.chmod(mapped, 0o640)
        rc, out = run(["copy", "-w", src, store], tmp, user, [TEAM], umask=0o077)
        st = os.stat(mapped)
        check(rc == 0 and (stat.S_IMODE(st.st_mode), st.st_uid, st.st_gid) == (0o640, owner, TEAM),
              "replaced by %d: %o %d:%d %r" % (user, st.st_mode, st.st_uid, st.st_gid, out))


def link(target, path, owner):
    os.symlink(target, path)
    os.lchown(path, owner, owner)


def test_metadata_found_in_place(tmp):
    """create_store takes over an empty .zuvo only when it is the user's own."""
    os.chmod(tmp, 0o711)
    for owner, code in ((MALLORY, 5), (ALICE, 0)):
        store = folder(os.path.join(tmp, "s%d" % owner), 0o755, ALICE, ALICE)
        meta = folder(os.path.join(store, ".zuvo"), 0o755, owner, owner)
        rc, out = run(["create_store", store], tmp, ALICE)
        st = os.stat(meta)
        want = (0o755, MALLORY, []) if code else (0o700, ALICE, ["_info"])
        check(rc == code and (stat.S_IMODE(st.st_mode), st.st_uid, os.listdir(meta)) == want,
              ".zuvo of %d: %d %r" % (owner, rc, out))


def test_linked_metadata(tmp):
    """A .zuvo that is a link is judged by what it leads to and is never pruned
    or repaired: it may lead to the dictionary of another store."""
    src = source(tmp)
    home = folder(os.path.join(tmp, "alice"), 0o755, ALICE, ALICE)
    mine = os.path.join(home, "s")
    rootstore = os.path.join(tmp, "root")
    for args, user in ((["create_store", mine], ALICE), (["create_store", rootstore], 0),
                       (["copy", src, rootstore], 0)):
        rc, out = run(args, tmp, user)
        check(rc == 0, "%r: %r" % (args, out))
    other = folder(os.path.join(home, "other"), 0o755, ALICE, ALICE)
    link(os.path.join(rootstore, ".zuvo"), os.path.join(other, ".zuvo"), ALICE)
    # Copies in and out, verify and info go through it.
    back = os.path.join(tmp, "back.bin")
    for args in (["copy", src, os.path.join(other, "x.bin")],
                 ["copy", os.path.join(other, "x.bin"), back], ["verify", other], ["info", other]):
        rc, out = run(args, tmp)
        check(rc == 0, "%r through a link: %r" % (args, out))
    check(read(back) == read(src), "the copy out through a link")
    # The root cron job pruning users' stores deletes nothing of root's store.
    before = modes(os.path.join(rootstore, ".zuvo"))
    refused = ('ERROR: Will not prune or repair through a linked metadata folder "%s"\n'
               % os.path.join(other, ".zuvo")).encode()
    for args in (["prune", other], ["verify", "-r", other]):
        rc, out = run(args, tmp)
        check(rc == 5 and out.endswith(refused), "%r: %d %r" % (args, rc, out))
    check(modes(os.path.join(rootstore, ".zuvo")) == before, "the linked dictionary changed")

    # Links in or to folders that others may write.
    mhome = folder(os.path.join(tmp, "mallory"), 0o755, MALLORY, MALLORY)
    pub, pub2 = (folder(os.path.join(tmp, n), 0o1777) for n in ("pub", "pub2"))
    open_folder = folder(os.path.join(tmp, "open"), 0o777)
    for store in (mhome, open_folder):
        rc, out = run(["create_store", store], tmp, MALLORY)
        check(rc == 0, "create_store: %r" % out)
        os.chmod(os.path.join(store, ".zuvo"), 0o777)  # would take alice's data
    owned = "Store owned by another user in a folder anyone may write"
    cases = [
        # Planted by mallory, leading to alice's own store.
        (pub, os.path.join(mine, ".zuvo"), MALLORY, "Store link made by another user in a "
         "folder anyone may write"),
        # Alice's own link in an open folder to mallory's store.
        (pub2, os.path.join(mhome, ".zuvo"), ALICE, owned),
        # Alice's own folder, leading to mallory's store in an open folder.
        (folder(os.path.join(home, "t"), 0o755, ALICE, ALICE),
         os.path.join(open_folder, ".zuvo"), ALICE, owned),
    ]
    for where, target, owner, text in cases:
        meta = os.path.join(where, ".zuvo")
        link(target, meta, owner)
        before = modes(target)
        refused = ('ERROR: %s "%s"\n' % (text, meta)).encode()
        for args in (["copy", src, os.path.join(where, "x.bin")], ["info", where],
                     ["create_store", os.path.join(where, "new")]):
            rc, out = run(args, tmp, ALICE)
            check(rc == 5 and out.endswith(refused), "%r: %d %r" % (args, rc, out))
        check(sorted(os.listdir(where)) == [".zuvo"] and modes(target) == before,
              "%s: files were made" % meta)
    # Root adds to alice's store through her own link in her own folder.
    u = folder(os.path.join(home, "u"), 0o755, ALICE, ALICE)
    link(os.path.join(mine, ".zuvo"), os.path.join(u, ".zuvo"), ALICE)
    rc, out = run(["copy", src, u], tmp)
    check(rc == 0, "root's copy through alice's link: %r" % out)


TESTS = [
    ("store in a folder anyone may write", test_open_folder),
    ("metadata folder found in place", test_metadata_found_in_place),
    ("linked metadata folder", test_linked_metadata),
    ("root adds to a user's store", test_root_adds_to_a_users_store),
    ("team store", test_team_store),
    ("default store is private", test_default_store_is_private),
    ("replaced map keeps its access", test_replaced_map_keeps_access),
]

if __name__ == "__main__":
    ZUVO = os.path.abspath(sys.argv[1])
    if os.geteuid() != 0:
        print("skipped: needs root")
        sys.exit(0)
    sys.exit(run_tests(TESTS))
