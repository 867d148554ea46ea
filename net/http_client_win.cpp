#include <windows.h>
#include <winhttp.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <unordered_set>

#include "net/http_client.h"

namespace vindral {

namespace {

constexpr wchar_t kUserAgentW[] = L"Vindral/0.1 (+price-ticker)";
constexpr DWORD kHostBufferChars = 256;
constexpr DWORD kPathBufferChars = 2048;
constexpr DWORD kExtraBufferChars = 2048;
constexpr wchar_t kAcceptHeader[] = L"Accept: application/json\r\n";
constexpr wchar_t kContentTypeHeader[] = L"Content-Type: application/json; charset=utf-8\r\n";

struct InternetCloser {
    void operator()(HINTERNET handle) const { WinHttpCloseHandle(handle); }
};
using InternetHandle = std::unique_ptr<void, InternetCloser>;

// Sets the time-outs of a session or request handle. Under Wine the wait for the response
// headers obeys only WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT (infinite by default), so it gets
// the receive time-out too.
void setTimeouts(HINTERNET handle, int receiveTimeoutMs) {
    WinHttpSetTimeouts(handle, kResolveTimeoutMs, kConnectTimeoutMs, kSendTimeoutMs,
                       receiveTimeoutMs);
    DWORD responseTimeoutMs = static_cast<DWORD>(receiveTimeoutMs);
    WinHttpSetOption(handle, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &responseTimeoutMs,
                     sizeof(responseTimeoutMs));
}

double millisecondsSince(std::chrono::steady_clock::time_point start) {
    const auto elapsed = std::chrono::steady_clock::now() - start;
    return static_cast<double>(
               std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count()) /
           1'000'000.0;
}

// One request handle in the in-flight set. The set holds these records rather than the bare
// handles, so a handle value that the system reuses after cancelAll closed it can never make a
// request remove or close another request's entry.
struct InFlightRequest {
    HINTERNET handle = nullptr;
    bool takenByCancel = false;  // guarded by the client's mutex
};

// What requests share with cancelAll and resetCancel, all guarded by the mutex.
struct CancelState {
    std::mutex mutex;
    std::unordered_set<InFlightRequest*> inFlight;
    bool cancelled = false;
};

// Owns a request handle from its opening to the end of `request`: registers it in the in-flight
// set and, on every path, unregisters and closes it unless cancelAll already did.
class RequestRegistration {
  public:
    RequestRegistration(CancelState& client, HINTERNET handle) : client_(client) {
        record_.handle = handle;
    }
    ~RequestRegistration() { finish(); }
    RequestRegistration(const RequestRegistration&) = delete;
    RequestRegistration& operator=(const RequestRegistration&) = delete;

    // False (and the handle closed) when the client is cancelled.
    bool enter() {
        std::lock_guard lock(client_.mutex);
        if (client_.cancelled) {
            return false;
        }
        client_.inFlight.insert(&record_);
        registered_ = true;
        return true;
    }

    bool taken() {
        std::lock_guard lock(client_.mutex);
        return record_.takenByCancel;
    }

    // Unregisters and closes the handle; true when cancelAll had taken it.
    bool finish() {
        if (finished_) {
            return record_.takenByCancel;
        }
        finished_ = true;
        std::lock_guard lock(client_.mutex);
        if (!record_.takenByCancel) {
            if (registered_) {
                client_.inFlight.erase(&record_);
            }
            WinHttpCloseHandle(record_.handle);
        }
        return record_.takenByCancel;
    }

