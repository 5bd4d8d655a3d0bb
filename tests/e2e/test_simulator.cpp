// The simulator as an operator meets it: its own key pair, kept private, in
// files it trusts only when they are its own; an admin endpoint only the
// operator's token opens, which no web page can reach; no answer to a Host
// name it does not serve; site passwords never on a command line; every
// acknowledged heartbeat kept through a kill -9; a thousand slow clients
// that cannot starve it; a status page a browser shows; a --help that says
// everything; a request log that loses no line.
#include <fcntl.h>
#include <httplib.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <cstring>

#include "Simulator.h"
#include "support/Checks.h"
#include "support/TestFiles.h"

using namespace ovxTest;

namespace {

ovxSim::SimConfig Quiet(const std::string& name) {
    ovxSim::SimConfig config;
    config.name = name;
    config.log = [](const std::string&) {};
    return config;
}

// The file's stat, zero when there is none.
struct stat StatOf(const std::string& path) {
    struct stat info {};
    stat(path.c_str(), &info);  // left zero when it fails
    return info;
}

// Headless chromium with a profile of its own in `dir`, bounded in time.
std::string Chromium(const std::string& dir, const std::string& arguments) {
    return RunShell(
               "timeout 60 chromium --headless --no-sandbox --disable-gpu --disable-dev-shm-usage --no-first-run "
               "--disable-background-networking --disable-component-update --disable-sync --user-data-dir=" +
               dir + "/profile " + arguments + " 2>/dev/null")
        .output;
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

// The status of a post of `body` to the heartbeat service (or to `path`),
// -1 when none came.
int PostStatus(httplib::Client& client, const std::string& body,
               const std::string& path = "/ovx/sensor_services/heartbeat", const httplib::Headers& headers = {}) {
    auto result = client.Post(path, headers, body, "application/x-ovx-cml-data");
    return result ? result->status : -1;
}

// The number after "key": of the agent's entry in the status JSON.
int HeartbeatsOf(const std::string& json, const std::string& agent) {
    const size_t at = json.find("\"id\":\"" + agent + "\"");
    if (at == std::string::npos) return 0;
    const size_t count = json.find("\"heartbeats\":", at);
    return count == std::string::npos ? 0 : std::atoi(json.c_str() + count + 13);
}

// Runs `command` (the simulator program, or a command that runs it) with
// its output in the file `log`; its port once it says it listens, or -1.
int StartProgram(const std::vector<std::string>& command, const std::string& log, pid_t* pid) {
    std::vector<char*> arguments;
    for (const std::string& argument : command) arguments.push_back(const_cast<char*>(argument.c_str()));
    arguments.push_back(nullptr);
    const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    *pid = fork();
    if (*pid == 0) {
        dup2(out, STDOUT_FILENO);
        umask(0);  // the simulator must not count on a careful parent
        execv(arguments[0], arguments.data());
        _exit(127);
    }
    close(out);
    int port = -1;
    WaitFor([&] {
        const std::string text = ovxTest::ReadText(log);
        const size_t at = text.find("listening on http://127.0.0.1:");
        if (at != std::string::npos && text.find('\n', at) != std::string::npos) port = std::atoi(&text[at + 30]);
        return port > 0;
    });
    return port;
}

int StopProgram(pid_t pid, int signal = SIGTERM) {
    const int sent = kill(pid, signal);
    waitpid(pid, nullptr, 0);
    return sent;
}

// A user id no one on the machine has, for files "another user" made.
constexpr uid_t kStranger = 64999;

enum class Plant { kStrangers, kReadableByOthers, kSymlink };

// Puts a file at `path` as `how` says, with `text`.
bool PlantFile(const std::string& path, Plant how, const std::string& text) {
    if (how == Plant::kSymlink) {
        ovxTest::WriteText(path + ".target", text);
        return chmod((path + ".target").c_str(), 0600) == 0 && symlink((path + ".target").c_str(), path.c_str()) == 0;
    }
    ovxTest::WriteText(path, text);
    if (how == Plant::kReadableByOthers) return chmod(path.c_str(), 0644) == 0;
    return chmod(path.c_str(), 0666) == 0 && chown(path.c_str(), kStranger, kStranger) == 0;
}

}  // namespace

// Each file the simulator keeps a secret in, planted each way (readable by
// others, a link elsewhere, made beforehand by another user, as in a shared
// sticky folder, when this process may give a file away): the start is
// refused with the file and the rule named, and the planted file is left
// as it was (no key, no token of ours in it).
TEST(SimulatorFiles, FilesOthersCouldReadOrHaveMadeAreRefused) {
    for (const Plant how : {Plant::kReadableByOthers, Plant::kSymlink, Plant::kStrangers}) {
        if (how == Plant::kStrangers && geteuid() != 0) continue;  // only root may give a file away
        for (const char* name : {"state.db", "state.db-wal", "state.db-shm", "admin-token"}) {
            SCOPED_TRACE(std::string(name) + " planted as " + std::to_string(static_cast<int>(how)));
            TempDir temp("ovx-sim-plant");
            auto config = Quiet("plant");
            config.stateFile = temp / "state.db";
            config.adminTokenFile = temp / "admin-token";
            const std::string planted = temp / name;
            const std::string text = std::strcmp(name, "admin-token") == 0 ? "planted-token-0123456789abcdef\n" : "";
            ASSERT_TRUE(PlantFile(planted, how, text));
            ovxSim::Simulator simulator(config);
            std::string error;
            EXPECT_EQ(-1, simulator.Start(&error));
            EXPECT_THAT(error, HasSubstr(planted + " must be a regular file"));
            EXPECT_EQ(text, ovxTest::ReadText(how == Plant::kSymlink ? planted + ".target" : planted));
        }
    }
}

// Run by an ordinary user with a umask of 000, the program makes its state,
// the state's -wal and -shm and its token file for that user alone.
TEST(SimulatorFiles, RunByAnOrdinaryUserItsFilesAreForItAlone) {
    if (geteuid() != 0 || std::system("command -v setpriv >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "needs root and setpriv to run the simulator as another user";
    TempDir temp("ovx-sim-user");
    const std::string program = temp / "agent-manager-sim";
    ASSERT_EQ(0, std::system(("cp " + std::string(OVX_SIM_PROGRAM) + " " + program).c_str()));
    ASSERT_EQ(0, chown(temp.path().c_str(), kStranger, kStranger));
    ASSERT_EQ(0, chmod(temp.path().c_str(), 0777));
    const std::string id = std::to_string(kStranger);
    pid_t pid = -1;
    const int port = StartProgram({"/usr/bin/setpriv", "--reuid=" + id, "--regid=" + id, "--clear-groups", program,
                                   "--state", temp / "state.db", "--name", "user"},
                                  temp / "log", &pid);
    ASSERT_GT(port, 0);
    httplib::Client client("127.0.0.1", port);
    const int answered = PostStatus(client, HeartbeatOf("{user}"));
    for (const char* name : {"state.db", "state.db-wal", "state.db-shm", "state.db.admin-token"}) {
        struct stat info {};
        EXPECT_EQ(0, lstat((temp / name).c_str(), &info)) << name;
        EXPECT_EQ(kStranger, info.st_uid) << name;
        EXPECT_EQ(0600u, info.st_mode & 0777) << name;
    }
    StopProgram(pid);
    EXPECT_EQ(200, answered);
}

// A page served under a name rebound to the simulator's address sends that
// name in Host: such requests get 421 on every path, the status included.
TEST(SimulatorHost, OnlyTheNamesItServesAreAnswered) {
    auto config = Quiet("host");
    config.hostNames = {"sim.example"};
    ovxSim::Simulator simulator(config);
    ASSERT_GT(simulator.Start(), 0);
    const std::string port = ":" + std::to_string(simulator.Port());
    // The names it serves (localhost in any case), then names rebound to it
    // and none; each alone and with the port.
    // clang-format off
    const std::string names[] = {"127.0.0.1", "localhost", "LocalHost", "sim.example",
                                 "rebind.example", "127.0.0.1.rebind.example", "sim.example.attacker", ""};
    // clang-format on
    httplib::Client client("127.0.0.1", simulator.Port());
    for (const std::string& name : names) {
        const int status = &name - names < 4 ? 200 : 421;
        for (const std::string& host : {name, name + port}) {
            if (host == port) continue;
            const httplib::Headers headers{{"Host", host}, {"X-Admin-Token", simulator.AdminToken()}};
            httplib::Result results[] = {
                client.Get("/", headers), client.Get("/status.json", headers),
                client.Post("/ovx/sensor_services/heartbeat", headers, HeartbeatOf("{h}"), "text/xml"),
                client.Post("/admin/fault?kind=none", headers, "", "text/plain")};
            for (const httplib::Result& result : results) {
                ASSERT_TRUE(result) << host;
                EXPECT_EQ(status, result->status) << host;
                EXPECT_TRUE(status == 200 || result->body.find("{h}") == std::string::npos) << host;
            }
        }
    }
}

// A post that is no heartbeat is refused with 400 and records nothing; a
// document type (with entities to expand) is refused before any expansion.
TEST(SimulatorHeartbeat, APostThatIsNoMessageGets400) {
    ovxSim::Simulator simulator(Quiet("bodies"));
    ASSERT_GT(simulator.Start(), 0);
    const std::string laughs =
        "<?xml version='1.0'?><!DOCTYPE ovx [<!ENTITY a 'aaaaaaaaaa'><!ENTITY b '&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;'>"
        "<!ENTITY c '&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;'><!ENTITY d '&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;'>]>";
    const std::string heartbeat = HeartbeatOf("{bodies}");
    httplib::Client client("127.0.0.1", simulator.Port());
    for (const std::string& body : {std::string(), std::string("not xml at all"), std::string("<ovx><unclosed></ovx>"),
                                    std::string("<other/>"), heartbeat.substr(0, heartbeat.size() / 2),
                                    laughs + heartbeat.substr(heartbeat.find("<ovx")), laughs + "<ovx>&d;</ovx>"})
        EXPECT_EQ(400, PostStatus(client, body)) << body;
    // No such service, then the heartbeat service.
    EXPECT_EQ("404 0 200 1",
              Joined({PostStatus(client, heartbeat, "/ovx/sensor_services/elsewhere"), simulator.Count("heartbeat"),
                      PostStatus(client, heartbeat), simulator.Count("heartbeat")}));
}

// The key pair and the admin token are made on the first start, kept for
// the owner alone, and taken back by the next start; only the operator's
// token changes state.
TEST(SimulatorAdmin, OnlyTheOperatorsTokenChangesStateAndKeyAndTokenAreKept) {
    TempDir temp("ovx-sim-admin");
    auto config = Quiet("admin");
    config.adminTokenFile = temp / "admin-token";
    config.stateFile = temp / "state.db";
    auto simulator = std::make_unique<ovxSim::Simulator>(config);
    ASSERT_GT(simulator->Start(), 0);
    for (const std::string& file : {config.adminTokenFile, config.stateFile})  // the state holds the private key
        EXPECT_EQ(0600u, StatOf(file).st_mode & 0777) << file;
    // The key announced is the one the state holds: EC on P-256.
    const std::string pem = simulator->PublicKeyPem();
    BIO* in = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
    EVP_PKEY* key = PEM_read_bio_PUBKEY(in, nullptr, nullptr, nullptr);
    BIO_free(in);
    EXPECT_TRUE(key != nullptr && EVP_PKEY_get_base_id(key) == EVP_PKEY_EC && EVP_PKEY_get_bits(key) == 256) << pem;
    EVP_PKEY_free(key);
    EXPECT_EQ(simulator->AdminToken() + "\n", ovxTest::ReadText(config.adminTokenFile));
    httplib::Client client("127.0.0.1", simulator->Port());
    const char* path = "/admin/fault?kind=busy&count=5";
    const auto post = [&](const httplib::Headers& headers) { return PostStatus(client, "", path, headers); };
    EXPECT_EQ("403 403 403",
              Joined({post({}), post({{"X-Admin-Token", "not-the-token-at-all-0123456789"}}),
                      post({{"X-Admin-Token", simulator->AdminToken()}, {"Origin", "http://evil.example"}})}));
    auto get = client.Get(path, httplib::Headers{{"X-Admin-Token", simulator->AdminToken()}});
    EXPECT_TRUE(get && get->status != 200);
    // Nothing of that changed anything: heartbeats are answered.
    EXPECT_EQ("200 0", Joined({PostStatus(client, HeartbeatOf("{a}")), simulator->Count("fault")}));
    // The operator's command works.
    EXPECT_EQ("200 503",
              Joined({post({{"X-Admin-Token", simulator->AdminToken()}}), PostStatus(client, HeartbeatOf("{a}"))}));

    // A second start takes the token and the key from their files.
    const std::string token = simulator->AdminToken();
    simulator.reset();
    ovxSim::Simulator second(config);
    ASSERT_GT(second.Start(), 0);
    EXPECT_EQ(Joined({token, pem}), Joined({second.AdminToken(), second.PublicKeyPem()}));
}

// The status page as a browser shows it: the DOM it built names the agents
// the simulator knows, and its screenshot carries far more than a blank
// page's at the same size, taken by the same browser in the same run.
TEST(SimulatorPage, ABrowserShowsTheAgentsTheSimulatorKnows) {
    TempDir temp("ovx-page");
    ovxSim::Simulator simulator(Quiet("browser-check"));
    ASSERT_GT(simulator.Start(), 0);
    httplib::Client client("127.0.0.1", simulator.Port());
    ASSERT_TRUE(client.Post("/ovx/sensor_services/alive", "{browser-agent-42}", "text/plain"));
    const std::string dom = Chromium(temp.path(), "--dump-dom " + simulator.Url() + "/");
    EXPECT_THAT(dom,
                AllOf(HasSubstr("<td>{browser-agent-42}</td>"), HasSubstr("Agent Manager simulator: browser-check")));
    const std::string shot = "--window-size=1024,600 --screenshot=" + temp.path() + "/";
    Chromium(temp.path(), shot + "page.png " + simulator.Url() + "/");
    Chromium(temp.path(), shot + "blank.png about:blank");
    const off_t page = StatOf(temp / "page.png").st_size, blank = StatOf(temp / "blank.png").st_size;
    ASSERT_GT(blank, 0) << "chromium made no screenshot";
    EXPECT_GT(page, 2 * blank) << "page " << page << " bytes, blank " << blank << " bytes";
}

TEST(SimulatorUsers, PasswordsComeFromAFileOnlyItsOwnerReadsOrTheEnvironment) {
    TempDir temp("ovx-sim-users");
    const std::string file = temp / "users";
    ovxTest::WriteText(file, "# site users\noperator:secret\n");
    std::map<std::string, std::string> users;
    std::string error;
    ASSERT_EQ(0, chmod(file.c_str(), 0644));
    EXPECT_FALSE(ovxSim::LoadUsers(file, users, &error));
    EXPECT_THAT(error, HasSubstr("0600"));
    ASSERT_EQ(0, chmod(file.c_str(), 0600));
    ASSERT_EQ("1 1", Joined({ovxSim::LoadUsers(file, users, &error), users.size()})) << error;
    EXPECT_NE("secret", users["operator"]);  // kept as a digest
    EXPECT_EQ("1 3 0", Joined({ovxSim::LoadUsersFromText("a:1\nb:2\n", users, &error), users.size(),
                               ovxSim::LoadUsersFromText("no colon\n", users, &error)}));
    // The program takes no password on its command line.
    const int status = std::system((std::string(OVX_SIM_PROGRAM) + " --user operator:secret >/dev/null 2>&1").c_str());
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2);
}

// Agents post for a while; the simulator process is killed (SIGKILL) in the
// middle and started again on the same state: every heartbeat it answered
// is there.
TEST(SimulatorState, EveryAcknowledgedHeartbeatSurvivesAKill) {
    TempDir temp("ovx-sim-kill");
    const std::string state = temp / "state.db";
    auto start = [&](int port, int* pid) {
        return StartProgram({OVX_SIM_PROGRAM, "--port", std::to_string(port), "--state", state, "--name", "kill"},
                            temp / "log", pid);
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
    ASSERT_EQ(0, StopProgram(pid, SIGKILL));
    going = false;
    for (std::thread& agent : agents) agent.join();

    ASSERT_GT(start(port, &pid), 0);
    auto json = httplib::Client("127.0.0.1", port).Get("/status.json");
    StopProgram(pid);
    ASSERT_TRUE(json);
    for (int a = 0; a < 4; ++a) {
        EXPECT_GT(acknowledged[a], 0);
        EXPECT_GE(HeartbeatsOf(json->body, "{agent-" + std::to_string(a) + "}"), acknowledged[a]) << a;
    }
}

// A thousand clients that send their requests a byte every half second
// hold a thousand connections (connected at once: the listen backlog takes
// them); an agent's heartbeats are still answered within a second each.
TEST(SimulatorLoad, AThousandSlowClientsLeaveAHeartbeatAnsweredWithinASecond) {
    constexpr int kSlow = 1000;
    rlimit limit{};
    ASSERT_EQ(0, getrlimit(RLIMIT_NOFILE, &limit));
    limit.rlim_cur = std::max<rlim_t>(limit.rlim_max, kSlow + 100);
    limit.rlim_max = std::max(limit.rlim_max, limit.rlim_cur);
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0) GTEST_SKIP() << "cannot open " << kSlow << " sockets here";
    pid_t pid = -1;
    TempDir temp("ovx-sim-slow");
    const int port = StartProgram({OVX_SIM_PROGRAM, "--name", "slow", "--admin-token-file", temp / "admin-token"},
                                  temp / "log", &pid);
    ASSERT_GT(port, 0);
    sockaddr_in address{AF_INET, htons(static_cast<uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
    std::vector<int> slow;
    for (int i = 0; i < kSlow; ++i) {
        const int socket = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        ASSERT_GE(socket, 0);
        const int connected = connect(socket, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ASSERT_TRUE(connected == 0 || errno == EINPROGRESS) << std::strerror(errno);
        slow.push_back(socket);
    }
    std::atomic<bool> trickling{true};
    std::thread trickle([&] {
        const std::string request = "POST /ovx/sensor_services/heartbeat HTTP/1.1\r\nHost: 127.0.0.1\r\n";
        for (size_t at = 0; trickling.load(); at = (at + 1) % request.size()) {
            for (int socket : slow) (void)send(socket, &request[at], 1, MSG_NOSIGNAL);
            for (int waited = 0; waited < 500 && trickling.load(); waited += 10)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));  // every slow one has sent a few bytes
    for (int i = 0; i < 5; ++i) {
        httplib::Client client("127.0.0.1", port);
        client.set_connection_timeout(5, 0);
        client.set_read_timeout(5, 0);
        const auto asked = std::chrono::steady_clock::now();
        EXPECT_EQ(200, PostStatus(client, HeartbeatOf("{normal}")));
        EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::seconds(1));
    }
    // The slow ones are still connected: none was dropped to make room.
    int open = 0;
    for (int socket : slow) open += send(socket, "P", 1, MSG_NOSIGNAL) == 1 ? 1 : 0;
    trickling = false;
    trickle.join();
    for (int socket : slow) close(socket);
    StopProgram(pid);
    EXPECT_EQ(kSlow, open);
}

// --help says what every option does, without a source file to read.
TEST(SimulatorProgram, HelpNamesEveryOptionWithItsMeaning) {
    const ShellRun help = RunShell(std::string(OVX_SIM_PROGRAM) + " --help");
    EXPECT_EQ(0, help.status);
    for (const char* option :
         {"--name", "--port", "--host-name", "--cert", "--key", "--state", "--groups", "--policies", "--users",
          "--admin-token-file", "--fault", "--help", "OVX_SIM_USERS", "/admin/fault", "/admin/refuse", "/admin/queue"})
        EXPECT_THAT(help.output, HasSubstr(option));
    EXPECT_THAT(help.output, Not(HasSubstr(".cpp")));
}

// The request log is written in batches: a line still shows within a short
// bound without the program stopping, and none is lost when it stops on
// SIGTERM, all of them before the line that says so.
TEST(SimulatorProgram, EveryRequestIsLoggedSoonAndNoneIsLostOnSigterm) {
    TempDir temp("ovx-sim-log");
    const std::string log = temp / "log";
    pid_t pid = -1;
    const int port = StartProgram({OVX_SIM_PROGRAM, "--name", "log", "--state", temp / "state.db"}, log, &pid);
    ASSERT_GT(port, 0);
    httplib::Client client("127.0.0.1", port);
    ASSERT_TRUE(client.Get("/status.json"));
    const auto sent = std::chrono::steady_clock::now();
    ASSERT_TRUE(WaitFor([&] { return ovxTest::ReadText(log).find("GET /status.json -> 200") != std::string::npos; },
                        std::chrono::seconds(2)));
    EXPECT_LT(std::chrono::steady_clock::now() - sent, std::chrono::milliseconds(500));
    constexpr int kPosts = 300;
    for (int i = 0; i < kPosts; ++i) ASSERT_TRUE(client.Get("/nothing-here"));
    StopProgram(pid);
    const std::string text = ovxTest::ReadText(log);
    int lines = 0;
    for (size_t at = 0; (at = text.find("GET /nothing-here -> 404", at)) != std::string::npos; ++at) ++lines;
    EXPECT_EQ(kPosts, lines);
    ASSERT_NE(std::string::npos, text.find("stopping on SIGTERM")) << text.substr(text.size() - 200);
    EXPECT_LT(text.rfind("GET /nothing-here"), text.find("stopping on SIGTERM"));
}
