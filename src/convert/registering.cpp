#include "convert/registering.h"

#include "platform/odbc.h"

namespace convert {

CGroupedRegistration::CGroupedRegistration(IFileListTarget& target, std::chrono::milliseconds interval,
                                           ReportLine report)
    : m_Target(target),
      m_Interval(interval),
      m_Lost(std::move(report)),
      m_Thread(&CGroupedRegistration::Committer, this) {}

CGroupedRegistration::~CGroupedRegistration() {
  {
    std::lock_guard lock(m_Mutex);
    m_Stop = true;
    if (!m_Failure && !m_Pending.empty()) Lose(m_Pending);
    m_Pending.clear();
    m_Index.clear();
  }
  m_Wake.notify_all();
  m_Thread.join();
  m_Lost.Report();
}

void CGroupedRegistration::Register(const FileRegistration& r) {
  std::lock_guard lock(m_Mutex);
  if (m_Failure) {
    // Not counted as a registration by the writer, whose call this ends.
    m_Lost.Add(r.cpath, 0);
    std::rethrow_exception(m_Failure);
  }
  if (m_Pending.empty()) m_OldestPending = std::chrono::steady_clock::now();
  auto [it, added] = m_Index.try_emplace(r.cpath, m_Pending.size());
  if (added) m_Pending.emplace_back();
  Pending& p = m_Pending[it->second];
  p.latest = r;
  p.replace = p.replace || r.kind == FileRegistration::kReplace;
  ++p.writes;
  if (m_Pending.size() == 1) m_Wake.notify_one();
}

void CGroupedRegistration::CommitSoon() {
  std::lock_guard lock(m_Mutex);
  m_Soon = true;
  m_Wake.notify_one();
}

void CGroupedRegistration::Flush() {
  std::unique_lock lock(m_Mutex);
  m_Soon = true;
  m_Wake.notify_one();
  m_Committed.wait(lock, [&] { return m_Pending.empty() && !m_Committing; });
  if (m_Failure) std::rethrow_exception(m_Failure);
}

uint64_t CGroupedRegistration::WritesNotRegistered() const { return m_Lost.Writes(); }

uint64_t CGroupedRegistration::FilesNotRegistered() const { return m_Lost.Files(); }

uint64_t CGroupedRegistration::FilesWithoutRow() const {
  std::lock_guard lock(m_Mutex);
  return m_LostWithoutRow.size();
}

uint64_t CGroupedRegistration::Commits() const {
  std::lock_guard lock(m_Mutex);
  return m_Commits;
}

void CGroupedRegistration::Committer() {
  std::unique_lock lock(m_Mutex);
  for (;;) {
    if (m_Pending.empty()) {
      m_Soon = false;
      m_Committed.notify_all();
      if (m_Stop) return;
      m_Wake.wait(lock);
      continue;
    }
    if (m_Failure) {
      Lose(m_Pending);
      m_Pending.clear();
      m_Index.clear();
      continue;
    }
    // Due when the oldest registration of the group has waited the interval,
    // however long the commit before took.
    const auto due = m_OldestPending + m_Interval;
    if (!m_Soon && !m_Stop && std::chrono::steady_clock::now() < due) {
      m_Wake.wait_until(lock, due);
      continue;
    }
    Group group;
    group.swap(m_Pending);
    m_Index.clear();
    m_Soon = false;
    m_Committing = true;
    lock.unlock();
    std::exception_ptr failure;
    try {
      CommitGroup(group);
    } catch (...) {
      failure = std::current_exception();
    }
    lock.lock();
    m_Committing = false;
    if (failure) {
      m_Failure = failure;
      Lose(group);
    } else {
      ++m_Commits;
      for (const Pending& p : group) m_CommittedPaths.insert(p.latest.cpath);
    }
    m_Committed.notify_all();
  }
}

void CGroupedRegistration::CommitGroup(const Group& group) {
  for (int attempt = 1;; ++attempt) {
    try {
      m_Target.Begin();
      for (const Pending& p : group) {
        FileRegistration r = p.latest;
        r.kind = p.replace ? FileRegistration::kReplace : FileRegistration::kUpdate;
        m_Target.Apply(r);
      }
      m_Target.Commit();
      return;
    } catch (const odbc::Error& e) {
      m_Target.Rollback();
      if (!IsTransient(e) || attempt == kTransientAttempts) throw;
    } catch (...) {
      m_Target.Rollback();
      throw;
    }
    BackOff(attempt);
  }
}

void CGroupedRegistration::Lose(const Group& group) {
  for (const Pending& p : group) {
    m_Lost.Add(p.latest.cpath, p.writes);
    if (!m_CommittedPaths.count(p.latest.cpath)) m_LostWithoutRow.insert(p.latest.cpath);
  }
}

std::unique_ptr<IRegistrar> MakeRegistrar(IFileListTarget& target, std::chrono::milliseconds interval,
                                          ReportLine report) {
  if (interval.count() <= 0) return std::make_unique<CStrictRegistration>(target, std::move(report));
  return std::make_unique<CGroupedRegistration>(target, interval, std::move(report));
}

}  // namespace convert
