"""Checks what scripts/package.sh made: the Debian package (its control
fields, its files unpacked with dpkg -x, the unpacked executable doing a round
trip through a store, the manual page linted and matched against the
program's own help, the example units checked by systemd-analyze and their
commands run, the bash completion run in bash), `cmake --install` of the same
folder, and, when a Windows build folder is named, the zip of zuvo.exe.

usage: package_test.py BUILD_DIR [WIN_BUILD_DIR]
Needs dpkg-deb, groff and systemd-analyze (scripts/test.sh installs groff-base and systemd),
and bash."""
import glob
import gzip
import os
import re
import shlex
import shutil
import struct
import subprocess
import sys
import zipfile

from harness import check, run_tests

BUILD = os.path.abspath(sys.argv[1])
WIN_BUILD = os.path.abspath(sys.argv[2]) if len(sys.argv) > 2 else None
CHUNK = 262144
EXAMPLES = "usr/share/doc/zuvo/examples"
COMPLETION = "usr/share/bash-completion/completions/zuvo"
EXAMPLE_FILES = ["zuvo-copy.service", "zuvo-copy.timer", "zuvo-prune.service", "zuvo-prune.timer",
                 "zuvo-verify.service", "zuvo-verify.timer", "zuvo.cron"]


def run(args, **kw):
    return subprocess.run(args, capture_output=True, **kw)


def only_package(folder, pattern):
    found = glob.glob(os.path.join(folder, "packages", pattern))
    check(len(found) == 1, "expected one %s in %s/packages, found %r" % (pattern, folder, found))
    return found[0]


def deb_path():
    return only_package(BUILD, "zuvo_*.deb")


def unpack(tmp):
    root = os.path.join(tmp, "root")
    r = run(["dpkg", "-x", deb_path(), root])
    check(r.returncode == 0, "dpkg -x failed: %s" % r.stderr.decode())
    return root


def test_control_fields(tmp):
    deb = deb_path()
    fields = {}
    for name in ("Package", "Version", "Architecture", "Maintainer", "Depends"):
        r = run(["dpkg-deb", "-f", deb, name])
        check(r.returncode == 0, "dpkg-deb -f %s failed" % name)
        fields[name] = r.stdout.decode().strip()
    check(fields["Package"] == "zuvo", "Package: %r" % fields["Package"])
    check(fields["Architecture"] == "amd64", "Architecture: %r" % fields["Architecture"])
    check(fields["Maintainer"] == "The zuvo authors", "Maintainer: %r" % fields["Maintainer"])
    check(re.search(r"(^|, )libdeflate0( \(>= [^)]+\))?(,|$)", fields["Depends"]),
          "no libdeflate0 in Depends: %r" % fields["Depends"])
    expected = "zuvo_%s_amd64.deb" % fields["Version"]
    check(os.path.basename(deb) == expected, "file name %s, expected %s" % (deb, expected))


def test_files_under_usr(tmp):
    root = unpack(tmp)
    files = sorted(os.path.relpath(os.path.join(d, f), root)
                   for d, _, fs in os.walk(root) for f in fs)
    expected = sorted(["usr/bin/zuvo", "usr/share/man/man1/zuvo.1.gz", COMPLETION]
                      + [EXAMPLES + "/" + name for name in EXAMPLE_FILES])
    check(files == expected, "package files: %r" % files)
    check(os.access(os.path.join(root, "usr/bin/zuvo"), os.X_OK), "usr/bin/zuvo not executable")
    with open(os.path.join(root, "usr/bin/zuvo"), "rb") as f:
        check(f.read(4) == b"\x7fELF", "usr/bin/zuvo is not an ELF executable")


def zuvo(exe, *args):
    r = run([exe] + list(args))
    return r.returncode, r.stdout.decode(errors="replace")


def last_counter(out, name):
    """The value of counter `name` (sr, dr, dw) on the progress line's last state."""
    values = re.findall(name + r"=([0-9.]+)([KMGT]?B)", out)
    check(values, "no %s= in %r" % (name, out[-300:]))
    number, unit = values[-1]
    return float(number) * {"B": 1, "KB": 1e3, "MB": 1e6, "GB": 1e9, "TB": 1e12}[unit]


