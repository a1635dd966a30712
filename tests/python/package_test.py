# SPDX-License-Identifier: MIT
# Tests of the Python 3 package vorla, run by CTest with the package's build
# directory on PYTHONPATH. Cases that could crash the interpreter, or need a
# fresh process (native code in it, a preloaded fsync), run in a child
# process through package_child.py.
#
# Environment: VORLA_NATIVE_HELPER (native_helper.cpp, loaded with ctypes),
# VORLA_TOOL (the vorla tool), VORLA_PHOTO_ALBUM (examples/photo_album),
# VORLA_FSYNC_GATE_LIB (fsync_gate.cpp); a test whose program is missing is
# skipped.

import ast
import errno
import inspect
import json
import multiprocessing
import os
import pathlib
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import collections.abc

import vorla

HERE = os.path.dirname(os.path.abspath(__file__))
CHILD = os.path.join(HERE, "package_child.py")
ALBUM_PY = os.path.join(HERE, "..", "..", "examples", "album.py")
STUB = os.path.join(os.path.dirname(vorla.__file__), "__init__.pyi")
CHILD_TIMEOUT = 60


def program(name):
    path = os.environ.get(name)
    if not path:
        raise unittest.SkipTest(name + " is not set")
    return path


class Scratch(unittest.TestCase):
    """A scratch folder and a new workspace in it for each test."""

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="vorla-package-")
        self.addCleanup(shutil.rmtree, self.dir, True)
        self.path = os.path.join(self.dir, "ws.ini")
        self.ws = vorla.Workspace.create(self.path)
        self.addCleanup(self.ws.close)

    def reopen(self):
        self.ws.save()
        return vorla.Workspace(self.path)

    def tool(self, *args):
        """The JSON document that `vorla COMMAND --json ... self.path`
        prints."""
        out = subprocess.run([program("VORLA_TOOL")] + list(args) +
                             ["--json", self.path], stdout=subprocess.PIPE,
                             timeout=CHILD_TIMEOUT).stdout
        return json.loads(out)

    def assert_sound(self):
        """The saved workspace passes vorla check, and vorla gc finds no
        data file that no record names."""
        report = self.tool("check")
        self.assertTrue(report["sound"], report["findings"])
        self.assertEqual(self.tool("gc", "--grace", "0")["files"], [])

    def child(self, *args, env=None):
        scratch = tempfile.mkdtemp(dir=self.dir)
        proc = subprocess.run(
            [sys.executable, "-B", CHILD, args[0], scratch] + list(args[1:]),
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
            timeout=CHILD_TIMEOUT, env=env)
        self.assertEqual(proc.returncode, 0, proc.stdout.decode(
            "utf-8", "replace"))


