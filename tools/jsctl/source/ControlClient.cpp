#include "ControlClient.h"

#include <cctype>
#include <cstdio>
#include <system_error>
#include <utility>

#include "errors/Exception.h"
#include "net/Tcp.h"

namespace Zelcor {

namespace {

using ZelcorCorelib::Exception;
using ZelcorCorelib::Tcp;

// The framework's text, with the system's words for an "(error=N)" code added.
std::string describe(const Exception& failure) {
  std::string text = failure.toLine();
  const std::size_t at = text.find("error=");
  if (at != std::string::npos) {
    std::size_t end = at + 6;
    while (end < text.size() && std::isdigit(static_cast<unsigned char>(text[end]))) ++end;
    if (end > at + 6 && end - at - 6 <= 9) {
      const int code = std::stoi(text.substr(at + 6, end - at - 6));
      if (code > 0) text += " (" + std::generic_category().message(code) + ")";
    }
  }
  return text;
}

}  // namespace

ControlClient::ControlClient(std::string host, int port) : host(std::move(host)), port(port) {}

std::string ControlClient::commandName(std::int32_t command) {
  switch (command) {
    case kCommandStatus:
      return "STATUS";
    case kCommandStart:
      return "START";
    case kCommandStop:
      return "STOP";
    case kCommandResume:
      return "RESUME";
    case kCommandPause:
      return "PAUSE";
    default:
      return std::to_string(command);
  }
}

std::string ControlClient::endpoint() const { return host + ":" + std::to_string(port); }

ControlClient::Outcome ControlClient::connect(Tcp& connection) {
  connection.setSharedSecret(sharedSecret);
  try {
    if (connection.connectToHost(host, port, kClientName, kProtocolKey)) return {};
    return {Failure::unreachable, "cannot connect to the scheduler at " + endpoint()};
  } catch (const Tcp::ConnectTcp_GetHost&) {
    return {Failure::unreachable,
            "cannot resolve the host \"" + host + "\" (port " + std::to_string(port) + ")"};
  } catch (const Tcp::ConnectTcp_BadProtocol& failure) {
    if (describe(failure).find("(broke at step 5)") != std::string::npos) {
      return {Failure::refused,
              "the scheduler at " + endpoint() +
                  " wants its control key, and the key given (if any) is not it: give "
                  "--key-file, or -c with jobscheduler.control-key-file"};
    }
    return {Failure::refused,
            "the server at " + endpoint() +
                " refused the scheduler's connect protocol: " + describe(failure)};
  } catch (const Tcp::ConnectTcp_Timeout&) {
    return {Failure::unreachable,
            "cannot connect to the scheduler at " + endpoint() + ": no answer in time"};
  } catch (const Tcp::Recv_NoData&) {
    return {Failure::refused, "the server at " + endpoint() +
                                  " accepted the connection but did not start the scheduler's "
                                  "connect protocol; is this the scheduler's command port?"};
  } catch (const Tcp::Recv_Fail& failure) {
    return {Failure::refused, "the server at " + endpoint() +
                                  " broke off the connect protocol: " + describe(failure)};
  } catch (const Exception& failure) {
    return {Failure::unreachable,
            "cannot connect to the scheduler at " + endpoint() + ": " + describe(failure)};
  }
}

ControlClient::Outcome ControlClient::waitForAnswer(Tcp& connection, Clock::time_point sent,
                                                    const std::string& what) {
  auto wait = silenceLimit;
  bool limitedByTimeout = false;
  if (timeout) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(sent + *timeout - Clock::now());
    if (left <= wait) {
      wait = left;
      limitedByTimeout = true;
    }
  }
  try {
    if (wait.count() > 0) {
      connection.haveData(static_cast<int>(wait.count()));
      return {};
    }
  } catch (const Tcp::HaveData_Timeout&) {
    // Told apart below.
  } catch (const Exception& failure) {
    return lost(what, failure);
  }
  if (limitedByTimeout) {
    const double seconds = static_cast<double>(timeout->count()) / 1000.0;
    char text[32];
    std::snprintf(text, sizeof text, "%g", seconds);
    return {Failure::timedOut, "gave up after " + std::string(text) + " s waiting for " + what +
                                   " from the scheduler at " + endpoint()};
  }
  return {Failure::lost, "the scheduler at " + endpoint() + " stopped answering while " + what +
                             " was awaited (nothing for " +
                             std::to_string(silenceLimit.count() / 1000) + " s)"};
}

ControlClient::Outcome ControlClient::lost(const std::string& what,
                                           const Exception& failure) const {
  return {Failure::lost, "the connection to the scheduler at " + endpoint() + " failed while " +
                             what + " was awaited: " + describe(failure)};
}

void ControlClient::endConversation(Tcp& connection) {
  try {
    connection.sendCommand(kCodeEnd);
  } catch (const Exception&) {
    // The answer is in; a scheduler that has already let go changes nothing.
  }
  connection.close();
}

ControlClient::Outcome ControlClient::askForString(const std::string& what,
                                                   const std::function<void(Tcp&)>& ask,
                                                   std::string& answer) {
  Tcp connection;
  Outcome outcome = connect(connection);
  if (!outcome.ok()) return outcome;
  const Clock::time_point sent = Clock::now();
  try {
    ask(connection);
    outcome = waitForAnswer(connection, sent, what);
    if (!outcome.ok()) return outcome;
    connection.receiveString(answer);
  } catch (const Exception& failure) {
    return lost(what, failure);
  }
  endConversation(connection);
  return {};
}

ControlClient::Outcome ControlClient::fetchStatus(std::string& listing) {
  return askForString(
      "the status listing",
      [](Tcp& connection) {
        connection.sendCommand(kCodeCommandFollows);
        connection.sendInt(kCommandStatus);
      },
      listing);
}

ControlClient::Outcome ControlClient::cancelJob(const std::string& name, std::string& answer) {
  return askForString(
      "the answer to CANCEL",
      [&name](Tcp& connection) {
        connection.sendCommand(kCodeCancel);
        connection.sendString(name);
      },
      answer);
}

ControlClient::Outcome ControlClient::sendCommand(std::int32_t command, const Progress& onWorking) {
  Tcp connection;
  Outcome outcome = connect(connection);
  if (!outcome.ok()) return outcome;
  const std::string what = "the confirmation of " + commandName(command);
  const Clock::time_point sent = Clock::now();
  try {
    connection.sendCommand(kCodeCommandFollows);
    connection.sendInt(command);
    for (;;) {
      outcome = waitForAnswer(connection, sent, what);
      if (!outcome.ok()) return outcome;
      const std::int32_t code = connection.receiveCommand();
      if (code == kCodeDone) break;
      if (code == kCodeWorking && onWorking) {
        onWorking(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - sent));
      }
      // Anything else is no answer of this conversation; the wait goes on.
    }
  } catch (const Exception& failure) {
    return lost(what, failure);
  }
  endConversation(connection);
  return {};
}

}  // namespace Zelcor
