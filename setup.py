"""The build step of `pip install .`: the extension quelby._quelby is built by the project's own
CMake (-DQUELBY_PYTHON=ON, without tests and benchmarks) for the running interpreter, and copied
where setuptools packs it. The version is CMake's project(VERSION), read from CMakeLists.txt."""

import os
import pathlib
import re
import shutil
import subprocess
import sys

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


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        build = pathlib.Path(self.build_temp).resolve() / "cmake"
        build.mkdir(parents=True, exist_ok=True)
        generator = ["-G", "Ninja"] if shutil.which("ninja") else []
        subprocess.run(["cmake", "-S", str(ROOT), "-B", str(build), *generator,
                        "-DCMAKE_BUILD_TYPE=Release", "-DQUELBY_PYTHON=ON",
                        "-DQUELBY_TESTS=OFF", "-DQUELBY_BENCH=OFF",
                        f"-DPython_EXECUTABLE={sys.executable}"], check=True)
        jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL", str(os.cpu_count() or 1))
        subprocess.run(["cmake", "--build", str(build), "--target", "_quelby", "--parallel", jobs],
                       check=True)
        built = sorted((build / "python" / "quelby").glob("_quelby*.so"))
        if not built:
            raise RuntimeError(f"the CMake build left no _quelby module in {build}")
        target = pathlib.Path(self.get_ext_fullpath(ext.name))
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(built[-1], target)


setup(version=project_version(), ext_modules=[CMakeExtension("quelby._quelby")],
      cmdclass={"build_ext": CMakeBuild})
