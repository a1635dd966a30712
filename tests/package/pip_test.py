# SPDX-License-Identifier: MIT
# pip installs vorla from a copy of the source tree into a fresh virtual
# environment, as a user without a package index does:
#   python3 -m venv --system-site-packages env
#   env/bin/python -m pip install --no-build-isolation .
# Then, in that environment, _vorla writes a workspace that the package vorla
# and the vorla tool of the build read back, and a native extension built
# against vorla.get_cmake_dir() shares the wheel's library.
#
#   python3 pip_test.py SOURCE_DIR WORK_DIR VORLA_TOOL
#
# Exits 77, which CTest counts as skipped, when this Python lacks venv,
# setuptools or wheel.

import importlib.util
import json
import os
import shutil
import subprocess
import sys
import sysconfig

SKIPPED = 77


def run(args, env=None, cwd=None):
    """Runs `args`; on failure, prints its output and stops the test."""
    proc = subprocess.run(args, env=env, cwd=cwd, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT)
    out = proc.stdout.decode("utf-8", "replace")
    if proc.returncode != 0:
        sys.exit("failed (%d): %s\n%s" % (proc.returncode, " ".join(args),
                                          out))
    return out


def tracked_files(source):
    """The files of the source tree, without anything a build left there:
    git's list when the tree is a git checkout, else all but the top-level
    build*/ and out/ directories and Python caches."""
    try:
        out = subprocess.run(["git", "-C", source, "ls-files", "-z"],
                             stdout=subprocess.PIPE,
                             stderr=subprocess.DEVNULL, check=True).stdout
        return [f for f in out.decode("utf-8").split("\0") if f]
    except (OSError, subprocess.CalledProcessError):
        pass
    files = []
    for dirpath, dirnames, filenames in os.walk(source):
        rel = os.path.relpath(dirpath, source)
        dirnames[:] = [
            d for d in dirnames
            if d != "__pycache__" and not (rel == "." and (
                d.startswith("build") or d in (".git", "out")))
        ]
        files += [os.path.normpath(os.path.join(rel, f)) for f in filenames
                  if not f.endswith(".pyc")]
    return files


def copy_tree(source, dest):
    for rel in tracked_files(source):
        src = os.path.join(source, rel)
        if not os.path.lexists(src):  # deleted but not yet committed
            continue
        dst = os.path.join(dest, rel)
        os.makedirs(os.path.dirname(dst), exist_ok=True)
        shutil.copy2(src, dst, follow_symlinks=False)


def snapshot(root):
    """Every path below `root` with its size and modification time."""
    seen = {}
    for dirpath, dirnames, filenames in os.walk(root):
        for name in dirnames + filenames:
            path = os.path.join(dirpath, name)
            st = os.lstat(path)
            seen[os.path.relpath(path, root)] = (st.st_size, st.st_mtime_ns)
    return seen


# Run inside the virtual environment: where _vorla comes from, the installed
# distribution's metadata, and a workspace written by init_workspace.
PROBE = r"""
import importlib.metadata, json, sys
import _vorla
import vorla, vorla._core
_vorla.init_workspace(sys.argv[1], sys.argv[2])
with vorla.Workspace(sys.argv[1]) as ws:
    records = len(ws)
meta = importlib.metadata.metadata("vorla")
print(json.dumps({"module": _vorla.__file__, "package": vorla.__file__,
                  "core": vorla._core.__file__,
                  "cmake_dir": vorla.get_cmake_dir(),
                  "records": records, "version": meta["Version"],
                  "license": meta["License"], "summary": meta["Summary"]}))
"""


