#pragma once

#include "banner_catalog.hpp"

#include <QtNetwork/QSslCertificate>
#include <QtNetwork/QSslKey>
#include <QtNetwork/QTcpServer>

#include <cstdint>
#include <deque>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace kelvara::standin {

// How an answer travels: whole, in small pieces, not at all (the connection stays open and silent), as a
// reset connection, or cut off: the first half of the body and then an orderly close, either under a
// Content-Length that announces the whole body or in the chunked coding without its last chunk.
enum class Delivery { whole, trickle, silence, reset, cut_short, chunked_cut_short };

// A scripted answer for the next `count` requests whose target starts with `target_prefix`.
struct Fault {
    std::string target_prefix;
    int count = 1;
    HttpAnswer answer;
    Delivery delivery = Delivery::whole;
    std::size_t trickle_bytes = 512;
    int trickle_interval_ms = 2;
};

// Which certificate the tunnelled TLS connection presents.
enum class ServerIdentity { service, wrong_host, untrusted };

struct RecordedRequest {
    std::string host;   // from the CONNECT line
    std::string target; // path and query
    std::vector<std::pair<std::string, std::string>> headers;

    std::string header(const std::string& name) const;
};

// The banner service as the module sees it, on loopback: an HTTP proxy that accepts CONNECT for the service
// hosts and then speaks TLS on the same connection with a certificate for those hosts. A process that sets
// it as its application proxy and trusts the test CA reaches it under https://kelvara.com unchanged.
// Lives on the thread that runs its Qt event loop.
class StandInService : public QTcpServer {
public:
    explicit StandInService(const std::filesystem::path& certificate_dir);
    ~StandInService() override;

    // Port 0 picks a free one.
    bool listen_on_loopback(std::uint16_t port = 0);
    // Listens on a free loopback port and points Qt Network of this whole process at the service: as its
    // HTTP proxy (which tunnels to the service hosts), trusting the service's test CA, as a host process may
    // do. The module stays unchanged. False when nothing can listen.
    bool serve_this_process();
    // One service for the whole test program, made and set up by serve_this_process on first use; throws
    // std::runtime_error when nothing can listen.
    static StandInService& shared(const std::filesystem::path& certificate_dir);
    std::uint16_t port() const { return listening_port_; }

    BannerCatalog& catalog() { return catalog_; }
    void add_fault(Fault fault) { faults_.push_back(std::move(fault)); }
    void clear_faults() { faults_.clear(); }
    // Offline: nothing listens on the port any more, as when the service host is unreachable; back online,
    // the same port listens again.
    void set_offline(bool offline);
    void set_identity(ServerIdentity identity) { identity_ = identity; }

    const std::vector<RecordedRequest>& requests() const { return requests_; }
    std::size_t connection_count() const { return connections_; }

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    struct Connection;
    void on_plain_data(Connection& connection);
    void on_tls_data(Connection& connection);
    void respond(Connection& connection, const RecordedRequest& request);
    std::optional<Fault> take_fault(const std::string& target);

    std::filesystem::path certificate_dir_;
    BannerCatalog catalog_;
    std::deque<Fault> faults_;
    std::uint16_t listening_port_ = 0;
    ServerIdentity identity_ = ServerIdentity::service;
    std::vector<RecordedRequest> requests_;
    std::size_t connections_ = 0;
    QSslCertificate service_certificate_, wrong_host_certificate_, untrusted_certificate_;
    QSslKey service_key_, wrong_host_key_, untrusted_key_;
};

// The stand-in's test CA, which signed the service and wrong-host certificates.
std::filesystem::path stand_in_ca_certificate(const std::filesystem::path& certificate_dir);

} // namespace kelvara::standin
