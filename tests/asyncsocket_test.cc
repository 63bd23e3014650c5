#include "rtc_base/asyncsocket.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <string.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "rtc_base/socket.h"
#include "rtc_base/socketaddress.h"

namespace {

// A stand-in for a real asynchronous socket: it records what the adapter forwards
// and answers with canned results, so that forwarding can be checked exactly.
class FakeAsyncSocket : public rtc::AsyncSocket {
 public:
  explicit FakeAsyncSocket(bool* destroyed = nullptr) : destroyed_(destroyed) {}
  ~FakeAsyncSocket() override {
    if (destroyed_) {
      *destroyed_ = true;
    }
  }

  rtc::SocketAddress GetLocalAddress() const override { return local_; }
  rtc::SocketAddress GetRemoteAddress() const override { return remote_; }
  int Bind(const rtc::SocketAddress& address) override {
    calls_.push_back("Bind " + address.ToString());
    return result_;
  }
  int Connect(const rtc::SocketAddress& address) override {
    calls_.push_back("Connect " + address.ToString());
    return result_;
  }
  int Send(const void* data, size_t length) override {
    calls_.push_back("Send " + std::string(static_cast<const char*>(data), length));
    return result_;
  }
  int SendTo(const void* data, size_t length, const rtc::SocketAddress& address) override {
    calls_.push_back("SendTo " + std::string(static_cast<const char*>(data), length) + " " +
                     address.ToString());
    return result_;
  }
  int Recv(void* buffer, size_t capacity, int64_t* timestamp) override {
    calls_.push_back("Recv " + std::to_string(capacity));
    return Deliver(buffer, capacity, timestamp);
  }
  int RecvFrom(void* buffer,
               size_t capacity,
               rtc::SocketAddress* source,
               int64_t* timestamp) override {
    calls_.push_back("RecvFrom " + std::to_string(capacity));
    if (source) {
      *source = remote_;
    }
    return Deliver(buffer, capacity, timestamp);
  }
  int Listen(int backlog) override {
    calls_.push_back("Listen " + std::to_string(backlog));
    return result_;
  }
  rtc::AsyncSocket* Accept(rtc::SocketAddress* peer) override {
    calls_.push_back("Accept");
    if (peer) {
      *peer = remote_;
    }
    return accepted_;
  }
  int Close() override {
    calls_.push_back("Close");
    return result_;
  }
  int GetError() const override { return error_; }
  void SetError(int error) override { error_ = error; }
  ConnectionState GetState() const override { return state_; }
  int GetOption(Option option, int* value) override {
    calls_.push_back("GetOption " + std::to_string(option));
    *value = option_value_;
    return result_;
  }
  int SetOption(Option option, int value) override {
    calls_.push_back("SetOption " + std::to_string(option) + " " + std::to_string(value));
    return result_;
  }

  std::vector<std::string> calls_;
  int result_ = 0;
  int error_ = 0;
  ConnectionState state_ = SOCKET_CLOSED;
  rtc::SocketAddress local_;
  rtc::SocketAddress remote_;
  rtc::AsyncSocket* accepted_ = nullptr;
  std::string incoming_;
  int64_t arrival_ = 0;
  int option_value_ = 0;

 private:
  int Deliver(void* buffer, size_t capacity, int64_t* timestamp) {
    if (result_ < 0) {
      return result_;
    }
    const size_t n = std::min(capacity, incoming_.size());
    memcpy(buffer, incoming_.data(), n);
    if (timestamp) {
      *timestamp = arrival_;
    }
    return static_cast<int>(n);
  }

  bool* destroyed_;
};

// Records every signal of the socket it listens to, with its arguments.
class Listener : public sigslot::has_slots<> {
 public:
  void Listen(rtc::AsyncSocket* socket) {
    socket->SignalConnected.connect(this, &Listener::OnConnected);
    socket->SignalReadable.connect(this, &Listener::OnReadable);
    socket->SignalWritable.connect(this, &Listener::OnWritable);
    socket->SignalClosed.connect(this, &Listener::OnClosed);
  }
  void OnConnected(rtc::AsyncSocket* s) { events_.push_back({"connected", s, 0}); }
  void OnReadable(rtc::AsyncSocket* s) { events_.push_back({"readable", s, 0}); }
  void OnWritable(rtc::AsyncSocket* s) { events_.push_back({"writable", s, 0}); }
  void OnClosed(rtc::AsyncSocket* s, int error) { events_.push_back({"closed", s, error}); }

