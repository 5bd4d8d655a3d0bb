// Posting over libcurl: one post to one server of a destination, the
// mapping of libcurl's results to status codes, and connection tests.
#include <openssl/ssl.h>
#include <strings.h>

#include <cctype>
#include <cstring>
#include <ctime>
#include <new>

#include "scs/scsLibrary.h"
#include "tools/ovxGzip.h"
#include "tools/ovxTrace.h"

namespace ovxScs {
namespace {

struct Response {
    std::vector<uint8_t> body;
    size_t limit = kDefaultMaxResponse;
    bool tooLarge = false;
    std::string retryAfter;  // the last answer's Retry-After value, trimmed
};

// Longest Retry-After honoured at all; the caller caps it further at its own
// ceiling. Keeps the milliseconds inside 32 bits.
constexpr uint64_t kMaxRetryAfterSeconds = 24 * 3600;

// Keeps the Retry-After of the answer being read. Each status line starts a
// new answer's headers, so an interim answer's value never lingers.
size_t ReadHeader(char* data, size_t size, size_t count, void* user) {
    auto* response = static_cast<Response*>(user);
    const size_t length = size * count;
    // Lines are not NUL-terminated: compare within their length only.
    if (length >= 5 && std::memcmp(data, "HTTP/", 5) == 0) {
        response->retryAfter.clear();
    } else if (length > 12 && strncasecmp(data, "Retry-After:", 12) == 0) {
        size_t begin = 12;
        size_t end = length;
        while (begin < end && std::isspace(static_cast<unsigned char>(data[begin])) != 0) ++begin;
        while (end > begin && std::isspace(static_cast<unsigned char>(data[end - 1])) != 0) --end;
        response->retryAfter.assign(data + begin, end - begin);
    }
    return length;
}

// The wait a Retry-After value asks for in ms: delta-seconds (digits only)
// or an HTTP-date in the future. A date now or past, an empty value and
// anything else give 0, as if there were none.
uint32_t RetryAfterMs(const std::string& value) {
    if (value.empty() || value.size() > 64) return 0;
    uint64_t seconds = 0;
    bool digits = true;
    for (char c : value) {
        if (c < '0' || c > '9') {
            digits = false;
            break;
        }
        seconds = seconds * 10 + static_cast<uint64_t>(c - '0');
        if (seconds > kMaxRetryAfterSeconds) seconds = kMaxRetryAfterSeconds + 1;
    }
    if (!digits) {
        // libcurl's date parser knows the three date forms HTTP allows.
        const time_t date = curl_getdate(value.c_str(), nullptr);
        const time_t now = std::time(nullptr);
        if (date == static_cast<time_t>(-1) || date <= now) return 0;
        seconds = static_cast<uint64_t>(date - now);
    }
    if (seconds > kMaxRetryAfterSeconds) seconds = kMaxRetryAfterSeconds;
    return static_cast<uint32_t>(seconds * 1000);
}

size_t WriteBody(char* data, size_t size, size_t count, void* user) {
    auto* response = static_cast<Response*>(user);
    size_t length = size * count;
    if (length > response->limit - response->body.size()) {
        response->tooLarge = true;
        return 0;  // aborts the transfer
    }
    // As bytes of the vector's own type: copied as a block, not one by one.
    const auto* bytes = reinterpret_cast<const uint8_t*>(data);
    response->body.insert(response->body.end(), bytes, bytes + length);
    return length;
}

int Progress(void*, curl_off_t, curl_off_t, curl_off_t, curl_off_t) { return S().stopping.load() ? 1 : 0; }

// What the TLS layer saw during the calling thread's current transfer (a
// transfer runs on its caller's thread): whether the server asked for a
// client certificate, and whether it sent an alert.
thread_local bool t_certificateRequested = false;
thread_local bool t_alertReceived = false;

void WatchTls(const SSL* ssl, int where, int) {
    if ((where & SSL_CB_READ_ALERT) != 0) t_alertReceived = true;
    if ((where & SSL_CB_CONNECT_LOOP) != 0 && SSL_get_state(ssl) == TLS_ST_CR_CERT_REQ) t_certificateRequested = true;
}

CURLcode WatchTlsOf(CURL*, void* context, void*) {
    SSL_CTX_set_info_callback(static_cast<SSL_CTX*>(context), &WatchTls);
    return CURLE_OK;
}

// Whether a transfer that failed while writing or reading was ended by the
// server's TLS layer. A server that requires a client certificate the agent
// did not present refuses it in the handshake under TLS 1.2, but only after
// the handshake under TLS 1.3: with the "certificate required" alert, which
// the agent reads, or, when the server closed before the request was
// written, as a broken connection right after it asked for a certificate.
// Both are the same failure of the secure connection.
bool EndedByTls(CURL* handle) {
    const char* scheme = nullptr;
    if (curl_easy_getinfo(handle, CURLINFO_SCHEME, &scheme) != CURLE_OK || scheme == nullptr) return false;
    if (strcasecmp(scheme, "https") != 0) return false;
    long headerBytes = 0;
    curl_easy_getinfo(handle, CURLINFO_HEADER_SIZE, &headerBytes);
    return headerBytes == 0 && (t_alertReceived || t_certificateRequested);
}

uint32_t MapResult(CURLcode code, CURL* handle, const Response& response) {
    if (response.tooLarge || code == CURLE_FILESIZE_EXCEEDED) return OVX_E_SCS_RESPONSE_TOO_LARGE;
    switch (code) {
        case CURLE_OK: {
            long http = 0;
            curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &http);
            if (http >= 200 && http < 300) return 0;
            if (http == 503) return OVX_E_SCS_SERVER_BUSY;
            if (http == 429) return OVX_I_SCS_BACK_OFF;
            return OVX_E_SCS_HTTP_STATUS;
        }
        case CURLE_COULDNT_CONNECT: return OVX_E_SCS_CONNECTION_REFUSED;
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_RESOLVE_PROXY: return OVX_E_SCS_NAME_NOT_RESOLVED;
        case CURLE_OPERATION_TIMEDOUT: {
            // A connection taken again from the pool has no connect time of
            // this transfer, but a request went out on it.
            curl_off_t connected = 0;
            curl_easy_getinfo(handle, CURLINFO_CONNECT_TIME_T, &connected);
            long requestBytes = 0;
            curl_easy_getinfo(handle, CURLINFO_REQUEST_SIZE, &requestBytes);
            return connected == 0 && requestBytes == 0 ? OVX_E_SCS_CONNECT_TIMEOUT : OVX_E_SCS_TRANSFER_TIMEOUT;
        }
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_CACERT_BADFILE:
        case CURLE_SSL_ISSUER_ERROR:
        case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
        case CURLE_SSL_CRL_BADFILE: return OVX_E_SCS_CERTIFICATE_REJECTED;
        case CURLE_SSL_CERTPROBLEM: return OVX_E_SCS_CLIENT_CERTIFICATE;
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_USE_SSL_FAILED:
        case CURLE_SSL_ENGINE_NOTFOUND:
        case CURLE_SSL_ENGINE_SETFAILED:
        case CURLE_SSL_CIPHER:
        case CURLE_SSL_SHUTDOWN_FAILED: return OVX_E_SCS_TLS_FAILURE;
        case CURLE_RECV_ERROR:
        case CURLE_SEND_ERROR:
        case CURLE_GOT_NOTHING: return EndedByTls(handle) ? OVX_E_SCS_TLS_FAILURE : OVX_E_SCS_TRANSPORT;
        default: return OVX_E_SCS_TRANSPORT;
    }
}

std::string JoinUrl(const std::string& base, const char* path) {
    std::string url = base;
    if (path == nullptr || *path == '\0') return url;
    if (!url.empty() && url.back() == '/' && path[0] == '/') url.pop_back();
    if (!url.empty() && url.back() != '/' && path[0] != '/') url += '/';
    return url + path;
}

// What belongs to one call on a handle, a new one or one kept in a pool:
// the call's error buffer, and what the TLS watch has seen.
void StartCall(CURL* handle, char* errorBuffer) {
    curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, errorBuffer);
    t_certificateRequested = false;
    t_alertReceived = false;
}

