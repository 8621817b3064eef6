-- FILELIST, the archive's index of its data files: one row per data file,
-- with the eleven columns that brevanto reads and writes and nothing else.
-- CPATH is deliberately not unique, since an archive may already hold two
-- rows of one path; its index keeps registration fast as the table grows.
-- The index on STA, CH and TBEGIN (with SPS and TQTY, so that it alone
-- answers coverage reports) finds what the archive already holds of a
-- channel's hours before a run writes them.
-- Without a key, registration takes the first row of a path by ctid.
-- Names stay unquoted so that they fold to lower case like the queries'.
CREATE TABLE IF NOT EXISTS FILELIST (
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
CREATE INDEX IF NOT EXISTS FILELIST_CPATH ON FILELIST (CPATH);
CREATE INDEX IF NOT EXISTS FILELIST_STA_CH_TBEGIN ON FILELIST (STA, CH, TBEGIN, SPS, TQTY);
