// What the operating system tells about the machine, the user and the session: the raw
// pieces from which SystemBase builds its fact table, and the list-valued facts that it asks
// for anew at every request. Called by SystemBase only.
// Safe from any thread: the group and user databases are walked under one lock, because their
// enumeration calls keep one position per process. Nothing throws: a piece that cannot be read
// comes back as its marker ("[unknown]"), empty, or nullopt.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace ZelcorCorelib::platform {

struct HostFacts {
  std::string computerName;  // "[unknown]" when unreadable
  std::string domainName;    // empty when the host has none
  std::string platformName;  // "linux", "windows", ...
  std::string osText;        // "linux_6.1.0-18-amd64"
  int osMajor = 0;
  int osMinor = 0;
  std::string osLanguage;        // "[unknown]" when unreadable
  std::string keyboardLanguage;  // "[unknown]" when unreadable
  std::string keyboardType;      // "[unknown]" when unreadable
  std::string architecture;      // "amd64", "aarch64", ...
  std::string userName;          // "[unknown]" when unreadable
  std::string sessionId;         // decimal; empty when unreadable
  std::string clientName;        // the remote client's name; empty when none
  int osBits = 0;
};

// One pass over every source; slow sources (the host's full name) are asked once.
HostFacts collectHostFacts();

// In the order of the group database.
std::vector<std::string> localGroups();
// The group's listed members, then the users whose primary group it is; empty for an unknown
// or empty name.
std::vector<std::string> groupMembers(const std::string& group);
// The groups of the user, the primary group among them; empty for an unknown or empty name.
std::vector<std::string> userGroups(const std::string& user);
// Dotted IPv4 addresses of every interface in the system's order, without 127.0.0.1.
std::vector<std::string> ipv4Addresses();
// The identifier of the file system that holds path.
std::optional<std::uint64_t> volumeSerial(const std::string& path);

}  // namespace ZelcorCorelib::platform
