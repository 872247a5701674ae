// Placeholder registration of the pages unit; its types are added as the unit is built.
#include "state.hpp"

namespace plugins {

bool register_pages(PyObject*, ModuleState&) { return true; }

}  // namespace plugins
