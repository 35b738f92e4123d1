"""The build step of `pip install .`: the extension quelby._quelby is built by the project's own
CMake (-DQUELBY_PYTHON=ON, without tests and benchmarks) for the running interpreter, and copied
where setuptools packs it. The version is CMake's project(VERSION), read from CMakeLists.txt.

A build of this tree that already holds the module for this interpreter (build/release, or the
folder QUELBY_BUILD_DIR names, configured with -DQUELBY_PYTHON=ON) is brought up to date with
`cmake --build` and its module taken, so that nothing is compiled again; QUELBY_FRESH_BUILD=1
forces a build of its own. The pybind11 of the running interpreter (pip's, in an isolated build)
is used when there is one, else CMake finds the system's."""

import os
import pathlib
import re
import shutil
import subprocess
import sys
import sysconfig

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = pathlib.Path(__file__).resolve().parent


def project_version():
    text = (ROOT / "CMakeLists.txt").read_text()
    match = re.search(r"project\(\s*quelby\s+VERSION\s+([0-9][0-9.]*)", text)
    if not match:
        raise RuntimeError("CMakeLists.txt: no project(quelby VERSION ...)")
    return match.group(1)


class CMakeExtension(Extension):
    def __init__(self, name):
        super().__init__(name, sources=[])


def existing_module():
    """The module of an existing build of this tree for this interpreter, brought up to date, or
    None when there is no such build."""
    if os.environ.get("QUELBY_FRESH_BUILD") == "1":
        return None
    folder = pathlib.Path(os.environ.get("QUELBY_BUILD_DIR", ROOT / "build" / "release"))
    cache = folder / "CMakeCache.txt"
    module = folder / "python" / "quelby" / ("_quelby" + sysconfig.get_config_var("EXT_SUFFIX"))
    if not cache.is_file() or not module.is_file():
        return None
    if "QUELBY_PYTHON:BOOL=ON" not in cache.read_text(errors="replace"):
        return None
    print(f"quelby: bringing the module of the build {folder} up to date", flush=True)
    subprocess.run(["cmake", "--build", str(folder), "--target", "_quelby"], check=True)
    return module


def pybind11_arguments():
    """-Dpybind11_DIR for the running interpreter's pybind11, when it has one."""
    try:
        import pybind11
    except ImportError:
        return []
    return [f"-Dpybind11_DIR={pybind11.get_cmake_dir()}"]


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        target = pathlib.Path(self.get_ext_fullpath(ext.name))
        target.parent.mkdir(parents=True, exist_ok=True)
        reused = existing_module()
        if reused is not None:
            shutil.copyfile(reused, target)
            return
        build = pathlib.Path(self.build_temp).resolve() / "cmake"
        build.mkdir(parents=True, exist_ok=True)
        generator = ["-G", "Ninja"] if shutil.which("ninja") else []
        subprocess.run(["cmake", "-S", str(ROOT), "-B", str(build), *generator,
                        "-DCMAKE_BUILD_TYPE=Release", "-DQUELBY_PYTHON=ON",
                        "-DQUELBY_TESTS=OFF", "-DQUELBY_BENCH=OFF",
                        f"-DPython_EXECUTABLE={sys.executable}", *pybind11_arguments()],
                       check=True)
        jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL", str(os.cpu_count() or 1))
        subprocess.run(["cmake", "--build", str(build), "--target", "_quelby", "--parallel", jobs],
                       check=True)
        built = sorted((build / "python" / "quelby").glob("_quelby*.so"))
        if not built:
            raise RuntimeError(f"the CMake build left no _quelby module in {build}")
        shutil.copyfile(built[-1], target)


setup(version=project_version(), ext_modules=[CMakeExtension("quelby._quelby")],
      cmdclass={"build_ext": CMakeBuild})
