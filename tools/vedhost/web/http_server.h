// vedhost's web server (libmicrohttpd): the page, the JSON API, /metrics and
// the event stream, on one event-loop thread of libmicrohttpd's plus one
// that sends the event stream's keep-alive.
//
//   /                       the page and its files (nothing else is served)
//   /api/meters             every meter's state: WebState::meters()
//   /api/meters/DATA_ID     one meter's
//   /api/alarms             alarms raised now and recently cleared
//   /api/signals            the signals the page may show: id, label, unit
//   /api/history?data_id=&signal=&from=&to=&points=
//                           a signal's minimum, mean and maximum over spans
//   /api/quality            {"kept": true or false}: whether a supply-quality
//                           report is kept
//   /api/quality?data_id=&week=
//                           a meter's supply-quality week ("2026-W49"; the
//                           newest when not given), quality_report.h
//   /api/health             the host beside its meters: {"history": {"kept"}},
//                           "problems" for the page's header, the parts' figures
//   /api/energy?data_id=&counter=&period=&from=&to=
//                           consumption per period (the energy room's,
//                           when energy is kept; 404 otherwise)
//   /api/events             server-sent events: "meter" with the meter's
//                           state after each change; a comment every 15 s
//   /metrics                Prometheus' text format (metrics.h)
//
// GET and HEAD only (405 otherwise); requests and their headers must fit the
// per-connection memory (431 or 413 otherwise). A connection quiet for a few
// seconds is closed; one client address may hold most of the connections but
// only a few still waiting for their request, and one beyond that reads a 503
// and is closed at once. Event-stream clients are
// suspended connections, resumed when there is something to send; beyond
// HttpOptions::eventClients a new one gets 503. Nothing a request does
// reaches the line threads: they only ever take WebState's lock briefly.
#pragma once

#include <json/value.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "health/host_health.h"
#include "history/history_reader.h"
#include "presentation/presentation.h"
#include "web/http_options.h"
#include "web/web_state.h"

namespace vedhost {

// A meter's supply-quality week for /api/quality: `week` as the request
// gave it, empty for the newest. Fills the document (null: that week has no
// values); false with a one-line reason when `week` names no week. Called on
// the server's thread.
using QualitySource = std::function<bool(unsigned dataId, const std::string& week,
                                         Json::Value& document, std::string& error)>;

// Answers /api/energy: `arg(name)` is a query argument or nullptr. Returns
// the HTTP status and the JSON text to send (for an error, {"error":
// reason}). Called on the server's thread.
using EnergyQuery = std::function<unsigned(const std::function<const char*(const char*)>& arg,
                                           std::string& reply)>;

class HttpServer {
  public:
    // `history` is null when no history is kept. `state`, `presentation` and
    // `history` must outlive the server.
    HttpServer(HttpOptions options, WebState& state, const Presentation& presentation,
               HistoryReader* history);
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Serves /api/quality from `quality`; before start(). Without it, no
    // supply-quality report is kept.
    void setQuality(QualitySource quality);
    // Where /api/energy is answered from; before start().
    void setEnergy(EnergyQuery energy);

    // Listens; false with a one-line reason when it cannot.
    bool start(std::string& error);
    // The port listened on (the one picked when the options said 0).
    int port() const;
    // Ends every event stream and closes the server.
    void stop();

    // Sends a meter's state to every event-stream client; any thread.
    void meterChanged(unsigned dataId);

    // How the host stands beside its meters (health/host_health.h), asked on
    // the server's thread for each /metrics and /api/health; before start().
    void setHealth(std::function<HostHealth()> health);

    // The events sent so far to one client at most, before it is cut off as
    // too slow to read them.
    static constexpr std::size_t kClientBacklog = 1u << 20;
    static constexpr std::size_t kMaxChartPoints = 1000;

    struct Impl;

  private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace vedhost
