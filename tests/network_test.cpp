// The network adapter against the stand-in service over real TLS on loopback, under the production origin.

#include "metadata/qt_metadata_port.hpp"
#include "metadata/service_urls.hpp"
#include "stand_in_service.hpp"
#include "support/page_documents.hpp"
#include "support/png_files.hpp"

#include <QtCore/QCoreApplication>
#include <QtCore/QElapsedTimer>
#include <QtCore/QEventLoop>
#include <QtCore/QTimer>
#include <QtNetwork/QNetworkProxy>
#include <QtNetwork/QSslConfiguration>
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <map>
#include <thread>

namespace kelvara {
namespace {

using standin::Delivery;
using standin::Fault;
using standin::HttpAnswer;
using standin::ServerIdentity;
using Kind = MetadataOutcomeKind;

standin::StandInService& service() {
    static standin::StandInService* instance = [] {
        auto* created = new standin::StandInService(KELVARA_STAND_IN_CERTIFICATES);
        if (!created->listen_on_loopback()) {
            throw std::runtime_error("stand-in service cannot listen");
        }
        // What the host process does to reach the stand-in under the production origin.
        QNetworkProxy::setApplicationProxy(QNetworkProxy(QNetworkProxy::HttpProxy, "127.0.0.1", created->port()));
        QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
        configuration.addCaCertificates(
            QString::fromStdString(standin::stand_in_ca_certificate(KELVARA_STAND_IN_CERTIFICATES).string()));
        QSslConfiguration::setDefaultConfiguration(configuration);
        return created;
    }();
    return *instance;
}

// Runs the event loop until `done` holds or `timeout_ms` passed; false on time-out.
bool spin_until(const std::function<bool()>& done, int timeout_ms) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > timeout_ms) {
            return false;
        }
        QEventLoop loop;
        QTimer::singleShot(5, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return true;
}

void spin_for(int ms) {
    spin_until([] { return false; }, ms);
}

std::string target_of(const std::string& url) {
    return url.substr(kServiceOrigin.size());
}
std::string page_target(const std::string& banner) {
    return target_of(render_revisions_url(banner, 0));
}
std::string image_target(const std::string& banner) {
    return target_of(render_image_url(banner, 1));
}

std::size_t requests_to(const std::string& target) {
    return std::count_if(service().requests().begin(), service().requests().end(),
                         [&](const auto& request) { return request.target == target; });
}

// A valid PNG of exactly `total` bytes: a small image with a private ancillary chunk of padding after IHDR.
std::string png_of_size(std::size_t total) {
    const std::vector<std::uint8_t> image = test::encode_rgba_png(3, 2, std::vector<std::uint8_t>(24, 0x80));
    const std::vector<std::uint8_t> padding(total - image.size() - 12); // a chunk adds length, type and CRC
    const std::vector<std::uint8_t> png = test::with_chunk_after_header(image, "kpAd", padding);
    return {png.begin(), png.end()};
}

std::string padded(std::string text, std::size_t size) {
    text.resize(size, ' ');
    return text;
}

class NetworkTest : public testing::Test {
protected:
    void SetUp() override {
        service().clear_faults();
        service().set_identity(ServerIdentity::service);
        service().set_offline(false);
        port_ = std::make_unique<QtMetadataPort>();
    }

    static DiscoveryRequest request(const std::string& banner, std::uint64_t timeout_ms = 10000,
                                    std::optional<std::string> etag = std::nullopt) {
        return DiscoveryRequest{banner, std::move(etag), timeout_ms, 0};
    }

    // A banner whose revision 1 is the given PNG.
    static void publish(const std::string& banner, std::string png) {
        standin::StandInBanner published;
        published.revisions.push_back({1, 10, true, false, false, {png.begin(), png.end()}});
        service().catalog().set_banner(banner, std::move(published));
    }

    // Every fault of a case holds for all its requests: Qt may resend a request after a reset connection.
    static void fail(const std::string& target, HttpAnswer answer, Delivery delivery = Delivery::whole) {
        service().add_fault(Fault{target, 0, std::move(answer), delivery, 512, 2});
    }

    // Whatever the adapter queues until `count` outcomes arrived (or `timeout_ms` passed), and a little after.
    std::vector<CompletedOutcome> collect(std::size_t count = 1, int timeout_ms = 15000) {
        std::vector<CompletedOutcome> taken;
        const auto take = [&] {
            while (auto outcome = port_->take_completed()) {
                taken.push_back(std::move(*outcome));
            }
            return taken.size() >= count;
        };
        spin_until(take, timeout_ms);
        spin_for(50); // a second outcome for the same exchange would show up here
        take();
        return taken;
    }

