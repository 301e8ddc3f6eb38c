#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <fstream>
#include <iomanip>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "log/logger.h"
#include "platform/platform.h"
#include "support/temp_dir.h"
#include "unit/log/log_line.h"

using talvoranth::CLogger;

namespace {

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

struct LoggerFixture : ::testing::Test {
    // The text of the one line written to the console, prefix checked.
    std::string onlyLine() {
        std::vector<std::string> lines = linesOf(console.str());
        EXPECT_EQ(lines.size(), 1u) << console.str();
        return lines.empty() ? "" : lines.front();
    }

    vexa::test::TempDir temp{"vexa-log"};  // removed after the log has closed its file
    std::string dir = temp.path();
    std::ostringstream console;
    CLogger log{&console};
};

}  // namespace

TEST_F(LoggerFixture, LineHasElapsedSecondsThreadIdLevelAndText) {
    log.setConsole(true);
    log.setThreshold(talvoranth::LOG_TRACE);
    log.log(talvoranth::LOG_INFO, "Config %s", "file not found.");

    ASSERT_EQ(console.str().back(), '\n');
    const std::string line = onlyLine();
    const std::optional<LogLine> m = parseLogLine(line);
    ASSERT_TRUE(m) << line;
    EXPECT_LT(std::stod(m->seconds), 60.0) << "elapsed time counts from the logger's construction";
    EXPECT_EQ(m->threadId, std::to_string(vexa::platform::currentThreadId()));
    EXPECT_EQ(m->level, "INFO");
    EXPECT_EQ(m->text, "Config file not found.");
}

TEST_F(LoggerFixture, EachLevelPrintsItsNameAndUnknownLevelsPrintNone) {
    const std::map<int, std::string> names = {
        {10, "TRACE"}, {20, "DEBUG"}, {30, "INFO"}, {40, "WARN"},
        {50, "ERROR"}, {35, ""},      {0, ""},      {99, ""},
    };
    log.setConsole(true);
    log.setThreshold(0);
    for (const auto& [level, name] : names) {
        console.str("");
        log.log(level, "x");
        const std::string tid = std::to_string(vexa::platform::currentThreadId());
        // An empty name leaves two blanks between the thread id and the colon.
        EXPECT_NE(console.str().find(" t:" + tid + " " + name + " : x\n"), std::string::npos)
            << level << ": " << console.str();
    }
}

TEST_F(LoggerFixture, ThresholdDropsLowerLevels) {
    struct Case {
        int threshold;
        int level;
        bool written;
    };
    const Case cases[] = {
        {50, 40, false},  {50, 50, true},    {30, 20, false}, {30, 30, true},
        {30, 35, true},   {1050, 50, false}, {0, 10, true},   {talvoranth::LOG_OFF, 1049, false},
        {20, 1000, true},
    };
    log.setConsole(true);
    for (const Case& c : cases) {
        console.str("");
        log.setThreshold(c.threshold);
        log.log(c.level, "line");
        EXPECT_EQ(!console.str().empty(), c.written)
            << "threshold " << c.threshold << ", level " << c.level;
    }
}

TEST_F(LoggerFixture, DefaultsAreThresholdErrorConsoleOffNoFile) {
    CLogger fresh(&console);
    EXPECT_EQ(fresh.threshold(), 50);
    EXPECT_FALSE(fresh.console());
    EXPECT_FALSE(fresh.logFileOpen());
    fresh.log(talvoranth::LOG_ERROR, "not shown");
    EXPECT_EQ(console.str(), "");
}

TEST_F(LoggerFixture, TextOf2047CharactersIsWrittenAndLongerOrEmptyIsReplaced) {
    log.setConsole(true);
    log.setThreshold(talvoranth::LOG_TRACE);
    const std::string longest(2047, 'a');

    log.log(talvoranth::LOG_DEBUG, "%s", longest.c_str());
    std::optional<LogLine> m = parseLogLine(onlyLine());
    ASSERT_TRUE(m);
    EXPECT_EQ(m->level, "DEBUG");
    EXPECT_EQ(m->text, longest);

    const std::string tooLong(2048, 'a');
    const char* empty = "";
    struct Case {
        const char* what;
        std::function<void()> call;
    };
    const Case cases[] = {
        {"2048 characters", [&] { log.log(talvoranth::LOG_DEBUG, "%s", tooLong.c_str()); }},
        {"expanded past the buffer",
         [&] { log.log(talvoranth::LOG_INFO, "%s%s", longest.c_str(), "b"); }},
        {"empty", [&] { log.log(talvoranth::LOG_DEBUG, "%s", empty); }},
        {"null format", [&] { log.log(talvoranth::LOG_DEBUG, nullptr); }},
    };
    for (const Case& c : cases) {
        console.str("");
        c.call();
        m = parseLogLine(onlyLine());
        ASSERT_TRUE(m) << c.what;
        EXPECT_EQ(m->level, "ERROR") << c.what;
        EXPECT_EQ(m->text, "log printbuf too small.") << c.what;
    }
}

