// The internal store on real files: schema at start-up, room registry, rooms from the file.
#include <gtest/gtest.h>

#include <sqlite3.h>
#include <sys/stat.h>

#include <chrono>
#include <future>
#include <set>
#include <thread>

#include "dbdriver.h"
#include "log_capture.h"
#include "rooms.h"
#include "sqlite_probe.h"
#include "store.h"
#include "testutil.h"

namespace {

using namespace std::chrono_literals;

struct sqlite_closer {
  void operator()(sqlite3* db) const { sqlite3_close(db); }
};

// A connection of the test's own to the store's file, as the PBX or an administrator would have.
class outside_connection {
 public:
  explicit outside_connection(const std::string& path) {
    sqlite3* raw = nullptr;
    sqlite3_open(path.c_str(), &raw);
    db_.reset(raw);
  }
  void exec(const std::string& sql) {
    char* error = nullptr;
    int rc = sqlite3_exec(db_.get(), sql.c_str(), nullptr, nullptr, &error);
    std::string text = error ? error : "";
    sqlite3_free(error);
    ASSERT_EQ(rc, SQLITE_OK) << sql << ": " << text;
  }
  // The values of the first column of every row.
  std::vector<std::string> column(const std::string& sql) {
    std::vector<std::string> values;
    auto collect = [](void* out, int, char** vals, char**) {
      static_cast<std::vector<std::string>*>(out)->emplace_back(vals[0] ? vals[0] : "NULL");
      return 0;
    };
    sqlite3_exec(db_.get(), sql.c_str(), collect, &values, nullptr);
    return values;
  }

 private:
  std::unique_ptr<sqlite3, sqlite_closer> db_;
};

class StoreTest : public ::testing::Test {
 protected:
  testutil::temp_dir dir;
  testutil::log_capture log;
  std::string path = dir.file("states.db");

  std::unique_ptr<internal_store> store;

  // A store as a new start of the daemon opens it; the open's result.
  int open_store(const std::string& file) {
    store = std::make_unique<internal_store>();
    return store->open(file);
  }
  void reopen(const std::string& file) { ASSERT_EQ(open_store(file), 0); }
  void SetUp() override { reopen(path); }