// Options common to posts and connection tests, on a new handle.
void SetTransportOptions(CURL* handle, const Server& server, const Certificate& certificate, char* errorBuffer) {
    curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(handle, CURLOPT_TCP_KEEPALIVE, 1L);
    curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, 2L);
    const std::string& caFile = !server.field[kCaFile].empty() ? server.field[kCaFile] : certificate.caFile;
    if (!caFile.empty()) curl_easy_setopt(handle, CURLOPT_CAINFO, caFile.c_str());
    const std::string& cert =
        !server.field[kClientCert].empty() ? server.field[kClientCert] : certificate.clientCertificateFile;
    const std::string& key = !server.field[kClientKey].empty() ? server.field[kClientKey] : certificate.clientKeyFile;
    if (!cert.empty()) curl_easy_setopt(handle, CURLOPT_SSLCERT, cert.c_str());
    if (!key.empty()) curl_easy_setopt(handle, CURLOPT_SSLKEY, key.c_str());
    if (!certificate.clientKeyPassword.empty()) {
        curl_easy_setopt(handle, CURLOPT_KEYPASSWD, certificate.clientKeyPassword.c_str());
    }
    // An empty proxy also keeps the process environment's proxy variables
    // from redirecting the agent's traffic.
    curl_easy_setopt(handle, CURLOPT_PROXY, server.field[kProxy].c_str());
    if (!server.field[kProxyUser].empty()) {
        curl_easy_setopt(handle, CURLOPT_PROXYUSERNAME, server.field[kProxyUser].c_str());
        curl_easy_setopt(handle, CURLOPT_PROXYPASSWORD, server.field[kProxyPassword].c_str());
    }
    curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, &Progress);
    curl_easy_setopt(handle, CURLOPT_SSL_CTX_FUNCTION, &WatchTlsOf);
    StartCall(handle, errorBuffer);
}

