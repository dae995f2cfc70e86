// ClusterLobby: the lobby of a cluster node behind the same seam as the embedded lobby
// (IAppLobby). Each request runs through the node's ordinary request handling and lobby
// registry; this class only decides where it runs: here, on the node that owns the
// user's room (through a stand-in record of the user there), or against the cluster's
// shared directory in Redis. Owned by TMainForm like the embedded lobby; the connection
// events call it on engine workers, the other nodes' messages arrive on the cluster
// executor.
#pragma once

#include <memory>
#include <string>

#include "cluster/ClusterNode.h"
#include "server/AppLobby.h"

namespace tessil::cluster {

// configFile: the settings file read by the account store.
std::shared_ptr<IAppLobby> MakeClusterLobby(const std::string& configFile, ClusterConfig config);

}  // namespace tessil::cluster
