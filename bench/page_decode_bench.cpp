// Decoding a render-revisions page against merely parsing the same bytes with a general JSON library.
// The decoder reads the top level and re-reads each nested object from its captured text, checks every
// rule and builds the revision; it should still take well under half of the general parse.

#include "documents/revision_page.hpp"
#include "support/goals.hpp"
#include "test_fixtures/page_documents.hpp"

#include <benchmark/benchmark.h>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <limits>
#include <string>

namespace {

const std::string kBanner = "spring-festival_2024";
constexpr std::uint64_t kAfter = 1048575;

const std::string kModified = kelvara::test::modified_page(kBanner, kAfter + 1);
const std::string kAvailableEmpty = kelvara::test::available_empty_page(kBanner);

void BM_DecodePage(benchmark::State& state, const std::string& body) {
    for (auto _ : state) {
        auto page = kelvara::decode_revision_page(body, kBanner, kAfter);
        benchmark::DoNotOptimize(page);
    }
}

void BM_JsonLibParse(benchmark::State& state, const std::string& body) {
    for (auto _ : state) {
        auto document = nlohmann::json::parse(body);
        benchmark::DoNotOptimize(document);
    }
}

constexpr int kRepetitions = 9;
BENCHMARK_CAPTURE(BM_DecodePage, modified, kModified)->Repetitions(kRepetitions);
BENCHMARK_CAPTURE(BM_JsonLibParse, modified, kModified)->Repetitions(kRepetitions);
BENCHMARK_CAPTURE(BM_DecodePage, available_empty, kAvailableEmpty)->Repetitions(kRepetitions);
BENCHMARK_CAPTURE(BM_JsonLibParse, available_empty, kAvailableEmpty)->Repetitions(kRepetitions);

double ratio(const kelvara::bench::CollectingReporter& reporter, const std::string& document) {
    const std::string suffix = "/" + document + "/repeats:" + std::to_string(kRepetitions);
    const double ours = reporter.median_ns("BM_DecodePage" + suffix);
    const double theirs = reporter.median_ns("BM_JsonLibParse" + suffix);
    // A benchmark that did not run (filtered out, say) must not pass the goal.
    return ours > 0 && theirs > 0 ? ours / theirs : std::numeric_limits<double>::quiet_NaN();
}

} // namespace

int main(int argc, char** argv) {
    // Both documents must decode as intended, or the timings would measure an early rejection.
    if (kelvara::decode_revision_page(kModified, kBanner, kAfter).outcome != kelvara::MetadataOutcomeKind::modified ||
        kelvara::decode_revision_page(kAvailableEmpty, kBanner, kAfter).outcome !=
            kelvara::MetadataOutcomeKind::not_modified) {
        std::fprintf(stderr, "page_decode_bench: the sample documents no longer decode\n");
        return 1;
    }
    kelvara::bench::CollectingReporter reporter;
    kelvara::bench::run_all(argc, argv, reporter);
    std::printf("page_decode available_empty ratio %.3f (not a goal)\n", ratio(reporter, "available_empty"));
    kelvara::bench::report_goal("page_decode_vs_json_lib", ratio(reporter, "modified"), "<=", 0.5);
    return 0;
}
