// Object layouts of the connection value types, read directly by the block unit.
#pragma once
#include "state.hpp"

namespace plugins {

struct BlockVarPairObject {
    PyObject_HEAD
    PyObject* dict;
    PyObject* weakrefs;
    PyObject* blockPlacedID;
    PyObject* blockID;
    PyObject* variableID;
    PyObject* variableType;
    PyObject* variableAllowedValues;
};

struct BlockConnectionObject {
    PyObject_HEAD
    PyObject* dict;
    PyObject* weakrefs;
    PyObject* origin;        // BlockVarPair
    PyObject* destination;   // BlockVarPair
    PyObject* isCyclic;
    PyObject* cycles;
    PyObject* currentCycle;
};

}  // namespace plugins
