#include "Simulator.h"

#include <fcntl.h>
#include <httplib.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <dirent.h>
#include <fstream>
#include <iterator>
#include <sstream>

#include "cml/core/cmlMessage.h"
#include "cml/core/cmlNamespaces.h"
#include "cml/core/cmlParser.h"
#include "cml/core/cmlVocabulary.h"
#include "cml/documents/cmlAgentInfo.h"
#include "cml/documents/cmlAvpSections.h"
#include "cml/documents/cmlPolicy.h"
#include "cml/documents/cmlSchema.h"
#include "cml/documents/cmlTrust.h"
#include "tools/ovxCodecvt.h"
#include "tools/ovxDigest.h"
#include "tools/ovxGuid.h"
#include "SimSupport.h"
#include "tools/ovxGzip.h"

using namespace ovx::cml;

namespace ovxSim {

using namespace support;

Simulator::Simulator(SimConfig config) : m_config(std::move(config)) {
    RegisterMessageDocuments(*GetGlobalClassFactory());
    RegisterPolicyDocuments(*GetGlobalClassFactory());
    RegisterSchemaDocuments(*GetGlobalClassFactory());
    RegisterAgentInfoDocuments(*GetGlobalClassFactory());
    RegisterTrustDocuments(*GetGlobalClassFactory());
    RegisterAvpSectionsDocuments(*GetGlobalClassFactory());
}

Simulator::~Simulator() {
    Stop();
    for (auto& statement : m_statements) sqlite3_finalize(statement.second);
    if (m_db != nullptr) sqlite3_close(m_db);
}

bool LoadUsersFromText(const std::string& text, std::map<std::string, std::string>& users, std::string* error) {
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line[0] == '#') continue;
        const size_t colon = line.find(':');
        if (colon == std::string::npos || colon == 0) {
            if (error != nullptr) *error = "a user line is not NAME:PASSWORD";
            return false;
        }
        const std::string password = line.substr(colon + 1);
        users[line.substr(0, colon)] = ovxToolsLib::ovxMd5Base64(password.data(), password.size());
    }
    return true;
}

bool LoadUsers(const std::string& file, std::map<std::string, std::string>& users, std::string* error) {
    const int descriptor = open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    struct stat info {};
    if (descriptor < 0 || fstat(descriptor, &info) != 0) {
        if (descriptor >= 0) close(descriptor);
        if (error != nullptr) *error = "cannot read the users file " + file;
        return false;
    }
    // Passwords are for the owner's eyes only.
    if (!S_ISREG(info.st_mode) || (info.st_mode & 077) != 0 || info.st_uid != geteuid()) {
        close(descriptor);
        if (error != nullptr)
            *error = "the users file " + file + " must be a file of yours that only you can read (0600)";
        return false;
    }
    std::string text;
    char chunk[4096];
    ssize_t got;
    while ((got = read(descriptor, chunk, sizeof chunk)) > 0 && text.size() < (1u << 20)) text.append(chunk, got);
    close(descriptor);
    return LoadUsersFromText(text, users, error);
}

std::string Simulator::Url() const {
    const bool tls = !m_config.certificateFile.empty() && !m_config.keyFile.empty();
    return std::string(tls ? "https" : "http") + "://127.0.0.1:" + std::to_string(m_port.load());
}

