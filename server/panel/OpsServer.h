// The operations endpoint on an address of its own: /metrics (Prometheus text) and
// /healthz, under the panel's token rules, in every mode. Owned by the process entry;
// requests run on its bounded pool.
#pragma once

#include <cstdint>
#include <string>

#include "server/panel/GuardedHttp.h"

namespace tessil {

class IFormControl;

// Adds /metrics and /healthz for `form` to `http`.
void AddOpsRoutes(TGuardedHttp& http, const IFormControl& form);

class OpsServer {
  public:
    OpsServer(const IFormControl& form, std::string token, THttpLimits limits);
    // Binds; false with the reason (a token is required off loopback).
    bool Start(const std::string& host, uint16_t port, std::string* error);
    void Stop() { http_.Stop(); }
    std::string BoundAddress() const { return http_.Address(); }
    uint16_t BoundPort() const { return http_.Port(); }

  private:
    const std::string token_;
    TGuardedHttp http_;
};

}  // namespace tessil
