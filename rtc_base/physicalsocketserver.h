#ifndef RTC_BASE_PHYSICALSOCKETSERVER_H_
#define RTC_BASE_PHYSICALSOCKETSERVER_H_

#include <poll.h>
#include <stdint.h>

#include <atomic>
#include <map>
#include <memory>
#include <set>
#include <vector>

#include "rtc_base/asyncsocket.h"
#include "rtc_base/criticalsection.h"
#include "rtc_base/sigslot.h"
#include "rtc_base/socketserver.h"

namespace rtc {

// The socket server's event bits: what a dispatcher asks to be polled for, and what
// it is told happened.
enum IoEvent : uint32_t {
  kIoRead = 1,
  kIoWrite = 2,
  // Asked for while a connect is under way; delivered when it succeeded.
  kIoConnect = 4,
  // Never asked for: the connection ended or the connect failed.
  kIoClose = 8,
  kIoAccept = 16,
};

// Something with a descriptor that the socket server polls and tells about readiness.
// All operations run on the server's thread, inside Wait, with the server's lock held.
class Dispatcher {
 public:
  virtual ~Dispatcher() {}
  // What to poll for now; 0 means the descriptor is not polled.
  virtual uint32_t GetRequestedEvents() = 0;
  // First notice of a dispatch pass's events, before OnEvent.
  virtual void OnPreEvent(uint32_t events) = 0;
  // `error` is the descriptor's pending error number, or 0.
  virtual void OnEvent(uint32_t events, int error) = 0;
  virtual int GetDescriptor() = 0;
  // Asked only when the descriptor is readable, no accept is asked for and no error
  // is pending: whether that readability means the connection has ended.
  virtual bool IsDescriptorClosed() = 0;
};

class AsyncResolver;
class AsyncResolverInterface;
class PhysicalSocketServer;
class PosixSignalDispatcher;
class Signaler;

// A dispatcher over an anonymous pipe that any thread can signal.
class EventDispatcher : public Dispatcher {
 public:
  // Registers itself with `server`. A pipe that cannot be made is fatal: without it
  // the server's thread could never be woken.
  explicit EventDispatcher(PhysicalSocketServer* server);
  EventDispatcher(const EventDispatcher&) = delete;
  EventDispatcher& operator=(const EventDispatcher&) = delete;
  ~EventDispatcher() override;

  // Any thread. Puts one byte into the pipe unless one is already waiting there.
  virtual void Signal();

  uint32_t GetRequestedEvents() override;
  // Drains the pipe.
  void OnPreEvent(uint32_t events) override;
  void OnEvent(uint32_t events, int error) override;
  int GetDescriptor() override;
  bool IsDescriptorClosed() override;

  // Replaces a pipe whose read end is no longer open (closed behind the server's
  // back) with a new one, leaving the dispatcher signalled. Server's thread only.
  void ReopenPipe();

 private:
  void CreatePipe();

  PhysicalSocketServer* const server_;
  // Read end (polled) and write end; -1 until the pipe exists. Written under lock_,
  // read under lock_ or on the server's thread.
  int pipe_fds_[2];
  // A byte is in the pipe and not drained yet. Guarded by lock_.
  bool signaled_;
  CriticalSection lock_;
};

// The select()-style socket server under every thread that does network work: it
// waits with poll() over the descriptors of its dispatchers plus a wake-up pipe and
// delivers their readiness as events, so every socket callback runs inside Wait, on
// the server's thread, with the server's recursive lock held. poll() has no limit on
// descriptor numbers, so an app with many open files can still use sockets.
class PhysicalSocketServer : public SocketServer {
 public:
  PhysicalSocketServer();
  PhysicalSocketServer(const PhysicalSocketServer&) = delete;
  PhysicalSocketServer& operator=(const PhysicalSocketServer&) = delete;
  // Every socket made by the server must be destroyed before it.
  ~PhysicalSocketServer() override;

  // A blocking socket that raises no events; null when the platform refuses one.
  Socket* CreateSocket(int family, int type) override;
  // A non-blocking socket registered with this server; null when the platform
  // refuses one. The caller owns it and uses it on the server's thread.
  AsyncSocket* CreateAsyncSocket(int family, int type) override;
  // An asynchronous socket over an open socket descriptor, which it takes over.
  virtual AsyncSocket* WrapSocket(int descriptor);

  // Returns when `milliseconds` have passed (kForeverMs: never) or after the pass in
  // which a WakeUp was seen; socket events alone never end it, but once the time is
  // used up no further pass is made, so Wait(0, ...) is one pass that handles each
  // ready descriptor at most once. With process_io false only the wake-up is polled. A failure of
  // poll() itself is logged, pauses briefly and ends the wait early, so the caller's loop goes on
  // serving its posts; the result is always true.
  bool Wait(int milliseconds, bool process_io) override;
  // Any thread; takes only the wake-up pipe's lock, never the server's.
  void WakeUp() override;

