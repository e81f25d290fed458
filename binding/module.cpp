#include <Python.h>

static PyModuleDef_Slot kestrune_slots[] = {{0, nullptr}};

static PyModuleDef kestrune_module = {
    PyModuleDef_HEAD_INIT, "kestrune", "", 0, nullptr, kestrune_slots, nullptr, nullptr, nullptr,
};

PyMODINIT_FUNC PyInit_kestrune(void) { return PyModuleDef_Init(&kestrune_module); }
