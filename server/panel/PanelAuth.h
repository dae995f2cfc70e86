// Who may use the panel and the operations endpoint: the token check (from a header
// only) and the Host check that keeps a tokenless loopback panel from answering pages of
// other sites. Pure functions; any thread.
#pragma once

#include <string>
#include <string_view>

namespace tessil {

// True when no token is set, or when `authorization` carries it: "Bearer TOKEN", or
// "Basic " with base64 of "ANY-USER:TOKEN" (what a browser sends after its login prompt).
// The comparison takes the same time wherever the texts differ.
bool PanelAuthorized(std::string_view authorization, std::string_view token);

// Without a token only loopback names may be in the Host header (no DNS rebinding).
bool PanelHostAllowed(const std::string& hostHeader, bool haveToken);

}  // namespace tessil
