#include "net/ControlKey.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include <cstdio>

#include "base/StringUtils.h"
#include "platform/LockedFile.h"

namespace ZelcorCorelib {

namespace {

constexpr std::size_t kMinimumSecret = 16;

std::string hex(const unsigned char* bytes, std::size_t count) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(count * 2);
  for (std::size_t i = 0; i < count; ++i) {
    text += kDigits[bytes[i] >> 4];
    text += kDigits[bytes[i] & 0x0f];
  }
  return text;
}

// The library is started once, before its first use, without its clean-up at exit: a thread
// of the command port may still be inside it while the process ends, and must not find its
// state freed under it.
bool startLibrary() {
  static const bool started = OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr) == 1;
  return started;
}

}  // namespace

ControlKeyFile readControlKeyFile(const std::string& path) {
  ControlKeyFile key;
  std::string bytes;
  platform::FileOwnership ownership;
  platform::FileError error;
  if (platform::readWholeFile(path, bytes, ownership, error) != platform::ReadOutcome::ok) {
    key.error = "the control key file \"";
    key.error += path;
    key.error += "\" cannot be read";
    if (!error.text.empty()) {
      key.error += ": ";
      key.error += error.text;
    }
    return key;
  }
  if ((ownership.mode & 077) != 0) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", ownership.mode & 07777);
    key.error = "the control key file \"";
    key.error += path;
    key.error += "\" may be read or written by group or others (mode ";
    key.error += mode;
    key.error += "); make it 0600";
    return key;
  }
  std::string secret = trim(bytes);
  if (secret.size() < kMinimumSecret) {
    key.error = "the control key file \"";
    key.error += path;
    key.error += "\" holds fewer than 16 bytes of secret";
    return key;
  }
  key.secret = std::move(secret);
  return key;
}

std::string makeChallenge() {
  unsigned char bytes[32];
  if (!startLibrary() || RAND_bytes(bytes, sizeof bytes) != 1) return {};
  return hex(bytes, sizeof bytes);
}

std::string keyedDigest(const std::string& secret, const std::string& message) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (!startLibrary()) return {};
  if (HMAC(EVP_sha256(), secret.data(), static_cast<int>(secret.size()),
           reinterpret_cast<const unsigned char*>(message.data()), message.size(), digest,
           &length) == nullptr) {
    return {};
  }
  return hex(digest, length);
}

bool sameDigest(const std::string& a, const std::string& b) {
  return !a.empty() && a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

}  // namespace ZelcorCorelib
