#pragma once
// A data file's registration in FILELIST, and how registrations reach the
// table. The writer hands one over after every write; a registrar decides
// when it is carried out: at once, or grouped with others in a transaction.
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <unordered_set>
#include <vector>

namespace odbc {
class Connection;
class Error;
}  // namespace odbc

struct FileRegistration {
  enum Kind { kReplace, kUpdate };  // after a creation, after an append
  Kind kind = kUpdate;
  std::string cpath, sta, ch;
  double tBegin = 0, tQty = 0, sps = 0;
  int gain = 1, dataType = 3;
};

// Where registrations are carried out: FILELIST on a connection, or a
// test's stand-in that counts them.
class IFileListTarget {
 public:
  virtual ~IFileListTarget() = default;
  // The statements of one registration: Replace deletes the first row of the
  // path and inserts; Update changes the first row or inserts when none.
  virtual void Apply(const FileRegistration& r) = 0;
  virtual void Begin() = 0;
  virtual void Commit() = 0;
  virtual void Rollback() noexcept = 0;
};

class CFileListTarget final : public IFileListTarget {
 public:
  explicit CFileListTarget(odbc::Connection& database) : m_Database(database) {}
  void Apply(const FileRegistration& r) override;
  void Begin() override;
  void Commit() override;
  void Rollback() noexcept override;

 private:
  odbc::Connection& m_Database;
};

// The registering stage as the writers see it; every operation may be
// called from any thread.
class IRegistrar {
 public:
  virtual ~IRegistrar() = default;
  // After a write: the file's row is to describe the file as r says. Throws
  // a database error once registration has failed.
  virtual void Register(const FileRegistration& r) = 0;
  // Whatever is pending should be committed now (an input file has ended);
  // does not wait.
  virtual void CommitSoon() {}
  // Commits whatever is pending and waits for it; throws the error of a
  // failed commit.
  virtual void Flush() {}
  // Writes, and distinct data files, whose registration was lost with a
  // failed commit (each named on the diagnostic channel).
  virtual uint64_t WritesNotRegistered() const { return 0; }
  virtual uint64_t FilesNotRegistered() const { return 0; }
  // Of those, the files that have no row of this run at all.
  virtual uint64_t FilesWithoutRow() const { return 0; }
};

using ReportLine = std::function<void(const std::string&)>;

// Data files written whose registration was lost: counted, and each named
// once on report ("Data file CPATH: written but not registered in FILELIST")
// when Report is called, after the error that lost them has been reported.
class CLostFiles {
 public:
  explicit CLostFiles(ReportLine report) : m_Report(std::move(report)) {}
  // writes: how many of the path's writes the writer had counted as registered.
  void Add(const std::string& cpath, uint64_t writes);
  uint64_t Writes() const;
  uint64_t Files() const;
  void Report();

 private:
  ReportLine m_Report;
  mutable std::mutex m_Mutex;
  uint64_t m_Writes = 0;
  std::unordered_set<std::string> m_Files;
  std::vector<std::string> m_Unreported;
};

// One committed registration per write: Register returns once the row is
// in the table.
class CStrictRegistration final : public IRegistrar {
 public:
  explicit CStrictRegistration(IFileListTarget& target, ReportLine report = {})
      : m_Target(target), m_Lost(std::move(report)) {}
  ~CStrictRegistration() override { m_Lost.Report(); }
  void Register(const FileRegistration& r) override;
  uint64_t WritesNotRegistered() const override { return m_Lost.Writes(); }
  uint64_t FilesNotRegistered() const override { return m_Lost.Files(); }

 private:
  std::mutex m_Mutex;  // one writer on the connection
  IFileListTarget& m_Target;
  CLostFiles m_Lost;
};

// A deadlock or serialization failure between concurrent runs: the
// database rolled the work back, and it may simply be done again.
bool IsTransient(const odbc::Error& e);
constexpr int kTransientAttempts = 5;
// Waits a little longer after each transient failure.
void BackOff(int attempt);
