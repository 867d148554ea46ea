#include <curl/curl.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cwctype>
#include <exception>
#include <memory>
#include <mutex>
#include <unordered_set>

#include "core/format.h"
#include "net/http_client.h"

namespace vindral {

namespace {

using Clock = std::chrono::steady_clock;

// The longest curl_multi_poll waits before the loop looks at the idle deadline again.
constexpr int kMaxPollMs = 1000;

struct CurlErrorKind {
    CURLcode code;
    std::string_view text;
};

// curl's codes for each kind of failure; any other code becomes "네트워크 오류 " and its number.
constexpr std::array kCurlErrorKinds{
    CurlErrorKind{CURLE_OPERATION_TIMEDOUT, kHttpErrorTimeout},
    CurlErrorKind{CURLE_COULDNT_RESOLVE_HOST, kHttpErrorDns},
    CurlErrorKind{CURLE_COULDNT_RESOLVE_PROXY, kHttpErrorDns},
    CurlErrorKind{CURLE_COULDNT_CONNECT, kHttpErrorConnect},
    // The peer closed or reset the connection before the answer was complete.
    CurlErrorKind{CURLE_GOT_NOTHING, kHttpErrorBroken},
    CurlErrorKind{CURLE_PARTIAL_FILE, kHttpErrorBroken},
    CurlErrorKind{CURLE_SEND_ERROR, kHttpErrorBroken},
    CurlErrorKind{CURLE_RECV_ERROR, kHttpErrorBroken},
    CurlErrorKind{CURLE_SSL_CONNECT_ERROR, kHttpErrorTls},
    CurlErrorKind{CURLE_PEER_FAILED_VERIFICATION, kHttpErrorTls},
    CurlErrorKind{CURLE_SSL_CERTPROBLEM, kHttpErrorTls},
    CurlErrorKind{CURLE_SSL_CIPHER, kHttpErrorTls},
    CurlErrorKind{CURLE_SSL_CACERT_BADFILE, kHttpErrorTls},
    CurlErrorKind{CURLE_SSL_SHUTDOWN_FAILED, kHttpErrorTls},
    CurlErrorKind{CURLE_SSL_CRL_BADFILE, kHttpErrorTls},
    CurlErrorKind{CURLE_SSL_ISSUER_ERROR, kHttpErrorTls},
    CurlErrorKind{CURLE_SSL_PINNEDPUBKEYNOTMATCH, kHttpErrorTls},
    CurlErrorKind{CURLE_SSL_INVALIDCERTSTATUS, kHttpErrorTls},
};

std::string describeCurlError(CURLcode code) {
    for (const CurlErrorKind& kind : kCurlErrorKinds) {
        if (kind.code == code) {
            return std::string(kind.text);
        }
    }
    return std::string(kHttpErrorOtherPrefix) + std::to_string(static_cast<unsigned>(code));
}

double millisecondsSince(Clock::time_point start) {
    const auto elapsed = Clock::now() - start;
    return static_cast<double>(
               std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count()) /
           1'000'000.0;
}

bool hasHttpScheme(const std::wstring& url) {
    const auto startsWith = [&](std::wstring_view scheme) {
        return url.size() > scheme.size() &&
               std::equal(scheme.begin(), scheme.end(), url.begin(), [](wchar_t s, wchar_t c) {
                   return static_cast<wint_t>(s) == std::towlower(static_cast<wint_t>(c));
               });
    };
    return startsWith(L"http://") || startsWith(L"https://");
}

struct UrlDeleter {
    void operator()(CURLU* url) const { curl_url_cleanup(url); }
};
struct EasyDeleter {
    void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};
struct MultiDeleter {
    void operator()(CURLM* multi) const { curl_multi_cleanup(multi); }
};
struct ListDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using HeaderList = std::unique_ptr<curl_slist, ListDeleter>;

void appendHeader(HeaderList& list, const char* line) {
    if (curl_slist* head = curl_slist_append(list.get(), line)) {
        static_cast<void>(list.release());
        list.reset(head);
    }
}

// Keeps an easy handle in its multi handle for the scope; removal comes before either is freed.
class MultiAttachment {
  public:
    MultiAttachment(CURLM* multi, CURL* easy)
        : multi_(multi), easy_(easy), attached_(curl_multi_add_handle(multi, easy) == CURLM_OK) {}
    ~MultiAttachment() {
        if (attached_) {
            curl_multi_remove_handle(multi_, easy_);
        }
    }
    MultiAttachment(const MultiAttachment&) = delete;
    MultiAttachment& operator=(const MultiAttachment&) = delete;

    bool attached() const { return attached_; }

