#!/usr/bin/env python3
"""Checks that every repository file and folder a Markdown page names exists.

usage: check_doc_paths.py [--root DIR] [FILE.md ...]

Without files it checks doc/architecture.md. A named path is one found in
inline code, a fenced block or a link: a path whose first folder is one of the
repository's top-level folders (base/, copy/, doc/, ...), or a top-level file
such as README.md; it is taken relative to the repository root. `dir/` must be
a folder; `*` matches and `{a,b}` expands as in a shell (each choice must
exist); `dir/name` without an extension also stands for `dir/name.*` (a
module's header and source). A relative link target must exist relative to
the page that holds it. Paths outside the repository (`/usr/local`,
`S/.zuvo/...`) are not checked.

Prints one line and exits 0 when everything exists; lists each missing path
with its file and line and exits 1 otherwise, or when the pages name no
repository path at all (then the check would have checked nothing).
"""
import argparse
import glob
import os
import re
import sys

TOP_FOLDERS = {".ci", "base", "bench", "cmake", "copy", "doc", "frame", "fuzz", "hash",
               "platform", "scripts", "store", "tests"}
TOP_FILES = {"README.md", "CMakeLists.txt", ".clang-format", ".gitignore"}

FENCE = re.compile(r"^\s*(`{3,}|~{3,})")
CODE_SPAN = re.compile(r"(`+)(.+?)\1")
LINK = re.compile(r"\]\(\s*<?([^)\s>]+)>?(?:\s+\"[^\"]*\")?\s*\)")
REFERENCE = re.compile(r"^\s{0,3}\[[^\]]+\]:\s*<?(\S+?)>?(?:\s|$)")
# A path: name characters (or {a,b} choices) with at least one slash.
_PART = r"(?:[\w.*-]|\{[\w.,-]+\})"
PATH_TOKEN = re.compile(r"(?<![\w.*/{},-])(" + _PART + r"+(?:/" + _PART + r"*)+)")
BRACES = re.compile(r"\{([^{}]*)\}")
# A top-level file named on its own.
FILE_TOKEN = re.compile(r"(?<![\w./-])(" + "|".join(re.escape(f) for f in sorted(TOP_FILES)) +
                        r")(?![\w/-])")


def expand(token):
    """The paths a token stands for: `a/{b,c}/d` is `a/b/d` and `a/c/d`."""
    m = BRACES.search(token)
    if not m:
        return [token]
    return [path for choice in m.group(1).split(",")
            for path in expand(token[:m.start()] + choice + token[m.end():])]


def repo_paths(text):
    """The repository paths named in one piece of code text."""
    found = []
    for m in PATH_TOKEN.finditer(text):
        for token in expand(m.group(1)):
            if token.split("/", 1)[0] in TOP_FOLDERS | TOP_FILES:
                found.append(token)
    found.extend(m.group(1) for m in FILE_TOKEN.finditer(text))
    return found


def exists(root, path):
    full = os.path.join(root, path)
    if any(c in path for c in "*?["):
        return bool(glob.glob(full))
    if path.endswith("/"):
        return os.path.isdir(full)
    if os.path.exists(full):
        return True
    last = path.rsplit("/", 1)[-1]
    # A module named by its stem: base/jindex stands for base/jindex.h and .cpp.
    return "." not in last and bool(glob.glob(glob.escape(full) + ".*"))


def named_paths(lines):
    """(line number, kind, path) for every path named: kind 'repo' or 'link'."""
    in_fence = None
    for number, line in enumerate(lines, 1):
        fence = FENCE.match(line)
        if in_fence:
            if fence and fence.group(1)[0] == in_fence[0] and len(fence.group(1)) >= len(in_fence):
                in_fence = None
            else:
                for path in repo_paths(line):
                    yield number, "repo", path
            continue
        if fence:
            in_fence = fence.group(1)
            continue
        for m in CODE_SPAN.finditer(line):
            for path in repo_paths(m.group(2)):
                yield number, "repo", path
        outside = CODE_SPAN.sub("", line)
        targets = [m.group(1) for m in LINK.finditer(outside)]
        m = REFERENCE.match(outside)
        if m:
            targets.append(m.group(1))
        for target in targets:
            if re.match(r"^[a-zA-Z][a-zA-Z0-9+.-]*:", target) or target.startswith("#"):
                continue  # a web address, mail address or anchor in the page
            target = re.split(r"[#?]", target, 1)[0]
            if target:
                yield number, "link", target


def check_file(root, page):
    """Returns (count of paths checked, list of problems)."""
    with open(page, encoding="utf-8") as f:
        lines = f.read().splitlines()
    shown = os.path.relpath(os.path.abspath(page), root)
    if shown.startswith(".."):
        shown = page
    here = os.path.dirname(os.path.abspath(page))
    count = 0
    problems = []
    for number, kind, path in named_paths(lines):
        count += 1
        if kind == "repo":
            ok = exists(root, path)
        else:
            ok = os.path.exists(os.path.normpath(os.path.join(here, path)))
        if not ok:
            what = "link target" if kind == "link" else "path"
            problems.append("%s:%d: %s %s does not exist" % (shown, number, what, path))
    return count, problems


def main(argv):
    root_default = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    parser = argparse.ArgumentParser(description=__doc__.split("\n", 1)[0])
    parser.add_argument("--root", default=root_default, help="the repository root")
    parser.add_argument("pages", nargs="*", help="Markdown files (default doc/architecture.md)")
    args = parser.parse_args(argv)
    root = os.path.abspath(args.root)
    pages = args.pages or [os.path.join(root, "doc", "architecture.md")]
    total = 0
    problems = []
    for page in pages:
        if not os.path.isfile(page):
            print("check_doc_paths: no such file: %s" % page, file=sys.stderr)
            return 2
        count, found = check_file(root, page)
        total += count
        problems.extend(found)
    if total == 0:
        problems.append("no repository path named in %s (nothing was checked)" % ", ".join(pages))
    if problems:
        for line in problems:
            print(line)
        return 1
    print("doc paths: %d named paths in %d page%s exist" %
          (total, len(pages), "" if len(pages) == 1 else "s"))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
