# SPDX-License-Identifier: MIT
# Tests of the _vorla extension module as Python code meets it. Runs
# unchanged under Python 2.7 and Python 3; CTest puts _vorla and the peer
# modules built from peer.i on PYTHONPATH.

import importlib
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import unittest

import _vorla
from in_child import CASES
from load_order import registry_pointer

PY3 = sys.version_info[0] >= 3
HERE = os.path.dirname(os.path.abspath(__file__))
LOAD_ORDER = os.path.join(HERE, "load_order.py")
IN_CHILD = os.path.join(HERE, "in_child.py")
# Seconds a child process may run; only a hang comes near it.
CHILD_TIMEOUT = 120

EMPTY_WORKSPACE = (b"[0]\n"
                   b"$current_counter_uint64 = 1\n"
                   b"$reldatadir_str = data\n"
                   b"$version_str = 2.1\n"
                   b"extrefcount_sys = 1000\n"
                   b"intrefcount_sys = 0\n"
                   b"structtype_sys = system_record\n"
                   b"\n")


def to_bytes(path):
    return os.fsencode(path) if PY3 else path


def read(path):
    with open(path, "rb") as f:
        return f.read()


def arg_error(number):
    return ("in method 'init_workspace', argument %d of type "
            "'std::string const &'" % number)


def null_error(number):
    return "invalid null reference " + arg_error(number)


def run_child(args, env=None):
    """Runs a child process to its end, or kills it after CHILD_TIMEOUT.
    Returns its exit status (negative: the signal that ended it) and its
    output."""
    child = subprocess.Popen(args, stdout=subprocess.PIPE,
                             stderr=subprocess.STDOUT, env=env)

    def kill():
        try:
            child.kill()
        except OSError:  # ended meanwhile
            pass
    timer = threading.Timer(CHILD_TIMEOUT, kill)
    timer.start()
    try:
        output = child.communicate()[0]
    finally:
        timer.cancel()
    return child.returncode, output.decode("utf-8", "replace")


class PathLike(object):
    def __init__(self, path):
        self.path = path

    def __fspath__(self):
        if isinstance(self.path, Exception):
            raise self.path
        return self.path


class TempDirTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="vorla-py-")
        self.ws = os.path.join(self.dir, "ws.ini")

    def tearDown(self):
        shutil.rmtree(self.dir)


class ModuleSurfaceTest(unittest.TestCase):
    def test_two_functions_and_no_documentation(self):
        names = set(n for n in dir(_vorla) if not n.startswith("__"))
        self.assertEqual(names, {"init_workspace", "SWIG_PyInstanceMethod_New"})
        self.assertIsNone(_vorla.__doc__)
        self.assertIsNone(_vorla.init_workspace.__doc__)

    def test_registry_published_under_both_names(self):
        runtime = sys.modules["swig_runtime_data4"]
        legacy = runtime.type_pointer
        if not PY3:
            self.assertEqual(type(legacy).__name__, "PyCObject")
        address = registry_pointer(runtime.type_pointer_capsule)
        self.assertTrue(address)
        self.assertEqual(registry_pointer(legacy), address)

    def test_instance_method_entry(self):
        wrap = _vorla.SWIG_PyInstanceMethod_New
        for args in [(), (len, len)]:
            self.assertRaises(TypeError, wrap, *args)
        if not PY3:
            self.assertRaises(SystemError, wrap, len)
            return

        class Holder(object):
            answer = wrap(lambda self: self.value)
            value = 42
        self.assertEqual(Holder().answer(), 42)


