# SPDX-License-Identifier: MIT
# Builds examples/extension, a native Python extension, against an installed
# vorla with CMake, and checks in fresh interpreters, in both import orders,
# that it and the package vorla share one library: the extension's definst
# is vorla.default_workspace(), and its save does not conflict with a
# vorla.Workspace of the same process.
#
#   python3 extension_test.py EXAMPLE_DIR WORK [CMAKE_ARG...]
#
# Runs under the interpreter whose vorla is tested (its PYTHONPATH names
# that vorla). With VORLA_EXAMPLE_STATIC=ON among the arguments the
# extension links the static library, and the check must fail: that is how
# the check is known to see a second library.

import os
import shutil
import subprocess
import sys

CHECK = r"""
import sys
if sys.argv[1] == "vorla-first":
    import vorla, shared_records
else:
    import shared_records, vorla
index = sys.argv[2]
with vorla.Workspace.create(index) as ws:
    ws.new_record("album")
    ws.save()
default = vorla.default_workspace()
default.load(index)
assert shared_records.count() == len(default) == 2, shared_records.count()
photo = shared_records.add("photo")
assert default[photo].type == "photo"
other = vorla.Workspace(index)   # saves first: it takes the writer lock
other.save()
shared_records.save()            # the same process's lock: no conflict
assert vorla.Workspace(index)[photo].type == "photo"
"""


def run(args, **kw):
    proc = subprocess.run(args, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, **kw)
    return proc.returncode, proc.stdout.decode("utf-8", "replace")


def main():
    example, work = sys.argv[1:3]
    cmake_args = sys.argv[3:]
    static = "-DVORLA_EXAMPLE_STATIC=ON" in cmake_args
    build = os.path.join(work, "build")
    for args in (["cmake", "-S", example, "-B", build,
                  "-DPython3_EXECUTABLE=" + sys.executable] + cmake_args,
                 ["cmake", "--build", build]):
        rc, out = run(args)
        if rc != 0:
            sys.exit("failed: %s\n%s" % (" ".join(args), out))
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(
        p for p in (build, env.get("PYTHONPATH")) if p)
    for order in ("vorla-first", "extension-first"):
        folder = os.path.join(work, order)
        shutil.rmtree(folder, ignore_errors=True)
        os.makedirs(folder)
        index = os.path.join(folder, "ws.ini")
        rc, out = run([sys.executable, "-c", CHECK, order, index], env=env,
                      cwd=work)
        if static and rc == 0:
            sys.exit("%s: a statically linked extension passed the check"
                     % order)
        if not static and rc != 0:
            sys.exit("%s: the extension does not share the library:\n%s"
                     % (order, out))
    print("extension shares the library" if not static else
          "a static extension is caught")
    return 0


if __name__ == "__main__":
    sys.exit(main())
