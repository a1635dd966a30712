# SPDX-License-Identifier: MIT
# Builds the wheel of the _vorla extension module and the package vorla for
# the Python 3 that runs it (pip install ., pip wheel .). The modules are
# built by the project's CMake build, exactly as a CMake build makes them,
# and only those targets: no tests, no tool, no Python 2 module. Both carry
# this interpreter's extension suffix and link the shared library
# libvorla.so, which the wheel holds in vorla/lib/ beside the Boost.Thread
# it was linked with, with the headers in vorla/include/ and the CMake
# package in vorla/lib/cmake/vorla/ (vorla.get_include(),
# vorla.get_cmake_dir()) for native extensions that share its library. The
# version and the description are read from CMakeLists.txt, the one place
# that holds them.
#
# Everything the build writes goes to a temporary directory that is removed
# when the build ends: nothing is left in the source tree.

import atexit
import glob
import importlib.util
import os
import re
import shutil
import subprocess
import sys
import tempfile


def wheel_support():
    """Why this interpreter cannot build a wheel, or None when it can: pip
    builds one for every install, through setuptools' bdist_wheel, which
    comes from the package wheel before setuptools 70.1."""
    if importlib.util.find_spec("setuptools") is None:
        return "no setuptools"
    if importlib.util.find_spec("wheel") is not None:
        return None
    import setuptools
    version = tuple(int(p) for p in re.findall(r"\d+",
                                                setuptools.__version__)[:2])
    if version >= (70, 1):
        return None
    return "setuptools %s without wheel" % setuptools.__version__


if wheel_support():
    sys.exit("setup.py: %s has %s: building vorla needs setuptools and wheel "
             "(Debian: apt-get install python3-setuptools python3-wheel), or "
             "setuptools 70.1 or newer" % (sys.executable, wheel_support()))

from setuptools import Extension, setup  # noqa: E402
from setuptools.command.build_ext import build_ext

SOURCE_DIR = os.path.dirname(os.path.abspath(__file__))


def project_field(keyword):
    """The quoted or bare value of `keyword` in CMakeLists.txt's project()."""
    with open(os.path.join(SOURCE_DIR, "CMakeLists.txt")) as f:
        text = f.read()
    call = re.search(r"^project\(vorla\b([^)]*)\)", text, re.MULTILINE)
    value = call and re.search(r"\b" + keyword + r'\s+("([^"]*)"|[^\s"]+)',
                               call.group(1))
    if not value:
        sys.exit("setup.py: no %s in project() of CMakeLists.txt" % keyword)
    return value.group(2) if value.group(2) is not None else value.group(1)


