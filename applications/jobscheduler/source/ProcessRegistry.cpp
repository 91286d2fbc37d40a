#include "ProcessRegistry.h"

#include <utility>

namespace Zelcor {

ProcessRegistry& ProcessRegistry::instance() {
  static ZelcorCorelib::NoDestructor<ProcessRegistry> registry;
  return *registry;
}

void ProcessRegistry::insert(std::uint32_t pid, ChildProcess::Pointer process) {
  ZelcorCorelib::ThreadLockGuard guard(lock);
  processes[pid] = std::move(process);
}

ChildProcess::Pointer ProcessRegistry::find(std::uint32_t pid) {
  ZelcorCorelib::ThreadLockGuard guard(lock);
  auto it = processes.find(pid);
  return it == processes.end() ? nullptr : it->second;
}

std::size_t ProcessRegistry::size() {
  ZelcorCorelib::ThreadLockGuard guard(lock);
  return processes.size();
}

void ProcessRegistry::collectEnded() {
  ZelcorCorelib::ThreadLockGuard guard(lock);
  for (auto it = processes.begin(); it != processes.end();) {
    if (!it->second || !it->second->poll()) {
      it = processes.erase(it);
    } else {
      ++it;
    }
  }
}

void collectEndedProcesses() { ProcessRegistry::instance().collectEnded(); }

}  // namespace Zelcor
