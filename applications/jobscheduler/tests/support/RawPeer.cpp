#include "support/RawPeer.h"

#include <gtest/gtest.h>

namespace Zelcor::test {

using ZelcorCorelib::Ipc;

void sendBytes(ZelcorCorelib::Tcp& peer, const std::string& bytes) {
  peer.sendRaw(bytes.data(), bytes.size());
}

std::string readBytes(ZelcorCorelib::Tcp& peer, std::size_t count) {
  std::string bytes(count, '\0');
  peer.recvRaw(bytes.data(), count);
  return bytes;
}

void handshakeToName(ZelcorCorelib::Tcp& peer) {
  EXPECT_EQ(readBytes(peer, 16), "00000000005CMD:7");
  sendBytes(peer, "00000000005CMD:1");
  sendBytes(peer, "00000000001");
  EXPECT_EQ(readBytes(peer, 16), "00000000005CMD:4");
}

void handshake(ZelcorCorelib::Tcp& peer, const std::string& name) {
  handshakeToName(peer);
  sendBytes(peer, Ipc::integerField(name.size()) + name);
  EXPECT_EQ(readBytes(peer, 21), "00000000010JsListener");
}

}  // namespace Zelcor::test
