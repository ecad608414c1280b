// The stays on a real states file: check-in, move, change and check-out, and what a call looks up.
#include <gtest/gtest.h>

#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "log_capture.h"
#include "sqlite_probe.h"
#include "stays.h"
#include "store.h"
#include "testutil.h"

namespace {

class StaysTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(store.open(dir.file("states.db")), 0);
    book().set_clock([this] { return clock; });
  }
  stay_book& book() { return store.stays(); }
  // The stay's room, G# and name, or "-" when there is none.
  static std::string who(const std::optional<stay>& s) {
    return s ? s->room + "/" + s->guest_no + "/" + s->name : "-";
  }

  testutil::temp_dir dir;
  testutil::log_capture log;
  internal_store store;
  std::time_t clock = 1000;
};

// One step of a guest's life, at its time.
struct step {
  std::time_t when;
  char what;  // i open, o close, m move, u update
  std::string room, other, guest_no, name;
};

TEST_F(StaysTest, EachRoomAnswersWhoWasInItAtAnyTime) {
  const std::vector<step> life = {
      {1000, 'i', "101", "", "G1", "Smith"},
      {2000, 'm', "101", "102", "", ""},
      {3000, 'i', "101", "", "G2", "Jones"},
      {4000, 'u', "102", "", "", "Smith-Lee"},  // no G#: the one known stays
      {5000, 'i', "101", "", "G3", "Brown"},    // ends Jones's stay
      {6000, 'm', "101", "102", "", ""},        // Brown moves into Smith's room: Smith leaves
      {7000, 'o', "102", "", "", ""},
  };
  for (const step& s : life) {
    clock = s.when;
    switch (s.what) {
      case 'i': EXPECT_GT(book().open(s.room, s.guest_no, s.name, "EA"), 0); break;
      case 'o': EXPECT_TRUE(book().close(s.room)); break;
      case 'm': EXPECT_TRUE(book().move(s.room, s.other)); break;
      case 'u': EXPECT_TRUE(book().update(s.room, s.guest_no, s.name, "GE")); break;
    }
  }
  const struct {
    std::string room;
    std::time_t when;
    std::string expected;
  } cases[] = {
      {"101", 999, "-"},
      {"101", 1000, "102/G1/Smith-Lee"},
      {"101", 1999, "102/G1/Smith-Lee"},
      {"101", 2000, "-"},  // the second of the move belongs to the new room
      {"102", 2000, "102/G1/Smith-Lee"},
      {"101", 3500, "101/G2/Jones"},
      {"101", 5500, "102/G3/Brown"},
      {"102", 5999, "102/G1/Smith-Lee"},
      {"102", 6000, "102/G3/Brown"},
      {"102", 7000, "-"},
      {"103", 3000, "-"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(who(book().at(c.room, c.when)), c.expected) << c.room << " at " << c.when;

  EXPECT_EQ(who(book().current("101")), "-");
  EXPECT_EQ(who(book().current("102")), "-");
  EXPECT_EQ(book().rooms_left_since(0), (std::vector<std::string>{"101", "102"}));
  EXPECT_EQ(book().rooms_left_since(6500), std::vector<std::string>{"102"});
  EXPECT_TRUE(book().rooms_left_since(7001).empty());
  std::optional<stay> brown = book().at("102", 6500);
  ASSERT_TRUE(brown);
  EXPECT_EQ(brown->checkin, 5000);
  EXPECT_EQ(brown->checkout, 7000);
  EXPECT_EQ(brown->lang, "EA");
}

TEST_F(StaysTest, WhatFindsNothingChangesNothing) {
  const std::string opened = log.text();  // a new file's open logs its missing older tables
  EXPECT_GT(book().open("101", "", "Smith", "EA"), 0);
  EXPECT_FALSE(book().move("201", "202")) << "no stay to move";
  EXPECT_FALSE(book().update("201", "G9", "X", "EA"));
  EXPECT_TRUE(book().close("201")) << "a check-out of an empty room is no failure";
  EXPECT_TRUE(book().move("101", "101"));
  EXPECT_EQ(who(book().current("101")), "101//Smith");
  EXPECT_TRUE(book().rooms_left_since(0).empty());
  EXPECT_EQ(log.text().find("ERROR", opened.size()), std::string::npos) << log.text();
}

TEST_F(StaysTest, StaysSurviveARestartAndAFileWithoutThemFailsLoudly) {
  ASSERT_GT(book().open("101", "G1", "Smith", "EA"), 0);
  internal_store again;
  ASSERT_EQ(again.open(store.path()), 0);
  EXPECT_EQ(who(again.stays().current("101")), "101/G1/Smith");

  testutil::sqlite_exec(store.path(), "drop table stay_rooms");
  EXPECT_EQ(book().open("102", "G2", "Jones", "EA"), 0);
  EXPECT_FALSE(book().close("101"));
  EXPECT_EQ(book().current("101"), std::nullopt);
  EXPECT_NE(log.text().find("Sqlite query error"), std::string::npos) << log.text();
  EXPECT_EQ(testutil::sqlite_rows(store.path(), "select count(*) from stays")[0][0], "1")
      << "the failed check-in is rolled back whole";
}

}  // namespace
