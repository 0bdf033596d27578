#!/usr/bin/env python3
"""scripts/check-layers.py against small source trees with planted faults.

Each tree is a clean miniature of km7 (a few layers, the simulated module, a
service library); a case plants one fault and expects the check to fail and
name it. The link cases configure the tree with CMake and the project's own
cmake/Km7Subsystem.cmake, so the check reads what CMake resolved.
"""
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile
import unittest

HERE = pathlib.Path(__file__).resolve().parent
SCRIPT = pathlib.Path(os.environ.get("KM7_CHECK_LAYERS", HERE.parent.parent / "scripts" / "check-layers.py"))
SUBSYSTEM = pathlib.Path(os.environ.get("KM7_SUBSYSTEM_CMAKE", HERE.parent.parent / "cmake" / "Km7Subsystem.cmake"))
CMAKE = os.environ.get("CMAKE_COMMAND", "cmake")
GENERATOR = os.environ.get("KM7_CMAKE_GENERATOR")  # the build's own, so its make program is there

TOP = """cmake_minimum_required(VERSION 3.25)
project(mini LANGUAGES CXX)
include(cmake/Km7Subsystem.cmake)
km7_write_link_graph(${CMAKE_BINARY_DIR}/km7-links.json)
# Stand-ins for the Qt libraries, linked by name as the real ones are.
add_library(Qt6::Core INTERFACE IMPORTED)
add_library(Qt6::Gui INTERFACE IMPORTED)
target_link_libraries(Qt6::Gui INTERFACE Qt6::Core)
add_library(Qt6::Widgets INTERFACE IMPORTED)
target_link_libraries(Qt6::Widgets INTERFACE Qt6::Gui)
foreach(sub platform settings ui smtp alarms)
  add_subdirectory(src/${sub})
endforeach()
add_subdirectory(sim)
add_subdirectory(service/km7d)
"""

# folder -> (library, what it links, header, source text)
LAYERS = {
    "src/platform": ("km7_platform", "", "Log.h", ""),
    "src/settings": ("km7_settings", "km7_platform", "Profile.h", '#include "platform/Log.h"\n'),
    "src/ui": ("km7_ui", "km7_platform Qt6::Widgets", "Dialog.h", '#include "platform/Log.h"\n#include <QWidget>\n'),
    "src/smtp": ("km7_smtp", "km7_platform", "Mail.h", '#include "platform/Log.h"\n'),
    "src/alarms": ("km7_alarms", "km7_smtp km7_settings km7_ui", "AlarmKind.h", '#include "smtp/Mail.h"\n'),
    "service/km7d": ("km7d_core", "km7_settings km7_platform", "Service.h", '#include "settings/Profile.h"\n'),
}


class Tree:
    def __init__(self):
        self.dir = tempfile.TemporaryDirectory(prefix="km7-layers-")
        self.root = pathlib.Path(self.dir.name)
        self.write("CMakeLists.txt", TOP)
        (self.root / "cmake").mkdir()
        shutil.copy(SUBSYSTEM, self.root / "cmake" / "Km7Subsystem.cmake")
        for folder, (lib, links, header, text) in LAYERS.items():
            self.write(f"{folder}/{header}", "#pragma once\n")
            self.write(f"{folder}/{lib}.cpp", text + f'#include "{header}"\n')
            link = f"target_link_libraries({lib} PUBLIC {links})\n" if links else ""
            self.write(f"{folder}/CMakeLists.txt", f"km7_subsystem({lib} {lib}.cpp)\n{link}")
        self.write("sim/Sensor.cpp", '#include "Sensor.h"\n')
        self.write("sim/Sensor.h", "#pragma once\n")
        self.write("sim/CMakeLists.txt", "add_library(km7sim SHARED Sensor.cpp)\n")

    def write(self, name, text):
        path = self.root / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(text)

    def append(self, name, text):
        with open(self.root / name, "a") as f:
            f.write(text)

    def check(self, links=False):
        args = [sys.executable, str(SCRIPT), "--root", str(self.root)]
        if links:
            build = self.root / "build"
            generator = ["-G", GENERATOR] if GENERATOR else []
            configure = subprocess.run([CMAKE, "-S", str(self.root), "-B", str(build), *generator],
                                       capture_output=True, text=True, timeout=240)
            if configure.returncode != 0:
                raise AssertionError(f"the tree does not configure:\n{configure.stdout}{configure.stderr}")
            args += ["--links", str(build / "km7-links.json")]
        run = subprocess.run(args, capture_output=True, text=True, timeout=60)
        return run.returncode, run.stdout + run.stderr