  private:
    CURLM* multi_;
    CURL* easy_;
    bool attached_;
};

// A parsed URL, or none when curl does not accept it.
std::unique_ptr<CURLU, UrlDeleter> parseUrl(const std::string& utf8) {
    std::unique_ptr<CURLU, UrlDeleter> url(curl_url());
    if (!url || curl_url_set(url.get(), CURLUPART_URL, utf8.c_str(), 0) != CURLUE_OK) {
        return nullptr;
    }
    return url;
}

// One exchange in the in-flight set: cancelAll wakes its multi handle and marks it taken.
struct InFlightRequest {
    CURLM* multi = nullptr;
    bool takenByCancel = false;  // guarded by the client's mutex
};

struct CancelState {
    std::mutex mutex;
    std::unordered_set<InFlightRequest*> inFlight;
    bool cancelled = false;
};

// Registers one exchange for its lifetime; removal happens on every path, before the multi
// handle goes away.
class RequestRegistration {
  public:
    RequestRegistration(CancelState& client, CURLM* multi) : client_(client) {
        record_.multi = multi;
    }
    ~RequestRegistration() {
        std::lock_guard lock(client_.mutex);
        if (registered_ && !record_.takenByCancel) {
            client_.inFlight.erase(&record_);
        }
    }
    RequestRegistration(const RequestRegistration&) = delete;
    RequestRegistration& operator=(const RequestRegistration&) = delete;

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

  private:
    CancelState& client_;
    InFlightRequest record_;
    bool registered_ = false;
};

// What the callbacks of one exchange share with the loop that drives it.
struct Transfer {
    std::string body;
    bool tooLarge = false;
    // An allocation failure cannot pass through curl's C frames; it is thrown again afterwards.
    std::exception_ptr failure;
    // The last time a byte moved in either direction; the receive time-out counts from here.
    Clock::time_point lastActivity;
    curl_off_t uploaded = 0;
};

std::size_t onBody(char* data, std::size_t size, std::size_t count, void* user) {
    auto& transfer = *static_cast<Transfer*>(user);
    const std::size_t bytes = size * count;
    if (transfer.body.size() + bytes > kMaxResponseBytes) {
        transfer.tooLarge = true;
        return 0;  // aborts the transfer with CURLE_WRITE_ERROR
    }
    try {
        transfer.body.append(data, bytes);
    } catch (...) {
        transfer.failure = std::current_exception();
        return 0;
    }
    transfer.lastActivity = Clock::now();
    return bytes;
}

std::size_t onHeader(char*, std::size_t size, std::size_t count, void* user) {
    static_cast<Transfer*>(user)->lastActivity = Clock::now();
    return size * count;
}

int onProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t uploaded) {
    auto& transfer = *static_cast<Transfer*>(user);
    if (uploaded != transfer.uploaded) {
        transfer.uploaded = uploaded;
        transfer.lastActivity = Clock::now();
    }
    return 0;
}

bool initialiseCurl() {
    static std::once_flag once;
    static bool ok = false;
    std::call_once(once, [] { ok = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK; });
    return ok;
}

}  // namespace

struct HttpClient::Impl : CancelState {
    bool initialised = false;
    Redirects redirects = Redirects::Follow;
};

HttpClient::HttpClient(Redirects redirects) : impl_(std::make_unique<Impl>()) {
    impl_->initialised = initialiseCurl();
    impl_->redirects = redirects;
}

HttpClient::~HttpClient() = default;

