// The control panel's page: one HTML document with its style and script inline, compiled
// into the executable so the panel needs no file on disk. Read-only; any thread.
#pragma once

#include <string_view>

namespace tessil {

std::string_view PanelPageHtml();

}  // namespace tessil