class WorkspaceTest(Scratch):
    def test_create_makes_an_empty_workspace_with_its_data_directory(self):
        self.assertEqual(self.ws.path, pathlib.Path(self.path))
        self.assertEqual(self.ws.data_dir, pathlib.Path(self.dir, "data"))
        self.assertTrue(self.ws.data_dir.is_dir())
        self.assertEqual([r.id for r in self.ws], [0])
        other = vorla.Workspace.create(
            pathlib.Path(self.dir, "b.ini"), data_dir=b"files")
        self.assertTrue(pathlib.Path(self.dir, "files").is_dir())
        other.close()

    def test_records_as_a_mapping_from_ids_in_id_order(self):
        made = [self.ws.new_record("t%d" % n) for n in range(5)]
        made[2].release()
        ids = [r.id for r in made]
        self.assertEqual([r.id for r in self.ws],
                         [0] + ids[:2] + ids[3:])
        self.assertEqual(len(self.ws), 5)
        self.assertEqual(self.ws.counter, ids[-1])
        self.assertEqual(self.ws[ids[1]], made[1])
        self.assertNotEqual(self.ws[ids[1]], made[0])
        self.assertEqual(hash(self.ws[ids[1]]), hash(made[1]))
        self.assertIn(ids[0], self.ws)
        for absent in (ids[2], -1, 2**32 + ids[0], "1"):
            self.assertNotIn(absent, self.ws)
        for absent in (ids[2], -1, 2**32 + ids[0]):
            with self.assertRaises(KeyError):
                self.ws[absent]
        with self.assertRaises(TypeError):
            self.ws["1"]

    def test_iteration_survives_changes_made_meanwhile(self):
        made = [self.ws.new_record("t") for _ in range(3)]
        seen = []
        for rec in self.ws:
            seen.append(rec.id)
            if rec.id == made[0].id:
                made[1].release()
                self.ws.new_record("late")
        self.assertEqual(seen, [0, made[0].id, made[2].id])

    def test_saved_records_load_back(self):
        rec = self.ws.new_record("album")
        rec["title"] = "Lake"
        self.ws.new_temp_record("scratch")
        loaded = self.reopen()
        self.assertEqual([(r.id, r.type) for r in loaded],
                         [(0, "system_record"), (rec.id, "album")])
        self.assertEqual(dict(loaded[rec.id].items()), {"title": "Lake"})
        loaded.close()

    def test_load_replaces_the_workspace(self):
        other = vorla.Workspace.create(os.path.join(self.dir, "o.ini"),
                                       "odata")
        other.new_record("theirs")
        other.save()
        self.ws.new_record("mine")
        self.ws.load(other.path)
        self.assertEqual(self.ws.path, other.path)
        self.assertEqual([r.type for r in self.ws], ["system_record", "theirs"])
        other.close()

    def test_context_manager_closes_without_saving(self):
        with vorla.Workspace(self.path) as ws:
            ws.new_record("unsaved")
        self.assertTrue(ws.closed)
        with vorla.Workspace(self.path) as ws:
            self.assertEqual(len(ws), 1)
        self.assertIn("closed", repr(ws))

    def test_copies_within_and_between_workspaces(self):
        rec = self.ws.new_record("photo")
        rec["caption"] = "pier"
        rec.new_file("pixels").write_bytes(b"abc")
        rec.new_child("thumb")["width"] = 8
        other = vorla.Workspace.create(os.path.join(self.dir, "o.ini"),
                                       "odata")
        self.addCleanup(other.close)
        for target, source in ((other, rec), (self.ws, rec.id)):
            copy = target.copy_from(self.ws, source)
            self.assertEqual(copy.workspace, target)
            self.assertNotEqual(copy["pixels"], rec["pixels"])
            self.assertEqual(copy["pixels"].read_bytes(), b"abc")
            self.assertEqual(copy["caption"], "pier")
            self.assertEqual(copy["thumb"]["width"], 8)
        with self.assertRaises(vorla.Error) as caught:
            self.ws.copy_from(other, rec)
        self.assertEqual(caught.exception.code, "foreign_record")


    def test_create_keeps_what_is_there(self):
        self.ws.new_record("kept")["n"] = 1
        self.ws.save()
        former = pathlib.Path(self.path).read_bytes()
        b = os.path.join(self.dir, "b.ini")
        for path, data_dir, code, named in (
                (self.path, "other", "index_file_exists", self.path),
                (b, "data", "shared_data_directory", self.path),
                (b, "./data/", "shared_data_directory", self.path)):
            with self.assertRaises(vorla.Error) as caught:
                vorla.Workspace.create(path, data_dir)
            self.assertEqual((caught.exception.code, caught.exception.path),
                             (code, named))
        self.assertFalse(os.path.exists(b))
        self.assertEqual(pathlib.Path(self.path).read_bytes(), former)
        # A data directory that cannot be made fails before anything is
        # written.
        pathlib.Path(self.dir, "plain").write_text("a file")
        with self.assertRaises(NotADirectoryError):
            vorla.Workspace.create(b, "plain")
        self.assertFalse(os.path.exists(b))
        with self.assertRaises(TypeError):
            vorla.Workspace.create(self.path, "data", True)
        with vorla.Workspace.create(self.path, overwrite=True) as ws:
            self.assertEqual(len(ws), 1)
        self.assertEqual(pathlib.Path(self.path + ".bak").read_bytes(), former)
        fifo = os.path.join(self.dir, "fifo.ini")
        os.mkfifo(fifo)
        with self.assertRaises(vorla.Error) as caught:
            vorla.Workspace.create(fifo, "fdata", overwrite=True)
        self.assertEqual(caught.exception.code, "cannot_write_file")
        self.assertFalse(os.path.lexists(fifo + ".bak"))

    def test_an_index_that_is_no_regular_file_is_refused_at_once(self):
        fifo = os.path.join(self.dir, "fifo.ini")
        os.mkfifo(fifo)
        code = ("import sys, vorla\ntry:\n    vorla.Workspace(sys.argv[1])\n"
                "except vorla.Error as e:\n    print(e.code)\n")
        for path in (fifo, "/dev/zero"):
            out = subprocess.run([sys.executable, "-c", code, path],
                                 stdout=subprocess.PIPE, timeout=10,
                                 check=True).stdout
            self.assertEqual(out, b"cannot_open_file\n", path)

    def test_objects_come_only_from_the_package(self):
        self.child("sealed")

    def test_default_workspace_refuses_to_write_until_loaded(self):
        self.child("unloaded")


