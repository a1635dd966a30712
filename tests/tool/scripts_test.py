# SPDX-License-Identifier: MIT
"""The vorla program as a script uses it: exit statuses, failures that say
where, and JSON that fits the schemas in docs/schemas.

Every case runs the real program on real files in a scratch folder. The
program and the process that holds a workspace's writer lock come from
tool_run.
"""

import json
import os
import re
import shutil
import stat
import subprocess
import tempfile
import time
import unittest

import tool_schemas
from tool_run import TOOL, lock_held, vorla


# ESC, the start of every escape sequence that progress would draw.
ESC = "\x1b"


def header(counter):
    return ("[0]\n$current_counter_uint64 = %d\n$reldatadir_str = data\n"
            "extrefcount_sys = 1000\nstructtype_sys = system_record\n\n"
            % counter)


def section(rid, ext, internal, items=""):
    return "[%d]\n%sextrefcount_sys = %d\nintrefcount_sys = %d\n\n" % (
        rid, items, ext, internal)


class ScriptsTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="vorla-scripts-")
        self.index = os.path.join(self.dir, "ws.ini")
        self.data = os.path.join(self.dir, "data")

    def tearDown(self):
        shutil.rmtree(self.dir)

    def path(self, name):
        return os.path.join(self.dir, name)

    def write(self, path, text):
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w") as f:
            f.write(text)

    def make_workspace(self):
        """Record 2 with a 4813-byte data file, a child (3) and an extchild
        to a record that is not there; an orphan data file of 300 KiB."""
        self.write(self.index, header(9) + section(
            2, 1, 0, "cover_file = c_2__1_\nkid_child = 3\n"
            "gone_extchild = 8,far away\n") + section(
                3, 0, 1, "n_uint64 = 7\ntitle_str = hello\n"))
        self.write(os.path.join(self.data, "c_2__1_"), "x" * 4813)
        self.write(os.path.join(self.data, "o_9__9_"), "y" * 300 * 1024)

    def assertFails(self, run, status, code, stderr):
        """`run` failed with `status`: `stderr` (a regular expression) is its
        one line on stderr, and under --json its error document fits the
        schema in docs/schemas and says the same."""
        self.assertEqual(status, run.status, run.err)
        self.assertRegex(run.err, "^vorla: " + stderr + "\n$")
        if run.out:
            doc = run.json()
            tool_schemas.validate("error", doc)
            self.assertEqual(code, doc["error"]["code"])
            self.assertEqual(status, doc["error"]["exit"])
            self.assertIn(doc["error"]["message"], run.err)
        return run

    # --- JSON of every command against docs/schemas -----------------------

    def test_init_json_gives_paths_and_what_it_replaced(self):
        r = vorla("init", "--json", self.index, "files/deep")
        self.assertEqual(0, r.status, r.err)
        doc = r.json()
        tool_schemas.validate("init", doc)
        self.assertEqual(self.index, doc["index"])
        self.assertEqual("files/deep", doc["reldatadir"])
        self.assertEqual(os.path.join(self.dir, "files/deep"),
                         os.path.normpath(doc["datadir"]))
        self.assertTrue(os.path.isdir(doc["datadir"]))
        self.assertEqual(0, doc["dropped"])
        self.assertIsNone(doc["backup"])
        self.assertEqual("", r.err)

    def test_show_json_fits_schema_and_marks_dangling_children(self):
        self.make_workspace()
        doc = vorla("show", "--json", self.index).json()
        tool_schemas.validate("show", doc)
        self.assertEqual([0, 2, 3], [rec["id"] for rec in doc["records"]])
        items = {i["name"]: i for i in doc["records"][1]["items"]}
        self.assertFalse(items["kid"]["dangling"])
        self.assertTrue(items["gone"]["dangling"])
        self.assertEqual("far away", items["gone"]["text"])
        self.assertEqual(4813, items["cover"]["size"])

        doc = vorla("show", "--json", self.index, "3").json()
        tool_schemas.validate("show", doc)
        self.assertEqual([3], [rec["id"] for rec in doc["records"]])

    def test_copy_json_names_both_workspaces_and_the_new_id(self):
        self.make_workspace()
        other = self.path("other/ws.ini")
        self.assertEqual(0, vorla("init", other).status)
        r = vorla("copy", "--json", self.index, "3", other)
        self.assertEqual(0, r.status, r.err)
        doc = r.json()
        tool_schemas.validate("copy", doc)
        self.assertEqual({"index": other, "source": self.index,
                          "source_id": 3, "new_id": 2}, doc)
        shown = vorla("show", "--json", other, str(doc["new_id"])).json()
        items = {i["name"]: i["value"] for i in shown["records"][0]["items"]}
        self.assertEqual({"n": 7, "title": "hello"}, items)

    def test_stats_json_fits_schema_with_sizes_in_bytes(self):
        self.make_workspace()
        doc = vorla("stats", "--json", self.index).json()
        tool_schemas.validate("stats", doc)
        self.assertEqual(4813, doc["file_bytes"])
        self.assertEqual(300 * 1024, doc["orphan_bytes"])

    def test_schemas_reject_what_the_tool_must_not_print(self):
        # Guards against schemas so loose that the checks above mean nothing.
        import jsonschema
        bad = [("init", {"index": "a", "datadir": "b", "reldatadir": "c",
                         "dropped": 0}),
               ("copy", {"index": "a", "source": "b", "source_id": 2,
                         "new_id": "3"}),
               ("error", {"error": {"code": "usage", "message": "m",
                                    "path": None, "line": 0, "errno": None,
                                    "exit": 2}}),
               ("show", {"index": "a", "datadir": "b", "counter": 1,
                         "records": [{"id": 2, "type": "", "extrefcount": 1,
                                      "intrefcount": 0, "reachable": True,
                                      "items": [{"name": "k",
                                                 "type": "child",
                                                 "value": 3}]}]})]
        for name, doc in bad:
            with self.assertRaises(jsonschema.ValidationError, msg=name):
                tool_schemas.validate(name, doc)

    # --- exit statuses and the error document ------------------------------

    def test_usage_errors_exit_2(self):
        for args in (["frobnicate"], ["show"], ["show", "--bogus", "x"],
                     ["stats", "a", "b"], ["show", "x", "12x"],
                     ["copy", "a", "4294967296", "b"],
                     ["gc", "--delete", "--purge", "a"],
                     ["gc", "--purge", "a", "--delete"]):
            r = vorla(*(args + ["--json"]))
            self.assertFails(r, 2, "usage", ".+")
            self.assertIsNone(r.json()["error"]["path"])

    def test_unreadable_workspace_exits_3_naming_index_and_line(self):
        cases = [
            ("noeq.ini", header(1) + "[2]\nno equals here\n",
             8, "cannot_parse_line", "cannot parse this line"),
            ("conv.ini", header(1) + section(2, 1, 0, "n_uint64 = 12x\n"),
             8, "conversion_error", "conversion error"),
            ("dup.ini", header(1) + section(2, 1, 0) + section(2, 1, 0),
             11, "duplicated_entry", "duplicated entry"),
        ]
        for name, text, line, code, message in cases:
            index = self.path(name)
            self.write(index, text)
            for cmd in ("show", "stats", "check", "gc"):
                r = vorla(cmd, index)
                self.assertFails(r, 3, code, re.escape(
                    "%s:%d: %s" % (index, line, message)))
                self.assertEqual("", r.out)
            r = vorla("show", "--json", index)
            self.assertFails(r, 3, code, ".+")
            self.assertEqual({"code": code, "message": message,
                              "path": index, "line": line, "errno": None,
                              "exit": 3}, r.json()["error"])

    def test_io_errors_exit_3_with_the_systems_reason(self):
        os.mkdir(self.path("dir.ini"))
        r = vorla("stats", "--json", self.path("dir.ini"))
        self.assertFails(r, 3, "cannot_open_file", re.escape(
            self.path("dir.ini") + ": cannot open file: Is a directory"))
        self.assertEqual(21, r.json()["error"]["errno"])  # EISDIR
        r = vorla("show", self.path("none.ini"))
        self.assertFails(r, 3, "cannot_open_file", re.escape(
            self.path("none.ini") +
            ": cannot open file: No such file or directory"))

    @unittest.skipIf(os.geteuid() == 0, "root reads any file")
    def test_unreadable_index_file_says_permission_denied(self):
        self.make_workspace()
        os.chmod(self.index, 0)
        r = vorla("show", "--json", self.index)
        self.assertFails(r, 3, "cannot_open_file", re.escape(
            self.index + ": cannot open file: Permission denied"))

    def test_missing_record_exits_4(self):
        self.make_workspace()
        r = vorla("show", "--json", self.index, "42")
        self.assertFails(r, 4, "no_such_record",
                         re.escape(self.index + ": record 42: cannot find id"))
        self.assertEqual(self.index, r.json()["error"]["path"])
        before = open(self.index).read()
        r = vorla("copy", self.index, "42", self.index)
        self.assertFails(r, 4, "no_such_record", ".*record 42: cannot find id")
        self.assertEqual(before, open(self.index).read())

    def test_workspace_held_by_another_process_exits_5(self):
        self.make_workspace()
        before = open(self.index).read()
        with lock_held(self.index) as pid:
            holder = "held by process %d" % pid
            for args in (["copy", "--json", self.index, "3", self.index],
                         ["init", "--force", "--json", self.index]):
                r = vorla(*args)
                self.assertFails(r, 5, "workspace_in_use",
                                 ".*workspace in use .*" + holder + ".*")
            self.assertEqual(0, vorla("show", self.index).status)
        self.assertEqual(before, open(self.index).read())
        self.assertEqual(0, vorla("copy", self.index, "3", self.index).status)

    def test_check_findings_exit_1(self):
        self.make_workspace()
        self.assertEqual(1, vorla("check", self.index).status)
        os.remove(os.path.join(self.data, "o_9__9_"))
        self.write(self.index, header(9) + section(
            2, 1, 0, "cover_file = c_2__1_\nkid_child = 3\n") + section(
                3, 0, 1, "n_uint64 = 7\n"))
        r = vorla("check", self.index)
        self.assertEqual(0, r.status, r.out)

    # --- refusals -----------------------------------------------------------

    def test_copy_refuses_the_system_record(self):
        self.make_workspace()
        before = open(self.index).read()
        r = vorla("copy", "--json", self.index, "0", self.index)
        self.assertFails(r, 2, "usage", "copy: record 0 is the workspace's "
                         "system record and cannot be copied")
        self.assertEqual(before, open(self.index).read())

    def test_init_refuses_data_directory_outside_the_index_folder(self):
        for rel in ("/abs", "../up", "a/../../b", "a/.."):
            r = vorla("init", "--json", self.index, rel)
            self.assertFails(r, 2, "usage", "init: RELDATADIR .+")
            self.assertFalse(os.path.exists(self.index), rel)
        self.assertEqual([], os.listdir(self.dir))
        r = vorla("init", self.index, " lead")
        self.assertFails(r, 2, "usage", "init: RELDATADIR .+")
        self.assertEqual(0, vorla("init", self.index, "a/./b").status)

    def test_an_index_that_is_no_regular_file_is_refused_at_once(self):
        self.make_workspace()
        fifo = self.path("fifo.ini")
        os.mkfifo(fifo)
        for args in (["show", fifo], ["stats", fifo], ["check", fifo],
                     ["gc", fifo], ["gc", "--delete", fifo],
                     ["check", "--fix-counts", fifo],
                     ["copy", fifo, "2", self.index],
                     ["copy", self.index, "2", fifo]):
            r = vorla(*(args + ["--json"]), timeout=10)
            self.assertFails(r, 3, "cannot_open_file",
                             re.escape(fifo) + ": cannot open file")
        # init --force replaces only a regular file, and keeps no copy of
        # anything else (a device node is made only where it may be).
        null = self.path("null.ini")
        if os.geteuid() == 0:
            os.mknod(null, stat.S_IFCHR | 0o644, os.makedev(1, 3))
        else:
            os.symlink("/dev/null", null)
        for node in (fifo, null):
            r = vorla("init", "--force", "--json", node, "ndata", timeout=10)
            self.assertFails(r, 3, "cannot_write_file",
                             re.escape(node) + ": cannot write file")
            self.assertFalse(os.path.lexists(node + ".bak"))
        self.assertTrue(stat.S_ISFIFO(os.lstat(fifo).st_mode))

    def test_two_workspaces_never_share_a_data_directory(self):
        a, b = self.path("a.ini"), self.path("b.ini")
        self.assertEqual(0, vorla("init", a).status)
        for rel in ([], ["data"], ["./data/"]):
            r = vorla(*(["init", "--json", b] + rel))
            self.assertFails(r, 2, "usage", "init: RELDATADIR .* is the data "
                             "directory of " + re.escape(a) + " too .*")
        self.assertFalse(os.path.exists(b))
        self.assertEqual(0, vorla("init", "--force", a).status)
        # Shared by hand: b names a data file in a's data directory.
        self.write(b, header(2) + section(2, 1, 0, "f_file = f_2__1_\n"))
        theirs = os.path.join(self.data, "f_2__1_")
        self.write(theirs, "b's")
        os.utime(theirs, (1, 1))
        r = vorla("check", "--json", a)
        self.assertEqual(1, r.status)
        doc = r.json()
        tool_schemas.validate("check", doc)
        self.assertIn({"kind": "shared-data-dir", "record": None,
                       "item": None, "path": b}, doc["findings"])
        self.assertFalse(doc["damaged"])
        for args in (["--delete"], ["--purge"], ["--purge", "--force"]):
            r = vorla(*(["gc", "--grace", "0", "--json", a] + args))
            self.assertFails(r, 3, "shared_data_directory", re.escape(a) +
                             ": the data directory is shared with " +
                             re.escape(b) + ": .*")
        self.assertEqual("b's", open(theirs).read())
        self.assertFalse(os.path.exists(self.path("lost+found")))
        # Backups of an index file name its data directory without sharing.
        os.remove(theirs)
        shutil.copy(a, a + ".bak")
        self.write(b, header(2).replace("= data", "= bdata"))
        self.assertEqual(0, vorla("check", a).status)
        self.assertEqual(0, vorla("gc", "--purge", a).status)

    def test_a_huge_wait_is_waited_for(self):
        self.make_workspace()
        with lock_held(self.index):
            p = subprocess.Popen([TOOL, "copy", "--wait", "999999999999",
                                  self.index, "3", self.index],
                                 stdout=subprocess.PIPE,
                                 stderr=subprocess.PIPE)
            time.sleep(1)
            self.assertIsNone(p.poll())
        out, err = p.communicate(timeout=60)
        self.assertEqual((0, b"10\n"), (p.returncode, out), err)

    # --- sizes and progress -------------------------------------------------

    def test_sizes_share_one_style_and_bytes_gives_raw_numbers(self):
        self.make_workspace()
        text = vorla("stats", self.index).out + vorla("show", self.index).out
        self.assertIn("(4.7 KiB)", text)
        self.assertIn("300.0 KiB", text)
        self.assertNotRegex(text, r"\bbytes\b")
        raw = vorla("stats", "--bytes", self.index).out
        raw += vorla("show", "--bytes", self.index).out
        self.assertIn("(4813)", raw)
        self.assertIn(" %d\n" % (300 * 1024), raw)
        self.assertNotIn("KiB", raw)
        os.remove(os.path.join(self.data, "o_9__9_"))
        self.assertIn("orphan files  0, 0 B\n",
                      vorla("stats", self.index).out)

    def test_quick_commands_draw_no_progress_even_on_a_terminal(self):
        self.make_workspace()
        master, slave = os.openpty()
        try:
            for args in (["stats", self.index], ["check", self.index],
                         ["show", "--json", self.index]):
                r = vorla(*args, stderr=slave)
                self.assertIn(r.status, (0, 1))
            os.close(slave)
            slave = -1
            drawn = b""
            while True:
                try:
                    chunk = os.read(master, 4096)
                except OSError:  # EIO: no writer left
                    break
                if not chunk:
                    break
                drawn += chunk
            self.assertEqual(b"", drawn)
        finally:
            if slave >= 0:
                os.close(slave)
            os.close(master)
        for cmd in ("stats", "check", "show"):
            self.assertNotIn(ESC, vorla(cmd, self.index).err)

    def test_help_lists_json_bytes_and_the_exit_statuses_of_each(self):
        # Each command lists the statuses it can return, and no other.
        statuses = {"init": {0, 2, 3, 5}, "show": {0, 2, 3, 4},
                    "check": {0, 1, 2, 3, 5}, "gc": {0, 2, 3, 5},
                    "copy": {0, 2, 3, 4, 5}, "stats": {0, 2, 3}}
        for cmd, wanted in statuses.items():
            text = vorla(cmd, "--help").out
            listed = set(int(s) for s in re.findall(r"\n  (\d)  \S", text))
            self.assertEqual(wanted, listed, cmd)
            self.assertIn("docs/tool.md", text, cmd)
        top = vorla("--help").out
        self.assertEqual(set(range(6)), set(
            int(s) for s in re.findall(r"\n  (\d)  \S", top)))
        # The top-level synopses are each command's own.
        for cmd in statuses:
            usage = re.sub(r"\s+", " ", vorla(cmd, "--help").out.split(
                "\n\n")[0][len("usage: "):])
            self.assertIn(usage, re.sub(r"\s+", " ", top), cmd)
        for cmd in ("init", "show", "copy", "stats"):
            self.assertIn("--json", vorla(cmd, "--help").out, cmd)
        for cmd in ("show", "stats"):
            self.assertIn("--bytes", vorla(cmd, "--help").out, cmd)
        r = vorla("--help")
        self.assertIn("--json", r.out)
        self.assertIn("  4  the record named on the command line", r.out)
        self.assertEqual("vorla ", vorla("--version").out[:6])
        version = json.loads(vorla("--version", "--json").out)
        self.assertEqual("vorla " + version["version"] + "\n",
                         vorla("--version").out)
        tool_schemas.validate("version", version)

    def test_usage_errors_name_what_is_wrong_and_suggest(self):
        cases = [
            (("shwo", "x"), 'unknown command "shwo" (did you mean "show"?)'),
            (("help", "stast"), '(did you mean "stats"?)'),
            (("show", "--jsno", "x"), '(did you mean "--json"?)'),
            (("gc", "--purg", "x"), '(did you mean "--purge"?)'),
            (("frobnicate",), 'unknown command "frobnicate" (run'),
            (("show",), "show: missing argument INDEX"),
            (("init",), "init: missing argument INDEX"),
            (("copy", "a", "2"), "copy: missing argument DST_INDEX"),
            (("gc", "x", "--wait"), "option --wait needs a value: SECONDS"),
            (("--version", "x"), 'unexpected argument "x"'),
        ]
        for args, message in cases:
            r = vorla(*args)
            self.assertEqual(2, r.status, args)
            self.assertIn(message, r.err, args)
            self.assertEqual(1, r.err.count("\n"), args)


if __name__ == "__main__":
    unittest.main(verbosity=2)
