#include "net/krw_sources.h"

#include <chrono>
#include <cstdint>

#include "core/format.h"
#include "json/json.h"

namespace vindral {

namespace {

constexpr wchar_t kUpbitTickerPath[] = L"/v1/ticker?markets=";
constexpr wchar_t kDunamuFxPath[] = L"/v1/forex/recent?codes=FRX.KRWUSD";
constexpr wchar_t kFrankfurterFxPath[] = L"/v1/latest?base=USD&symbols=KRW";
constexpr char kUpbitMarketPrefix[] = "KRW-";
constexpr char kDunamuUsdCode[] = "FRX.KRWUSD";

constexpr char kUpbitPrefix[] = "업비트 ";
constexpr char kFormatError[] = "응답 형식 오류";
constexpr char kNoTicker[] = "티커 데이터 없음";
constexpr char kNoPrice[] = "가격 필드 없음";
constexpr char kUpbitUnnamedError[] = "오류";
constexpr char kNoFxRow[] = "환율 데이터 없음";
constexpr char kNoFxValue[] = "환율 필드 없음";
constexpr char kNoFxTime[] = "환율 시각 없음";
constexpr char kFxFailed[] = "환율 조회 실패";

// Dunamu names the bank in every answer; this stands in should it ever leave the name out.
constexpr char kDunamuProvider[] = "두나무";
constexpr char kEcbProvider[] = "ECB";

// A source's own message is cut to this many UTF-8 bytes before it reaches a cell.
constexpr std::size_t kMessageMaxBytes = 60;

// The ECB publishes its reference rates at about 16:00 CET; 14:00 UTC is that hour in summer and
// errs on the old side in winter.
constexpr std::chrono::hours kEcbPostingHourUtc{14};

// Cuts at a character boundary: never inside a UTF-8 sequence.
std::string cutMessage(std::string text) {
    if (text.size() > kMessageMaxBytes) {
        std::size_t cut = kMessageMaxBytes;
        while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) {
            --cut;
        }
        text.resize(cut);
    }
    return text;
}

std::string memberText(const JsonValue& object, std::string_view key) {
    const JsonValue* member = object.find(key);
    return member == nullptr ? std::string() : member->asText();
}

// The reason a source gives in an error body: Upbit's {"error":{"name","message"}} (the message,
// else the name, which may be a number or a string), a plain "error" text, or a "message".
std::string errorDetail(const JsonValue& root) {
    if (const JsonValue* error = root.find("error")) {
        if (error->kind != JsonKind::Object) {
            return cutMessage(error->asText());
        }
        const std::string message = memberText(*error, "message");
        return cutMessage(message.empty() ? memberText(*error, "name") : message);
    }
    return cutMessage(memberText(root, "message"));
}

// "HTTP 404 Code not found" with the body's reason, else by the status alone.
std::string statusText(const HttpResponse& response) {
    std::string text = "HTTP " + std::to_string(response.status);
    const std::optional<JsonValue> root = parseJson(response.body);
    const std::string detail = root ? errorDetail(*root) : std::string();
    if (!detail.empty()) {
        return text + " " + detail;
    }
    switch (response.status) {
        case 403:
        case 451:
            return text + " 지역 제한";
        case 418:
            // Upbit's temporary block of an address that kept asking after a 429.
            return text + " 일시 차단";
        case 429:
            return text + " 요청 한도 초과";
        default:
            return text;
    }
}

std::optional<int> fixedDigits(std::string_view text) {
    int value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        value = value * 10 + (c - '0');
    }
    return text.empty() ? std::nullopt : std::optional<int>(value);
}

// "2026-08-30"
std::optional<std::chrono::sys_days> parseDate(std::string_view text) {
    if (text.size() != 10 || text[4] != '-' || text[7] != '-') {
        return std::nullopt;
    }
    const std::optional<int> year = fixedDigits(text.substr(0, 4));
    const std::optional<int> month = fixedDigits(text.substr(5, 2));
    const std::optional<int> day = fixedDigits(text.substr(8, 2));
    if (!year || !month || !day) {
        return std::nullopt;
    }
    const std::chrono::year_month_day date{std::chrono::year{*year},
                                           std::chrono::month{static_cast<unsigned>(*month)},
                                           std::chrono::day{static_cast<unsigned>(*day)}};
    if (!date.ok()) {
        return std::nullopt;
    }
    return std::chrono::sys_days{date};
}