class InitWorkspaceTest(TempDirTest):
    def test_writes_empty_workspace_only(self):
        self.assertIsNone(_vorla.init_workspace(self.ws, "data"))
        self.assertEqual(read(self.ws), EMPTY_WORKSPACE)
        self.assertEqual(os.listdir(self.dir), ["ws.ini"])  # no data directory

    def test_second_call_rewrites_as_new(self):
        with open(self.ws, "wb") as f:
            f.write(b"[7]\nstale = 1\n" * 100)
        _vorla.init_workspace(self.ws, "data")
        _vorla.init_workspace(self.ws, "data")
        self.assertEqual(read(self.ws), EMPTY_WORKSPACE)

    def test_a_workspace_with_records_is_kept_as_bak(self):
        _vorla.init_workspace(self.ws, "data")
        with open(self.ws, "ab") as f:
            f.write(b"[2]\nextrefcount_sys = 1\nstructtype_sys = kept\n\n")
        former = read(self.ws)
        _vorla.init_workspace(self.ws, "other")
        self.assertEqual(read(self.ws + ".bak"), former)
        # An empty workspace is overwritten without a backup.
        _vorla.init_workspace(self.ws, "data")
        self.assertEqual(read(self.ws), EMPTY_WORKSPACE)
        self.assertEqual(sorted(os.listdir(self.dir)), ["ws.ini", "ws.ini.bak"])

    def test_string_subclasses_accepted(self):
        kinds = [(str, self.ws, "data")]
        if PY3:
            kinds.append((bytes, to_bytes(self.ws), b"data"))
        for kind, path, reldatadir in kinds:
            sub = type("Sub", (kind,), {})
            _vorla.init_workspace(sub(path), sub(reldatadir))
            self.assertEqual(read(self.ws), EMPTY_WORKSPACE)
            os.remove(self.ws)

    def test_embedded_nul_is_refused_and_writes_nothing(self):
        # The system would see the path cut short at the NUL.
        cases = [
            (to_bytes(self.ws) + b"\0tail", b"data", "cannot write file"),
            (to_bytes(self.dir) + b"\0/ws.ini", b"data", "cannot write file"),
            (to_bytes(self.ws), b"da\0ta", "invalid text")]
        if PY3:
            cases.append((PathLike(self.ws + "\0tail"), "data",
                          "cannot write file"))
            cases.append((PathLike(self.ws), PathLike("da\0ta"),
                          "invalid text"))
        for path, reldatadir, message in cases:
            with self.assertRaises(RuntimeError) as caught:
                _vorla.init_workspace(path, reldatadir)
            self.assertEqual(str(caught.exception), message)
            self.assertEqual(os.listdir(self.dir), [])

    def test_unwritable_index_file_raises_runtime_error(self):
        missing = os.path.join(self.dir, "missing", "ws.ini")
        for path in [missing, self.dir]:
            with self.assertRaises(RuntimeError) as caught:
                _vorla.init_workspace(path, "data")
            self.assertEqual(str(caught.exception), "cannot write file")
        self.assertEqual(os.listdir(self.dir), [])


class ArgumentErrorTest(TempDirTest):
    def test_wrong_count_or_keywords(self):
        for args in [(), (self.ws,), (self.ws, "data", "x")]:
            with self.assertRaises(TypeError) as caught:
                _vorla.init_workspace(*args)
            self.assertEqual(str(caught.exception),
                             "init_workspace() takes exactly 2 arguments"
                             " (%d given)" % len(args))
        with self.assertRaises(TypeError) as caught:
            _vorla.init_workspace(mainfile=self.ws, reldatadir="data")
        self.assertIn("init_workspace", str(caught.exception))
        self.assertEqual(os.listdir(self.dir), [])

    def test_wrong_kinds_raise_type_error(self):
        wrong = [1, 2.5, [b"data"], bytearray(b"data"), object()]
        if not PY3:
            wrong.append(u"data")  # unicode, even plain ASCII
            wrong.append(PathLike("data"))  # no path-like objects either
        for value in wrong:
            for number, args in [(1, (value, "data")), (2, (self.ws, value))]:
                with self.assertRaises(TypeError) as caught:
                    _vorla.init_workspace(*args)
                self.assertEqual(str(caught.exception), arg_error(number),
                                 repr(value))
        self.assertEqual(os.listdir(self.dir), [])

    def test_none_raises_value_error(self):
        for number, args in [(1, (None, "data")), (2, (self.ws, None))]:
            with self.assertRaises(ValueError) as caught:
                _vorla.init_workspace(*args)
            self.assertEqual(str(caught.exception), null_error(number))

    def test_first_argument_examined_first(self):
        with self.assertRaises(TypeError) as caught:
            _vorla.init_workspace(1, None)
        self.assertEqual(str(caught.exception), arg_error(1))
        with self.assertRaises(ValueError) as caught:
            _vorla.init_workspace(None, 1)
        self.assertEqual(str(caught.exception), null_error(1))

    @unittest.skipUnless(PY3, "Python 3 str")
    def test_unencodable_str_raises_type_error(self):
        with self.assertRaises(TypeError) as caught:
            _vorla.init_workspace(self.ws, "\ud800")
        self.assertEqual(str(caught.exception), arg_error(2))


class WrappedPointerTest(TempDirTest):
    """Pointers wrapped by another SWIG module of the same interpreter."""

    def setUp(self):
        TempDirTest.setUp(self)
        self.peer = importlib.import_module("_vorla_peer")

    def test_char_pointer_gives_text_up_to_nul(self):
        class Holder(object):  # a proxy object keeps its pointer in "this"
            def __init__(self, pointer):
                self.this = pointer
        path = self.peer.chars_new(to_bytes(self.ws) + b"\0tail")
        _vorla.init_workspace(path, Holder(self.peer.chars_new(b"data\0x")))
        self.assertEqual(os.listdir(self.dir), ["ws.ini"])
        self.assertEqual(read(self.ws), EMPTY_WORKSPACE)

    def test_string_pointer_used_in_place(self):
        long_value = b"data" + b"x" * 64  # held on the heap, not inline
        value = self.peer.string_new(long_value)
        _vorla.init_workspace(self.peer.string_new(to_bytes(self.ws)), value)
        self.assertEqual(read(self.ws),
                         EMPTY_WORKSPACE.replace(b"= data", b"= " + long_value))
        self.assertEqual(self.peer.string_value(value), long_value)

    def test_null_pointers_are_null_references(self):
        for null in [self.peer.chars_null(), self.peer.string_null()]:
            for number, args in [(1, (null, "data")), (2, (self.ws, null))]:
                with self.assertRaises(ValueError) as caught:
                    _vorla.init_workspace(*args)
                self.assertEqual(str(caught.exception), null_error(number))


