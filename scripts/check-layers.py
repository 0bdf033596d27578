#!/usr/bin/env python3
"""Checks that dependencies between km7's libraries point downwards.

The build enforces most of this by itself: each library exports only its own
include folder (cmake/Km7Subsystem.cmake), so an include of a layer that is not
linked fails to compile. This script checks what the compiler cannot see:

- which libraries each library links (a link opens a layer's headers);
- includes by relative path ("../app/Km7Dlg.h"), which reach past the include
  folders; every relative include that leaves its own folder is an error;
- Qt: the layers in NO_QT include no Qt header (in <> or in quotes) and link
  no Qt library, directly or through a library they link; service libraries
  link at most Qt6::Core; a library target named *_core links no Qt6::Widgets,
  so a folder may hold a widget-free km7_<sub>_core beside its widget library;
- the folders outside src/: service/, tools/, sim/ and bench/.

Where the rules are:
  src/<sub>/        a layer; may use the layers in ALLOWED[sub]
  service/<lib>/    a library of the service (km7d and what it exports); may
                    use SERVICE_MAY_USE and the other service libraries, never
                    Qt Widgets
  tools/<tool>/     may use OUTSIDE["tools"]
  sim/              the simulated module: nothing of km7 at all, no Qt
  bench/            benchmarks: any library they link, but no relative path
                    into another folder
tests/ is not read: a test may use whatever it links, and the build checks that.

Exits 1 and names every offending arrow.
"""
import pathlib
import re
import sys

# What each subsystem under src/ may use, besides itself.
ALLOWED = {
    "platform": set(),
    "settings": {"platform"},
    "ui": {"platform"},
    "acquisition": {"platform"},
    "smtp": {"platform"},
    "devices": {"platform", "settings", "ui", "acquisition", "monitor"},
    "datalog": {"platform", "settings", "ui"},
    "chart": {"platform", "settings", "ui"},
    "alarms": {"platform", "settings", "ui", "smtp"},
    "monitor": {"platform", "settings", "acquisition", "smtp", "datalog", "alarms"},
    "app": {"platform", "settings", "ui", "acquisition", "smtp", "monitor", "devices", "datalog", "chart", "alarms"},
}
# Layers that know nothing of Qt: no Qt header, no Qt library.
NO_QT = {"platform", "settings", "acquisition", "smtp", "monitor"}
# What a service library may use from src/ (datalog and alarms through their
# widget-free libraries: the Qt rule below stops a link of the widget ones).
SERVICE_MAY_USE = {"platform", "settings", "acquisition", "smtp", "datalog", "alarms", "monitor"}
SERVICE_QT = {"Core"}
# Folders outside src/ and what they may include. bench/ measures the whole
# program and may use anything it links.
OUTSIDE = {
    "tools": {"platform", "smtp"},
    "sim": set(),
    "bench": set(ALLOWED),
}
OUTSIDE_NO_QT = {"sim"}

SOURCE_SUFFIXES = {".h", ".hpp", ".cpp", ".cc", ".c"}
INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]')
QT_HEADER = re.compile(r"^Qt?[A-Z][A-Za-z0-9]*(/|$)")
TARGET_DEF = re.compile(r"\b(?:km7_subsystem|add_library|add_executable)\s*\(\s*([A-Za-z0-9_.+-]+)")
LINK = re.compile(r"\btarget_link_libraries\s*\(\s*([A-Za-z0-9_.+-]+)([^)]*)\)", re.S)
QT_LINK = re.compile(r"\bQt6?::([A-Za-z]+)")


class Unit:
    """A folder whose files follow one rule: a layer, a service library, ..."""

    def __init__(self, label, root, allowed, no_qt, qt_allowed=None):
        self.label = label          # how messages name it
        self.root = root            # its folder
        self.allowed = allowed      # include names it may use besides its own
        self.no_qt = no_qt
        self.qt_allowed = qt_allowed  # None: any Qt module


