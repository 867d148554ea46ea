// The JSON reader beside RapidJSON, nlohmann::json and simdjson on the documents the program reads,
// plus the exchange adapters and the server's board writer. Prints one table: the median time per
// document of the repetitions, and each reader's ratio to RapidJSON's DOM.
//
// Google Benchmark's own flags apply (--benchmark_repetitions, --benchmark_min_time,
// --benchmark_filter); a single run without repetitions reports that run instead of a median.
// --default_malloc leaves glibc's allocator as it comes (see keepFreedMemory).
#include <benchmark/benchmark.h>
#include <rapidjson/document.h>
#include <simdjson.h>

#include <malloc.h>
#include <boost/asio/io_context.hpp>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <limits>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/board.h"
#include "json/json.h"
#include "net/exchanges.h"
#include "server/session_hub.h"

namespace vindral {
namespace {

constexpr const char* kSharedDir = VINDRAL_SHARED_DIR;

struct Document {
    std::string name;
    std::string text;
};

// A benchmark program that cannot read its input has nothing to measure.
[[noreturn]] void die(const std::string& message) {
    std::fprintf(stderr, "json_bench: %s\n", message.c_str());
    std::exit(1);
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        die("cannot read " + path);
    }
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The captured answers the fake exchange also serves, one per exchange in catalog order.
constexpr const char* kTickerFixtures[kExchangeCount] = {
    "binance-ticker-24hr-ok-1.json", "bitget-tickers-doc-example.json", "bybit-tickers-ok-1.json",
    "okx-ticker-ok-1-btc-wrapped.json", "coinbase-stats-ok-1-btc-usd.json"};
constexpr const char* kExchangeNames[kExchangeCount] = {"binance", "bitget", "bybit", "okx",
                                                        "coinbase"};

// A hub with one session that selects all fifteen cells, each with a price, one with a Korean
// failure text: the board the server writes for every delivery of a full selection.
class FullBoard {
  public:
    FullBoard()
        : hub_(
              io_.get_executor(), HubOptions{}, [](std::uint32_t) {}, [](std::string_view) {}) {
        const HubReply created = hub_.create(
            R"({"intervalMs":1000,"exchanges":["Binance","Bitget","Bybit","OKX","Coinbase"],)"
            R"("coins":["BTC","ETH","SUI"],"client":"bench"})",
            "bench");
        const std::optional<JsonValue> doc = parseJson(created.body);
        if (created.status != 201 || !doc || !doc->find("sessionId")) {
            die("the hub refused the session: " + created.body);
        }
        id_ = doc->find("sessionId")->text;
        for (std::uint32_t cell = 0; cell < kExchangeCount * kCoinCount; ++cell) {
            FetchOutcome outcome{.ok = true,
                                 .price = 61234.56 + cell * 1111.11,
                                 .open24h = 60987.65 + cell * 999.99,
                                 .latencyMs = 83.25 + cell,
                                 .error = {}};
            if (cell == kExchangeCount * kCoinCount - 1) {
                outcome = FetchOutcome{.ok = false, .error = "HTTP 503 서비스 점검 중"};
            }
            hub_.fetchDone(cell, std::move(outcome));
        }
        io_.restart();
        io_.poll();
    }

    std::string board() {
        std::string body;
        hub_.next(id_, std::nullopt, 0, [&body](HubReply reply) { body = std::move(reply.body); });
        return body;
    }

