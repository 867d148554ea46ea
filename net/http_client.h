#pragma once

// The program's one way to the network: a small synchronous HTTP/HTTPS client (WinHTTP on
// Windows, libcurl in the native build) that reports every failure as a Korean text in the
// response and can be cancelled from another thread.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace vindral {

struct HttpResponse {
    // The whole body was read; says nothing about the status (a 404 read to the end is ok).
    bool ok = false;
    std::int32_t status = 0;
    std::string body;   // after content decoding; not meaningful when !ok
    std::string error;  // empty when ok, otherwise one of the texts below
    // From just before the connection is opened until the exchange ended, on the monotonic
    // clock; 0 for failures before that point.
    double elapsedMs = 0.0;
};

inline constexpr std::string_view kHttpUserAgent = "Vindral/0.1 (+price-ticker)";
inline constexpr std::size_t kMaxResponseBytes = 4 * 1024 * 1024;
inline constexpr int kResolveTimeoutMs = 3000;
inline constexpr int kConnectTimeoutMs = 3000;
inline constexpr int kSendTimeoutMs = 3000;
inline constexpr int kDefaultReceiveTimeoutMs = 5000;

inline constexpr std::string_view kHttpErrorNoSession = "WinHTTP 초기화 실패";
inline constexpr std::string_view kHttpErrorBadUrl = "잘못된 URL";
inline constexpr std::string_view kHttpErrorCancelled = "취소됨";
inline constexpr std::string_view kHttpErrorTooLarge = "응답이 너무 큼";
inline constexpr std::string_view kHttpErrorTimeout = "시간 초과";
inline constexpr std::string_view kHttpErrorDns = "DNS 실패";
inline constexpr std::string_view kHttpErrorConnect = "연결 실패";
inline constexpr std::string_view kHttpErrorBroken = "연결 끊김";
inline constexpr std::string_view kHttpErrorTls = "TLS 오류";
// Followed by the code in unsigned decimal.
inline constexpr std::string_view kHttpErrorOtherPrefix = "네트워크 오류 ";

// The Korean text for a WinHTTP or Winsock error code.
std::string describeWinHttpError(std::uint32_t code);

// Whether an answer in the 3xx range is followed to its Location or returned as it is.
enum class Redirects { Follow, Refuse };

class HttpClient {
  public:
    explicit HttpClient(Redirects redirects = Redirects::Follow);
    // Callers end their requests first: handles still in flight are not closed here.
    ~HttpClient();
    HttpClient(const HttpClient&) = delete;
    HttpClient& operator=(const HttpClient&) = delete;

    // Blocks for the whole exchange. `body` is sent as JSON when not empty; a receive time-out
    // of 0 or less keeps the default of 5000 ms.
    HttpResponse request(const std::wstring& method, const std::wstring& url,
                         const std::string& body, int receiveTimeoutMs);
    // Ends every request in flight with "취소됨" and refuses new ones until resetCancel.
    void cancelAll();
    void resetCancel();

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace vindral
