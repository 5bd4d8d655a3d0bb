// The one recording server of the session tests, on 127.0.0.1: it records
// every request (path, headers, body, when), and answers with what the test
// queued (statuses, answers), with a status a rule picks, or with an
// acknowledgement; it can hold its answers until the test releases them.
#ifndef OVX_TESTS_SENSOR_SERVICES_HEARTBEATSERVER_H
#define OVX_TESTS_SENSOR_SERVICES_HEARTBEATSERVER_H

#include <deque>
#include <utility>

#include "Answers.h"
#include "SessionFixture.h"
#include "support/Listener.h"
#include "support/TestServer.h"

namespace ovxTest {

constexpr char kHeartbeatPath[] = "/ovx/sensor_services/heartbeat";
constexpr char kTrustPath[] = "/ovx/sensor_services/trust";

struct Arrival {
    std::chrono::steady_clock::time_point at;
    std::string path, contentType, encoding, acceptEncoding, body;
    uint32_t note;  // what the test's Note hook returned as the request arrived
};

class HeartbeatServer {
public:
    HeartbeatServer() {
        m_server.server().Post(".*", [this](const auto& request, auto& response) { Serve(request, response); });
        m_server.Start();
    }
    // Stopped (its held answers released) before the state its handler reads goes away.
    ~HeartbeatServer() { Stop(); }

    void Stop() {
        Release();
        m_server.Stop();
    }
    std::string Url() const { return m_server.Url(); }

    // ---- what arrived
    std::vector<Arrival> Arrivals() { return Get(m_arrivals); }
    size_t Arrived() { return Arrivals().size(); }
    Arrival ArrivalAt(size_t index) { return Arrivals().at(index); }
    void Forget() { Set(m_arrivals, std::vector<Arrival>()); }
    // Bodies posted to the heartbeat path.
    size_t Count() { return Bodies(kHeartbeatPath).size(); }
    std::string Body(size_t index) { return Bodies(kHeartbeatPath).at(index); }
    // Bodies posted to the trust path (key exchange, attachment).
    std::vector<std::string> Trust() { return Bodies(kTrustPath); }
    std::vector<std::string> Bodies(const std::string& path) { return Posted(path, ""); }
    // Heartbeats carrying an item or a sensor called `name`, and how many.
    std::vector<std::string> Carrying(const std::string& name) { return Posted(kHeartbeatPath, "name='" + name + "'"); }
    size_t Named(const std::string& name) { return Carrying(name).size(); }