class ItemTest(Scratch):
    def setUp(self):
        super().setUp()
        self.rec = self.ws.new_record("r")

    def test_numbers_cover_the_unsigned_64_bit_range(self):
        for value in (0, 1, 2**64 - 1):
            self.rec["n"] = value
            self.assertEqual(self.rec["n"], value)
        for value in (-1, 2**64):
            with self.assertRaises(OverflowError):
                self.rec["n"] = value
        self.assertEqual(self.rec["n"], 2**64 - 1)

    def test_every_byte_of_a_text_comes_back(self):
        raw = bytes(b for b in range(1, 256) if b not in b"\r\n")
        self.rec["raw"] = raw
        self.assertEqual(os.fsencode(self.rec["raw"]), raw)
        self.rec["text"] = "caf\u00e9 \udcff"
        loaded = self.reopen()[self.rec.id]
        self.assertEqual(loaded["text"], "caf\u00e9 \udcff")
        self.assertEqual(os.fsencode(loaded["raw"]), raw)
        self.rec[b"\xffname"] = "x"
        self.assertIn("\udcffname", self.rec)

    def test_what_the_reader_would_trim_is_refused(self):
        for blank in (" ", "\t", "\v", "\f", "\r", "\n"):
            for value in (blank, blank + "x", "x" + blank):
                for text in (value, value.encode()):
                    for call, code in (
                            (lambda: self.rec.__setitem__("t", text),
                             "invalid_text"),
                            (lambda: setattr(self.rec, "type", text),
                             "invalid_text"),
                            (lambda: self.ws.new_record(text), "invalid_text"),
                            (lambda: self.rec.new_file("f", prefix=text),
                             "invalid_file_name")):
                        with self.assertRaises(vorla.Error, msg=text) as e:
                            call()
                        self.assertEqual(e.exception.code, code, text)
        self.assertEqual((list(self.rec.keys()), self.rec.type, len(self.ws)),
                         ([], "r", 2))
        kept = "a \t\v\fb"
        self.rec["t"] = kept
        self.rec.type = kept
        path = self.rec.new_file("f", prefix=kept)
        loaded = self.reopen()[self.rec.id]
        self.assertEqual((loaded["t"], loaded.type, loaded["f"]),
                         (kept, kept, path))

    def test_values_read_back_by_item_type(self):
        path = self.rec.new_file("notes", prefix="n")
        self.assertEqual(path.parent, self.ws.data_dir)
        self.assertTrue(path.name.startswith("n_"))
        child = self.rec.new_child("child")
        other = self.ws.new_record("other")
        self.rec.link("link", other)
        self.rec["also"] = other
        self.assertEqual(other.int_refs, 2)
        self.assertEqual(other.ext_refs, 1)
        self.assertEqual(child.ext_refs, 0)
        self.assertEqual(self.rec["notes"], path)
        self.assertEqual(self.rec["child"], child)
        self.assertEqual(list(self.rec.keys()),
                         ["also", "child", "link", "notes"])
        self.assertEqual(list(self.rec), list(self.rec.keys()))
        self.assertEqual(list(self.rec.values()), [other, child, other, path])
        self.assertEqual(len(self.rec), 4)
        self.assertIsNone(self.rec.get("missing"))
        self.assertEqual(self.rec.get("missing", 5), 5)

    def test_extchild_reads_as_an_id_and_a_text(self):
        self.ws.save()
        with open(self.path, "a") as f:
            f.write("\n[7]\nstructtype_sys = e\nextrefcount_sys = 1\n"
                    "intrefcount_sys = 0\nfar_extchild = 12,other.ini\n")
        loaded = vorla.Workspace(self.path)
        self.assertEqual(loaded[7]["far"], (12, "other.ini"))
        loaded.close()

    def test_wrong_names_and_values(self):
        with self.assertRaises(KeyError):
            self.rec["missing"]
        for value in (1.5, None, [1]):
            with self.assertRaises(TypeError):
                self.rec["n"] = value
        with self.assertRaises(TypeError):
            self.rec[1] = 1
        self.assertNotIn(1, self.rec)
        with self.assertRaises(TypeError):
            self.rec.link("x", 3)
        self.rec["n"] = 1
        for call, code in ((lambda: self.rec.__setitem__("n", "text"),
                            "changed_in_type"),
                           (lambda: self.rec.__setitem__("a\nb", 1),
                            "invalid_name"),
                           (lambda: self.rec.new_child("n"), "existed"),
                           (lambda: self.rec.link("self", self.rec),
                            "cyclic_link")):
            with self.assertRaises(vorla.Error) as caught:
                call()
            self.assertEqual(caught.exception.code, code)
        self.assertEqual(dict(self.rec.items()), {"n": 1})

    def test_type_is_settable_and_temporary_records_are_marked(self):
        self.rec.type = "photo"
        self.assertEqual(self.rec.type, "photo")
        self.assertFalse(self.rec.temporary)
        self.assertTrue(self.ws.new_temp_record("t").temporary)
        self.assertIn("'photo'", repr(self.rec))


