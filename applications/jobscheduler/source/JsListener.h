// The scheduler's command port: a thread named "listener" that accepts TCP clients on the
// configured port and gives each its own conversation thread, up to kMaxConversations at once.
// Each conversation runs the connect protocol with key 1 and the name "JsListener" (and the
// control key's challenge when one is set), then:
//   client: CMD:10, then an integer field with the command value; repeated; CMD:9 ends it.
//   value 0: the status listing, as one string. Bit 1 START clears the stopped flag, bit 4
//   RESUME clears the paused flag, each answered CMD:6 then CMD:7. Bit 2 STOP and bit 8 PAUSE
//   set their flag and answer CMD:6 once per second until every queue has acknowledged the
//   state, then CMD:7. START wins over STOP, RESUME over PAUSE; START/STOP is done first.
// A client that fails the connect protocol (or does not finish it within the handshake
// deadline), an accept that fails, or a conversation that breaks (10 s without data, a transfer
// error) is logged and the others go on. With every place taken, a new client takes the place
// of the conversation that has been silent longest (one waiting for the queues keeps its own),
// so clients that connect and idle cannot keep control away.
// A port that cannot be listened on ends the thread at once: socket closed, state ended.
//
// Caller: the scheduler application, on its main thread: set the controller, startListening,
// isListening (false: the start failed), and endListener at shutdown. These four are meant
// for that one owner thread; the listener's threads only touch the controller's run flags,
// its queues' acknowledged states and its status listing.
// Ownership: the controller is not owned and must outlive the listener's thread. The listener
// owns its thread, its listening socket and the conversations; the listener thread owns the
// conversation threads and joins them before it ends. The destructor ends a running listener
// and returns only once no thread uses this object.
// Every listener logs through one process-wide logger of source "JsListener".
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "errors/Exception.h"
#include "net/Tcp.h"
#include "platform/Handle.h"
#include "threads/Thread.h"
#include "threads/ThreadRunner.h"

namespace Zelcor {

class QueueController;

class JsListener : public ZelcorCorelib::ThreadRunner {
 public:
  ZELCOR_EXCEPTION(Listener_AlreadyStarted);
  ZELCOR_EXCEPTION(Listener_NotStarted);
  ZELCOR_EXCEPTION(Listener_NotRunning);
  ZELCOR_EXCEPTION(Listener_FailedToEnd);
  ZELCOR_EXCEPTION(Listener_FailedToExitThread);

  static constexpr const char* kListenerName = "JsListener";
  static constexpr std::int32_t kProtocolKey = 1;
  // The longest a conversation waits for the client's next unit.
  static constexpr int kDataWaitMs = 10'000;
  // Conversations served at once; each holds a thread and a descriptor.
  static constexpr std::size_t kMaxConversations = 16;
  // The longest string a client sends is its name or its answer to the challenge.
  static constexpr std::size_t kMaxClientString = 4096;

  // Conversation codes, sent as commands.
  static constexpr std::int32_t kCodeWorking = 6;
  static constexpr std::int32_t kCodeDone = 7;
  static constexpr std::int32_t kCodeEnd = 9;
  static constexpr std::int32_t kCodeCommand = 10;
  // A job's spec file name follows; the answer is one string: a word ("cancelled",
  // "cancelling", "ended", "unknown"), a blank and a sentence.
  static constexpr std::int32_t kCodeCancel = 11;
  // Command value bits; the value 0 asks for the status listing.
  static constexpr std::int32_t kCommandStatus = 0;
  static constexpr std::int32_t kCommandStart = 1;
  static constexpr std::int32_t kCommandStop = 2;
  static constexpr std::int32_t kCommandResume = 4;
  static constexpr std::int32_t kCommandPause = 8;

  // How long a conversation waits for the client's next unit, and the connect protocol's
  // waits. The defaults are the protocol's; tests shorten them.
  struct Deadlines {
    std::chrono::milliseconds conversation{kDataWaitMs};
    // For the whole connect protocol, however the client paces it.
    std::chrono::milliseconds handshake{5000};
    ZelcorCorelib::Tcp::Deadlines tcp;
  };

  JsListener();
  ~JsListener() override;

  JsListener(const JsListener&) = delete;
  JsListener& operator=(const JsListener&) = delete;