// What a connection test to `url` uses, the same as a post to it would: the
// CA, client certificate and proxy of the configured server with that url,
// if one is, and the certificate information the agent registered for its
// destination. A url no destination knows keeps only its own text and the
// registered certificate information of the first destination.
void TestSettingsFor(const std::string& url, Server& server, Certificate& certificate) {
    std::lock_guard<std::mutex> hold(S().lock);
    for (const auto& entry : S().destinations) {
        for (const Server& known : entry.second->servers) {
            if (known.field[kUrl] == url) {
                server = known;
                certificate = entry.second->certificate;
                return;
            }
        }
    }
    if (!S().destinations.empty()) certificate = S().destinations.begin()->second->certificate;
}

size_t Discard(char*, size_t size, size_t count, void*) { return size * count; }

// What the answer to a connection test says of posts to the same server. A
// busy or back-off answer, a proxy that wants credentials and a gateway
// that cannot reach the server meet posts too; any other answer proves that
// the connection, the TLS session and the certificates work, whatever the
// server makes of a request that is not a post.
uint32_t TestAnswerStatus(CURL* handle) {
    long http = 0;
    curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &http);
    if (http == 503) return OVX_E_SCS_SERVER_BUSY;
    if (http == 429) return OVX_I_SCS_BACK_OFF;
    if (http == 407 || http == 502 || http == 504) return OVX_E_SCS_HTTP_STATUS;
    return 0;
}

