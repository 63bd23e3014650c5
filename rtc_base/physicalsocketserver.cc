#include "rtc_base/physicalsocketserver.h"

#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

#include "rtc_base/asyncresolverinterface.h"
#include "rtc_base/checks.h"
#include "rtc_base/logging.h"
#include "rtc_base/messagequeue.h"
#include "rtc_base/nethelpers.h"
#include "rtc_base/numerics/safe_conversions.h"
#include "rtc_base/objc_hooks.h"
#include "rtc_base/timeutils.h"

namespace rtc {
namespace {

bool SetNonBlockingAndCloseOnExec(int fd) {
  const int flags = fcntl(fd, F_GETFL, 0);
  if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) {
    return false;
  }
  const int fd_flags = fcntl(fd, F_GETFD, 0);
  return fd_flags >= 0 && fcntl(fd, F_SETFD, fd_flags | FD_CLOEXEC) >= 0;
}

// Turns the readiness poll() found into event bits and delivers them.
void ProcessEvents(Dispatcher* dispatcher, bool readable, bool writable) {
  if (!readable && !writable) {
    return;
  }
  int error = 0;
  socklen_t len = sizeof(error);
  // Fails, leaving 0, for a descriptor that is not a socket (a pipe).
  if (getsockopt(dispatcher->GetDescriptor(), SOL_SOCKET, SO_ERROR, &error, &len) < 0) {
    error = 0;
  }

  const uint32_t requested = dispatcher->GetRequestedEvents();
  uint32_t events = 0;
  if (readable) {
    if (requested & kIoAccept) {
      events |= kIoAccept;
    } else if (error || dispatcher->IsDescriptorClosed()) {
      events |= kIoClose;
    } else {
      events |= kIoRead;
    }
  }
  if (writable) {
    if (requested & kIoConnect) {
      events |= error ? kIoClose : kIoConnect;
    } else {
      events |= kIoWrite;
    }
  }

  dispatcher->OnPreEvent(events);
  dispatcher->OnEvent(events, error);
}

}  // namespace

std::unique_ptr<SocketServer> SocketServer::CreateDefault() {
  return std::unique_ptr<SocketServer>(new PhysicalSocketServer());
}

// EventDispatcher

EventDispatcher::EventDispatcher(PhysicalSocketServer* server)
    : server_(server), pipe_fds_{-1, -1}, signaled_(false) {
  CreatePipe();
  server_->Add(this);
}

EventDispatcher::~EventDispatcher() {
  server_->Remove(this);
  for (int fd : pipe_fds_) {
    if (fd >= 0) {
      close(fd);
    }
  }
}

void EventDispatcher::CreatePipe() {
  int fds[2] = {-1, -1};
  if (pipe(fds) < 0) {
    RTC_LOG(LS_ERROR) << "pipe failed";
    FATAL() << "a socket server cannot be woken without its pipe";
  }
  // Both ends non-blocking: a drain must never stall the server's thread, nor a
  // wake-up the posting thread.
  RTC_CHECK(SetNonBlockingAndCloseOnExec(fds[0]) && SetNonBlockingAndCloseOnExec(fds[1]))
      << "cannot set up the wake-up pipe";
  CritScope cs(&lock_);
  pipe_fds_[0] = fds[0];
  pipe_fds_[1] = fds[1];
}

void EventDispatcher::ReopenPipe() {
  // The old write end is left alone: its number may already belong to someone else.
  CreatePipe();
  CritScope cs(&lock_);
  signaled_ = false;
  Signal();
}

void EventDispatcher::Signal() {
  CritScope cs(&lock_);
  if (!signaled_) {
    const uint8_t b = 0;
    if (write(pipe_fds_[1], &b, sizeof(b)) == 1) {
      signaled_ = true;
    }
  }
}

uint32_t EventDispatcher::GetRequestedEvents() {
  return kIoRead;
}

void EventDispatcher::OnPreEvent(uint32_t /*events*/) {
  CritScope cs(&lock_);
  if (signaled_) {
    uint8_t b[4];
    const ssize_t n = read(pipe_fds_[0], b, sizeof(b));
    (void)n;
    signaled_ = false;
  }
}

void EventDispatcher::OnEvent(uint32_t /*events*/, int /*error*/) {}

int EventDispatcher::GetDescriptor() {
  return pipe_fds_[0];
}

