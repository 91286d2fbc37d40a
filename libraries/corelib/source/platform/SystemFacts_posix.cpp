#include "platform/SystemFacts.h"

#include <arpa/inet.h>
#include <grp.h>
#include <ifaddrs.h>
#include <netdb.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/statvfs.h>
#include <sys/types.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

#include "platform/Environment.h"

namespace ZelcorCorelib::platform {

namespace {

constexpr const char* kUnknown = "[unknown]";

// setgrent/getgrent and setpwent/getpwent keep one cursor per process; two walks at once
// would skip or repeat entries. The lock guards that libc state, nothing of ours.
std::mutex& databaseLock() {
  static std::mutex lock;
  return lock;
}

// Calls a *_r lookup with a buffer that grows while the call reports ERANGE.
template <typename Record, typename Call>
bool lookUp(Record& record, Call call) {
  std::vector<char> buffer(4096);
  for (;;) {
    Record* found = nullptr;
    int error = call(&record, buffer.data(), buffer.size(), &found);
    if (error == ERANGE && buffer.size() < (1u << 22)) {
      buffer.resize(buffer.size() * 2);
      continue;
    }
    if (error != 0 || found == nullptr) return false;
    // The record points into the buffer, which dies here: callers copy what they need at once.
    return true;
  }
}

std::string hostName() {
  char buffer[256] = {};
  if (::gethostname(buffer, sizeof buffer - 1) != 0) return kUnknown;
  return buffer;
}

// The domain part of the host's full name, as "hostname -f" finds it.
std::string domainOf(const std::string& host) {
  std::string full = host;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_flags = AI_CANONNAME;
  addrinfo* found = nullptr;
  if (::getaddrinfo(host.c_str(), nullptr, &hints, &found) == 0) {
    if (found != nullptr && found->ai_canonname != nullptr) full = found->ai_canonname;
    ::freeaddrinfo(found);
  }
  while (!full.empty() && full.back() == '.') full.pop_back();
  std::size_t dot = full.find('.');
  return dot == std::string::npos ? std::string() : full.substr(dot + 1);
}

void parseRelease(const std::string& release, int& major, int& minor) {
  major = 0;
  minor = 0;
  std::size_t i = 0;
  while (i < release.size() && release[i] >= '0' && release[i] <= '9' && major < 100000) {
    major = major * 10 + (release[i++] - '0');
  }
  if (i >= release.size() || release[i] != '.') return;
  ++i;
  while (i < release.size() && release[i] >= '0' && release[i] <= '9' && minor < 100000) {
    minor = minor * 10 + (release[i++] - '0');
  }
}

std::string languageSetting() {
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    std::optional<std::string> value = getEnvironment(name);
    if (value && !value->empty()) return *value;
  }
  return kUnknown;
}

std::string userNameOf(uid_t uid) {
  passwd record{};
  std::string name;
  bool ok = lookUp(record, [&](passwd* r, char* b, std::size_t n, passwd** f) {
    int error = ::getpwuid_r(uid, r, b, n, f);
    if (error == 0 && *f != nullptr) name = r->pw_name;
    return error;
  });
  // A user without an entry (common in containers) is still somebody: its number names it.
  return ok ? name : std::to_string(uid);
}

std::string groupNameOf(gid_t gid) {
  group record{};
  std::string name;
  bool ok = lookUp(record, [&](group* r, char* b, std::size_t n, group** f) {
    int error = ::getgrgid_r(gid, r, b, n, f);
    if (error == 0 && *f != nullptr) name = r->gr_name;
    return error;
  });
  return ok ? name : std::to_string(gid);
}

void addOnce(std::vector<std::string>& list, const std::string& item) {
  if (std::find(list.begin(), list.end(), item) == list.end()) list.push_back(item);
}

}  // namespace

