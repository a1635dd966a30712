# Tests of the _vorla extension module as Python code meets it. Runs
# unchanged under Python 2.7 and Python 3; CTest puts _vorla and the peer
# modules built from peer.i on PYTHONPATH.

import importlib
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

import _vorla
from load_order import registry_pointer

PY3 = sys.version_info[0] >= 3
LOAD_ORDER = os.path.join(os.path.dirname(os.path.abspath(__file__)),
                          "load_order.py")

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

    def test_string_subclasses_accepted(self):
        kinds = [(str, self.ws, "data")]
        if PY3:
            kinds.append((bytes, to_bytes(self.ws), b"data"))
        for kind, path, reldatadir in kinds:
            sub = type("Sub", (kind,), {})
            _vorla.init_workspace(sub(path), sub(reldatadir))
            self.assertEqual(read(self.ws), EMPTY_WORKSPACE)
            os.remove(self.ws)

    def test_embedded_nul_reaches_library_whole(self):
        _vorla.init_workspace(to_bytes(self.ws) + b"\0tail", b"da\0ta")
        self.assertEqual(os.listdir(self.dir), ["ws.ini"])
        self.assertEqual(read(self.ws),
                         EMPTY_WORKSPACE.replace(b"= data", b"= da\0ta"))

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
        long_value = b"da\0ta" + b"x" * 64  # held on the heap, not inline
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
        child = subprocess.Popen(
            [sys.executable, "-B", LOAD_ORDER, first, second, self.ws],
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        output = child.communicate()[0]
        self.assertEqual(child.returncode, 0, output.decode("utf-8", "replace"))
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
        value = b"d\xff\x00\x80ta"
        _vorla.init_workspace(self.ws, value)
        self.assertEqual(read(self.ws),
                         EMPTY_WORKSPACE.replace(b"= data", b"= " + value))


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