  void setup();
  // Listens, then starts the thread; returns once it serves or, when the port could not be
  // listened on, has ended (isListening tells which).
  // Port 0 lets the system choose; getPort then gives the port in use.
  // Throws Listener_AlreadyStarted while a listener thread exists, and the ThreadRunner
  // failures of creating and starting it.
  // address: where to listen (a dotted IPv4 address, or "::" for every interface); empty:
  // every IPv4 interface.
  void startListening(std::int32_t listenPort, const std::string& address = {});
  // With a secret, every client must prove it knows it in the connect protocol (Tcp); set
  // before startListening.
  void setSharedSecret(std::string secret) { sharedSecret = std::move(secret); }
  // A thread that is no longer running is disposed of here.
  bool isListening();
  // Throws Listener_NotStarted (no thread), Listener_NotRunning (the thread had ended; it is
  // disposed of), Listener_FailedToEnd (the accept could not be broken),
  // Listener_FailedToExitThread (still running 200 ms later), and the failure of breaking the
  // accept when the thread did not end either. The thread is disposed of in every case: a second
  // call throws Listener_NotStarted.
  void endListener();

  QueueController* getController() const { return controller; }
  // Requires: no listener thread is running.
  void setDeadlines(const Deadlines& value) { deadlines = value; }
  const Deadlines& getDeadlines() const { return deadlines; }
  // Requires: no listener thread is running.
  void setController(QueueController* queueController) { controller = queueController; }

  std::int32_t getThreadId() const { return threadId; }
  std::int32_t getPort() const { return port.load(); }
  std::int32_t getCommand() const { return command.load(); }
  std::int32_t getLastCode() const { return lastCode.load(); }
  std::uint32_t getCommandCount() const { return commandCount.load(); }
  // Requires: no listener thread is running (the thread owns it meanwhile).
  const ZelcorCorelib::Tcp& getListenSocket() const { return listenSocket; }
  // Conversations open now, the connect protocol included.
  std::size_t getConversationCount() const;

 private:
  struct Conversation;

  // Logs a failure; false when the port cannot be listened on.
  bool openListenSocket();
  // listening: whether startListening could listen; the thread ends at once when not.
  void listener(ZelcorCorelib::Thread* thread, bool listening);
  void serveConnections(ZelcorCorelib::Thread* thread);
  // Gives the accepted connection a conversation thread, making room first when every place
  // is taken.
  void admit(std::unique_ptr<Conversation> conversation);
  // Ends (shutdown) conversations past their handshake deadline; joins those that have ended.
  void tendConversations();
  // Wakes every conversation thread and joins it.
  void endConversations();
  void converse(Conversation& conversation);
  void handleConnection(Conversation& conversation);
  // False when the listener is ending and the conversation must stop.
  bool interpretCommand(std::int32_t value, Conversation& conversation);
  void cancelJob(const std::string& name, Conversation& conversation);
  void sendStatus(ZelcorCorelib::Tcp& connection);
  bool setSchedulerFlag(Conversation& conversation, std::uint32_t flag, bool set);
  // haveData(the conversation deadline), in slices so that an ending listener is not held by a
  // client. False when the listener is ending; throws HaveData_Timeout as haveData does.
  bool waitForData(ZelcorCorelib::Tcp& connection);
  // Sleeps up to the time, in slices; false when the listener is ending.
  bool sleepUnlessEnding(int milliseconds);

  // Only ever by one thread at a time: the listener thread, or startListening when that
  // thread could not be started. An end wakes the thread through the pipe, never the socket.
  void closeListenSocket();
  // Wakes the listener thread from its wait for clients.
  bool wakeListener();
  // The thread's record is disposed of; threadId 0.
  void disposeThread();
  std::int32_t threadState() const;

  std::int32_t threadId = 0;
  ZelcorCorelib::Tcp listenSocket;
  std::atomic<std::int32_t> port{0};
  // Set before the thread starts, read by it only.
  std::string listenAddress;
  std::string sharedSecret;
  std::atomic<bool> endRequested{false};
  std::atomic<std::int32_t> command{0};
  std::atomic<std::int32_t> lastCode{0};
  std::atomic<std::uint32_t> commandCount{0};
  QueueController* controller = nullptr;
  Deadlines deadlines;
  // Written by endListener to wake the listener thread; read by that thread.
  ZelcorCorelib::platform::Handle wakeRead;
  ZelcorCorelib::platform::Handle wakeWrite;
  // Guards the list; the listener thread alone adds to it and removes from it.
  mutable std::mutex conversationsMutex;
  std::vector<std::unique_ptr<Conversation>> conversations;
  // The listener thread's own: when it last said it made room.
  std::chrono::steady_clock::time_point lastCrowdedLine{};
};

}  // namespace Zelcor
