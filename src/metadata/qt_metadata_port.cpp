#include "metadata/qt_metadata_port.hpp"

#include "core/shared_instance.hpp"
#include "metadata/http_requests.hpp"
#include "metadata/outcome_classification.hpp"

#include <QtCore/QCoreApplication>
#include <QtCore/QMetaObject>
#include <QtCore/QThread>
#include <QtCore/QTimer>
#include <QtCore/QUrl>
#include <QtNetwork/QNetworkAccessManager>
#include <QtNetwork/QNetworkReply>
#include <QtNetwork/QNetworkRequest>

#include <algorithm>
#include <climits>

namespace kelvara {

// One reply's body as it arrives, shared by its readyRead and finished handlers.
struct ReplyBuffer {
    QByteArray bytes;
    bool overflowed = false;
};

namespace {

// Appends what the reply has to the buffer without ever holding more than limit + 1 bytes. False once the
// body is known to exceed the limit; a body of exactly the limit is accepted.
bool append_bounded(QNetworkReply& reply, QByteArray& buffer, qint64 limit) {
    if (buffer.size() > limit) {
        return false;
    }
    if (!reply.isOpen()) {
        return true; // aborted: nothing more to read
    }
    const qint64 available = reply.bytesAvailable();
    const qint64 before = buffer.size();
    buffer.append(reply.read(limit - before + 1));
    if (available > limit - before) {
        return false;
    }
    return buffer.size() <= limit;
}

// Redirects are not followed, and the manager's cookie jar is neither read nor filled: a cookie the service
// sets must never come back with a later request.
QNetworkRequest make_request(const std::string& url) {
    QNetworkRequest request(QUrl(QString::fromStdString(url), QUrl::TolerantMode));
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, int(QNetworkRequest::ManualRedirectPolicy));
    request.setAttribute(QNetworkRequest::CookieLoadControlAttribute, int(QNetworkRequest::Manual));
    request.setAttribute(QNetworkRequest::CookieSaveControlAttribute, int(QNetworkRequest::Manual));
    return request;
}

// Aborts the reply when the exchange has taken its whole time, counted from sending. The timer dies with
// the reply.
void start_exchange_timer(QNetworkReply* reply, std::uint64_t timeout_ms) {
    auto* timer = new QTimer(reply);
    timer->setSingleShot(true);
    QObject::connect(timer, &QTimer::timeout, reply, &QNetworkReply::abort);
    timer->start(static_cast<int>(std::min<std::uint64_t>(timeout_ms, INT_MAX)));
}

// The read step of both kinds of reply: a body over its limit is cut off by aborting the reply from the
// event loop (aborting inside readyRead itself is not safe).
void read_bounded(QNetworkReply* reply, ReplyBuffer& buffer, qint64 limit) {
    if (!append_bounded(*reply, buffer.bytes, limit)) {
        buffer.overflowed = true;
        QMetaObject::invokeMethod(
            reply, [reply] { reply->abort(); }, Qt::QueuedConnection);
    }
}

// The fields both kinds of view read off a finished reply in the same way.
template <typename View>
View common_view(const QNetworkReply& reply) {
    View view;
    view.status = reply.attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    view.url = reply.url().toEncoded(QUrl::FullyEncoded).toStdString();
    view.content_type = reply.header(QNetworkRequest::ContentTypeHeader).toString().toStdString();
    view.redirected = reply.attribute(QNetworkRequest::RedirectionTargetAttribute).isValid();
    return view;
}

DiscoveryResponseView discovery_view(const QNetworkReply& reply, const ReplyBuffer& buffer) {
    auto view = common_view<DiscoveryResponseView>(reply);
    view.body = buffer.bytes.toStdString();
    view.reply_no_error = reply.error() == QNetworkReply::NoError;
    const QByteArray etag = reply.rawHeader("ETag");
    if (!etag.isEmpty()) {
        view.etag = etag.toStdString();
    }
    return view;
}

ImageResponseView image_view(const QNetworkReply& reply, const ReplyBuffer& buffer) {
    auto view = common_view<ImageResponseView>(reply);
    if (!buffer.overflowed && reply.error() != QNetworkReply::OperationCanceledError) {
        view.body.assign(buffer.bytes.begin(), buffer.bytes.end());
    }
    return view;
}

// A host may create sources on a thread that runs no Qt event loop (a remote-control plug-in's, for one):
// their network objects live on the application's thread all the same, whose event loop always runs.
void to_application_thread(QObject& object) {
    if (const QCoreApplication* application = QCoreApplication::instance()) {
        object.moveToThread(application->thread());
    }
}

// The module's one manager, made with the first adapter and gone with the last.
std::shared_ptr<QNetworkAccessManager> shared_manager() {
    return shared_instance<QNetworkAccessManager>([] {
        auto* manager = new QNetworkAccessManager;
        to_application_thread(*manager);
        // The last adapter goes on the manager's thread; were it to go elsewhere, the manager goes there later.
        return std::shared_ptr<QNetworkAccessManager>(manager, [](QNetworkAccessManager* last) {
            last->thread() == QThread::currentThread() ? delete last : last->deleteLater();
        });
    });
}

} // namespace

bool QtMetadataPort::SharedState::is_closed() {
    std::lock_guard lock(mutex);
    return closed;
}

void QtMetadataPort::SharedState::deliver(std::uint64_t request_id, MetadataHttpOutcome outcome) {
    {
        std::lock_guard lock(mutex);
        if (closed) {
            return;
        }
        completed.push_back(CompletedOutcome{request_id, std::move(outcome)});
        waiting.store(true, std::memory_order_release);
    }
    if (on_completed) {
        on_completed(); // on the adapter's thread, as shutdown(): it cannot have closed the queue meanwhile
    }
}

