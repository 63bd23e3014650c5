// Typed multicast signals whose slots are member functions of objects derived
// from has_slots.
//
// A signal and a slot object know each other only by raw pointers; neither owns
// the other. Destroying either side ends every connection between them, so a
// signal never calls into a destroyed slot object. Slots run in connection order.
//
//   class Receiver : public sigslot::has_slots<> {
//    public:
//     void OnPing(int n);
//   };
//   sigslot::signal<int> ping;
//   ping.connect(&receiver, &Receiver::OnPing);
//   ping(42);
//
// Thread policies: single_threaded takes no lock; multi_threaded_local gives each
// signal (or slot object) its own non-recursive mutex, held across connecting,
// disconnecting and the whole of an emission. A slot of a multi_threaded_local
// signal therefore must not emit, connect to, disconnect from or destroy that same
// signal, nor destroy another slot object connected to it.

#ifndef RTC_BASE_SIGSLOT_H_
#define RTC_BASE_SIGSLOT_H_

#include <pthread.h>

#include <cstring>
#include <iterator>
#include <list>
#include <set>
#include <type_traits>
#include <utility>

namespace sigslot {

class single_threaded {
 public:
  void lock() {}
  void unlock() {}
};

class multi_threaded_local {
 public:
  multi_threaded_local() { pthread_mutex_init(&mutex_, nullptr); }
  multi_threaded_local(const multi_threaded_local&) = delete;
  multi_threaded_local& operator=(const multi_threaded_local&) = delete;
  ~multi_threaded_local() { pthread_mutex_destroy(&mutex_); }

  void lock() { pthread_mutex_lock(&mutex_); }
  void unlock() { pthread_mutex_unlock(&mutex_); }

 private:
  pthread_mutex_t mutex_;
};

template <class mt_policy>
class lock_block {
 public:
  explicit lock_block(mt_policy* policy) : policy_(policy) { policy_->lock(); }
  lock_block(const lock_block&) = delete;
  lock_block& operator=(const lock_block&) = delete;
  ~lock_block() { policy_->unlock(); }

 private:
  mt_policy* policy_;
};

class _signal_base_interface;

// The type-erased side of a slot object that signals talk to. The operations are
// plain function pointers filled in by has_slots<P>, so a signal needs to know
// nothing about the slot object's policy.
class has_slots_interface {
 private:
  using signal_connect_t = void (*)(has_slots_interface* self, _signal_base_interface* sender);
  using signal_disconnect_t = void (*)(has_slots_interface* self, _signal_base_interface* sender);
  using disconnect_all_t = void (*)(has_slots_interface* self);

  const signal_connect_t signal_connect_;
  const signal_disconnect_t signal_disconnect_;
  const disconnect_all_t disconnect_all_;

 protected:
  has_slots_interface(signal_connect_t conn, signal_disconnect_t disc, disconnect_all_t disc_all)
      : signal_connect_(conn), signal_disconnect_(disc), disconnect_all_(disc_all) {}

  // Never deleted through this base; the slot object's own destructor runs.
  virtual ~has_slots_interface() {}

 public:
  void signal_connect(_signal_base_interface* sender) { signal_connect_(this, sender); }
  void signal_disconnect(_signal_base_interface* sender) { signal_disconnect_(this, sender); }
  void disconnect_all() { disconnect_all_(this); }
};

// The type-erased side of a signal that slot objects talk to.
class _signal_base_interface {
 private:
  using slot_disconnect_t = void (*)(_signal_base_interface* self, has_slots_interface* slot);
  using slot_duplicate_t = void (*)(_signal_base_interface* self,
                                    const has_slots_interface* old_slot,
                                    has_slots_interface* new_slot);

  const slot_disconnect_t slot_disconnect_;
  const slot_duplicate_t slot_duplicate_;

 protected:
  _signal_base_interface(slot_disconnect_t disc, slot_duplicate_t dupl)
      : slot_disconnect_(disc), slot_duplicate_(dupl) {}
  ~_signal_base_interface() {}

