-- FILELIST, the archive's index of its data files: one row per data file.
-- ID identifies a row for updates and deletes; CPATH is deliberately not
-- unique, since an archive may already hold two rows of one path.
-- Registration looks rows up by path and takes them in key order.
-- DOUBLE keeps every bit of a time; DATETIME, unlike TIMESTAMP, is stored
-- as written, without the session's time zone.
CREATE TABLE IF NOT EXISTS FILELIST (
  ID BIGINT AUTO_INCREMENT PRIMARY KEY,
  STA VARCHAR(255),
  SPS DOUBLE,
  GAIN INTEGER,
  CPATH VARCHAR(255),
  DATATYPE INTEGER,
  CH VARCHAR(255),
  CREATER VARCHAR(255),
  LDDATE DATETIME,
  TBEGIN DOUBLE,
  TQTY DOUBLE,
  FOFF INTEGER
) ENGINE = InnoDB CHARACTER SET utf8mb4 COLLATE utf8mb4_bin;
CREATE INDEX IF NOT EXISTS FILELIST_CPATH ON FILELIST (CPATH, ID);
