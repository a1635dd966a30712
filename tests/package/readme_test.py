# SPDX-License-Identifier: MIT
"""The README's examples, run as a newcomer runs them.

The README marks each example with a line "<!-- example: LANG -->" before
its fenced block. The Python block runs in a scratch folder with the
build's modules; the C++ block must be examples/quickstart.cpp from its
first #include on, which the build compiles, and runs in a folder where
`vorla init album.ini` was run; the shell block runs with the build's tool
first on the path. Each must succeed, so the README cannot go stale.
The layout table ("Where things live") must name every top-level file
and folder of the tree (dot files aside), and only paths that exist.

    python3 readme_test.py SOURCE_DIR WORK_DIR TOOL QUICKSTART PYTHONPATH
"""

import os
import re
import shutil
import subprocess
import sys

_BLOCK = re.compile(r"<!-- example: ([a-z]+) -->\s*```[a-z]*\n(.*?)```", re.S)


def run(args, cwd, env=None, stdin=None):
    proc = subprocess.run(args, cwd=cwd, env=env, input=stdin,
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    out = proc.stdout.decode("utf-8", "replace")
    if proc.returncode != 0:
        sys.exit("failed (%d): %s in %s\n%s" % (proc.returncode, args, cwd,
                                                 out))
    return out


def check_layout(source, text):
    table = text[text.index("## Where things live"):]
    named = set()
    for row in re.findall(r"^\| ([^|]*) \|", table, re.M):
        named.update(re.findall(r"`([^`]+)`", row))
    tree = set(os.listdir(source)) - {".git"}
    wanted = {e + "/" if os.path.isdir(os.path.join(source, e)) else e
              for e in tree
              if not e.startswith((".", "build", "out"))}
    missing = sorted(wanted - named)
    stale = sorted(n for n in named
                   if not os.path.exists(os.path.join(source, n)))
    if missing or stale:
        sys.exit("the layout table lacks %s and names %s, which is not "
                 "there" % (missing, stale))


def main():
    source, work, tool, quickstart, pythonpath = sys.argv[1:6]
    with open(os.path.join(source, "README.md"), encoding="utf-8") as f:
        text = f.read()
    check_layout(source, text)
    blocks = dict(_BLOCK.findall(text))
    if sorted(blocks) != ["cpp", "python", "sh"]:
        sys.exit("the README's examples: %s" % sorted(blocks))
    shutil.rmtree(work, ignore_errors=True)
    dirs = {}
    for lang in blocks:
        dirs[lang] = os.path.join(work, lang)
        os.makedirs(dirs[lang])
        if len(blocks[lang].strip().splitlines()) > 12:
            sys.exit("the README's %s example is not short" % lang)

    env = dict(os.environ, PYTHONPATH=pythonpath)
    run([sys.executable, "-"], dirs["python"], env,
        blocks["python"].encode())
    shown = run([tool, "show", "album.ini"], dirs["python"])
    if "Summer at the lake" not in shown:
        sys.exit("the Python example made:\n" + shown)

    with open(os.path.join(source, "examples", "quickstart.cpp")) as f:
        code = f.read()
    if blocks["cpp"] != code[code.index("#include"):]:
        sys.exit("the README's C++ example is not examples/quickstart.cpp")
    run([tool, "init", "album.ini"], dirs["cpp"])
    run([quickstart], dirs["cpp"])
    shown = run([tool, "show", "album.ini"], dirs["cpp"])
    if "Summer at the lake" not in shown:
        sys.exit("the C++ example made:\n" + shown)

    path = os.path.dirname(tool) + os.pathsep + os.environ.get("PATH", "")
    run(["bash", "-e"], dirs["sh"], dict(os.environ, PATH=path),
        blocks["sh"].encode())
    return 0


if __name__ == "__main__":
    sys.exit(main())