class MappingTest(Scratch):
    """A record behaves as a MutableMapping, and what an item owned goes
    with it, as vorla check and gc see it."""

    def fill(self, rec):
        rec["n"] = 7
        rec["t"] = "text"
        rec.new_file("f").write_bytes(b"data")
        kid = rec.new_child("kid", "photo")
        kid.new_file("pixels").write_bytes(b"px")
        return kid

    def test_removals_release_what_the_items_owned(self):
        removals = (
            ("del", lambda r, n: r.__delitem__(n)),
            ("pop", lambda r, n: r.pop(n)),
            ("pop default", lambda r, n: r.pop(n, None)),
            ("clear", lambda r, n: r.clear()),
        )
        for saved in (False, True):
            for how, remove in removals:
                with self.subTest(saved=saved, how=how):
                    rec = self.ws.new_record("r")
                    kid = self.fill(rec)
                    paths = [rec["f"], kid["pixels"]]
                    if saved:
                        self.ws.save()
                    for name in ("f", "kid"):
                        remove(rec, name)
                    self.assertNotIn("kid", rec)
                    self.assertNotIn(kid, self.ws)
                    self.ws.save()
                    self.assertEqual([p.exists() for p in paths],
                                     [False, False])
                    self.assert_sound()
                    rec.release()
        rec = self.ws.new_record("r")
        for remove in (lambda: rec.__delitem__("x"), lambda: rec.pop("x"),
                       rec.popitem):
            with self.assertRaises(KeyError):
                remove()
        self.assertEqual(rec.pop("x", 5), 5)

    def test_mapping_methods_and_views(self):
        rec = self.ws.new_record("r")
        rec.update({"a": 1}, b="two")
        rec.update([("c", 3)])
        self.assertEqual(rec.setdefault("a", 9), 1)
        self.assertEqual(rec.setdefault("d", b"four"), "four")
        self.assertEqual(rec, {"a": 1, "b": "two", "c": 3, "d": "four"})
        self.assertEqual(dict(rec), rec)
        self.assertNotEqual(rec, {"a": 1})
        self.assertNotEqual(rec, self.ws.new_record("r"))
        self.assertEqual(rec, self.ws[rec.id])
        self.assertEqual(rec.keys() & {"a", "z"}, {"a"})
        self.assertEqual(rec.items() - {("a", 1), ("b", "two")},
                         {("c", 3), ("d", "four")})
        self.assertIn(3, rec.values())
        self.assertEqual(rec.popitem(), ("a", 1))
        self.assertIsInstance(rec, collections.abc.MutableMapping)
        for missing in ("zz", b"zz"):
            with self.assertRaises(KeyError) as caught:
                rec[missing]
            self.assertEqual(caught.exception.args, (missing,))
        for missing in (5, 2**40):
            with self.assertRaises(KeyError) as caught:
                self.ws[missing]
            self.assertEqual(caught.exception.args, (missing,))

    def test_replacing_an_item_releases_the_former(self):
        for how in ("assign", "link"):
            with self.subTest(how=how):
                album = self.ws.new_record("album")
                former = self.fill(album)
                other = self.ws.new_record("other")
                setattr_item = (album.__setitem__ if how == "assign"
                                else album.link)
                setattr_item("kid", other)
                setattr_item("f", other)  # over a file item
                setattr_item("kid", album["kid"])  # over itself
                self.assertNotIn(former, self.ws)
                self.assertEqual(other.int_refs, 2)
                self.ws.save()
                self.assert_sound()
                # A former child that leads to the new one leaves it alone.
                grand = album.new_child("c").new_child("g")
                album["c"] = grand
                self.assertIn(grand, self.ws)
                self.assertEqual(grand.int_refs, 1)
                self.ws.save()
                self.assert_sound()

    def test_records_and_membership(self):
        rec = self.ws.new_record("r")
        kid = rec.new_child("kid", "photo")
        self.assertEqual((kid.type, repr(kid)),
                         ("photo", "<vorla.Record %d 'photo'>" % kid.id))
        other = vorla.Workspace.create(os.path.join(self.dir, "o.ini"), "o")
        self.addCleanup(other.close)
        foreign = other.new_record("r")
        self.assertEqual([r in self.ws for r in self.ws], [True] * 3)
        self.assertEqual((rec.id in self.ws, foreign in self.ws), (True, False))
        self.assertEqual(list(self.ws.records()), [rec, kid])
        self.assertEqual(len(self.ws), 3)
        for call in (lambda: self.ws.copy_from(self.ws, 0),
                     lambda: self.ws.copy_from(self.ws, self.ws[0]),
                     self.ws[0].release):
            with self.assertRaises(vorla.Error) as caught:
                call()
            self.assertEqual(caught.exception.code, "system_record")
        self.assertEqual(len(self.ws), 3)
        rec.release()
        self.assertEqual((rec in self.ws, kid in self.ws), (False, False))

    def test_file_items_read_as_the_paths_python_would_make(self):
        for data_dir in ("data", "./b/", "."):
            with self.subTest(data_dir=data_dir):
                folder = tempfile.mkdtemp(dir=self.dir)
                with vorla.Workspace.create(os.path.join(folder, "w.ini"),
                                            data_dir) as ws:
                    rec = ws.new_record("r")
                    made = rec.new_file("f")
                    read = rec["f"]
                    parsed = pathlib.Path(str(read))
                    self.assertIs(type(read), type(parsed))
                    self.assertEqual(
                        (read, str(read), read.parts, read.parent, hash(read)),
                        (parsed, str(parsed), parsed.parts, parsed.parent,
                         hash(parsed)))
                    self.assertEqual((made, read.parent), (read, ws.data_dir))
                    self.assertEqual(read / "x", parsed / "x")


