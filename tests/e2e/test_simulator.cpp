// The simulator as an operator meets it: its own key pair, kept private; an
// admin endpoint only the operator's token opens, which no web page can
// reach; site passwords never on a command line; every acknowledged
// heartbeat kept through a kill -9; and slow clients that cannot starve it.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Simulator.h"
#include "support/TestFiles.h"

using ovxTest::TempDir;
using ovxTest::WaitFor;

namespace {

ovxSim::SimConfig Quiet(const std::string& name) {
    ovxSim::SimConfig config;
    config.name = name;
    config.log = [](const std::string&) {};
    return config;
}

mode_t ModeOf(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 ? info.st_mode & 0777 : 0;
}

// A heartbeat as an agent of `agent` sends it, small.
std::string HeartbeatOf(const std::string& agent) {
    const std::string base = "https://schemas.example.org/xml";
    return "<?xml version='1.0' encoding='UTF-8'?><ovx xmlns='" + base + "' schema-version='1.0.1'><cml xmlns='" +
           base + "/cml/Message' schema-version='1.0.0'><message-envelope broadcast='false' message-id='m-" + agent +
           "'><source name='probe' namespace='urn:probe' agent-id='" + agent +
           "'/><message-body><request><agent-startup-announcement xmlns='" + base +
           "/cml/Message/AgentMessages' schema-version='1.0.4' request-id='r' name='probe' agent-id='" + agent +
           "' namespace='urn:probe' version='5.0'/></request></message-body></message-envelope></cml></ovx>";
}

// The number after "key": of the agent's entry in the status JSON.
int HeartbeatsOf(const std::string& json, const std::string& agent) {
    const size_t at = json.find("\"id\":\"" + agent + "\"");
    if (at == std::string::npos) return 0;
    const size_t count = json.find("\"heartbeats\":", at);
    return count == std::string::npos ? 0 : std::atoi(json.c_str() + count + 13);
}

}  // namespace

TEST(SimulatorKey, AKeyPairIsMadeOnceKeptPrivateAndAnnouncedAsItIs) {
    TempDir temp("ovx-sim-key");
    auto config = Quiet("keys");
    config.stateFile = temp / "state.db";
    std::string first;
    {
        ovxSim::Simulator simulator(config);
        ASSERT_GT(simulator.Start(), 0);
        first = simulator.PublicKeyPem();
    }
    // The state holds the private key: for its owner only.
    EXPECT_EQ(0600u, ModeOf(config.stateFile));
    BIO* in = BIO_new_mem_buf(first.data(), static_cast<int>(first.size()));
    EVP_PKEY* key = PEM_read_bio_PUBKEY(in, nullptr, nullptr, nullptr);
    BIO_free(in);
    ASSERT_NE(nullptr, key) << first;
    EXPECT_EQ(EVP_PKEY_EC, EVP_PKEY_get_base_id(key));
    EXPECT_EQ(256, EVP_PKEY_get_bits(key));
    EVP_PKEY_free(key);
    ovxSim::Simulator again(config);
    ASSERT_GT(again.Start(), 0);
    EXPECT_EQ(first, again.PublicKeyPem());
}

TEST(SimulatorAdmin, OnlyTheOperatorsTokenChangesState) {
    TempDir temp("ovx-sim-admin");
    auto config = Quiet("admin");
    config.adminTokenFile = temp / "admin-token";
    ovxSim::Simulator simulator(config);
    ASSERT_GT(simulator.Start(), 0);
    EXPECT_EQ(0600u, ModeOf(config.adminTokenFile));
    EXPECT_EQ(simulator.AdminToken() + "\n", ovxTest::ReadText(config.adminTokenFile));
    httplib::Client client("127.0.0.1", simulator.Port());
    const char* path = "/admin/fault?kind=busy&count=5";
    auto post = [&](const httplib::Headers& headers) {
        auto result = client.Post(path, headers, "", "application/x-www-form-urlencoded");
        return result ? result->status : -1;
    };
    EXPECT_EQ(403, post({}));
    EXPECT_EQ(403, post({{"X-Admin-Token", "not-the-token-at-all-0123456789"}}));
    EXPECT_EQ(403, post({{"X-Admin-Token", simulator.AdminToken()}, {"Origin", "http://evil.example"}}));
    auto get = client.Get(path, httplib::Headers{{"X-Admin-Token", simulator.AdminToken()}});
    ASSERT_TRUE(get);
    EXPECT_NE(200, get->status);
    // Nothing of that changed anything: heartbeats are answered.
    auto answered = client.Post("/ovx/sensor_services/heartbeat", HeartbeatOf("{a}"), "application/x-ovx-cml-data");
    ASSERT_TRUE(answered);
    EXPECT_EQ(200, answered->status);
    EXPECT_EQ(0, simulator.Count("fault"));
    // The operator's command works.
    EXPECT_EQ(200, post({{"X-Admin-Token", simulator.AdminToken()}}));
    answered = client.Post("/ovx/sensor_services/heartbeat", HeartbeatOf("{a}"), "application/x-ovx-cml-data");
    ASSERT_TRUE(answered);
    EXPECT_EQ(503, answered->status);

    // A second start takes the token from its file.
    ovxSim::Simulator second(config);
    ASSERT_GT(second.Start(), 0);
    EXPECT_EQ(simulator.AdminToken(), second.AdminToken());
}