    // ---- how it answers, first rule first
    // 1. Statuses answered once each, in order, with a Retry-After when given.
    void Status(int status, const std::string& retryAfter = "") { Push(m_statuses, status, retryAfter); }
    // 2. A status for the request (0: answer it), given it and how many came before.
    void Rule(std::function<int(const Arrival&, size_t)> rule) { Set(m_rule, std::move(rule)); }
    // 3. Answers on the heartbeat path given once each, in order; then the default.
    void Then(const std::string& answer) { Push(m_answers, answer); }
    void Default(const std::string& answer) { Set(m_answer, answer); }
    // 4. The answer on the trust path, and one made for each request on any
    // other path but the heartbeat's (pings, alive heartbeats).
    void TrustAnswer(const std::string& answer) { Set(m_trustAnswer, answer); }
    void Reply(std::function<std::string(const Arrival&)> reply) { Set(m_reply, std::move(reply)); }
    // Called as each request arrives, outside the server's lock (never empty).
    void Note(std::function<uint32_t()> note) { Set(m_note, std::move(note)); }
    // Answers wait (at most five seconds) while held.
    void Hold() { m_held = true; }
    void Release() { m_held = false; }

private:
    template <class Member>
    Member Get(const Member& member) {
        std::lock_guard<std::mutex> hold(m_lock);
        return member;
    }
    template <class Member, class Value>
    void Set(Member& member, Value&& value) {
        std::lock_guard<std::mutex> hold(m_lock);
        member = std::forward<Value>(value);
    }
    template <class Member, class... Values>
    void Push(Member& member, Values&&... values) {
        std::lock_guard<std::mutex> hold(m_lock);
        member.emplace_back(std::forward<Values>(values)...);
    }
    // Bodies posted to `path` that hold `part`.
    std::vector<std::string> Posted(const std::string& path, const std::string& part) {
        std::vector<std::string> bodies;
        for (const Arrival& arrival : Arrivals())
            if (arrival.path == path && arrival.body.find(part) != std::string::npos) bodies.push_back(arrival.body);
        return bodies;
    }
    void Serve(const httplib::Request& request, httplib::Response& response) {
        const uint32_t noted = Get(m_note)();
        const auto header = [&](const char* name) { return request.get_header_value(name); };
        const Arrival arrival{
            Clock::now(), request.path, header("Content-Type"), header("Content-Encoding"), header("Accept-Encoding"),
            request.body, noted};
        std::string answer;
        {
            std::lock_guard<std::mutex> hold(m_lock);
            m_arrivals.push_back(arrival);
            if (!m_statuses.empty()) {
                response.status = m_statuses.front().first;
                if (!m_statuses.front().second.empty()) response.set_header("Retry-After", m_statuses.front().second);
                m_statuses.pop_front();
                return;
            }
            if (m_rule) response.status = m_rule(arrival, m_arrivals.size() - 1);
            if (response.status != 0 && response.status != -1) return;
            response.status = 200;
            // The heartbeat path, and any other but the trust path without a
            // reply rule, take the queued answers, then the default.
            const bool queued = arrival.path != kTrustPath && (arrival.path == kHeartbeatPath || !m_reply);
            answer = !queued             ? (arrival.path == kTrustPath ? m_trustAnswer : m_reply(arrival))
                     : m_answers.empty() ? m_answer
                                         : m_answers.front();
            if (queued && !m_answers.empty()) m_answers.pop_front();
        }
        for (int i = 0; i < 5000 && m_held.load(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        response.set_content(answer, "application/x-ovx-cml-data");
    }

    TestServer m_server;
    std::mutex m_lock;
    std::vector<Arrival> m_arrivals;
    std::deque<std::pair<int, std::string>> m_statuses;
    std::function<int(const Arrival&, size_t)> m_rule;
    std::function<uint32_t()> m_note = [] { return 0u; };
    std::function<std::string(const Arrival&)> m_reply;
    std::deque<std::string> m_answers;
    std::atomic<bool> m_held{false};
    std::string m_trustAnswer =
        Answer("", Doc("attach-to-site-response", kAgentNs, "at") +
                       Doc("exchange-keys-response", kMessageNs, "ek", "<key algorithm='rsa' length='2048'>PEM</key>"));
    std::string m_answer = Answer("", Doc("agent-startup-acknowledgement", kAgentNs, "ack"));
};

// A session whose one server is the recording server, with retries 0.1 s
// apart (or as Flags and Ceiling say).
struct ServedSession : SessionFixture {
    std::string LocalSettings() override {
        return "[sensor_services]\nretryInterval=100\nretryCeiling=" + Ceiling() + "\n" + Flags();
    }
    // Writes the local settings again: retries 0.1 s apart up to `ceiling`
    // ms, `flags`, and `scs` for the service library.
    void Settings(const std::string& flags, const std::string& ceiling = "100", const std::string& scs = "") {
        WriteText(localFile, "[scs]\nagentIdFile=" + dir + "/agent-id.ini\n" + scs +
                                 "[sensor_services]\nretryInterval=100\nretryCeiling=" + ceiling + "\n" + flags);
    }
    // Posts `heartbeat`; true once `until` holds.
    template <class Condition>
    bool Posted(SS_HMESSAGE heartbeat, Condition until) {
        return PostHeartbeat(heartbeat, nullptr, nullptr) == 0 && WaitFor(until);
    }
    // Posts the usual heartbeat called `name`; true once `count` of that name arrived.
    bool Posted(const std::string& name, size_t count = 1) {
        return Posted(Heartbeat(name.c_str()), [&] { return server.Named(name) == count; });
    }
    virtual std::string Flags() { return ""; }
    virtual std::string Ceiling() { return "100"; }
    std::string CommSettings() override {
        return "[group]\nschemaVersion=1.0.0\n[server.1]\nurl=" + server.Url() + "\n";
    }

    HeartbeatServer server;  // stopped after the session, as the fixture goes
};

}  // namespace ovxTest

#endif  // OVX_TESTS_SENSOR_SERVICES_HEARTBEATSERVER_H