TEST_F(LoggerFixture, OverlongTextBelowTheThresholdStillReportsAtError) {
    log.setConsole(true);
    const std::string tooLong(3000, 'z');
    log.log(talvoranth::LOG_TRACE, "%s", tooLong.c_str());
    EXPECT_NE(console.str().find(" ERROR : log printbuf too small.\n"), std::string::npos);

    console.str("");
    log.setThreshold(talvoranth::LOG_OFF);
    log.log(talvoranth::LOG_TRACE, "%s", tooLong.c_str());
    EXPECT_EQ(console.str(), "");
}

TEST_F(LoggerFixture, ConsoleAndFileEachGetEveryLineOnce) {
    const std::string path = dir + "/module.log";
    { std::ofstream(path) << "earlier run\n"; }
    log.setConsole(true);
    log.setThreshold(talvoranth::LOG_INFO);
    log.openLogFile(path);
    ASSERT_TRUE(log.logFileOpen());
    EXPECT_EQ(log.logFilePath(), path);

    log.log(talvoranth::LOG_INFO, "first");
    log.log(talvoranth::LOG_DEBUG, "dropped");
    log.log(talvoranth::LOG_WARN, "second %d", 2);

    const std::vector<std::string> fileLines = linesOf(readFile(path));
    const std::vector<std::string> consoleLines = linesOf(console.str());
    ASSERT_EQ(fileLines.size(), 3u) << "the log file is appended to";
    EXPECT_EQ(fileLines[0], "earlier run");
    ASSERT_EQ(consoleLines.size(), 2u);
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_TRUE(parseLogLine(fileLines[i + 1])) << fileLines[i + 1];
    }
    EXPECT_NE(fileLines[1].find(" INFO : first"), std::string::npos);
    EXPECT_NE(fileLines[2].find(" WARN : second 2"), std::string::npos);
    EXPECT_NE(consoleLines[0].find(" INFO : first"), std::string::npos);
    EXPECT_NE(consoleLines[1].find(" WARN : second 2"), std::string::npos);
}

TEST_F(LoggerFixture, FileOnlyLoggingLeavesTheConsoleAlone) {
    const std::string path = dir + "/only-file.log";
    log.openLogFile(path);
    log.log(talvoranth::LOG_ERROR, "to the file");
    EXPECT_EQ(console.str(), "");
    EXPECT_NE(readFile(path).find(" ERROR : to the file\n"), std::string::npos);
}

// The log names tokens and objects: a new file is the user's alone. One
// that exists keeps the mode its owner gave it.
TEST_F(LoggerFixture, ANewLogFileIsReadableByItsOwnerOnly) {
    const std::string path = dir + "/private.log";
    const mode_t saved = umask(0);
    log.openLogFile(path);
    umask(saved);
    ASSERT_TRUE(log.logFileOpen());
    // Asked of the system itself: file modes here, access lists on Windows.
    const vexa::platform::FileAccess access = vexa::platform::fileAccess(path);
    EXPECT_TRUE(access.exists);
    EXPECT_FALSE(access.readableByOthers);
    EXPECT_FALSE(access.writableByOthers);

    const std::string shared = dir + "/shared.log";
    std::ofstream(shared) << "earlier\n";
    std::filesystem::permissions(shared, std::filesystem::perms::group_read,
                                 std::filesystem::perm_options::add);
    const auto before = std::filesystem::status(shared).permissions();
    log.openLogFile(shared);
    log.log(talvoranth::LOG_ERROR, "appended");
    EXPECT_EQ(std::filesystem::status(shared).permissions(), before);
    EXPECT_EQ(linesOf(readFile(shared)).size(), 2u);
}

