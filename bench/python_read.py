# SPDX-License-Identifier: MIT
# Times one reader of an index file from Python 3, for bench/run.sh python:
# the package vorla, or Python's own configparser as a Python user without
# vorla would read the file. One reader per process, so that the peak memory
# it reports is its own.
#
#   python_read.py vorla-python|vorla-python-before|configparser INDEX
#
# Prints one line: peer=... load_s=... iterate_s=... items=... peak_rss_kib=...
# load_s reads the file into memory; iterate_s then visits every item of
# every record and turns its value into a Python object (vorla: int, str,
# pathlib.Path, Record; configparser: the str it holds). vorla adds
# file_item_us and number_item_us, one rec[name] of a file and of a number
# item, and dict_item_us, one lookup in a dict of the same record's items,
# each the best of several rounds of many reads.

import configparser
import pathlib
import resource
import sys
import time
import timeit

import vorla


def read_vorla(index):
    start = time.perf_counter()
    ws = vorla.Workspace(index)
    loaded = time.perf_counter()
    items = 0
    for rec in ws:
        for _name, _value in rec.items():
            items += 1
    return loaded - start, time.perf_counter() - loaded, items, item_costs(ws)


def item_costs(ws):
    """Microseconds per read of a file item, a number item and a dict."""
    rec = next(r for r in ws
               if any(isinstance(v, pathlib.Path) for v in r.values()))
    file_name = next(k for k, v in rec.items() if isinstance(v, pathlib.Path))
    number_name = next(k for k, v in rec.items() if isinstance(v, int))
    plain = dict(rec.items())
    reads = 100000
    costs = []
    for stmt in ("rec[f]", "rec[n]", "plain[n]"):
        best = min(timeit.repeat(stmt, number=reads, repeat=5, globals={
            "rec": rec, "plain": plain, "f": file_name, "n": number_name}))
        costs.append(best / reads * 1e6)
    return costs


def read_configparser(index):
    start = time.perf_counter()
    # No interpolation: values are taken as they are. Keys keep their case.
    parser = configparser.RawConfigParser(strict=False)
    parser.optionxform = str
    with open(index, encoding="utf-8", errors="surrogateescape") as f:
        parser.read_file(f)
    loaded = time.perf_counter()
    items = 0
    for section in parser.sections():
        for _name, _value in parser.items(section):
            items += 1
    return loaded - start, time.perf_counter() - loaded, items, None


def main(peer, index):
    # vorla-python-before: the same reader, run on a former package.
    read = {"vorla-python": read_vorla, "vorla-python-before": read_vorla,
            "configparser": read_configparser}[peer]
    load, iterate, items, costs = read(index)
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    extra = ""
    if costs:
        extra = " file_item_us=%.3f number_item_us=%.3f dict_item_us=%.3f" % (
            tuple(costs))
    print("peer=%s load_s=%.4f iterate_s=%.4f items=%d peak_rss_kib=%d%s" %
          (peer, load, iterate, items, peak, extra))


if __name__ == "__main__":
    main(*sys.argv[1:])
