#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "e2e/zone_network.h"

using namespace tallysv::testing;

namespace {

// Where a person finds the browser's screenshot of the status page.
std::filesystem::path outputFolder() { return std::filesystem::path(kBinDir) / "test-output" / "status_browser"; }

// The table row of the zone named, as the browser rendered it.
std::string zoneRow(const std::string& dom, const std::string& name) {
    size_t at = dom.find("<td>" + name + "</td>");
    if (at == std::string::npos) return "";
    return dom.substr(at, dom.find("</tr>", at) - at);
}

}  // namespace

// A real browser loads the page from a running server with two zones and
// three players; what it renders names both zones with their players.
TEST(StatusPageInBrowser, ShowsBothZonesAndTheirPlayers) {
    const char* chromium = "/usr/bin/chromium";
    if (::access(chromium, X_OK) != 0) GTEST_SKIP() << "chromium is missing (Debian package chromium)";

    ZoneNetwork network("StatusListen=127.0.0.1:0\n");
    network.startServer();
    ASSERT_TRUE(network.server().waitForOutput("Status pages on http://127.0.0.1:")) << network.server().output();
    std::string console = network.server().output();
    size_t at = console.find("Status pages on ") + std::string("Status pages on ").size();
    std::string url = console.substr(at, console.find('\n', at) - at);

    auto north = network.zone(1, "North");
    auto south = network.zone(2, "South");
    north->send("player Alice one --ip 10.1.1.1\nplayer Bob two --ip 10.1.1.2\n");
    south->send("player Carol three --ip 10.1.1.3\n");
    ASSERT_TRUE(north->waitForOutput("login reply for player 2: result 6")) << north->output();
    ASSERT_TRUE(south->waitForOutput("login reply for player 1: result 6")) << south->output();

    std::filesystem::path out = outputFolder();
    std::filesystem::remove_all(out);
    std::filesystem::create_directories(out);
    std::filesystem::path screenshot = out / "status_page.png";
    ChildProcess browser(chromium,
                         {"--headless", "--no-sandbox", "--disable-gpu", "--no-first-run", "--disable-extensions",
                          "--user-data-dir=" + (network.dir().path() / "browser").string(), "--window-size=1000,700",
                          "--screenshot=" + screenshot.string(), "--dump-dom", url},
                         network.dir().str());
    ASSERT_EQ(browser.wait(std::chrono::seconds(30)), 0) << browser.output();
    // Its standard output and error come together; the page is what
    // follows the browser's own remarks.
    std::string dom = browser.output();
    dom.erase(0, std::min(dom.find("<html"), dom.size()));
    std::ofstream(out / "status_page.html") << dom;

    EXPECT_NE(zoneRow(dom, "North").find("<td class=\"n players\">2</td>"), std::string::npos) << dom;
    EXPECT_NE(zoneRow(dom, "South").find("<td class=\"n players\">1</td>"), std::string::npos) << dom;
    EXPECT_NE(dom.find("<th>Players online</th><td class=\"n total\">3</td>"), std::string::npos) << dom;
    EXPECT_GT(std::filesystem::file_size(screenshot), 1000u) << "no screenshot at " << screenshot;

    north->send("quit\n");
    south->send("quit\n");
    north->wait();
    south->wait();
    network.stopServer();
}
