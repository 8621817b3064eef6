-- FILELIST, the archive's index of its data files: one row per data file.
-- ID identifies a row for updates and deletes; CPATH is deliberately not
-- unique, since an archive may already hold two rows of one path.
-- Registration looks rows up by path and takes them in key order; with
-- AUTOINCREMENT a deleted row's key is never handed out again.
CREATE TABLE IF NOT EXISTS FILELIST (
  ID INTEGER PRIMARY KEY AUTOINCREMENT,
  STA VARCHAR(255),
  SPS DOUBLE PRECISION,
  GAIN INTEGER,
  CPATH VARCHAR(255),
  DATATYPE INTEGER,
  CH VARCHAR(255),
  CREATER VARCHAR(255),
  LDDATE TIMESTAMP,
  TBEGIN DOUBLE PRECISION,
  TQTY DOUBLE PRECISION,
  FOFF INTEGER
);
CREATE INDEX IF NOT EXISTS FILELIST_CPATH ON FILELIST (CPATH, ID);
