#include "SimServer.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <zlib.h>

#include <cctype>
#include <chrono>

namespace ovxSim {

namespace {

int64_t SteadyMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

MHD_Result KeepValue(void* into, MHD_ValueKind, const char* key, const char* value) {
    auto& values = *static_cast<std::pair<std::map<std::string, std::string>*, bool>*>(into);
    (*values.first)[values.second ? Lower(key) : std::string(key)] = value != nullptr ? value : "";
    return MHD_YES;
}

// A gzip body decoded, at most `limit` bytes; false when it is not gzip or
// decodes to more.
bool Gunzip(const std::string& packed, size_t limit, std::string& out) {
    z_stream stream{};
    if (inflateInit2(&stream, 16 + MAX_WBITS) != Z_OK) return false;
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(packed.data()));
    stream.avail_in = static_cast<uInt>(packed.size());
    char chunk[16384];
    int result = Z_OK;
    while (result == Z_OK && out.size() <= limit) {
        stream.next_out = reinterpret_cast<Bytef*>(chunk);
        stream.avail_out = sizeof chunk;
        result = inflate(&stream, Z_NO_FLUSH);
        out.append(chunk, sizeof chunk - stream.avail_out);
        if (result == Z_BUF_ERROR && stream.avail_in == 0) break;
    }
    inflateEnd(&stream);
    return result == Z_STREAM_END && out.size() <= limit;
}

std::string ClientAddress(MHD_Connection* connection) {
    const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    char text[INET6_ADDRSTRLEN] = "";
    if (info == nullptr || info->client_addr == nullptr) return text;
    const sockaddr* address = info->client_addr;
    if (address->sa_family == AF_INET) {
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(address)->sin_addr, text, sizeof text);
    } else if (address->sa_family == AF_INET6) {
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr, text, sizeof text);
    }
    return text;
}

// Each connection costs a descriptor: the soft limit is raised to the hard
// one, so that the connection limit, not the default of 1,024, is what holds.
void RaiseDescriptorLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        (void)setrlimit(RLIMIT_NOFILE, &limit);
    }
}

}  // namespace

std::string SimRequest::Header(const std::string& name) const {
    auto found = headers.find(name);
    return found == headers.end() ? std::string() : found->second;
}

std::string SimRequest::Param(const std::string& name) const {
    auto found = params.find(name);
    return found == params.end() ? std::string() : found->second;
}

// What one request gathers between the calls libmicrohttpd makes for it.
struct SimServer::Exchange {
    SimRequest request;
    SimResponse response;
    bool tooLarge = false;
    bool held = false;  // answered, parked until its delay is over
};

struct SimServerCallbacks {
    static MHD_Result Send(MHD_Connection* connection, const SimResponse& answer) {
        MHD_Response* response = MHD_create_response_from_buffer(
            answer.body.size(), const_cast<char*>(answer.body.data()), MHD_RESPMEM_MUST_COPY);
        if (response == nullptr) return MHD_NO;
        if (!answer.type.empty()) MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, answer.type.c_str());
        for (const auto& header : answer.headers) {
            MHD_add_response_header(response, header.first.c_str(), header.second.c_str());
        }
        const MHD_Result queued = MHD_queue_response(connection, static_cast<unsigned>(answer.status), response);
        MHD_destroy_response(response);
        return queued;
    }

    // The request as the handler sees it; false when its body cannot be
    // decoded.
    static bool Collect(SimServer::Exchange& exchange, MHD_Connection* connection, const char* url, const char* method,
                        size_t maxBody) {
        SimRequest& request = exchange.request;
        request.method = method;
        request.path = url;
        request.remoteAddress = ClientAddress(connection);
        std::pair<std::map<std::string, std::string>*, bool> headers{&request.headers, true};
        MHD_get_connection_values(connection, MHD_HEADER_KIND, &KeepValue, &headers);
        std::pair<std::map<std::string, std::string>*, bool> params{&request.params, false};
        MHD_get_connection_values(connection, MHD_GET_ARGUMENT_KIND, &KeepValue, &params);
        if (Lower(request.Header("content-encoding")) != "gzip") return true;
        std::string plain;
        if (!Gunzip(request.body, maxBody, plain)) return false;
        request.body.swap(plain);
        return true;
    }

    static MHD_Result Access(void* self, MHD_Connection* connection, const char* url, const char* method, const char*,
                             const char* upload, size_t* uploadSize, void** state) {
        SimServer& server = *static_cast<SimServer*>(self);
        auto* exchange = static_cast<SimServer::Exchange*>(*state);
        if (exchange == nullptr) {  // the head has arrived; the body may follow
            *state = new SimServer::Exchange;
            return MHD_YES;
        }
        if (exchange->held) return Send(connection, exchange->response);
        if (*uploadSize != 0) {
            if (exchange->request.body.size() + *uploadSize > server.m_options.maxBody) exchange->tooLarge = true;
            if (!exchange->tooLarge) exchange->request.body.append(upload, *uploadSize);
            *uploadSize = 0;
            return MHD_YES;
        }
        SimResponse& response = exchange->response;
        if (exchange->tooLarge) {
            response.status = MHD_HTTP_CONTENT_TOO_LARGE;
        } else if (!Collect(*exchange, connection, url, method, server.m_options.maxBody)) {
            response.status = MHD_HTTP_BAD_REQUEST;
        } else {
            try {
                server.m_handler(exchange->request, response);
            } catch (...) {
                response = SimResponse();
                response.status = MHD_HTTP_INTERNAL_SERVER_ERROR;
            }
        }
        if (response.delayMs <= 0) return Send(connection, response);
        exchange->held = true;
        MHD_suspend_connection(connection);
        server.Hold(connection, response.delayMs);
        return MHD_YES;
    }

    static void Completed(void*, MHD_Connection*, void** state, MHD_RequestTerminationCode) {
        delete static_cast<SimServer::Exchange*>(*state);
        *state = nullptr;
    }
};

