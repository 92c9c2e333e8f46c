#pragma once

#include "core/ports.hpp"
#include "core/records.hpp"

#include <QtCore/QObject>
#include <QtCore/QPointer>
#include <QtNetwork/QNetworkReply>

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

class QNetworkAccessManager;
class QNetworkRequest;

namespace kelvara {

// A reply's body as it arrives (defined with the adapter).
struct ReplyBuffer;

// The engine's MetadataPort over Qt Network. Each discovery exchange (the render-revisions request and, for
// a new revision, its image download) ends in exactly one outcome, queued first in, first out for the
// source's tick. The adapter lives on the application's thread (the host's UI thread), whichever thread
// constructs it; start_discovery and take_completed may be called from any thread.
//
// All adapters share one QNetworkAccessManager, on the same thread (Qt's network stack, with its connection
// cache and its thread, is meant to exist once per application); it goes with the last of them.
//
// No cookies at all: none is stored from a reply or sent with a request. No cache, proxy or TLS settings of
// its own: the host process decides those, and TLS errors are never ignored.
class QtMetadataPort : public QObject, public MetadataPort {
public:
    // `on_completed` runs on the adapter's thread once an exchange has finished and waits to be taken.
    explicit QtMetadataPort(std::function<void()> on_completed = {});
    ~QtMetadataPort() override;
    QtMetadataPort(const QtMetadataPort&) = delete;
    QtMetadataPort& operator=(const QtMetadataPort&) = delete;

    // Returns at once; the exchange starts from the adapter thread's event loop. Does nothing once shut down.
    void start_discovery(std::uint64_t request_id, const DiscoveryRequest& request) override;

    // The oldest finished exchange, if any.
    std::optional<CompletedOutcome> take_completed();
    // Whether an exchange has finished and waits to be taken: one load, for a tick with nothing to do.
    bool has_completed() const noexcept { return shared_->waiting.load(std::memory_order_acquire); }

    // Closes the queue and aborts every exchange in flight; later outcomes are dropped. Idempotent; must run
    // on the adapter's thread.
    void shutdown();

private:
    // The queue outlives the adapter while a reply's finish handler still holds it, so a handler that runs
    // during teardown never touches a destroyed adapter.
    struct SharedState {
        std::mutex mutex;
        std::deque<CompletedOutcome> completed;
        std::atomic<bool> waiting{false}; // !completed.empty(), readable without the mutex
        bool closed = false;
        std::function<void()> on_completed;

        bool is_closed();
        void deliver(std::uint64_t request_id, MetadataHttpOutcome outcome);
    };

    // Sends a GET with the exchange's time-out and a body bound; the buffer fills as the body arrives.
    std::pair<QNetworkReply*, std::shared_ptr<ReplyBuffer>> send(const QNetworkRequest& request,
                                                                 std::uint64_t timeout_ms, qint64 limit);
    void start_request(std::uint64_t request_id, DiscoveryRequest request);
    void start_image_request(std::uint64_t request_id, DiscoveryRequest request, MetadataHttpOutcome outcome);
    void deliver_outcome(std::uint64_t request_id, MetadataHttpOutcome outcome);

    std::shared_ptr<QNetworkAccessManager> manager_;
    std::vector<QPointer<QNetworkReply>> replies_; // this adapter's, which shutdown() aborts
    std::shared_ptr<SharedState> shared_;
};

} // namespace kelvara