    std::vector<CompletedOutcome> exchange(std::uint64_t id, const DiscoveryRequest& sent, int timeout_ms = 15000) {
        port_->start_discovery(id, sent);
        return collect(1, timeout_ms);
    }

    std::unique_ptr<QtMetadataPort> port_;
};

const std::string kPngType = "image/png";
const std::string kJson = "application/json";
const std::string kSmallPng = png_of_size(200);

HttpAnswer page_answer(std::string body, std::string type = kJson) {
    return HttpAnswer{200, std::move(type), {{"ETag", "\"e\""}}, std::move(body)};
}
HttpAnswer sized_page(const std::string& banner, std::size_t size) {
    return page_answer(padded(test::available_empty_page(banner), size));
}
HttpAnswer status_answer(int status, std::vector<std::pair<std::string, std::string>> headers = {}) {
    return HttpAnswer{status, "text/plain", std::move(headers), ""};
}

enum class Server { normal, untrusted, wrong_host, offline };

// One exchange that must not deliver a revision. `image`: the page announces revision 1 and the fault is on
// its image; otherwise the fault is on the page.
struct FaultCase {
    const char* name; // also the banner ID: the service's record tells the cases apart
    HttpAnswer answer;
    Kind kind;
    Delivery delivery = Delivery::whole;
    bool image = false;
    std::optional<std::string> request_etag = std::nullopt;
    std::optional<std::string> etag = std::nullopt;
    int timeout_ms = 10000;
    Server server = Server::normal;
};

void PrintTo(const FaultCase& c, std::ostream* out) {
    *out << c.name;
}

const FaultCase kFaultCases[] = {
    {"empty_page", page_answer(test::available_empty_page("empty_page")), Kind::not_modified},
    {"suspended", page_answer(test::json_object(test::page_members("suspended", "[]", "suspended", false))),
     Kind::moderated},
    {"broken_json", page_answer("{\"schemaVersion\":2"), Kind::malformed},
    {"json_with_charset",
     page_answer(test::available_empty_page("json_with_charset"), "application/json; charset=utf-8"), Kind::malformed},
    {"body_16384", sized_page("body_16384", 16384), Kind::not_modified},
    {"body_16384_trickled", sized_page("body_16384_trickled", 16384), Kind::not_modified, Delivery::trickle},
    {"body_16385", sized_page("body_16385", 16385), Kind::malformed},
    {"body_16385_trickled", sized_page("body_16385_trickled", 16385), Kind::malformed, Delivery::trickle},
    {.name = "conditional_304",
     .answer = status_answer(304, {{"ETag", "\"next\""}}),
     .kind = Kind::not_modified,
     .request_etag = "\"prev\"",
     .etag = "\"next\""},
    {.name = "conditional_304_without_tag",
     .answer = status_answer(304),
     .kind = Kind::not_modified,
     .request_etag = "\"prev\""},
    {"unconditional_304", status_answer(304, {{"ETag", "\"next\""}}), Kind::malformed},
    {.name = "invalid_tag_304", .answer = status_answer(304), .kind = Kind::malformed, .request_etag = "unquoted"},
    {"status_403", status_answer(403), Kind::forbidden},
    {"status_404", status_answer(404), Kind::not_found},
    {"status_410", status_answer(410), Kind::gone},
    {"redirect_301", status_answer(301, {{"Location", render_revisions_url("elsewhere", 0)}}), Kind::malformed},
    {"status_500", status_answer(500), Kind::network_failure},
    {"status_503", status_answer(503), Kind::network_failure},
    {"status_429", status_answer(429), Kind::network_failure},
    {"status_451", status_answer(451), Kind::network_failure},
    {"reset", status_answer(200), Kind::network_failure, Delivery::reset},
    // Cut off in its padding: what arrived parses and announces revision 1, but the reply ended in an error.
    {"page_cut_short", page_answer(padded(test::modified_page("page_cut_short", 1), 4096)), Kind::network_failure,
     Delivery::cut_short},
    {"page_chunked_cut_short", page_answer(padded(test::modified_page("page_chunked_cut_short", 1), 4096)),
     Kind::network_failure, Delivery::chunked_cut_short},
    {.name = "silent", .answer = {}, .kind = Kind::network_failure, .delivery = Delivery::silence, .timeout_ms = 1000},
    {.name = "untrusted_certificate", .answer = {}, .kind = Kind::network_failure, .server = Server::untrusted},
    {.name = "wrong_host_name", .answer = {}, .kind = Kind::network_failure, .server = Server::wrong_host},
    {.name = "offline", .answer = {}, .kind = Kind::network_failure, .server = Server::offline},
    {"image_403", status_answer(403), Kind::forbidden, Delivery::whole, true},
    {"image_404", status_answer(404), Kind::not_found, Delivery::whole, true},
    {"image_410", status_answer(410), Kind::gone, Delivery::whole, true},
    {"image_500", status_answer(500), Kind::network_failure, Delivery::whole, true},
    {"image_301", status_answer(301, {{"Location", render_image_url("image_301", 2)}}), Kind::malformed,
     Delivery::whole, true},
    {"image_as_text", HttpAnswer{200, "text/plain", {}, kSmallPng}, Kind::malformed, Delivery::whole, true},
    {"image_not_png", HttpAnswer{200, kPngType, {}, "not a png"}, Kind::malformed, Delivery::whole, true},
    {"image_too_wide", HttpAnswer{200, kPngType, {}, std::string(kSmallPng).replace(16, 4, "\0\0\x20\x01", 4)},
     Kind::malformed, Delivery::whole, true},
    {"image_reset", status_answer(200), Kind::network_failure, Delivery::reset, true},
    // Half of the PNG: its header, and so its size, are intact.
    {"image_cut_short", HttpAnswer{200, kPngType, {}, kSmallPng}, Kind::network_failure, Delivery::cut_short, true},
    {"image_chunked_cut_short", HttpAnswer{200, kPngType, {}, kSmallPng}, Kind::network_failure,
     Delivery::chunked_cut_short, true},
    {.name = "image_silent",
     .answer = {},
     .kind = Kind::network_failure,
     .delivery = Delivery::silence,
     .image = true,
     .timeout_ms = 1000},
};

class FaultTest : public NetworkTest, public testing::WithParamInterface<FaultCase> {};

TEST_P(FaultTest, EndsInOneOutcomeWithoutRevision) {
    const FaultCase& c = GetParam();
    publish(c.name, kSmallPng); // a page fault that passed as an answer would fetch this image
    fail(c.image ? image_target(c.name) : page_target(c.name), c.answer, c.delivery);
    service().set_identity(c.server == Server::untrusted    ? ServerIdentity::untrusted
                           : c.server == Server::wrong_host ? ServerIdentity::wrong_host
                                                            : ServerIdentity::service);
    service().set_offline(c.server == Server::offline);
    const std::size_t before = service().requests().size();
    QElapsedTimer clock;
    clock.start();

    const auto taken = exchange(42, request(c.name, c.timeout_ms, c.request_etag));
    ASSERT_EQ(taken.size(), 1u);
    EXPECT_EQ(taken[0].request_id, 42u);
    EXPECT_EQ(outcome_kind_name(taken[0].outcome.kind), std::string(outcome_kind_name(c.kind)));
    EXPECT_FALSE(taken[0].outcome.revision);
    EXPECT_EQ(taken[0].outcome.etag, c.etag);
    // Nothing but the page and its image was asked for (redirects are not followed), nothing at all when the
    // connection or TLS failed, and the image only when the page announced it.
    const std::size_t pages = requests_to(page_target(c.name));
    const std::size_t images = requests_to(image_target(c.name));
    EXPECT_EQ(service().requests().size() - before, pages + images);
    EXPECT_EQ(pages > 0, c.server == Server::normal);
    EXPECT_EQ(images > 0, c.image);
    if (pages > 0 && !c.image) { // a tag that is not valid is left out of the request
        const bool valid_tag = c.request_etag && c.request_etag->front() == '"';
        EXPECT_EQ(service().requests().back().header("If-None-Match"), valid_tag ? *c.request_etag : "");
    }
    if (c.delivery == Delivery::silence) {
        EXPECT_GE(clock.elapsed(), c.timeout_ms);
    }
}

INSTANTIATE_TEST_SUITE_P(Network, FaultTest, testing::ValuesIn(kFaultCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(NetworkTest, ImageOfExactly16MiBPassesAndOneByteMoreDoesNot) {
    const std::string exact = png_of_size(16777216);
    publish("image_16mib", exact);
    const auto taken = exchange(1, request("image_16mib", 30000), 40000);
    ASSERT_EQ(taken.size(), 1u);
    ASSERT_EQ(taken[0].outcome.kind, Kind::modified);
    const auto bytes = taken[0].outcome.revision->image_bytes.span();
    EXPECT_TRUE(std::string(bytes.begin(), bytes.end()) == exact);
    EXPECT_EQ(taken[0].outcome.revision->width, 3u);

    publish("image_16mib_plus_1", png_of_size(16777217));
    const auto over = exchange(2, request("image_16mib_plus_1", 30000), 40000);
    ASSERT_EQ(over.size(), 1u);
    // Cut off before its end (network failure) or refused once complete (malformed); never delivered.
    EXPECT_TRUE(over[0].outcome.kind == Kind::malformed || over[0].outcome.kind == Kind::network_failure);
    EXPECT_FALSE(over[0].outcome.revision);
    EXPECT_FALSE(over[0].outcome.etag);
}

TEST_F(NetworkTest, ModifiedIsDeliveredOnceAfterItsImageThenA304KeepsTheTagButNoCookie) {
    test::PngPlan plan;
    plan.width = plan.height = 64;
    test::fill_random(plan, 7); // incompressible: trickled in 1 KiB pieces it takes a while
    const std::vector<std::uint8_t> bytes = test::encode_png(plan);
    const std::string png(bytes.begin(), bytes.end());
    publish("fresh", png);
    const HttpAnswer image{200, kPngType, {{"Set-Cookie", "session=s1; Path=/"}}, png};
    service().add_fault(Fault{image_target("fresh"), 1, image, Delivery::trickle, 1024, 20});

    port_->start_discovery(1, request("fresh"));
    ASSERT_TRUE(spin_until([] { return requests_to(image_target("fresh")) == 1; }, 15000));
    EXPECT_FALSE(port_->take_completed()) << "delivered before its image finished";
    const auto taken = collect();
    ASSERT_EQ(taken.size(), 1u);
    ASSERT_EQ(taken[0].outcome.kind, Kind::modified);
    const RenderRevision& revision = *taken[0].outcome.revision;
    EXPECT_EQ(revision.render_revision, 1u);
    EXPECT_EQ(revision.width, 64u);
    EXPECT_EQ(revision.height, 64u);
    EXPECT_TRUE(
        std::equal(bytes.begin(), bytes.end(), revision.image_bytes.span().begin(), revision.image_bytes.span().end()));
    const std::string tag = standin::BannerCatalog::page_entity_tag("fresh", *service().catalog().find("fresh"), 0);
    EXPECT_EQ(taken[0].outcome.etag, tag);

    const auto again = exchange(2, request("fresh", 10000, tag));
    ASSERT_EQ(again.size(), 1u);
    EXPECT_EQ(again[0].outcome.kind, Kind::not_modified);
    EXPECT_EQ(again[0].outcome.etag, tag);
    EXPECT_EQ(requests_to(image_target("fresh")), 1u);
    EXPECT_EQ(service().requests().back().header("Cookie"), "") << "the image's cookie was kept";
}

TEST_F(NetworkTest, TwoExchangesBackToBackAreBothDeliveredUnderTheirOwnIds) {
    publish("first", kSmallPng);
    port_->start_discovery(11, request("first"));
    port_->start_discovery(12, request("second_unknown"));
    std::map<std::uint64_t, Kind> kinds;
    for (const auto& completed : collect(2)) {
        kinds.emplace(completed.request_id, completed.outcome.kind);
    }
    EXPECT_EQ(kinds, (std::map<std::uint64_t, Kind>{{11, Kind::modified}, {12, Kind::not_found}}));
}

TEST_F(NetworkTest, UnbuildableRequestsAreMalformedAfterOneTurnOldestFirstWithoutConnecting) {
    const std::size_t connections = service().connection_count();
    EXPECT_FALSE(port_->take_completed());
    port_->start_discovery(3, request("bad id", 1000));
    port_->start_discovery(1, request("fine", 0));
    port_->start_discovery(2, request("fine", 30001));
    EXPECT_FALSE(port_->take_completed()) << "never delivered from inside start_discovery";
    QCoreApplication::processEvents();
    for (const std::uint64_t id : {3u, 1u, 2u}) {
        const auto completed = port_->take_completed();
        ASSERT_TRUE(completed);
        EXPECT_EQ(completed->request_id, id);
        EXPECT_EQ(completed->outcome.kind, Kind::malformed);
        EXPECT_FALSE(completed->outcome.revision || completed->outcome.etag);
    }
    EXPECT_TRUE(collect(1, 200).empty());
    EXPECT_EQ(service().connection_count(), connections);
}

// Shut down before the exchange starts, while its page trickles in, or while its image never comes.
enum class ShutdownPoint { before_start, page_in_flight, image_in_flight };

class ShutdownTest : public NetworkTest, public testing::WithParamInterface<ShutdownPoint> {};

TEST_P(ShutdownTest, QueuesNothingAndSendsNothingMore) {
    const ShutdownPoint point = GetParam();
    const std::string banner = "shutdown_" + std::to_string(int(point));
    publish(banner, kSmallPng);
    const standin::StandInBanner& published = *service().catalog().find(banner);
    const HttpAnswer page{200,
                          kJson,
                          {{"ETag", standin::BannerCatalog::page_entity_tag(banner, published, 0)}},
                          standin::BannerCatalog::page_document(banner, published, 0)};
    service().add_fault(Fault{page_target(banner), 1, page, Delivery::trickle, 64, 20});
    fail(image_target(banner), status_answer(200), Delivery::silence);
    const std::size_t connections = service().connection_count();

    if (point == ShutdownPoint::before_start) {
        port_->shutdown();
        port_->shutdown();
    }
    port_->start_discovery(1, request(banner));
    if (point != ShutdownPoint::before_start) {
        const std::string in_flight =
            point == ShutdownPoint::page_in_flight ? page_target(banner) : image_target(banner);
        ASSERT_TRUE(spin_until([&] { return requests_to(in_flight) == 1; }, 15000));
        port_->shutdown();
    }
    EXPECT_TRUE(collect(1, 500).empty()); // the trickled page would be complete by then
    EXPECT_EQ(requests_to(page_target(banner)), point == ShutdownPoint::before_start ? 0u : 1u);
    EXPECT_EQ(requests_to(image_target(banner)), point == ShutdownPoint::image_in_flight ? 1u : 0u);
    if (point == ShutdownPoint::before_start) {
        EXPECT_EQ(service().connection_count(), connections);
    }
}

std::string shutdown_point_name(const testing::TestParamInfo<ShutdownPoint>& info) {
    const char* names[] = {"before_start", "page_in_flight", "image_in_flight"};
    return names[int(info.param)];
}

INSTANTIATE_TEST_SUITE_P(Network, ShutdownTest,
                         testing::Values(ShutdownPoint::before_start, ShutdownPoint::page_in_flight,
                                         ShutdownPoint::image_in_flight),
                         shutdown_point_name);

class NetworkThreadTest : public NetworkTest {};

// The tick takes outcomes on its own thread while the adapter's thread finishes replies; exchanges are
// started from both threads.
TEST_F(NetworkThreadTest, TakeCompletedFromAnotherThreadWhileRepliesFinish) {
    publish("threaded", kSmallPng);
    constexpr std::uint64_t kExchanges = 12;
    std::atomic<bool> stop{false};
    std::atomic<std::uint64_t> count{0};
    std::vector<CompletedOutcome> taken;
    std::thread tick([&] {
        for (std::uint64_t id = 1; id <= kExchanges; id += 2) {
            port_->start_discovery(id, request("threaded"));
        }
        while (!stop) {
            if (auto outcome = port_->take_completed()) {
                taken.push_back(std::move(*outcome));
                ++count;
            } else {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        }
    });
    for (std::uint64_t id = 2; id <= kExchanges; id += 2) {
        port_->start_discovery(id, request("threaded_unknown"));
    }
    const bool all_taken = spin_until([&] { return count == kExchanges; }, 60000);
    stop = true;
    tick.join();
    ASSERT_TRUE(all_taken) << count << " of " << kExchanges;
    std::map<std::uint64_t, Kind> kinds;
    for (const auto& completed : taken) {
        kinds.emplace(completed.request_id, completed.outcome.kind);
    }
    ASSERT_EQ(kinds.size(), kExchanges);
    for (const auto& [id, kind] : kinds) {
        EXPECT_EQ(kind, id % 2 == 1 ? Kind::modified : Kind::not_found) << id;
    }
}

} // namespace
} // namespace kelvara

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QCoreApplication application(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