HostFacts collectHostFacts() {
  HostFacts facts;
  try {
    facts.computerName = hostName();
    facts.domainName = facts.computerName == kUnknown ? "" : domainOf(facts.computerName);
    utsname system{};
    if (::uname(&system) == 0) {
      facts.platformName = system.sysname;
      std::transform(facts.platformName.begin(), facts.platformName.end(),
                     facts.platformName.begin(),
                     [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
      facts.osText = facts.platformName + "_" + system.release;
      parseRelease(system.release, facts.osMajor, facts.osMinor);
      facts.architecture = system.machine;
      if (facts.architecture == "x86_64") facts.architecture = "amd64";
    } else {
      facts.platformName = "posix";
      facts.osText = "posix_unknown";
      facts.architecture = kUnknown;
    }
    facts.osLanguage = languageSetting();
    facts.keyboardLanguage = kUnknown;
    facts.keyboardType = kUnknown;
    facts.userName = userNameOf(::geteuid());
    pid_t session = ::getsid(0);
    if (session >= 0) facts.sessionId = std::to_string(session);
    facts.osBits = static_cast<int>(sizeof(void*) * 8);
  } catch (const std::bad_alloc&) {
    // Collection never fails: what was not read keeps its default.
  }
  return facts;
}

std::vector<std::string> localGroups() {
  std::vector<std::string> names;
  try {
    std::lock_guard<std::mutex> guard(databaseLock());
    ::setgrent();
    while (group* entry = ::getgrent()) addOnce(names, entry->gr_name);
    ::endgrent();
  } catch (const std::bad_alloc&) {
    ::endgrent();
  }
  return names;
}

std::vector<std::string> groupMembers(const std::string& groupName) {
  std::vector<std::string> members;
  if (groupName.empty()) return members;
  try {
    group record{};
    gid_t gid = 0;
    bool found = lookUp(record, [&](group* r, char* b, std::size_t n, group** f) {
      int error = ::getgrnam_r(groupName.c_str(), r, b, n, f);
      if (error == 0 && *f != nullptr) {
        gid = r->gr_gid;
        for (char** member = r->gr_mem; member != nullptr && *member != nullptr; ++member) {
          addOnce(members, *member);
        }
      }
      return error;
    });
    if (!found) return {};
    std::lock_guard<std::mutex> guard(databaseLock());
    ::setpwent();
    while (passwd* user = ::getpwent()) {
      if (user->pw_gid == gid) addOnce(members, user->pw_name);
    }
    ::endpwent();
  } catch (const std::bad_alloc&) {
    return {};
  }
  return members;
}

std::vector<std::string> userGroups(const std::string& user) {
  std::vector<std::string> names;
  if (user.empty()) return names;
  try {
    passwd record{};
    gid_t primary = 0;
    bool found = lookUp(record, [&](passwd* r, char* b, std::size_t n, passwd** f) {
      int error = ::getpwnam_r(user.c_str(), r, b, n, f);
      if (error == 0 && *f != nullptr) primary = r->pw_gid;
      return error;
    });
    if (!found) return names;
    std::vector<gid_t> groups(32);
    for (int attempt = 0; attempt < 8; ++attempt) {
      int count = static_cast<int>(groups.size());
      if (::getgrouplist(user.c_str(), primary, groups.data(), &count) >= 0) {
        groups.resize(static_cast<std::size_t>(count));
        for (gid_t gid : groups) addOnce(names, groupNameOf(gid));
        return names;
      }
      // count now holds the number needed.
      groups.resize(std::max<std::size_t>(static_cast<std::size_t>(count), groups.size() * 2));
    }
  } catch (const std::bad_alloc&) {
    return {};
  }
  return names;
}

std::vector<std::string> ipv4Addresses() {
  std::vector<std::string> addresses;
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return addresses;
  try {
    for (ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
      if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET) continue;
      char text[INET_ADDRSTRLEN] = {};
      sockaddr_in address{};
      std::memcpy(&address, entry->ifa_addr, sizeof address);
      if (::inet_ntop(AF_INET, &address.sin_addr, text, sizeof text) == nullptr) continue;
      if (std::strcmp(text, "127.0.0.1") != 0) addresses.push_back(text);
    }
  } catch (const std::bad_alloc&) {
    addresses.clear();
  }
  ::freeifaddrs(list);
  return addresses;
}

std::optional<std::uint64_t> volumeSerial(const std::string& path) {
  if (path.empty() || path.find('\0') != std::string::npos) return std::nullopt;
  struct statvfs info {};
  if (::statvfs(path.c_str(), &info) != 0) return std::nullopt;
  return static_cast<std::uint64_t>(info.f_fsid);
}

}  // namespace ZelcorCorelib::platform
