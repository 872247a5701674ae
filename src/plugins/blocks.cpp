// Placeholder registration of the blocks unit; its types are added as the unit is built.
#include "state.hpp"

namespace plugins {

bool register_blocks(PyObject*, ModuleState&) { return true; }

}  // namespace plugins
