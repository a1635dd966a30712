# SPDX-License-Identifier: MIT
# Checks of the package vorla that package_test.py runs in a child process,
# where a crash fails one test instead of ending the whole run.
#
#   package_child.py CASE DIR [ARG]
#
# DIR is an empty scratch folder. Exits non-zero (sys.exit with a message)
# on a failed check.

import ctypes
import gc
import os
import sys
import threading
import time


def expect_error(code, call, *args):
    """call(*args) raises vorla.Error with `code`."""
    import vorla
    try:
        call(*args)
    except vorla.Error as e:
        if e.code != code:
            sys.exit("%r: %s (%s), expected %s" % (call, e, e.code, code))
        return
    sys.exit("%r: no error, expected %s" % (call, code))


def record_uses(rec):
    """Every operation of a record, each as a call of no argument."""
    other = rec.workspace
    return [lambda: rec["n"], lambda: rec.keys(), lambda: rec.items(),
            lambda: len(rec), lambda: "n" in rec, lambda: rec.type,
            lambda: setattr(rec, "type", "t"), lambda: rec.ext_refs,
            lambda: rec.temporary, lambda: rec.__setitem__("n", 1),
            lambda: rec.new_file("f"), lambda: rec.new_child("c"),
            lambda: rec.release(), lambda: list(rec),
            lambda: other.copy_from(other, rec)]


def refuse_all(rec, code):
    for use in record_uses(rec):
        expect_error(code, use)
    repr(rec)  # never raises


def fresh(scratch):
    import vorla
    ws = vorla.Workspace.create(os.path.join(scratch, "ws.ini"))
    rec = ws.new_record("kept")
    rec["n"] = 1
    child = rec.new_child("c0")
    child["n"] = 2
    return ws, rec, child


def closed(scratch):
    ws, rec, child = fresh(scratch)
    with ws:
        pass
    refuse_all(rec, "workspace_closed")
    refuse_all(child, "workspace_closed")
    for use in (ws.save, ws.load, lambda: len(ws), lambda: list(ws),
                lambda: ws[1], lambda: ws.new_record("t"), lambda: ws.path):
        expect_error("workspace_closed", use)
    ws.close()  # again: nothing
    if not ws.closed:
        sys.exit("closed is False")


def reloaded(scratch):
    ws, rec, child = fresh(scratch)
    ws.save()
    ws.load()
    refuse_all(rec, "foreign_record")
    refuse_all(child, "foreign_record")
    if ws[rec.id]["n"] != 1 or ws[rec.id] == rec:
        sys.exit("the reloaded record is not a new one with the old items")


def released(scratch):
    ws, rec, child = fresh(scratch)
    rec.release()
    refuse_all(rec, "foreign_record")
    refuse_all(child, "foreign_record")  # erased in cascade
    if rec.id in ws or child.id in ws:
        sys.exit("a released record is still in its workspace")


def outlived(scratch):
    """A record keeps its workspace alive after the last name of it is
    gone, and works on as before."""
    import vorla
    ws, rec, child = fresh(scratch)
    del ws
    gc.collect()
    child["m"] = 3
    rec.workspace.save()
    again = vorla.Workspace(os.path.join(scratch, "ws.ini"))
    if again[child.id]["m"] != 3:
        sys.exit("the change made through the record was not saved")


def load_helper():
    helper = ctypes.CDLL(os.environ["VORLA_NATIVE_HELPER"])
    helper.helper_put.restype = ctypes.c_uint
    helper.helper_count.restype = ctypes.c_size_t
    return helper


def shared(scratch, order):
    """Python and native code see one default workspace, whatever was
    loaded first: `order` names it."""
    helper = None
    if order == "helper-first":
        helper = load_helper()
    elif order == "_vorla-first":
        import _vorla  # noqa: F401
    import vorla
    helper = helper or load_helper()
    path = os.path.join(scratch, "shared.ini")
    vorla.Workspace.create(path).close()
    ws = vorla.default_workspace()
    if ws is not vorla.default_workspace():
        sys.exit("default_workspace() gives another object each time")
    ws.load(path)
    rec = ws.new_record("from python")
    rec["text"] = "hello native"
    out = ctypes.create_string_buffer(64)
    if helper.helper_get(rec.id, b"text", out, 64) < 0 or \
            out.value != b"hello native":
        sys.exit("native code does not see the record Python made")
    made = helper.helper_put(b"from native", b"text", b"hello python")
    if made == 0 or ws[made]["text"] != "hello python" or \
            ws[made].type != "from native":
        sys.exit("Python does not see the record native code made")
    if helper.helper_count() != len(ws):
        sys.exit("native code counts %d records, Python %d" %
                 (helper.helper_count(), len(ws)))
    ws.save()
    if helper.helper_load(path.encode()) != 0:
        sys.exit("native code cannot load the saved workspace")
    expect_error("foreign_record", lambda: rec["text"])
    if ws[rec.id]["text"] != "hello native":
        sys.exit("Python does not see what native code loaded")


