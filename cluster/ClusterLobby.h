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

// What the cluster adds to the window's counters (any thread).
struct ClusterStatus {
    std::string node;
    bool redisUp = false;
    bool joined = false;
    int64_t clusterUsers = -1;  // cluster-wide counts from the last refresh; -1: unknown
    int64_t clusterRooms = -1;
    int64_t standIns = 0;     // members of this node's rooms who sit on other nodes
    int64_t remoteSeats = 0;  // users of this node who sit in other nodes' rooms
};

class IClusterLobby : public IAppLobby {
  public:
    virtual ClusterStatus Status() const = 0;
};

// configFile: the settings file read by the account store.
std::shared_ptr<IClusterLobby> MakeClusterLobby(const std::string& configFile,
                                                ClusterConfig config);

}  // namespace tessil::cluster