HttpResponse HttpClient::request(const std::wstring& method, const std::wstring& url,
                                 const std::string& body, int receiveTimeoutMs) {
    HttpResponse response;
    if (!impl_->initialised) {
        response.error = kHttpErrorNoSession;
        return response;
    }
    const auto parsedUrl = hasHttpScheme(url) ? parseUrl(toUtf8(url)) : nullptr;
    if (!parsedUrl) {
        response.error = kHttpErrorBadUrl;
        return response;
    }

    const auto start = Clock::now();
    const std::unique_ptr<CURLM, MultiDeleter> multi(curl_multi_init());
    const std::unique_ptr<CURL, EasyDeleter> easy(curl_easy_init());
    RequestRegistration registration(*impl_, multi.get());
    if (!multi || !easy) {
        response.error = kHttpErrorNoSession;
        response.elapsedMs = millisecondsSince(start);
        return response;
    }
    if (!registration.enter()) {
        response.error = kHttpErrorCancelled;
        response.elapsedMs = millisecondsSince(start);
        return response;
    }

    // Accept always; the JSON content type only with a body. Empty values remove what curl
    // would add by itself (a form content type for an empty POST, "Expect: 100-continue").
    HeaderList headers;
    appendHeader(headers, "Accept: application/json");
    appendHeader(headers,
                 body.empty() ? "Content-Type:" : "Content-Type: application/json; charset=utf-8");
    appendHeader(headers, "Expect:");

    const std::string methodUtf8 = toUtf8(method);
    const std::string userAgent(kHttpUserAgent);
    const int idleLimitMs = receiveTimeoutMs > 0 ? receiveTimeoutMs : kDefaultReceiveTimeoutMs;
    Transfer transfer;
    transfer.lastActivity = start;

    CURL* e = easy.get();
    curl_easy_setopt(e, CURLOPT_CURLU, parsedUrl.get());
    curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(e, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, impl_->redirects == Redirects::Follow ? 1L : 0L);
    curl_easy_setopt(e, CURLOPT_MAXREDIRS, 10L);
    curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(e, CURLOPT_USERAGENT, userAgent.c_str());
    curl_easy_setopt(e, CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(e, CURLOPT_ACCEPT_ENCODING, "gzip, deflate");
    // curl has no separate resolve time-out: one limit covers resolving and connecting.
    curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(kConnectTimeoutMs));
    if (!body.empty() || methodUtf8 == "POST" || methodUtf8 == "PUT") {
        curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
        curl_easy_setopt(e, CURLOPT_POSTFIELDS, body.data());
    }
    if (methodUtf8 != "GET" && methodUtf8 != "POST") {
        curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, methodUtf8.c_str());
    }
    curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, onBody);
    curl_easy_setopt(e, CURLOPT_WRITEDATA, &transfer);
    curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, onHeader);
    curl_easy_setopt(e, CURLOPT_HEADERDATA, &transfer);
    curl_easy_setopt(e, CURLOPT_XFERINFOFUNCTION, onProgress);
    curl_easy_setopt(e, CURLOPT_XFERINFODATA, &transfer);
    curl_easy_setopt(e, CURLOPT_NOPROGRESS, 0L);

    const MultiAttachment attachment(multi.get(), e);
    if (!attachment.attached()) {
        response.error = kHttpErrorNoSession;
        response.elapsedMs = millisecondsSince(start);
        return response;
    }

    // Drives the exchange until curl reports it done, cancelAll wakes the poll, or no byte
    // moved for the receive time-out ("no byte for N ms", as WinHTTP's receive time-out).
    CURLcode result = CURLE_OK;
    bool done = false;
    bool cancelled = false;
    bool idleTimeout = false;
    while (!done) {
        int running = 0;
        const CURLMcode performed = curl_multi_perform(multi.get(), &running);
        int queued = 0;
        while (CURLMsg* message = curl_multi_info_read(multi.get(), &queued)) {
            if (message->msg == CURLMSG_DONE) {
                result = message->data.result;
                done = true;
            }
        }
        if (performed != CURLM_OK && !done) {
            result = CURLE_FAILED_INIT;
            done = true;
        }
        if (done) {
            break;
        }
        if (registration.taken()) {
            cancelled = true;
            break;
        }
        const auto idleMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                                Clock::now() - transfer.lastActivity)
                                .count();
        if (idleMs >= idleLimitMs) {
            idleTimeout = true;
            break;
        }
        const int waitMs = static_cast<int>(std::min<long long>(kMaxPollMs, idleLimitMs - idleMs));
        curl_multi_poll(multi.get(), nullptr, 0, waitMs, nullptr);
    }
    response.elapsedMs = millisecondsSince(start);
    if (transfer.failure) {
        std::rethrow_exception(transfer.failure);
    }

    if (cancelled || registration.taken()) {
        response.error = kHttpErrorCancelled;
    } else if (idleTimeout) {
        response.error = kHttpErrorTimeout;
    } else if (transfer.tooLarge) {
        response.error = kHttpErrorTooLarge;
    } else if (result != CURLE_OK) {
        response.error = describeCurlError(result);
    } else {
        long status = 0;
        curl_easy_getinfo(e, CURLINFO_RESPONSE_CODE, &status);
        response.ok = true;
        response.status = static_cast<std::int32_t>(status);
        response.body = std::move(transfer.body);
    }
    return response;
}

void HttpClient::cancelAll() {
    std::lock_guard lock(impl_->mutex);
    impl_->cancelled = true;
    for (InFlightRequest* record : impl_->inFlight) {
        curl_multi_wakeup(record->multi);
        record->takenByCancel = true;
    }
    impl_->inFlight.clear();
}

void HttpClient::resetCancel() {
    std::lock_guard lock(impl_->mutex);
    impl_->cancelled = false;
}

}  // namespace vindral