class TypedReadTest(Scratch):
    def test_typed_reads_give_one_type_and_refuse_the_others(self):
        rec = self.ws.new_record("r")
        rec["n"] = 5
        rec["t"] = "caf\u00e9 \udcff"
        path = rec.new_file("f")
        kid = rec.new_child("c")
        want = {"n": ("get_int", 5), "t": ("get_str", "caf\u00e9 \udcff"),
                "f": ("get_path", path), "c": ("get_record", kid)}
        for name, (right, value) in want.items():
            for getter in ("get_int", "get_str", "get_bytes", "get_path",
                           "get_record"):
                read = getattr(rec, getter)
                with self.subTest(name=name, getter=getter):
                    if getter == right:
                        self.assertEqual(read(name), value)
                    elif getter == "get_bytes" and name == "t":
                        self.assertEqual(read(name), b"caf\xc3\xa9 \xff")
                    else:
                        with self.assertRaises(TypeError):
                            read(name)
                    with self.assertRaises(KeyError):
                        read("missing")

    def test_every_public_callable_has_a_signature_and_clean_help(self):
        checked = 0
        for owner in (vorla, vorla.Record, vorla.Workspace):
            for name in dir(owner):
                obj = getattr(owner, name)
                public = not name.startswith("_") or name in (
                    "__getitem__", "__setitem__", "__delitem__", "__iter__",
                    "__len__", "__contains__", "__enter__", "__exit__")
                if not public or not callable(obj) or isinstance(obj, type):
                    continue
                with self.subTest(name=name):
                    inspect.signature(obj)
                    checked += 1
        self.assertGreater(checked, 40)
        self.assertEqual(str(inspect.signature(vorla.Workspace)), "(path)")
        text = subprocess.run([sys.executable, "-c",
                               "import vorla; help(vorla)"],
                              stdout=subprocess.PIPE, check=True,
                              timeout=CHILD_TIMEOUT).stdout.decode()
        for internal in (": handle", "-> object", "_core.Record)",
                         "Overloaded", "PyCapsule", "_error_"):
            self.assertNotIn(internal, text)
        self.assertIn("get_int(self, name, /)", text)


class TransactionTest(Scratch):
    def test_saved_on_success_rolled_back_on_an_exception(self):
        kept = self.ws.new_record("kept")
        kept.new_file("f").write_bytes(b"kept")
        self.ws.save()
        with self.ws.transaction() as ws:
            ws.new_record("added")["n"] = 1
        self.assertEqual([r.type for r in vorla.Workspace(self.path)],
                         ["system_record", "kept", "added"])
        saved = pathlib.Path(self.path).read_bytes()
        made = []
        with self.assertRaises(ZeroDivisionError):
            with self.ws.transaction():
                rec = self.ws.new_record("dropped")
                made.append(rec.new_file("f"))
                made[0].write_bytes(b"x")
                made.append(rec.new_child("c").new_file("g"))
                made[1].write_bytes(b"y")
                made.append(self.ws.copy_from(self.ws, kept.id)["f"])
                del self.ws[kept.id]["f"]
                1 / 0
        self.assertEqual([p.exists() for p in made], [False] * 3)
        self.assertEqual(pathlib.Path(self.path).read_bytes(), saved)
        self.assertEqual([r.type for r in self.ws],
                         ["system_record", "kept", "added"])
        self.assertEqual(self.ws[kept.id]["f"].read_bytes(), b"kept")
        self.assert_sound()

    def test_save_as_writes_a_copy_that_keeps_its_files(self):
        rec = self.ws.new_record("r")
        rec.new_file("f").write_bytes(b"x")
        copy = os.path.join(self.dir, "copy.ini")
        self.ws.save(pathlib.Path(copy))
        self.ws._revert()  # the copy names the file: it stays
        with vorla.Workspace(copy) as ws:
            self.assertEqual(ws[rec.id]["f"].read_bytes(), b"x")
        self.assertEqual(len(self.ws), 1)

    def test_to_dict_equals_what_the_tool_shows(self):
        rec = self.ws.new_record("caf\u00e9")
        rec["raw"] = b"a\xff\xc2\x85\x01\"\\"
        rec["n"] = 2**64 - 1
        rec.new_file("f").write_bytes(b"1234")
        rec.new_file("gone")
        rec.new_child("kid", "photo").link("up", self.ws.new_record("x"))
        self.ws.save()
        with open(self.path, "a") as f:
            f.write("[90]\nstructtype_sys = e\nextrefcount_sys = 0\n"
                    "intrefcount_sys = 0\nfar_extchild = 12,other\n"
                    "lost_child = 77\n")
        self.ws.load()
        shown = self.tool("show")
        mine = self.ws.to_dict()
        self.assertEqual(json.loads(json.dumps(mine)), shown)
        self.assertEqual(mine, shown)
        self.assertEqual(self.ws[rec.id].to_dict(), [
            r for r in shown["records"] if r["id"] == rec.id][0])


