// Placeholder registration of the plugin unit; its types are added as the unit is built.
#include "state.hpp"

namespace plugins {

bool register_plugin(PyObject*, ModuleState&) { return true; }

}  // namespace plugins
