"""Builds the package through CMake; the metadata is in pyproject.toml.

The extension module and the package tree around it come from the CMake
build (target trova_python, install component "python"), configured without
tests, benchmarks and examples. Its build folder, and setuptools' own build
and egg-info folders, are build-python/ in the source tree, or
$TROVA_PYTHON_BUILD_DIR: never the developer's build/. $TROVA_CMAKE_ARGS
adds CMake options, for example "-DTROVA_ARCH=x86-64-v2".
"""
import os
import shlex
import shutil
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

HERE = os.path.dirname(os.path.abspath(__file__))
BUILD = os.path.abspath(os.environ.get("TROVA_PYTHON_BUILD_DIR")
                        or os.path.join(HERE, "build-python"))


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        if self.inplace:
            raise SystemExit("in-place builds are not supported: the development tree is "
                             "cmake -S . -B build && cmake --build build")
        cmake_dir = os.path.join(BUILD, "cmake")
        # A folder configured for another source tree (an unpacked sdist, a
        # clone) starts afresh: CMake refuses to switch sources.
        cache = os.path.join(cmake_dir, "CMakeCache.txt")
        if os.path.exists(cache):
            with open(cache) as f:
                if f"CMAKE_HOME_DIRECTORY:INTERNAL={HERE}\n" not in f:
                    shutil.rmtree(cmake_dir)
        # The interpreter running this build is the one the module is for.
        subprocess.run(["cmake", "-S", HERE, "-B", cmake_dir,
                        f"-DPython3_EXECUTABLE={sys.executable}",
                        "-DTROVA_BUILD_TESTS=OFF", "-DTROVA_BUILD_BENCH=OFF",
                        "-DTROVA_BUILD_EXAMPLES=OFF",
                        *shlex.split(os.environ.get("TROVA_CMAKE_ARGS", ""))], check=True)
        jobs = [] if "CMAKE_BUILD_PARALLEL_LEVEL" in os.environ else ["-j", str(os.cpu_count() or 1)]
        subprocess.run(["cmake", "--build", cmake_dir, "--target", "trova_python", *jobs],
                       check=True)
        # A fresh tree each time, so nothing removed from the package lingers.
        shutil.rmtree(os.path.join(self.build_lib, "Tessaroventa"), ignore_errors=True)
        subprocess.run(["cmake", "--install", cmake_dir, "--component", "python",
                        "--prefix", os.path.abspath(self.build_lib)], check=True)


os.makedirs(BUILD, exist_ok=True)
setup(
    # Declares the module so that the wheel is a platform wheel; CMake builds it.
    ext_modules=[Extension("Tessaroventa._ckernels.monte_carlo._arena", sources=[])],
    cmdclass={"build_ext": CMakeBuild},
    options={"build": {"build_base": os.path.join(BUILD, "setuptools")},
             "egg_info": {"egg_base": BUILD}},
)
