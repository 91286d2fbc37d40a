// The process-wide registry of started child processes, keyed by process id. It keeps every
// started child's object alive until a collection sees that the process has ended, so that an
// ended child is always reaped, even when its job no longer looks at it.
// ChildProcess::run inserts; CommandProcess::start and ::stop collect; recovery may look up.
// Thread-safety: one ThreadLock guards the map; collection holds it for its whole walk and
// polls each object while holding it (ChildProcess never takes this lock while its own is held).
// Ownership: shared with the jobs' CommandProcess objects; dropping an entry never destroys an
// object that a job still holds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>

#include "ChildProcess.h"
#include "base/NoDestructor.h"
#include "threads/ThreadLock.h"

namespace Zelcor {

class ProcessRegistry {
 public:
  // Made on first use and never destroyed, so that threads still running at exit find it.
  static ProcessRegistry& instance();

  ProcessRegistry(const ProcessRegistry&) = delete;
  ProcessRegistry& operator=(const ProcessRegistry&) = delete;

  // An entry already under pid (a pid reused after its first owner ended) gives way.
  void insert(std::uint32_t pid, ChildProcess::Pointer process);
  // Null when no object is registered under pid.
  ChildProcess::Pointer find(std::uint32_t pid);
  std::size_t size();
  // Drops every entry whose object polls as not running, and empty entries.
  void collectEnded();

 private:
  ProcessRegistry() = default;
  friend class ZelcorCorelib::NoDestructor<ProcessRegistry>;

  ZelcorCorelib::ThreadLock lock;
  std::map<std::uint32_t, ChildProcess::Pointer> processes;
};

// The registry's garbage collection: ProcessRegistry::instance().collectEnded().
void collectEndedProcesses();

}  // namespace Zelcor