// Text from a peer, a file or an application cannot start a line of its own
// (a log pointed at a shell's start-up file would run it) nor drive the
// terminal.
TEST_F(LoggerFixture, ControlCharactersInATextAreEscapedOnOneLine) {
    log.setConsole(true);
    const std::string path = dir + "/escaped.log";
    log.openLogFile(path);
    log.log(talvoranth::LOG_ERROR, std::string("label\nrm -rf ~\r\x1b[2J\x7f\tend"));
    log.log(talvoranth::LOG_ERROR, "label %s", "two\nlines");
    for (const std::string& output : {console.str(), readFile(path)}) {
        const std::vector<std::string> lines = linesOf(output);
        ASSERT_EQ(lines.size(), 2u) << output;
        EXPECT_NE(lines[0].find(" : label\\x0Arm -rf ~\\x0D\\x1B[2J\\x7F\tend"), std::string::npos)
            << lines[0];
        EXPECT_NE(lines[1].find(" : label two\\x0Alines"), std::string::npos) << lines[1];
    }
}

TEST_F(LoggerFixture, ReopeningMovesLinesToTheNewFile) {
    const std::string first = dir + "/first.log";
    const std::string second = dir + "/second.log";
    log.openLogFile(first);
    log.log(talvoranth::LOG_ERROR, "one");
    log.openLogFile(second);
    log.log(talvoranth::LOG_ERROR, "two");

    EXPECT_EQ(linesOf(readFile(first)).size(), 1u);
    const std::vector<std::string> lines = linesOf(readFile(second));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find(" : two"), std::string::npos);
}

TEST_F(LoggerFixture, FileThatCannotBeOpenedSilencesOnlyTheFile) {
    log.setConsole(true);
    log.openLogFile(dir + "/no/such/dir/module.log");
    EXPECT_FALSE(log.logFileOpen());
    log.log(talvoranth::LOG_ERROR, "still on the console");
    EXPECT_NE(console.str().find(" ERROR : still on the console\n"), std::string::npos);

    // A later good path works again.
    const std::string path = dir + "/good.log";
    log.openLogFile(path);
    log.log(talvoranth::LOG_ERROR, "back");
    EXPECT_NE(readFile(path).find(" : back\n"), std::string::npos);
}

TEST_F(LoggerFixture, ConsoleFormattingStateIsLeftAsTheApplicationSetIt) {
    console << std::scientific << std::setprecision(7);
    const auto flags = console.flags();
    log.setConsole(true);
    log.log(talvoranth::LOG_ERROR, "x");
    EXPECT_EQ(console.flags(), flags);
    EXPECT_EQ(console.precision(), 7);
}

TEST_F(LoggerFixture, LinesFromConcurrentThreadsNeverInterleave) {
    constexpr int kThreads = 4;
    constexpr int kLinesEach = 400;
    const std::string path = dir + "/threads.log";
    log.setConsole(true);
    log.setThreshold(talvoranth::LOG_TRACE);
    log.openLogFile(path);

    // Long texts make a torn line likely if writes were not serialised.
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([this, t] {
            const std::string body(300, static_cast<char>('a' + t));
            for (int i = 0; i < kLinesEach; ++i) {
                log.log(talvoranth::LOG_INFO, "%d:%s:%d", t, body.c_str(), i);
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }

    for (const std::string& output : {console.str(), readFile(path)}) {
        const std::vector<std::string> lines = linesOf(output);
        ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kLinesEach));
        std::map<int, int> perThread;
        for (const std::string& line : lines) {
            const std::optional<LogLine> m = parseLogLine(line);
            ASSERT_TRUE(m) << line.substr(0, 80);
            // "<thread>:<300 letters of that thread>:<i>"
            const std::string& body = m->text;
            ASSERT_GE(body.size(), 304u) << body.substr(0, 80);
            const int thread = body[0] - '0';
            ASSERT_TRUE(thread >= 0 && thread < kThreads) << body.substr(0, 80);
            EXPECT_EQ(body.substr(1, 302),
                      ":" + std::string(300, static_cast<char>('a' + thread)) + ":");
            EXPECT_TRUE(allDigits(body.substr(303))) << body.substr(0, 80);
            ++perThread[thread];
        }
        for (int t = 0; t < kThreads; ++t) {
            EXPECT_EQ(perThread[t], kLinesEach);
        }
    }
}