// "13:29:42"
std::optional<std::chrono::seconds> parseClock(std::string_view text) {
    if (text.size() != 8 || text[2] != ':' || text[5] != ':') {
        return std::nullopt;
    }
    const std::optional<int> hours = fixedDigits(text.substr(0, 2));
    const std::optional<int> minutes = fixedDigits(text.substr(3, 2));
    const std::optional<int> seconds = fixedDigits(text.substr(6, 2));
    if (!hours || !minutes || !seconds || *hours > 23 || *minutes > 59 || *seconds > 59) {
        return std::nullopt;
    }
    return std::chrono::hours{*hours} + std::chrono::minutes{*minutes} +
           std::chrono::seconds{*seconds};
}

std::int64_t toWallMs(std::chrono::sys_time<std::chrono::seconds> time) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch()).count();
}

std::optional<double> positiveNumber(const JsonValue* value) {
    const std::optional<double> number = finiteNumber(value);
    return number && *number > 0 ? number : std::nullopt;
}

// A source's own unit (Dunamu's currencyUnit, Frankfurter's amount): 1 unless it says otherwise.
double unitOf(const JsonValue& object, std::string_view key) {
    return positiveNumber(object.find(key)).value_or(1.0);
}

UpbitReading failAll(const IndexList& coins, const std::string& reason) {
    UpbitReading reading;
    for (const std::uint32_t c : coins) {
        if (c < kCoinCount) {
            reading.error[c] = kUpbitPrefix + reason;
        }
    }
    return reading;
}

const JsonValue* upbitRow(const JsonValue& root, std::uint32_t coin) {
    const std::string market = kUpbitMarketPrefix + toUtf8(coinSymbol(coin));
    for (const JsonValue& row : root.items) {
        if (row.kind == JsonKind::Object && memberText(row, "market") == market) {
            return &row;
        }
    }
    return nullptr;
}

bool interpretFx(const HttpResponse& response, FxQuote& quote, std::string& error,
                 bool (*parse)(std::string_view, FxQuote&, std::string&)) {
    if (!response.ok) {
        error = response.error;
        return false;
    }
    if (response.status != 200) {
        error = statusText(response);
        return false;
    }
    return parse(response.body, quote, error);
}

}  // namespace

KrwEndpoints defaultKrwEndpoints() {
    return KrwEndpoints{
        L"https://api.upbit.com",
        L"https://quotation-api-cdn.dunamu.com",
        L"https://api.frankfurter.dev",
    };
}

std::wstring upbitTickerUrl(const IndexList& coins, const KrwEndpoints& endpoints) {
    std::wstring markets;
    for (const std::uint32_t c : coins) {
        if (c >= kCoinCount) {
            continue;
        }
        if (!markets.empty()) {
            markets += L',';
        }
        markets += L"KRW-" + coinSymbol(c);
    }
    return markets.empty() ? std::wstring() : endpoints.upbit + kUpbitTickerPath + markets;
}

std::wstring dunamuFxUrl(const KrwEndpoints& endpoints) {
    return endpoints.dunamu + kDunamuFxPath;
}

std::wstring frankfurterFxUrl(const KrwEndpoints& endpoints) {
    return endpoints.frankfurter + kFrankfurterFxPath;
}

UpbitReading parseUpbitTickerBody(std::string_view body, const IndexList& coins) {
    const std::optional<JsonValue> root = parseJson(body);
    if (!root) {
        return failAll(coins, kFormatError);
    }
    if (root->kind == JsonKind::Object && root->find("error") != nullptr) {
        const std::string detail = errorDetail(*root);
        return failAll(coins, detail.empty() ? std::string(kUpbitUnnamedError) : detail);
    }
    UpbitReading reading;
    for (const std::uint32_t c : coins) {
        if (c >= kCoinCount) {
            continue;
        }
        const JsonValue* row = root->kind == JsonKind::Array ? upbitRow(*root, c) : nullptr;
        if (row == nullptr) {
            reading.error[c] = std::string(kUpbitPrefix) + kNoTicker;
            continue;
        }
        const std::optional<double> price = positiveNumber(row->find("trade_price"));
        if (!price) {
            reading.error[c] = std::string(kUpbitPrefix) + kNoPrice;
            continue;
        }
        reading.priceKrw[c] = *price;
    }
    return reading;
}

