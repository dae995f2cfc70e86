// The panel's /metrics body: the application's counters in the Prometheus text format.
// Pure function; called on the panel's HTTP threads.
#pragma once

#include <string>

#include "server/FormView.h"

namespace tessil {

std::string FormatMetrics(const TAppMetrics& m);

}  // namespace tessil
