// Pieces of the cluster job block shared between its source files.
#pragma once
#include "../blocks/blocks.hpp"

namespace plugins {

// Builds the enumeration SlurmBlock.Status into state.SlurmBlockStatus, nests it in
// state.SlurmBlock and caches the members the block uses. Defined in status.cpp.
bool register_slurm_status(ModuleState& state);

// Status(value): the member itself, the member whose value equals a text, else UNKNOWN.
pyutil::Ref to_slurm_status(const ModuleState& state, PyObject* value);

// The text form of a status (a member's value, "RUNNING"), or with `capitalised` the form that
// parseStatus returns ("Running"). Other objects than members give str(status) (capitalised).
pyutil::Ref slurm_status_text(const ModuleState& state, PyObject* status, bool capitalised);

}  // namespace plugins
