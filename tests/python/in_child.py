# SPDX-License-Identifier: MIT
# Checks of _vorla that module_test.py runs in a child process, where a
# crash or a hang fails one test instead of ending the whole run.
#
#   in_child.py argument <group> <case> <index file path>
#       passes the arguments of one case below to init_workspace as its
#       second argument, in order, and checks what becomes of each
#   in_child.py flush-gate <index file path>
#       checks that another thread runs while the library flushes the index
#       file; needs fsync_gate preloaded (LD_PRELOAD)
#
# Also imported by code that module_test.py runs in subinterpreters, for
# basic_checks. Exits non-zero (sys.exit with a message) on a failed check.

import os
import sys
import threading
import types
import weakref

import _vorla

peer = None  # _vorla_peer, imported when the checks begin

REFUSED = ("in method 'init_workspace', argument 2 of type "
           "'std::string const &'")
WRITTEN = b"\n$reldatadir_str = data\n"


def check(path, value, accepted):
    """init_workspace(path, value) writes reldatadir "data" when `accepted`,
    else raises the module's TypeError for argument 2 and writes nothing."""
    if os.path.exists(path):
        os.remove(path)
    try:
        _vorla.init_workspace(path, value)
    except TypeError as e:
        if accepted or str(e) != REFUSED:
            sys.exit("%r: TypeError %s" % (value, e))
        if os.path.exists(path):
            sys.exit("%r: refused, but the file was written" % (value,))
        return
    if not accepted:
        sys.exit("%r: accepted" % (value,))
    with open(path, "rb") as f:
        if WRITTEN not in f.read():
            sys.exit("%r: the file does not hold reldatadir data" % (value,))


def import_peer():
    global peer
    import _vorla_peer as peer


def basic_checks(path):
    """A wrong kind refused before and after a peer module shares its types;
    str and the peer's wrapped char * taken."""
    check(path, 1, False)
    import_peer()
    for value, accepted in [(object(), False), ("data", True),
                            (peer.chars_new(b"data"), True)]:
        check(path, value, accepted)


class Holder(object):
    """A proxy object as other SWIG modules make them."""

    def __init__(self, this):
        self.this = this


def chain(length, end):
    """`end` behind `length` Holders."""
    for _ in range(length):
        end = Holder(end)
    return end


# Large enough to be given back to the system as soon as it is freed: read
# after that, it is gone.
def fresh_big_object(self):
    return b"\0" * (1 << 22)


# Without an instance dictionary: SWIG under Python 2 looks for `this` in
# the dictionary alone when there is one, and never calls a property then.
class FreshObject(object):
    __slots__ = ()
    this = property(fresh_big_object)


class FreshPointer(object):
    __slots__ = ()
    this = property(lambda self: peer.chars_new(b"data"))


class Endless(object):
    __slots__ = ()
    this = property(lambda self: Endless())


class Raising(object):
    __slots__ = ()

    @property
    def this(self):
        raise ValueError("no pointer here")


# The size of a pointer object, with its fields held by slots.
NamedLikePointer = type("SwigPyObject", (object,),
                        {"__slots__": ("a", "b", "c", "d")})


def own_this():
    holder = Holder(None)
    holder.this = holder
    return holder


def this_cycle():
    first = Holder(None)
    first.this = Holder(first)
    return first


def chained_to(link):
    pointer = peer.string_new(b"data")
    pointer.append(pointer if link is None else link)
    return pointer


def weak_proxy():
    holder = Holder(peer.chars_new(b"data"))
    weak_proxy.keep = holder
    return weakref.proxy(holder)


def registry(change):
    """Changes the registry module as `change` says, then checks a wrong kind
    refused and a wrapped char *, made before, still taken."""
    pointer = peer.chars_new(b"data")
    change(sys.modules)
    return [(1, False), ("data", True), (pointer, True)]


def foreign_capsule(modules):
    import datetime
    runtime = types.ModuleType("swig_runtime_data4")
    runtime.type_pointer = datetime.datetime_CAPI  # a capsule of other data
    modules["swig_runtime_data4"] = runtime


# The cases, by group.
CASES = {
    # `this` freed before use, endless or raising.
    "this": {
        "fresh_object": lambda: [(FreshObject(), False)],
        "fresh_pointer": lambda: [(FreshPointer(), True)],
        "itself": lambda: [(own_this(), False)],
        "cycle": lambda: [(this_cycle(), False)],
        "endless": lambda: [(Endless(), False)],
        "deep": lambda: [(chain(3, peer.chars_new(b"data")), True),
                         (chain(100000, peer.chars_new(b"data")), False)],
        "raising": lambda: [(Raising(), False)],
        "weak_proxy": lambda: [(weak_proxy(), True)],
    },
    # Objects that pose as pointer objects, and chains of pointers.
    "pointer": {
        "named_like_one": lambda: [(NamedLikePointer(), False),
                                   (Holder(NamedLikePointer()), False)],
        "chained_to_itself": lambda: [(chained_to(None), False)],
        "chained_to_one_named_like_it":
            lambda: [(chained_to(NamedLikePointer()), False)],
        "chained_to_another": lambda: [(chained_to(peer.string_new(b"x")),
                                        True)],
    },
    # The registry module removed or replaced.
    "registry": {
        "removed": lambda: registry(lambda m: m.pop("swig_runtime_data4")),
        "replaced_by_empty_module": lambda: registry(
            lambda m: m.__setitem__("swig_runtime_data4",
                                    types.ModuleType("swig_runtime_data4"))),
        "replaced_by_none": lambda: registry(
            lambda m: m.__setitem__("swig_runtime_data4", None)),
        "with_foreign_capsule": lambda: registry(foreign_capsule),
    },
}


def flush_gate(path):
    """With fsync_gate preloaded, every fsync of the library tells a pipe
    that it has started, then waits for an answer on another; the answer
    comes from a thread of this process, which can give it only while the
    library runs without the interpreter's lock."""
    started_read, started_write = os.pipe()
    answer_read, answer_write = os.pipe()
    os.environ["VORLA_FSYNC_GATE"] = "%d,%d" % (started_write, answer_read)
    answered = []

    def answer():
        while os.read(started_read, 1):
            answered.append(1)
            os.write(answer_write, b"x")

    helper = threading.Thread(target=answer)
    helper.daemon = True
    helper.start()
    check(path, "data", True)
    if not answered:
        sys.exit("the library flushed nothing through the gate")


def main(command, *args):
    import_peer()
    if command == "argument":
        group, case, path = args
        for value, accepted in CASES[group][case]():
            check(path, value, accepted)
    elif command == "flush-gate":
        flush_gate(*args)
    else:
        sys.exit("unknown command " + command)


if __name__ == "__main__":
    main(*sys.argv[1:])
