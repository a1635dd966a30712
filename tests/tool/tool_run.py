# SPDX-License-Identifier: MIT
"""What the end-to-end tests of the vorla program share: running it, and
holding a workspace's writer lock from another real process.

The program comes from VORLA_TOOL; VORLA_WORKER is the multiprocess test's
worker, driven over its standard input.
"""

import contextlib
import json
import os
import subprocess

TOOL = os.environ["VORLA_TOOL"]
WORKER = os.environ["VORLA_WORKER"]


class Run(object):
    def __init__(self, status, out, err):
        self.status, self.out, self.err = status, out, err

    def json(self):
        """The one JSON document on stdout."""
        return json.loads(self.out)


def vorla(*args, **kwargs):
    """Runs the tool; stderr goes to `stderr` when given (a descriptor). A
    run longer than `timeout` seconds (60) fails with TimeoutExpired."""
    stderr = kwargs.get("stderr", subprocess.PIPE)
    p = subprocess.Popen([TOOL] + list(args), stdin=subprocess.DEVNULL,
                         stdout=subprocess.PIPE, stderr=stderr)
    try:
        out, err = p.communicate(timeout=kwargs.get("timeout", 60))
    finally:
        p.kill()
    return Run(p.returncode, out.decode("utf-8"),
               err.decode("utf-8") if err is not None else "")


@contextlib.contextmanager
def lock_held(index):
    """Another process holds the writer lock of `index` within the block;
    gives the holder's process id."""
    worker = subprocess.Popen([WORKER], stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, universal_newlines=True)
    try:
        worker.stdin.write("load w %s\nlock w\n" % index)
        worker.stdin.flush()
        for _ in range(2):
            if worker.stdout.readline().strip() != "ok":
                raise AssertionError("the worker did not take the lock")
        yield worker.pid
    finally:
        worker.stdin.close()
        worker.wait()
