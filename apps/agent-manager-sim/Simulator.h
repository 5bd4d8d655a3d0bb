// An Agent Manager for the desk: it speaks the whole protocol of the sensor
// library over HTTP or HTTPS, keeps what agents tell it in SQLite, shows it
// on a status page, and misbehaves on request so that agents can be tested
// against a server that fails.
#ifndef OVX_APPS_AGENT_MANAGER_SIM_SIMULATOR_H
#define OVX_APPS_AGENT_MANAGER_SIM_SIMULATOR_H

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "SimHeartbeat.h"
#include "SimLog.h"
#include "SimServer.h"
#include "ovxStatus.h"

struct sqlite3;
struct sqlite3_stmt;
namespace ovx {
namespace cml {
class CCmlMessage;
class CPolicyData;
}  // namespace cml
}  // namespace ovx

namespace ovxSim {

struct SimConfig {
    std::string name = "agent-manager";
    std::string host = "127.0.0.1";
    int port = 0;  // 0: any free port
    // Host header names served besides the bound address and "localhost";
    // a request naming any other gets 421, so that a page served under a
    // name rebound to this address cannot read the simulator.
    std::vector<std::string> hostNames;
    // HTTPS when both are set.
    std::string certificateFile, keyFile;
    // The SQLite state; ":memory:" keeps nothing across restarts. The file
    // and its -wal and -shm must be the simulator's own (see OpenOwnFile).
    std::string stateFile = ":memory:";
    // One comm settings file per group: <folder>/<group>.ini ("default.ini"
    // for agents without a group name hint).
    std::string groupsFolder;
    // Policies by name: <folder>/<name>.xml is sent as XML, any other
    // <folder>/<name>.* as Base64 content.
    std::string policiesFolder;
    // Site users: name -> Base64 MD5 digest of the password.
    std::map<std::string, std::string> users;
    // The operator's token, which every admin request carries in the
    // X-Admin-Token header. When a file is named, the token is read from it,
    // or made and written there (0600) when the file does not exist yet; an
    // existing one must be the simulator's own. Otherwise a token given here
    // is used, or one is made at start.
    std::string adminTokenFile;
    std::string adminToken;
    // One line per request on this sink. When empty, on stdout, written in
    // batches within 100 ms of the request (see LineWriter).
    std::function<void(const std::string&)> log;
    // Threads polling the connections (a request is handled on the thread
    // that read it), and how long a connection may be silent before it is
    // dropped.
    int threads = 4;
    int idleSeconds = 2;
};

// Reads site users ("name:password" lines) from a file only its owner may
// read, or from a variable of the environment holding them one per line.
// False with the reason in *error when the file is readable by others or a
// line is not a user.
bool LoadUsers(const std::string& file, std::map<std::string, std::string>& users, std::string* error);
bool LoadUsersFromText(const std::string& text, std::map<std::string, std::string>& users, std::string* error);

// Faults for the next posts, set from the command line or the admin endpoint.
enum class Fault { kNone, kBusy, kThrottle, kStall, kTruncate, kGarble, kOversize };

// An attach-to-site request with a wrong user or password is answered with
// OVX_E_CML_ATTACH_REFUSED.

class Simulator {
public:
    explicit Simulator(SimConfig config);
    ~Simulator();
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    // Opens the state and starts serving on its own thread; returns the port
    // (-1 on failure, with the reason in *error).
    int Start(std::string* error = nullptr);
    void Stop();
    // Writes the log lines of requests answered so far (stdout only).
    void FlushLog();
    int Port() const { return m_port; }
    std::string Url() const;
    // The token admin requests must carry (known once started).
    const std::string& AdminToken() const { return m_adminToken; }
    // The server's public key as PEM, its algorithm and size in bits: made
    // on the first start and kept in the state.
    const std::string& PublicKeyPem() const { return m_publicKeyPem; }

    // The next `count` posts get `fault`; a stall lasts `stallMs`.
    void InjectFault(Fault fault, int count, int stallMs = 0);
    // Refuses connections (nothing listens) for `seconds`, then serves again.
    void RefuseFor(int seconds);
    // Queues a server request for an agent's next heartbeat: "get-schema-request",
    // "set-schema-request", "set-policy-request" or any other tag (which the
    // agent does not know). Returns false for an unusable request.
    bool QueueRequest(const std::string& agentId, const std::string& kind, const std::string& nameSpace,
                      const std::string& version, const std::string& name);