// A web page in a browser posts a form to the admin endpoint (as any page
// the operator visits could): it changes nothing.
TEST(SimulatorAdmin, ACrossOriginFormInABrowserChangesNothing) {
    TempDir temp("ovx-sim-csrf");
    std::mutex lock;
    std::vector<std::string> lines;
    auto config = Quiet("csrf");
    config.log = [&](const std::string& line) {
        std::lock_guard<std::mutex> hold(lock);
        lines.push_back(line);
    };
    ovxSim::Simulator simulator(config);
    ASSERT_GT(simulator.Start(), 0);
    httplib::Server page;
    page.set_tcp_nodelay(true);
    page.set_keep_alive_max_count(100);
    const std::string target = simulator.Url() + "/admin/refuse?seconds=30";
    page.Get("/", [&](const httplib::Request&, httplib::Response& response) {
        response.set_content("<html><body><form id='f' method='post' action='" + target +
                                 "'><input name='x' value='1'></form><script>document.getElementById('f').submit();"
                                 "</script></body></html>",
                             "text/html");
    });
    const int port = page.bind_to_any_port("127.0.0.1");
    std::thread serving([&] { page.listen_after_bind(); });
    const std::string chromium =
        "timeout 60 chromium --headless --no-sandbox --disable-gpu --disable-dev-shm-usage --no-first-run "
        "--disable-background-networking --disable-component-update --disable-sync --user-data-dir=" +
        (temp / "profile") + " --virtual-time-budget=3000 --dump-dom http://localhost:" + std::to_string(port) +
        "/ >/dev/null 2>&1";
    EXPECT_EQ(0, std::system(chromium.c_str()));
    page.stop();
    serving.join();
    // The browser's post arrived and was refused; the simulator still serves.
    bool refused = false;
    {
        std::lock_guard<std::mutex> hold(lock);
        for (const std::string& line : lines) refused |= line.find("POST /admin/refuse -> 403") != std::string::npos;
    }
    EXPECT_TRUE(refused);
    httplib::Client client("127.0.0.1", simulator.Port());
    auto status = client.Get("/status.json");
    ASSERT_TRUE(status);
    EXPECT_EQ(200, status->status);
}

TEST(SimulatorUsers, PasswordsComeFromAFileOnlyItsOwnerReadsOrTheEnvironment) {
    TempDir temp("ovx-sim-users");
    const std::string file = temp / "users";
    ovxTest::WriteText(file, "# site users\noperator:secret\n");
    std::map<std::string, std::string> users;
    std::string error;
    ASSERT_EQ(0, chmod(file.c_str(), 0644));
    EXPECT_FALSE(ovxSim::LoadUsers(file, users, &error));
    EXPECT_NE(std::string::npos, error.find("0600")) << error;
    ASSERT_EQ(0, chmod(file.c_str(), 0600));
    ASSERT_TRUE(ovxSim::LoadUsers(file, users, &error)) << error;
    ASSERT_EQ(1u, users.size());
    EXPECT_NE("secret", users["operator"]);  // kept as a digest
    EXPECT_TRUE(ovxSim::LoadUsersFromText("a:1\nb:2\n", users, &error));
    EXPECT_EQ(3u, users.size());
    EXPECT_FALSE(ovxSim::LoadUsersFromText("no colon\n", users, &error));
    // The program takes no password on its command line.
    const std::string command = std::string(OVX_SIM_PROGRAM) + " --user operator:secret >/dev/null 2>&1";
    const int status = std::system(command.c_str());
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2);
}