bool EventDispatcher::IsDescriptorClosed() {
  return false;
}

// The server's own wake-up: when drained, it ends the Wait under way.
class Signaler : public EventDispatcher {
 public:
  Signaler(PhysicalSocketServer* server, bool* wait_flag)
      : EventDispatcher(server), wait_flag_(wait_flag) {}

  void OnEvent(uint32_t /*events*/, int /*error*/) override {
    if (wait_flag_) {
      *wait_flag_ = false;
    }
  }

 private:
  bool* const wait_flag_;
};

// PosixSignalHandler

PosixSignalHandler* PosixSignalHandler::Instance() {
  static PosixSignalHandler* const instance = new PosixSignalHandler();
  return instance;
}

PosixSignalHandler::PosixSignalHandler() : pipe_fds_{-1, -1} {
  for (std::atomic<bool>& flag : received_) {
    flag.store(false);
  }
  int fds[2];
  if (pipe(fds) < 0) {
    RTC_LOG_ERRNO(LS_ERROR) << "pipe failed";
    return;
  }
  if (fcntl(fds[0], F_SETFL, O_NONBLOCK) < 0) {
    RTC_LOG_ERRNO(LS_WARNING) << "fcntl #1 failed";
  }
  if (fcntl(fds[1], F_SETFL, O_NONBLOCK) < 0) {
    RTC_LOG_ERRNO(LS_WARNING) << "fcntl #2 failed";
  }
  pipe_fds_[0] = fds[0];
  pipe_fds_[1] = fds[1];
}

bool PosixSignalHandler::IsSignalSet(int signal_number) const {
  if (signal_number < 0 || signal_number >= kNumSignalFlags) {
    return false;
  }
  return received_[signal_number].load();
}

void PosixSignalHandler::ClearSignal(int signal_number) {
  if (signal_number >= 0 && signal_number < kNumSignalFlags) {
    received_[signal_number].store(false);
  }
}

void PosixSignalHandler::OnPosixSignalReceived(int signal_number) {
  if (signal_number < 0 || signal_number >= kNumSignalFlags) {
    return;
  }
  // The flag first, so that a dispatcher woken by the byte always finds it.
  received_[signal_number].store(true);
  if (pipe_fds_[1] >= 0) {
    const uint8_t b = 0;
    // Nothing can be done about a failure here; the flag is seen at the next pass
    // that reads the pipe.
    const ssize_t n = write(pipe_fds_[1], &b, sizeof(b));
    (void)n;
  }
}

namespace {

void GlobalSignalHandler(int signal_number) {
  const int saved_errno = errno;
  PosixSignalHandler::Instance()->OnPosixSignalReceived(signal_number);
  errno = saved_errno;
}

}  // namespace

// PosixSignalDispatcher

PosixSignalDispatcher::PosixSignalDispatcher(PhysicalSocketServer* server) : server_(server) {
  server_->Add(this);
}

PosixSignalDispatcher::~PosixSignalDispatcher() {
  server_->Remove(this);
}

void PosixSignalDispatcher::SetHandler(int signal_number, void (*handler)(int)) {
  handlers_[signal_number] = handler;
}

void PosixSignalDispatcher::ClearHandler(int signal_number) {
  handlers_.erase(signal_number);
}

uint32_t PosixSignalDispatcher::GetRequestedEvents() {
  return kIoRead;
}

void PosixSignalDispatcher::OnPreEvent(uint32_t /*events*/) {
  // Signals that came close together are drained at once.
  uint8_t b[16];
  const ssize_t n = read(GetDescriptor(), b, sizeof(b));
  if (n < 0) {
    RTC_LOG_ERRNO(LS_WARNING) << "Error in read()";
  } else if (n == 0) {
    RTC_LOG(LS_WARNING) << "Should have read at least one byte";
  }
}

void PosixSignalDispatcher::OnEvent(uint32_t /*events*/, int /*error*/) {
  PosixSignalHandler* const received = PosixSignalHandler::Instance();
  for (int signal_number = 0; signal_number < PosixSignalHandler::kNumSignalFlags;
       ++signal_number) {
    if (!received->IsSignalSet(signal_number)) {
      continue;
    }
    received->ClearSignal(signal_number);
    auto it = handlers_.find(signal_number);
    if (it == handlers_.end()) {
      RTC_LOG(LS_INFO) << "Received signal with no handler: " << signal_number;
    } else {
      it->second(signal_number);
    }
  }
}

