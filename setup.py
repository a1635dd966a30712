# Builds the wheel of the _vorla extension module and the package vorla for
# the Python 3 that runs it (pip install ., pip wheel .). The modules are
# built by the project's CMake build, exactly as a CMake build makes them,
# and only those targets: no tests, no tool, no Python 2 module. Both keep
# the plain ".so" names of the CMake build: vorla/_core.so finds _vorla.so
# beside its package directory by that name. The version and the description are read from
# CMakeLists.txt, the one place that holds them.
#
# Everything the build writes goes to a temporary directory that is removed
# when the build ends: nothing is left in the source tree.

import atexit
import os
import re
import shutil
import subprocess
import sys
import tempfile

from setuptools import Extension, setup
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
    component into a staging directory and copies each module from there to
    where setuptools wants it."""

    def get_ext_filename(self, ext_name):
        return os.path.join(*ext_name.split(".")) + ".so"

    def build_extension(self, ext):
        stage_dir = os.path.join(os.path.abspath(self.build_temp), "stage")
        if not getattr(self, "staged", False):
            self.cmake_build(stage_dir)
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
            # The module is installed into the staging directory itself.
            "-DVORLA_PYTHON3_INSTALL_DIR=.",
        ]
        build = ["cmake", "--build", build_dir, "--target"]
        build += [ext.cmake_target for ext in self.extensions]
        # pip runs setup.py without -j; CMAKE_BUILD_PARALLEL_LEVEL then
        # chooses, or every processor when it is not set either.
        if self.parallel:
            build += ["--parallel", str(self.parallel)]
        elif not os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL"):
            build += ["--parallel", str(os.cpu_count() or 1)]
        install = ["cmake", "--install", build_dir, "--component", "python",
                   "--prefix", stage_dir]
        for command in (configure, build, install):
            self.announce(" ".join(command), level=2)
            try:
                subprocess.check_call(command)
            except OSError:
                sys.exit("setup.py: cannot run cmake (Debian: apt-get install "
                         "cmake)")


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