class CheckLayersTest(unittest.TestCase):
    def setUp(self):
        self.tree = Tree()
        self.addCleanup(self.tree.dir.cleanup)

    def assert_fails_naming(self, output_and_code, *needles):
        code, out = output_and_code
        self.assertEqual(code, 1, out)
        for needle in needles:
            self.assertIn(needle, out)

    def test_a_clean_tree_passes_with_its_links(self):
        code, out = self.tree.check(links=True)
        self.assertEqual(code, 0, out)
        self.assertIn("every arrow points downwards", out)

    def test_includes_that_climb_are_refused(self):
        cases = [
            # the simulated module reaching into src/ by a relative path
            ("sim/Sensor.cpp", '#include "../src/platform/Log.h"\n',
             ["sim/Sensor.cpp:2: sim reaches src/platform/Log.h by climbing", "sim uses platform"]),
            # the service reaching a widget layer past its links
            ("service/km7d/km7d_core.cpp", '#include "../../src/ui/Dialog.h"\n',
             ["service/km7d reaches src/ui/Dialog.h", "service/km7d uses ui, which is not below it"]),
            # through a linked library's name into one that is not linked
            ("src/smtp/km7_smtp.cpp", '#include "smtp/../alarms/AlarmKind.h"\n',
             ["smtp reaches src/alarms/AlarmKind.h by climbing", "smtp uses alarms, which is not below it"]),
            # climbing even where it lands below: the compiler would take it
            ("src/alarms/km7_alarms.cpp", '#include "platform/../smtp/Mail.h"\n',
             ["alarms reaches src/smtp/Mail.h by climbing"]),
        ]
        for name, line, needles in cases:
            with self.subTest(name=name):
                tree = Tree()
                self.addCleanup(tree.dir.cleanup)
                tree.append(name, line)
                self.assert_fails_naming(tree.check(), *needles)

    def test_links_are_read_as_cmake_resolved_them(self):
        # Made from the top folder, through a variable and a helper library:
        # nothing in src/settings/CMakeLists.txt shows it.
        self.tree.append("CMakeLists.txt", "add_subdirectory(helper)\n")
        self.tree.write("helper/CMakeLists.txt",
                        "add_library(km7_widgets_helper INTERFACE)\n"
                        "set(gui Qt6::Widgets)\n"
                        "target_link_libraries(km7_widgets_helper INTERFACE ${gui})\n"
                        "target_link_libraries(km7_settings PRIVATE km7_widgets_helper)\n")
        # the simulated module linking km7, and a service library opening src/
        self.tree.append("sim/CMakeLists.txt", "target_link_libraries(km7sim PRIVATE km7_platform)\n")
        self.tree.append("service/km7d/CMakeLists.txt",
                         "target_include_directories(km7d_core PRIVATE ${CMAKE_SOURCE_DIR}/src)\n")
        # a layer linking one above it, and a *_core library with widgets
        self.tree.append("src/smtp/CMakeLists.txt", "target_link_libraries(km7_smtp PUBLIC km7_settings)\n")
        self.tree.append("src/alarms/CMakeLists.txt",
                         "km7_subsystem(km7_alarms_core km7_alarms.cpp)\n"
                         "target_link_libraries(km7_alarms_core PUBLIC km7_ui)\n")
        self.assert_fails_naming(
            self.tree.check(links=True),
            "km7_settings links Qt (Qt6::Widgets), but settings knows nothing of Qt",
            "km7sim links km7_platform; the simulated module uses nothing of km7",
            "km7d_core has the include folder src, which opens src/",
            "km7_smtp links km7_settings, which is not below smtp",
            "km7_alarms_core links Qt6::Widgets, but a *_core library is widget-free",
            # through km7_settings, which now reaches the widgets
            "km7_smtp links Qt (Qt6::Widgets)",
        )


if __name__ == "__main__":
    unittest.main(verbosity=2)
