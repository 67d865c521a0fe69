"""Builds the zemb module for pip with the project's own CMake build.

The module comes out exactly as `cmake -DZEMB_BUILD_PYTHON=ON` makes it, with the zemb_stitcher
library linked in statically, so that the wheel imports without the library installed; OpenCV's
libraries come from the system. python/'s own install rules put the module and its stubs
(zemb.pyi) into the wheel.
"""

import os
import re
import subprocess
import sys
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = Path(__file__).resolve().parent


def project_version():
    """The version the top CMakeLists.txt declares, the project's one record of it."""
    text = (ROOT / "CMakeLists.txt").read_text()
    return re.search(r"project\(\s*zemb_stitcher\s+VERSION\s+([0-9.]+)", text).group(1)


class CMakeBuild(build_ext):
    """Configures and builds the module target with CMake instead of compiling sources itself."""

    def build_extension(self, ext):
        module = Path(self.get_ext_fullpath(ext.name)).resolve()
        build = Path(self.build_temp).resolve() / "cmake"
        jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL", str(os.cpu_count() or 1))
        self.run_cmake("-S", str(ROOT), "-B", str(build), "-DCMAKE_BUILD_TYPE=Release",
                       "-DBUILD_SHARED_LIBS=OFF", "-DZEMB_BUILD_PYTHON=ON", "-DZEMB_BUILD_APPS=OFF",
                       "-DZEMB_BUILD_TESTS=OFF", "-DZEMB_BUILD_BENCH=OFF",
                       f"-DPython_EXECUTABLE={sys.executable}", "-DZEMB_PYTHON_INSTALL_DIR=.")
        self.run_cmake("--build", str(build), "--target", ext.name, "--parallel", jobs)
        # Only python/'s install rules: the module and zemb.pyi, straight into the wheel's root.
        self.run_cmake("--install", str(build / "python"), "--prefix", str(module.parent), "--strip")
        if not module.is_file():
            raise RuntimeError(f"CMake installed no {module.name} (is pybind11-dev installed?)")

    def run_cmake(self, *args):
        self.announce("cmake " + " ".join(args), level=2)
        subprocess.run(["cmake", *args], check=True)


setup(
    version=project_version(),
    ext_modules=[Extension("zemb", sources=[])],
    cmdclass={"build_ext": CMakeBuild},
)
