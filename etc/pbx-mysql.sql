-- PBX databases for etc/velmorant-mysql.conf, laid out as on a typical Asterisk installation
-- with MySQL or MariaDB: call records in asteriskcdrdb.cdr (written by Asterisk's cdr_mysql or
-- cdr_adaptive_odbc), room phones and wake-up calls in the asterisk database. Load it with
--   mysql -u root -p < pbx-mysql.sql
-- velmorant's database user needs these rights:
--   GRANT SELECT, UPDATE ON asteriskcdrdb.cdr TO 'velmorant'@'localhost';
--   GRANT SELECT, UPDATE ON asterisk.users TO 'velmorant'@'localhost';
--   GRANT SELECT, INSERT, DELETE ON asterisk.wakeups TO 'velmorant'@'localhost';

CREATE DATABASE IF NOT EXISTS asteriskcdrdb;

-- Asterisk's call records. userfield is velmorant's mark: '' not yet posted, 'PS 0001' posted
-- with P#0001, 'PA 0001' confirmed by the PMS.
CREATE TABLE IF NOT EXISTS asteriskcdrdb.cdr (
  calldate    DATETIME NOT NULL,                -- call start
  clid        VARCHAR(80) NOT NULL DEFAULT '',
  src         VARCHAR(80) NOT NULL DEFAULT '',  -- the calling extension
  dst         VARCHAR(80) NOT NULL DEFAULT '',  -- the dialled number
  dcontext    VARCHAR(80) NOT NULL DEFAULT '',
  channel     VARCHAR(80) NOT NULL DEFAULT '',
  dstchannel  VARCHAR(80) NOT NULL DEFAULT '',
  lastapp     VARCHAR(80) NOT NULL DEFAULT '',
  lastdata    VARCHAR(80) NOT NULL DEFAULT '',
  duration    INT NOT NULL DEFAULT 0,
  billsec     INT NOT NULL DEFAULT 0,           -- seconds from answer to hang-up
  disposition VARCHAR(45) NOT NULL DEFAULT '',  -- ANSWERED, NO ANSWER, BUSY, FAILED
  amaflags    INT NOT NULL DEFAULT 0,
  accountcode VARCHAR(20) NOT NULL DEFAULT '',
  uniqueid    VARCHAR(32) NOT NULL DEFAULT '',
  userfield   VARCHAR(255) NOT NULL DEFAULT '',
  KEY calldate (calldate),
  KEY src_userfield (src, userfield)
);

CREATE DATABASE IF NOT EXISTS asterisk;

-- One row per guest room phone; the dialplan reads name, language, dnd and barred.
CREATE TABLE IF NOT EXISTS asterisk.users (
  extension  VARCHAR(20) NOT NULL PRIMARY KEY,  -- the room number as the PMS sends it
  name       VARCHAR(80) NOT NULL DEFAULT '',   -- guest name, set at check-in
  language   VARCHAR(8) NOT NULL DEFAULT '',    -- guest language as the PMS sends it (EA, DE ...)
  dnd        TINYINT NOT NULL DEFAULT 0,        -- 1: do not disturb
  barred     TINYINT NOT NULL DEFAULT 0,        -- 1: outside calls refused
  msglight   TINYINT NOT NULL DEFAULT 0,        -- 1: the phone's message lamp is on
  room_state TINYINT NULL DEFAULT NULL          -- code housekeeping dialled from the room
                                                -- (1 to 6); NULL: nothing to report
);

-- Wake-up calls ordered by the PMS. The wake-up application calls the room at the time and
-- writes result: 1 answered, 2 busy, 3 no reply, -1 unreachable; NULL until then.
CREATE TABLE IF NOT EXISTS asterisk.wakeups (
  extension   VARCHAR(20) NOT NULL,
  wakeup_date DATE NOT NULL,
  wakeup_time TIME NOT NULL,
  result      TINYINT NULL DEFAULT NULL,
  PRIMARY KEY (extension, wakeup_date, wakeup_time)
);