QtMetadataPort::QtMetadataPort(std::function<void()> on_completed)
    : manager_(shared_manager()), shared_(std::make_shared<SharedState>()) {
    to_application_thread(*this);
    shared_->on_completed = std::move(on_completed);
}

QtMetadataPort::~QtMetadataPort() {
    shutdown();
    // Then the shared state is released, and the manager with the last adapter (member order).
}

void QtMetadataPort::start_discovery(std::uint64_t request_id, const DiscoveryRequest& request) {
    const std::shared_ptr<SharedState> shared = shared_;
    if (shared->is_closed()) {
        return;
    }
    // Always through the event loop, also on the adapter's own thread: the caller holds the source lock.
    QMetaObject::invokeMethod(
        this, [this, request_id, request] { start_request(request_id, request); }, Qt::QueuedConnection);
}

std::optional<CompletedOutcome> QtMetadataPort::take_completed() {
    std::lock_guard lock(shared_->mutex);
    if (shared_->completed.empty()) {
        return std::nullopt;
    }
    CompletedOutcome oldest = std::move(shared_->completed.front());
    shared_->completed.pop_front();
    shared_->waiting.store(!shared_->completed.empty(), std::memory_order_release);
    return oldest;
}

void QtMetadataPort::shutdown() {
    {
        std::lock_guard lock(shared_->mutex);
        shared_->closed = true;
        shared_->completed.clear();
        shared_->waiting.store(false, std::memory_order_release);
    }
    // A finish handler runs inside abort(), finds the queue closed, starts nothing and lets the reply go.
    for (const QPointer<QNetworkReply>& reply : std::exchange(replies_, {})) {
        if (reply) {
            reply->abort();
        }
    }
}

void QtMetadataPort::deliver_outcome(std::uint64_t request_id, MetadataHttpOutcome outcome) {
    shared_->deliver(request_id, std::move(outcome));
}

std::pair<QNetworkReply*, std::shared_ptr<ReplyBuffer>> QtMetadataPort::send(const QNetworkRequest& request,
                                                                             std::uint64_t timeout_ms, qint64 limit) {
    QNetworkReply* reply = manager_->get(request);
    std::erase_if(replies_, [](const QPointer<QNetworkReply>& finished) { return finished.isNull(); });
    replies_.emplace_back(reply);
    start_exchange_timer(reply, timeout_ms);
    auto buffer = std::make_shared<ReplyBuffer>();
    connect(reply, &QNetworkReply::readyRead, this, [reply, buffer, limit] { read_bounded(reply, *buffer, limit); });
    return {reply, buffer};
}

void QtMetadataPort::start_request(std::uint64_t request_id, DiscoveryRequest request) {
    const auto http = build_discovery_http_request(request);
    if (!http) {
        deliver_outcome(request_id, MetadataHttpOutcome{MetadataOutcomeKind::malformed, std::nullopt, std::nullopt});
        return;
    }
    QNetworkRequest network_request = make_request(http->url);
    for (const auto& [name, value] : http->headers) {
        network_request.setRawHeader(QByteArray::fromStdString(name), QByteArray::fromStdString(value));
    }
    const auto limit = static_cast<qint64>(http->max_body_bytes);
    const auto [reply, buffer] = send(network_request, http->timeout_ms, limit);
    connect(reply, &QNetworkReply::finished, this,
            [this, reply, shared = shared_, request_id, request = std::move(request), buffer, limit]() mutable {
                reply->deleteLater();
                if (shared->is_closed()) {
                    return; // shut down: nothing is queued and no image is fetched
                }
                if (!append_bounded(*reply, buffer->bytes, limit)) {
                    buffer->overflowed = true;
                }
                MetadataHttpOutcome outcome{MetadataOutcomeKind::network_failure, std::nullopt, std::nullopt};
                if (buffer->overflowed) {
                    outcome.kind = MetadataOutcomeKind::malformed;
                } else if (reply->error() != QNetworkReply::OperationCanceledError) {
                    outcome = classify_discovery_response(discovery_view(*reply, *buffer), request, request.after);
                }
                if (outcome.kind == MetadataOutcomeKind::modified && outcome.revision) {
                    start_image_request(request_id, std::move(request), std::move(outcome));
                } else {
                    shared->deliver(request_id, std::move(outcome));
                }
            });
}

void QtMetadataPort::start_image_request(std::uint64_t request_id, DiscoveryRequest request,
                                         MetadataHttpOutcome outcome) {
    const auto http = build_image_http_request(*outcome.revision, request.timeout_ms);
    if (!http) {
        deliver_outcome(request_id, MetadataHttpOutcome{MetadataOutcomeKind::malformed, std::nullopt, std::nullopt});
        return;
    }
    QNetworkRequest network_request = make_request(http->url);
    network_request.setRawHeader("Accept", "image/png");
    const auto limit = static_cast<qint64>(http->max_body_bytes);
    const auto [reply, buffer] = send(network_request, http->timeout_ms, limit);
    connect(reply, &QNetworkReply::finished, this,
            [reply, shared = shared_, request_id, buffer, limit, outcome = std::move(outcome)]() mutable {
                reply->deleteLater();
                if (shared->is_closed()) {
                    return;
                }
                if (!append_bounded(*reply, buffer->bytes, limit)) {
                    buffer->overflowed = true;
                }
                const bool no_error = reply->error() == QNetworkReply::NoError;
                shared->deliver(request_id,
                                apply_image_response(std::move(outcome), image_view(*reply, *buffer), no_error));
            });
}

} // namespace kelvara