int PosixSignalDispatcher::GetDescriptor() {
  return PosixSignalHandler::Instance()->GetDescriptor();
}

bool PosixSignalDispatcher::IsDescriptorClosed() {
  return false;
}

// PhysicalSocketServer

PhysicalSocketServer::PhysicalSocketServer() : dispatching_(0), waiting_(false), wait_depth_(0) {
  wakeup_.reset(new Signaler(this, &waiting_));
}

PhysicalSocketServer::~PhysicalSocketServer() {
  posix_signal_dispatcher_.reset();
  wakeup_.reset();
}

Socket* PhysicalSocketServer::CreateSocket(int family, int type) {
  PhysicalSocket* socket = new PhysicalSocket(this);
  if (socket->Create(family, type)) {
    return socket;
  }
  delete socket;
  return nullptr;
}

AsyncSocket* PhysicalSocketServer::CreateAsyncSocket(int family, int type) {
  SocketDispatcher* dispatcher = new SocketDispatcher(this);
  if (dispatcher->Create(family, type)) {
    return dispatcher;
  }
  delete dispatcher;
  return nullptr;
}

AsyncSocket* PhysicalSocketServer::WrapSocket(int descriptor) {
  SocketDispatcher* dispatcher = new SocketDispatcher(descriptor, this);
  if (dispatcher->Initialize()) {
    return dispatcher;
  }
  delete dispatcher;
  return nullptr;
}

void PhysicalSocketServer::WakeUp() {
  wakeup_->Signal();
}

void PhysicalSocketServer::Add(Dispatcher* dispatcher) {
  CritScope cs(&lock_);
  if (dispatching_) {
    pending_removes_.erase(dispatcher);
    pending_adds_.insert(dispatcher);
  } else {
    dispatchers_.insert(dispatcher);
  }
}

void PhysicalSocketServer::Remove(Dispatcher* dispatcher) {
  CritScope cs(&lock_);
  bool known;
  if (dispatching_) {
    known = pending_adds_.erase(dispatcher) != 0 || dispatchers_.count(dispatcher) != 0;
    if (known) {
      pending_removes_.insert(dispatcher);
    }
  } else {
    known = dispatchers_.erase(dispatcher) != 0;
    if (known) {
      bad_descriptors_.erase(dispatcher);
    }
  }
  if (!known) {
    RTC_LOG(LS_WARNING) << "PhysicalSocketServer asked to remove a unknown dispatcher, "
                           "potentially from a duplicate call to Add.";
  }
}

void PhysicalSocketServer::AddRemovePendingDispatchers() {
  for (Dispatcher* dispatcher : pending_adds_) {
    dispatchers_.insert(dispatcher);
  }
  pending_adds_.clear();
  for (Dispatcher* dispatcher : pending_removes_) {
    dispatchers_.erase(dispatcher);
    bad_descriptors_.erase(dispatcher);
  }
  pending_removes_.clear();
}

void PhysicalSocketServer::FillPollSet(bool process_io, PollSet* set) {
  set->fds.clear();
  set->owners.clear();
  CritScope cs(&lock_);
  for (Dispatcher* dispatcher : dispatchers_) {
    if (!process_io && dispatcher != wakeup_.get()) {
      continue;
    }
    const int fd = dispatcher->GetDescriptor();
    if (fd < 0) {
      continue;
    }
    auto bad = bad_descriptors_.find(dispatcher);
    if (bad != bad_descriptors_.end()) {
      // Not while it holds the number that was found closed, even once that number
      // is open again: by then it most likely belongs to someone else.
      if (bad->second == fd) {
        continue;
      }
      bad_descriptors_.erase(bad);
    }
    const uint32_t requested = dispatcher->GetRequestedEvents();
    short events = 0;
    if (requested & (kIoRead | kIoAccept)) {
      events |= POLLIN;
    }
    if (requested & (kIoWrite | kIoConnect)) {
      events |= POLLOUT;
    }
    if (events) {
      set->fds.push_back(pollfd{fd, events, 0});
      set->owners.push_back(dispatcher);
    }
  }
}