SimServer::SimServer(SimServerOptions options, Handler handler)
    : m_options(std::move(options)), m_handler(std::move(handler)) {}

SimServer::~SimServer() { Stop(); }

int SimServer::Start(std::string* error) {
    auto fail = [&](const std::string& why) {
        if (error != nullptr) *error = why;
        return -1;
    };
    RaiseDescriptorLimit();
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(m_options.port));
    if (inet_pton(AF_INET, m_options.host.c_str(), &address.sin_addr) != 1) {
        return fail("cannot listen on " + m_options.host + ": not an IPv4 address");
    }
    const bool tls = !m_options.certificatePem.empty() && !m_options.keyPem.empty();
    if (tls && MHD_is_feature_supported(MHD_FEATURE_TLS) != MHD_YES) return fail("this libmicrohttpd has no TLS");
    unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL | MHD_ALLOW_SUSPEND_RESUME;
    if (tls) flags |= MHD_USE_TLS;
    std::vector<MHD_OptionItem> options = {
        {MHD_OPTION_SOCK_ADDR, 0, &address},
        {MHD_OPTION_LISTENING_ADDRESS_REUSE, 1, nullptr},
        {MHD_OPTION_LISTEN_BACKLOG_SIZE, m_options.backlog, nullptr},
        {MHD_OPTION_THREAD_POOL_SIZE, m_options.threads > 0 ? m_options.threads : 1, nullptr},
        {MHD_OPTION_CONNECTION_LIMIT, static_cast<intptr_t>(m_options.connectionLimit), nullptr},
        {MHD_OPTION_CONNECTION_TIMEOUT, m_options.idleSeconds, nullptr},
        {MHD_OPTION_NOTIFY_COMPLETED, reinterpret_cast<intptr_t>(&SimServerCallbacks::Completed), this},
    };
    if (tls) {
        options.push_back({MHD_OPTION_HTTPS_MEM_KEY, 0, const_cast<char*>(m_options.keyPem.c_str())});
        options.push_back({MHD_OPTION_HTTPS_MEM_CERT, 0, const_cast<char*>(m_options.certificatePem.c_str())});
    }
    options.push_back({MHD_OPTION_END, 0, nullptr});
    {
        std::lock_guard<std::mutex> hold(m_heldLock);
        m_stopping = false;
    }
    m_daemon = MHD_start_daemon(flags, static_cast<uint16_t>(m_options.port), nullptr, nullptr,
                                &SimServerCallbacks::Access, this, MHD_OPTION_ARRAY, options.data(), MHD_OPTION_END);
    if (m_daemon == nullptr) {
        return fail(tls ? "cannot listen on " + m_options.host + ":" + std::to_string(m_options.port) +
                              " with that certificate and key"
                        : "cannot listen on " + m_options.host + ":" + std::to_string(m_options.port));
    }
    const MHD_DaemonInfo* info = MHD_get_daemon_info(m_daemon, MHD_DAEMON_INFO_BIND_PORT);
    if (info != nullptr) m_options.port = info->port;
    m_resumer = std::thread([this] { ResumeDue(); });
    return m_options.port;
}

void SimServer::Stop() {
    if (m_daemon == nullptr) return;
    {
        // Parked connections go back to the daemon before it stops.
        std::lock_guard<std::mutex> hold(m_heldLock);
        m_stopping = true;
        for (auto& held : m_held) MHD_resume_connection(held.second);
        m_held.clear();
    }
    m_heldChanged.notify_all();
    if (m_resumer.joinable()) m_resumer.join();
    MHD_stop_daemon(m_daemon);
    m_daemon = nullptr;
}

void SimServer::Hold(MHD_Connection* connection, int delayMs) {
    {
        std::lock_guard<std::mutex> hold(m_heldLock);
        if (m_stopping) {
            MHD_resume_connection(connection);
            return;
        }
        m_held.emplace(SteadyMs() + delayMs, connection);
    }
    m_heldChanged.notify_all();
}

void SimServer::ResumeDue() {
    std::unique_lock<std::mutex> hold(m_heldLock);
    while (!m_stopping) {
        const int64_t now = SteadyMs();
        while (!m_held.empty() && m_held.begin()->first <= now) {
            MHD_resume_connection(m_held.begin()->second);
            m_held.erase(m_held.begin());
        }
        if (m_held.empty()) {
            m_heldChanged.wait(hold);
        } else {
            m_heldChanged.wait_for(hold, std::chrono::milliseconds(m_held.begin()->first - now));
        }
    }
}

}  // namespace ovxSim
