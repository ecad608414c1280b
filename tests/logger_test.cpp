// Logger: thresholds, the bogus-level complaint, the line cut, escaping, and where lines go.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "logger.h"
#include "testutil.h"

using testutil::count_occurrences;
using testutil::read_file;

namespace {

// Sends standard error to a file for as long as it lives.
class stderr_capture {
 public:
  explicit stderr_capture(const std::string& path) : path_(path) {
    saved_ = dup(2);
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(fd, 2);
    ::close(fd);
  }
  ~stderr_capture() { restore(); }
  std::string text() {
    restore();
    return read_file(path_);
  }

 private:
  void restore() {
    if (saved_ < 0) return;
    dup2(saved_, 2);
    ::close(saved_);
    saved_ = -1;
  }
  std::string path_;
  int saved_ = -1;
};

class LoggerTest : public ::testing::Test {
 protected:
  void TearDown() override { logger_init(nullptr, 1, 0, 0); }
  testutil::temp_dir dir;
  std::string log = dir.file("velmorant.log");
};

TEST_F(LoggerTest, ThresholdDecidesWhichLevelsAreWritten) {
  struct {
    int threshold;
    std::string expected;  // one letter per level written, DEBUG..VERBOSE
  } cases[] = {{5, "DENWRV"}, {3, "NWRV"}, {0, "V"}};
  const char* names[] = {"DEBUG[", "EVENT[", "NOTICE[", "WARNING[", "ERROR[", "VERBOSE["};
  const char letters[] = "DENWRV";
  for (auto& c : cases) {
    unlink(log.c_str());
    logger_init(log.c_str(), c.threshold, 0, 0);
    for (int level = L_DEBUG; level <= L_VERBOSE; ++level) LOG(level, "line");
    std::string text = read_file(log), written;
    for (int level = 0; level < 6; ++level)
      if (text.find(names[level]) != std::string::npos) written += letters[level];
    EXPECT_EQ(written, c.expected) << "threshold " << c.threshold;
  }
}

TEST_F(LoggerTest, LineCarriesStampLevelPidSourceAndFunction) {
  logger_init(log.c_str(), 5, 0, 0);
  LOG(L_ERROR, "Unable to open states file %s", "/x");
  std::string line = read_file(log);
  // "MM/DD/YY HH:MM:SS:  ERROR[pid]: logger_test.cpp:NN in TestBody: message\n"
  std::string expected_tail = "  ERROR[" + std::to_string(getpid()) + "]: logger_test.cpp:";
  EXPECT_EQ(line.find(expected_tail), 18u) << line;
  EXPECT_NE(line.find(" in TestBody: Unable to open states file /x\n"), std::string::npos) << line;
  EXPECT_EQ(line.back(), '\n');
}

TEST_F(LoggerTest, VerboseLinesHaveNoSourcePrefix) {
  logger_init(log.c_str(), 5, 0, 0);
  LOG(L_VERBOSE, "hello");
  std::string line = read_file(log);
  EXPECT_NE(line.find(":  VERBOSE[" + std::to_string(getpid()) + "]: hello\n"), std::string::npos)
      << line;
}

TEST_F(LoggerTest, BogusLevelIsReportedOnStandardErrorUnlessLoggingIsOff) {
  logger_init(log.c_str(), 5, 0, 0);
  {
    stderr_capture err(dir.file("err"));
    write_log(7, "f.cpp", 1, "fn", "x");
    write_log(-1, "f.cpp", 1, "fn", "dropped by the threshold");
    EXPECT_EQ(err.text(), "log called with bogus level: 7\n");
  }
  logger_init(log.c_str(), 5, 0, 1);
  {
    stderr_capture err(dir.file("err2"));
    write_log(7, "f.cpp", 1, "fn", "x");
    LOG(L_ERROR, "not written");
    EXPECT_EQ(err.text(), "");
  }
  EXPECT_EQ(read_file(log), "");
}

TEST_F(LoggerTest, LongMessageIsCutTo1023CharactersOfPrefixAndMessage) {
  logger_init(log.c_str(), 5, 0, 0);
  LOG(L_NOTICE, "%s", std::string(2000, 'x').c_str());
  std::string line = read_file(log);
  size_t body_start = line.find(": ") + 2;  // after the time stamp and its ": "
  std::string body = line.substr(body_start, line.size() - body_start - 1);
  EXPECT_EQ(body.size(), 1023u);
  EXPECT_EQ(body.back(), 'x');

  // Escapes count in the limit and are never cut in half.
  unlink(log.c_str());
  LOG(L_NOTICE, "%s", std::string(2000, '\n').c_str());
  line = read_file(log);
  body = line.substr(body_start, line.size() - body_start - 1);
  EXPECT_GE(body.size(), 1022u);
  EXPECT_LE(body.size(), 1023u);
  EXPECT_EQ(body.substr(body.size() - 4), "\\n\\n") << body;
}

TEST_F(LoggerTest, ControlCharactersAreEscapedSoEachCallWritesOneLine) {
  struct {
    const char* format;
    const char* value;
    std::string expected;  // the message as the line shows it
  } cases[] = {
      {"Guest name %s\n", "Ann\nCaught signal 15. Exiting.",
       "Guest name Ann\\nCaught signal 15. Exiting."},
      {"Name %s", "a\rb\x1b[31mc\x7f\x01", "Name a\\rb\\x1b[31mc\\x7f\\x01"},
      {"\tRoom number: %s", "101", "\tRoom number: 101"},
      {"Name %s\n\n", "M\xc3\xbcller\n", "Name M\xc3\xbcller\\n"},
      {"two\nlines %s", "x", "two\\nlines x"},
  };
  logger_init(log.c_str(), 5, 0, 0);
  for (auto& c : cases) {
    unlink(log.c_str());
    LOG(L_NOTICE, c.format, c.value);
    std::string text = read_file(log);
    EXPECT_EQ(count_occurrences(text, "\n"), 1) << text;
    ASSERT_GE(text.size(), c.expected.size() + 2);
    EXPECT_EQ(text.substr(text.size() - c.expected.size() - 3), ": " + c.expected + "\n") << text;
  }
}

TEST_F(LoggerTest, UnopenableFileFallsBackToStandardErrorWithStamp) {
  logger_init(dir.file("no/such/dir/log").c_str(), 5, 0, 0);
  stderr_capture err(dir.file("err"));
  LOG(L_WARNING, "Connection to PMS lost");
  std::string text = err.text();
  EXPECT_EQ(count_occurrences(text, "WARNING["), 1);
  EXPECT_NE(text.find("Connection to PMS lost\n"), std::string::npos);
  EXPECT_EQ(text[2], '/') << "time stamp first: " << text;
}

TEST_F(LoggerTest, SymbolicLinkIsRefusedAndReportedOncePerPath) {
  std::string victim = dir.file("victim");
  testutil::write_file(victim, "precious\n");
  ASSERT_EQ(symlink(victim.c_str(), log.c_str()), 0);
  const std::string report = "ERROR[" + std::to_string(getpid()) + "]: logger.cpp:";
  const std::string refusal = "Log file " + log + " is a symbolic link; not writing to it\n";
  logger_init(log.c_str(), 5, 0, 0);
  {
    stderr_capture err(dir.file("err"));
    LOG(L_NOTICE, "first");
    LOG(L_NOTICE, "second");
    logger_init(log.c_str(), 5, 0, 0);
    LOG(L_NOTICE, "after a reload");
    std::string text = err.text();
    EXPECT_EQ(count_occurrences(text, refusal), 2) << text;
    EXPECT_EQ(count_occurrences(text, report), 2) << text;
    EXPECT_NE(text.find("first\n"), std::string::npos) << "the line itself still reaches stderr";
  }
  EXPECT_EQ(read_file(victim), "precious\n");

  // Once the link is gone the file is created again, readable by its group only; a link planted
  // after that is reported anew.
  unlink(log.c_str());
  mode_t saved = umask(022);
  LOG(L_NOTICE, "back");
  umask(saved);
  struct stat st;
  ASSERT_EQ(stat(log.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  unlink(log.c_str());
  ASSERT_EQ(symlink(victim.c_str(), log.c_str()), 0);
  stderr_capture err(dir.file("err2"));
  LOG(L_NOTICE, "again");
  EXPECT_EQ(count_occurrences(err.text(), refusal), 1);
  EXPECT_EQ(read_file(victim), "precious\n");
}

TEST_F(LoggerTest, BeforeConfigurationOnlyErrorsAndVerboseReachStandardError) {
  logger_init(nullptr, 1, 0, 0);
  stderr_capture err(dir.file("err"));
  LOG(L_NOTICE, "quiet");
  LOG(L_ERROR, "Can not connect to DB");
  std::string text = err.text();
  EXPECT_EQ(text.find("quiet"), std::string::npos);
  EXPECT_NE(text.find("Can not connect to DB"), std::string::npos);
}

}  // namespace
