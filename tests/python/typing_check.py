# SPDX-License-Identifier: MIT
# The package's type information, checked by mypy where it is installed
# (Debian: apt-get install mypy): mypy --strict over examples/album.py and
# typed_program.py, which then runs; a use the stubs must refuse; and
# stubtest, which compares the stubs with the module as it runs. Prints
# "skipped: ..." (which CTest reports as a skip) when mypy is missing.

import importlib.util
import os
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
ALBUM = os.path.join(HERE, "..", "..", "examples", "album.py")
PROGRAM = os.path.join(HERE, "typed_program.py")


def mypy(*args):
    return subprocess.run([sys.executable, "-m", "mypy", "--strict",
                           "--no-incremental", "--cache-dir", os.devnull] +
                          list(args), stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, timeout=600)


def main():
    if importlib.util.find_spec("mypy") is None:
        print("skipped: mypy is not installed")
        return 0
    failures = []
    checked = mypy(ALBUM, PROGRAM)
    if checked.returncode != 0:
        failures.append(checked.stdout.decode())
    scratch = tempfile.mkdtemp(prefix="vorla-typing-")
    run = subprocess.run([sys.executable, "-B", PROGRAM, scratch],
                         stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    if run.returncode != 0:
        failures.append(run.stdout.decode())
    wrong = os.path.join(scratch, "wrong.py")
    with open(wrong, "w") as f:
        f.write("import vorla\nvorla.Record()\n"
                "n: int = vorla.Workspace('w.ini')[2]['width']\n")
    refused = mypy(wrong).stdout.decode()
    for line in ("wrong.py:2:", "wrong.py:3:"):
        if line not in refused:
            failures.append("mypy took %s\n%s" % (line, refused))
    stub = subprocess.run([sys.executable, "-m", "mypy.stubtest", "vorla"],
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          timeout=600)
    if stub.returncode != 0:
        failures.append(stub.stdout.decode())
    for failure in failures:
        print(failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
