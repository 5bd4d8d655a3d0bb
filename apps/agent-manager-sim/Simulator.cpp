#include "Simulator.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
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
    if (!m_config.log) m_logWriter = std::make_unique<LineWriter>(stdout);
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
    // Passwords are for the owner's eyes only.
    const int descriptor = OpenOwnFile(file, "the users file", O_RDONLY, false, nullptr, error);
    if (descriptor < 0) return false;
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
    if (!OpenState(error) || !LoadOrMakeKey(error) || !LoadOrMakeAdminToken(error)) return -1;
    SimServerOptions options;
    options.host = m_config.host;
    options.port = m_config.port;
    options.threads = m_config.threads;
    options.idleSeconds = m_config.idleSeconds;
    if (!m_config.certificateFile.empty() && !m_config.keyFile.empty() &&
        (!ReadFile(m_config.certificateFile, options.certificatePem) || !ReadFile(m_config.keyFile, options.keyPem))) {
        if (error != nullptr) *error = "cannot read the certificate or key";
        return -1;
    }
    m_server = std::make_unique<SimServer>(
        options, [this](const SimRequest& request, SimResponse& response) { Dispatch(request, response); });
    const int port = m_server->Start(error);
    if (port < 0) return -1;
    m_port = port;
    m_control = std::thread([this] { Control(); });
    return port;
}

// The state, and its -wal and -shm, must be the simulator's own: another
// user's file would be handed the server's private key. Absent ones are made
// here (exclusively, 0600) before SQLite opens anything, with a umask that
// keeps whatever SQLite makes itself for this user alone.
static bool CheckStateFiles(const std::string& state, bool create, std::string* error) {
    static const char* const kParts[][2] = {
        {"", "the state file"}, {"-wal", "the state's write-ahead log"}, {"-shm", "the state's shared memory file"}};
    for (const auto& part : kParts) {
        const int descriptor = OpenOwnFile(state + part[0], part[1], O_RDWR, create, nullptr, error);
        if (descriptor < 0) return false;
        close(descriptor);
    }
    return true;
}