class RegistrySharingTest(TempDirTest):
    def check_order(self, first, second):
        status, output = run_child(
            [sys.executable, "-B", LOAD_ORDER, first, second, self.ws])
        self.assertEqual(status, 0, "exit status %d\n%s" % (status, output))
        self.assertEqual(read(self.ws), EMPTY_WORKSPACE)

    def test_peer_loaded_before(self):
        self.check_order("_vorla_peer", "_vorla")

    def test_peer_loaded_after(self):
        self.check_order("_vorla", "_vorla_peer")

    def test_older_kind_of_peer_loaded_before(self):
        self.check_order("_vorla_legacy_peer", "_vorla")

    def test_older_kind_of_peer_loaded_after(self):
        self.check_order("_vorla", "_vorla_legacy_peer")


@unittest.skipUnless(PY3, "Python 3 str and bytes")
class FileNameTest(TempDirTest):
    def test_str_encoded_as_fsencode(self):
        for name in ["ws-\u00e9\u4e2d.ini", "ws-\udcff.ini"]:
            _vorla.init_workspace(os.path.join(self.dir, name), "data")
            self.assertEqual(os.listdir(to_bytes(self.dir)),
                             [os.fsencode(name)])
            os.remove(os.path.join(self.dir, name))

    def test_non_utf8_bytes_and_fsdecoded_str_name_one_file(self):
        raw = os.path.join(to_bytes(self.dir), b"ws-\xff\xfe.ini")
        _vorla.init_workspace(raw, b"data")
        self.assertEqual(read(raw), EMPTY_WORKSPACE)
        os.remove(raw)
        _vorla.init_workspace(os.fsdecode(raw), "data")
        self.assertEqual(os.listdir(to_bytes(self.dir)),
                         [os.path.basename(raw)])
        self.assertEqual(read(raw), EMPTY_WORKSPACE)

    def test_bytes_taken_byte_for_byte(self):
        value = b"d\xff\x01\x80ta"
        _vorla.init_workspace(self.ws, value)
        self.assertEqual(read(self.ws),
                         EMPTY_WORKSPACE.replace(b"= data", b"= " + value))


@unittest.skipUnless(PY3, "Python 3 os.PathLike")
class PathLikeTest(TempDirTest):
    def test_path_objects_taken_as_their_str_or_bytes(self):
        import pathlib
        raw = os.path.join(to_bytes(self.dir), b"ws-\xff.ini")
        for mainfile in [pathlib.Path(self.ws), PathLike(self.ws),
                         PathLike(to_bytes(self.ws)),
                         PathLike(type("Sub", (str,), {})(self.ws))]:
            _vorla.init_workspace(mainfile, pathlib.PurePath("data"))
            self.assertEqual(read(self.ws), EMPTY_WORKSPACE)
            os.remove(self.ws)
        for mainfile in [PathLike(raw), pathlib.Path(os.fsdecode(raw))]:
            _vorla.init_workspace(mainfile, PathLike(b"d\xff\x01ta"))
            self.assertEqual(os.listdir(to_bytes(self.dir)),
                             [os.path.basename(raw)])
            self.assertEqual(read(raw), EMPTY_WORKSPACE.replace(
                b"= data", b"= d\xff\x01ta"))
            os.remove(raw)

    def test_failing_fspath_raises_type_error(self):
        import pathlib
        wrong = [PathLike(ValueError("no path")), PathLike(TypeError("none")),
                 PathLike(None), PathLike(1), PathLike(bytearray(b"data")),
                 PathLike(pathlib.Path("data")), PathLike("\ud800"),
                 type("NoneFspath", (object,), {"__fspath__": None})()]
        for value in wrong:
            for number, args in [(1, (value, "data")), (2, (self.ws, value))]:
                with self.assertRaises(TypeError) as caught:
                    _vorla.init_workspace(*args)
                self.assertEqual(str(caught.exception), arg_error(number),
                                 repr(value.__dict__))
        self.assertEqual(os.listdir(self.dir), [])

    def test_str_and_bytes_taken_before_their_fspath(self):
        for kind, value in [(str, "data"), (bytes, b"data")]:
            odd = type("Odd", (kind,), {"__fspath__": lambda self: "other"})
            _vorla.init_workspace(self.ws, odd(value))
            self.assertEqual(read(self.ws), EMPTY_WORKSPACE)


