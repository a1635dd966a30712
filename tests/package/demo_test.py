# SPDX-License-Identifier: MIT
"""./dev.sh main on a machine without Python 2, as on a fresh Debian 12:
no pyenv on the path, VORLA_PYTHON2 unset. It runs in the build directory
of the tests (VORLA_DEMO_BUILD), which builds only the demo's targets and
installs nothing, and must succeed with Python 3 alone, saying in one line
how to add Python 2. Where the build has a Python 2 (PYTHON2), the demo
runs once more with it and must end sound as well.

    python3 demo_test.py SOURCE_DIR BUILD_DIR WORK_DIR [PYTHON2]
"""

import os
import shutil
import subprocess
import sys

SKIPPED = 77


def main():
    source, build, work = sys.argv[1:4]
    path = os.pathsep.join(
        d for d in os.environ.get("PATH", "").split(os.pathsep)
        if d and "pyenv" not in d)
    if shutil.which("python2.7", path=path) or shutil.which("python2",
                                                            path=path):
        print("skipped: a Python 2 outside pyenv is on the path")
        return SKIPPED
    env = {k: v for k, v in os.environ.items()
           if not k.startswith(("PYENV", "VORLA_PYTHON2", "PYTHON"))}
    env.update(PATH=path, VORLA_DEMO_BUILD=build,
               VORLA_DEMO_OUT=os.path.join(work, "demo"))
    python3 = ["== Python 3 creates an empty workspace with _vorla",
               "== Python 3 adds the same album with the package vorla",
               "album.ini: 11 records, sound"]
    runs = [({}, python3 + ["Python 2 not found"])]
    python2 = sys.argv[4] if len(sys.argv) > 4 else ""
    if python2 and os.path.isdir(os.path.join(build, "module", "python2")):
        runs.append(({"VORLA_PYTHON2": python2}, python3 + [
            "== Python 2 creates a workspace of its own with _vorla",
            "py2/album.ini: 1 record, sound"]))
    for extra, wanted in runs:
        shutil.rmtree(work, ignore_errors=True)
        proc = subprocess.run([os.path.join(source, "dev.sh"), "main"],
                              env=dict(env, **extra), stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT)
        out = proc.stdout.decode("utf-8", "replace")
        missing = [w for w in wanted if w not in out]
        if proc.returncode != 0 or missing:
            sys.exit("./dev.sh main %s exited %d, without %s:\n%s" %
                     (extra, proc.returncode, missing, out))
    return 0


if __name__ == "__main__":
    sys.exit(main())
