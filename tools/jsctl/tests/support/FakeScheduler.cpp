#include "support/FakeScheduler.h"

#include <chrono>

namespace Zelcor::test {

using ZelcorCorelib::Exception;
using ZelcorCorelib::Tcp;

FakeScheduler::FakeScheduler(Reply reply, std::int32_t protocolKey, int conversations)
    : reply(std::move(reply)) {
  // Ending while a conversation still runs breaks the accept with a loopback client that
  // waits the listener's wait for data for a greeting in vain: short here, for the clients
  // are in-process; every receive of a conversation is preceded by a haveData of its own.
  Tcp::Deadlines deadlines;
  deadlines.dataWait = std::chrono::milliseconds(200);
  listener.setDeadlines(deadlines);
  listener.makeListener(0, "JsListener", protocolKey);
  thread = std::thread([this, conversations] { serve(conversations); });
}

FakeScheduler::~FakeScheduler() {
  ending = true;
  if (!finished.load()) {
    try {
      listener.stopListener();
    } catch (const Exception&) {
      // The thread may have finished meanwhile; joining settles it.
    }
  }
  thread.join();
  listener.close();
}

std::vector<FakeScheduler::Record> FakeScheduler::records() const {
  std::lock_guard<std::mutex> guard(lock);
  return recorded;
}

void FakeScheduler::serve(int conversations) {
  for (int served = 0; served < conversations && !ending.load(); ++served) {
    Record record;
    try {
      Tcp connection;
      if (listener.listenForConnections(connection) && !ending.load()) {
        record.clientName = connection.getName();
        converse(connection, record);
      }
    } catch (const Exception& failure) {
      record.failure = failure.getClassName();
    }
    if (ending.load()) break;
    std::lock_guard<std::mutex> guard(lock);
    recorded.push_back(std::move(record));
  }
  finished = true;
}

void FakeScheduler::converse(Tcp& connection, Record& record) {
  connection.haveData(5000);
  std::int32_t code = connection.receiveCommand();
  record.codes.push_back(code);
  while (code == 10) {
    connection.haveData(5000);
    std::int32_t command = 0;
    connection.receiveInt(command);
    record.commands.push_back(command);
    if (reply.silent || !reply.sendDone) {
      for (int i = 0; i < reply.workingCodes && !reply.silent; ++i) connection.sendCommand(6);
      // Until the client gives up: its close makes the receive throw.
      connection.haveData(10000);
      record.codes.push_back(connection.receiveCommand());
      return;
    }
    if (command == 0) {
      connection.sendString(reply.status);
    } else {
      for (int i = 0; i < reply.workingCodes; ++i) connection.sendCommand(6);
      if (reply.closeEarly) {
        connection.close();
        return;
      }
      connection.sendCommand(7);
    }
    connection.haveData(5000);
    code = connection.receiveCommand();
    record.codes.push_back(code);
  }
}

int unusedPort() {
  Tcp probe;
  probe.makeListener(0, "probe", 0);
  const int port = probe.getPort();
  probe.close();
  return port;
}

}  // namespace Zelcor::test