  struct Event {
    std::string name;
    rtc::AsyncSocket* socket;
    int error;
  };
  std::vector<Event> events_;
};

TEST(IsBlockingError, Values) {
  struct Case {
    int error;
    bool blocking;
  };
  const Case cases[] = {
      {EWOULDBLOCK, true}, {EAGAIN, true},        {EINPROGRESS, true}, {0, false},
      {ENOTCONN, false},   {EALREADY, false},     {EMSGSIZE, false},   {ENOBUFS, false},
      {ECONNRESET, false}, {ECONNREFUSED, false}, {-1, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.error);
    EXPECT_EQ(c.blocking, rtc::IsBlockingError(c.error));
    FakeAsyncSocket socket;
    socket.SetError(c.error);
    EXPECT_EQ(c.blocking, socket.IsBlocking());
  }
}

// Each event of the wrapped socket comes out of the adapter once, naming the
// adapter, so users never see the socket inside.
TEST(AsyncSocketAdapter, ReemitsEventsAsItself) {
  struct Case {
    const char* name;
    void (*raise)(FakeAsyncSocket*);
    int error;
  };
  const Case cases[] = {
      {"connected", [](FakeAsyncSocket* s) { s->SignalConnected(s); }, 0},
      {"readable", [](FakeAsyncSocket* s) { s->SignalReadable(s); }, 0},
      {"writable", [](FakeAsyncSocket* s) { s->SignalWritable(s); }, 0},
      {"closed", [](FakeAsyncSocket* s) { s->SignalClosed(s, ECONNRESET); }, ECONNRESET},
      {"closed", [](FakeAsyncSocket* s) { s->SignalClosed(s, 0); }, 0},
      {"closed", [](FakeAsyncSocket* s) { s->SignalClosed(s, -1); }, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.name << " " << c.error);
    FakeAsyncSocket* inner = new FakeAsyncSocket;
    rtc::AsyncSocketAdapter adapter(inner);
    Listener listener;
    listener.Listen(&adapter);
    c.raise(inner);
    ASSERT_EQ(1u, listener.events_.size());
    EXPECT_EQ(c.name, listener.events_[0].name);
    EXPECT_EQ(&adapter, listener.events_[0].socket);
    EXPECT_EQ(c.error, listener.events_[0].error);
  }
}

TEST(AsyncSocketAdapter, ForwardsOperations) {
  FakeAsyncSocket* inner = new FakeAsyncSocket;
  rtc::AsyncSocketAdapter adapter(inner);
  const rtc::SocketAddress peer("192.0.2.5", 4000);
  inner->local_ = rtc::SocketAddress("127.0.0.1", 5000);
  inner->remote_ = peer;
  inner->incoming_ = "hello";
  inner->arrival_ = 1234;
  inner->option_value_ = 65536;
  inner->result_ = 7;

  EXPECT_EQ("127.0.0.1:5000", adapter.GetLocalAddress().ToString());
  EXPECT_EQ(peer, adapter.GetRemoteAddress());
  EXPECT_EQ(7, adapter.Bind(rtc::SocketAddress("0.0.0.0", 0)));
  EXPECT_EQ(7, adapter.Connect(peer));
  EXPECT_EQ(7, adapter.Send("abc", 3));
  EXPECT_EQ(7, adapter.SendTo("xy", 2, peer));
  EXPECT_EQ(7, adapter.Listen(5));
  EXPECT_EQ(7, adapter.Close());
  int value = 0;
  EXPECT_EQ(7, adapter.GetOption(rtc::Socket::OPT_RCVBUF, &value));
  EXPECT_EQ(65536, value);
  EXPECT_EQ(7, adapter.SetOption(rtc::Socket::OPT_NODELAY, 1));
  // An option number without a name still reaches the socket unchanged.
  EXPECT_EQ(7, adapter.SetOption(static_cast<rtc::Socket::Option>(4), 2));

  char buf[16] = {0};
  int64_t stamp = 0;
  EXPECT_EQ(3, adapter.Recv(buf, 3, &stamp));
  EXPECT_EQ("hel", std::string(buf, 3));
  EXPECT_EQ(1234, stamp);
  EXPECT_EQ(5, adapter.Recv(buf, sizeof(buf), nullptr));
  rtc::SocketAddress source;
  stamp = 0;
  EXPECT_EQ(5, adapter.RecvFrom(buf, sizeof(buf), &source, &stamp));
  EXPECT_EQ(peer, source);
  EXPECT_EQ(1234, stamp);

  const std::vector<std::string> expected = {
      "Bind 0.0.0.0:0", "Connect 192.0.2.5:4000",
      "Send abc",       "SendTo xy 192.0.2.5:4000",
      "Listen 5",       "Close",
      "GetOption 1",    "SetOption 3 1",
      "SetOption 4 2",  "Recv 3",
      "Recv 16",        "RecvFrom 16",
  };
  EXPECT_EQ(expected, inner->calls_);
}

TEST(AsyncSocketAdapter, FailuresAndStatePassThrough) {
  FakeAsyncSocket* inner = new FakeAsyncSocket;
  rtc::AsyncSocketAdapter adapter(inner);
  inner->result_ = -1;
  inner->error_ = EWOULDBLOCK;
  char buf[4];
  EXPECT_EQ(-1, adapter.Send("a", 1));
  EXPECT_EQ(-1, adapter.Recv(buf, sizeof(buf), nullptr));
  EXPECT_EQ(EWOULDBLOCK, adapter.GetError());
  EXPECT_TRUE(adapter.IsBlocking());

  // SetError lands in the wrapped socket, where its owner reads it.
  adapter.SetError(ENOTCONN);
  EXPECT_EQ(ENOTCONN, inner->error_);
  EXPECT_FALSE(adapter.IsBlocking());

  for (rtc::Socket::ConnectionState state :
       {rtc::Socket::SOCKET_CLOSED, rtc::Socket::SOCKET_CONNECTING,
        rtc::Socket::SOCKET_CONNECTED}) {
    inner->state_ = state;
    EXPECT_EQ(state, adapter.GetState());
  }
}

TEST(AsyncSocketAdapter, AcceptHandsOverTheNewSocket) {
  FakeAsyncSocket* inner = new FakeAsyncSocket;
  rtc::AsyncSocketAdapter adapter(inner);
  rtc::SocketAddress peer;
  EXPECT_EQ(nullptr, adapter.Accept(&peer));

  auto accepted = std::make_unique<FakeAsyncSocket>();
  inner->accepted_ = accepted.get();
  inner->remote_ = rtc::SocketAddress("127.0.0.1", 40000);
  EXPECT_EQ(accepted.get(), adapter.Accept(&peer));
  EXPECT_EQ("127.0.0.1:40000", peer.ToString());
}

TEST(AsyncSocketAdapter, OwnsTheSocket) {
  bool destroyed = false;
  FakeAsyncSocket* inner = new FakeAsyncSocket(&destroyed);
  auto adapter = std::make_unique<rtc::AsyncSocketAdapter>(inner);
  Listener listener;
  listener.Listen(adapter.get());
  EXPECT_FALSE(destroyed);
  adapter.reset();
  EXPECT_TRUE(destroyed);
  // The listener goes after the adapter; its destruction must not reach the
  // adapter's signals, which have already let go of it.
}

// An adapter and a listener torn down in the other order: the listener's
// destruction must leave the adapter's signals without a dangling slot.
TEST(AsyncSocketAdapter, ListenerGoesFirst) {
  FakeAsyncSocket* inner = new FakeAsyncSocket;
  rtc::AsyncSocketAdapter adapter(inner);
  {
    Listener listener;
    listener.Listen(&adapter);
  }
  inner->SignalReadable(inner);
  inner->SignalClosed(inner, 0);
}

// Without a socket nothing is connected or deleted, and every operation fails
// instead of reaching through a null pointer.
TEST(AsyncSocketAdapter, WithoutSocket) {
  rtc::AsyncSocketAdapter adapter(nullptr);
  char buf[4];
  int value = 123;
  rtc::SocketAddress peer("10.0.0.1", 1);
  int64_t stamp = 5;
  EXPECT_EQ(-1, adapter.Bind(rtc::SocketAddress("0.0.0.0", 0)));
  EXPECT_EQ(-1, adapter.Connect(peer));
  EXPECT_EQ(-1, adapter.Send("a", 1));
  EXPECT_EQ(-1, adapter.SendTo("a", 1, peer));
  EXPECT_EQ(-1, adapter.Recv(buf, sizeof(buf), &stamp));
  EXPECT_EQ(-1, adapter.RecvFrom(buf, sizeof(buf), &peer, &stamp));
  EXPECT_EQ(-1, adapter.Listen(1));
  EXPECT_EQ(nullptr, adapter.Accept(&peer));
  EXPECT_EQ(-1, adapter.Close());
  EXPECT_EQ(-1, adapter.GetOption(rtc::Socket::OPT_SNDBUF, &value));
  EXPECT_EQ(-1, adapter.SetOption(rtc::Socket::OPT_SNDBUF, 1));
  EXPECT_EQ(123, value);
  EXPECT_EQ(5, stamp);
  EXPECT_EQ("10.0.0.1:1", peer.ToString());
  EXPECT_EQ(rtc::Socket::SOCKET_CLOSED, adapter.GetState());
  EXPECT_TRUE(adapter.GetLocalAddress() == rtc::SocketAddress());
  EXPECT_TRUE(adapter.GetRemoteAddress() == rtc::SocketAddress());
  adapter.SetError(EWOULDBLOCK);
  // Not a "try again": there is nothing to try again on.
  EXPECT_EQ(ENOTCONN, adapter.GetError());
  EXPECT_FALSE(adapter.IsBlocking());
}

// How the TLS layer uses the adapter: it overrides a handler to hold events back
// and an operation to change the data, and calls the adapter's own versions for
// what passes through unchanged.
class Interposer : public rtc::AsyncSocketAdapter {
 public:
  explicit Interposer(rtc::AsyncSocket* socket) : rtc::AsyncSocketAdapter(socket) {}

