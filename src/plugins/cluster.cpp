// Placeholder registration of the cluster unit; its types are added as the unit is built.
#include "state.hpp"

namespace plugins {

bool register_cluster(PyObject*, ModuleState&) { return true; }

}  // namespace plugins
