-- PBX database for etc/velmorant-sqlite.conf and etc/velmorant.conf: the tables their templates
-- read and write. Create it with
--   sqlite3 /var/lib/asterisk/hotel.db < pbx-sqlite.sql
-- Asterisk's cdr_sqlite3_custom writes call records into master.db in its log folder
-- (/var/log/asterisk/master.db): to have them written straight into this cdr table, create the
-- tables in that file, point the [pbx] database of velmorant's configuration at it, and install
-- cdr_sqlite3_custom.conf from these examples.
-- The dialplan reads a room's name, language, dnd and barred columns; a wake-up application
-- calls the room at wakeup_date/wakeup_time and writes the outcome into wakeup_result.

-- One row per guest room phone; exten is the room number as the PMS sends it.
CREATE TABLE IF NOT EXISTS extensions (
  exten         TEXT PRIMARY KEY,
  name          TEXT NOT NULL DEFAULT '',    -- guest name, set at check-in
  language      TEXT NOT NULL DEFAULT '',    -- guest language as the PMS sends it (EA, DE ...)
  dnd           INTEGER NOT NULL DEFAULT 0,  -- 1: do not disturb
  barred        INTEGER NOT NULL DEFAULT 0,  -- 1: outside calls refused
  msglight      INTEGER NOT NULL DEFAULT 0,  -- 1: the phone's message lamp is on
  wakeup_date   TEXT NOT NULL DEFAULT '',    -- ordered wake-up call, YYYY-MM-DD
  wakeup_time   TEXT NOT NULL DEFAULT '',    -- HH:MM:SS
  wakeup_result INTEGER,                     -- once called: 1 answered, 2 busy, 3 no reply,
                                             -- -1 unreachable; NULL: nothing to report
  room_state    INTEGER                      -- code housekeeping dialled from the room
                                             -- (1 to 6); NULL: nothing to report
);

-- Call records in the shape of Asterisk's cdr table. userfield is velmorant's mark:
-- '' not yet posted, 'PS 0001' posted with P#0001, 'PA 0001' confirmed by the PMS.
-- cdr_sqlite3_custom inserts by position, a NULL for the first column and then the values of
-- its configuration in order, and refuses a table whose first column is not its sequence: so
-- AcctId comes first, and the other columns stay in the order of cdr_sqlite3_custom.conf.
CREATE TABLE IF NOT EXISTS cdr (
  AcctId      INTEGER PRIMARY KEY,           -- row number, given by SQLite
  calldate    TEXT NOT NULL,                 -- call start, YYYY-MM-DD HH:MM:SS
  clid        TEXT NOT NULL DEFAULT '',
  src         TEXT NOT NULL DEFAULT '',      -- the calling extension
  dst         TEXT NOT NULL DEFAULT '',      -- the dialled number
  dcontext    TEXT NOT NULL DEFAULT '',
  channel     TEXT NOT NULL DEFAULT '',
  dstchannel  TEXT NOT NULL DEFAULT '',
  lastapp     TEXT NOT NULL DEFAULT '',
  lastdata    TEXT NOT NULL DEFAULT '',
  duration    INTEGER NOT NULL DEFAULT 0,
  billsec     INTEGER NOT NULL DEFAULT 0,    -- seconds from answer to hang-up
  disposition TEXT NOT NULL DEFAULT '',      -- ANSWERED, NO ANSWER, BUSY, FAILED
  amaflags    INTEGER NOT NULL DEFAULT 0,
  accountcode TEXT NOT NULL DEFAULT '',
  uniqueid    TEXT NOT NULL DEFAULT '',
  userfield   TEXT NOT NULL DEFAULT ''
);
-- The poller looks for a room's calls not yet posted.
CREATE INDEX IF NOT EXISTS cdr_src_userfield ON cdr (src, userfield);
