// Test helpers for a client of the command listener that speaks raw bytes: the connect
// protocol is played by hand, so that every unit on the wire is checked as it travels.
// Failed checks are reported to GoogleTest where they happen. The calling thread owns the
// connection.
#pragma once

#include <cstddef>
#include <string>

#include "net/Tcp.h"

namespace Zelcor::test {

void sendBytes(ZelcorCorelib::Tcp& peer, const std::string& bytes);
// count bytes; those that never arrived stay NUL.
std::string readBytes(ZelcorCorelib::Tcp& peer, std::size_t count);

// Steps 0 to 2 of the connect protocol; the client's name is left to the caller.
void handshakeToName(ZelcorCorelib::Tcp& peer);
// The whole connect protocol, the client introducing itself as name.
void handshake(ZelcorCorelib::Tcp& peer, const std::string& name);

}  // namespace Zelcor::test
