"""What the end-to-end scripts share: the failure type, the check, and the
runner that gives each test a fresh temporary folder and prints the summary
line ("N passed, N failed")."""
import os
import tempfile


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
