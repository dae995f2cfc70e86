// The operations endpoint's bodies: /metrics in the Prometheus text format (the
// application's counters, the process's figures, refusals by limit, requests by command
// and their time, and whatever collectors were registered) and /healthz. Pure functions
// of their inputs plus the process-wide registries; called on the HTTP threads.
#pragma once

#include <string>

#include "server/FormView.h"

namespace tessil {

std::string FormatMetrics(const TAppMetrics& m);

// {"status":"listening","port":29999} with 200, or {"status":"stopped"} with 503.
std::string HealthJson(const TAppMetrics& m, int* status);

}  // namespace tessil
