// Members of the host's remote object that the plugins module calls (one place that knows
// them). The host hands one such object per remote machine to `PluginBlock._setRemote`.
#pragma once

namespace host::remote {

// Operations
inline constexpr const char command[] = "command";            // command(command) -> output
inline constexpr const char transferTo[] = "transferTo";      // (local, remote) -> final path
inline constexpr const char transferFrom[] = "transferFrom";  // (remote, local) -> final path
inline constexpr const char submitJob[] = "submitJob";        // (script, changeDir) -> job id
inline constexpr const char cd[] = "cd";                      // cd(path) -> context manager
// Status operations of cluster jobs, each taking (savedID, placedID)
inline constexpr const char getRemoteBlockStatus[] = "getRemoteBlockStatus";
inline constexpr const char getJobIDfromBlock[] = "getJobIDfromBlock";
inline constexpr const char getRemoteBlockLogs[] = "getRemoteBlockLogs";
inline constexpr const char getRemoteBlockTime[] = "getRemoteBlockTime";

// Attributes read
inline constexpr const char userHome[] = "userHome";
inline constexpr const char workDir[] = "workDir";
inline constexpr const char name[] = "name";
inline constexpr const char host[] = "host";
// Attributes written
inline constexpr const char blockPlacedID[] = "_blockPlacedID";
inline constexpr const char resetRemoteBlock[] = "_resetRemoteBlock";

// The name of the local machine's remote.
inline constexpr const char localName[] = "Local";

}  // namespace host::remote