void PhysicalSocketServer::DispatchPollSet(const PollSet& set) {
  CritScope cs(&lock_);
  ++dispatching_;
  for (size_t i = 0; i < set.fds.size(); ++i) {
    const pollfd& entry = set.fds[i];
    if (entry.revents == 0) {
      continue;
    }
    Dispatcher* const dispatcher = set.owners[i];
    // Another thread may have removed (and freed) it while poll() ran, and an
    // earlier callback of this pass may have closed or destroyed it: skip both
    // without touching it.
    if (dispatchers_.count(dispatcher) == 0 || pending_removes_.count(dispatcher) != 0) {
      continue;
    }
    if (dispatcher->GetDescriptor() != entry.fd) {
      continue;
    }
    // What a callback autoreleases goes when the callback returns, not at the thread's
    // next message, which may be seconds of socket events away.
    ScopedAutoreleasePool pool;
    if (entry.revents & POLLNVAL) {
      // Closed behind our back. Tell the dispatcher once and stop polling it, so the
      // loop neither spins on it nor stops serving everything else.
      RTC_LOG(LS_ERROR) << "descriptor " << entry.fd << " polled but not open";
      if (dispatcher == wakeup_.get()) {
        wakeup_->ReopenPipe();
      } else {
        bad_descriptors_[dispatcher] = entry.fd;
        dispatcher->OnPreEvent(kIoClose);
        dispatcher->OnEvent(kIoClose, EBADF);
      }
      continue;
    }
    const bool readable = (entry.events & POLLIN) && (entry.revents & (POLLIN | POLLHUP | POLLERR));
    const bool writable = (entry.events & POLLOUT) && (entry.revents & (POLLOUT | POLLERR));
    ProcessEvents(dispatcher, readable, writable);
  }
  if (--dispatching_ == 0) {
    AddRemovePendingDispatchers();
  }
}

void PhysicalSocketServer::PauseAfterPollFailure(int milliseconds) {
  const int pause_ms = std::min(milliseconds, kPollFailurePauseMs);
  if (pause_ms > 0) {
    timespec pause = {0, pause_ms * 1000000L};
    nanosleep(&pause, nullptr);
  }
}

bool PhysicalSocketServer::Wait(int milliseconds, bool process_io) {
  const bool limited = milliseconds != kForeverMs;
  int timeout_ms = limited ? std::max(milliseconds, 0) : -1;
  const int64_t stop_us =
      limited ? TimeMicros() + int64_t{timeout_ms} * kNumMicrosecsPerMillisec : 0;

  // A callback may wait again on this server; the nested wait gets its own set.
  PollSet nested_set;
  PollSet* const set = wait_depth_ == 0 ? &poll_set_ : &nested_set;
  ++wait_depth_;

  waiting_ = true;
  while (waiting_) {
    FillPollSet(process_io, set);
    const int n = poll(set->fds.data(), static_cast<nfds_t>(set->fds.size()), timeout_ms);
    if (n < 0) {
      const int error = errno;
      if (error != EINTR) {
        // Ends this wait only: the caller's loop goes on and calls again. A failure
        // that persists is logged once and paced, so that it neither floods the log
        // nor spins the thread while posts keep being served between the waits.
        if (error != last_poll_error_) {
          RTC_LOG_ERRNO_EX(LS_ERROR, error) << "select";
          last_poll_error_ = error;
        }
        PauseAfterPollFailure(limited ? timeout_ms : kPollFailurePauseMs);
        break;
      }
    } else {
      last_poll_error_ = 0;
      if (n == 0) {
        break;
      }
      DispatchPollSet(*set);
    }

    if (limited) {
      const int64_t left_us = stop_us - TimeMicros();
      // Once the time is used up, the pass just made is the last: a socket that stays
      // ready would otherwise hold the loop here, away from its queue and its timers.
      if (left_us <= 0) {
        break;
      }
      // Rounded up, so a wait never ends a little early and spins on 0.
      timeout_ms =
          saturated_cast<int>((left_us + kNumMicrosecsPerMillisec - 1) / kNumMicrosecsPerMillisec);
    }
  }

  --wait_depth_;
  return true;
}

bool PhysicalSocketServer::InstallSignal(int signal_number, void (*handler)(int)) {
  struct sigaction act;
  memset(&act, 0, sizeof(act));
  act.sa_handler = handler;
  sigemptyset(&act.sa_mask);
  act.sa_flags = SA_RESTART;
  if (sigaction(signal_number, &act, nullptr) != 0) {
    RTC_LOG_ERRNO(LS_ERROR) << "Couldn't set sigaction";
    return false;
  }
  return true;
}