// Agents post for a while; the simulator process is killed (SIGKILL) in the
// middle and started again on the same state: every heartbeat it answered
// is there.
TEST(SimulatorState, EveryAcknowledgedHeartbeatSurvivesAKill) {
    TempDir temp("ovx-sim-kill");
    const std::string state = temp / "state.db";
    auto start = [&](int port, int* pid) {
        int out[2];
        if (pipe(out) != 0) return -1;
        *pid = fork();
        if (*pid == 0) {
            dup2(out[1], STDOUT_FILENO);
            close(out[0]);
            execl(OVX_SIM_PROGRAM, OVX_SIM_PROGRAM, "--port", std::to_string(port).c_str(), "--state", state.c_str(),
                  "--name", "kill", static_cast<char*>(nullptr));
            _exit(127);
        }
        close(out[1]);
        FILE* lines = fdopen(out[0], "r");
        char line[256] = "";
        const bool started = lines != nullptr && std::fgets(line, sizeof line, lines) != nullptr;
        if (lines != nullptr) {
            std::thread([lines] {
                char skipped[1024];
                while (std::fgets(skipped, sizeof skipped, lines) != nullptr) {
                }
                std::fclose(lines);
            }).detach();
        }
        const std::string text = line;
        return started && text.rfind("listening on ", 0) == 0 ? std::atoi(text.c_str() + text.rfind(':') + 1) : -1;
    };
    int pid = -1;
    const int port = start(0, &pid);
    ASSERT_GT(port, 0);
    std::atomic<bool> going{true};
    std::vector<int> acknowledged(4, 0);
    std::vector<std::thread> agents;
    for (int a = 0; a < 4; ++a) {
        agents.emplace_back([&, a] {
            httplib::Client client("127.0.0.1", port);
            client.set_read_timeout(2, 0);
            const std::string body = HeartbeatOf("{agent-" + std::to_string(a) + "}");
            while (going.load()) {
                auto result = client.Post("/ovx/sensor_services/heartbeat", body, "application/x-ovx-cml-data");
                if (result && result->status == 200 && !result->body.empty()) ++acknowledged[a];
            }
        });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    ASSERT_EQ(0, kill(pid, SIGKILL));
    int status = 0;
    waitpid(pid, &status, 0);
    going = false;
    for (std::thread& agent : agents) agent.join();

    ASSERT_GT(start(port, &pid), 0);
    httplib::Client client("127.0.0.1", port);
    auto json = client.Get("/status.json");
    kill(pid, SIGTERM);
    waitpid(pid, &status, 0);
    ASSERT_TRUE(json);
    for (int a = 0; a < 4; ++a) {
        const std::string agent = "{agent-" + std::to_string(a) + "}";
        EXPECT_GT(acknowledged[a], 0);
        EXPECT_GE(HeartbeatsOf(json->body, agent), acknowledged[a]) << agent;
    }
}

// Sixty clients that send their requests a byte at a time hold sixty
// connections; another client is still answered within a second.
TEST(SimulatorLoad, SixtySlowClientsDoNotStarveTheOthers) {
    ovxSim::Simulator simulator(Quiet("slow"));
    ASSERT_GT(simulator.Start(), 0);
    std::vector<int> slow;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(simulator.Port()));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (int i = 0; i < 60; ++i) {
        const int socket = ::socket(AF_INET, SOCK_STREAM, 0);
        ASSERT_GE(socket, 0);
        ASSERT_EQ(0, connect(socket, reinterpret_cast<sockaddr*>(&address), sizeof address));
        slow.push_back(socket);
    }
    std::atomic<bool> trickling{true};
    std::thread trickle([&] {
        const std::string request = "POST /ovx/sensor_services/heartbeat HTTP/1.1\r\nHost: 127.0.0.1\r\n";
        for (size_t at = 0; trickling.load(); at = (at + 1) % request.size()) {
            for (int socket : slow) (void)send(socket, &request[at], 1, MSG_NOSIGNAL);
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // every slow one is being served
    httplib::Client client("127.0.0.1", simulator.Port());
    const auto asked = std::chrono::steady_clock::now();
    auto result = client.Get("/status.json");
    const auto took = std::chrono::steady_clock::now() - asked;
    trickling = false;
    trickle.join();
    for (int socket : slow) close(socket);
    ASSERT_TRUE(result);
    EXPECT_EQ(200, result->status);
    EXPECT_LT(took, std::chrono::seconds(1));
    std::printf("answered in %lld us with 60 slow connections open\n",
                static_cast<long long>(std::chrono::duration_cast<std::chrono::microseconds>(took).count()));
}