  // Any thread. Changes made during a dispatch pass take effect when it ends.
  void Add(Dispatcher* dispatcher);
  void Remove(Dispatcher* dispatcher);

  // Routes a POSIX signal to `handler`, run on this server's thread inside Wait
  // rather than in the platform's signal handler. SIG_IGN or SIG_DFL restores that
  // disposition and drops the routing. False when the platform refuses.
  virtual bool SetPosixSignalHandler(int signal_number, void (*handler)(int));

 private:
  // The descriptors of one poll() and the dispatchers they belong to, in step.
  struct PollSet {
    std::vector<pollfd> fds;
    std::vector<Dispatcher*> owners;
  };

  // How long a wait pauses after poll() itself failed, at most.
  static constexpr int kPollFailurePauseMs = 10;

  static bool InstallSignal(int signal_number, void (*handler)(int));
  static void PauseAfterPollFailure(int milliseconds);
  void FillPollSet(bool process_io, PollSet* set);
  void DispatchPollSet(const PollSet& set);
  // Under lock_, at the end of the outermost dispatch pass.
  void AddRemovePendingDispatchers();

  // Guards the dispatcher sets, dispatching_ and bad_descriptors_.
  CriticalSection lock_;
  // Exists while at least one POSIX signal handler is set; owning thread.
  std::unique_ptr<PosixSignalDispatcher> posix_signal_dispatcher_;
  // Ordered by pointer value; not owned.
  std::set<Dispatcher*> dispatchers_;
  std::set<Dispatcher*> pending_adds_;
  std::set<Dispatcher*> pending_removes_;
  // Depth of dispatch passes under way (a callback may wait again, nested).
  int dispatching_;
  // Dispatchers found polling a descriptor that is not open, with that descriptor:
  // they are not polled again until their descriptor changes or they are removed.
  std::map<Dispatcher*, int> bad_descriptors_;
  std::unique_ptr<Signaler> wakeup_;
  // Set by Wait, cleared by the wake-up's OnEvent; the server's thread only.
  bool waiting_;
  // Depth of Waits under way, and the poll set the outermost one reuses; the
  // server's thread only.
  int wait_depth_;
  PollSet poll_set_;
  // The errno of the last failed poll(), 0 after one that worked; the server's
  // thread only.
  int last_poll_error_;
};

// The process-wide receiver of POSIX signals routed through socket servers. The
// platform's handler only sets a flag and writes a byte into a pipe, which a
// PosixSignalDispatcher polls. Created on first use, never destroyed.
class PosixSignalHandler {
 public:
  // Signal numbers from 0 to kNumSignalFlags - 1 can be routed.
  static constexpr int kNumSignalFlags = 128;

  static PosixSignalHandler* Instance();

  bool IsSignalSet(int signal_number) const;
  void ClearSignal(int signal_number);
  // The pipe's read end; -1 when the pipe could not be made.
  int GetDescriptor() const { return pipe_fds_[0]; }
  // Called from the platform's signal handler: takes no lock, allocates nothing.
  void OnPosixSignalReceived(int signal_number);

 private:
  PosixSignalHandler();

  int pipe_fds_[2];
  // Written from the signal handler, read on servers' threads.
  std::atomic<bool> received_[kNumSignalFlags];
};

// Runs the routed POSIX signals' handlers on its server's thread.
class PosixSignalDispatcher : public Dispatcher {
 public:
  explicit PosixSignalDispatcher(PhysicalSocketServer* server);
  PosixSignalDispatcher(const PosixSignalDispatcher&) = delete;
  PosixSignalDispatcher& operator=(const PosixSignalDispatcher&) = delete;
  ~PosixSignalDispatcher() override;

  void SetHandler(int signal_number, void (*handler)(int));
  void ClearHandler(int signal_number);
  bool HasHandlers() const { return !handlers_.empty(); }

  uint32_t GetRequestedEvents() override;
  void OnPreEvent(uint32_t events) override;
  void OnEvent(uint32_t events, int error) override;
  int GetDescriptor() override;
  bool IsDescriptorClosed() override;