bool PhysicalSocketServer::SetPosixSignalHandler(int signal_number, void (*handler)(int)) {
  if (handler == SIG_IGN || handler == SIG_DFL) {
    if (!InstallSignal(signal_number, handler)) {
      return false;
    }
    if (posix_signal_dispatcher_) {
      posix_signal_dispatcher_->ClearHandler(signal_number);
      if (!posix_signal_dispatcher_->HasHandlers()) {
        posix_signal_dispatcher_.reset();
      }
    }
    return true;
  }
  // Without its pipe nothing could carry the signal to this thread.
  if (PosixSignalHandler::Instance()->GetDescriptor() < 0) {
    return false;
  }
  if (!posix_signal_dispatcher_) {
    posix_signal_dispatcher_.reset(new PosixSignalDispatcher(this));
  }
  posix_signal_dispatcher_->SetHandler(signal_number, handler);
  return InstallSignal(signal_number, &GlobalSignalHandler);
}

// PhysicalSocket

namespace {

// SIGPIPE would end the app when a peer has gone; the error number says enough.
constexpr int kSendFlags = MSG_NOSIGNAL;

// This platform reports no receive time of a datagram.
int64_t GetSocketRecvTimestamp(int /*descriptor*/) {
  return -1;
}

// The address getsockname or getpeername reports for `descriptor`; false, leaving
// `address` alone, when the call fails.
bool QueryAddress(int (*query)(int, sockaddr*, socklen_t*),
                  int descriptor,
                  SocketAddress* address) {
  sockaddr_storage storage = {};
  socklen_t len = sizeof(storage);
  if (query(descriptor, reinterpret_cast<sockaddr*>(&storage), &len) != 0)
    return false;
  SocketAddressFromSockAddrStorage(storage, address);
  return true;
}

}  // namespace

PhysicalSocket::PhysicalSocket(PhysicalSocketServer* server, int descriptor)
    : server_(server),
      descriptor_(descriptor),
      udp_(false),
      error_(0),
      state_(descriptor >= 0 ? SOCKET_CONNECTED : SOCKET_CLOSED),
      resolver_(nullptr),
      enabled_events_(0) {
  if (descriptor_ >= 0) {
    SetEnabledEvents(kIoRead | kIoWrite);
    int type = SOCK_STREAM;
    socklen_t len = sizeof(type);
    if (getsockopt(descriptor_, SOL_SOCKET, SO_TYPE, &type, &len) != 0) {
      type = SOCK_STREAM;
    }
    udp_ = type == SOCK_DGRAM;
  }
}

PhysicalSocket::~PhysicalSocket() {
  Close();
}

bool PhysicalSocket::Create(int family, int type) {
  Close();
  descriptor_ = socket(family, type, 0);
  udp_ = type == SOCK_DGRAM;
  UpdateLastError();
  if (udp_) {
    SetEnabledEvents(kIoRead | kIoWrite);
  }
  return descriptor_ >= 0;
}

SocketAddress PhysicalSocket::GetLocalAddress() const {
  SocketAddress address;
  if (!QueryAddress(getsockname, descriptor_, &address))
    RTC_LOG(LS_WARNING) << "GetLocalAddress: unable to get local addr, socket=" << descriptor_;
  return address;
}

SocketAddress PhysicalSocket::GetRemoteAddress() const {
  SocketAddress address;
  if (!QueryAddress(getpeername, descriptor_, &address))
    RTC_LOG(LS_WARNING) << "GetRemoteAddress: unable to get remote addr, socket=" << descriptor_;
  return address;
}

