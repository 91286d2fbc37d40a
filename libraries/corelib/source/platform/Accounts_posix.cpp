#include "platform/Accounts.h"

#include <pwd.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

namespace ZelcorCorelib::platform {

std::optional<Account> accountOf(std::uint32_t uid) {
  long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
  for (;;) {
    passwd entry{};
    passwd* found = nullptr;
    const int error =
        ::getpwuid_r(static_cast<uid_t>(uid), &entry, buffer.data(), buffer.size(), &found);
    if (error == ERANGE && buffer.size() < (1u << 20)) {
      buffer.resize(buffer.size() * 2);
      continue;
    }
    if (error != 0 || found == nullptr) return std::nullopt;
    Account account;
    account.uid = static_cast<std::uint32_t>(entry.pw_uid);
    account.gid = static_cast<std::uint32_t>(entry.pw_gid);
    account.name = entry.pw_name != nullptr ? entry.pw_name : "";
    account.home = entry.pw_dir != nullptr ? entry.pw_dir : "";
    account.shell = entry.pw_shell != nullptr ? entry.pw_shell : "";
    return account;
  }
}

bool isPrivileged() { return ::geteuid() == 0; }

}  // namespace ZelcorCorelib::platform
