// A real HTTP(S) server on 127.0.0.1 for tests, on a free port, running on
// its own thread until the object goes away.
#ifndef OVX_TESTS_SUPPORT_TESTSERVER_H
#define OVX_TESTS_SUPPORT_TESTSERVER_H

#include <arpa/inet.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>

namespace ovxTest {

class TestServer {
public:
    // Plain HTTP, or HTTPS with the given certificate and key files (and,
    // unless empty, requiring a client certificate signed by `clientCa`).
    TestServer() : m_server(new httplib::Server()) { Configure(); }
    TestServer(const std::string& certificate, const std::string& key, const std::string& clientCa = "")
        : m_server(
              new httplib::SSLServer(certificate.c_str(), key.c_str(), clientCa.empty() ? nullptr : clientCa.c_str())) {
        Configure();
    }
    // The OpenSSL context of an HTTPS server (to pin its TLS version).
    SSL_CTX* TlsContext() { return dynamic_cast<httplib::SSLServer&>(*m_server).ssl_context(); }
    ~TestServer() { Stop(); }

    httplib::Server& server() { return *m_server; }

    // Binds to a free port of 127.0.0.1 and serves; returns the port.
    int Start() {
        m_port = m_server->bind_to_any_port("127.0.0.1");
        m_thread = std::thread([this] { m_server->listen_after_bind(); });
        for (int i = 0; i < 500 && !m_server->is_running(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        return m_port;
    }
    // A port of 127.0.0.1 with nothing listening on it (free when asked).
    static int FreePort() {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
        ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
        socklen_t size = sizeof(address);
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
        ::close(fd);
        return ntohs(address.sin_port);
    }
    void Stop() {
        if (m_thread.joinable()) {
            m_server->stop();
            m_thread.join();
        }
    }
    int port() const { return m_port; }
    std::string Url(const char* scheme = "http") const {
        return std::string(scheme) + "://127.0.0.1:" + std::to_string(m_port);
    }

    // Connections seen so far, told apart by the client's port.
    size_t Connections() {
        std::lock_guard<std::mutex> hold(m_lock);
        return m_clientPorts.size();
    }
    size_t Requests() const { return m_requests; }

private:
    void Configure() {
        // Without these a keep-alive client waits for delayed ACKs (~40 ms a
        // post) and is cut off after five requests.
        m_server->set_tcp_nodelay(true);
        m_server->set_keep_alive_max_count(100000);
        m_server->set_pre_routing_handler([this](const httplib::Request& request, httplib::Response&) {
            ++m_requests;
            std::lock_guard<std::mutex> hold(m_lock);
            m_clientPorts.insert(request.remote_port);
            return httplib::Server::HandlerResponse::Unhandled;
        });
    }

    std::unique_ptr<httplib::Server> m_server;
    std::thread m_thread;
    int m_port = -1;
    std::mutex m_lock;
    std::set<int> m_clientPorts;
    std::atomic<size_t> m_requests{0};
};

}  // namespace ovxTest

#endif  // OVX_TESTS_SUPPORT_TESTSERVER_H
