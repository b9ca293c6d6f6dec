#pragma once
// A small synchronous HTTP client over libcurl, as the WebDAV endpoint needs it:
// any method, Basic credentials, header lines sent in the caller's order, a text
// body or a file streamed as the body, and back the status, one named reply
// header and the body (as text or streamed into a file).
//
// Each request opens its own connection and closes it again, so requests on
// different threads share nothing. An "https://" URL is checked against the
// system's certificates; a server whose certificate does not hold gets no
// request at all (Status 0, CertificateRefused). The suites point the check at a
// CA of their own through the environment variable TANDEMORA_TEST_CA_FILE. Redirects are not followed (a 3xx
// is just a status), replies are never decoded (no compression is asked for), and loopback addresses never go
// through a proxy.

#include "platform/FileSystem.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace tandemora::http {

struct THeader {
    std::string Name;
    std::string Value;
};

// The most a reply body kept in memory may hold unless a request says less
// (1 GiB, as an FTP listing).
constexpr int64_t MaxReplyInMemory = int64_t(1) << 30;

struct TRequest {
    std::string Method = "GET";
    // Sent as it stands: the caller encodes whatever the URL must not carry raw.
    std::string Url;
    // Basic credentials, sent with the first request; none when User is empty.
    std::string User;
    std::string Password;
    std::vector<THeader> Headers;
    // The body, unless BodyFile is set.
    std::string Body;
    // When set, the body is the first BodySize bytes of this open file, read from
    // its current position; a file that gives fewer bytes fails the request.
    fs::TFileHandle* BodyFile = nullptr;
    int64_t BodySize = 0;
    // When set, the reply body goes into this open file instead of TReply::Body.
    fs::TFileHandle* ReplyFile = nullptr;
    // A reply body kept in TReply::Body that grows past this breaks the exchange
    // off: a server that never ends its reply would take all the memory there
    // is. A body that goes into ReplyFile is not held back (it is on disk).
    int64_t MaxReplyBytes = MaxReplyInMemory;
    // The one reply header the caller wants (letter case does not matter).
    std::string ReplyHeader;
    int64_t ConnectTimeoutMs = 30000;
    // An exchange in which nothing moves for this long fails (whole seconds),
    // waiting for the reply included.
    int64_t StallTimeoutMs = 30000;
    // Asked at least once a second during the exchange, also while it waits;
    // true breaks it off.
    std::function<bool()> Cancelled;
};

struct TReply {
    // The status of the final reply; 0 when no reply came at all.
    int Status = 0;
    // True when the whole reply arrived (every byte its length or chunking
    // announced) and every request body byte was sent; false on any failure of
    // the connection, a time-out, a cancel or a write to ReplyFile that failed.
    bool Complete = false;
    // Why the exchange failed (empty when Complete).
    std::string Error;
    // The server's certificate could not be verified: nothing was sent.
    bool CertificateRefused = false;
    // The server could not be reached or stopped answering: the connection was
    // refused or timed out, or nothing moved for StallTimeoutMs (a cancel is
    // not counted here).
    bool NoAnswer = false;
    // The value of TRequest::ReplyHeader in the final reply, empty when absent.
    std::string HeaderValue;
    // The reply body when no ReplyFile was given.
    std::string Body;
    // Body bytes received (into Body or ReplyFile) and request body bytes sent.
    int64_t ReceivedBytes = 0;
    int64_t SentBytes = 0;
};

// Sends the request and waits for the reply. True when a reply came and the
// exchange was complete (whatever its status); reply says what happened either way.
bool Send(const TRequest& Request, TReply& Reply);

// True for 200-299.
inline bool IsSuccess(int Status) {
    return Status >= 200 && Status <= 299;
}

} // namespace tandemora::http
