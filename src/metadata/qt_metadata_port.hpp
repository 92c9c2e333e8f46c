#pragma once

#include "core/ports.hpp"
#include "core/records.hpp"

#include <QtCore/QObject>

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

class QNetworkAccessManager;
class QNetworkReply;
class QNetworkRequest;

namespace kelvara {

// A reply's body as it arrives (defined with the adapter).
struct ReplyBuffer;

// The engine's MetadataPort over Qt Network. Each discovery exchange (the render-revisions request and, for
// a new revision, its image download) ends in exactly one outcome, queued first in, first out for the
// source's tick. The adapter belongs to the thread that constructs it, which must run a Qt event loop;
// start_discovery and take_completed may be called from any thread.
//
// No cookies at all: none is stored from a reply or sent with a request. No cache, proxy or TLS settings of
// its own: the host process decides those, and TLS errors are never ignored.
class QtMetadataPort : public QObject, public MetadataPort {
public:
    QtMetadataPort();
    ~QtMetadataPort() override;
    QtMetadataPort(const QtMetadataPort&) = delete;
    QtMetadataPort& operator=(const QtMetadataPort&) = delete;

    // Returns at once; the exchange starts from the adapter thread's event loop. Does nothing once shut down.
    void start_discovery(std::uint64_t request_id, const DiscoveryRequest& request) override;

    // The oldest finished exchange, if any.
    std::optional<CompletedOutcome> take_completed();

    // Closes the queue and aborts every exchange in flight; later outcomes are dropped. Idempotent; must run
    // on the adapter's thread.
    void shutdown();

private:
    // The queue outlives the adapter while a reply's finish handler still holds it, so a handler that runs
    // during teardown never touches a destroyed adapter.
    struct SharedState {
        std::mutex mutex;
        std::deque<CompletedOutcome> completed;
        bool closed = false;

        bool is_closed();
        void deliver(std::uint64_t request_id, MetadataHttpOutcome outcome);
    };

    // Sends a GET with the exchange's time-out and a body bound; the buffer fills as the body arrives.
    std::pair<QNetworkReply*, std::shared_ptr<ReplyBuffer>> send(const QNetworkRequest& request,
                                                                 std::uint64_t timeout_ms, qint64 limit);
    void start_request(std::uint64_t request_id, DiscoveryRequest request);
    void start_image_request(std::uint64_t request_id, DiscoveryRequest request, MetadataHttpOutcome outcome);
    void deliver_outcome(std::uint64_t request_id, MetadataHttpOutcome outcome);

    std::unique_ptr<QNetworkAccessManager> manager_;
    std::shared_ptr<SharedState> shared_;
};

} // namespace kelvara