 private:
  std::map<int, void (*)(int)> handlers_;
  PhysicalSocketServer* const server_;
};

// The one real socket: a non-throwing wrapper of a POSIX socket descriptor. Failed
// calls return -1 (null, an empty address) and keep the platform's errno, which
// GetError reports; GetError and SetError may be used from any thread, everything
// else on the thread that runs the server's Wait. It also keeps the events it wants
// the server to poll for: they are one-shot, switched off when delivered and on
// again when the user has acted (read, written, accepted).
class PhysicalSocket : public AsyncSocket, public sigslot::has_slots<sigslot::single_threaded> {
 public:
  // Over an open descriptor (connected, with read and write events on), or none (-1).
  PhysicalSocket(PhysicalSocketServer* server, int descriptor = -1);
  ~PhysicalSocket() override;

  // A new blocking descriptor of the family and type, after closing any old one.
  virtual bool Create(int family, int type);

  SocketAddress GetLocalAddress() const override;
  SocketAddress GetRemoteAddress() const override;
  int Bind(const SocketAddress& address) override;
  // A host name is looked up on a resolver thread first; the connect follows on this
  // socket's thread, and a failure comes as SignalClosed.
  int Connect(const SocketAddress& address) override;
  int Send(const void* data, size_t length) override;
  int SendTo(const void* data, size_t length, const SocketAddress& address) override;
  // An orderly end of stream reads as a receive that would block (EWOULDBLOCK);
  // SignalClosed with 0 follows at the next pass of the server.
  int Recv(void* buffer, size_t capacity, int64_t* timestamp) override;
  int RecvFrom(void* buffer, size_t capacity, SocketAddress* source, int64_t* timestamp) override;
  int Listen(int backlog) override;
  AsyncSocket* Accept(SocketAddress* peer) override;
  // Raises no signal; closing a closed socket returns 0.
  int Close() override;
  int GetError() const override;
  void SetError(int error) override;
  ConnectionState GetState() const override;
  int GetOption(Option option, int* value) override;
  int SetOption(Option option, int value) override;

  PhysicalSocketServer* socketserver() { return server_; }
  int descriptor() const { return descriptor_; }

 protected:
  virtual int DoAccept(int descriptor, sockaddr* address, socklen_t* length);
  virtual int DoSend(int descriptor, const char* data, int length, int flags);
  virtual int DoSendTo(int descriptor,
                       const char* data,
                       int length,
                       int flags,
                       const sockaddr* address,
                       socklen_t address_length);

  virtual void SetEnabledEvents(uint8_t events);
  virtual void EnableEvents(uint8_t events);
  virtual void DisableEvents(uint8_t events);
  uint8_t enabled_events() const { return enabled_events_; }

  int DoConnect(const SocketAddress& address);
  void OnResolveResult(AsyncResolverInterface* resolver);
  // Lets go of a pending look-up, which then ends on its own.
  void ReleaseResolver();
  // Keeps errno as this socket's error number.
  void UpdateLastError();
  // A full send buffer counts as a send that would block.
  void MaybeRemapSendError();
  // After a send of `length` bytes that returned `sent`: keeps the error number and
  // asks to hear when the socket can take what it did not.
  void FinishSend(int sent, size_t length);
  // After a receive whose error number is kept: the next read event is wanted unless
  // a stream failed; the failure is logged with the name of the `function`.
  void FinishReceive(int received, const char* function);
  static int TranslateOption(Option option, int* level, int* name);

  // Everything but error_ belongs to the thread that runs the server's Wait.
  PhysicalSocketServer* const server_;
  // -1 when there is none.
  int descriptor_;
  // A datagram socket: reads and closes are judged differently.
  bool udp_;
  mutable CriticalSection error_lock_;
  // Guarded by error_lock_: any thread may read it.
  int error_;
  ConnectionState state_;
  // The look-up of a pending Connect to a host name; released by Close.
  AsyncResolver* resolver_;

 private:
  // What the server is to poll for; read by the server's loop on the same thread.
  uint8_t enabled_events_;
};

// A physical socket registered with its server: readiness found by the server comes
// out as the socket's four signals, from inside the server's Wait.
class SocketDispatcher : public Dispatcher, public PhysicalSocket {
 public:
  explicit SocketDispatcher(PhysicalSocketServer* server);
  // Over an open descriptor, which it takes over.
  SocketDispatcher(int descriptor, PhysicalSocketServer* server);
  // Unregisters and closes.
  ~SocketDispatcher() override;

  // Makes the descriptor non-blocking and registers with the server.
  bool Initialize();
  virtual bool Create(int type);
  bool Create(int family, int type) override;

  int GetDescriptor() override;
  bool IsDescriptorClosed() override;
  uint32_t GetRequestedEvents() override;
  void OnPreEvent(uint32_t events) override;
  void OnEvent(uint32_t events, int error) override;

  int Close() override;
};

}  // namespace rtc

#endif  // RTC_BASE_PHYSICALSOCKETSERVER_H_
