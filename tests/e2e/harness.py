"""What the end-to-end scripts share: the failure type, the check, the
runner that gives each test a fresh temporary folder and prints the summary
line ("N passed, N failed"), for the scripts that take
`[--wine] PROGRAM [TEST ...]` the program's command line, and the reader of
the summary line that copy, verify and prune end with."""
import os
import re
import sys
import tempfile

WINE = sys.argv[1:2] == ["--wine"]
_program = None


class Failure(Exception):
    pass


def check(cond, what):
    if not cond:
        raise Failure(what)


def write(path, data):
    """Writes `data` to `path`, making the folders on the way."""
    folder = os.path.dirname(path)
    if folder:
        os.makedirs(folder, exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def read(path):
    with open(path, "rb") as f:
        return f.read()


SUMMARY = re.compile(r"summary: (copy|verify|prune) exit=(\d+)((?: [a-z_]+=[0-9.]+)+)\r?\n\Z")


def take_summary(out, rc):
    """Splits the summary line off the end of a copy, verify or prune's output
    (str or bytes) and checks its exit status against `rc`: (the output
    before it, {key: value}), or (out, None) when there is none."""
    text = out.decode("utf-8", "surrogateescape") if isinstance(out, bytes) else out
    start = text.rfind("summary: ", 0, len(text) - 1)
    at_line = start == 0 or text[start - 1 : start] == "\n"
    m = SUMMARY.match(text, start) if start >= 0 and at_line else None
    if not m:
        return out, None
    check(int(m.group(2)) == rc, "summary says exit=%s, the exit status is %d" % (m.group(2), rc))
    values = {"exit": int(m.group(2))}
    for pair in m.group(3).split():
        key, value = pair.split("=")
        values[key] = float(value) if "." in value else int(value)
    rest = text[:start]
    return (rest.encode("utf-8", "surrogateescape") if isinstance(out, bytes) else rest), values


def run_tests(tests, only=()):
    """Runs each (name, function(tmp)) in a temporary folder; returns the exit code."""
    passed = failed = 0
    for name, test in tests:
        if only and name not in only:
            continue
        with tempfile.TemporaryDirectory() as tmp:
            try:
                test(os.path.realpath(tmp))
                passed += 1
                print("ok   %s" % name)
            except Failure as e:
                failed += 1
                print("FAIL %s: %s" % (name, e))
    print("%d passed, %d failed" % (passed, failed))
    return 1 if failed else 0


def command(args):
    """The command line that runs the program under test with `args`."""
    return (["wine", _program] if WINE else [_program]) + args


def shown(path):
    """A full Linux path as the program prints it."""
    return "Z:" + path.replace("/", "\\") if WINE else path


def main(tests):
    """Takes the program from the command line, then runs `tests` (or those named after it)."""
    global _program
    args = sys.argv[2:] if WINE else sys.argv[1:]
    _program = os.path.abspath(args[0])
    return run_tests([(t.__name__, t) for t in tests], args[1:])
