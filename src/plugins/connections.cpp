// Placeholder registration of the connections unit; its types are added as the unit is built.
#include "state.hpp"

namespace plugins {

bool register_connections(PyObject*, ModuleState&) { return true; }

}  // namespace plugins
