"""The build of `pip install .`: one extension module, built and installed by CMake.

setuptools only drives the project's CMake build with VARN_MODULE_ONLY=ON (no tests,
benchmarks or tools, so neither GoogleTest nor pytest is needed) and lets `cmake --install`
put the module and its type stubs where the wheel is assembled. The C++
dependencies are the Debian packages that scripts/setup installs.
"""
import os
import pathlib
import shutil
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = pathlib.Path(__file__).resolve().parent


class CMakeExtension(Extension):
    def __init__(self, name):
        super().__init__(name, sources=[])


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        target_dir = pathlib.Path(self.get_ext_fullpath(ext.name)).resolve().parent
        # VARN_CMAKE_BUILD_DIR: a CMake build directory kept from one build to the next (the
        # install test keeps one, so that a rerun compiles only what changed).
        kept = os.environ.get("VARN_CMAKE_BUILD_DIR")
        build_dir = pathlib.Path(kept).resolve() if kept else pathlib.Path(self.build_temp).resolve() / "cmake"
        configure = ["cmake", "-S", str(ROOT), "-B", str(build_dir), "-DCMAKE_BUILD_TYPE=Release",
                     "-DVARN_MODULE_ONLY=ON", f"-DPython_EXECUTABLE={sys.executable}",
                     f"-DVARN_PYTHON_INSTALL_DIR={target_dir}"]
        if shutil.which("ninja") and not (build_dir / "CMakeCache.txt").exists():
            configure += ["-G", "Ninja"]
        jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL") or str(os.cpu_count() or 1)
        subprocess.run(configure, check=True)
        subprocess.run(["cmake", "--build", str(build_dir), "--target", "varn_calculations", "-j", jobs],
                       check=True)
        subprocess.run(["cmake", "--install", str(build_dir), "--component", "python"], check=True)


setup(
    ext_modules=[CMakeExtension("varn_calculations")],
    cmdclass={"build_ext": CMakeBuild},
    packages=[],
    py_modules=[],
    # setuptools' scratch space beside, not inside, the CMake build dirs (build*/ is ignored).
    options={"build": {"build_base": "build-pip"}},
)
