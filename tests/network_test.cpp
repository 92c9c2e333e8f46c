// The network adapter against the stand-in service over real TLS on loopback, under the production origin.

#include "metadata/qt_metadata_port.hpp"
#include "metadata/service_urls.hpp"
#include "stand_in_service.hpp"
#include "test_fixtures/page_documents.hpp"
#include "test_fixtures/png_files.hpp"

#include <QtCore/QCoreApplication>
#include <QtCore/QElapsedTimer>
#include <QtTest/QTest>
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <thread>

namespace kelvara {

void PrintTo(MetadataOutcomeKind kind, std::ostream* out) {
    *out << outcome_kind_name(kind);
}

namespace {

using standin::Delivery;
using standin::Fault;
using standin::HttpAnswer;
using Kind = MetadataOutcomeKind;

standin::StandInService& service() {
    return standin::StandInService::shared(KELVARA_STAND_IN_CERTIFICATES);
}

std::string page_target(const std::string& banner) {
    return render_revisions_url(banner, 0).substr(kServiceOrigin.size());
}
std::string image_target(const std::string& banner) {
    return render_image_url(banner, 1).substr(kServiceOrigin.size());
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

const std::string kPngType = "image/png";
const std::string kSmallPng = png_of_size(200);

class NetworkTest : public testing::Test {
protected:
    void SetUp() override {
        service().clear_faults();
        service().set_identity(standin::ServerIdentity::service);
        service().set_offline(false);
        first_request_ = service().requests().size(); // each test counts its own requests
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

    // The requests this test sent, to `target` or to anything.
    std::vector<standin::RecordedRequest> sent(const std::string& target = {}) const {
        std::vector<standin::RecordedRequest> found;
        for (std::size_t i = first_request_; i < service().requests().size(); ++i) {
            if (target.empty() || service().requests()[i].target == target) {
                found.push_back(service().requests()[i]);
            }
        }
        return found;
    }

    // Whatever the adapter queues until `count` outcomes arrived (or `timeout_ms` passed), and a little after:
    // a second outcome for the same exchange would show up then.
    std::vector<CompletedOutcome> collect(std::size_t count = 1, int timeout_ms = 15000) {
        std::vector<CompletedOutcome> taken;
        const auto take = [&] {
            while (auto outcome = port_->take_completed()) {
                taken.push_back(std::move(*outcome));
            }
            return taken.size() >= count;
        };
        if (QTest::qWaitFor(take, timeout_ms)) {
            QTest::qWait(50);
            take();
        }
        return taken;
    }

    std::vector<CompletedOutcome> exchange(std::uint64_t id, const DiscoveryRequest& request, int timeout_ms = 15000) {
        port_->start_discovery(id, request);
        return collect(1, timeout_ms);
    }

    std::unique_ptr<QtMetadataPort> port_;
    std::size_t first_request_ = 0;
};

HttpAnswer page_answer(std::string body, std::string type = "application/json") {
    return HttpAnswer{200, std::move(type), {{"ETag", "\"e\""}}, std::move(body)};
}
HttpAnswer status(int code, std::vector<std::pair<std::string, std::string>> headers = {}) {
    return HttpAnswer{code, "text/plain", std::move(headers), ""};
}
HttpAnswer png_answer(std::string body, std::string type = kPngType) {
    return HttpAnswer{200, std::move(type), {}, std::move(body)};
}

// One exchange that must not deliver a revision; the fault is on the page, or (`image`) on the image of the
// revision 1 that the page announces. The name is also the banner ID.
struct FaultCase {
    const char* name;
    HttpAnswer answer = {};
    Kind kind;
    Delivery delivery = Delivery::whole;
    bool image = false;
    std::optional<std::string> stored_tag = std::nullopt; // the engine's tag for the request
    std::string sent_tag = "";                            // If-None-Match as sent
    std::optional<std::string> etag = std::nullopt;       // the outcome's tag
    standin::ServerIdentity identity = standin::ServerIdentity::service;
    bool offline = false;
};

FaultCase page(const char* name, HttpAnswer answer, Kind kind, Delivery delivery = Delivery::whole) {
    return {name, std::move(answer), kind, delivery};
}
FaultCase image(const char* name, HttpAnswer answer, Kind kind, Delivery delivery = Delivery::whole) {
    return {name, std::move(answer), kind, delivery, true};
}
FaultCase sized_page(const char* name, std::size_t size, Kind kind, Delivery delivery = Delivery::whole) {
    return page(name, page_answer(padded(test::available_empty_page(name), size)), kind, delivery);
}
FaultCase cut_page(const char* name, Delivery delivery) { // what arrived parses and announces revision 1
    return page(name, page_answer(padded(test::modified_page(name, 1), 4096)), Kind::network_failure, delivery);
}

// One row per way the adapter reads a reply; what each status, tag or document means is the classification's
// own table (outcome_classification_test), and which tag is sent the requests' (requests_test).
const FaultCase kFaultCases[] = {
    page("empty_page", page_answer(test::available_empty_page("empty_page")), Kind::not_modified),
    page("json_with_charset",
         page_answer(test::available_empty_page("json_with_charset"), "application/json; charset=utf-8"),
         Kind::malformed),
    sized_page("body_16384", 16384, Kind::not_modified),
    sized_page("body_16384_trickled", 16384, Kind::not_modified, Delivery::trickle),
    sized_page("body_16385", 16385, Kind::malformed),
    sized_page("body_16385_trickled", 16385, Kind::malformed, Delivery::trickle),
    {"conditional_304", status(304, {{"ETag", "\"next\""}}), Kind::not_modified, Delivery::whole, false, "\"prev\"",
     "\"prev\"", "\"next\""},
    page("status_404", status(404), Kind::not_found),
    page("redirect_301", status(301, {{"Location", render_revisions_url("elsewhere", 0)}}), Kind::malformed),
    page("reset", status(200), Kind::network_failure, Delivery::reset),
    cut_page("page_cut_short", Delivery::cut_short),
    cut_page("page_chunked_cut_short", Delivery::chunked_cut_short),
    page("silent", {}, Kind::network_failure, Delivery::silence),
    {.name = "untrusted_certificate", .kind = Kind::network_failure, .identity = standin::ServerIdentity::untrusted},
    {.name = "wrong_host_name", .kind = Kind::network_failure, .identity = standin::ServerIdentity::wrong_host},
    {.name = "offline", .kind = Kind::network_failure, .offline = true},
    image("image_404", status(404), Kind::not_found),
    image("image_301", status(301, {{"Location", render_image_url("image_301", 2)}}), Kind::malformed),
    image("image_not_png", png_answer("not a png"), Kind::malformed),
    image("image_reset", status(200), Kind::network_failure, Delivery::reset),
    // Half of the PNG: its header, and so its size, are intact.
    image("image_cut_short", png_answer(kSmallPng), Kind::network_failure, Delivery::cut_short),
    image("image_chunked_cut_short", png_answer(kSmallPng), Kind::network_failure, Delivery::chunked_cut_short),
    image("image_silent", {}, Kind::network_failure, Delivery::silence),
};

class FaultTest : public NetworkTest, public testing::WithParamInterface<FaultCase> {};

TEST_P(FaultTest, EndsInOneOutcomeWithoutRevision) {
    const FaultCase& c = GetParam();
    publish(c.name, kSmallPng); // a page fault that passed as an answer would fetch this image
    // Every request of a case meets the fault: Qt may send a request again after a reset connection.
    service().add_fault(Fault{c.image ? image_target(c.name) : page_target(c.name), 0, c.answer, c.delivery, 512, 2});
    service().set_identity(c.identity);
    service().set_offline(c.offline);
    const int timeout_ms = c.delivery == Delivery::silence ? 1000 : 10000;
    QElapsedTimer clock;
    clock.start();

    const auto taken = exchange(42, request(c.name, timeout_ms, c.stored_tag));
    ASSERT_EQ(taken.size(), 1u);
    EXPECT_EQ(taken[0].request_id, 42u);
    EXPECT_EQ(taken[0].outcome.kind, c.kind);
    EXPECT_FALSE(taken[0].outcome.revision);
    EXPECT_EQ(taken[0].outcome.etag, c.etag);
    // Nothing but the page and its image was asked for (redirects are not followed), nothing at all when the
    // connection or TLS failed, and the image only when the page announced it.
    const auto pages = sent(page_target(c.name));
    EXPECT_EQ(sent().size(), pages.size() + sent(image_target(c.name)).size());
    EXPECT_EQ(!pages.empty(), c.identity == standin::ServerIdentity::service && !c.offline);
    EXPECT_EQ(!sent(image_target(c.name)).empty(), c.image);
    if (!pages.empty()) {
        EXPECT_EQ(pages.front().header("If-None-Match"), c.sent_tag);
        EXPECT_EQ(pages.front().header("Accept"), "application/json");
    }
    EXPECT_TRUE(c.delivery != Delivery::silence || clock.elapsed() >= timeout_ms);
}

INSTANTIATE_TEST_SUITE_P(Network, FaultTest, testing::ValuesIn(kFaultCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(NetworkTest, ModifiedIsDeliveredOnceAfterItsImageThenA304KeepsTheTagButNoCookie) {
    test::PngPlan plan{.width = 80, .height = 80};
    // Incompressible: trickled in 1 KiB pieces it takes a while, and it is larger than a page may be (the
    // image's own limit applies; the limit's edge is the page rows' to check).
    test::fill_random(plan, 7);
    const std::vector<std::uint8_t> bytes = test::encode_png(plan);
    const std::string png(bytes.begin(), bytes.end());
    ASSERT_GT(png.size(), 16384u);
    publish("fresh", png);
    const HttpAnswer image{200, kPngType, {{"Set-Cookie", "session=s1; Path=/"}}, png};
    service().add_fault(Fault{image_target("fresh"), 1, image, Delivery::trickle, 1024, 20});

    port_->start_discovery(1, request("fresh"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return sent(image_target("fresh")).size() == 1; }, 15000));
    EXPECT_EQ(sent(image_target("fresh")).front().header("Accept"), kPngType);
    EXPECT_FALSE(port_->take_completed()) << "delivered before its image finished";
    const auto taken = collect();
    ASSERT_EQ(taken.size(), 1u);
    ASSERT_EQ(taken[0].outcome.kind, Kind::modified);
    const RenderRevision& revision = *taken[0].outcome.revision;
    EXPECT_EQ(revision.render_revision * 1000000 + revision.width * 1000 + revision.height, 1080080u);
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), revision.image_bytes.begin(), revision.image_bytes.end()));
    const std::string tag = standin::BannerCatalog::page_entity_tag("fresh", *service().catalog().find("fresh"), 0);
    EXPECT_EQ(taken[0].outcome.etag, tag);

    const auto again = exchange(2, request("fresh", 10000, tag));
    ASSERT_EQ(again.size(), 1u);
    EXPECT_EQ(again[0].outcome.kind, Kind::not_modified);
    EXPECT_EQ(again[0].outcome.etag, tag);
    EXPECT_EQ(sent(image_target("fresh")).size(), 1u);
    EXPECT_EQ(sent().back().header("Cookie"), "") << "the image's cookie was kept";
}

TEST_F(NetworkTest, UnbuildableRequestsAreMalformedAfterOneTurnOldestFirstWithoutConnecting) {
    const std::size_t connections = service().connection_count();
    port_->start_discovery(2, request("bad id", 1000)); // why each is refused is the requests' table
    port_->start_discovery(1, request("fine", 0));
    EXPECT_FALSE(port_->take_completed()) << "never delivered from inside start_discovery";
    QCoreApplication::processEvents();
    for (const std::uint64_t id : {2u, 1u}) {
        const auto completed = port_->take_completed();
        ASSERT_TRUE(completed);
        EXPECT_EQ(completed->request_id, id);
        EXPECT_EQ(completed->outcome.kind, Kind::malformed);
        EXPECT_FALSE(completed->outcome.revision || completed->outcome.etag);
    }
    EXPECT_TRUE(collect(1, 200).empty());
    EXPECT_EQ(service().connection_count(), connections);
}

// Shut down before the exchange starts, while its page trickles in, or while its image never comes: nothing
// is queued and nothing more is sent.
TEST_F(NetworkTest, ShutdownQueuesNothingAndSendsNothingMore) {
    for (const int point : {0, 1, 2}) {
        SCOPED_TRACE(point);
        SetUp();
        const std::string banner = "shutdown_" + std::to_string(point);
        publish(banner, kSmallPng);
        const std::string page = standin::BannerCatalog::page_document(banner, *service().catalog().find(banner), 0);
        service().add_fault(Fault{page_target(banner), 1, page_answer(page), Delivery::trickle, 64, 20});
        service().add_fault(Fault{image_target(banner), 0, status(200), Delivery::silence});
        const std::size_t connections = service().connection_count();
        if (point == 0) {
            port_->shutdown();
            port_->shutdown();
        }
        port_->start_discovery(1, request(banner));
        if (point > 0) {
            const std::string in_flight = point == 1 ? page_target(banner) : image_target(banner);
            ASSERT_TRUE(QTest::qWaitFor([&] { return sent(in_flight).size() == 1; }, 15000));
            port_->shutdown();
        }
        EXPECT_TRUE(collect(1, 500).empty()); // the trickled page would be complete by then
        EXPECT_EQ(sent(page_target(banner)).size(), point == 0 ? 0u : 1u);
        EXPECT_EQ(sent(image_target(banner)).size(), point == 2 ? 1u : 0u);
        EXPECT_TRUE(point > 0 || service().connection_count() == connections);
    }
}

// The tick takes outcomes on its own thread while the adapter's thread finishes replies; exchanges are
// started from both threads, finish in any order, and each is delivered once under its own id.
class NetworkThreadTest : public NetworkTest {};

TEST_F(NetworkThreadTest, TakeCompletedFromAnotherThreadWhileRepliesFinish) {
    publish("threaded", kSmallPng);
    constexpr std::size_t kExchanges = 12;
    std::atomic<bool> stop{false};
    std::atomic<std::size_t> count{0};
    std::map<std::uint64_t, Kind> kinds; // the tick thread's until it is joined
    std::thread tick([&] {
        for (std::uint64_t id = 1; id <= kExchanges; id += 2) {
            port_->start_discovery(id, request("threaded"));
        }
        while (!stop) {
            if (auto completed = port_->take_completed()) {
                kinds.emplace(completed->request_id, completed->outcome.kind);
                ++count;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    for (std::uint64_t id = 2; id <= kExchanges; id += 2) {
        port_->start_discovery(id, request("threaded_unknown"));
    }
    const bool all_taken = QTest::qWaitFor([&] { return count == kExchanges; }, 60000);
    stop = true;
    tick.join();
    ASSERT_TRUE(all_taken) << count << " of " << kExchanges;
    ASSERT_EQ(kinds.size(), kExchanges); // a duplicate would leave an id out
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