    // The state as JSON and as the status page.
    std::string StatusJson();
    std::string StatusPage();
    // Counters for tests and the demo's timeline.
    int Count(const std::string& what);

private:
    struct Queued {
        std::string kind, nameSpace, version, name;
    };
    // Closes the listener for each refusal period and serves again after
    // it, until stopped: the one thread that stops and starts the server.
    void Control();
    // Asks for a refusal period; `soon`: after the answer to the operator's
    // command has gone out, without waiting (from a server thread).
    void Refuse(int seconds, bool soon);
    void Dispatch(const SimRequest& request, SimResponse& response);
    void Admin(const SimRequest& request, SimResponse& response);
    bool HostServed(const SimRequest& request) const;
    void Log(const SimRequest& request, int status, size_t bytes);
    // Sets the answer's body, compressed when the agent accepts gzip and
    // `mayCompress`; counts compressed requests and answers.
    void Send(const SimRequest& request, SimResponse& response, std::string& body, const char* type, bool mayCompress);
    bool TakeFault(Fault* fault, int* stallMs);
    void ApplyFault(Fault fault, int stallMs, std::string& body, SimResponse& response);
    // An agent's posts and their answers; 400 when the body is no message.
    std::string Heartbeat(const std::string& body, int* status);
    std::string Trust(const std::string& body, int* status);
    // The parts of a heartbeat's answer; m_lock is held.
    void RecordAnnouncement(const std::string& agent, const HeartbeatPost::Announcement& announcement,
                            ovx::cml::CCmlMessage& answer, std::string& group);
    void AnswerPolicies(const std::string& agent, const std::string& group, const HeartbeatPost::PolicyAsk& asked,
                        ovx::cml::CCmlMessage& answer);
    void GroupSettingsFor(const std::string& group, const std::string& agentToken, ovx::cml::CPolicyData& data,
                          std::string& xml);
    void PolicyFor(const std::string& name, ovx::cml::CPolicyData& data, std::string& xml);
    void AddQueuedRequest(const Queued& request, ovx::cml::CCmlMessage& answer);
    std::string Ping(const std::string& body);
    void Alive(const std::string& body);
    void Exec(const std::string& sql, const std::vector<std::string>& values = {});
    void Bump(const std::string& what);
    bool OpenState(std::string* error);
    bool LoadOrMakeKey(std::string* error);
    bool LoadOrMakeAdminToken(std::string* error);
    bool AdminAllowed(const SimRequest& request) const;
    // A statement prepared once and kept (the state has one writer).
    sqlite3_stmt* Statement(const std::string& sql);

    SimConfig m_config;
    // Before the server: it outlives every request the server hands over.
    std::unique_ptr<LineWriter> m_logWriter;
    std::atomic<int> m_port{-1};
    std::unique_ptr<SimServer> m_server;
    std::thread m_control;
    std::mutex m_controlLock;  // the four below
    std::condition_variable m_controlChanged;
    bool m_stopping = false;
    int64_t m_refuseUntilMs = 0;
    bool m_refuseSoon = false;
    bool m_refusing = false;  // the listener is closed

    std::string m_adminToken;
    std::string m_publicKeyPem;
    std::string m_keyAlgorithm;
    int m_keyBits = 0;

    std::mutex m_lock;  // state, faults, queue, counters
    sqlite3* m_db = nullptr;
    std::map<std::string, sqlite3_stmt*> m_statements;
    Fault m_fault = Fault::kNone;
    int m_faultCount = 0;
    int m_stallMs = 0;
    std::map<std::string, std::vector<Queued>> m_queue;
    std::map<std::string, int> m_counts;
    int m_nextRequest = 1;
    // Per agent, the modules and schemas last written: an agent
    // lists the same ones heartbeat after heartbeat, and they are written
    // again only when they change (and once after each start).
    std::map<std::string, std::string> m_inventories;
};

}  // namespace ovxSim

#endif  // OVX_APPS_AGENT_MANAGER_SIM_SIMULATOR_H