def main():
    source, work, tool = sys.argv[1:4]
    # An interpreter that cannot build wheels (-S: no site packages, so no
    # setuptools) hears at once what it needs, before anything is built.
    proc = subprocess.run([sys.executable, "-S", "setup.py", "--version"],
                          cwd=source, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE)
    if (proc.returncode == 0 or
            b"needs setuptools and wheel" not in proc.stderr):
        sys.exit("setup.py without setuptools: %d %r" % (proc.returncode,
                                                          proc.stderr))
    missing = [m for m in ("venv", "ensurepip", "setuptools", "wheel")
               if importlib.util.find_spec(m) is None]
    if missing:
        print("skipped: %s lacks %s (apt-get install python3-venv "
              "python3-setuptools python3-wheel)" %
              (sys.executable, ", ".join(missing)))
        return SKIPPED

    shutil.rmtree(work, ignore_errors=True)
    tree = os.path.join(work, "src")
    copy_tree(source, tree)
    before = snapshot(tree)

    # pip as a user without a package index runs it, away from this
    # machine's pip configuration and cache; nothing from the build's own
    # environment may reach the module.
    env = {k: v for k, v in os.environ.items()
           if not k.startswith(("PIP_", "PYTHON"))}
    env.update(PIP_CONFIG_FILE=os.devnull, PIP_NO_CACHE_DIR="1",
               PIP_DISABLE_PIP_VERSION_CHECK="1", PIP_NO_INPUT="1",
               PYTHONNOUSERSITE="1")
    venv = os.path.join(work, "env")
    python = os.path.join(venv, "bin", "python")
    run([sys.executable, "-m", "venv", "--system-site-packages", venv],
        env=env)
    run([python, "-m", "pip", "install", "--no-build-isolation", "--no-index",
         "."], env=env, cwd=tree)

    after = snapshot(tree)
    if after != before:
        changed = set(p for p in set(before) | set(after)
                      if before.get(p) != after.get(p))
        # A new directory stands for all that is in it.
        top = sorted(p for p in changed if os.path.dirname(p) not in changed)
        sys.exit("the build left changes in the source tree: %s" % top)

    wsdir = os.path.join(work, "ws")
    os.makedirs(os.path.join(wsdir, "files"))
    index = os.path.join(wsdir, "ws.ini")
    found = json.loads(run([python, "-c", PROBE, index, "files"], env=env,
                           cwd=wsdir))
    for name in ("module", "package", "core", "cmake_dir"):
        module = os.path.realpath(found[name])
        if not module.startswith(os.path.realpath(venv) + os.sep):
            sys.exit("%s came from %s, not from %s" % (name, module, venv))
    # The modules carry this interpreter's suffix; the package holds the
    # library and the Boost.Thread it links, and no symbolic link.
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    for name in ("module", "core"):
        if not found[name].endswith(suffix):
            sys.exit("%s is %s, without the suffix %s" % (name, found[name],
                                                           suffix))
    lib = os.path.join(os.path.dirname(found["package"]), "lib")
    names = sorted(n for n in os.listdir(lib)
                   if not os.path.isdir(os.path.join(lib, n)))
    if (len(names) != 2 or not names[0].startswith("libboost_thread.so.") or
            not names[1].startswith("libvorla.so.")):
        sys.exit("the package's lib/ holds %s" % names)
    run([python, "-B", os.path.join(source, "tests", "package",
                                    "extension_test.py"),
         os.path.join(source, "examples", "extension"),
         os.path.join(work, "extension"), "-Dvorla_DIR=" + found["cmake_dir"]],
        env=env)
    if found["records"] != 1:
        sys.exit("vorla.Workspace read %d records" % found["records"])
    # One version for all: the wheel's is the tool's.
    tool_version = run([tool, "--version"]).strip()
    if "vorla " + found["version"] != tool_version:
        sys.exit("wheel %s, tool %s" % (found["version"], tool_version))
    if not found["license"] or not found["summary"]:
        sys.exit("no license or summary in the metadata: %r" % found)

    shown = json.loads(run([tool, "show", "--json", index]))
    system = [r for r in shown["records"] if r["id"] == 0]
    items = {i["name"]: i["value"] for i in system[0]["items"]} if system \
        else {}
    if (shown["datadir"] != os.path.join(wsdir, "files") or
            shown["counter"] != 1 or len(shown["records"]) != 1 or
            items.get("$reldatadir") != "files"):
        sys.exit("vorla show --json read back:\n%s" % json.dumps(shown))
    # The module writes the same fresh workspace as the library in the tool.
    run([tool, "init", os.path.join(work, "tool", "ws.ini"), "files"])
    with open(index, "rb") as a, open(os.path.join(work, "tool", "ws.ini"),
                                      "rb") as b:
        if a.read() != b.read():
            sys.exit("_vorla and vorla init write different index files")
    return 0


if __name__ == "__main__":
    sys.exit(main())
