// The shared secret that guards a command port: read from a key file of its own, never sent:
// a client proves it knows the secret by a keyed hash (HMAC-SHA256) of a fresh random
// challenge that the server picks for each connection. Stateless; safe from any thread.
#pragma once

#include <string>

namespace ZelcorCorelib {

struct ControlKeyFile {
  std::string secret;  // empty when error is set
  std::string error;   // why the file is no usable key file
};

// The secret in path: the file's text without the white space around it. Refused: a missing
// or unreadable file, one that is no regular file, one that group or others may read or
// write, and a secret shorter than 16 bytes.
ControlKeyFile readControlKeyFile(const std::string& path);
// 32 fresh random bytes as 64 hex digits; empty when the system has no randomness to give.
std::string makeChallenge();
// HMAC-SHA256 of message under secret, as 64 hex digits.
std::string keyedDigest(const std::string& secret, const std::string& message);
// Compares in time independent of where the texts differ.
bool sameDigest(const std::string& a, const std::string& b);

}  // namespace ZelcorCorelib
