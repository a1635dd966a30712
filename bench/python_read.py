# Times one reader of an index file from Python 3, for bench/run.sh python:
# the package vorla, or Python's own configparser as a Python user without
# vorla would read the file. One reader per process, so that the peak memory
# it reports is its own.
#
#   python_read.py vorla-python|configparser INDEX
#
# Prints one line: peer=... load_s=... iterate_s=... items=... peak_rss_kib=...
# load_s reads the file into memory; iterate_s then visits every item of
# every record and turns its value into a Python object (vorla: int, str,
# pathlib.Path, Record; configparser: the str it holds).

import configparser
import resource
import sys
import time

import vorla


def read_vorla(index):
    start = time.perf_counter()
    ws = vorla.Workspace(index)
    loaded = time.perf_counter()
    items = 0
    for rec in ws:
        for _name, _value in rec.items():
            items += 1
    return loaded - start, time.perf_counter() - loaded, items


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
    return loaded - start, time.perf_counter() - loaded, items


def main(peer, index):
    read = {"vorla-python": read_vorla, "configparser": read_configparser}[peer]
    load, iterate, items = read(index)
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    print("peer=%s load_s=%.4f iterate_s=%.4f items=%d peak_rss_kib=%d" %
          (peer, load, iterate, items, peak))


if __name__ == "__main__":
    main(*sys.argv[1:])