 public:
  void slot_disconnect(has_slots_interface* slot) { slot_disconnect_(this, slot); }
  void slot_duplicate(const has_slots_interface* old_slot, has_slots_interface* new_slot) {
    slot_duplicate_(this, old_slot, new_slot);
  }
};

// One connection: the slot object, its member function kept as raw bytes, and the
// emitter that knows how to turn both back into a typed call.
class _opaque_connection {
 private:
  // The common type of all emitters while stored; each is called back through its
  // own exact type.
  using emit_t = void (*)();

  emit_t emit_;
  has_slots_interface* dest_;
  // Large enough for any member-function pointer, including one to a virtual
  // function or one of a class with several bases.
  unsigned char method_[16];

 public:
  template <typename Dest, typename... Args>
  _opaque_connection(Dest* object, void (Dest::*method)(Args...)) : dest_(object) {
    using method_t = void (Dest::*)(Args...);
    static_assert(sizeof(method_t) <= sizeof(method_), "member-function pointer too large");
    using typed_emit_t = void (*)(const _opaque_connection*, Args...);
    typed_emit_t typed = &_opaque_connection::emitter<Dest, Args...>;
    emit_ = reinterpret_cast<emit_t>(typed);
    std::memset(method_, 0, sizeof(method_));
    std::memcpy(method_, &method, sizeof(method_t));
  }

  has_slots_interface* getdest() const { return dest_; }

  _opaque_connection duplicate(has_slots_interface* new_dest) const {
    _opaque_connection copy = *this;
    copy.dest_ = new_dest;
    return copy;
  }

  // Args must be exactly the argument list the connection was made with.
  template <typename... Args>
  void emit(Args... args) const {
    using typed_emit_t = void (*)(const _opaque_connection*, Args...);
    reinterpret_cast<typed_emit_t>(emit_)(this, std::forward<Args>(args)...);
  }

 private:
  template <typename Dest, typename... Args>
  static void emitter(const _opaque_connection* self, Args... args) {
    using method_t = void (Dest::*)(Args...);
    method_t method;
    std::memcpy(&method, self->method_, sizeof(method_t));
    // The slot may end this very connection; nothing of `self` is read after the call.
    Dest* object = static_cast<Dest*>(self->dest_);
    (object->*method)(std::forward<Args>(args)...);
  }
};

template <class mt_policy>
class _signal_base : public _signal_base_interface, public mt_policy {
 protected:
  using connections_list = std::list<_opaque_connection>;

  _signal_base()
      : _signal_base_interface(&_signal_base::do_slot_disconnect, &_signal_base::do_slot_duplicate),
        current_(connections_.end()) {}

  ~_signal_base() { disconnect_all(); }

 public:
  // A copy would leave the slot objects' records pointing at the original only.
  _signal_base(const _signal_base&) = delete;
  _signal_base& operator=(const _signal_base&) = delete;

  bool is_empty() {
    lock_block<mt_policy> lock(this);
    return connections_.empty();
  }

  void disconnect_all() {
    lock_block<mt_policy> lock(this);
    while (!connections_.empty()) {
      has_slots_interface* dest = connections_.front().getdest();
      connections_.pop_front();
      dest->signal_disconnect(static_cast<_signal_base_interface*>(this));
    }
    // An emission under way stops after the slot that is running.
    current_ = connections_.end();
  }

 private:
  static void do_slot_disconnect(_signal_base_interface* p, has_slots_interface* slot) {
    _signal_base* const self = static_cast<_signal_base*>(p);
    lock_block<mt_policy> lock(self);
    auto it = self->connections_.begin();
    while (it != self->connections_.end()) {
      auto next = std::next(it);
      if (it->getdest() == slot) {
        // Keep a running emission on the next connection that still exists.
        if (self->current_ == it) {
          self->current_ = next;
        }
        self->connections_.erase(it);
      }
      it = next;
    }
  }