  private:
    boost::asio::io_context io_;
    SessionHub hub_;
    std::string id_;
};

void checkParses(const Document& doc) {
    std::string error;
    if (!parseJson(doc.text, &error)) {
        die(doc.name + ": " + error);
    }
    rapidjson::Document rj;
    if (rj.Parse(doc.text.data(), doc.text.size()).HasParseError()) {
        die(doc.name + ": RapidJSON refuses it");
    }
}

void registerParsers(const Document& doc) {
    checkParses(doc);
    const std::string& text = doc.text;
    benchmark::RegisterBenchmark((doc.name + "/vindral").c_str(), [&text](benchmark::State& state) {
        for (auto _ : state) {
            std::optional<JsonValue> value = parseJson(text);
            benchmark::DoNotOptimize(value);
        }
    });
    benchmark::RegisterBenchmark((doc.name + "/rapidjson").c_str(),
                                 [&text](benchmark::State& state) {
                                     for (auto _ : state) {
                                         rapidjson::Document value;
                                         value.Parse(text.data(), text.size());
                                         benchmark::DoNotOptimize(value);
                                     }
                                 });
    benchmark::RegisterBenchmark(
        (doc.name + "/nlohmann").c_str(), [&text](benchmark::State& state) {
            for (auto _ : state) {
                nlohmann::json value =
                    nlohmann::json::parse(text.begin(), text.end(), nullptr, false);
                benchmark::DoNotOptimize(value);
            }
        });
    benchmark::RegisterBenchmark((doc.name + "/simdjson").c_str(),
                                 [&text](benchmark::State& state) {
                                     simdjson::dom::parser parser;
                                     const simdjson::padded_string padded(text);
                                     for (auto _ : state) {
                                         simdjson::dom::element value;
                                         benchmark::DoNotOptimize(parser.parse(padded).get(value));
                                         benchmark::DoNotOptimize(value);
                                     }
                                 });
}

// The median of a benchmark's repetitions (or its only run), in ns per document, and the spread
// of the repetitions as a coefficient of variation.
struct Figure {
    double ns = 0.0;
    double cvPct = 0.0;
};

class TableReporter : public benchmark::BenchmarkReporter {
  public:
    bool ReportContext(const Context&) override { return true; }

    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.error_occurred) {
                continue;
            }
            const std::string name = run.run_name.function_name;
            const double ns = run.GetAdjustedCPUTime();
            if (run.run_type == Run::RT_Iteration) {
                singles_[name] = ns;
            } else if (run.aggregate_name == "median") {
                medians_[name] = ns;
            } else if (run.aggregate_name == "cv") {
                // The cv aggregate is a fraction, reported in the time field.
                cvs_[name] = run.cpu_accumulated_time * 100.0 / static_cast<double>(run.iterations);
            }
        }
    }

    std::optional<Figure> figure(const std::string& name) const {
        if (const auto m = medians_.find(name); m != medians_.end()) {
            const auto cv = cvs_.find(name);
            return Figure{m->second, cv == cvs_.end() ? 0.0 : cv->second};
        }
        if (const auto s = singles_.find(name); s != singles_.end()) {
            return Figure{s->second, 0.0};
        }
        return std::nullopt;
    }

  private:
    std::map<std::string, double> singles_;
    std::map<std::string, double> medians_;
    std::map<std::string, double> cvs_;
};

std::string cellText(const std::optional<Figure>& f, const std::optional<Figure>& reference) {
    if (!f) {
        return "-";
    }
    char buffer[64];
    if (reference && reference->ns > 0) {
        std::snprintf(buffer, sizeof buffer, "%.0f (%.2fx)", f->ns, f->ns / reference->ns);
    } else {
        std::snprintf(buffer, sizeof buffer, "%.0f", f->ns);
    }
    return buffer;
}

void printTable(const TableReporter& table, const std::vector<std::string>& documents,
                const std::vector<std::string>& single) {
    const char* kPeers[] = {"vindral", "rapidjson", "nlohmann", "simdjson"};
    std::printf("\nns per document, median of the repetitions (ratio to RapidJSON's DOM)\n\n");
    std::printf("| %-18s | %-18s | %-18s | %-18s | %-18s | %-8s |\n", "document", "vindral",
                "rapidjson", "nlohmann", "simdjson", "max cv");
    std::printf("|%s|%s|%s|%s|%s|%s|\n", std::string(20, '-').c_str(), std::string(20, '-').c_str(),
                std::string(20, '-').c_str(), std::string(20, '-').c_str(),
                std::string(20, '-').c_str(), std::string(10, '-').c_str());
    for (const std::string& doc : documents) {
        const std::optional<Figure> reference = table.figure(doc + "/rapidjson");
        std::printf("| %-18s |", doc.c_str());
        double maxCv = 0.0;
        for (const char* peer : kPeers) {
            const std::optional<Figure> f = table.figure(doc + "/" + peer);
            if (f) {
                maxCv = std::max(maxCv, f->cvPct);
            }
            std::printf(" %-18s |", cellText(f, reference).c_str());
        }
        std::printf(" %6.1f %% |\n", maxCv);
    }
    for (const std::string& name : single) {
        const std::optional<Figure> f = table.figure(name);
        if (!f) {
            continue;
        }
        std::printf("| %-18s | %-18s | %-18s | %-18s | %-18s | %6.1f %% |\n", name.c_str(),
                    cellText(f, std::nullopt).c_str(), "", "", "", f->cvPct);
    }
}