int Simulator::Start(std::string* error) {
    auto fail = [&](const std::string& why) {
        if (error != nullptr) *error = why;
        return -1;
    };
    if (!OpenState(error) || !LoadOrMakeKey(error) || !LoadOrMakeAdminToken(error)) return -1;
    // The first server picks the port; every later one (after a refusal
    // period) takes the same.
    std::unique_ptr<httplib::Server> server;
    if (!m_config.certificateFile.empty() && !m_config.keyFile.empty()) {
        auto tls = std::make_unique<httplib::SSLServer>(m_config.certificateFile.c_str(), m_config.keyFile.c_str());
        if (!tls->is_valid()) return fail("cannot use the certificate or key");
        server = std::move(tls);
    } else {
        server = std::make_unique<httplib::Server>();
    }
    Route(*server);
    int port = m_config.port == 0 ? server->bind_to_any_port(m_config.host)
                                  : (server->bind_to_port(m_config.host, m_config.port) ? m_config.port : -1);
    if (port < 0) return fail("cannot listen on " + m_config.host + ":" + std::to_string(m_config.port));
    m_port = port;
    {
        std::lock_guard<std::mutex> hold(m_serverLock);
        m_server = std::move(server);
    }
    m_thread = std::thread([this] { Serve(); });
    for (int i = 0; i < 500; ++i) {
        {
            std::lock_guard<std::mutex> hold(m_serverLock);
            if (m_server && m_server->is_running()) break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return port;
}

bool Simulator::OpenState(std::string* error) {
    auto fail = [&](const std::string& why) {
        if (error != nullptr) *error = why;
        return false;
    };
    // The state holds the server's private key: made for the owner alone,
    // before SQLite creates it with the process's default mode.
    const bool file = m_config.stateFile != ":memory:" && !m_config.stateFile.empty();
    if (file) {
        const int made = open(m_config.stateFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (made < 0) return fail("cannot open the state database " + m_config.stateFile);
        (void)fchmod(made, 0600);
        close(made);
    }
    if (sqlite3_open(m_config.stateFile.c_str(), &m_db) != SQLITE_OK) return fail("cannot open the state database");
    // One writer (this process, under m_lock); a write-ahead log whose
    // commits survive the process being killed, synced at checkpoints only.
    static const char* const kSetup[] = {
        "PRAGMA journal_mode=WAL",
        "PRAGMA synchronous=NORMAL",
        "PRAGMA busy_timeout=5000",
        "CREATE TABLE IF NOT EXISTS agents(id TEXT PRIMARY KEY, name TEXT, namespace TEXT, grp TEXT, "
        "heartbeats INTEGER DEFAULT 0, last_heartbeat TEXT, alive INTEGER DEFAULT 0, last_alive TEXT)",
        "CREATE TABLE IF NOT EXISTS modules(agent TEXT, name TEXT, version TEXT, PRIMARY KEY(agent, name))",
        "CREATE TABLE IF NOT EXISTS schemas(agent TEXT, namespace TEXT, version TEXT, name TEXT, "
        "PRIMARY KEY(agent, namespace))",
        "CREATE TABLE IF NOT EXISTS policies(agent TEXT, namespace TEXT, name TEXT, token TEXT, sent TEXT, "
        "PRIMARY KEY(agent, namespace, name))",
        "CREATE TABLE IF NOT EXISTS answers(agent TEXT, tag TEXT, request_id TEXT, code INTEGER, text TEXT, at TEXT)",
        "CREATE TABLE IF NOT EXISTS server_key(id INTEGER PRIMARY KEY CHECK (id = 1), pem TEXT NOT NULL)",
    };
    for (const char* sql : kSetup) {
        if (sqlite3_exec(m_db, sql, nullptr, nullptr, nullptr) != SQLITE_OK) return fail(sqlite3_errmsg(m_db));
    }
    return true;
}

bool Simulator::LoadOrMakeKey(std::string* error) {
    auto fail = [&](const std::string& why) {
        if (error != nullptr) *error = why;
        return false;
    };
    std::string privatePem;
    sqlite3_stmt* read = nullptr;
    if (sqlite3_prepare_v2(m_db, "SELECT pem FROM server_key WHERE id = 1", -1, &read, nullptr) == SQLITE_OK &&
        sqlite3_step(read) == SQLITE_ROW) {
        privatePem = reinterpret_cast<const char*>(sqlite3_column_text(read, 0));
    }
    sqlite3_finalize(read);
    EVP_PKEY* key = nullptr;
    if (!privatePem.empty()) {
        BIO* in = BIO_new_mem_buf(privatePem.data(), static_cast<int>(privatePem.size()));
        key = in != nullptr ? PEM_read_bio_PrivateKey(in, nullptr, nullptr, nullptr) : nullptr;
        BIO_free(in);
        if (key == nullptr) return fail("the key in the state cannot be read");
    } else {
        // First start: an EC key on P-256, kept in the state.
        key = EVP_EC_gen("P-256");
        if (key == nullptr) return fail("cannot make the server's key");
        BIO* out = BIO_new(BIO_s_mem());
        char* data = nullptr;
        if (out == nullptr || PEM_write_bio_PrivateKey(out, key, nullptr, nullptr, 0, nullptr, nullptr) != 1) {
            BIO_free(out);
            EVP_PKEY_free(key);
            return fail("cannot write the server's key");
        }
        const long size = BIO_get_mem_data(out, &data);
        privatePem.assign(data, static_cast<size_t>(size));
        BIO_free(out);
        Exec("INSERT OR REPLACE INTO server_key VALUES(1, ?1)", {privatePem});
    }
    BIO* out = BIO_new(BIO_s_mem());
    char* data = nullptr;
    if (out != nullptr && PEM_write_bio_PUBKEY(out, key) == 1) {
        const long size = BIO_get_mem_data(out, &data);
        m_publicKeyPem.assign(data, static_cast<size_t>(size));
        while (!m_publicKeyPem.empty() && m_publicKeyPem.back() == '\n') m_publicKeyPem.pop_back();
    }
    BIO_free(out);
    m_keyBits = EVP_PKEY_get_bits(key);
    m_keyAlgorithm = EVP_PKEY_get_base_id(key) == EVP_PKEY_EC ? "EC" : "RSA";
    EVP_PKEY_free(key);
    return !m_publicKeyPem.empty() || fail("cannot write the server's public key");
}

bool Simulator::LoadOrMakeAdminToken(std::string* error) {
    auto make = [] {
        unsigned char bytes[24];
        if (RAND_bytes(bytes, sizeof bytes) != 1) return std::string();
        std::string token;
        for (unsigned char byte : bytes) {
            char hex[3];
            std::snprintf(hex, sizeof hex, "%02x", byte);
            token += hex;
        }
        return token;
    };
    if (m_config.adminTokenFile.empty()) {
        m_adminToken = !m_config.adminToken.empty() ? m_config.adminToken : make();
    } else {
        std::string stored;
        if (ReadFile(m_config.adminTokenFile, stored)) {
            while (!stored.empty() && (stored.back() == '\n' || stored.back() == '\r')) stored.pop_back();
            m_adminToken = stored;
        } else {
            m_adminToken = make();
            const int file =
                open(m_config.adminTokenFile.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
            const std::string line = m_adminToken + "\n";
            const bool written =
                file >= 0 && write(file, line.data(), line.size()) == static_cast<ssize_t>(line.size());
            if (file >= 0) close(file);
            if (!written) {
                if (error != nullptr) *error = "cannot write the admin token file " + m_config.adminTokenFile;
                return false;
            }
        }
    }
    if (m_adminToken.size() < 16) {
        if (error != nullptr) *error = "the admin token is too short (16 characters at least)";
        return false;
    }
    return true;
}

// Operator commands change state: they come from this machine, with the
// operator's token in a header (which a web page cannot set on a request it
// sends elsewhere), and never from a page of another origin.
bool Simulator::AdminAllowed(const httplib::Request& request) const {
    if (request.remote_addr != "127.0.0.1") return false;
    if (request.has_header("Origin") && request.get_header_value("Origin") != Url()) return false;
    const std::string given = request.get_header_value("X-Admin-Token");
    if (given.size() != m_adminToken.size()) return false;
    unsigned char difference = 0;
    for (size_t i = 0; i < given.size(); ++i) difference |= static_cast<unsigned char>(given[i] ^ m_adminToken[i]);
    return difference == 0;
}

sqlite3_stmt* Simulator::Statement(const std::string& sql) {
    auto found = m_statements.find(sql);
    if (found != m_statements.end()) {
        sqlite3_reset(found->second);
        sqlite3_clear_bindings(found->second);
        return found->second;
    }
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(m_db, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) return nullptr;
    m_statements.emplace(sql, statement);
    return statement;
}

void Simulator::Serve() {
    bool bound = true;  // the first server was bound by Start
    while (!m_stopping.load()) {
        httplib::Server* server = nullptr;
        {
            std::lock_guard<std::mutex> hold(m_serverLock);
            server = m_server.get();
        }
        if (server != nullptr) {
            if (!bound && !server->bind_to_port(m_config.host, m_port.load())) {
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
                continue;
            }
            server->listen_after_bind();
        }
        bound = false;
        // Back from listening: stopped for good, or refusing for a while.
        while (!m_stopping.load() && NowMs() < m_refuseUntilMs.load()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        if (m_stopping.load()) break;
        std::unique_ptr<httplib::Server> next;
        if (!m_config.certificateFile.empty() && !m_config.keyFile.empty()) {
            next = std::make_unique<httplib::SSLServer>(m_config.certificateFile.c_str(), m_config.keyFile.c_str());
        } else {
            next = std::make_unique<httplib::Server>();
        }
        Route(*next);
        std::lock_guard<std::mutex> hold(m_serverLock);
        m_server = std::move(next);
    }
}

void Simulator::Stop() {
    m_stopping = true;
    {
        std::lock_guard<std::mutex> hold(m_serverLock);
        if (m_server) m_server->stop();
    }
    if (m_thread.joinable()) m_thread.join();
}

void Simulator::RefuseFor(int seconds) {
    m_refuseUntilMs = NowMs() + static_cast<int64_t>(seconds) * 1000;
    std::lock_guard<std::mutex> hold(m_serverLock);
    if (m_server) m_server->stop();
}

void Simulator::InjectFault(Fault fault, int count, int stallMs) {
    std::lock_guard<std::mutex> hold(m_lock);
    m_fault = fault;
    m_faultCount = count;
    m_stallMs = stallMs;
}

bool Simulator::TakeFault(Fault* fault, int* stallMs) {
    std::lock_guard<std::mutex> hold(m_lock);
    if (m_faultCount <= 0 || m_fault == Fault::kNone) return false;
    --m_faultCount;
    Bump("fault");
    *fault = m_fault;
    *stallMs = m_stallMs;
    return true;
}

void Simulator::ApplyFault(Fault fault, int stallMs, std::string& body, httplib::Response& response) {
    switch (fault) {
        case Fault::kBusy:
            response.status = 503;
            body.clear();
            break;
        case Fault::kThrottle:
            response.status = 429;
            body.clear();
            break;
        case Fault::kStall:
            for (int waited = 0; waited < stallMs && !m_stopping.load(); waited += 20) {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
            break;
        case Fault::kTruncate: body.resize(body.size() / 2); break;
        case Fault::kGarble:
            for (size_t i = body.size() / 3; i < body.size() && i < body.size() / 3 + 64; ++i) body[i] = '\x01';
            break;
        case Fault::kOversize: body.append(65u * 1024 * 1024, ' '); break;
        case Fault::kNone: break;
    }
}

void Simulator::Log(const httplib::Request& request, int status, size_t bytes) {
    char line[512];
    std::snprintf(line, sizeof line, "%s [%s] %s %s -> %d (%zu bytes in, %zu out)", Timestamp().c_str(),
                  m_config.name.c_str(), request.method.c_str(), request.path.c_str(), status < 0 ? 200 : status,
                  request.body.size(), bytes);
    if (m_config.log) {
        m_config.log(line);
    } else {
        std::printf("%s\n", line);
        std::fflush(stdout);
    }
}

void Simulator::Bump(const std::string& what) { ++m_counts[what]; }

int Simulator::Count(const std::string& what) {
    std::lock_guard<std::mutex> hold(m_lock);
    auto found = m_counts.find(what);
    return found == m_counts.end() ? 0 : found->second;
}

void Simulator::Exec(const std::string& sql, const std::vector<std::string>& values) {
    sqlite3_stmt* statement = Statement(sql);
    if (statement == nullptr) return;
    for (size_t i = 0; i < values.size(); ++i) {
        sqlite3_bind_text(statement, static_cast<int>(i + 1), values[i].c_str(), -1, SQLITE_TRANSIENT);
    }
    sqlite3_step(statement);
    sqlite3_reset(statement);
}

void Simulator::Send(const httplib::Request& request, httplib::Response& response, std::string& body, const char* type,
                     bool mayCompress) {
    // Bodies arrive decoded (the HTTP server's zlib); answers go compressed
    // to an agent that asks for it.
    const bool packedIn = request.get_header_value("Content-Encoding") == "gzip";
    std::string packed;
    const bool packOut = mayCompress && body.size() >= 256 &&
                         request.get_header_value("Accept-Encoding").find("gzip") != std::string::npos &&
                         ovxToolsLib::Gzip(body.data(), body.size(), packed);
    if (packOut) {
        body.swap(packed);
        response.set_header("Content-Encoding", "gzip");
    }
    if (!body.empty()) response.set_content(body, type);
    if (packedIn || packOut) {
        std::lock_guard<std::mutex> hold(m_lock);
        if (packedIn) Bump("gzip-in");
        if (packOut) Bump("gzip-out");
    }
}

void Simulator::Route(httplib::Server& server) {
    server.set_tcp_nodelay(true);
    server.set_keep_alive_max_count(100000);
    // A client that trickles its request holds a thread while it does: many
    // threads, and a silence of a few seconds drops it.
    const int threads = m_config.threads > 0 ? m_config.threads : 1;
    server.new_task_queue = [threads] { return new httplib::ThreadPool(static_cast<size_t>(threads)); };
    server.set_read_timeout(m_config.readTimeoutSeconds, 0);
    server.set_payload_max_length(16u * 1024 * 1024);
    // A stopped simulator lets go of idle agent connections soon.
    server.set_keep_alive_timeout(1);
    auto post = [this](std::string (Simulator::*handler)(const std::string&, int*), const char* type) {
        return [this, handler, type](const httplib::Request& request, httplib::Response& response) {
            Fault fault = Fault::kNone;
            int stallMs = 0;
            const bool faulty = TakeFault(&fault, &stallMs);
            int status = 200;
            std::string body = (this->*handler)(request.body, &status);
            response.status = status;
            if (faulty) ApplyFault(fault, stallMs, body, response);
            Send(request, response, body, type, !faulty);
            Log(request, response.status, body.size());
        };
    };
    server.Post("/ovx/sensor_services/heartbeat", post(&Simulator::Heartbeat, kCmlType));
    server.Post("/ovx/sensor_services/trust", post(&Simulator::Trust, kCmlType));
    server.Post("/ovx/sensor_services/new_ping", [this](const httplib::Request& request, httplib::Response& response) {
        Fault fault = Fault::kNone;
        int stallMs = 0;
        const bool faulty = TakeFault(&fault, &stallMs);
        std::string body = Ping(request.body);
        if (faulty) ApplyFault(fault, stallMs, body, response);
        if (!body.empty()) response.set_content(body, kXmlType);
        Log(request, response.status, body.size());
    });
    server.Post("/ovx/sensor_services/alive", [this](const httplib::Request& request, httplib::Response& response) {
        Alive(request.body);
        Log(request, response.status, 0);
    });
    server.Get("/", [this](const httplib::Request& request, httplib::Response& response) {
        response.set_content(StatusPage(), "text/html; charset=UTF-8");
        Log(request, 200, response.body.size());
    });
    server.Get("/status.json", [this](const httplib::Request& request, httplib::Response& response) {
        response.set_content(StatusJson(), "application/json");
        Log(request, 200, response.body.size());
    });
    // Operator commands, from this machine only.
    server.Post("/admin/(\\w+)", [this](const httplib::Request& request, httplib::Response& response) {
        if (!AdminAllowed(request)) {
            response.status = 403;
            Log(request, 403, 0);
            return;
        }
        const std::string command = request.matches[1];
        auto value = [&](const char* key) { return request.has_param(key) ? request.get_param_value(key) : ""; };
        bool done = true;
        if (command == "fault") {
            static const std::map<std::string, Fault> kFaults = {
                {"busy", Fault::kBusy},         {"throttle", Fault::kThrottle}, {"stall", Fault::kStall},
                {"truncate", Fault::kTruncate}, {"garble", Fault::kGarble},     {"oversize", Fault::kOversize},
                {"none", Fault::kNone}};
            auto found = kFaults.find(value("kind"));
            done = found != kFaults.end();
            if (done) InjectFault(found->second, std::atoi(value("count").c_str()), std::atoi(value("ms").c_str()));
        } else if (command == "refuse") {
            RefuseFor(std::atoi(value("seconds").c_str()));
        } else if (command == "queue") {
            done = QueueRequest(value("agent"), value("kind"), value("namespace"), value("version"), value("name"));
        } else {
            done = false;
        }
        response.status = done ? 200 : 400;
        Log(request, response.status, 0);
    });
    server.set_error_handler([this](const httplib::Request& request, httplib::Response& response) {
        if (response.status == 404) Log(request, 404, 0);
    });
}

}  // namespace ovxSim