  private:
    CancelState& client_;
    InFlightRequest record_;
    bool registered_ = false;
    bool finished_ = false;
};

}  // namespace

struct HttpClient::Impl : CancelState {
    HINTERNET session = nullptr;
};

HttpClient::HttpClient(Redirects redirects) : impl_(std::make_unique<Impl>()) {
    impl_->session = WinHttpOpen(kUserAgentW, WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY,
                                 WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
    if (impl_->session == nullptr) {
        impl_->session = WinHttpOpen(kUserAgentW, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                                     WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
    }
    if (impl_->session != nullptr) {
        setTimeouts(impl_->session, kDefaultReceiveTimeoutMs);
        if (redirects == Redirects::Refuse) {
            DWORD policy = WINHTTP_OPTION_REDIRECT_POLICY_NEVER;
            WinHttpSetOption(impl_->session, WINHTTP_OPTION_REDIRECT_POLICY, &policy,
                             sizeof(policy));
        }
    }
}

HttpClient::~HttpClient() {
    if (impl_->session != nullptr) {
        WinHttpCloseHandle(impl_->session);
    }
}

HttpResponse HttpClient::request(const std::wstring& method, const std::wstring& url,
                                 const std::string& body, int receiveTimeoutMs) {
    HttpResponse response;
    if (impl_->session == nullptr) {
        response.error = kHttpErrorNoSession;
        return response;
    }

    wchar_t host[kHostBufferChars];
    wchar_t path[kPathBufferChars];
    wchar_t extra[kExtraBufferChars];
    URL_COMPONENTS parts{};
    parts.dwStructSize = sizeof(parts);
    parts.lpszHostName = host;
    parts.dwHostNameLength = kHostBufferChars;
    parts.lpszUrlPath = path;
    parts.dwUrlPathLength = kPathBufferChars;
    parts.lpszExtraInfo = extra;
    parts.dwExtraInfoLength = kExtraBufferChars;
    if (!WinHttpCrackUrl(url.c_str(), 0, 0, &parts)) {
        response.error = kHttpErrorBadUrl;
        return response;
    }

    const auto start = std::chrono::steady_clock::now();
    const auto fail = [&](DWORD code) {
        response.ok = false;
        response.error = describeWinHttpError(code);
        response.elapsedMs = millisecondsSince(start);
    };

    const InternetHandle connection(WinHttpConnect(impl_->session, host, parts.nPort, 0));
    if (!connection) {
        fail(GetLastError());
        return response;
    }

    const std::wstring objectName =
        std::wstring(path, parts.dwUrlPathLength) + std::wstring(extra, parts.dwExtraInfoLength);
    const HINTERNET requestHandle =
        WinHttpOpenRequest(connection.get(), method.c_str(), objectName.c_str(), nullptr,
                           WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                           parts.nScheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0);
    if (requestHandle == nullptr) {
        fail(GetLastError());
        return response;
    }

    RequestRegistration registration(*impl_, requestHandle);
    if (!registration.enter()) {
        registration.finish();
        response.error = kHttpErrorCancelled;
        response.elapsedMs = millisecondsSince(start);
        return response;
    }

    if (receiveTimeoutMs > 0) {
        setTimeouts(requestHandle, receiveTimeoutMs);
    }
    // Fails under Wine, which then sends no Accept-Encoding and so gets plain bodies.
    DWORD decompression = WINHTTP_DECOMPRESSION_FLAG_ALL;
    WinHttpSetOption(requestHandle, WINHTTP_OPTION_DECOMPRESSION, &decompression,
                     sizeof(decompression));

    std::wstring headers = kAcceptHeader;
    if (!body.empty()) {
        headers += kContentTypeHeader;
    }
    WinHttpAddRequestHeaders(requestHandle, headers.c_str(), static_cast<DWORD>(-1),
                             WINHTTP_ADDREQ_FLAG_ADD);

    // Returns the error of a failed step, or 0 when the body was read to its end (or the
    // client was cancelled in the meantime, which the clean-up decides).
    const auto exchange = [&]() -> DWORD {
        const DWORD bodyBytes = static_cast<DWORD>(body.size());
        LPVOID optional = body.empty() ? WINHTTP_NO_REQUEST_DATA
                                       : static_cast<LPVOID>(const_cast<char*>(body.data()));
        if (!WinHttpSendRequest(requestHandle, WINHTTP_NO_ADDITIONAL_HEADERS, 0, optional,
                                bodyBytes, bodyBytes, 0)) {
            return GetLastError();
        }
        if (registration.taken()) {
            return 0;
        }
        if (!WinHttpReceiveResponse(requestHandle, nullptr)) {
            return GetLastError();
        }
        DWORD status = 0;
        DWORD statusSize = sizeof(status);
        if (WinHttpQueryHeaders(
                requestHandle, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                WINHTTP_HEADER_NAME_BY_INDEX, &status, &statusSize, WINHTTP_NO_HEADER_INDEX)) {
            response.status = static_cast<std::int32_t>(status);
        }
        for (;;) {
            // After cancelAll the handle is closed (and its value may be reused): stop here.
            if (registration.taken()) {
                return 0;
            }
            DWORD available = 0;
            if (!WinHttpQueryDataAvailable(requestHandle, &available)) {
                return GetLastError();
            }
            if (available == 0) {
                response.ok = true;
                response.elapsedMs = millisecondsSince(start);
                return 0;
            }
            if (response.body.size() + available > kMaxResponseBytes) {
                response.error = kHttpErrorTooLarge;
                response.elapsedMs = millisecondsSince(start);
                return 0;
            }
            const std::size_t oldSize = response.body.size();
            response.body.resize(oldSize + available);
            DWORD read = 0;
            const BOOL readOk =
                WinHttpReadData(requestHandle, response.body.data() + oldSize, available, &read);
            response.body.resize(oldSize + (readOk ? read : 0));
            if (!readOk) {
                return GetLastError();
            }
        }
    };

    const DWORD failure = exchange();
    if (failure != 0) {
        fail(failure);
    }
    // Under Wine closing a handle does not interrupt a blocked call, which may even succeed
    // later: whatever the call reported, a request whose handle cancelAll took is cancelled.
    if (registration.finish()) {
        response.ok = false;
        response.status = 0;
        response.body.clear();
        response.error = kHttpErrorCancelled;
        response.elapsedMs = millisecondsSince(start);
    }
    return response;
}

void HttpClient::cancelAll() {
    std::lock_guard lock(impl_->mutex);
    impl_->cancelled = true;
    for (InFlightRequest* record : impl_->inFlight) {
        WinHttpCloseHandle(record->handle);
        record->takenByCancel = true;
    }
    impl_->inFlight.clear();
}

void HttpClient::resetCancel() {
    std::lock_guard lock(impl_->mutex);
    impl_->cancelled = false;
}

}  // namespace vindral