  int Send(const void* data, size_t length) override {
    const std::string framed = "[" + std::string(static_cast<const char*>(data), length) + "]";
    const int sent = rtc::AsyncSocketAdapter::Send(framed.data(), framed.size());
    return sent < 0 ? sent : static_cast<int>(length);
  }

  bool ready_ = false;
  int held_reads_ = 0;

 protected:
  void OnReadEvent(rtc::AsyncSocket* socket) override {
    if (!ready_) {
      ++held_reads_;
      return;
    }
    rtc::AsyncSocketAdapter::OnReadEvent(socket);
  }
};

TEST(AsyncSocketAdapter, SubclassInterposes) {
  FakeAsyncSocket* inner = new FakeAsyncSocket;
  inner->result_ = 5;
  Interposer adapter(inner);
  Listener listener;
  listener.Listen(&adapter);

  inner->SignalReadable(inner);
  EXPECT_EQ(1, adapter.held_reads_);
  EXPECT_TRUE(listener.events_.empty());
  adapter.ready_ = true;
  inner->SignalReadable(inner);
  inner->SignalWritable(inner);
  ASSERT_EQ(2u, listener.events_.size());
  EXPECT_EQ("readable", listener.events_[0].name);
  EXPECT_EQ(&adapter, listener.events_[0].socket);
  EXPECT_EQ("writable", listener.events_[1].name);

  EXPECT_EQ(3, adapter.Send("abc", 3));
  EXPECT_EQ(std::vector<std::string>{"Send [abc]"}, inner->calls_);
}

// A reader that drains the socket from inside the readable signal, as every user
// of an asynchronous socket does.
class Reader : public sigslot::has_slots<> {
 public:
  void OnReadable(rtc::AsyncSocket* socket) {
    char buf[8];
    const int n = socket->Recv(buf, sizeof(buf), nullptr);
    if (n > 0) {
      data_.append(buf, n);
    }
  }
  std::string data_;
};

TEST(AsyncSocketAdapter, SlotReadsThroughTheAdapter) {
  FakeAsyncSocket* inner = new FakeAsyncSocket;
  inner->incoming_ = "data";
  rtc::AsyncSocketAdapter adapter(inner);
  Reader reader;
  adapter.SignalReadable.connect(&reader, &Reader::OnReadable);
  inner->SignalReadable(inner);
  EXPECT_EQ("data", reader.data_);
}

}  // namespace
