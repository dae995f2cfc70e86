// /metrics and /healthz, on the panel or on an address of their own (see OpsServer.h).
// Handlers run on the HTTP pool's threads.
#include "server/panel/OpsServer.h"

#include "server/FormView.h"
#include "server/panel/PanelAuth.h"
#include "server/panel/PanelMetrics.h"

namespace tessil {

void AddOpsRoutes(TGuardedHttp& http, const IFormControl& form) {
    http.Get("/metrics", [&form](const httplib::Request&, httplib::Response& res) {
        res.set_header("Cache-Control", "no-store");
        res.set_content(FormatMetrics(form.Metrics()), "text/plain; version=0.0.4");
    });
    http.Get("/healthz", [&form](const httplib::Request&, httplib::Response& res) {
        res.set_header("Cache-Control", "no-store");
        int status = 503;
        std::string body = HealthJson(form.Metrics(), &status);
        res.status = status;
        res.set_content(body, "application/json");
    });
}

OpsServer::OpsServer(const IFormControl& form, std::string token, THttpLimits limits)
    : token_(std::move(token)), http_(limits) {
    http_.SetPreRouting([this](const httplib::Request& req, httplib::Response& res) {
        if (!PanelHostAllowed(req.get_header_value("Host"), !token_.empty())) {
            res.status = 403;
            res.set_content("unexpected Host\n", "text/plain");
            return httplib::Server::HandlerResponse::Handled;
        }
        if (PanelAuthorized(req.get_header_value("Authorization"), token_))
            return httplib::Server::HandlerResponse::Unhandled;
        res.status = 401;
        res.set_header("WWW-Authenticate", "Bearer");
        res.set_content("token required\n", "text/plain");
        return httplib::Server::HandlerResponse::Handled;
    });
    AddOpsRoutes(http_, form);
}

bool OpsServer::Start(const std::string& host, uint16_t port, std::string* error) {
    return http_.Start(host, port, token_.empty(), error);
}

}  // namespace tessil
