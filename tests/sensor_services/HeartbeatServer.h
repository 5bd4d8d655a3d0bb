// A heartbeat server on 127.0.0.1 for the tests of what the library sends:
// it records each body and answers with whatever the test sets.
#ifndef OVX_TESTS_SENSOR_SERVICES_HEARTBEATSERVER_H
#define OVX_TESTS_SENSOR_SERVICES_HEARTBEATSERVER_H

#include <mutex>
#include <string>
#include <vector>

#include "Answers.h"
#include "support/TestServer.h"

namespace ovxTest {

// Records what arrives on the heartbeat path (and on the trust path, for the
// exchanges) and answers with an acknowledgement unless told otherwise.
class HeartbeatServer {
public:
    HeartbeatServer() {
        m_server.server().Post("/ovx/sensor_services/heartbeat",
                               [this](const httplib::Request& request, httplib::Response& response) {
                                   std::string answer;
                                   {
                                       std::lock_guard<std::mutex> hold(m_lock);
                                       m_bodies.push_back(request.body);
                                       answer = m_answers.empty() ? m_answer : m_answers.front();
                                       if (!m_answers.empty()) m_answers.erase(m_answers.begin());
                                   }
                                   response.set_content(answer, "application/x-ovx-cml-data");
                               });
        m_server.server().Post("/ovx/sensor_services/trust",
                               [this](const httplib::Request& request, httplib::Response& response) {
                                   {
                                       std::lock_guard<std::mutex> hold(m_lock);
                                       m_trust.push_back(request.body);
                                   }
                                   response.set_content(m_trustAnswer, "application/x-ovx-cml-data");
                               });
        m_server.Start();
    }
    // Stopped before the answers its handlers read go away.
    ~HeartbeatServer() { m_server.Stop(); }
    HeartbeatServer(const HeartbeatServer&) = delete;
    HeartbeatServer& operator=(const HeartbeatServer&) = delete;
    // Bodies posted to the trust path (key exchange, attachment).
    std::vector<std::string> Trust() {
        std::lock_guard<std::mutex> hold(m_lock);
        return m_trust;
    }
    std::string Url() const { return m_server.Url(); }
    size_t Count() {
        std::lock_guard<std::mutex> hold(m_lock);
        return m_bodies.size();
    }
    std::string Body(size_t index) {
        std::lock_guard<std::mutex> hold(m_lock);
        return m_bodies.at(index);
    }
    // Answers given once each, in order, before the default one.
    void Then(const std::string& answer) {
        std::lock_guard<std::mutex> hold(m_lock);
        m_answers.push_back(answer);
    }

private:
    TestServer m_server;
    std::mutex m_lock;
    std::vector<std::string> m_bodies;
    std::vector<std::string> m_answers;
    std::vector<std::string> m_trust;
    std::string m_trustAnswer =
        Answer("", Doc("attach-to-site-response", kAgentNs, "at") +
                       Doc("exchange-keys-response", kMessageNs, "ek", "<key algorithm='rsa' length='2048'>PEM</key>"));
    std::string m_answer = Answer("", Doc("agent-startup-acknowledgement", kAgentNs, "ack"));
};

}  // namespace ovxTest

#endif  // OVX_TESTS_SENSOR_SERVICES_HEARTBEATSERVER_H
