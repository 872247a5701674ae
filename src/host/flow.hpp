// Members of the host's flow object (`Server.FlowManager.Flow`) and of the package's `utils`
// module that the extension modules use (one place that knows them).
#pragma once

namespace host::flow {

inline constexpr const char module[] = "Server.FlowManager";
inline constexpr const char type[] = "Flow";
inline constexpr const char read[] = "read";                 // Flow.read(path) -> Flow
inline constexpr const char savedID[] = "savedID";
inline constexpr const char pendingActions[] = "pendingActions";
inline constexpr const char name[] = "name";
inline constexpr const char path[] = "path";

}  // namespace host::flow

namespace host::utils {

inline constexpr const char module[] = "QorvelAPI.utils";
inline constexpr const char ResetRemoteException[] = "ResetRemoteException";
inline constexpr const char SingletonMeta[] = "SingletonMeta";

}  // namespace host::utils
