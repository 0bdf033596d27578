#!/usr/bin/env python3
"""Checks that dependencies between km7's libraries point downwards.

The build enforces most of this by itself: each library exports only its own
include folder (cmake/Km7Subsystem.cmake), so an include of a layer that is not
linked fails to compile. This script checks what the compiler cannot see:

- which libraries each target links, directly or through what it links, as
  CMake itself resolved them: the configure step writes them to
  <build>/km7-links.json (km7_write_link_graph), given here with --links;
- include folders: a target's include folder must not hold another layer's
  folder (src/ itself would open every layer) nor lie inside one;
- includes with ".." anywhere: "../app/Km7Dlg.h" reaches past the include
  folders, and "smtp/../alarms/AlarmKind.h" climbs out of a linked library's
  folder into one that is not linked; both compile, both are errors here;
- Qt: the layers in NO_QT include no Qt header (in <> or in quotes) and link
  no Qt library, directly or through a library they link; service libraries
  and the monitoring floor link at most Qt6::Core; a library target named
  *_core links no Qt6::Widgets, so a folder may hold a widget-free
  km7_<sub>_core beside its widget library;
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

Usage: check-layers.py [--root DIR] [--links FILE]
Exits 1 and names every offending arrow.
"""
import argparse
import json
import pathlib
import re
import sys

# What each subsystem under src/ may use, besides itself. monitor is the
# widget-free floor that both programs stand on: above the feature libraries
# (through their widget-free *_core libraries), below app and the service.
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
    "app": {"platform", "settings", "ui", "acquisition", "smtp", "devices", "datalog", "chart", "alarms", "monitor"},
}
# Layers that know nothing of Qt: no Qt header, no Qt library.
NO_QT = {"platform", "settings", "acquisition", "smtp", "monitor"}
# Layers with no widgets: at most these Qt libraries.
QT_AT_MOST = {}
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
QT_TARGET = re.compile(r"^Qt6?::([A-Za-z]+)$")
NAME = re.compile(r"[A-Za-z0-9_.+:-]+")


class Unit:
    """A folder whose files follow one rule: a layer, a service library, ..."""

    def __init__(self, label, root, allowed, no_qt, qt_allowed=None):
        self.label = label          # how messages name it
        self.root = root            # its folder
        self.allowed = allowed      # include names it may use besides its own
        self.no_qt = no_qt
        self.qt_allowed = qt_allowed  # None: any Qt module


def plain_values(items):
    """The values of a CMake property list without generator expressions:
    "$<LINK_ONLY:Qt6::Core>" is Qt6::Core, "$<INSTALL_INTERFACE:...>" nothing."""
    out = []
    for item in items:
        if item.startswith("$<INSTALL_INTERFACE:"):
            continue
        m = re.fullmatch(r"\$<(?:LINK_ONLY|BUILD_INTERFACE):(.*)>", item)
        out.append(m.group(1) if m else item)
    return out


def find_units(root, problems):
    me = pathlib.Path(__file__).name
    src = root / "src"
    subsystems = sorted(p.name for p in src.iterdir() if p.is_dir()) if src.is_dir() else []
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
            units.append(Unit(name, src / name, ALLOWED[name], name in NO_QT, QT_AT_MOST.get(name)))
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
    return units, include_names


