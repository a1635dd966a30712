// SPDX-License-Identifier: MIT
// Runs Python code in a subinterpreter, for the tests of _vorla: a Python
// started as a program runs in the main interpreter, and Python 2 has no
// way to make another from Python code.
//
//   vorla_subinterp MAIN SUB [AFTER]
//
// Runs the code MAIN in the main interpreter, SUB in a new subinterpreter,
// which is then ended, and AFTER in the main interpreter again. Exits 0 when
// each ran to its end, 1 when one raised (its traceback is printed), 2 on
// wrong usage.

#include <cstdio>

#include <Python.h>

int main(int argc, char** argv) {
  if (argc < 3 || argc > 4) {
    std::fprintf(stderr, "usage: %s MAIN SUB [AFTER]\n", argv[0]);
    return 2;
  }
  Py_Initialize();
  PyThreadState* main_state = PyThreadState_Get();
  bool ok = PyRun_SimpleString(argv[1]) == 0;
  if (ok) {
    PyThreadState* sub = Py_NewInterpreter();
    ok = sub && PyRun_SimpleString(argv[2]) == 0;
    if (sub) Py_EndInterpreter(sub);
    PyThreadState_Swap(main_state);
  }
  if (ok && argc == 4) ok = PyRun_SimpleString(argv[3]) == 0;
  Py_Finalize();
  return ok ? 0 : 1;
}