class HostileArgumentTest(TempDirTest):
    """Each case of in_child.py runs in a child interpreter: a crash or a
    hang there fails the test."""

    def check_group(self, group):
        failures = []
        for case in sorted(CASES[group]):
            status, output = run_child([sys.executable, "-B", IN_CHILD,
                                        "argument", group, case, self.ws])
            if status != 0:
                failures.append("%s: exit status %d\n%s"
                                % (case, status, output))
        self.assertFalse(failures, "\n".join(failures))

    def test_this_freed_endless_or_raising(self):
        self.check_group("this")

    def test_objects_posing_as_pointers_and_pointer_chains(self):
        self.check_group("pointer")

    def test_registry_module_removed_or_replaced(self):
        self.check_group("registry")

    def test_subinterpreters(self):
        program = os.environ.get("VORLA_SUBINTERP")
        if not program:
            self.skipTest("this Python has no shared library to embed")
        env = dict(os.environ, PYTHONPATH=os.pathsep.join(
            [os.environ.get("PYTHONPATH", ""), HERE]))
        checks = "import in_child; in_child.basic_checks(%r)" % self.ws
        # Imported by the main interpreter, first used by a subinterpreter;
        # used by both in turn; imported by a subinterpreter first.
        for main in ["import _vorla", checks, "pass"]:
            status, output = run_child([program, main, checks, checks], env)
            self.assertEqual(status, 0, "%s: exit status %d\n%s"
                             % (main, status, output))


class ThreadTest(TempDirTest):
    def test_other_threads_run_while_library_flushes(self):
        # In the child a thread must answer every fsync of the library before
        # it goes on (in_child.flush_gate): it can only while the library
        # runs without the interpreter's lock.
        gate = os.environ.get("VORLA_FSYNC_GATE_LIB")
        if not gate:
            self.skipTest("fsync_gate not built")
        status, output = run_child(
            [sys.executable, "-B", IN_CHILD, "flush-gate", self.ws],
            dict(os.environ, LD_PRELOAD=gate))
        self.assertEqual(status, 0, "exit status %d\n%s" % (status, output))
        self.assertEqual(read(self.ws), EMPTY_WORKSPACE)

    def test_calls_from_many_threads(self):
        unwritable = os.path.join(self.dir, "missing", "ws.ini")
        own = [os.path.join(self.dir, "ws%d.ini" % n) for n in range(4)]
        errors = []

        def work(path):
            expected = {path: None, self.ws: None,  # shared by all threads
                        unwritable: "cannot write file"}
            for _ in range(10):
                for target in sorted(expected):
                    try:
                        _vorla.init_workspace(target, "data")
                        error = None
                    except Exception as e:
                        error = str(e)
                    if error != expected[target]:
                        errors.append("%s: %s" % (target, error))
        threads = [threading.Thread(target=work, args=(path,))
                   for path in own]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        self.assertEqual(errors, [])
        self.assertEqual(sorted(os.listdir(self.dir)),
                         sorted(os.path.basename(p) for p in own + [self.ws]))
        for path in own + [self.ws]:
            self.assertEqual(read(path), EMPTY_WORKSPACE)
@unittest.skipUnless(os.environ.get("VORLA_WORKER"), "no worker program")
class WriterLockTest(TempDirTest):
    """init_workspace takes the workspace's writer lock, as init does."""

    def call(self, worker, line):
        worker.stdin.write((line + "\n").encode("ascii"))
        worker.stdin.flush()
        return worker.stdout.readline().decode("ascii").strip()

    def test_refuses_a_workspace_that_another_process_holds(self):
        _vorla.init_workspace(self.ws, "data")
        worker = subprocess.Popen([os.environ["VORLA_WORKER"]],
                                  stdin=subprocess.PIPE,
                                  stdout=subprocess.PIPE)
        try:
            self.assertEqual(self.call(worker, "load w " + self.ws), "ok")
            self.assertEqual(self.call(worker, "lock w"), "ok")
            with self.assertRaises(RuntimeError) as caught:
                _vorla.init_workspace(self.ws, "other")
            self.assertEqual(str(caught.exception), "workspace in use")
            self.assertEqual(read(self.ws), EMPTY_WORKSPACE)
        finally:
            worker.stdin.close()
            worker.wait()
            worker.stdout.close()
        _vorla.init_workspace(self.ws, "other")
        self.assertIn(b"$reldatadir_str = other\n", read(self.ws))
        self.assertEqual(os.listdir(self.dir), ["ws.ini"])


if __name__ == "__main__":
    unittest.main()
