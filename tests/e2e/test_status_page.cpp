// The simulator's status page as a browser shows it: headless chromium
// renders it to a screenshot and dumps the DOM it built.
#include <gtest/gtest.h>
#include <httplib.h>
#include <sys/stat.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "Simulator.h"
#include "support/TestFiles.h"

namespace {

std::string Shell(const std::string& command) {
    std::string out;
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    if (!pipe) return out;
    std::array<char, 4096> buffer;
    size_t read = 0;
    while ((read = fread(buffer.data(), 1, buffer.size(), pipe.get())) > 0) out.append(buffer.data(), read);
    return out;
}

off_t SizeOf(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 ? info.st_size : -1;
}

const char kChromium[] =
    "chromium --headless --no-sandbox --disable-gpu --disable-dev-shm-usage --no-first-run "
    "--user-data-dir=";

}  // namespace

TEST(StatusPage, ABrowserShowsTheAgentsTheSimulatorKnows) {
    ovxTest::TempDir temp("ovx-page");
    const std::string dir = temp.path();
    ovxSim::SimConfig config;
    config.name = "browser-check";
    config.log = [](const std::string&) {};
    ovxSim::Simulator simulator(config);
    ASSERT_GT(simulator.Start(), 0);
    httplib::Client client("127.0.0.1", simulator.Port());
    ASSERT_TRUE(client.Post("/ovx/sensor_services/alive", "{browser-agent-42}", "text/plain"));

    const std::string browser = std::string(kChromium) + dir + "/profile --window-size=1024,600 ";
    const std::string dom = Shell(browser + "--dump-dom " + simulator.Url() + "/ 2>/dev/null");
    EXPECT_NE(std::string::npos, dom.find("<td>{browser-agent-42}</td>")) << dom.substr(0, 2000);
    EXPECT_NE(std::string::npos, dom.find("Agent Manager simulator: browser-check"));

    // Not blank: the page's screenshot carries far more than a blank page's
    // at the same size, taken by the same browser in the same run.
    Shell(browser + "--screenshot=" + dir + "/page.png " + simulator.Url() + "/ 2>/dev/null");
    Shell(browser + "--screenshot=" + dir + "/blank.png about:blank 2>/dev/null");
    const off_t page = SizeOf(dir + "/page.png"), blank = SizeOf(dir + "/blank.png");
    ASSERT_GT(blank, 0) << "chromium made no screenshot";
    EXPECT_GT(page, 2 * blank) << "page " << page << " bytes, blank " << blank << " bytes";
    simulator.Stop();
}
