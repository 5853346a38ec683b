#include <gtest/gtest.h>

#include <csignal>
#include <string>

#include "support/process.h"
#include "support/temp_dir.h"

using namespace tallysv::testing;

namespace {

const std::string kServer = std::string(TALLYSV_BIN_DIR) + "/tallysv";

std::string iniWithFreePort() { return "[Misc]\nPort=" + std::to_string(freeUdpPort()) + "\n"; }

}  // namespace

TEST(ServerProcess, StartsAndStopsOnQuitKey) {
    TempDir dir;
    dir.write("TALLYSV.INI", iniWithFreePort());
    ChildProcess server(kServer, {}, dir.str());
    ASSERT_TRUE(server.waitForOutput("Reading TALLYSV.INI... Done.\n")) << server.output();
    EXPECT_EQ(server.output().rfind("Voidrift Billing Server (Build 11)\n", 0), 0u) << server.output();
    server.send("l");
    ASSERT_TRUE(server.waitForOutput("Host list:\n")) << server.output();
    server.send("q");
    EXPECT_EQ(server.wait(), 0) << server.output();
}

TEST(ServerProcess, StopsInOrderOnSigtermAndSigint) {
    for (int number : {SIGTERM, SIGINT}) {
        TempDir dir;
        dir.write("TALLYSV.INI", iniWithFreePort());
        ChildProcess server(kServer, {}, dir.str());
        ASSERT_TRUE(server.waitForOutput("Reading TALLYSV.INI... Done.\n")) << server.output();
        server.signal(number);
        EXPECT_EQ(server.wait(), 0) << server.output();
    }
}

TEST(ServerProcess, EndOfInputKeepsTheServerRunning) {
    TempDir dir;
    dir.write("TALLYSV.INI", iniWithFreePort());
    ChildProcess server(kServer, {}, dir.str());
    ASSERT_TRUE(server.waitForOutput("Reading TALLYSV.INI... Done.\n")) << server.output();
    server.closeInput();
    EXPECT_FALSE(server.wait(std::chrono::milliseconds(800))) << "the server stopped at end of input";
}

TEST(ServerProcess, CommandLineArguments) {
    TempDir dir;
    {
        ChildProcess help(kServer, {"--help"}, dir.str());
        EXPECT_EQ(help.wait(), 0);
        EXPECT_NE(help.output().find("usage: tallysv"), std::string::npos);
    }
    {
        ChildProcess version(kServer, {"--version"}, dir.str());
        EXPECT_EQ(version.wait(), 0);
        EXPECT_NE(version.output().find("tallysv"), std::string::npos);
    }
    {
        ChildProcess wrong(kServer, {"--bogus"}, dir.str());
        EXPECT_EQ(wrong.wait(), 2);
        EXPECT_NE(wrong.output().find("usage: tallysv"), std::string::npos);
    }
}
