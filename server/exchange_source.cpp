#include <array>

#include "core/board.h"
#include "net/http_client.h"
#include "server/price_source.h"

namespace vindral {
namespace {

constexpr std::size_t kCells = static_cast<std::size_t>(kExchangeCount) * kCoinCount;

class ExchangeSource final : public PriceSource {
  public:
    ExchangeSource(const ExchangeEndpoints& endpoints, const KrwEndpoints& krwEndpoints)
        : krwEndpoints_(krwEndpoints) {
        for (std::uint32_t e = 0; e < kExchangeCount; ++e) {
            for (std::uint32_t c = 0; c < kCoinCount; ++c) {
                tickerUrls_[e * kCoinCount + c] = tickerUrl(e, c, endpoints);
                rateUrls_[e * kCoinCount + c] = usdtRateUrl(e, c, endpoints);
            }
        }
    }

    FetchOutcome fetch(std::uint32_t exchange, std::uint32_t coin) override {
        const std::size_t cell = exchange * kCoinCount + coin;
        FetchOutcome outcome;
        const HttpResponse response = client_.request(L"GET", tickerUrls_[cell], "", 0);
        TickerQuote quote;
        if (!interpretTickerResponse(exchange, response, quote, outcome.error))
            return outcome;
        double latencyMs = response.elapsedMs;
        if (!rateUrls_[cell].empty()) {
            const HttpResponse rateResponse = client_.request(L"GET", rateUrls_[cell], "", 0);
            TickerQuote rate;
            std::string rateError;
            if (!interpretTickerResponse(exchange, rateResponse, rate, rateError)) {
                outcome.error = "USDT 환율 " + rateError;
                return outcome;
            }
            quote = convertUsdQuote(quote, rate);
            latencyMs += rateResponse.elapsedMs;
        }
        outcome.ok = true;
        outcome.price = quote.price;
        outcome.open24h = quote.open24h;
        outcome.latencyMs = latencyMs;
        return outcome;
    }

    std::array<FetchOutcome, kCoinCount> fetchUpbit(const IndexList& coins) override {
        std::array<FetchOutcome, kCoinCount> outcomes;
        const HttpResponse response =
            krwClient_.request(L"GET", upbitTickerUrl(coins, krwEndpoints_), "", 0);
        const UpbitReading reading = interpretUpbitResponse(response, coins);
        for (const std::uint32_t coin : coins) {
            if (coin >= kCoinCount)
                continue;
            FetchOutcome& outcome = outcomes[coin];
            outcome.latencyMs = response.elapsedMs;
            outcome.ok = reading.error[coin].empty();
            outcome.price = reading.priceKrw[coin];
            outcome.error = reading.error[coin];
        }
        return outcomes;
    }

    FxFetch fetchFx() override { return fetchUsdKrwRate(krwClient_, krwEndpoints_); }

    void cancel() override {
        client_.cancelAll();
        krwClient_.cancelAll();
    }

  private:
    // The server asks only the exchanges it names: an answer that points elsewhere is a
    // failure with its status.
    HttpClient client_{Redirects::Refuse};
    // Its own client, so that cancelling or a slow Korean source never touches the exchanges'.
    HttpClient krwClient_{Redirects::Refuse};
    const KrwEndpoints krwEndpoints_;
    std::array<std::wstring, kCells> tickerUrls_;
    std::array<std::wstring, kCells> rateUrls_;
};

}  // namespace

std::unique_ptr<PriceSource> makeExchangeSource(const ExchangeEndpoints& endpoints,
                                                const KrwEndpoints& krwEndpoints) {
    return std::make_unique<ExchangeSource>(endpoints, krwEndpoints);
}

}  // namespace vindral
