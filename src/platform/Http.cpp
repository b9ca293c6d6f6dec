#include "platform/Http.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <mutex>

namespace tandemora::http {

namespace {

// Bytes libcurl reads from the connection at a time (its own default is 16 KB):
// a large download then takes a few hundred reads instead of thousands. The
// upload buffer is as large, so a large upload goes out in as few writes.
constexpr long TransferBufferBytes = 512 * 1024;

void GlobalInit() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

bool SameNameNoCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

std::string TrimLine(const std::string& s) {
    size_t first = 0;
    size_t last = s.size();
    while (first < last && static_cast<unsigned char>(s[first]) <= ' ') {
        ++first;
    }
    while (last > first && static_cast<unsigned char>(s[last - 1]) <= ' ') {
        --last;
    }
    return s.substr(first, last - first);
}

// What the callbacks of one exchange work on.
struct TExchange {
    const TRequest* Request;
    TReply* Reply;
    int64_t Remaining;                  // request body bytes still to send from the file
    fs::TWriteBehind* ReplyWriteBehind; // set when the reply goes into a file
    bool TooLong = false;               // the reply body grew past its limit
    bool Stalled = false;               // nothing moved for StallTimeoutMs
    // The bytes moved either way when last seen, and when they last changed.
    curl_off_t Moved = -1;
    std::chrono::steady_clock::time_point LastMove = std::chrono::steady_clock::now();
};

size_t OnReplyBytes(char* data, size_t size, size_t count, void* user) {
    auto* x = static_cast<TExchange*>(user);
    const size_t n = size * count;
    if (x->Request->ReplyFile != nullptr) {
        if (!x->Request->ReplyFile->WriteAll(data, n)) {
            return 0; // makes curl fail the transfer with a write error
        }
        x->ReplyWriteBehind->Wrote(n);
    } else {
        if (x->Reply->ReceivedBytes + static_cast<int64_t>(n) > x->Request->MaxReplyBytes) {
            x->TooLong = true;
            return 0;
        }
        x->Reply->Body.append(data, n);
    }
    x->Reply->ReceivedBytes += static_cast<int64_t>(n);
    return n;
}

size_t OnBodyWanted(char* buffer, size_t size, size_t count, void* user) {
    auto* x = static_cast<TExchange*>(user);
    const size_t room =
        std::min<size_t>(size * count, static_cast<size_t>(std::max<int64_t>(x->Remaining, 0)));
    if (room == 0) {
        return 0;
    }
    const int64_t n = x->Request->BodyFile->Read(buffer, room);
    if (n <= 0) {
        // The file ended (or failed) before the length announced to the server.
        return CURL_READFUNC_ABORT;
    }
    x->Remaining -= n;
    x->Reply->SentBytes += n;
    return static_cast<size_t>(n);
}

size_t OnHeaderLine(char* data, size_t size, size_t count, void* user) {
    auto* x = static_cast<TExchange*>(user);
    const size_t n = size * count;
    const std::string line(data, n);
    if (line.rfind("HTTP/", 0) == 0) {
        // A new reply begins (after "100 Continue" or an authentication round):
        // only the final one counts.
        x->Reply->HeaderValue.clear();
        return n;
    }
    const size_t colon = line.find(':');
    if (colon != std::string::npos && !x->Request->ReplyHeader.empty() &&
        SameNameNoCase(TrimLine(line.substr(0, colon)), x->Request->ReplyHeader)) {
        x->Reply->HeaderValue = TrimLine(line.substr(colon + 1));
    }
    return n;
}

// libcurl calls it at least once a second, also while it waits for a
// connection or a reply. Its own low-speed check averages over several
// seconds; a stall is measured here to the limit asked for.
int OnProgress(void* user, curl_off_t, curl_off_t downloaded, curl_off_t, curl_off_t uploaded) {
    auto* x = static_cast<TExchange*>(user);
    if (x->Request->Cancelled && x->Request->Cancelled()) {
        return 1;
    }
    const auto now = std::chrono::steady_clock::now();
    if (downloaded + uploaded != x->Moved) {
        x->Moved = downloaded + uploaded;
        x->LastMove = now;
    } else if (now - x->LastMove > std::chrono::milliseconds(x->Request->StallTimeoutMs)) {
        x->Stalled = true;
        return 1;
    }
    return 0;
}

struct TCurlDeleter {
    void operator()(CURL* curl) const { curl_easy_cleanup(curl); }
};
struct TListDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

void SetMethodAndBody(CURL* curl, const TRequest& request, TExchange& exchange) {
    if (request.BodyFile != nullptr) {
        curl_easy_setopt(curl, CURLOPT_UPLOAD, 1L);
        curl_easy_setopt(curl, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(request.BodySize));
        curl_easy_setopt(curl, CURLOPT_READFUNCTION, OnBodyWanted);
        curl_easy_setopt(curl, CURLOPT_READDATA, &exchange);
        if (request.Method != "PUT") {
            curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, request.Method.c_str());
        }
        return;
    }
    if (request.Method == "GET" && request.Body.empty()) {
        curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
        return;
    }
    if (request.Method == "HEAD") {
        curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
        return;
    }
    if (!request.Body.empty()) {
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, request.Body.c_str());
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.Body.size()));
    }
    curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, request.Method.c_str());
}

} // namespace

