"""Builds volnlm's compiled module (volnlm._core) with the project's own CMake build.

setuptools lays out the package from python/volnlm; build_ext configures this repository with
CMake (tests off), builds the one target volnlm_python, and copies the extension it produced
into the package. Everything built lands under build-pip/. The package's version is the
project version in CMakeLists.txt, the one source of it.
"""
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = Path(__file__).resolve().parent
BUILD = "build-pip"


def project_version(cmake_lists=ROOT / "CMakeLists.txt"):
    """The VERSION of the project() call in `cmake_lists`."""
    text = Path(cmake_lists).read_text()
    match = re.search(r"^\s*project\s*\([^)]*?\bVERSION\s+([0-9][0-9A-Za-z.]*)", text,
                      re.MULTILINE | re.IGNORECASE)
    if not match:
        raise RuntimeError(f"no project(... VERSION ...) in {cmake_lists}")
    return match.group(1)


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        build_dir = Path(self.build_temp).resolve() / "cmake"
        generator = ["-G", "Ninja"] if shutil.which("ninja") else []
        jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL", "2")
        subprocess.check_call(["cmake", "-S", str(ROOT), "-B", str(build_dir), *generator,
                               "-DCMAKE_BUILD_TYPE=Release", "-DVOLNLM_TESTS=OFF",
                               f"-DPython3_EXECUTABLE={sys.executable}"])
        subprocess.check_call(["cmake", "--build", str(build_dir), "--target", "volnlm_python",
                               "--parallel", jobs])
        name = Path(self.get_ext_filename(ext.name)).name
        built = build_dir / "python" / "volnlm" / name
        if not built.is_file():
            raise RuntimeError(f"CMake did not produce {built}: are pybind11 and numpy installed "
                               f"for {sys.executable}?")
        target = Path(self.get_ext_fullpath(ext.name))
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(built, target)


if __name__ == "__main__":  # as pip and setuptools run it; tests import project_version alone
    setup(
        version=project_version(),
        ext_modules=[Extension("volnlm._core", sources=[])],
        cmdclass={"build_ext": CMakeBuild},
        options={"build": {"build_base": BUILD}, "egg_info": {"egg_base": BUILD}},
    )