// A connection test: one exchange the server answers, a HEAD request that
// carries no heartbeat, over the connection a post would use. Connecting
// alone is not enough: under TLS 1.3 a server refuses a missing client
// certificate only after the handshake, when the first request is read.
uint32_t TestExchange(const Server& server, const Certificate& certificate, uint32_t timeoutMs) {
    CURL* handle = curl_easy_init();
    if (handle == nullptr) return OVX_E_OUT_OF_MEMORY;
    char errorBuffer[CURL_ERROR_SIZE] = {0};
    SetTransportOptions(handle, server, certificate, errorBuffer);
    curl_easy_setopt(handle, CURLOPT_URL, server.field[kUrl].c_str());
    curl_easy_setopt(handle, CURLOPT_NOBODY, 1L);
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &Discard);
    const long timeout = static_cast<long>(timeoutMs != 0 ? timeoutMs : kDefaultConnectTimeoutMs);
    curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT_MS, timeout);
    curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS, timeout);
    Response unused;
    const CURLcode code = curl_easy_perform(handle);
    const uint32_t status = code == CURLE_OK ? TestAnswerStatus(handle) : MapResult(code, handle, unused);
    curl_easy_cleanup(handle);
    return status;
}

// What a post needs of its destination, copied under the lock so that the
// transfer runs without it.
struct PostTarget {
    Server server;
    Certificate certificate;
    std::shared_ptr<ConnectionPool> pool;
    std::string language, userAgent;
    size_t limit = kDefaultMaxResponse;
};

uint32_t TakeTarget(int32_t destination, int32_t serverIndex, PostTarget& target) {
    std::lock_guard<std::mutex> hold(S().lock);
    if (!S().initialized || S().stopping) return OVX_E_SCS_NOT_INITIALIZED;
    std::shared_ptr<Destination> found = FindLocked(destination);
    if (!found) return OVX_E_SCS_UNKNOWN_DESTINATION;
    if (serverIndex < 0 || static_cast<size_t>(serverIndex) >= found->servers.size()) {
        return OVX_E_SCS_BAD_SERVER_INDEX;
    }
    target.server = found->servers[static_cast<size_t>(serverIndex)];
    target.pool = found->pools[static_cast<size_t>(serverIndex)];
    target.certificate = found->certificate;
    target.language = found->language;
    target.userAgent = S().userAgent;
    target.limit = found->maxResponse;
    return 0;
}

struct PostRequest {
    std::string url;
    const char* contentType;
    const uint8_t* body;
    uint32_t bodyLength;
    SCS_Timeouts timeouts;
    bool gzip = false;  // body already gzip-encoded; a compressed answer is welcome
};

// The request's options on a handle of the server's pool; the headers list
// is the caller's to free once the transfer is done.
curl_slist* SetPostOptions(CURL* handle, const PostTarget& target, const PostRequest& request, Response& answer) {
    curl_easy_setopt(handle, CURLOPT_URL, request.url.c_str());
    curl_easy_setopt(handle, CURLOPT_POST, 1L);
    curl_easy_setopt(handle, CURLOPT_POSTFIELDS,
                     request.body != nullptr ? reinterpret_cast<const char*>(request.body) : "");
    curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.bodyLength));
    curl_easy_setopt(handle, CURLOPT_USERAGENT, target.userAgent.c_str());
    const SCS_Timeouts& given = request.timeouts;
    curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT_MS,
                     static_cast<long>(given.connectTimeout != 0 ? given.connectTimeout : kDefaultConnectTimeoutMs));
    curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS,
                     static_cast<long>(given.transferTimeout != 0 ? given.transferTimeout : kDefaultTransferTimeoutMs));
    curl_easy_setopt(handle, CURLOPT_DNS_CACHE_TIMEOUT, static_cast<long>(given.dnsCacheTimeout / 1000));
    curl_easy_setopt(handle, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(target.limit));
    answer.limit = target.limit;
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &WriteBody);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, &answer);
    curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, &ReadHeader);
    curl_easy_setopt(handle, CURLOPT_HEADERDATA, &answer);
    curl_slist* headers = nullptr;
    std::string typeHeader = std::string("Content-Type: ") +
                             (request.contentType != nullptr ? request.contentType : "application/octet-stream");
    headers = curl_slist_append(headers, typeHeader.c_str());
    headers = curl_slist_append(headers, "Expect:");
    if (request.gzip) {
        headers = curl_slist_append(headers, "Content-Encoding: gzip");
        // libcurl decodes the answer; only gzip, which every server has.
        curl_easy_setopt(handle, CURLOPT_ACCEPT_ENCODING, "gzip");
    } else {
        curl_easy_setopt(handle, CURLOPT_ACCEPT_ENCODING, nullptr);  // a kept handle's last post may have asked
    }
    if (!target.language.empty()) {
        headers = curl_slist_append(headers, ("Accept-Language: " + target.language).c_str());
    }
    curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers);
    return headers;
}