int PhysicalSocket::Bind(const SocketAddress& bind_address) {
  SocketAddress copy = bind_address;
  NetworkBinderInterface* binder = server_->network_binder();
  if (binder && !bind_address.IsAnyIP()) {
    const int result = binder->BindDescriptor(descriptor_, bind_address.ipaddr());
    if (result == 0) {
      // The binder chose the interface; bind() only assigns the port.
      copy.SetIP(GetAnyIP(copy.family()));
    } else if (result == NetworkBinderInterface::kNotImplemented) {
      RTC_LOG(LS_INFO) << "Can't bind socket to network because "
                          "network binding is not implemented for this OS.";
    } else if (bind_address.IsLoopbackIP()) {
      RTC_LOG(LS_VERBOSE) << "Binding socket to loopback address "
                          << bind_address.ipaddr().ToString() << " failed; result: " << result;
    } else {
      RTC_LOG(LS_WARNING) << "Binding socket to network address "
                          << bind_address.ipaddr().ToString() << " failed; result: " << result;
      return -1;
    }
  }
  sockaddr_storage storage = {};
  const size_t len = copy.ToSockAddrStorage(&storage);
  const int err =
      bind(descriptor_, reinterpret_cast<sockaddr*>(&storage), static_cast<socklen_t>(len));
  UpdateLastError();
  return err;
}

int PhysicalSocket::Connect(const SocketAddress& address) {
  if (state_ != SOCKET_CLOSED) {
    SetError(EALREADY);
    return -1;
  }
  if (address.IsUnresolvedIP()) {
    RTC_LOG(LS_VERBOSE) << "Resolving addr in PhysicalSocket::Connect";
    // A look-up left from an earlier Connect whose connect failed.
    ReleaseResolver();
    // Its completion comes back to this thread as a posted message.
    resolver_ = new AsyncResolver();
    resolver_->SignalResolved.connect(this, &PhysicalSocket::OnResolveResult);
    resolver_->Start(address);
    state_ = SOCKET_CONNECTING;
    return 0;
  }
  return DoConnect(address);
}

void PhysicalSocket::OnResolveResult(AsyncResolverInterface* resolver) {
  if (!resolver_ || resolver != static_cast<AsyncResolverInterface*>(resolver_)) {
    return;
  }
  int error = resolver_->GetError();
  if (error == 0) {
    error = DoConnect(resolver_->address());
    if (error != 0) {
      // Reported closed, so closed it is: a later Connect may try again.
      state_ = SOCKET_CLOSED;
    }
  } else {
    Close();
  }
  if (error != 0) {
    SetError(error);
    SignalClosed(this, error);
  }
}

int PhysicalSocket::DoConnect(const SocketAddress& address) {
  if (descriptor_ < 0 && !Create(address.family(), SOCK_STREAM)) {
    return -1;
  }
  sockaddr_storage storage = {};
  const size_t len = address.ToSockAddrStorage(&storage);
  const int err =
      connect(descriptor_, reinterpret_cast<sockaddr*>(&storage), static_cast<socklen_t>(len));
  UpdateLastError();
  uint8_t events = kIoRead | kIoWrite;
  if (err == 0) {
    state_ = SOCKET_CONNECTED;
  } else if (IsBlockingError(GetError())) {
    state_ = SOCKET_CONNECTING;
    events |= kIoConnect;
  } else {
    return -1;
  }
  EnableEvents(events);
  return 0;
}

int PhysicalSocket::GetError() const {
  CritScope cs(&error_lock_);
  return error_;
}

void PhysicalSocket::SetError(int error) {
  CritScope cs(&error_lock_);
  error_ = error;
}

Socket::ConnectionState PhysicalSocket::GetState() const {
  return state_;
}

int PhysicalSocket::GetOption(Option option, int* value) {
  int level;
  int name;
  if (TranslateOption(option, &level, &name) == -1) {
    return -1;
  }
  socklen_t len = sizeof(*value);
  return getsockopt(descriptor_, level, name, value, &len);
}

int PhysicalSocket::SetOption(Option option, int value) {
  int level;
  int name;
  if (TranslateOption(option, &level, &name) == -1) {
    return -1;
  }
  return setsockopt(descriptor_, level, name, &value, sizeof(value));
}

int PhysicalSocket::Send(const void* data, size_t length) {
  const int sent =
      DoSend(descriptor_, static_cast<const char*>(data), static_cast<int>(length), kSendFlags);
  FinishSend(sent, length);
  return sent;
}

int PhysicalSocket::SendTo(const void* data, size_t length, const SocketAddress& address) {
  sockaddr_storage storage = {};
  const size_t len = address.ToSockAddrStorage(&storage);
  const int sent =
      DoSendTo(descriptor_, static_cast<const char*>(data), static_cast<int>(length), kSendFlags,
               reinterpret_cast<sockaddr*>(&storage), static_cast<socklen_t>(len));
  FinishSend(sent, length);
  return sent;
}

