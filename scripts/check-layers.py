#!/usr/bin/env python3
"""Checks that dependencies between the subsystems under src/ point downwards.

Two kinds of arrow are read: #include "sub/..." lines in src/, tools/ and
bench/, and the km7_* libraries each src/<sub>/CMakeLists.txt links. Each
subsystem may depend only on those listed for it below; the layers that must
know nothing of Qt may not include a Qt header. Exits 1 and names every
offending arrow.
"""
import pathlib
import re
import sys

# What each subsystem may use, besides itself.
ALLOWED = {
    "platform": set(),
    "settings": {"platform"},
    "ui": {"platform"},
    "acquisition": {"platform"},
    "smtp": {"platform"},
    "devices": {"platform", "settings", "ui", "acquisition"},
    "datalog": {"platform", "settings", "ui"},
    "chart": {"platform", "settings", "ui"},
    "alarms": {"platform", "settings", "ui", "smtp"},
    "app": {"platform", "settings", "ui", "acquisition", "smtp", "devices", "datalog", "chart", "alarms"},
}
NO_QT = {"platform", "settings", "acquisition", "smtp"}
# Folders outside src/ and what they may include.
OUTSIDE = {
    "tools": {"platform", "smtp"},
    "sim": set(),
}

INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]')
LINK = re.compile(r"target_link_libraries\s*\(\s*(\S+)([^)]*)\)", re.S)


def main() -> int:
    root = pathlib.Path(__file__).resolve().parent.parent
    src = root / "src"
    problems = []
    subsystems = {p.name for p in src.iterdir() if p.is_dir()}
    unknown = subsystems - ALLOWED.keys()
    for name in sorted(unknown):
        problems.append(f"src/{name}: a subsystem with no place in the layers of {pathlib.Path(__file__).name}")

    def check_file(path, owner, allowed, no_qt):
        for number, line in enumerate(path.read_text(errors="replace").splitlines(), 1):
            m = INCLUDE.match(line)
            if not m:
                continue
            bracket, target = m.groups()
            where = f"{path.relative_to(root)}:{number}"
            if bracket == "<" and no_qt and re.match(r"Q[A-Za-z]+(/|$)", target):
                problems.append(f"{where}: {owner} knows nothing of Qt, but includes <{target}>")
            if bracket != '"' or "/" not in target:
                continue
            dep = target.split("/", 1)[0]
            if dep in ALLOWED and dep != owner and dep not in allowed:
                problems.append(f"{where}: {owner} includes {target}, which is not below it")

    for sub in sorted(subsystems & ALLOWED.keys()):
        for path in sorted((src / sub).rglob("*")):
            if path.suffix in {".h", ".cpp"}:
                check_file(path, sub, ALLOWED[sub], sub in NO_QT)
        cmake = src / sub / "CMakeLists.txt"
        if cmake.exists():
            for m in LINK.finditer(cmake.read_text()):
                for lib in re.findall(r"\bkm7_([a-z]+)\b", m.group(2)):
                    if lib in ALLOWED and lib != sub and lib not in ALLOWED[sub]:
                        problems.append(f"src/{sub}/CMakeLists.txt: km7_{sub} links km7_{lib}, which is not below it")
    for folder, allowed in OUTSIDE.items():
        for path in sorted((root / folder).rglob("*")):
            if path.suffix in {".h", ".cpp"}:
                check_file(path, folder, allowed, False)

    for p in problems:
        print(p)
    if problems:
        return 1
    print("layers: every arrow points downwards")
    return 0


if __name__ == "__main__":
    sys.exit(main())