def test_installed_binary_round_trip(tmp):
    exe = os.path.join(unpack(tmp), "usr/bin/zuvo")
    data = os.urandom(3 * CHUNK) + bytes(2 * CHUNK) + os.urandom(1000)
    src = os.path.join(tmp, "disk.img")
    with open(src, "wb") as f:
        f.write(data)
    store = os.path.join(tmp, "store")
    rc, out = zuvo(exe, "create_store", "-z", store)
    check(rc == 0 and "Store folder created successfully." in out, "create_store: %d %r" % (rc, out))
    rc, out = zuvo(exe, "copy", src, store)
    check(rc == 0 and "copy complete" in out, "copy in: %d %r" % (rc, out))
    rc, out = zuvo(exe, "info", os.path.join(store, "disk.img"))
    check(rc == 0 and "type: zuvo-file" in out and "file-size: %d" % len(data) in out
          and "comp-type: zip" in out, "info: %r" % out)
    dst = os.path.join(tmp, "restored.img")
    rc, out = zuvo(exe, "copy", os.path.join(store, "disk.img"), dst)
    check(rc == 0, "copy out: %d %r" % (rc, out))
    with open(dst, "rb") as f:
        check(f.read() == data, "restored file differs")
    # Copied over an unchanged file, a restore reads and compares but writes nothing.
    rc, out = zuvo(exe, "copy", os.path.join(store, "disk.img"), dst)
    check(rc == 0 and last_counter(out, "dw") == 0, "second restore wrote data: %r" % out[-200:])
    check(last_counter(out, "dr") > 0, "second restore did not compare: %r" % out[-200:])


def man_source(root):
    with gzip.open(os.path.join(root, "usr/share/man/man1/zuvo.1.gz"), "rt") as f:
        return f.read()


def test_man_page_lints_and_renders(tmp):
    page = os.path.join(tmp, "zuvo.1")
    source = man_source(unpack(tmp))
    with open(page, "w") as f:
        f.write(source)
    # The page is written by hand: its title line must follow the project's version.
    version = run(["dpkg-deb", "-f", deb_path(), "Version"]).stdout.decode().strip()
    check(re.search(r'^\.TH ZUVO 1 \S+ "zuvo %s"' % re.escape(version), source, re.M),
          "the page's .TH line does not name version %s" % version)
    r = run(["groff", "-man", "-ww", "-z", page])
    check(r.returncode == 0 and r.stderr == b"", "groff warnings: %s" % r.stderr.decode())
    r = run(["groff", "-man", "-Tutf8", "-P-cbou", page])
    check(r.returncode == 0, "groff could not render the page")
    text = r.stdout.decode()
    for section in ("NAME", "SYNOPSIS", "DESCRIPTION", "COMMANDS", "EXAMPLES", "EXIT STATUS",
                    "FILES"):
        check(re.search(r"^%s$" % section, text, re.M), "no %s section" % section)


def help_switches(exe, command):
    """(switch, description) pairs from `zuvo COMMAND -h`."""
    rc, out = zuvo(exe, command, "-h")
    check(rc == 0, "%s -h: %d" % (command, rc))
    return re.findall(r"^  (-[a-z])(?: <[^>]+>)?  (.+?)\.?$", out, re.M)


def man_section(source, command):
    """The roff text of one command's subsection of COMMANDS."""
    m = re.search(r'^\.SS "%s .*?$(.*?)(?=^\.SS |^\.SH )' % command, source, re.M | re.S)
    check(m, "no subsection for %s" % command)
    return m.group(1)


def test_man_page_has_every_switch_of_the_help(tmp):
    root = unpack(tmp)
    exe = os.path.join(root, "usr/bin/zuvo")
    source = man_source(root)
    expected = {"create_store": 4, "copy": 8, "info": 0, "verify": 5, "prune": 4}
    for command, count in expected.items():
        switches = help_switches(exe, command)
        check(len(switches) == count, "%s -h lists %r" % (command, switches))
        section = man_section(source, command)
        for switch, description in switches:
            # An entry: the tag line of .TP, then text beginning with the help's own words.
            m = re.search(r"^\.TP\n\.BI? \\%s\b.*\n(.*)$" % switch, section, re.M)
            check(m, "%s: the page lacks the switch %s" % (command, switch))
            check(m.group(1).startswith(description), "%s %s: the page says %r, the help %r"
                  % (command, switch, m.group(1), description))