int PhysicalSocket::Recv(void* buffer, size_t capacity, int64_t* timestamp) {
  const int received = static_cast<int>(recv(descriptor_, buffer, capacity, 0));
  if (received == 0 && capacity != 0) {
    // The end of the stream: the read would block now, and the close event comes
    // from the next pass, which finds the descriptor readable and closed.
    RTC_LOG(LS_WARNING) << "EOF from socket; deferring close event";
    EnableEvents(kIoRead);
    SetError(EWOULDBLOCK);
    return -1;
  }
  if (timestamp) {
    *timestamp = GetSocketRecvTimestamp(descriptor_);
  }
  UpdateLastError();
  FinishReceive(received, "virtual int rtc::PhysicalSocket::Recv(void *, size_t, int64_t *)");
  return received;
}

int PhysicalSocket::RecvFrom(void* buffer,
                             size_t capacity,
                             SocketAddress* source,
                             int64_t* timestamp) {
  sockaddr_storage storage = {};
  socklen_t len = sizeof(storage);
  const int received = static_cast<int>(
      recvfrom(descriptor_, buffer, capacity, 0, reinterpret_cast<sockaddr*>(&storage), &len));
  if (timestamp) {
    *timestamp = GetSocketRecvTimestamp(descriptor_);
  }
  UpdateLastError();
  if (received >= 0 && source) {
    SocketAddressFromSockAddrStorage(storage, source);
  }
  FinishReceive(received,
                "virtual int rtc::PhysicalSocket::RecvFrom(void *, size_t, "
                "rtc::SocketAddress *, int64_t *)");
  return received;
}

int PhysicalSocket::Listen(int backlog) {
  const int err = listen(descriptor_, backlog);
  UpdateLastError();
  if (err == 0) {
    state_ = SOCKET_CONNECTING;
    EnableEvents(kIoAccept);
  }
  return err;
}

AsyncSocket* PhysicalSocket::Accept(SocketAddress* peer) {
  // Later connections raise events even when this accept fails.
  EnableEvents(kIoAccept);
  sockaddr_storage storage = {};
  socklen_t len = sizeof(storage);
  const int descriptor = DoAccept(descriptor_, reinterpret_cast<sockaddr*>(&storage), &len);
  UpdateLastError();
  if (descriptor < 0) {
    return nullptr;
  }
  if (peer) {
    SocketAddressFromSockAddrStorage(storage, peer);
  }
  return server_->WrapSocket(descriptor);
}

int PhysicalSocket::Close() {
  if (descriptor_ < 0) {
    return 0;
  }
  const int err = close(descriptor_);
  UpdateLastError();
  descriptor_ = -1;
  state_ = SOCKET_CLOSED;
  SetEnabledEvents(0);
  ReleaseResolver();
  return err;
}

void PhysicalSocket::ReleaseResolver() {
  if (resolver_) {
    // It deletes itself once its look-up has ended.
    resolver_->Destroy(false);
    resolver_ = nullptr;
  }
}

int PhysicalSocket::DoAccept(int descriptor, sockaddr* address, socklen_t* length) {
  return accept(descriptor, address, length);
}

int PhysicalSocket::DoSend(int descriptor, const char* data, int length, int flags) {
  return static_cast<int>(send(descriptor, data, length, flags));
}

int PhysicalSocket::DoSendTo(int descriptor,
                             const char* data,
                             int length,
                             int flags,
                             const sockaddr* address,
                             socklen_t address_length) {
  return static_cast<int>(sendto(descriptor, data, length, flags, address, address_length));
}

void PhysicalSocket::SetEnabledEvents(uint8_t events) {
  enabled_events_ = events;
}

void PhysicalSocket::EnableEvents(uint8_t events) {
  enabled_events_ |= events;
}

void PhysicalSocket::DisableEvents(uint8_t events) {
  enabled_events_ &= ~events;
}

void PhysicalSocket::UpdateLastError() {
  SetError(errno);
}

void PhysicalSocket::MaybeRemapSendError() {
  if (GetError() == ENOBUFS) {
    SetError(EWOULDBLOCK);
  }
}

