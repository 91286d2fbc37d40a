// A stand-in for the scheduler's command port in tests: a listener on a free port, built from
// the framework's Tcp with the connect protocol, that answers a set number of conversations
// the way the scheduler does (the status listing for command 0; a number of codes 6, then 7,
// for any other) and records what the client sent. Runs on its own thread; the recordings are
// read once done() is true, or after destruction has joined the thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "net/Tcp.h"

namespace Zelcor::test {

class FakeScheduler {
 public:
  struct Reply {
    std::string status;
    int workingCodes = 0;
    // False: no code 7; the fake then waits for the client to give up and close.
    bool sendDone = true;
    // True: after the codes 6 the fake closes the connection instead.
    bool closeEarly = false;
    // True: the fake reads the command and says nothing.
    bool silent = false;
  };

  explicit FakeScheduler(Reply reply, std::int32_t protocolKey = 1, int conversations = 1);
  ~FakeScheduler();
  FakeScheduler(const FakeScheduler&) = delete;
  FakeScheduler& operator=(const FakeScheduler&) = delete;

  int getPort() const { return listener.getPort(); }
  bool done() const { return finished.load(); }

  struct Record {
    std::string clientName;
    std::vector<std::int32_t> codes;  // framed codes received, in order
    std::vector<std::int32_t> commands;
    std::string failure;  // the exception that ended the conversation, if any
  };
  std::vector<Record> records() const;

 private:
  void serve(int conversations);
  void converse(ZelcorCorelib::Tcp& connection, Record& record);

  Reply reply;
  ZelcorCorelib::Tcp listener;
  std::atomic<bool> ending{false};
  std::atomic<bool> finished{false};
  mutable std::mutex lock;
  std::vector<Record> recorded;
  std::thread thread;
};

// A port on which nothing listens: one the system handed out and that was given back at once.
int unusedPort();

}  // namespace Zelcor::test