  int store_register_room(const std::string& room) { return store->register_room(room); }
  int store_remove_room(const std::string& room) { return store->remove_room(room); }
  std::set<std::string> rooms() {
    auto list = store->rooms();
    return {list.begin(), list.end()};
  }
  // Loads the rooms of a configuration file as start-up does, from its settings.
  int load_conf_text(const std::string& text) {
    std::string conf = dir.file("velmorant.conf");
    testutil::write_file(conf, text);
    return load_rooms_conf(*store, testutil::load_settings(conf)->rooms);
  }
};

TEST_F(StoreTest, FreshFileGetsBothTablesAndTheIndexAndASecondStartCreatesNothing) {
  outside_connection db(path);
  auto schema = "select name from sqlite_master where name not like 'sqlite_%' order by name";
  EXPECT_EQ(db.column(schema),
            (std::vector<std::string>{"cdrcache", "idx_cdrcache_c_from_start",
                                      "idx_cdrcache_src_userfield", "idx_postings_marked",
                                      "idx_postings_seqno", "idx_postings_state",
                                      "idx_stay_rooms_room", "idx_stay_rooms_until", "postings",
                                      "rooms", "stay_rooms", "stays"}));
  EXPECT_EQ(db.column("select count(*) from pragma_table_info('cdrcache')"),
            std::vector<std::string>{"23"});
  EXPECT_EQ(db.column("select name from pragma_index_info('idx_cdrcache_c_from_start')"),
            (std::vector<std::string>{"c_from", "start"}));

  ASSERT_EQ(store_register_room("101"), 0);
  std::string before = log.text();
  reopen(path);
  EXPECT_EQ(log.text(), before) << "a second start finds its tables and logs no failed check";
  EXPECT_EQ(rooms(), std::set<std::string>{"101"}) << "rows survive a restart";
}

TEST_F(StoreTest, OlderFileGetsThePollersIndexAndTheJournalAndKeepsItsRows) {
  std::string old_file = dir.file("old.db");
  outside_connection(old_file).exec(
      "create table cdrcache (src varchar(80), userfield varchar(255));"
      "insert into cdrcache values ('101', 'PS|P#0001|RN101|')");
  reopen(old_file);
  outside_connection db(old_file);
  EXPECT_EQ(db.column("select name from sqlite_master where type = 'index' and tbl_name = "
                      "'cdrcache'"),
            std::vector<std::string>{"idx_cdrcache_src_userfield"});
  EXPECT_EQ(db.column("select name from sqlite_master where type = 'table' order by name"),
            (std::vector<std::string>{"cdrcache", "postings", "rooms", "stay_rooms", "stays"}));
  EXPECT_EQ(db.column("select userfield from cdrcache"),
            std::vector<std::string>{"PS|P#0001|RN101|"});
}

TEST_F(StoreTest, OlderJournalGetsTheGuestNumberAndCallRoomColumnsAndKeepsItsPostings) {
  std::string old_file = dir.file("old-journal.db");
  outside_connection(old_file).exec(
      "create table postings (id integer primary key, seqno text not null, room text not null, "
      "da text not null, ti text not null, billsec integer not null, number text not null, "
      "amount integer not null default -1, source text not null, cache_id integer, "
      "call_date text, call_time text, link integer not null, first_sent integer not null, "
      "marked integer not null default 0, state text not null default 'sent', answer text, "
      "settled_at integer);"
      "insert into postings (seqno, room, da, ti, billsec, number, source, link, first_sent) "
      "values ('0007', '101', '091231', '101500', 5, '200', '', 1, 1)");
  reopen(old_file);
  outside_connection db(old_file);
  EXPECT_EQ(db.column("select seqno || '/' || room || '/' || coalesce(guest_no, 'none') || '/' || "
                      "coalesce(call_room, 'none') from postings"),
            std::vector<std::string>{"0007/101/none/none"});
  std::string before = log.text();
  reopen(old_file);
  EXPECT_EQ(log.text(), before) << "the columns are added once";
}

TEST_F(StoreTest, StoreThatCannotBeOpenedIsReported) {
  std::string bad = dir.file("missing/states.db");
  EXPECT_EQ(open_store(bad), -1);
  EXPECT_TRUE(log.contains("Unable to open states file " + bad)) << log.text();
  EXPECT_EQ(store_register_room("101"), -1);
  EXPECT_EQ(load_conf_text("[rooms]\nroom1 = 101\nroom2 = 102\n"), -1);
  EXPECT_EQ(testutil::count_occurrences(log.text(), "Unable to open states file"), 3)
      << "loading stops at the first room that cannot be stored\n" << log.text();
}

// A file that opens but is not a database (a crash, a full disk, a wrong path) must stop the
// start, not leave a daemon that reports itself running and can keep nothing.
TEST_F(StoreTest, StatesFileThatIsNotADatabaseEndsTheStart) {
  std::string junk = dir.file("junk.db");
  testutil::write_file(junk, std::string(8192, 'x'));
  EXPECT_EQ(open_store(junk), -1);
  EXPECT_TRUE(log.contains("Unable to open states file " + junk)) << log.text();
}

// Every cached call and guest room is in the states file: a new one, and the companions SQLite
// makes beside it, are for the daemon's user alone, whatever the umask.
TEST_F(StoreTest, NewStatesFileAndItsCompanionsAreReadableByTheOwnerOnly) {
  mode_t old = umask(0);
  std::string fresh = dir.file("fresh.db");
  int rc = open_store(fresh);
  umask(old);
  ASSERT_EQ(rc, 0);
  ASSERT_EQ(store_register_room("101"), 0);
  for (const std::string& file : {fresh, fresh + "-wal", fresh + "-shm"}) {
    struct stat st {};
    ASSERT_EQ(stat(file.c_str(), &st), 0) << file;
    EXPECT_EQ(st.st_mode & 0777, 0600u) << file;
  }
}

TEST_F(StoreTest, RegisteringTwiceKeepsOneRowWithTheLaterTime) {
  ASSERT_EQ(store_register_room("101"), 0);
  outside_connection db(path);
  db.exec("update rooms set ci_date = '2000-01-01', citime = '00:00:00'");
  ASSERT_EQ(store_register_room("101"), 0);
  EXPECT_EQ(db.column("select count(*) from rooms"), std::vector<std::string>{"1"});
  auto date = db.column("select ci_date from rooms")[0];
  auto time = db.column("select citime from rooms")[0];
  EXPECT_NE(date, "2000-01-01");
  EXPECT_EQ(date.size(), 10u) << date;
  EXPECT_EQ(time.size(), 8u) << time;
  EXPECT_EQ(db.column("select calls from rooms"), std::vector<std::string>{"0"});
}

TEST_F(StoreTest, RoomNumberWithAQuoteIsStoredAsSentAndRemoved) {
  ASSERT_EQ(store_register_room("10'1"), 0);
  ASSERT_EQ(store_register_room("x') ; drop table rooms; --"), 0);
  EXPECT_EQ(rooms(), (std::set<std::string>{"10'1", "x') ; drop table rooms; --"}));
  ASSERT_EQ(store_remove_room("10'1"), 0);
  EXPECT_EQ(rooms(), std::set<std::string>{"x') ; drop table rooms; --"});
}

TEST_F(StoreTest, RoomKeysStopAtTheFirstMissingNumber) {
  EXPECT_EQ(load_conf_text("[rooms]\nroom1 = 101\nroom2 = 102\nroom4 = 104\n"), 0);
  EXPECT_EQ(rooms(), (std::set<std::string>{"101", "102"}));
}

TEST_F(StoreTest, EmptyRoomValueIsSkippedWithAWarningAndTheListGoesOn) {
  EXPECT_EQ(load_conf_text("[rooms]\ntype =\nroom1 = 101\nroom2 =\nroom3 = 103\n"), 0);
  EXPECT_EQ(rooms(), (std::set<std::string>{"101", "103"}));
  EXPECT_TRUE(log.contains("Empty room number in rooms:room2 skipped")) << log.text();
}

TEST_F(StoreTest, UnknownTypeRegistersNothingButSaysSo) {
  EXPECT_EQ(load_conf_text("[rooms]\ntype = file\nroom1 = 101\n"), 0);
  EXPECT_TRUE(log.contains("Unknown rooms:type file; no rooms loaded")) << log.text();
  EXPECT_TRUE(rooms().empty());
}

TEST_F(StoreTest, StatementWaitsForAnotherConnectionsWriteLock) {
  outside_connection holder(path);
  holder.exec("begin exclusive");
  auto start = std::chrono::steady_clock::now();
  constexpr auto kHeld = 500ms;
  std::thread release([&] {
    std::this_thread::sleep_until(start + kHeld);  // the lock is held this long on purpose
    holder.exec("commit");
  });
  int rc = store_register_room("207");
  auto waited = std::chrono::steady_clock::now() - start;
  release.join();
  EXPECT_EQ(rc, 0) << log.text();
  EXPECT_GE(waited, kHeld) << "the statement ran while the file was locked";
  EXPECT_EQ(rooms(), std::set<std::string>{"207"});
}

// The stop ends a statement of the store from another thread: it fails as one that may pass,
// and the store serves the next statement as before.
TEST_F(StoreTest, InterruptFromAnotherThreadEndsARunningStatement) {
  auto endless = std::async(std::launch::async, [this] {
    std::lock_guard guard(*store);
    return store->exec("with recursive c(x) as (select 1 union all select x + 1 from c) "
                       "select count(*) from c");
  });
  auto start = std::chrono::steady_clock::now();
  while (endless.wait_for(10ms) != std::future_status::ready &&
         std::chrono::steady_clock::now() - start < 5s)
    store->interrupt();
  ASSERT_EQ(endless.wait_for(0ms), std::future_status::ready) << "the statement was not ended";
  EXPECT_EQ(endless.get(), kDbUnavailable);
  EXPECT_TRUE(log.contains("Sqlite query error: interrupted")) << log.text();
  EXPECT_EQ(store_register_room("101"), 0);
  EXPECT_EQ(rooms(), std::set<std::string>{"101"});
}

TEST_F(StoreTest, ConcurrentCheckInsAndCheckOutsKeepTheRegistryConsistent) {
  constexpr int kThreads = 4;
  constexpr int kRooms = 25;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([this, t] {
      for (int r = 0; r < kRooms; ++r) {
        std::string room = std::to_string(t * 100 + r);
        store_register_room(room);
        if (r % 5 == 0) store_remove_room(room);
        store->rooms();
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(rooms().size(), static_cast<size_t>(kThreads * (kRooms - kRooms / 5)));
}

}  // namespace
