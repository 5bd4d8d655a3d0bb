// The simulator's HTTP front: an event-driven server (libmicrohttpd over
// epoll, a few threads each polling its share of the connections). A client
// that trickles its request holds a socket and a few kilobytes, never a
// thread, so a thousand of them leave everyone else served; the handler
// runs once a request has arrived whole.
#ifndef OVX_APPS_AGENT_MANAGER_SIM_SIMSERVER_H
#define OVX_APPS_AGENT_MANAGER_SIM_SIMSERVER_H

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

struct MHD_Daemon;
struct MHD_Connection;

namespace ovxSim {

struct SimRequest {
    std::string method, path, body, remoteAddress;
    std::map<std::string, std::string> headers;  // names in lower case
    std::map<std::string, std::string> params;   // of the query string
    // The value of a header (name in lower case) or of a parameter; empty
    // when absent.
    std::string Header(const std::string& name) const;
    std::string Param(const std::string& name) const;
};

struct SimResponse {
    int status = 200;
    std::string body, type;
    std::vector<std::pair<std::string, std::string>> headers;
    // Held back this long before it goes (a stalled answer): the connection
    // is parked, no thread waits for it.
    int delayMs = 0;
};

struct SimServerOptions {
    std::string host = "127.0.0.1";
    int port = 0;                        // 0: any free port
    std::string certificatePem, keyPem;  // HTTPS when both are set
    int threads = 4;                     // polling threads
    int idleSeconds = 2;                 // a connection silent this long is dropped
    size_t maxBody = 16u * 1024 * 1024;  // larger bodies get 413
    int backlog = 1024;                  // connections the kernel queues before accept
    unsigned connectionLimit = 4096;     // connections open at once
};

class SimServer {
public:
    using Handler = std::function<void(const SimRequest&, SimResponse&)>;
    SimServer(SimServerOptions options, Handler handler);
    ~SimServer();
    SimServer(const SimServer&) = delete;
    SimServer& operator=(const SimServer&) = delete;

    // Listens and serves; the port (the one of the options, or the free one
    // taken when it was 0, kept for later starts), or -1 with *error set.
    int Start(std::string* error);
    // Closes the listening socket and every connection; Start serves again.
    void Stop();

private:
    struct Exchange;
    friend struct SimServerCallbacks;
    void Hold(MHD_Connection* connection, int delayMs);
    void ResumeDue();

    SimServerOptions m_options;
    Handler m_handler;
    MHD_Daemon* m_daemon = nullptr;
    // Stalled answers: when each parked connection is resumed.
    std::mutex m_heldLock;
    std::condition_variable m_heldChanged;
    std::multimap<int64_t, MHD_Connection*> m_held;
    bool m_stopping = false;
    std::thread m_resumer;
};

}  // namespace ovxSim

#endif  // OVX_APPS_AGENT_MANAGER_SIM_SIMSERVER_H
