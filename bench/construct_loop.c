/* Calls constructors from a C loop, for the instruction counter (bench/construction.py).
 *
 *     construct_loop SETUP COUNT
 *
 * SETUP is a Python file that defines `calls`, a list of (callable, args, kwargs) with args a
 * tuple and kwargs a dict, all made beforehand. After a warm-up, the loop makes every call COUNT
 * times between two calls of getppid(), which the counter dumps its profile at; the objects are
 * freed after the second one, so the part between the markers is the construction alone. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

static PyObject* call(PyObject* callable, PyObject* const* values, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* made = PyObject_Vectorcall(callable, values, (size_t)nargs, kwnames);
    if (made == NULL) {
        PyErr_Print();
        exit(1);
    }
    return made;
}

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: %s SETUP COUNT\n", argv[0]);
        return 2;
    }
    const long count = strtol(argv[2], NULL, 10);
    Py_Initialize();
    FILE* setup = fopen(argv[1], "r");
    if (setup == NULL || PyRun_SimpleFileEx(setup, argv[1], 1) != 0) return 1;
    PyObject* globals = PyModule_GetDict(PyImport_AddModule("__main__"));
    PyObject* calls = PyDict_GetItemString(globals, "calls");
    if (calls == NULL || !PyList_Check(calls)) {
        fprintf(stderr, "%s must define calls, a list of (callable, args, kwargs)\n", argv[1]);
        return 1;
    }
    const Py_ssize_t ncalls = PyList_GET_SIZE(calls);
    struct Call {
        PyObject* callable;
        PyObject** values;
        Py_ssize_t nargs;
        PyObject* kwnames;
    }* prepared = calloc((size_t)ncalls, sizeof(struct Call));
    for (Py_ssize_t c = 0; c < ncalls; ++c) {
        PyObject *callable, *args, *kwargs;
        if (!PyArg_ParseTuple(PyList_GET_ITEM(calls, c), "OO!O!", &callable, &PyTuple_Type, &args, &PyDict_Type,
                              &kwargs)) {
            PyErr_Print();
            return 1;
        }
        /* The vectorcall form of args and kwargs, as a call site in Python code passes them. */
        const Py_ssize_t nargs = PyTuple_GET_SIZE(args), nkw = PyDict_GET_SIZE(kwargs);
        PyObject** values = malloc(sizeof(PyObject*) * (size_t)(nargs + nkw + 1));
        PyObject* kwnames = nkw > 0 ? PyTuple_New(nkw) : NULL;
        for (Py_ssize_t i = 0; i < nargs; ++i) values[i] = PyTuple_GET_ITEM(args, i);
        Py_ssize_t position = 0, k = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &position, &key, &value)) {
            values[nargs + k] = value;
            Py_INCREF(key);
            PyTuple_SET_ITEM(kwnames, k++, key);
        }
        prepared[c] = (struct Call){callable, values, nargs, kwnames};
    }
    PyObject** made = malloc(sizeof(PyObject*) * (size_t)(count * ncalls));
    for (int round = 0; round < 2; ++round) {
        if (round == 1) getppid();
        for (long i = 0; i < count * ncalls; ++i) {
            const struct Call* c = &prepared[i % ncalls];
            made[i] = call(c->callable, c->values, c->nargs, c->kwnames);
        }
        if (round == 1) getppid();
        for (long i = 0; i < count * ncalls; ++i) Py_DECREF(made[i]);
    }
    printf("%ld\n", count);
    return 0;
}
