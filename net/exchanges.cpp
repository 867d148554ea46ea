#include "net/exchanges.h"

#include <optional>

#include "core/board.h"
#include "json/json.h"

namespace vindral {
namespace {

constexpr std::uint32_t kBinance = 0;
constexpr std::uint32_t kBitget = 1;
constexpr std::uint32_t kBybit = 2;
constexpr std::uint32_t kOkx = 3;
constexpr std::uint32_t kCoinbase = 4;

// Coinbase lists BTC and ETH against USDT but the later coins only against USD.
constexpr std::uint32_t kFirstUsdQuotedCoin = 2;

constexpr char kFormatError[] = "응답 형식 오류";
constexpr char kNoTicker[] = "티커 데이터 없음";
constexpr char kNoPrice[] = "가격 필드 없음";
constexpr char kUnknownExchange[] = "알 수 없는 거래소";

// Member names per exchange, indexed by exchange.
struct TickerFields {
    std::string_view message;
    std::string_view price;
    std::string_view reference;
};

constexpr std::array<TickerFields, kExchangeCount> kFields = {{
    {"msg", "lastPrice", "openPrice"},
    {"msg", "lastPr", "open"},
    {"retMsg", "lastPrice", "prevPrice24h"},
    {"msg", "last", "open24h"},
    {"message", "last", "open"},
}};

// Path and fixed query before the coin symbol, and what follows it, indexed by exchange.
struct TickerPath {
    std::wstring_view prefix;
    std::wstring_view suffix;
};

constexpr std::array<TickerPath, kExchangeCount> kTickerPaths = {{
    {L"/api/v3/ticker/24hr?symbol=", L"USDT"},
    {L"/api/v2/spot/market/tickers?symbol=", L"USDT"},
    {L"/v5/market/tickers?category=spot&symbol=", L"USDT"},
    {L"/api/v5/market/ticker?instId=", L"-USDT"},
    {L"/products/", L"-USDT/stats"},
}};

constexpr std::wstring_view kCoinbaseUsdSuffix = L"-USD/stats";
constexpr std::wstring_view kUsdtRatePath = L"/products/USDT-USD/stats";

bool isContinuationByte(char c) {
    return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

// Bytes a UTF-8 sequence claims by its lead byte; 1 for ASCII and for bytes that lead nothing.
std::size_t sequenceLength(char lead) {
    const auto b = static_cast<unsigned char>(lead);
    if (b >= 0xF8) {
        return 1;
    }
    if (b >= 0xF0) {
        return 4;
    }
    if (b >= 0xE0) {
        return 3;
    }
    if (b >= 0xC0) {
        return 2;
    }
    return 1;
}

// Cuts to at most `maxBytes`, moving the cut back to the start of a character it would split so
// the cell never shows half a Korean syllable. Stray continuation bytes are cut like ASCII.
std::string cutUtf8(std::string text, std::size_t maxBytes) {
    if (text.size() <= maxBytes) {
        return text;
    }
    std::size_t start = maxBytes;
    while (start > 0 && maxBytes - start < 3 && isContinuationByte(text[start])) {
        --start;
    }
    std::size_t cut = maxBytes;
    if (start < maxBytes && start + sequenceLength(text[start]) > maxBytes) {
        cut = start;
    }
    text.resize(cut);
    return text;
}

bool codeTextIsNot(const JsonValue& root, std::string_view okText) {
    const JsonValue* code = root.find("code");
    return code != nullptr && code->asText() != okText;
}

bool exchangeReportsError(std::uint32_t exchange, const JsonValue& root) {
    switch (exchange) {
        case kBinance:
            // A "code" alone is not an error; even "code": 0 with a "msg" is (the geo-block).
            return root.find("code") != nullptr && root.find("msg") != nullptr;
        case kBitget:
            return codeTextIsNot(root, "00000");
        case kBybit: {
            const JsonValue* retCode = root.find("retCode");
            if (retCode == nullptr) {
                return false;
            }
            const std::optional<double> value = retCode->asNumber();
            return !value || *value != 0.0;
        }
        case kOkx:
            return codeTextIsNot(root, "0");
        default:
            return root.find("message") != nullptr;
    }
}

const JsonValue* tickerObject(std::uint32_t exchange, const JsonValue& root) {
    switch (exchange) {
        case kBitget:
        case kOkx: {
            const JsonValue* data = root.find("data");
            return data == nullptr ? nullptr : data->at(0);
        }
        case kBybit: {
            const JsonValue* result = root.find("result");
            const JsonValue* list = result == nullptr ? nullptr : result->find("list");
            return list == nullptr ? nullptr : list->at(0);
        }
        default:
            return &root;
    }
}

std::string httpStatusText(std::int32_t status) {
    return "HTTP " + std::to_string(status);
}

}  // namespace

ExchangeEndpoints defaultExchangeEndpoints() {
    return ExchangeEndpoints{{
        L"https://api.binance.com",
        L"https://api.bitget.com",
        L"https://api.bybit.com",
        L"https://www.okx.com",
        L"https://api.exchange.coinbase.com",
    }};
}

std::wstring tickerUrl(std::uint32_t exchange, std::uint32_t coin,
                       const ExchangeEndpoints& endpoints) {
    if (exchange >= kExchangeCount) {
        return {};
    }
    const TickerPath& path = kTickerPaths[exchange];
    const std::wstring_view suffix =
        exchange == kCoinbase && coin >= kFirstUsdQuotedCoin ? kCoinbaseUsdSuffix : path.suffix;
    std::wstring url = endpoints.baseUrls[exchange];
    url += path.prefix;
    url += coinSymbol(coin);
    url += suffix;
    return url;
}

std::wstring tickerUrl(std::uint32_t exchange, std::uint32_t coin) {
    return tickerUrl(exchange, coin, defaultExchangeEndpoints());
}

std::wstring usdtRateUrl(std::uint32_t exchange, std::uint32_t coin,
                         const ExchangeEndpoints& endpoints) {
    if (exchange != kCoinbase || coin < kFirstUsdQuotedCoin) {
        return {};
    }
    return endpoints.baseUrls[kCoinbase] + std::wstring(kUsdtRatePath);
}

std::wstring usdtRateUrl(std::uint32_t exchange, std::uint32_t coin) {
    return usdtRateUrl(exchange, coin, defaultExchangeEndpoints());
}

bool parseTickerBody(std::uint32_t exchange, std::string_view body, TickerQuote& quote,
                     std::string& error) {
    const std::optional<JsonValue> root = parseJson(body);
    if (!root) {
        error = kFormatError;
        return false;
    }
    if (exchange >= kExchangeCount) {
        error = kUnknownExchange;
        return false;
    }
    const TickerFields& fields = kFields[exchange];
    if (exchangeReportsError(exchange, *root)) {
        const JsonValue* message = root->find(fields.message);
        error = message == nullptr ? std::string()
                                   : cutUtf8(message->asText(), kExchangeMessageMaxBytes);
        return false;
    }
    const JsonValue* ticker = tickerObject(exchange, *root);
    if (ticker == nullptr || ticker->kind != JsonKind::Object) {
        error = kNoTicker;
        return false;
    }
    const std::optional<double> price = finiteNumber(ticker->find(fields.price));
    if (!price || !(*price > 0.0)) {
        error = kNoPrice;
        return false;
    }
    quote.price = *price;
    const std::optional<double> reference = finiteNumber(ticker->find(fields.reference));
    quote.open24h = reference && *reference > 0.0 ? *reference : 0.0;
    return true;
}

bool interpretTickerResponse(std::uint32_t exchange, const HttpResponse& response,
                             TickerQuote& quote, std::string& error) {
    if (!response.ok) {
        error = response.error;
        return false;
    }
    if (response.status == 200) {
        return parseTickerBody(exchange, response.body, quote, error);
    }
    // The body of a rejection often says why (an exchange's message on a 400); use it when it does.
    TickerQuote scratchQuote;
    std::string scratch;
    if (!parseTickerBody(exchange, response.body, scratchQuote, scratch) && !scratch.empty() &&
        scratch != kFormatError) {
        error = httpStatusText(response.status) + " " + scratch;
        return false;
    }
    switch (response.status) {
        case 403:
        case 451:
            error = httpStatusText(response.status) + " 지역 제한";
            break;
        case 429:
            error = httpStatusText(response.status) + " 요청 한도 초과";
            break;
        default:
            error = httpStatusText(response.status);
            break;
    }
    return false;
}

TickerQuote convertUsdQuote(const TickerQuote& quote, const TickerQuote& rate) {
    TickerQuote result;
    if (!(rate.price > 0.0)) {
        return result;
    }
    result.price = quote.price / rate.price;
    if (quote.open24h > 0.0) {
        result.open24h = quote.open24h / (rate.open24h > 0.0 ? rate.open24h : rate.price);
    }
    return result;
}

}  // namespace vindral