class CMakeBuild(build_ext):
    """Builds the extensions' CMake targets, installs their install
    components into a staging directory and copies each module, and the
    package's library and headers, from there to where setuptools wants
    them."""

    def build_extension(self, ext):
        stage_dir = os.path.join(os.path.abspath(self.build_temp), "stage")
        if not getattr(self, "staged", False):
            self.cmake_build(stage_dir)
            self.copy_package_files(stage_dir)
            self.staged = True
        built = os.path.join(stage_dir, self.get_ext_filename(ext.name))
        if not os.path.isfile(built):
            sys.exit("setup.py: the CMake build made no " + built)
        target = self.get_ext_fullpath(ext.name)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copyfile(built, target)

    def cmake_build(self, stage_dir):
        build_dir = os.path.join(os.path.abspath(self.build_temp), "cmake")
        config = "Debug" if self.debug else "Release"
        configure = [
            "cmake", "-S", SOURCE_DIR, "-B", build_dir,
            "-DCMAKE_BUILD_TYPE=" + config,
            "-DVORLA_BUILD_TESTS=OFF",
            "-DVORLA_BUILD_TOOLS=OFF",
            "-DVORLA_BUILD_BENCH=OFF",
            "-DVORLA_BUILD_PYTHON2=OFF",
            "-DVORLA_BUILD_PYTHON3=ON",
            "-DVORLA_PYTHON3_EXECUTABLE=" + sys.executable,
            # The modules are installed into the staging directory itself,
            # the library, its headers and CMake package into the package.
            "-DVORLA_PYTHON3_INSTALL_DIR=.",
            "-DCMAKE_INSTALL_LIBDIR=vorla/lib",
            "-DCMAKE_INSTALL_INCLUDEDIR=vorla/include",
            # The wheel's library finds the Boost.Thread bundled beside it.
            "-DVORLA_BUNDLED_RPATH=ON",
        ]
        build = ["cmake", "--build", build_dir, "--target"]
        build += [ext.cmake_target for ext in self.extensions]
        # pip runs setup.py without -j; CMAKE_BUILD_PARALLEL_LEVEL then
        # chooses, or every processor when it is not set either.
        if self.parallel:
            build += ["--parallel", str(self.parallel)]
        elif not os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL"):
            build += ["--parallel", str(os.cpu_count() or 1)]
        commands = [configure, build]
        for component in ("python", "runtime", "devel"):
            commands.append(["cmake", "--install", build_dir, "--component",
                             component, "--prefix", stage_dir])
        for command in commands:
            self.announce(" ".join(command), level=2)
            try:
                subprocess.check_call(command)
            except OSError:
                sys.exit("setup.py: cannot run cmake (Debian: apt-get install "
                         "cmake)")


    def copy_package_files(self, stage_dir):
        """vorla/lib and vorla/include of the stage into the package, with
        the Boost.Thread that the library links bundled beside it. A wheel
        holds no symbolic links: the library's link name is left out, as
        the CMake package and vorla-shared.pc name the library itself."""
        package = os.path.dirname(self.get_ext_fullpath("vorla._core"))
        lib = os.path.join(stage_dir, "vorla", "lib")
        for sub in ("lib", "include"):
            shutil.copytree(os.path.join(stage_dir, "vorla", sub),
                            os.path.join(package, sub), symlinks=True,
                            ignore=ignore_links, dirs_exist_ok=True)
        shutil.copyfile(os.path.join(stage_dir, "vorla", "_layout.py"),
                        os.path.join(package, "_layout.py"))
        for library in glob.glob(os.path.join(lib, "libvorla.so.*")):
            for name, path in linked_libraries(library, "libboost_thread"):
                shutil.copyfile(path, os.path.join(package, "lib", name))


def ignore_links(directory, names):
    return [n for n in names if os.path.islink(os.path.join(directory, n))]


def linked_libraries(library, stem):
    """(name, file) of each library named `stem`... that `library` needs,
    as the loader finds it (ldd): the name is the one the loader looks for."""
    out = subprocess.check_output(["ldd", library]).decode()
    return re.findall(r"^\s*(" + re.escape(stem) + r"\S*) => (/\S+)", out,
                      re.MULTILINE)


class CMakeExtension(Extension):
    def __init__(self, name, cmake_target):
        Extension.__init__(self, name, sources=[])
        self.cmake_target = cmake_target


scratch = tempfile.mkdtemp(prefix="vorla-setup-")
atexit.register(shutil.rmtree, scratch, True)

setup(
    version=project_field("VERSION"),
    description=project_field("DESCRIPTION"),
    # The package's Python files live with the bindings in module/; the
    # other source folders are not Python packages.
    packages=["vorla"],
    package_dir={"vorla": "module/python/vorla"},
    package_data={"vorla": ["__init__.pyi", "py.typed"]},
    py_modules=[],
    ext_modules=[CMakeExtension("_vorla", "vorla_python3"),
                 CMakeExtension("vorla._core", "vorla_package")],
    cmdclass={"build_ext": CMakeBuild},
    options={
        "build": {"build_base": os.path.join(scratch, "build")},
        "egg_info": {"egg_base": scratch},
    },
)