bool Simulator::OpenState(std::string* error) {
    auto fail = [&](const std::string& why) {
        if (error != nullptr) *error = why;
        return false;
    };
    const bool file = m_config.stateFile != ":memory:" && !m_config.stateFile.empty();
    umask(077);
    if (file && !CheckStateFiles(m_config.stateFile, true, error)) return false;
    const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOFOLLOW | (file ? 0 : SQLITE_OPEN_CREATE);
    if (sqlite3_open_v2(m_config.stateFile.c_str(), &m_db, flags, nullptr) != SQLITE_OK) {
        return fail("cannot open the state database " + m_config.stateFile);
    }
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
        if (sqlite3_exec(m_db, sql, nullptr, nullptr, nullptr) != SQLITE_OK) {
            return fail("the state " + m_config.stateFile + ": " + sqlite3_errmsg(m_db));
        }
    }
    // SQLite removes and makes the log of a new state itself: what it made is
    // checked again before the key is written.
    if (file && !CheckStateFiles(m_config.stateFile, false, error)) return false;
    // Then the state is made this process's alone while it runs: held in
    // exclusive mode, SQLite takes no file lock for each transaction (those
    // locks were a twentieth of the simulator's time under load), and a
    // second simulator or another program cannot write it meanwhile. Only
    // after the check: closing any descriptor of a file drops every lock
    // the process holds on it, SQLite's too.
    const bool held = sqlite3_exec(m_db, "PRAGMA locking_mode=EXCLUSIVE", nullptr, nullptr, nullptr) == SQLITE_OK &&
                      sqlite3_exec(m_db, "BEGIN IMMEDIATE; COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK;
    return held || fail("the state " + m_config.stateFile + " is in use by another program: " + sqlite3_errmsg(m_db));
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
        bool made = false;
        const int file = OpenOwnFile(m_config.adminTokenFile, "the admin token file", O_RDWR, true, &made, error);
        if (file < 0) return false;
        char stored[256];
        const ssize_t got = made ? 0 : read(file, stored, sizeof stored);
        m_adminToken = made ? make() : std::string(stored, got > 0 ? static_cast<size_t>(got) : 0);
        while (!m_adminToken.empty() && (m_adminToken.back() == '\n' || m_adminToken.back() == '\r')) {
            m_adminToken.pop_back();
        }
        const std::string line = m_adminToken + "\n";
        const bool written = !made || write(file, line.data(), line.size()) == static_cast<ssize_t>(line.size());
        close(file);
        if (!written) {
            if (error != nullptr) *error = "cannot write the admin token file " + m_config.adminTokenFile;
            return false;
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
bool Simulator::AdminAllowed(const SimRequest& request) const {
    if (request.remoteAddress != "127.0.0.1") return false;
    if (request.headers.count("origin") != 0 && request.Header("origin") != Url()) return false;
    const std::string given = request.Header("x-admin-token");
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

void Simulator::Control() {
    std::unique_lock<std::mutex> hold(m_controlLock);
    while (!m_stopping) {
        if (m_refuseUntilMs == 0) {
            m_controlChanged.wait(hold);
            continue;
        }
        // The operator's command is answered before the listener closes.
        if (m_refuseSoon) m_controlChanged.wait_for(hold, std::chrono::milliseconds(100));
        if (m_stopping) break;
        // A server thread may be waiting for this lock: not held while the
        // server joins its threads.
        hold.unlock();
        m_server->Stop();
        hold.lock();
        m_refusing = true;
        m_controlChanged.notify_all();
        while (!m_stopping && NowMs() < m_refuseUntilMs) {
            m_controlChanged.wait_for(hold, std::chrono::milliseconds(m_refuseUntilMs - NowMs()));
        }
        // The port may be taken for a moment by a socket of the last server.
        for (int attempt = 0; !m_stopping && m_server->Start(nullptr) < 0 && attempt < 100; ++attempt) {
            m_controlChanged.wait_for(hold, std::chrono::milliseconds(50));
        }
        m_refuseUntilMs = 0;
        m_refusing = false;
    }
}

void Simulator::Stop() {
    {
        std::lock_guard<std::mutex> hold(m_controlLock);
        m_stopping = true;
    }
    m_controlChanged.notify_all();
    if (m_control.joinable()) m_control.join();
    if (m_server) m_server->Stop();
    FlushLog();
}

void Simulator::FlushLog() {
    if (m_logWriter) m_logWriter->Flush();
}

void Simulator::RefuseFor(int seconds) { Refuse(seconds, false); }

void Simulator::Refuse(int seconds, bool soon) {
    std::unique_lock<std::mutex> hold(m_controlLock);
    m_refuseUntilMs = NowMs() + static_cast<int64_t>(seconds) * 1000;
    m_refuseSoon = soon;
    m_controlChanged.notify_all();
    if (!soon && m_control.joinable()) m_controlChanged.wait(hold, [this] { return m_refusing || m_stopping; });
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

void Simulator::ApplyFault(Fault fault, int stallMs, std::string& body, SimResponse& response) {
    switch (fault) {
        case Fault::kBusy:
            response.status = 503;
            body.clear();
            break;
        case Fault::kThrottle:
            response.status = 429;
            body.clear();
            break;
        case Fault::kStall: response.delayMs = stallMs; break;
        case Fault::kTruncate: body.resize(body.size() / 2); break;
        case Fault::kGarble:
            for (size_t i = body.size() / 3; i < body.size() && i < body.size() / 3 + 64; ++i) body[i] = '\x01';
            break;
        case Fault::kOversize: body.append(65u * 1024 * 1024, ' '); break;
        case Fault::kNone: break;
    }
}

void Simulator::Log(const SimRequest& request, int status, size_t bytes) {
    char line[512];
    const int size = std::snprintf(line, sizeof line, "%s [%s] %s %s -> %d (%zu bytes in, %zu out)",
                                   Timestamp().c_str(), m_config.name.c_str(), request.method.c_str(),
                                   request.path.c_str(), status, request.body.size(), bytes);
    if (m_config.log) {
        m_config.log(line);
    } else if (size > 0) {
        m_logWriter->Add(line, std::min(static_cast<size_t>(size), sizeof line - 1));
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

void Simulator::Send(const SimRequest& request, SimResponse& response, std::string& body, const char* type,
                     bool mayCompress) {
    // Bodies arrive decoded (by the server front); answers go compressed to
    // an agent that asks for it.
    const bool packedIn = request.Header("content-encoding") == "gzip";
    std::string packed;
    const bool packOut = mayCompress && body.size() >= 256 &&
                         request.Header("accept-encoding").find("gzip") != std::string::npos &&
                         ovxToolsLib::Gzip(body.data(), body.size(), packed);
    if (packOut) {
        body.swap(packed);
        response.headers.emplace_back("Content-Encoding", "gzip");
    }
    if (!body.empty()) response.type = type;
    response.body.swap(body);
    if (packedIn || packOut) {
        std::lock_guard<std::mutex> hold(m_lock);
        if (packedIn) Bump("gzip-in");
        if (packOut) Bump("gzip-out");
    }
}

// Names a browser may have been pointed at for this address: the bound
// address, localhost and the operator's names, with or without a port.
bool Simulator::HostServed(const SimRequest& request) const {
    std::string host = request.Header("host");
    const size_t colon = host.rfind(':');
    if (colon != std::string::npos && host.find(']') == std::string::npos) host.erase(colon);
    std::transform(host.begin(), host.end(), host.begin(), [](unsigned char c) { return std::tolower(c); });
    if (host == m_config.host || host == "localhost") return true;
    for (const std::string& name : m_config.hostNames) {
        std::string served = name;
        std::transform(served.begin(), served.end(), served.begin(), [](unsigned char c) { return std::tolower(c); });
        if (host == served) return true;
    }
    return false;
}

void Simulator::Dispatch(const SimRequest& request, SimResponse& response) {
    if (!HostServed(request)) {
        response.status = 421;
        Log(request, response.status, 0);
        return;
    }
    const std::string& path = request.path;
    const bool post = request.method == "POST";
    using Reader = std::string (Simulator::*)(const std::string& body, int* status);
    Reader fill = nullptr;
    if (post && path == "/ovx/sensor_services/heartbeat") fill = &Simulator::Heartbeat;
    if (post && path == "/ovx/sensor_services/trust") fill = &Simulator::Trust;
    std::string body;
    if (fill != nullptr || (post && path == "/ovx/sensor_services/new_ping")) {
        Fault fault = Fault::kNone;
        int stallMs = 0;
        const bool faulty = TakeFault(&fault, &stallMs);
        body = fill != nullptr ? (this->*fill)(request.body, &response.status) : Ping(request.body);
        if (faulty) ApplyFault(fault, stallMs, body, response);
        Send(request, response, body, fill != nullptr ? kCmlType : kXmlType, fill != nullptr && !faulty);
    } else if (post && path == "/ovx/sensor_services/alive") {
        Alive(request.body);
    } else if (request.method == "GET" && path == "/") {
        body = StatusPage();
        Send(request, response, body, "text/html; charset=UTF-8", false);
    } else if (request.method == "GET" && path == "/status.json") {
        body = StatusJson();
        Send(request, response, body, "application/json", false);
    } else if (post && path.compare(0, 7, "/admin/") == 0) {
        Admin(request, response);
    } else {
        response.status = 404;
    }
    Log(request, response.status, response.body.size());
}

// Operator commands, from this machine only.
void Simulator::Admin(const SimRequest& request, SimResponse& response) {
    if (!AdminAllowed(request)) {
        response.status = 403;
        return;
    }
    const std::string command = request.path.substr(7);
    bool done = true;
    if (command == "fault") {
        static const std::map<std::string, Fault> kFaults = {{"busy", Fault::kBusy},     {"throttle", Fault::kThrottle},
                                                             {"stall", Fault::kStall},   {"truncate", Fault::kTruncate},
                                                             {"garble", Fault::kGarble}, {"oversize", Fault::kOversize},
                                                             {"none", Fault::kNone}};
        auto found = kFaults.find(request.Param("kind"));
        done = found != kFaults.end();
        if (done) {
            InjectFault(found->second, std::atoi(request.Param("count").c_str()),
                        std::atoi(request.Param("ms").c_str()));
        }
    } else if (command == "refuse") {
        Refuse(std::atoi(request.Param("seconds").c_str()), true);
    } else if (command == "queue") {
        done = QueueRequest(request.Param("agent"), request.Param("kind"), request.Param("namespace"),
                            request.Param("version"), request.Param("name"));
    } else {
        done = false;
    }
    response.status = done ? 200 : 400;
}

}  // namespace ovxSim