class Checker:
    def __init__(self, root):
        self.root = root
        self.problems = []
        self.units, self.include_names = find_units(root, self.problems)

    def owner_name(self, unit):
        return unit.root.name if self.include_names.get(unit.root.name) == unit.root else None

    def shown_path(self, path):
        try:
            return str(path.relative_to(self.root))
        except ValueError:
            return str(path)

    def library_of(self, path):
        """The include name of the library folder that holds `path`, if any."""
        for name, folder in self.include_names.items():
            if path.is_relative_to(folder.resolve()):
                return name
        return None

    def check_climb(self, where, unit, path, target, shown):
        """An include with ".." in it: where it lands, and whether that may be used."""
        first, _, rest = target.partition("/")
        if first in self.include_names and rest:
            reached = (self.include_names[first] / rest).resolve()  # through the library's include folder
        else:
            reached = (path.parent / target).resolve()
        self.problems.append(f"{where}: {unit.label} reaches {self.shown_path(reached)} by climbing with \"..\" "
                             f"in {shown}; include it by its library's name, through a link")
        name = self.library_of(reached)
        if name is not None and name != self.owner_name(unit) and name not in unit.allowed:
            self.problems.append(f"{where}: {unit.label} uses {name}, which is not below it")

    def check_file(self, path, unit):
        own = self.owner_name(unit)
        for number, line in enumerate(path.read_text(errors="replace").splitlines(), 1):
            m = INCLUDE.match(line)
            if not m:
                continue
            bracket, target = m.groups()
            shown = f"{bracket}{target}{'>' if bracket == '<' else bracket}"
            where = f"{path.relative_to(self.root)}:{number}"
            if unit.no_qt and QT_HEADER.match(target):
                self.problems.append(f"{where}: {unit.label} knows nothing of Qt, but includes {shown}")
            if ".." in pathlib.PurePosixPath(target).parts:
                self.check_climb(where, unit, path, target, shown)
                continue
            if "/" not in target:
                continue
            dep = target.split("/", 1)[0]
            if dep in self.include_names and dep != own and dep not in unit.allowed:
                self.problems.append(f"{where}: {unit.label} includes {target}, which is not below it")

    def check_includes(self):
        for unit in self.units:
            for path in sorted(unit.root.rglob("*")):
                if path.suffix in SOURCE_SUFFIXES and path.is_file():
                    self.check_file(path, unit)

    def unit_of(self, folder):
        for unit in self.units:
            if folder.is_relative_to(unit.root.resolve()):
                return unit
        return None

    def check_links(self, graph):
        """Every target CMake knows, what it links and the folders it includes."""
        targets = {name: dict(entry, links=plain_values(entry.get("links", [])),
                              includes=plain_values(entry.get("includes", [])))
                   for name, entry in graph.items()}

        def qt_reached(name, seen):
            if name in seen:
                return set()
            seen.add(name)
            m = QT_TARGET.match(name)
            if m:
                return {m.group(1)}  # what a Qt library pulls in itself is its own business
            reached = set()
            for lib in targets.get(name, {}).get("links", []):
                for token in NAME.findall(lib):
                    if token in targets or QT_TARGET.match(token):
                        reached |= qt_reached(token, seen)
            return reached

        unit_roots = [u.root.resolve() for u in self.units]
        for name, entry in sorted(targets.items()):
            if not entry.get("dir"):
                continue  # imported
            unit = self.unit_of(pathlib.Path(entry["dir"]).resolve())
            if unit is None:
                continue  # tests, fuzz targets, data: not read
            where = f"{self.shown_path(pathlib.Path(entry['dir']))} ({name})"
            own = self.owner_name(unit)
            for lib in sorted(set(entry["links"])):
                linked = targets.get(lib)
                if linked is None or not linked.get("dir"):
                    continue
                dep_unit = self.unit_of(pathlib.Path(linked["dir"]).resolve())
                dep = self.owner_name(dep_unit) if dep_unit else None
                if dep is not None and dep != own and dep not in unit.allowed:
                    self.problems.append(f"{where}: {name} links {lib}, which is not below {unit.label}")
                if unit.label == "sim" and dep_unit is not unit:
                    self.problems.append(f"{where}: {name} links {lib}; the simulated module uses nothing of km7")
            qt = qt_reached(name, set())
            if unit.no_qt and qt:
                self.problems.append(f"{where}: {name} links Qt ({', '.join(sorted('Qt6::' + q for q in qt))}), "
                                     f"but {unit.label} knows nothing of Qt")
            elif unit.qt_allowed is not None and qt - unit.qt_allowed:
                self.problems.append(
                    f"{where}: {name} links {', '.join(sorted('Qt6::' + q for q in qt - unit.qt_allowed))}, "
                    f"but {unit.label} uses at most {', '.join('Qt6::' + q for q in sorted(unit.qt_allowed))}")
            if name.endswith("_core") and "Widgets" in qt:
                self.problems.append(f"{where}: {name} links Qt6::Widgets, but a *_core library is widget-free")
            for folder in sorted(set(entry["includes"])):
                path = pathlib.Path(folder).resolve()
                for other in unit_roots:
                    if other == unit.root.resolve():
                        continue
                    if other.is_relative_to(path) or path.is_relative_to(other):
                        self.problems.append(f"{where}: {name} has the include folder {self.shown_path(path)}, "
                                             f"which opens {self.shown_path(other)} to it; link the library instead")
                        break


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description="Checks that km7's dependencies point downwards.")
    parser.add_argument("--root", type=pathlib.Path, default=pathlib.Path(__file__).resolve().parent.parent,
                        help="the source tree (default: the one holding this script)")
    parser.add_argument("--links", type=pathlib.Path,
                        help="the targets as the configure step wrote them (<build>/km7-links.json)")
    args = parser.parse_args(argv)
    checker = Checker(args.root.resolve())
    checker.check_includes()
    if args.links is not None:
        try:
            graph = json.loads(args.links.read_text())
        except (OSError, ValueError) as e:
            print(f"{args.links}: cannot read the targets: {e}")
            return 2
        checker.check_links(graph)
    for p in checker.problems:
        print(p)
    if checker.problems:
        return 1
    if args.links is None:
        print("layers: every include points downwards (links not read: give --links <build>/km7-links.json)")
    else:
        print("layers: every arrow points downwards")
    return 0


if __name__ == "__main__":
    sys.exit(main())