// One transfer: the handle goes back to the pool when it worked (its live
// connection is reused) and is closed when it failed.
// What the transfer on `handle` did, for SCS_PostDataEx's caller.
void Describe(CURL* handle, uint32_t status, const PostRequest& request, const Response& answer, SCS_PostInfo& info) {
    long http = 0;
    curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &http);
    info.httpStatus = http > 0 ? static_cast<uint32_t>(http) : 0;
    info.retryAfterMs =
        status == OVX_E_SCS_SERVER_BUSY || status == OVX_I_SCS_BACK_OFF ? RetryAfterMs(answer.retryAfter) : 0;
    info.compressed = request.gzip ? 1 : 0;
    long requestBytes = 0;
    curl_easy_getinfo(handle, CURLINFO_REQUEST_SIZE, &requestBytes);
    curl_off_t uploaded = 0;
    curl_easy_getinfo(handle, CURLINFO_SIZE_UPLOAD_T, &uploaded);
    long headerBytes = 0;
    curl_easy_getinfo(handle, CURLINFO_HEADER_SIZE, &headerBytes);
    curl_off_t downloaded = 0;
    curl_easy_getinfo(handle, CURLINFO_SIZE_DOWNLOAD_T, &downloaded);
    // libcurl counts a body small enough to go out with the headers (under
    // 64 KiB) in the request's size, and a larger one only as uploaded.
    const auto headers = static_cast<uint64_t>(requestBytes > 0 ? requestBytes : 0);
    const auto body = static_cast<uint64_t>(uploaded > 0 ? uploaded : 0);
    info.bytesSent = headers > body ? headers : headers + body;
    info.bytesReceived = static_cast<uint64_t>(headerBytes > 0 ? headerBytes : 0) +
                         static_cast<uint64_t>(downloaded > 0 ? downloaded : 0);
}

uint32_t Perform(const PostTarget& target, const PostRequest& request, Response& answer, SCS_PostInfo* info) {
    bool reused = false;
    CURL* handle = target.pool->Take(reused);
    if (handle == nullptr) return OVX_E_OUT_OF_MEMORY;
    char errorBuffer[CURL_ERROR_SIZE] = {0};
    if (reused) {
        // Resetting a handle and setting its transport again costs about as
        // much as the rest of a post's own work: a handle of the pool keeps
        // its transport options.
        StartCall(handle, errorBuffer);
    } else {
        SetTransportOptions(handle, target.server, target.certificate, errorBuffer);
    }
    curl_slist* headers = SetPostOptions(handle, target, request, answer);
    CURLcode code = curl_easy_perform(handle);
    uint32_t status = MapResult(code, handle, answer);
    if (info != nullptr) Describe(handle, status, request, answer, *info);
    curl_easy_setopt(handle, CURLOPT_HTTPHEADER, nullptr);
    curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, nullptr);  // the buffer is this call's
    curl_slist_free_all(headers);
    if (code == CURLE_OK) {
        target.pool->Give(handle);
    } else {
        curl_easy_cleanup(handle);
    }
    if (status != 0) {
        Trace(SS_TRACE_ERROR, "SCS_PostData()", "Post to '%s' failed: %s", request.url.c_str(),
              errorBuffer[0] != '\0' ? errorBuffer : curl_easy_strerror(code));
    }
    return status;
}

}  // namespace
}  // namespace ovxScs

using namespace ovxScs;