def test_example_units_verify(tmp):
    root = unpack(tmp)
    analyze = shutil.which("systemd-analyze")
    check(analyze, "systemd-analyze not found (it comes with the systemd package)")
    units = os.path.join(tmp, "units")
    os.makedirs(units)
    # A unit that cannot be wrong tells whether verify runs here at all.
    trivial = os.path.join(units, "trivial.service")
    with open(trivial, "w") as f:
        f.write("[Service]\nType=oneshot\nExecStart=/bin/true\n")
    r = run([analyze, "verify", trivial])
    if r.returncode != 0:
        reason = (r.stderr.decode().strip().splitlines() or ["no message"])[0]
        print("  (systemd-analyze verify does not run here: %s: skipped)" % reason)
        return
    os.remove(trivial)
    # The units name /usr/bin/zuvo and man:zuvo(1): point both at the unpacked package.
    exe = os.path.join(root, "usr/bin/zuvo")
    for name in EXAMPLE_FILES:
        if name.endswith((".service", ".timer")):
            with open(os.path.join(root, EXAMPLES, name)) as f:
                text = f.read()
            with open(os.path.join(units, name), "w") as f:
                f.write(text.replace("/usr/bin/zuvo", exe))
    env = dict(os.environ, MANPATH=os.path.join(root, "usr/share/man"))
    man = [] if shutil.which("man") else ["--man=no"]
    names = sorted(os.listdir(units))
    r = run([analyze, "verify"] + man + names, cwd=units, env=env)
    check(r.returncode == 0 and r.stderr == b"", "systemd-analyze verify: %d %s"
          % (r.returncode, r.stderr.decode()))


def example_commands(root):
    """The zuvo command lines of the example units and cron file, as argument lists."""
    commands = []
    for name in EXAMPLE_FILES:
        with open(os.path.join(root, EXAMPLES, name)) as f:
            for line in f:
                if name.endswith(".service") and line.startswith("ExecStart="):
                    commands.append(shlex.split(line[len("ExecStart="):]))
                elif name.endswith(".cron") and not line.startswith("#"):
                    m = re.search(r"\bzuvo (.*?) >>", line)
                    if m:
                        commands.append(["zuvo"] + shlex.split(m.group(1)))
    return commands


def test_example_commands_run(tmp):
    """Each example's command, its placeholders replaced, runs to success on a real store."""
    root = unpack(tmp)
    exe = os.path.join(root, "usr/bin/zuvo")
    store = os.path.join(tmp, "store")
    source = os.path.join(tmp, "disk.img")
    with open(source, "wb") as f:
        f.write(os.urandom(2 * CHUNK + 100))
    check(zuvo(exe, "create_store", store)[0] == 0, "create_store failed")
    commands = example_commands(root)
    check(sorted(c[1] for c in commands) == ["copy", "copy", "prune", "prune", "verify", "verify"],
          "example commands: %r" % commands)
    place = {"/srv/zuvo/store": store, "/srv/vm/disk.img": source}
    for command in commands:
        args = [place.get(a, a) for a in command[1:]]
        rc, out = zuvo(exe, *args)
        check(rc == 0 and "WARNING" not in out, "%s: %d %r" % (" ".join(command), rc, out[-300:]))
    check(os.path.isfile(os.path.join(store, "disk.img")), "the example copy made no chunk map")


def complete(completion, cwd, lines):
    """Completions of each line (the cursor at its end) by the completion script in bash."""
    script = ["source %s || exit 9" % shlex.quote(completion),
              "complete -p zuvo | grep -q -- '-F _zuvo' || exit 8"]
    for line in lines:
        words = line.split(" ")
        script.append("COMP_WORDS=(%s); COMP_CWORD=%d; COMPREPLY=(); _zuvo; echo \"${COMPREPLY[*]}\""
                      % (" ".join(shlex.quote(w) for w in words), len(words) - 1))
    r = run(["bash", "--norc", "--noprofile", "-c", "\n".join(script)], cwd=cwd)
    check(r.returncode == 0, "bash: %d %s" % (r.returncode, r.stderr.decode()))
    out = r.stdout.decode().split("\n")[:len(lines)]
    return {line: sorted(result.split()) for line, result in zip(lines, out)}


