# SPDX-License-Identifier: MIT
"""The vorla program on damaged workspaces: what check names, what gc and
check --fix-counts refuse to change, and what the destructive commands keep
(INDEX.bak, lost+found).

Every case builds a real workspace in a scratch folder with `vorla init` and
the photo_album example (an album, two photos, a thumbnail each, a data
file in every record), damages its index file the way disks and editors
do, and runs the real program on it (tool_run). The example comes from
VORLA_PHOTO_ALBUM.
"""

import os
import re
import shutil
import subprocess
import tempfile
import unittest

import tool_schemas
from tool_run import lock_held, vorla

ALBUM = os.environ["VORLA_PHOTO_ALBUM"]

DAMAGE = {"dangling-child", "cut-short", "counter-behind", "records-missing"}


class RescueTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="vorla-rescue-")
        self.index = os.path.join(self.dir, "album.ini")
        self.data = os.path.join(self.dir, "data")
        self.lost = os.path.join(self.dir, "lost+found")
        self.assertEqual(0, vorla("init", self.index).status)
        subprocess.check_call([ALBUM, self.index], stdout=subprocess.DEVNULL)
        # Old enough for gc's default grace age.
        for name in os.listdir(self.data):
            os.utime(os.path.join(self.data, name), (1, 1))
        with open(self.index) as f:
            self.sound = f.read()

    def tearDown(self):
        shutil.rmtree(self.dir)

    def write_index(self, text):
        with open(self.index, "w") as f:
            f.write(text)

    def cut_before(self, marker):
        """The index file up to the line that starts with `marker`."""
        self.write_index(self.sound[:self.sound.index("\n" + marker) + 1])

    def delete_section(self, rid):
        start = self.sound.index("[%d]\n" % rid)
        end = self.sound.index("\n[", start) + 1
        self.write_index(self.sound[:start] + self.sound[end:])

    def snapshot(self):
        """Every file under the scratch folder with its bytes."""
        files = {}
        for root, _, names in os.walk(self.dir):
            for name in names:
                path = os.path.join(root, name)
                with open(path, "rb") as f:
                    files[os.path.relpath(path, self.dir)] = f.read()
        return files

    def check(self, *extra):
        """check --json, validated; the document and the exit status."""
        r = vorla("check", "--json", *(extra + (self.index,)))
        doc = r.json()
        tool_schemas.validate("check", doc)
        return doc, r.status

    def kinds(self, doc):
        return [f["kind"] for f in doc["findings"]]

    def assertRefusedDamaged(self, *args):
        before = self.snapshot()
        r = vorla(*(args + ("--json", self.index)))
        self.assertEqual(3, r.status, r.err)
        doc = r.json()
        tool_schemas.validate("error", doc)
        self.assertEqual("damaged", doc["error"]["code"])
        self.assertIn("--force", r.err)
        self.assertEqual(before, self.snapshot())

    # --- what check names ---------------------------------------------------

    def test_sound_album_is_sound_and_not_damaged(self):
        doc, status = self.check()
        self.assertEqual(0, status)
        self.assertEqual((6, True, False, [], [], None),
                         (doc["records"], doc["sound"], doc["damaged"],
                          doc["findings"], doc["fixed"], doc["backup"]))

    def test_cut_at_section_boundary_names_missing_records(self):
        self.cut_before("[4]")  # records 4, 5 and 6 are gone
        doc, status = self.check()
        self.assertEqual(1, status)
        self.assertTrue(doc["damaged"])
        kinds = self.kinds(doc)
        self.assertEqual(3, kinds.count("dangling-child"))
        self.assertEqual(3, kinds.count("orphan-file"))
        self.assertNotIn("cut-short", kinds)
        missing = doc["findings"][-1]
        self.assertEqual({"kind": "records-missing", "record": None,
                          "item": None, "path": self.index,
                          "dangling_children": 3, "parentless_records": 0,
                          "orphan_files": 3}, missing)
        for f in doc["findings"]:
            if f["kind"] == "orphan-file":
                self.assertTrue(os.path.isfile(f["path"]), f)
        text = vorla("check", self.index)
        self.assertEqual(1, text.status)
        self.assertIn("records-missing: records appear to be missing",
                      text.out)
        self.assertIn("3 records, 7 findings; the index file looks damaged",
                      text.out.splitlines()[-1])

    def test_cut_mid_line_is_cut_short_with_a_wrong_value(self):
        at = self.sound.rindex("pixels_file = ") + len("pixels_file = pix")
        self.write_index(self.sound[:at])
        doc, status = self.check()
        self.assertEqual(1, status)
        self.assertTrue(doc["damaged"])
        cut = [f for f in doc["findings"] if f["kind"] == "cut-short"]
        self.assertEqual([{"kind": "cut-short", "record": None,
                           "item": None, "path": self.index}], cut)
        missing = [f for f in doc["findings"] if f["kind"] == "missing-file"]
        self.assertEqual([(6, "pixels", "pix")],
                         [(f["record"], f["item"], f["file"])
                          for f in missing])
        self.assertIn("cut-short", vorla("check", self.index).out)

    def test_cut_that_does_not_parse_fails_and_says_cut_short(self):
        self.write_index(self.sound[:self.sound.index("[6]") + 2])
        r = vorla("check", self.index)
        self.assertEqual(3, r.status)
        self.assertIn("the file was cut short", r.err)
        self.assertRegex(r.err, r"album\.ini:\d+: ")

    def test_deleted_section_leaves_a_parentless_record(self):
        self.delete_section(3)  # photo 1; its thumbnail 4 stays
        doc, status = self.check()
        self.assertEqual(1, status)
        self.assertTrue(doc["damaged"])
        by_kind = {}
        for f in doc["findings"]:
            by_kind.setdefault(f["kind"], []).append(f)
        self.assertEqual([(2, "photo1", 3)],
                         [(f["record"], f["item"], f["target"])
                          for f in by_kind["dangling-child"]])
        self.assertEqual([(4, 1, 0)],
                         [(f["record"], f["stored"], f["actual"])
                          for f in by_kind["count-mismatch"]])
        self.assertEqual([4], [f["record"] for f in by_kind["unkept-record"]])
        self.assertEqual(1, by_kind["records-missing"][0]["parentless_records"])
        self.assertEqual(1, len(by_kind["orphan-file"]))

    def test_counter_behind_the_highest_id_is_damage(self):
        self.write_index(re.sub(r"\$current_counter_uint64 = \d+",
                                "$current_counter_uint64 = 3", self.sound))
        doc, status = self.check()
        self.assertEqual(1, status)
        self.assertEqual(["counter-behind"], self.kinds(doc))
        self.assertEqual((0, 3, 6), (doc["findings"][0]["record"],
                                     doc["findings"][0]["counter"],
                                     doc["findings"][0]["highest_id"]))
        self.assertTrue(doc["damaged"])

    # --- refusals, and --force ----------------------------------------------

    def test_gc_and_fix_counts_refuse_every_damage_and_change_nothing(self):
        damages = [lambda: self.cut_before("[4]"),
                   # In the last type name: "thumbn".
                   lambda: self.write_index(self.sound.rstrip()[:-3]),
                   lambda: self.delete_section(3)]
        for damage in damages:
            damage()
            doc, _ = self.check()
            self.assertTrue(set(self.kinds(doc)) & DAMAGE, doc)
            self.assertRefusedDamaged("gc", "--delete", "--grace", "0")
            self.assertRefusedDamaged("gc", "--purge")
            self.assertRefusedDamaged("check", "--fix-counts")
            self.assertFalse(os.path.exists(self.lost))
            self.assertFalse(os.path.exists(self.index + ".bak"))

    def test_fix_counts_with_force_keeps_every_former_index_file(self):
        self.delete_section(3)
        damaged = open(self.index).read()
        doc, status = self.check("--fix-counts", "--force")
        self.assertEqual(1, status)  # the dangling child is still there
        self.assertEqual([{"record": 4, "stored": 1, "actual": 0}],
                         doc["fixed"])
        self.assertEqual(self.index + ".bak", doc["backup"])
        self.assertEqual(damaged, open(self.index + ".bak").read())
        self.assertNotIn("count-mismatch", self.kinds(doc))

        # A second fix never replaces the first backup.
        fixed = open(self.index).read()
        self.write_index(fixed.replace("intrefcount_sys = 2",
                                       "intrefcount_sys = 7"))
        spoiled = open(self.index).read()
        doc, _ = self.check("--fix-counts", "--force")
        self.assertEqual(self.index + ".bak.1", doc["backup"])
        self.assertEqual(spoiled, open(self.index + ".bak.1").read())
        self.assertEqual(damaged, open(self.index + ".bak").read())

    def test_fix_counts_on_a_sound_workspace_needs_no_force(self):
        self.write_index(self.sound.replace("intrefcount_sys = 2",
                                            "intrefcount_sys = 9"))
        r = vorla("check", "--fix-counts", self.index)
        self.assertEqual(0, r.status, r.err)
        self.assertIn("fixed: record 5: internal count 9 -> 2", r.out)
        self.assertIn("kept the former index file as " + self.index + ".bak",
                      r.out)
        self.assertEqual(self.sound, open(self.index).read())
        # Nothing to fix: nothing saved, no backup.
        doc, status = self.check("--fix-counts")
        self.assertEqual((0, [], None), (status, doc["fixed"], doc["backup"]))
        self.assertFalse(os.path.exists(self.index + ".bak.1"))

    def test_gc_delete_with_force_moves_lost_data_into_lost_found(self):
        self.cut_before("[4]")
        before = self.snapshot()
        r = vorla("gc", "--delete", "--force", "--json", self.index)
        self.assertEqual(0, r.status, r.err)
        doc = r.json()
        tool_schemas.validate("gc", doc)
        self.assertEqual(("move", self.lost, 3600),
                         (doc["action"], doc["lost_found"], doc["grace"]))
        self.assertEqual(3, len(doc["files"]))
        for f in doc["files"]:
            self.assertEqual(("orphan", True), (f["kind"], f["done"]))
            self.assertFalse(os.path.exists(f["path"]))
            self.assertEqual(os.path.join(self.lost,
                                          os.path.basename(f["path"])),
                             f["to"])
            rel = os.path.relpath(f["path"], self.dir)
            with open(f["to"], "rb") as moved:
                self.assertEqual(before[rel], moved.read())
            self.assertGreater(f["age"], 3600)
        self.assertEqual(sum(f["size"] for f in doc["files"]),
                         doc["total_bytes"])
        # What is named stays.
        self.assertEqual(2, len(os.listdir(self.data)))

    def test_lost_found_never_replaces_a_file_and_takes_unfinished_saves(self):
        self.cut_before("[6]")
        orphan = [n for n in os.listdir(self.data) if n.startswith("pixels_6")]
        os.mkdir(self.lost)
        with open(os.path.join(self.lost, orphan[0]), "w") as f:
            f.write("kept from before")
        leftover = os.path.join(self.dir, ".vorla-Ab12Cd")
        with open(leftover, "w") as f:
            f.write("[0]\n")
        os.utime(leftover, (1, 1))
        listing = vorla("gc", "--json", self.index)
        self.assertEqual(0, listing.status, listing.err)
        doc = listing.json()
        tool_schemas.validate("gc", doc)
        self.assertEqual(("list", None), (doc["action"], doc["lost_found"]))
        self.assertEqual([("orphan", False), ("temp", False)],
                         [(f["kind"], f["done"]) for f in doc["files"]])

        r = vorla("gc", "--delete", "--force", self.index)
        self.assertEqual(0, r.status, r.err)
        self.assertIn("moved " + orphan[0] + " to " +
                      os.path.join(self.lost, orphan[0] + ".1"), r.out)
        with open(os.path.join(self.lost, orphan[0])) as f:
            self.assertEqual("kept from before", f.read())
        self.assertTrue(os.path.isfile(os.path.join(self.lost,
                                                    ".vorla-Ab12Cd")))
        self.assertFalse(os.path.exists(leftover))

    def test_purge_deletes_outright(self):
        orphan = os.path.join(self.data, "stray_9__1_")
        with open(orphan, "w") as f:
            f.write("x" * 5000)
        os.utime(orphan, (1, 1))
        r = vorla("gc", "--purge", "--json", "--bytes", self.index)
        self.assertEqual(0, r.status, r.err)
        doc = r.json()
        tool_schemas.validate("gc", doc)
        self.assertEqual(("purge", None, 5000),
                         (doc["action"], doc["lost_found"],
                          doc["total_bytes"]))
        self.assertEqual([(orphan, True, None)],
                         [(f["path"], f["done"], f["to"])
                          for f in doc["files"]])
        self.assertFalse(os.path.exists(orphan))
        self.assertFalse(os.path.exists(self.lost))
        self.assertEqual(0, vorla("check", self.index).status)

    def test_gc_refuses_a_lost_found_that_is_a_link(self):
        orphan = os.path.join(self.data, "stray_9__1_")
        with open(orphan, "w") as f:
            f.write("mine")
        os.utime(orphan, (1, 1))
        elsewhere = os.path.join(self.dir, "elsewhere")
        os.mkdir(elsewhere)
        os.symlink(elsewhere, self.lost)
        r = vorla("gc", "--delete", "--json", self.index)
        self.assertEqual(3, r.status)
        self.assertIn("cannot move file", r.err)
        doc = r.json()
        tool_schemas.validate("gc", doc)
        self.assertFalse(doc["files"][0]["done"])
        self.assertTrue(os.path.exists(orphan))
        self.assertEqual([], os.listdir(elsewhere))

    def test_gc_delete_while_another_process_holds_the_workspace(self):
        orphan = os.path.join(self.data, "stray_9__1_")
        with open(orphan, "w") as f:
            f.write("mine")
        os.utime(orphan, (1, 1))
        with lock_held(self.index):
            for args in (["gc", "--delete"], ["check", "--fix-counts"]):
                r = vorla(*(args + ["--json", self.index]))
                self.assertEqual(5, r.status, r.err)
                self.assertEqual("workspace_in_use",
                                 r.json()["error"]["code"])
        self.assertTrue(os.path.exists(orphan))

    # --- init --force -------------------------------------------------------

    def test_init_force_keeps_a_workspace_with_records(self):
        r = vorla("init", "--force", self.index)
        self.assertEqual(0, r.status, r.err)
        self.assertIn("replaced a workspace of 5 records", r.out)
        self.assertEqual(self.sound, open(self.index + ".bak").read())
        # An empty workspace is replaced without a backup.
        doc = vorla("init", "--force", "--json", self.index).json()
        tool_schemas.validate("init", doc)
        self.assertEqual((0, None), (doc["dropped"], doc["backup"]))
        subprocess.check_call([ALBUM, self.index], stdout=subprocess.DEVNULL)
        doc = vorla("init", "--force", "--json", self.index).json()
        self.assertEqual((5, self.index + ".bak.1"),
                         (doc["dropped"], doc["backup"]))
        self.assertEqual(self.sound, open(self.index + ".bak").read())


if __name__ == "__main__":
    unittest.main(verbosity=2)
