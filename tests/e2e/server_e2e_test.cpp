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

// Two servers started in one folder: the second says the folder is in use
// and reads nothing until the first has stopped; then it starts.
TEST(ServerProcess, ASecondServerInTheSameFolderWaitsForTheFirst) {
    TempDir dir;
    dir.write("TALLYSV.INI", iniWithFreePort());
    ChildProcess first(kServer, {}, dir.str());
    ASSERT_TRUE(first.waitForOutput("Reading TALLYSV.INI... Done.\n")) << first.output();
    ChildProcess second(kServer, {}, dir.str());
    ASSERT_TRUE(second.waitForOutput("; waiting up to 30 seconds for it to end\n")) << second.output();
    EXPECT_NE(second.output().find("The data folder is in use by process "), std::string::npos) << second.output();
    EXPECT_EQ(second.output().find("Reading"), std::string::npos) << second.output();
    first.send("q");
    EXPECT_EQ(first.wait(), 0) << first.output();
    ASSERT_TRUE(second.waitForOutput("Reading TALLYSV.INI... Done.\n")) << second.output();
    second.send("q");
    EXPECT_EQ(second.wait(), 0) << second.output();
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
