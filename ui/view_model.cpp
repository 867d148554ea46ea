#include "ui/view_model.h"

#include <algorithm>
#include <cwchar>

#include "core/format.h"
#include "core/kimchi_premium.h"

namespace vindral {

namespace {

std::wstring decimal(long long value) {
    return std::to_wstring(value);
}

std::size_t cellIndex(std::uint32_t exchange, std::uint32_t coin) {
    return static_cast<std::size_t>(exchange) * kCoinCount + coin;
}

}  // namespace

std::wstring headerInfoText(Look look, std::int32_t intervalMs, const IndexList& exchanges,
                            bool hasServer) {
    std::wstring text = formatInterval(intervalMs / 1000);
    const auto count = static_cast<long long>(exchanges.size());
    if (look == Look::Mini) {
        if (count >= 2) {
            text += L" · 평균 " + decimal(count) + L"곳";
        } else if (count == 1) {
            text += L" · " + exchangeName(exchanges.front());
        }
    } else {
        text += L" · " + decimal(count) + L"곳";
    }
    if (hasServer) {
        text += L" · 서버";
    }
    return text;
}

wchar_t buttonGlyph(int button, bool alwaysOnTop, bool miniMode) {
    switch (button) {
        case kButtonPin:
            return alwaysOnTop ? L'\xE840' : L'\xE718';
        case kButtonLook:
            return miniMode ? L'\xE740' : L'\xE73F';
        case kButtonSettings:
            return L'\xE713';
        case kButtonHide:
            return L'\xE921';
        case kButtonClose:
            return L'\xE8BB';
        default:
            return L' ';
    }
}

std::wstring buttonTooltip(int button, bool alwaysOnTop, bool miniMode) {
    switch (button) {
        case kButtonPin:
            return alwaysOnTop ? L"항상 위 해제" : L"항상 위에 고정";
        case kButtonLook:
            return miniMode ? L"표 보기 (일반 모드)" : L"미니 모드";
        case kButtonSettings:
            return L"설정";
        case kButtonHide:
            return L"트레이로 숨기기";
        case kButtonClose:
            return L"종료";
        default:
            return {};
    }
}

std::wstring cellStatusText(const PriceCell& cell, std::int32_t intervalMs, std::int64_t nowMs) {
    if (!cell.hasData) {
        return {};
    }
    if (!isFresh(cell, intervalMs, nowMs)) {
        const std::int64_t age = ageMs(nowMs, cell.updatedAtMs);
        return age >= kLongAgoMs ? std::wstring{L"오래 전"} : formatAge(age) + L" 전";
    }
    return cell.lastOk ? std::wstring{} : std::wstring{L"재시도"};
}

FooterTexts footerTexts(const PriceBoard& board, const IndexList& exchanges,
                        const IndexList& coins) {
    FooterTexts f;
    f.left = L"커버리지 ";
    if (const auto coverage = coveragePct(board.stats, exchanges)) {
        wchar_t buf[32];
        std::swprintf(buf, sizeof buf / sizeof buf[0], L"%.1f%%", *coverage);
        f.left += buf;
        f.leftWarns = *coverage < kCoverageWarnBelowPct;
    } else {
        f.left += L"—";
    }
    if (const std::uint64_t overrun = overrunSum(board.stats, exchanges); overrun > 0) {
        f.left += L" · 밀림 " + std::to_wstring(overrun);
    }
    f.right = L"갱신 " + formatClock(lastUpdateMs(board, exchanges, coins));
    return f;
}

std::wstring trayTipText(const PriceBoard& board, const IndexList& exchanges,
                         const IndexList& coins, std::int64_t nowMs, bool withPremium) {
    std::wstring text;
    for (const std::uint32_t c : coins) {
        if (!text.empty()) {
            text += L"\n";
        }
        text += coinSymbol(c) + L" ";
        const CoinAggregate a = aggregateCoin(board, c, exchanges, nowMs);
        if (a.count < 1) {
            text += L"-";
        } else {
            text += L"$" + formatPrice(a.meanPrice);
            if (a.meanOpen24h > 0) {
                text += L" (" + formatPercent((a.meanPrice / a.meanOpen24h - 1) * 100, true) + L")";
            }
        }
        if (withPremium && c < kCoinCount) {
            text += L" · " + compactPremiumText(premiumView(board, c, exchanges, board.krw.upbit[c],
                                                            board.krw.fx, nowMs));
        }
    }
    return text;
}

std::vector<MenuItem> buildContextMenu(const Settings& settings, bool windowVisible) {
    const MenuItem separator{};
    std::vector<MenuItem> menu;
    menu.push_back({kCmdSettings, L"설정...", false, {}});
    menu.push_back({kCmdRefresh, L"지금 새로고침\tF5", false, {}});
    menu.push_back(separator);

    MenuItem interval{0, L"조회 간격", false, {}};
    for (std::size_t i = 0; i < kIntervalPresetsSec.size(); ++i) {
        const int seconds = kIntervalPresetsSec[i];
        interval.children.push_back({kCmdIntervalFirst + static_cast<int>(i),
                                     formatInterval(seconds),
                                     settings.intervalMs / 1000 == seconds,
                                     {}});
    }
    menu.push_back(interval);

    const std::int32_t exchangeCount = countExchanges(settings);
    MenuItem exchanges{0, L"거래소 수", false, {}};
    exchanges.children.push_back(
        {kCmdExchangeCountFirst, L"기본 1개 (Bitget)", exchangeCount == 1, {}});
    exchanges.children.push_back(
        {kCmdExchangeCountFirst + 1, L"평균 3개 (+Binance, Bybit)", exchangeCount == 3, {}});
    exchanges.children.push_back(
        {kCmdExchangeCountFirst + 2, L"최대 5개 (+OKX, Coinbase)", exchangeCount == 5, {}});
    exchanges.children.push_back(separator);
    exchanges.children.push_back({kCmdSettings, L"직접 선택...", false, {}});
    menu.push_back(exchanges);

    MenuItem opacity{0, L"투명도", false, {}};
    for (std::size_t i = 0; i < kOpacityPresetsPct.size(); ++i) {
        const int pct = kOpacityPresetsPct[i];
        opacity.children.push_back({kCmdOpacityFirst + static_cast<int>(i),
                                    decimal(pct) + L"%",
                                    settings.opacityPct == pct,
                                    {}});
    }
    menu.push_back(opacity);

    MenuItem zoom{0, L"크기\tCtrl+휠", false, {}};
    for (std::size_t i = 0; i < kZoomPresetsPct.size(); ++i) {
        const int pct = kZoomPresetsPct[i];
        zoom.children.push_back({kCmdZoomFirst + static_cast<int>(i),
                                 decimal(pct) + L"%",
                                 settings.zoomPct == pct,
                                 {}});
    }
    menu.push_back(zoom);
    menu.push_back(separator);

    menu.push_back(
        {kCmdToggleMini, L"미니 모드\tM", settings.miniMode || settings.coinInitials, {}});
    menu.push_back({kCmdAlwaysOnTop, L"항상 위", settings.alwaysOnTop, {}});
    menu.push_back({kCmdKoreanColors, L"상승 빨강 / 하락 파랑", settings.koreanColors, {}});
    menu.push_back(
        {kCmdCoinInitials, L"코인 이름 이니셜로 (B · E · S)", settings.coinInitials, {}});
    menu.push_back({kCmdKimchiPremium, L"김프 표시", settings.kimchiPremium, {}});
    menu.push_back(separator);
    if (windowVisible) {
        menu.push_back({kCmdHide, L"트레이로 숨기기", false, {}});
    } else {
        menu.push_back({kCmdShow, L"창 보이기", false, {}});
    }
    menu.push_back({kCmdExit, L"종료", false, {}});
    return menu;
}

std::optional<Settings> settingsForCommand(const Settings& settings, int commandId) {
    Settings next = settings;
    switch (commandId) {
        case kCmdAlwaysOnTop:
            next.alwaysOnTop = !next.alwaysOnTop;
            return next;
        case kCmdKoreanColors:
            next.koreanColors = !next.koreanColors;
            return next;
        case kCmdCoinInitials:
            next.coinInitials = !next.coinInitials;
            return next;
        case kCmdKimchiPremium:
            next.kimchiPremium = !next.kimchiPremium;
            return next;
        default:
            break;
    }
    const auto inRange = [commandId](int first, std::size_t count) {
        return commandId >= first && commandId < first + static_cast<int>(count);
    };
    if (inRange(kCmdIntervalFirst, kIntervalPresetsSec.size())) {
        next.intervalMs = kIntervalPresetsSec[commandId - kCmdIntervalFirst] * 1000;
        return next;
    }
    if (inRange(kCmdOpacityFirst, kOpacityPresetsPct.size())) {
        next.opacityPct = kOpacityPresetsPct[commandId - kCmdOpacityFirst];
        return next;
    }
    if (inRange(kCmdExchangeCountFirst, kExchangeCountPresets.size())) {
        applyExchangePreset(next, kExchangeCountPresets[commandId - kCmdExchangeCountFirst]);
        return next;
    }
    return std::nullopt;
}

std::optional<int> zoomForCommand(int commandId) {
    if (commandId >= kCmdZoomFirst &&
        commandId < kCmdZoomFirst + static_cast<int>(kZoomPresetsPct.size())) {
        return kZoomPresetsPct[commandId - kCmdZoomFirst];
    }
    return std::nullopt;
}

Settings toggledLook(const Settings& settings) {
    Settings next = settings;
    if (next.coinInitials) {
        next.coinInitials = false;
        next.miniMode = false;
    } else if (next.miniMode) {
        next.miniMode = false;
    } else {
        next.miniMode = true;
        next.coinInitials = true;
    }
    return next;
}

bool engineSettingsDiffer(const Settings& a, const Settings& b) {
    return !(static_cast<const EngineConfig&>(a) == static_cast<const EngineConfig&>(b));
}

bool trackFlashes(FlashState& state, const PriceBoard& board, const IndexList& exchanges,
                  const IndexList& coins, std::int64_t nowMs) {
    bool changed = false;
    for (const std::uint32_t e : exchanges) {
        for (const std::uint32_t c : coins) {
            if (e >= kExchangeCount || c >= kCoinCount) {
                continue;
            }
            const std::size_t i = cellIndex(e, c);
            const PriceCell& cell = board.cells[e][c];
            if (cell.seq == state.lastSeq[i]) {
                continue;
            }
            if (state.lastSeq[i] != 0 && cell.hasData && cell.price != cell.prevPrice) {
                state.cellFlashDir[i] = cell.price > cell.prevPrice ? 1 : -1;
                state.cellFlashAt[i] = nowMs;
                changed = true;
            }
            state.lastSeq[i] = cell.seq;
        }
    }
    for (const std::uint32_t c : coins) {
        if (c >= kCoinCount) {
            continue;
        }
        const CoinAggregate a = aggregateCoin(board, c, exchanges, nowMs);
        if (a.count < 1) {
            continue;
        }
        if (state.lastAverage[c] > 0 && a.meanPrice != state.lastAverage[c]) {
            state.averageFlashDir[c] = a.meanPrice > state.lastAverage[c] ? 1 : -1;
            state.averageFlashAt[c] = nowMs;
            changed = true;
        }
        state.lastAverage[c] = a.meanPrice;
    }
    return changed;
}

bool anyFlashActive(const FlashState& state, std::int64_t nowMs) {
    for (std::size_t i = 0; i < kCellCount; ++i) {
        if (flashActive(state.cellFlashDir[i], state.cellFlashAt[i], nowMs)) {
            return true;
        }
    }
    for (std::size_t c = 0; c < kCoinCount; ++c) {
        if (flashActive(state.averageFlashDir[c], state.averageFlashAt[c], nowMs)) {
            return true;
        }
    }
    return false;
}

FlashRef coinFlash(const FlashState& state, std::uint32_t coin, const IndexList& exchanges) {
    if (coin >= kCoinCount || exchanges.empty()) {
        return {};
    }
    if (exchanges.size() >= 2) {
        return {state.averageFlashDir[coin], state.averageFlashAt[coin]};
    }
    const std::uint32_t e = exchanges.front();
    if (e >= kExchangeCount) {
        return {};
    }
    const std::size_t i = cellIndex(e, coin);
    return {state.cellFlashDir[i], state.cellFlashAt[i]};
}

std::optional<PixelRect> changedFlashArea(const std::vector<PaintedFlash>& painted,
                                          std::int64_t nowMs, bool koreanColors) {
    std::optional<PixelRect> changed;
    for (const PaintedFlash& p : painted) {
        if (flashFill(p.direction, p.startMs, nowMs, koreanColors) == p.fill) {
            continue;
        }
        if (!changed) {
            changed = p.area;
            continue;
        }
        changed->left = std::min(changed->left, p.area.left);
        changed->top = std::min(changed->top, p.area.top);
        changed->right = std::max(changed->right, p.area.right);
        changed->bottom = std::max(changed->bottom, p.area.bottom);
    }
    return changed;
}

}  // namespace vindral