class ErrorTest(Scratch):
    def test_str_says_what_and_where(self):
        self.ws.save()
        with open(self.path, "a") as f:
            f.write("no separator here\n")
        lines = pathlib.Path(self.path).read_text().count("\n")
        rec = vorla.Workspace.create(os.path.join(self.dir, "b.ini"),
                                     "b").new_record("r")
        rec["n"] = 1
        missing = os.path.join(self.dir, "nope.ini")
        cases = (
            (lambda: vorla.Workspace(missing), "cannot open file: %r: %s" % (
                missing, os.strerror(errno.ENOENT))),
            (lambda: vorla.Workspace(self.path),
             "cannot parse this line: %r, line %d" % (self.path, lines)),
            (lambda: rec.__setitem__("n", "t"),
             "changed in type: item 'n'"),
            (lambda: rec.new_child("n"), "existed: item 'n'"),
            (lambda: rec.__setitem__("a=b", 1), "invalid name: item 'a=b'"),
            (lambda: vorla.Workspace.create(missing, "/abs"),
             "invalid file name: '/abs': the data directory must be a "
             "relative path inside the index file's folder, without \"..\""),
        )
        for call, text in cases:
            with self.subTest(text=text):
                with self.assertRaises(vorla.Error) as caught:
                    call()
                e = caught.exception
                self.assertEqual(str(e), text)
                self.assertEqual(e.args[0], text.split(":")[0])
                for attr in ("path", "line", "name", "errno"):
                    if getattr(e, attr) is not None:
                        self.assertIn("%s=%r" % (attr, getattr(e, attr)),
                                      repr(e))
        self.assertEqual(str(vorla.Error("plain")), "plain")

    def test_library_errors_carry_message_code_path_and_errno(self):
        index = os.path.join(self.dir, "missing", "ws.ini")
        with self.assertRaises(vorla.Error) as caught:
            vorla.Workspace.create(index)
        e = caught.exception
        self.assertIsInstance(e, RuntimeError)
        self.assertEqual((e.args[0], e.code), ("cannot write file",
                                               "cannot_write_file"))
        self.assertEqual((e.path, e.errno), (index, errno.ENOENT))
        self.assertIsNone(e.line)
        self.assertEqual(e.args, ("cannot write file",))
        with open(self.path) as f:
            lines = f.read().count("\n")
        with open(self.path, "a") as f:
            f.write("no separator here\n")
        with self.assertRaises(vorla.Error) as caught:
            vorla.Workspace(self.path)
        e = caught.exception
        self.assertEqual((e.code, e.path, e.line, e.errno),
                         ("cannot_parse_line", self.path, lines + 1, None))
        with self.assertRaises(vorla.Error) as caught:
            vorla.Workspace(self.path + ".missing")
        self.assertEqual(caught.exception.code, "cannot_open_file")

    def test_writer_conflicts_with_another_process(self):
        # Creating took the lock; a workspace only read holds none.
        self.ws.close()
        self.ws = vorla.Workspace(self.path)
        holder = subprocess.Popen(
            [sys.executable, "-c",
             "import sys, vorla; ws = vorla.Workspace(sys.argv[1]);"
             " ws.new_record('x').new_file('f'); print('held', flush=True);"
             " sys.stdin.read(); ws.save()", self.path],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        self.assertEqual(holder.stdout.readline(), b"held\n")
        with self.assertRaises(vorla.WriterConflict) as caught:
            self.ws.save()
        self.assertEqual(caught.exception.code, "workspace_in_use")
        self.assertEqual(caught.exception.holder, holder.pid)
        holder.communicate(b"", timeout=CHILD_TIMEOUT)
        self.assertEqual(holder.returncode, 0)
        with self.assertRaises(vorla.WriterConflict) as caught:
            self.ws.save()
        self.assertEqual(caught.exception.args[0], "changed on disk")
        self.assertIsNone(caught.exception.holder)
        self.ws.load()
        self.assertEqual([r.type for r in self.ws], ["system_record", "x"])


class HandleTest(Scratch):
    """Records whose workspace went away raise vorla.Error, never crash."""

    def test_records_of_a_closed_workspace(self):
        self.child("closed")

    def test_records_kept_across_a_reload(self):
        self.child("reloaded")

    def test_released_records_and_their_children(self):
        self.child("released")

    def test_records_keep_their_workspace_alive(self):
        self.child("outlived")


class DefaultWorkspaceTest(Scratch):
    """One default workspace for Python and native code, whichever of
    _vorla, vorla and the native code is loaded first."""

    def test_shared_with_native_code(self):
        program("VORLA_NATIVE_HELPER")
        for order in ("vorla-first", "_vorla-first", "helper-first"):
            with self.subTest(order=order):
                self.child("shared", order)


class ThreadTest(Scratch):
    def test_save_and_copy_let_other_threads_run(self):
        # After a sanitizer runtime that the test runs with, if any.
        preload = (os.environ.get("LD_PRELOAD", "") + " " +
                   program("VORLA_FSYNC_GATE_LIB")).strip()
        env = dict(os.environ, LD_PRELOAD=preload)
        for operation in ("save", "copy"):
            with self.subTest(operation=operation):
                self.child("gate", operation, env=env)

    def test_threads_sharing_one_workspace(self):
        failures = []

        def work(n):
            try:
                for i in range(200):
                    rec = self.ws.new_record("t%d" % n)
                    rec["i"] = i
                    rec.items()
                    if i % 50 == 0:
                        self.ws.save()
            except Exception as e:  # reported below
                failures.append(e)

        threads = [threading.Thread(target=work, args=(n,)) for n in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        self.assertEqual(failures, [])
        self.assertEqual(len(self.reopen()), 801)


def hammer(path, worker, rounds):
    """Load-add-save rounds, each by a fresh workspace, retried after a
    WriterConflict; returns the tags of the acknowledged saves."""
    saved = []
    deadline = time.monotonic() + 120
    while len(saved) < rounds and time.monotonic() < deadline:
        with vorla.Workspace(path) as ws:
            tag = "w%d-%d" % (worker, len(saved))
            ws.new_record("hammer")["tag"] = tag
            try:
                ws.save()
            except vorla.WriterConflict:
                time.sleep(0.001 + worker * 0.0003)
                continue
            saved.append(tag)
    return saved


def in_fork(body):
    """Runs body() in a child made by os.fork(); its exit status: 0, or 1
    with the failure on stderr."""
    pid = os.fork()
    if pid == 0:
        status = 1
        try:
            body()
            status = 0
        except BaseException as e:  # reported to the parent by the status
            sys.stderr.write("in the child: %r\n" % (e,))
        finally:
            os._exit(status)
    return os.waitpid(pid, 0)[1]


class ForkTest(Scratch):
    """A child made by fork never writes with its parent's lock, and the
    parent never saves over what a child wrote. self.ws holds the lock, as
    a workspace just created does."""

    def test_a_fork_pool_loses_no_acknowledged_save(self):
        workers, rounds = 8, 25
        pool = multiprocessing.get_context("fork").Pool(workers)
        self.ws.close()  # the children were made while it held the lock
        try:
            results = pool.starmap(
                hammer, [(self.path, n, rounds) for n in range(workers)])
        finally:
            pool.close()
            pool.join()
        acknowledged = [tag for tags in results for tag in tags]
        self.assertEqual(len(acknowledged), workers * rounds)
        with vorla.Workspace(self.path) as ws:
            found = {rec["tag"] for rec in ws if rec.id != 0}
        lost = [tag for tag in acknowledged if tag not in found]
        self.assertEqual(lost, [])
        self.assertEqual(len(found), len(acknowledged))

    def test_parent_and_child(self):
        parent = os.getpid()

        def child():
            self.ws.new_record("child")
            with self.assertRaises(vorla.WriterConflict) as caught:
                self.ws.save()
            self.assertEqual((caught.exception.code, caught.exception.holder),
                             ("workspace_in_use", parent))
            # A writer that ignores the lock, as a child that wrote with its
            # parent's lock did.
            with open(self.path, "rb") as f:
                text = f.read()
            with open(self.path + ".new", "wb") as f:
                f.write(text.replace(b"system_record", b"system_recorD"))
            os.replace(self.path + ".new", self.path)

        self.assertEqual(in_fork(child), 0)
        with open(self.path, "rb") as f:
            theirs = f.read()
        self.ws.new_record("parent")
        with self.assertRaises(vorla.WriterConflict) as caught:
            self.ws.save()
        self.assertEqual(caught.exception.args[0], "changed on disk")
        with open(self.path, "rb") as f:
            self.assertEqual(f.read(), theirs)

    def test_fork_while_another_thread_saves(self):
        preload = (os.environ.get("LD_PRELOAD", "") + " " +
                   program("VORLA_FSYNC_GATE_LIB")).strip()
        self.child("fork_in_save", env=dict(os.environ, LD_PRELOAD=preload))

    def test_the_lock_is_free_once_the_parent_is_gone(self):
        self.ws.close()
        holder = subprocess.Popen(
            [sys.executable, "-c",
             "import os, sys, vorla; ws = vorla.Workspace(sys.argv[1]);"
             " ws.new_record('x').new_file('f'); r, w = os.pipe();"
             " pid = os.fork();"
             " pid == 0 and (os.write(w, b'x'), sys.stdin.read(), os._exit(0));"
             " os.read(r, 1); print(pid, flush=True); os._exit(0)", self.path],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        try:
            self.assertTrue(holder.stdout.readline().strip().isdigit())
            self.assertEqual(holder.wait(CHILD_TIMEOUT), 0)
            with vorla.Workspace(self.path) as ws:
                ws.new_record("after")
                ws.save()
        finally:
            holder.stdin.close()

    def test_paths_stay_right_after_chdir(self):
        rec = self.ws.new_record("r")
        self.ws.save()
        here = os.getcwd()
        os.chdir(self.dir)
        try:
            ws = vorla.Workspace("ws.ini")
            other = tempfile.mkdtemp(dir=self.dir)
            os.chdir(other)
            vorla.Workspace.create("ws.ini").close()
            ws.new_record("moved")
            ws.save()
            ws.load()
            self.assertEqual(ws.path, pathlib.Path(self.path))
            self.assertEqual([r.type for r in ws][-1], "moved")
            self.assertEqual(ws[rec.id].new_file("f").parent,
                             pathlib.Path(self.dir, "data"))
            ws.close()
        finally:
            os.chdir(here)


class RoundTripTest(Scratch):
    """Python and the C++ library read what the other wrote."""

    def show(self, index):
        """vorla show's tree, the random parts of file names left out."""
        out = subprocess.run([program("VORLA_TOOL"), "show", "album.ini"],
                             cwd=os.path.dirname(index),
                             stdout=subprocess.PIPE, check=True).stdout
        return re.sub(rb"__\d+_", b"__#_", out).decode()

    def test_python_and_cpp_build_the_same_album(self):
        album = program("VORLA_PHOTO_ALBUM")
        built = {}
        for name, command in (("cpp", [album]),
                              ("py", [sys.executable, "-B", ALBUM_PY])):
            index = os.path.join(self.dir, name, "album.ini")
            os.mkdir(os.path.dirname(index))
            vorla.Workspace.create(index).close()
            subprocess.run(command + [index], check=True,
                           stdout=subprocess.DEVNULL)
            built[name] = index
        self.assertEqual(self.show(built["py"]), self.show(built["cpp"]))
        with vorla.Workspace(built["cpp"]) as ws:
            album = [r for r in ws if r.type == "album"][0]
            self.assertEqual(album["title"], "Summer at the lake")
            self.assertEqual(album["cover"], album["photo2"])
            self.assertEqual(album["photo1"]["thumb"]["width"], 80)
            self.assertEqual(album["notes"].read_text(),
                             "Two photos from the north shore.\n")


class SurfaceTest(unittest.TestCase):
    def test_stubs_and_docstrings_match_the_module(self):
        with open(STUB) as f:
            tree = ast.parse(f.read())
        for node in tree.body:
            if not isinstance(node, (ast.ClassDef, ast.FunctionDef)):
                continue
            if node.name.startswith("_"):
                continue
            obj = getattr(vorla, node.name)
            self.assertTrue(obj.__doc__, node.name)
            self.assertIn(node.name, vorla.__all__)
            for member in getattr(node, "body", []):
                if isinstance(member, ast.FunctionDef):
                    self.assertTrue(hasattr(obj, member.name),
                                    node.name + "." + member.name)
                    if not member.name.startswith("__"):
                        self.assertTrue(getattr(obj, member.name).__doc__,
                                        node.name + "." + member.name)


if __name__ == "__main__":
    unittest.main(verbosity=2)