bool Send(const TRequest& Request, TReply& Reply) {
    Reply = TReply();
    GlobalInit();
    std::unique_ptr<CURL, TCurlDeleter> curl(curl_easy_init());
    if (!curl) {
        Reply.Error = "cannot create an HTTP session";
        return false;
    }
    std::unique_ptr<fs::TWriteBehind> writeBehind;
    if (Request.ReplyFile != nullptr) {
        writeBehind = std::make_unique<fs::TWriteBehind>(*Request.ReplyFile);
    }
    TExchange exchange{&Request, &Reply, Request.BodyFile != nullptr ? Request.BodySize : 0,
                       writeBehind.get()};
    CURL* c = curl.get();
    char errorText[CURL_ERROR_SIZE] = {0};
    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, errorText);
    curl_easy_setopt(c, CURLOPT_URL, Request.Url.c_str());
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
    // Peer and host checks are curl's defaults; they are never switched off.
    if (const char* ca = std::getenv("TANDEMORA_TEST_CA_FILE"); ca != nullptr && *ca != '\0') {
        curl_easy_setopt(c, CURLOPT_CAINFO, ca);
    }
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(c, CURLOPT_NOPROXY, "localhost,127.0.0.1,::1");
    curl_easy_setopt(c, CURLOPT_FORBID_REUSE, 1L);
    curl_easy_setopt(c, CURLOPT_BUFFERSIZE, TransferBufferBytes);
    curl_easy_setopt(c, CURLOPT_UPLOAD_BUFFERSIZE, TransferBufferBytes);
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(Request.ConnectTimeoutMs));
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_TIME,
                     std::max(1L, static_cast<long>((Request.StallTimeoutMs + 999) / 1000)));
    if (!Request.User.empty()) {
        curl_easy_setopt(c, CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_BASIC));
        curl_easy_setopt(c, CURLOPT_USERNAME, Request.User.c_str());
        curl_easy_setopt(c, CURLOPT_PASSWORD, Request.Password.c_str());
    }

    std::unique_ptr<curl_slist, TListDeleter> headers;
    for (const THeader& h : Request.Headers) {
        // "Name;" is how curl sends a header with an empty value.
        const std::string line = h.Value.empty() ? h.Name + ";" : h.Name + ": " + h.Value;
        curl_slist* grown = curl_slist_append(headers.get(), line.c_str());
        if (grown == nullptr) {
            Reply.Error = "out of memory";
            return false;
        }
        headers.release();
        headers.reset(grown);
    }
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers.get());
    SetMethodAndBody(c, Request, exchange);

    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, OnReplyBytes);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &exchange);
    curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, OnHeaderLine);
    curl_easy_setopt(c, CURLOPT_HEADERDATA, &exchange);
    curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, OnProgress);
    curl_easy_setopt(c, CURLOPT_XFERINFODATA, &exchange);
    curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);

    const CURLcode result = curl_easy_perform(c);
    long status = 0;
    curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
    Reply.Status = static_cast<int>(status);
    Reply.CertificateRefused = result == CURLE_PEER_FAILED_VERIFICATION || result == CURLE_SSL_CACERT_BADFILE;
    const bool bodySent = Request.BodyFile == nullptr || Reply.SentBytes == Request.BodySize;
    Reply.Complete = result == CURLE_OK && Reply.Status != 0 && bodySent;
    // A connection closed without a reply is the server's answer to this
    // request alone (Apache does so for a folder it may not read).
    Reply.NoAnswer =
        exchange.Stalled || result == CURLE_COULDNT_CONNECT || result == CURLE_OPERATION_TIMEDOUT;
    if (!Reply.Complete) {
        Reply.Error = errorText[0] != '\0' ? errorText : curl_easy_strerror(result);
        if (result == CURLE_OK) {
            Reply.Error = "the request body was not sent whole";
        } else if (exchange.Stalled) {
            Reply.Error = "nothing moved for " + std::to_string((Request.StallTimeoutMs + 999) / 1000) + " s";
        } else if (exchange.TooLong) {
            Reply.Error = "the reply is larger than " + std::to_string(Request.MaxReplyBytes) + " bytes";
        }
    }
    return Reply.Complete;
}

} // namespace tandemora::http