def main() -> int:
    root = pathlib.Path(__file__).resolve().parent.parent
    problems = []
    me = pathlib.Path(__file__).name

    src = root / "src"
    subsystems = sorted(p.name for p in src.iterdir() if p.is_dir())
    for name in subsystems:
        if name not in ALLOWED:
            problems.append(f"src/{name}: a subsystem with no place in the layers of {me}")
    service_dir = root / "service"
    services = sorted(p.name for p in service_dir.iterdir() if p.is_dir()) if service_dir.is_dir() else []
    for name in services:
        if name in ALLOWED:
            problems.append(f"service/{name}: has the name of a layer under src/")

    units = []
    for name in subsystems:
        if name in ALLOWED:
            units.append(Unit(name, src / name, ALLOWED[name], name in NO_QT))
    for name in services:
        units.append(Unit(f"service/{name}", service_dir / name,
                          (SERVICE_MAY_USE | set(services)) - {name}, False, SERVICE_QT))
    for folder, allowed in OUTSIDE.items():
        if folder == "bench":
            allowed = allowed | set(services)  # the service's libraries are measured too
        if (root / folder).is_dir():
            units.append(Unit(folder, root / folder, allowed, folder in OUTSIDE_NO_QT))
    # The include name each library folder answers to ("platform/...").
    include_names = {name: src / name for name in ALLOWED} | {name: service_dir / name for name in services}

    def owner_name(unit):
        return unit.root.name if unit.root.parent in (src, service_dir) else None

    def check_file(path, unit):
        own = owner_name(unit)
        for number, line in enumerate(path.read_text(errors="replace").splitlines(), 1):
            m = INCLUDE.match(line)
            if not m:
                continue
            bracket, target = m.groups()
            shown = f"{bracket}{target}{'>' if bracket == '<' else bracket}"
            where = f"{path.relative_to(root)}:{number}"
            if unit.no_qt and QT_HEADER.match(target):
                problems.append(f"{where}: {unit.label} knows nothing of Qt, but includes {shown}")
            if ".." in pathlib.PurePosixPath(target).parts:
                reached = (path.parent / target).resolve()
                if not reached.is_relative_to(unit.root.resolve()):
                    try:
                        reached_text = str(reached.relative_to(root))
                    except ValueError:
                        reached_text = str(reached)
                    problems.append(f"{where}: {unit.label} reaches {reached_text} by the relative path {shown}; "
                                    "include it by its library's name, through a link")
                    for name, folder in include_names.items():
                        if reached.is_relative_to(folder.resolve()) and name != own and name not in unit.allowed:
                            problems.append(f"{where}: {unit.label} uses {name}, which is not below it")
                continue
            if "/" not in target:
                continue
            dep = target.split("/", 1)[0]
            if dep in include_names and dep != own and dep not in unit.allowed:
                problems.append(f"{where}: {unit.label} includes {target}, which is not below it")

    for unit in units:
        for path in sorted(unit.root.rglob("*")):
            if path.suffix in SOURCE_SUFFIXES and path.is_file():
                check_file(path, unit)

    # Links: every CMake target defined in a unit's folders, what it links, and
    # the Qt modules it reaches through the libraries it links.
    targets = {}  # name -> (unit, cmake file, direct km7 links, direct Qt modules)
    for unit in units:
        for cmake in sorted(unit.root.rglob("CMakeLists.txt")):
            text = re.sub(r"#[^\n]*", "", cmake.read_text())
            for m in TARGET_DEF.finditer(text):
                targets.setdefault(m.group(1), (unit, cmake, set(), set()))
            for m in LINK.finditer(text):
                entry = targets.get(m.group(1))
                if entry is None or entry[1] != cmake:
                    continue
                entry[2].update(re.findall(r"\b(km7[A-Za-z0-9_]*)\b", m.group(2)))
                entry[3].update(QT_LINK.findall(m.group(2)))

    def qt_reached(name, seen):
        if name in seen or name not in targets:
            return set()
        seen.add(name)
        _, _, links, qt = targets[name]
        reached = set(qt)
        for lib in links:
            reached |= qt_reached(lib, seen)
        return reached

    def library_owner(name):
        """The include name of the folder that defines library `name`, if any."""
        entry = targets.get(name)
        return owner_name(entry[0]) if entry else None

    for name, (unit, cmake, links, _) in sorted(targets.items()):
        where = f"{cmake.relative_to(root)}"
        own = owner_name(unit)
        for lib in sorted(links):
            dep = library_owner(lib)
            if dep is not None and dep != own and dep not in unit.allowed:
                problems.append(f"{where}: {name} links {lib}, which is not below {unit.label}")
            if unit.label == "sim" and lib in targets and targets[lib][0].label != "sim":
                problems.append(f"{where}: {name} links {lib}; the simulated module uses nothing of km7")
        qt = qt_reached(name, set())
        if unit.no_qt and qt:
            problems.append(f"{where}: {name} links Qt ({', '.join(sorted('Qt6::' + q for q in qt))}), "
                            f"but {unit.label} knows nothing of Qt")
        elif unit.qt_allowed is not None and qt - unit.qt_allowed:
            problems.append(f"{where}: {name} links {', '.join(sorted('Qt6::' + q for q in qt - unit.qt_allowed))}, "
                            f"but {unit.label} uses at most {', '.join('Qt6::' + q for q in sorted(unit.qt_allowed))}")
        if name.endswith("_core") and "Widgets" in qt:
            problems.append(f"{where}: {name} links Qt6::Widgets, but a *_core library is widget-free")

    for p in problems:
        print(p)
    if problems:
        return 1
    print("layers: every arrow points downwards")
    return 0


if __name__ == "__main__":
    sys.exit(main())