extern "C" {

uint32_t SCS_PostDataEx(int32_t destination, int32_t serverIndex, const char* urlPath, uint32_t options,
                        const char* contentType, const uint8_t* body, uint32_t bodyLength, const uint32_t* timeouts,
                        uint8_t** response, uint32_t* responseLength, SCS_PostInfo* info) {
    if (response == nullptr || responseLength == nullptr || (body == nullptr && bodyLength != 0) ||
        !ValidString(urlPath) || (contentType != nullptr && !ValidString(contentType)) ||
        (info != nullptr && info->structSize < sizeof(SCS_PostInfo)) || (options & ~SCS_POST_GZIP) != 0) {
        return OVX_E_INVALID_ARGUMENT;
    }
    *response = nullptr;
    *responseLength = 0;
    if (info != nullptr) {
        const uint32_t size = info->structSize;
        std::memset(info, 0, sizeof(SCS_PostInfo));
        info->structSize = size;
    }
    try {
        InFlight counted;
        PostTarget target;
        uint32_t status = TakeTarget(destination, serverIndex, target);
        if (status != 0) return status;
        SCS_Timeouts given{0, 0, 60000, 0};
        if (timeouts != nullptr) std::memcpy(&given, timeouts, sizeof(given));
        PostRequest request{JoinUrl(target.server.field[kUrl], urlPath), contentType, body, bodyLength, given};
        std::string compressed;
        if ((options & SCS_POST_GZIP) != 0) {
            if (!ovxToolsLib::Gzip(body, bodyLength, compressed) || compressed.size() > UINT32_MAX) {
                return OVX_E_OUT_OF_MEMORY;
            }
            request.body = reinterpret_cast<const uint8_t*>(compressed.data());
            request.bodyLength = static_cast<uint32_t>(compressed.size());
            request.gzip = true;
        }
        Response answer;
        status = Perform(target, request, answer, info);
        if (status != 0 || answer.body.empty()) return status;
        auto* copy = new (std::nothrow) uint8_t[answer.body.size()];
        if (copy == nullptr) return OVX_E_OUT_OF_MEMORY;
        std::memcpy(copy, answer.body.data(), answer.body.size());
        *response = copy;
        *responseLength = static_cast<uint32_t>(answer.body.size());
        return 0;
    } catch (...) {
        return OVX_E_UNEXPECTED;
    }
}

uint32_t SCS_PostData(int32_t destination, int32_t serverIndex, const char* urlPath, uint32_t, const char* contentType,
                      const uint8_t* body, uint32_t bodyLength, const uint32_t* timeouts, uint8_t** response,
                      uint32_t* responseLength) {
    return SCS_PostDataEx(destination, serverIndex, urlPath, 0, contentType, body, bodyLength, timeouts, response,
                          responseLength, nullptr);
}

uint32_t SCS_TestCommSettings(const char* serverUrl, uint32_t timeoutMs, const char*) {
    if (!ValidString(serverUrl) || *serverUrl == '\0') return OVX_E_INVALID_ARGUMENT;
    CurlReady();
    try {
        Server server;
        server.field[kUrl] = serverUrl;
        Certificate certificate;
        TestSettingsFor(serverUrl, server, certificate);
        return TestExchange(server, certificate, timeoutMs);
    } catch (...) {
        return OVX_E_UNEXPECTED;
    }
}

uint32_t SCS_TestCommSettingsFile(const char* commSettingsFile, uint32_t timeoutMs, const char*) {
    if (!ValidString(commSettingsFile) || *commSettingsFile == '\0') return OVX_E_INVALID_ARGUMENT;
    CurlReady();
    try {
        IniFile comm;
        uint32_t status = LoadIni(commSettingsFile, comm, "SCS_TestCommSettingsFile()");
        if (status != 0) return status;
        std::vector<Server> servers;
        status = ReadCommSettings(comm, servers, nullptr, nullptr);
        if (status != 0) return status;
        if (servers.empty()) return OVX_E_SCS_NO_SERVERS;
        Server unused;
        Certificate certificate;
        TestSettingsFor(servers.front().field[kUrl], unused, certificate);
        return TestExchange(servers.front(), certificate, timeoutMs);
    } catch (...) {
        return OVX_E_UNEXPECTED;
    }
}

}  // extern "C"
