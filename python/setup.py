"""Builds the ovalith package with CMake (see pyproject.toml).

The version is the engine's CMake project version, read from the project()
line of the top-level CMakeLists.txt. Environment:
  OVALITH_ENGINE=tree       build the engine from this source tree and carry
                            its libraries in the package (the default)
  OVALITH_ENGINE=installed  link an installed engine; OVALITH_PREFIX names its
                            prefix when CMake does not find it by itself
"""
import os
import re
import sys

from skbuild import setup

HERE = os.path.dirname(os.path.abspath(__file__))


def engine_version():
    with open(os.path.join(HERE, "..", "CMakeLists.txt")) as cmake:
        found = re.search(r"project\(\s*Ovalith\s+VERSION\s+([0-9.]+)", cmake.read())
    if not found:
        sys.exit("no project(Ovalith VERSION ...) in ../CMakeLists.txt")
    return found.group(1)


engine = os.environ.get("OVALITH_ENGINE", "tree")
cmake_args = ["-DOVALITH_ENGINE=" + engine]
if os.environ.get("OVALITH_PREFIX"):
    cmake_args.append("-DCMAKE_PREFIX_PATH=" + os.environ["OVALITH_PREFIX"])

setup(
    version=engine_version(),
    packages=["ovalith"],
    package_data={"ovalith": ["py.typed", "*.pyi"]},
    cmake_args=cmake_args,
    cmake_install_target="install-python",
)