  static void do_slot_duplicate(_signal_base_interface* p,
                                const has_slots_interface* old_slot,
                                has_slots_interface* new_slot) {
    _signal_base* const self = static_cast<_signal_base*>(p);
    lock_block<mt_policy> lock(self);
    // Only the connections present now; the copies appended below are not revisited.
    size_t remaining = self->connections_.size();
    bool added = false;
    for (auto it = self->connections_.begin(); remaining > 0; ++it, --remaining) {
      if (it->getdest() == old_slot) {
        self->connections_.push_back(it->duplicate(new_slot));
        added = true;
      }
    }
    if (added) {
      new_slot->signal_connect(static_cast<_signal_base_interface*>(self));
    }
  }

 protected:
  connections_list connections_;
  // During an emission the next connection to call; otherwise connections_.end().
  typename connections_list::iterator current_;
};

namespace internal {
// Keeps the slot object's pointer out of template deduction, so a slot inherited
// from a base class can be connected with a pointer to the derived object.
template <typename T>
struct identity {
  using type = T;
};
}  // namespace internal

template <class mt_policy, typename... Args>
class signal_with_thread_policy : public _signal_base<mt_policy> {
 private:
  using base = _signal_base<mt_policy>;

 public:
  signal_with_thread_policy() = default;

  // Connecting the same pair twice makes the slot run twice per emission.
  template <class Dest>
  void connect(typename internal::identity<Dest>::type* object, void (Dest::*method)(Args...)) {
    static_assert(std::is_base_of<has_slots_interface, Dest>::value,
                  "a slot must be a member of a class derived from sigslot::has_slots");
    lock_block<mt_policy> lock(this);
    this->connections_.push_back(_opaque_connection(object, method));
    has_slots_interface* dest = object;
    dest->signal_connect(static_cast<_signal_base_interface*>(this));
  }

  // The cursor lives in the signal and moves before each call, so a slot may end
  // connections of this signal, its own included, while it runs.
  void emit(Args... args) {
    lock_block<mt_policy> lock(this);
    this->current_ = this->connections_.begin();
    while (this->current_ != this->connections_.end()) {
      const _opaque_connection conn = *this->current_;
      ++this->current_;
      conn.template emit<Args...>(args...);
    }
  }

  void operator()(Args... args) { emit(args...); }
};

template <class mt_policy = single_threaded>
class has_slots : public has_slots_interface, public mt_policy {
 private:
  using sender_set = std::set<_signal_base_interface*>;

 public:
  has_slots()
      : has_slots_interface(&has_slots::do_signal_connect,
                            &has_slots::do_signal_disconnect,
                            &has_slots::do_disconnect_all) {}

  // Copying a slot object would have to copy its connections onto the copy, whose
  // dynamic type the signals cannot check; slot objects are never copied.
  has_slots(const has_slots&) = delete;
  has_slots& operator=(const has_slots&) = delete;

  ~has_slots() override { this->disconnect_all(); }

 private:
  static void do_signal_connect(has_slots_interface* p, _signal_base_interface* sender) {
    has_slots* const self = static_cast<has_slots*>(p);
    lock_block<mt_policy> lock(self);
    self->senders_.insert(sender);
  }

  static void do_signal_disconnect(has_slots_interface* p, _signal_base_interface* sender) {
    has_slots* const self = static_cast<has_slots*>(p);
    lock_block<mt_policy> lock(self);
    self->senders_.erase(sender);
  }

  static void do_disconnect_all(has_slots_interface* p) {
    has_slots* const self = static_cast<has_slots*>(p);
    lock_block<mt_policy> lock(self);
    while (!self->senders_.empty()) {
      sender_set senders;
      senders.swap(self->senders_);
      for (_signal_base_interface* sender : senders) {
        sender->slot_disconnect(p);
      }
    }
  }

  // One entry per connected signal, however many connections it holds to us.
  sender_set senders_;
};

// A single-threaded signal, what nearly every signal of the library is.
template <typename... Args>
using signal = signal_with_thread_policy<single_threaded, Args...>;

}  // namespace sigslot

#endif  // RTC_BASE_SIGSLOT_H_