void PhysicalSocket::FinishSend(int sent, size_t length) {
  UpdateLastError();
  MaybeRemapSendError();
  if ((sent > 0 && static_cast<size_t>(sent) < length) ||
      (sent < 0 && IsBlockingError(GetError()))) {
    EnableEvents(kIoWrite);
  }
}

void PhysicalSocket::FinishReceive(int received, const char* function) {
  const int error = GetError();
  const bool success = received >= 0 || IsBlockingError(error);
  if (udp_ || success) {
    EnableEvents(kIoRead);
  }
  if (!success) {
    RTC_LOG(LS_VERBOSE) << function << ": "
                        << "Error = " << error;
  }
}

int PhysicalSocket::TranslateOption(Option option, int* level, int* name) {
  switch (static_cast<int>(option)) {
    case OPT_DONTFRAGMENT:
      RTC_LOG(LS_WARNING) << "Socket::OPT_DONTFRAGMENT not supported.";
      return -1;
    case OPT_RCVBUF:
      *level = SOL_SOCKET;
      *name = SO_RCVBUF;
      return 0;
    case OPT_SNDBUF:
      *level = SOL_SOCKET;
      *name = SO_SNDBUF;
      return 0;
    case OPT_NODELAY:
      *level = IPPROTO_TCP;
      *name = TCP_NODELAY;
      return 0;
    case OPT_DSCP:
      RTC_LOG(LS_WARNING) << "Socket::OPT_DSCP not supported.";
      return -1;
    default:
      return -1;
  }
}

// SocketDispatcher

SocketDispatcher::SocketDispatcher(PhysicalSocketServer* server) : PhysicalSocket(server) {}

SocketDispatcher::SocketDispatcher(int descriptor, PhysicalSocketServer* server)
    : PhysicalSocket(server, descriptor) {}

SocketDispatcher::~SocketDispatcher() {
  Close();
}

bool SocketDispatcher::Initialize() {
  const int flags = fcntl(descriptor_, F_GETFL, 0);
  fcntl(descriptor_, F_SETFL, flags | O_NONBLOCK);
  // No SO_NOSIGPIPE here: every send passes MSG_NOSIGNAL instead.
  server_->Add(this);
  return true;
}

bool SocketDispatcher::Create(int type) {
  return Create(AF_INET, type);
}

bool SocketDispatcher::Create(int family, int type) {
  if (!PhysicalSocket::Create(family, type)) {
    return false;
  }
  return Initialize();
}

int SocketDispatcher::GetDescriptor() {
  return descriptor_;
}

bool SocketDispatcher::IsDescriptorClosed() {
  if (udp_) {
    return descriptor_ < 0;
  }
  // Readable with nothing to read means the stream has ended.
  char ch;
  const ssize_t res = recv(descriptor_, &ch, 1, MSG_PEEK);
  if (res > 0) {
    return false;
  }
  if (res == 0) {
    return true;
  }
  switch (errno) {
    case EBADF:
    case ECONNRESET:
      return true;
    case EINTR:
    case EWOULDBLOCK:
      return false;
    default:
      RTC_LOG_ERRNO(LS_WARNING) << "Assuming benign blocking error";
      return false;
  }
}

uint32_t SocketDispatcher::GetRequestedEvents() {
  return enabled_events();
}

void SocketDispatcher::OnPreEvent(uint32_t events) {
  if (events & kIoConnect) {
    state_ = SOCKET_CONNECTED;
  }
  if (events & kIoClose) {
    state_ = SOCKET_CLOSED;
  }
}

void SocketDispatcher::OnEvent(uint32_t events, int error) {
  // Connect and accept first, so that a user never sees data before the connection.
  if (events & kIoConnect) {
    DisableEvents(kIoConnect);
    SignalConnected(this);
  }
  if (events & kIoAccept) {
    DisableEvents(kIoAccept);
    SignalReadable(this);
  }
  if (events & kIoRead) {
    DisableEvents(kIoRead);
    SignalReadable(this);
  }
  if (events & kIoWrite) {
    DisableEvents(kIoWrite);
    SignalWritable(this);
  }
  if (events & kIoClose) {
    // The socket is dead to the server.
    SetEnabledEvents(0);
    SignalClosed(this, error);
  }
}

int SocketDispatcher::Close() {
  if (descriptor_ < 0) {
    return 0;
  }
  server_->Remove(this);
  return PhysicalSocket::Close();
}

}  // namespace rtc
