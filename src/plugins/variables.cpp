// Placeholder registration of the variables unit; its types are added as the unit is built.
#include "state.hpp"

namespace plugins {

bool register_variables(PyObject*, ModuleState&) { return true; }

}  // namespace plugins
