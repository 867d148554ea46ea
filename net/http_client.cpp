#include "net/http_client.h"

#include <array>

namespace vindral {

namespace {

struct ErrorKind {
    std::uint32_t code;
    std::string_view text;
};

// Codes of WinHTTP (120xx) and of Winsock (100xx): Wine reports some failures with the latter.
constexpr std::array kErrorKinds{
    ErrorKind{12002, kHttpErrorTimeout},    // ERROR_WINHTTP_TIMEOUT
    ErrorKind{10060, kHttpErrorTimeout},    // WSAETIMEDOUT
    ErrorKind{12030, kHttpErrorBroken},     // ERROR_WINHTTP_CONNECTION_ERROR
    ErrorKind{10054, kHttpErrorBroken},     // WSAECONNRESET
    ErrorKind{12029, kHttpErrorConnect},    // ERROR_WINHTTP_CANNOT_CONNECT
    ErrorKind{10061, kHttpErrorConnect},    // WSAECONNREFUSED
    ErrorKind{12175, kHttpErrorTls},        // ERROR_WINHTTP_SECURE_FAILURE
    ErrorKind{12157, kHttpErrorTls},        // ERROR_WINHTTP_SECURE_CHANNEL_ERROR
    ErrorKind{12037, kHttpErrorTls},        // ERROR_WINHTTP_SECURE_CERT_DATE_INVALID
    ErrorKind{12038, kHttpErrorTls},        // ERROR_WINHTTP_SECURE_CERT_CN_INVALID
    ErrorKind{12044, kHttpErrorTls},        // ERROR_WINHTTP_CLIENT_AUTH_CERT_NEEDED
    ErrorKind{12045, kHttpErrorTls},        // ERROR_WINHTTP_SECURE_INVALID_CA
    ErrorKind{12169, kHttpErrorTls},        // ERROR_WINHTTP_SECURE_INVALID_CERT
    ErrorKind{12007, kHttpErrorDns},        // ERROR_WINHTTP_NAME_NOT_RESOLVED
    ErrorKind{12017, kHttpErrorCancelled},  // ERROR_WINHTTP_OPERATION_CANCELLED
};

}  // namespace

std::string describeWinHttpError(std::uint32_t code) {
    for (const ErrorKind& kind : kErrorKinds) {
        if (kind.code == code) {
            return std::string(kind.text);
        }
    }
    return std::string(kHttpErrorOtherPrefix) + std::to_string(code);
}

}  // namespace vindral