def test_bash_completion(tmp):
    root = unpack(tmp)
    exe = os.path.join(root, "usr/bin/zuvo")
    os.makedirs(os.path.join(tmp, "dstore"))
    open(os.path.join(tmp, "disk.img"), "w").close()
    with_switches = ("copy", "create_store", "verify", "prune")
    cases = {
        "zuvo c": ["copy", "create_store"],
        "zuvo help pr": ["prune"],
        "zuvo copy d": ["disk.img", "dstore"],
        "zuvo copy -d d": ["dstore"],
        "zuvo prune d": ["dstore"],
        "zuvo copy -t ": [],
        "zuvo info -": [],
    }
    # Every switch of a command's help, and no other; after a value, switches again.
    for command in with_switches:
        cases["zuvo %s -" % command] = sorted(s for s, _ in help_switches(exe, command))
    cases["zuvo Copy -t 5 -"] = cases["zuvo copy -"]
    got = complete(os.path.join(root, COMPLETION), tmp, list(cases))
    for line, expected in cases.items():
        check(got[line] == expected, "%r completes to %r, expected %r" % (line, got[line], expected))
    for command in ("copy", "verify", "prune"):
        check({"-q", "-t"} <= set(got["zuvo %s -" % command]), "%s lacks -q or -t" % command)


def test_cmake_install(tmp):
    prefix = os.path.join(tmp, "prefix")
    r = run(["cmake", "--install", BUILD, "--prefix", prefix])
    check(r.returncode == 0, "cmake --install failed: %s" % r.stderr.decode())
    check(os.access(os.path.join(prefix, "bin/zuvo"), os.X_OK), "no bin/zuvo")
    check(os.path.isfile(os.path.join(prefix, "share/man/man1/zuvo.1.gz")), "no zuvo.1.gz")
    for name in [COMPLETION[len("usr/"):]] + ["share/doc/zuvo/examples/" + n for n in EXAMPLE_FILES]:
        check(os.path.isfile(os.path.join(prefix, name)), "no %s" % name)
    rc, out = zuvo(os.path.join(prefix, "bin/zuvo"), "version")
    check(rc == 0 and out.strip(), "installed zuvo version: %d %r" % (rc, out))


def test_windows_zip(tmp):
    path = only_package(WIN_BUILD, "zuvo-*-win64.zip")
    top = os.path.basename(path)[:-len(".zip")]
    with zipfile.ZipFile(path) as z:
        names = sorted(z.namelist())
        check(names == [top + "/README.txt", top + "/zuvo.exe"], "zip holds %r" % names)
        exe = z.read(top + "/zuvo.exe")
    check(exe[:2] == b"MZ", "zuvo.exe has no MZ header")
    pe = struct.unpack_from("<I", exe, 0x3C)[0]
    check(exe[pe:pe + 4] == b"PE\0\0", "zuvo.exe has no PE header")
    machine = struct.unpack_from("<H", exe, pe + 4)[0]
    check(machine == 0x8664, "zuvo.exe is for machine 0x%x, not x86-64" % machine)


TESTS = [
    ("control_fields", test_control_fields),
    ("files_under_usr", test_files_under_usr),
    ("installed_binary_round_trip", test_installed_binary_round_trip),
    ("man_page_lints_and_renders", test_man_page_lints_and_renders),
    ("man_page_has_every_switch_of_the_help", test_man_page_has_every_switch_of_the_help),
    ("example_units_verify", test_example_units_verify),
    ("example_commands_run", test_example_commands_run),
    ("bash_completion", test_bash_completion),
    ("cmake_install", test_cmake_install),
]
if WIN_BUILD:
    TESTS.append(("windows_zip", test_windows_zip))

if __name__ == "__main__":
    sys.exit(run_tests(TESTS))
