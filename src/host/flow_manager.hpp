// The host's flow module `Server.FlowManager`: the names the system uses on it, kept in one place.
//
// The module belongs to the platform's server and is imported only where a flow file must be
// read (the plugin's preset flows); elsewhere the host hands over flow objects and the system
// only reads or appends to their members.
#pragma once

namespace host::flow_manager {

// Module and type.
inline constexpr const char* module_name = "Server.FlowManager";
inline constexpr const char* flow_type = "Flow";

// Flow.read(path) -> flow: reads a flow file (full path); raises when the file cannot be read.
inline constexpr const char* read = "read";

// Members of a flow object.
inline constexpr const char* name = "name";                       // display name of the flow
inline constexpr const char* path = "path";                       // the flow file
inline constexpr const char* saved_id = "savedID";                // identifier of the saved flow
inline constexpr const char* pending_actions = "pendingActions";  // list of viewer actions to deliver

}  // namespace host::flow_manager
