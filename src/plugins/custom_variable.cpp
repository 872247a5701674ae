// Placeholder registration of the custom_variable unit; its types are added as the unit is built.
#include "state.hpp"

namespace plugins {

bool register_custom_variable(PyObject*, ModuleState&) { return true; }

}  // namespace plugins
