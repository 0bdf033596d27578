#!/usr/bin/env python3
"""Checks the manual pages in data/man against the programs of a build.

For each program: every option that its --help names appears in its page,
--version prints "<program> <version>", and `man --warnings` finds nothing
to say about the page.

    check-man-pages.py BUILD_DIR VERSION

A program whose source folder is not in the checkout is skipped (and says
so); one whose source is there but was not built is an error.
"""
import os
import pathlib
import re
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
# program, its path in the build tree, its source folder, its page
PROGRAMS = [
    ("km7", "km7", "src/app", "data/man/km7.1"),
    ("km7-mail", "tools/km7-mail/km7-mail", "tools/km7-mail", "data/man/km7-mail.1"),
    ("km7d", "service/km7d/km7d", "service/km7d", "data/man/km7d.8"),
]
OPTION = re.compile(r"(?<![\w-])(--[a-z][a-z0-9-]*|-[a-zA-Z])(?![\w-])")


def page_text(page: pathlib.Path) -> str:
    """The page's words as a reader sees them: no font changes, plain hyphens."""
    text = page.read_text()
    text = re.sub(r"\\f[BIRP]|\\f\(..|\\&", "", text)
    return text.replace("\\-", "-").replace("\\e", "\\")


def run(args, env=None):
    return subprocess.run(args, capture_output=True, text=True, timeout=60, env=env)


def main() -> int:
    if len(sys.argv) != 3:
        print(__doc__)
        return 2
    build = pathlib.Path(sys.argv[1])
    version = sys.argv[2]
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen", LC_ALL="C.UTF-8", MANWIDTH="80")
    problems = []
    checked = 0
    for name, binary, source, page in PROGRAMS:
        if not (ROOT / source).is_dir():
            print(f"{name}: not in this checkout, skipped")
            continue
        program = build / binary
        if not os.access(program, os.X_OK):
            problems.append(f"{name}: {program} was not built")
            continue
        page_path = ROOT / page
        if not page_path.is_file():
            problems.append(f"{name}: no manual page {page}")
            continue
        checked += 1
        help_run = run([str(program), "--help"], env)
        if help_run.returncode != 0 or not help_run.stdout:
            problems.append(f"{name} --help: exit {help_run.returncode}, {help_run.stderr.strip()!r}")
        words = set(re.findall(r"[\w-]+", page_text(page_path)))
        for option in sorted(set(OPTION.findall(help_run.stdout))):
            if option not in words:
                problems.append(f"{page}: {name} --help names {option}, the page does not")
        version_run = run([str(program), "--version"], env)
        if version_run.returncode != 0 or version_run.stdout != f"{name} {version}\n":
            problems.append(f"{name} --version: exit {version_run.returncode}, printed {version_run.stdout!r}, "
                            f"expected {name + ' ' + version!r}")
        man_run = run(["man", "--warnings", "-E", "UTF-8", "-l", str(page_path)], env)
        if man_run.returncode != 0 or man_run.stderr.strip():
            problems.append(f"{page}: man --warnings says: {man_run.stderr.strip()}")
    for p in problems:
        print(p)
    if problems:
        return 1
    print(f"manual pages: {checked} checked, every option of --help in its page")
    return 0


if __name__ == "__main__":
    sys.exit(main())
