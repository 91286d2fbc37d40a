// The client end of the scheduler's command port: connects with the framework's Tcp and the
// default connect protocol (key 1), sends one command value framed as code 10 plus an integer
// field, reads the answer (the status listing as one string, or codes 6 "working", repeated
// once a second while the scheduler waits, and 7 "done"), and ends the conversation with
// code 9. Used by jsctl; one object serves one thread.
// Nothing throws: every failure comes back as an Outcome whose text names the host and port
// and what failed.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace ZelcorCorelib {
class Exception;
class Tcp;
}  // namespace ZelcorCorelib

namespace Zelcor {

class ControlClient {
 public:
  static constexpr std::int32_t kProtocolKey = 1;
  static constexpr std::int32_t kCodeCommandFollows = 10;
  static constexpr std::int32_t kCodeEnd = 9;
  static constexpr std::int32_t kCodeWorking = 6;
  static constexpr std::int32_t kCodeDone = 7;
  // The job's spec file name follows as a string; the answer is one string.
  static constexpr std::int32_t kCodeCancel = 11;
  static constexpr std::int32_t kCommandStatus = 0;
  static constexpr std::int32_t kCommandStart = 1;
  static constexpr std::int32_t kCommandStop = 2;
  static constexpr std::int32_t kCommandResume = 4;
  static constexpr std::int32_t kCommandPause = 8;
  static constexpr const char* kClientName = "jsctl";
  // The scheduler sends a code 6 every second while it waits; this much silence means it no
  // longer answers.
  static constexpr std::chrono::milliseconds kDefaultSilenceLimit{15'000};

  enum class Failure { none, unreachable, refused, lost, timedOut };

  struct Outcome {
    Failure failure = Failure::none;
    std::string message;
    bool ok() const { return failure == Failure::none; }
  };

  // Called for each code 6 with the time since the command was sent.
  using Progress = std::function<void(std::chrono::milliseconds elapsed)>;

  ControlClient(std::string host, int port);

  // Bounds the wait for the answer, counted from the moment the command is sent.
  void setTimeout(std::optional<std::chrono::milliseconds> limit) { timeout = limit; }
  void setSilenceLimit(std::chrono::milliseconds limit) { silenceLimit = limit; }
  // The command port's key (net/ControlKey.h); empty: none.
  void setSharedSecret(std::string secret) { sharedSecret = std::move(secret); }

  Outcome fetchStatus(std::string& listing);
  // The scheduler's answer: a word ("cancelled", "cancelling", "ended", "unknown"), a blank
  // and a sentence.
  Outcome cancelJob(const std::string& name, std::string& answer);
  // Returns once code 7 has come.
  Outcome sendCommand(std::int32_t command, const Progress& onWorking);

  // "START", "STOP", ... or the decimal value.
  static std::string commandName(std::int32_t command);

 private:
  using Clock = std::chrono::steady_clock;

  std::string endpoint() const;
  Outcome connect(ZelcorCorelib::Tcp& connection);
  // One conversation: ask sends the request, the answer is one string.
  Outcome askForString(const std::string& what, const std::function<void(ZelcorCorelib::Tcp&)>& ask,
                       std::string& answer);
  // Waits for readable data within the silence limit and the timeout; an empty outcome when
  // data is there.
  Outcome waitForAnswer(ZelcorCorelib::Tcp& connection, Clock::time_point sent,
                        const std::string& what);
  Outcome lost(const std::string& what, const ZelcorCorelib::Exception& failure) const;
  static void endConversation(ZelcorCorelib::Tcp& connection);

  std::string host;
  int port;
  std::optional<std::chrono::milliseconds> timeout;
  std::chrono::milliseconds silenceLimit = kDefaultSilenceLimit;
  std::string sharedSecret;
};

}  // namespace Zelcor
