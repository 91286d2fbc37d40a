// The command port as a client on the network drives it: the input is every byte a client
// sends, from the connect protocol on, to a real listener on a loopback port. The first byte
// picks the listener with or without a control key. The client then closes its sending side
// and waits until the server has closed, so each input is served whole before the next.
// The controller has no queues: a STOP or PAUSE is confirmed at once instead of waiting for
// a scheduling pass that never comes.
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include <sys/socket.h>

#include "JsListener.h"
#include "QueueController.h"
#include "base/NoDestructor.h"
#include "net/Tcp.h"
#include "platform/Sockets.h"

namespace {

using Zelcor::JsListener;
using ZelcorCorelib::Tcp;
namespace platform = ZelcorCorelib::platform;

constexpr std::size_t kMaxInput = 32 * 1024;  // well inside a loopback socket's buffers

struct Server {
  Server() : controller(&quit) {
    for (std::size_t keyed = 0; keyed < listeners.size(); ++keyed) {
      listeners[keyed] = std::make_unique<JsListener>();
      listeners[keyed]->setController(&controller);
      if (keyed == 1) listeners[keyed]->setSharedSecret("fuzzing-secret-0123456789abcdef");
      listeners[keyed]->startListening(0, "127.0.0.1");
      if (!listeners[keyed]->isListening()) std::abort();
    }
  }

  std::atomic<std::uint8_t> quit{0};
  Zelcor::QueueController controller;
  std::array<std::unique_ptr<JsListener>, 2> listeners;
};

Server& server() {
  // Never destroyed: its listeners' threads run until the process exits.
  static ZelcorCorelib::NoDestructor<Server> instance;
  return *instance;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0 || size > kMaxInput) return 0;
  JsListener& listener = *server().listeners[data[0] & 1];
  platform::NewSocket client = platform::createStreamSocket();
  if (client.socket == platform::kNoSocket) return 0;
  const std::uint32_t loopback = *platform::resolveIpv4("127.0.0.1");
  platform::ConnectResult connected =
      platform::startConnect(client.socket, loopback, listener.getPort());
  if (connected.state == platform::ConnectStart::failed) {
    platform::closeSocket(client.socket);
    return 0;
  }
  const char* bytes = reinterpret_cast<const char*>(data + 1);
  std::size_t left = size - 1;
  while (left > 0) {
    platform::TransferResult sent = platform::sendSome(client.socket, bytes, left);
    if (sent.state != platform::Transfer::moved) break;
    bytes += sent.bytes;
    left -= sent.bytes;
  }
  ::shutdown(client.socket, SHUT_WR);
  // Whatever the server answers is read and dropped until it closes.
  std::array<char, 4096> answer{};
  for (;;) {
    platform::WaitResult ready = platform::waitReadable(client.socket, 30'000);
    if (ready.state != platform::Readiness::ready) std::abort();  // a server that hangs
    platform::TransferResult got =
        platform::receiveSome(client.socket, answer.data(), answer.size());
    if (got.state != platform::Transfer::moved && got.state != platform::Transfer::wouldBlock) {
      break;
    }
  }
  platform::closeSocket(client.socket);
  return 0;
}