def gate(scratch, operation):
    """With fsync_gate preloaded, each fsync of the library waits for an
    answer from another thread of this process, which can give it only
    while the library runs without the interpreter's lock."""
    import vorla
    started_read, started_write = os.pipe()
    answer_read, answer_write = os.pipe()
    answered = []

    def answer():
        while os.read(started_read, 1):
            answered.append(1)
            os.write(answer_write, b"x")

    source = vorla.Workspace.create(os.path.join(scratch, "src.ini"))
    rec = source.new_record("photo")
    rec.new_file("pixels").write_bytes(b"P5 1 1 255\n\0")
    target = vorla.Workspace.create(os.path.join(scratch, "dst.ini"),
                                    "dstdata")
    thread = threading.Thread(target=answer, daemon=True)
    thread.start()
    os.environ["VORLA_FSYNC_GATE"] = "%d,%d" % (started_write, answer_read)
    if operation == "save":
        source.save()
    else:
        copy = target.copy_from(source, rec)
        if copy["pixels"].read_bytes() != b"P5 1 1 255\n\0":
            sys.exit("the copy's data file differs")
    if not answered:
        sys.exit("the library flushed nothing through the gate")


def sealed(scratch):
    """No class of the package gives Python code an object without the C++
    object behind it; the package's own calls still make them."""
    import vorla
    path = os.path.join(scratch, "ws.ini")
    ws = vorla.Workspace.create(path)
    for cls in (vorla.Record, type(iter(ws)), vorla.Workspace):
        for make in (lambda: cls.__new__(cls), lambda: cls.__new__(cls, path),
                     lambda: cls.__mro__[1].__new__(cls),
                     lambda: object.__new__(cls), lambda: cls()):
            try:
                made = make()
            except TypeError:
                continue
            sys.exit("%s made %r" % (cls.__name__, type(made)))
    rec = ws.new_record("x")
    if [r.id for r in iter(ws)] != [0, rec.id] or \
            len(vorla.Workspace(path=path)) != 1:
        sys.exit("the package no longer makes its own objects")


def unloaded(scratch):
    """The default workspace writes nothing before it is loaded: no save
    that says nothing, no data file under "/"."""
    import vorla
    ws = vorla.default_workspace()
    rec = ws.new_record("early")
    expect_error("workspace_not_loaded", ws.save)
    expect_error("workspace_not_loaded", rec.new_file, "f")
    expect_error("workspace_not_loaded", rec.new_file, "f", "p")
    path = os.path.join(scratch, "ws.ini")
    vorla.Workspace.create(path).close()
    ws.load(path)
    made = ws.new_record("late").new_file("f")
    if str(made.parent) != os.path.join(scratch, "data"):
        sys.exit("a data file outside the data directory: %s" % made)
    ws.save()


def fork_in_save(scratch):
    """A fork while another thread is inside save(): the child neither hangs
    nor crashes on that workspace, and works with the others."""
    import vorla
    path = os.path.join(scratch, "ws.ini")
    ws = vorla.Workspace.create(path)
    rec = ws.new_record("kept")
    started_read, started_write = os.pipe()
    answer_read, answer_write = os.pipe()
    os.environ["VORLA_FSYNC_GATE"] = "%d,%d" % (started_write, answer_read)
    saver = threading.Thread(target=ws.save)
    saver.start()
    os.read(started_read, 1)  # the saving thread waits inside fsync
    pid = os.fork()
    if pid == 0:
        status = 1
        try:
            del os.environ["VORLA_FSYNC_GATE"]
            for use in (ws.save, lambda: ws.new_record("t"), lambda: len(ws),
                        lambda: rec["n"]):
                expect_error("busy_at_fork", use)
            repr(ws), repr(rec)
            ws.close()  # dropped, never destroyed
            if not ws.closed:
                sys.exit("a workspace busy at fork does not close")
            again = vorla.Workspace.create(os.path.join(scratch, "o.ini"),
                                           "o-data")
            again.new_record("in child")
            again.save()
            try:
                vorla.Workspace(path).save()
                sys.exit("the child saved while its parent held the lock")
            except vorla.WriterConflict as e:
                if e.holder != os.getppid():
                    sys.exit("holder %r, not the parent" % e.holder)
            status = 0
        except SystemExit as e:
            sys.stderr.write("in the child: %s\n" % e)
        finally:
            os._exit(status)
    for _ in range(2000):
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            break
        time.sleep(0.01)
    else:
        os.kill(pid, 9)
        os.waitpid(pid, 0)
        status = -1
    os.write(answer_write, b"x" * 16)
    saver.join()
    if status != 0:
        sys.exit("the child hung" if status < 0 else
                 "the child failed: status %d" % status)
    del os.environ["VORLA_FSYNC_GATE"]
    if [r.type for r in vorla.Workspace(path)] != ["system_record", "kept"]:
        sys.exit("the parent's save did not complete")


CASES = {"closed": closed, "reloaded": reloaded, "released": released,
         "outlived": outlived, "shared": shared, "gate": gate,
         "sealed": sealed, "unloaded": unloaded,
         "fork_in_save": fork_in_save}

if __name__ == "__main__":
    CASES[sys.argv[1]](*sys.argv[2:])