UpbitReading interpretUpbitResponse(const HttpResponse& response, const IndexList& coins) {
    if (!response.ok) {
        return failAll(coins, response.error);
    }
    if (response.status != 200) {
        return failAll(coins, statusText(response));
    }
    return parseUpbitTickerBody(response.body, coins);
}

bool parseDunamuFxBody(std::string_view body, FxQuote& quote, std::string& error) {
    const std::optional<JsonValue> root = parseJson(body);
    if (!root) {
        error = kFormatError;
        return false;
    }
    // One row per code asked for; matched by its code, in case the feed ever adds others.
    const JsonValue* row = nullptr;
    if (root->kind == JsonKind::Array) {
        for (const JsonValue& item : root->items) {
            if (item.kind == JsonKind::Object && memberText(item, "code") == kDunamuUsdCode) {
                row = &item;
                break;
            }
        }
    }
    if (row == nullptr) {
        error = kNoFxRow;
        return false;
    }
    const std::optional<double> basePrice = positiveNumber(row->find("basePrice"));
    if (!basePrice) {
        error = kNoFxValue;
        return false;
    }
    const std::optional<std::chrono::sys_days> date = parseDate(memberText(*row, "date"));
    const std::optional<std::chrono::seconds> clock = parseClock(memberText(*row, "time"));
    if (!date || !clock) {
        error = kNoFxTime;
        return false;
    }
    quote.krwPerUsd = *basePrice / unitOf(*row, "currencyUnit");
    quote.postedAtMs = toWallMs(*date + *clock - kKstOffset);
    quote.source = FxSource::Bank;
    quote.provider = memberText(*row, "provider");
    if (quote.provider.empty()) {
        quote.provider = kDunamuProvider;
    }
    return true;
}

bool interpretDunamuFxResponse(const HttpResponse& response, FxQuote& quote, std::string& error) {
    return interpretFx(response, quote, error, parseDunamuFxBody);
}

bool parseFrankfurterFxBody(std::string_view body, FxQuote& quote, std::string& error) {
    const std::optional<JsonValue> root = parseJson(body);
    if (!root) {
        error = kFormatError;
        return false;
    }
    if (root->kind != JsonKind::Object || memberText(*root, "base") != "USD") {
        const std::string detail = root->kind == JsonKind::Object ? errorDetail(*root) : "";
        error = detail.empty() ? std::string(kNoFxRow) : detail;
        return false;
    }
    const JsonValue* rates = root->find("rates");
    const std::optional<double> krw =
        positiveNumber(rates == nullptr ? nullptr : rates->find("KRW"));
    if (!krw) {
        error = kNoFxValue;
        return false;
    }
    const std::optional<std::chrono::sys_days> date = parseDate(memberText(*root, "date"));
    if (!date) {
        error = kNoFxTime;
        return false;
    }
    quote.krwPerUsd = *krw / unitOf(*root, "amount");
    quote.postedAtMs = toWallMs(*date + kEcbPostingHourUtc);
    quote.source = FxSource::Ecb;
    quote.provider = kEcbProvider;
    return true;
}

bool interpretFrankfurterFxResponse(const HttpResponse& response, FxQuote& quote,
                                    std::string& error) {
    return interpretFx(response, quote, error, parseFrankfurterFxBody);
}

FxFetch fetchUsdKrwRate(HttpClient& client, const KrwEndpoints& endpoints) {
    FxQuote quote;
    std::string bankError;
    if (interpretDunamuFxResponse(client.request(L"GET", dunamuFxUrl(endpoints), "", 0), quote,
                                  bankError)) {
        return FxFetch{quote, {}};
    }
    std::string ecbError;
    if (interpretFrankfurterFxResponse(client.request(L"GET", frankfurterFxUrl(endpoints), "", 0),
                                       quote, ecbError)) {
        return FxFetch{quote, {}};
    }
    return FxFetch{std::nullopt, std::string(kFxFailed) + " (" + kDunamuProvider + " " + bankError +
                                     " · " + kEcbProvider + " " + ecbError + ")"};
}

}  // namespace vindral