// Keeps memory the process frees for the rest of the run, for every peer alike. By default glibc
// hands the top of its heap back to the system as soon as a document's tree is freed, and serves
// blocks above 128 KiB with a fresh mapping each time, so the next parse faults every page in
// again; on this virtual machine that costs more than parsing canada.json. Those faults belong
// to the loop (nothing else lives in the process between two parses), not to a reader, and they
// weigh with the bytes a reader allocates rather than with its work.
void keepFreedMemory() {
    constexpr int kLargestHeapBlock = 32 * 1024 * 1024;  // glibc's upper limit for the threshold
    constexpr int kNeverTrim = std::numeric_limits<int>::max();
    if (mallopt(M_MMAP_THRESHOLD, kLargestHeapBlock) != 1 ||
        mallopt(M_TRIM_THRESHOLD, kNeverTrim) != 1) {
        die("mallopt refused the thresholds");
    }
}

// Takes --default_malloc out of the arguments; true when it was there.
bool takeDefaultMallocFlag(int& argc, char** argv) {
    const std::string_view flag = "--default_malloc";
    bool found = false;
    int kept = 0;
    for (int i = 0; i < argc; ++i) {
        if (i > 0 && argv[i] == flag) {
            found = true;
        } else {
            argv[kept++] = argv[i];
        }
    }
    argc = kept;
    argv[argc] = nullptr;
    return found;
}

}  // namespace
}  // namespace vindral

int main(int argc, char** argv) {
    using namespace vindral;
    if (!takeDefaultMallocFlag(argc, argv)) {
        keepFreedMemory();
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }

    // Registered benchmarks keep references to these: they live until the end of main.
    std::vector<Document> documents;
    const std::string exchanges = std::string(kSharedDir) + "/fixtures/exchanges/";
    for (std::uint32_t e = 0; e < kExchangeCount; ++e) {
        documents.push_back(
            {std::string("ticker-") + kExchangeNames[e], readFile(exchanges + kTickerFixtures[e])});
    }
    FullBoard board;
    documents.push_back({"board-15-cells", board.board()});
    for (const char* name : {"twitter.json", "canada.json"}) {
        documents.push_back({name, readFile(std::string(kSharedDir) + "/json-bench-data/" + name)});
    }
    documents.shrink_to_fit();

    std::vector<std::string> docNames;
    for (const Document& doc : documents) {
        registerParsers(doc);
        docNames.push_back(doc.name);
    }

    std::vector<std::string> single;
    std::vector<HttpResponse> responses(kExchangeCount);
    for (std::uint32_t e = 0; e < kExchangeCount; ++e) {
        responses[e] =
            HttpResponse{.ok = true, .status = 200, .body = documents[e].text, .error = {}};
        TickerQuote quote;
        std::string error;
        if (!interpretTickerResponse(e, responses[e], quote, error)) {
            die(documents[e].name + ": " + error);
        }
        const std::string name = std::string("adapter-") + kExchangeNames[e];
        single.push_back(name);
        const HttpResponse& response = responses[e];
        benchmark::RegisterBenchmark(name.c_str(), [e, &response](benchmark::State& state) {
            for (auto _ : state) {
                TickerQuote quote;
                std::string error;
                benchmark::DoNotOptimize(interpretTickerResponse(e, response, quote, error));
                benchmark::DoNotOptimize(quote);
            }
        });
    }
    single.push_back("board-writer");
    benchmark::RegisterBenchmark("board-writer", [&board](benchmark::State& state) {
        for (auto _ : state) {
            std::string body = board.board();
            benchmark::DoNotOptimize(body);
        }
    });

    TableReporter table;
    benchmark::RunSpecifiedBenchmarks(&table);
    printTable(table, docNames, single);
    benchmark::Shutdown();
    return 0;
}
