// The accounts of the machine's users, as a login sees them, and whether this process may act
// for another user. Stateless; safe from any thread. Nothing throws.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace ZelcorCorelib::platform {

struct Account {
  std::uint32_t uid = 0;
  std::uint32_t gid = 0;  // the primary group
  std::string name;
  std::string home;
  std::string shell;
};

// The account of uid (the password database: files, LDAP, whatever the system is set up with);
// nullopt when uid has none.
std::optional<Account> accountOf(std::uint32_t uid);
// Whether this process runs with the privileges to become another user (effective uid 0).
bool isPrivileged();

}  // namespace ZelcorCorelib::platform
