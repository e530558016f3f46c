// The logger binding with the logger module beside the executable (the build
// copies it there). One test: the binding happens once per process.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "logging/logger.h"
#include "platform/platform.h"

namespace {

std::string ExeDir() {
    std::string exe = plat::ToAnsi(plat::ExecutablePath());
    return exe.substr(0, exe.find_last_of("/\\") + 1);
}

std::string ReadAll(const std::string& path) {
    std::ifstream in(path.c_str());
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

}  // namespace

TEST(LoggerModule, NamedLoggersWriteTimestampedLinesUntilReleased) {
    const std::string dir = ExeDir();
    const std::string logFile = dir + "vemnet-test.log";
    std::remove(logFile.c_str());
    {
        std::ofstream prop((dir + "log.property").c_str());
        prop << "# written by the test\nfile=vemnet-test.log\nlevel=2\n";
    }
    ASSERT_TRUE(LoggerModuleBound()) << "the logger module was not found beside " << dir;

    LogLine(NamedLogger::SelSelector, LOG_LEVEL_ERROR, L"select error: %d, %d", 10038, 101);
    LogLine(NamedLogger::TcpNetConn, LOG_LEVEL_ERROR, L"basic socket error: %d, %s", 6, L"auth fail");
    LogLine(NamedLogger::HttpNetConn, LOG_LEVEL_INFO, L"http sessionNo=%s", L"below the configured level");
    LogLine(NamedLogger::HttpNetConn, LOG_LEVEL_ERROR, L"100%% verbatim");

    std::string text = ReadAll(logFile);
    EXPECT_NE(text.find("ZIRaredod.SelSelector: select error: 10038, 101"), std::string::npos) << text;
    EXPECT_NE(text.find("VemNetwork.TcpNetConn: basic socket error: 6, auth fail"), std::string::npos) << text;
    EXPECT_NE(text.find("ZIRarEdod.HttpNetConn: 100% verbatim"), std::string::npos) << text;
    EXPECT_EQ(text.find("below the configured level"), std::string::npos) << text;
    // One line per call, each starting with a date.
    std::istringstream lines(text);
    std::string line;
    int count = 0;
    while (std::getline(lines, line)) {
        ++count;
        ASSERT_GE(line.size(), 20u);
        EXPECT_EQ(line[4], '-');
        EXPECT_EQ(line[13], ':');
    }
    EXPECT_EQ(count, 3);

    ReleaseNamedLoggers();
    LogLine(NamedLogger::SelSelector, LOG_LEVEL_ERROR, L"after release %d", 1);
    EXPECT_EQ(ReadAll(logFile).find("after release"), std::string::npos);
    std::remove((dir + "log.property").c_str());
    std::remove(logFile.c_str());
}
