// _QueryStream and _Client.query_stream: a streamed query read by a background reader thread.
//
// The reader thread ("ch-query-stream") owns the library's QueryStream, holds no Python object and
// never takes the GIL. It sends every decoded block with rows, then the end of the response or an
// error's display text, through a bounded channel of 32 messages; __next__ takes them out with the
// GIL released; the channel is also bounded by the bytes of the blocks it holds. Two atomic flags
// are shared with the thread: cancel (set by cancel() and discard(), tested by the reader before
// each read) and finished (the reader left its loop). `eos` is the state of the stream's link with
// its client: Ended once the response reached EndOfStream or a server exception, which the reader's
// end and a discard decide between by one compare-and-exchange.
#include <pthread.h>

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <system_error>
#include <thread>

#include "binding/client.h"
#include "binding/conversion.h"
#include "binding/entry.h"
#include "binding/errors.h"
#include "binding/objects.h"
#include "tarnwick/protocol/block_reader.h"

namespace tarnwick::binding {

namespace {

constexpr size_t kChannelCapacity = 32;
// The most bytes of blocks (as protocol::block_cost counts them) that the channel holds while the
// consumer has not taken them: the reader's read-ahead. One block is always let in, whatever its
// size, so a block larger than this still passes, alone. The reader outpaces any consumer that
// builds Python values, so the channel sits at this bound: 16 MiB holds several blocks of a
// server's usual 65536 rows and keeps a stream of millions of rows lighter than the rows a
// consumer builds from it.
constexpr uint64_t kChannelByteLimit = uint64_t{16} << 20;
constexpr const char* kReaderThreadName = "ch-query-stream";

struct StreamMessage {
  enum Kind : uint8_t { Block, End, Error } kind;
  protocol::Block block;       // Block: a block with rows
  std::string text;            // Error: the library error's display text
  bool out_of_memory = false;  // Error: memory ran out (MemoryError rather than RuntimeError)
  uint64_t bytes = 0;          // Block: its cost, as the channel's byte bound counts it
};

// A bounded first-in first-out channel with one sending and one receiving end.
class Channel {
 public:
  // Waits while the channel is full. False, dropping the message, once the receiver is gone.
  bool send(StreamMessage message) {
    std::unique_lock lock(mutex_);
    not_full_.wait(lock, [&] {
      const bool room = queue_.size() < kChannelCapacity &&
                        (queue_.empty() || bytes_ + message.bytes <= kChannelByteLimit);
      return room || receiver_gone_;
    });
    if (receiver_gone_) return false;
    bytes_ += message.bytes;
    queue_.push_back(std::move(message));
    not_empty_.notify_one();
    return true;
  }
  // Waits while the channel is empty, asking the thread's interrupt hook between slices of the
  // wait. Nothing once the sender is gone and the queue is empty, or once the hook asked to stop.
  std::optional<StreamMessage> receive() {
    std::unique_lock lock(mutex_);
    auto ready = [&] { return !queue_.empty() || sender_gone_; };
    while (!not_empty_.wait_for(lock, sync::kInterruptCheckInterval, ready)) {
      lock.unlock();  // the hook may take the GIL: never while holding the channel
      const bool stop = sync::interrupt_requested();
      lock.lock();
      if (stop) return std::nullopt;
    }
    if (queue_.empty()) return std::nullopt;
    StreamMessage message = std::move(queue_.front());
    queue_.pop_front();
    bytes_ -= message.bytes;
    not_full_.notify_one();
    return message;
  }
  void close_sender() {
    std::lock_guard lock(mutex_);
    sender_gone_ = true;
    not_empty_.notify_all();
  }
  void close_receiver() {
    std::lock_guard lock(mutex_);
    receiver_gone_ = true;
    queue_.clear();
    bytes_ = 0;
    not_full_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable not_empty_;
  std::condition_variable not_full_;
  std::deque<StreamMessage> queue_;
  uint64_t bytes_ = 0;  // the cost of the blocks queued
  bool sender_gone_ = false;
  bool receiver_gone_ = false;
};

// What the reader thread and the Python object share.
struct Shared {
  Channel channel;
  std::atomic<bool> cancel{false};
  std::atomic<bool> finished{false};
};

// The receiving end: one __next__ at a time waits on it; dropping it tells the reader.
struct Receiver {
  explicit Receiver(std::shared_ptr<Shared> s) : shared(std::move(s)) {}
  ~Receiver() { shared->channel.close_receiver(); }
  std::mutex mutex;  // held by a waiting __next__ for its whole wait
  std::shared_ptr<Shared> shared;
};

struct StreamCore {
  std::shared_ptr<Receiver> receiver;
  std::shared_ptr<Shared> shared;
  std::shared_ptr<sync::StreamLink> link;
  std::mutex shutdown_mutex;
  std::optional<sync::Socket> shutdown;  // a duplicate of the stream's socket
};

struct QueryStreamObject {
  PyObject_HEAD StreamCore* core;
};

StreamCore& core_of(PyObject* self) {
  return *reinterpret_cast<QueryStreamObject*>(self)->core;
}

// The reader loop; runs without the GIL and touches no Python object.
void read_stream(std::optional<sync::QueryStream> stream, const std::shared_ptr<Shared>& shared,
                 const ReaderHooks& hooks) {
  // The response's end or the error that ended the reading: published only once the stream is
  // gone, so that whoever takes it finds the client's connection settled (idle after a terminal
  // packet, to be shut down after anything else) and never still being read.
  std::optional<StreamMessage> last;
  auto fail = [&](std::string text, bool out_of_memory = false) {
    last.emplace(StreamMessage{StreamMessage::Error, {}, std::move(text), out_of_memory});
  };
  try {
    while (!shared->cancel.load(std::memory_order_relaxed)) {
      auto next = stream->read_next_block();
      if (!next.ok()) {
        fail(next.error().to_string(), next.error().kind() == base::ErrorKind::OutOfMemory);
        break;
      }
      if (!next->has_value()) {
        last.emplace(StreamMessage{StreamMessage::End, {}, {}});
        break;
      }
      if ((*next)->rows == 0) continue;  // the header block and other empty blocks
      const uint64_t cost = protocol::block_cost(**next);
      if (!shared->channel.send({StreamMessage::Block, std::move(**next), {}, false, cost})) break;
    }
  } catch (const std::bad_alloc&) {
    fail("query stream reader failed: out of memory", true);
  } catch (const std::exception& e) {
    fail(std::string("query stream reader failed: ") + e.what());
  }
  stream.reset();  // closes its socket handle; a response left half-read marks the client
  if (last) {
    shared->channel.send(std::move(*last));
    if (hooks.after_last_message) hooks.after_last_message();
  }
  shared->channel.close_sender();
  shared->finished.store(true, std::memory_order_release);
}

// Whether the response reached its terminal packet (and so the connection is its client's again).
bool ended(const StreamCore& core) {
  return core.link->state() == sync::StreamLink::State::Ended;
}

// Sets the cancel flag and, unless the response has ended, abandons the stream and shuts its
// connection down (once). The reader's end and the discard race for the link: when the end came
// first the connection is no longer the stream's (its client may be running another exchange on
// it) and is left alone; otherwise the end finds the stream abandoned and `eos` stays false.
void discard_core(StreamCore& core) {
  core.shared->cancel.store(true, std::memory_order_relaxed);
  std::optional<sync::Socket> handle;
  {
    std::lock_guard lock(core.shutdown_mutex);
    handle.swap(core.shutdown);
  }
  if (core.link->abandon() && handle) handle->shutdown_both();
}

PyObject* stream_next(PyObject* self) {
  std::shared_ptr<Receiver> receiver = core_of(self).receiver;
  std::optional<std::optional<StreamMessage>> received = run_blocking([&] {
    std::lock_guard lock(receiver->mutex);
    return receiver->shared->channel.receive();
  });
  if (!received) {
    // A signal handler raised: the stream ends here, its connection is shut down.
    discard_core(core_of(self));
    return nullptr;
  }
  std::optional<StreamMessage>& message = *received;
  if (!message || message->kind == StreamMessage::End) return nullptr;  // StopIteration
  if (message->kind == StreamMessage::Error) {
    return raise(message->out_of_memory ? PyExc_MemoryError : PyExc_RuntimeError, message->text);
  }
  return conversion::make_block(state_of_self(self), std::move(message->block)).release();
}

PyObject* stream_iter(PyObject* self) {
  return Py_NewRef(self);
}

PyObject* stream_cancel(PyObject* self) {
  core_of(self).shared->cancel.store(true, std::memory_order_relaxed);
  Py_RETURN_NONE;
}

PyObject* stream_discard(PyObject* self) {
  discard_core(core_of(self));
  Py_RETURN_NONE;
}

PyObject* stream_eos(PyObject* self, void*) {
  return PyBool_FromLong(ended(core_of(self)));
}

PyObject* stream_finished(PyObject* self, void*) {
  return PyBool_FromLong(core_of(self).shared->finished.load(std::memory_order_acquire));
}

PyObject* stream_repr(PyObject*) {
  return py_text("<_QueryStream>").release();
}

void stream_dealloc(PyObject* self) {
  StreamCore* core = reinterpret_cast<QueryStreamObject*>(self)->core;
  if (core != nullptr) {
    discard_core(*core);  // a response not read to its terminal packet is not left behind
    delete core;
  }
  free_instance(self);
}

PyMethodDef stream_methods[] = {
    method<stream_cancel>(
        "cancel",
        "cancel($self)\n--\n\nCancel the stream from Python.\n"
        "Sets the atomic flag \xe2\x80\x94 reader thread exits on next check.\n"
        "This does not unblock a reader stuck in a blocking TCP read; `discard` (or discarding\n"
        "the owning client) does."),
    method<stream_discard>(
        "discard",
        "discard($self)\n--\n\nKill the stream's connection from any thread. Sets the cancel flag\n"
        "and shuts the socket down, so a reader blocked on the network exits\n"
        "deterministically and the server stops the query. `eos` stays\n"
        "`false`: the response was not fully consumed, so the owning client\n"
        "must be discarded, not recycled. Once `eos` is true the connection is\n"
        "the client's again and is left alone: only the cancel flag is set.\n"
        "Idempotent."),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef stream_getset[] = {
    {"eos", entry<stream_eos>, nullptr,
     "Whether the response reached a terminal packet (EndOfStream or a\n"
     "server exception). Only then is the owning connection clean.",
     nullptr},
    {"finished", entry<stream_finished>, nullptr,
     "Whether the reader thread exited (end, error, cancel, or drop).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot stream_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(stream_dealloc)},
    {Py_tp_iter, reinterpret_cast<void*>(entry<stream_iter>)},
    {Py_tp_iternext, reinterpret_cast<void*>(entry<stream_next>)},
    {Py_tp_repr, reinterpret_cast<void*>(entry<stream_repr>)},
    {Py_tp_methods, stream_methods},
    {Py_tp_getset, stream_getset},
    {Py_tp_doc,
     const_cast<char*>(
         "Blocks of a streamed query, produced by a background reader thread.\n\n"
         "Python `__next__` waits on the receiving end of a bounded channel of 32 messages with\n"
         "the GIL released; the reader thread reads the TCP socket and decodes blocks without\n"
         "the GIL. The receiver sits behind a mutex held only around the wait. The class is\n"
         "frozen, so `discard()` can be called from any thread while another thread waits in\n"
         "`__next__`.")},
    {0, nullptr},
};

PyType_Spec stream_spec = {
    "tarnwick._native._QueryStream",
    sizeof(QueryStreamObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    stream_slots,
};

}  // namespace

PyObject* start_query_stream(const ModuleState& state, sync::QueryStream stream,
                             ReaderHooks hooks) {
  auto core = std::make_unique<StreamCore>();
  core->shared = std::make_shared<Shared>();
  core->receiver = std::make_shared<Receiver>(core->shared);
  core->link = stream.link();
  base::Result<sync::Socket> handle = stream.shutdown_handle();
  if (handle) core->shutdown.emplace(std::move(handle).value());

  try {
    std::thread([stream = std::optional<sync::QueryStream>(std::move(stream)),
                 shared = core->shared, hooks = std::move(hooks)]() mutable {
      pthread_setname_np(pthread_self(), kReaderThreadName);
      read_stream(std::move(stream), shared, hooks);
    }).detach();
  } catch (const std::system_error& e) {
    // The stream went with the thread's state; its response stays unread on the connection.
    return raise(PyExc_RuntimeError,
                 std::string("failed to spawn query stream reader thread: ") + e.code().message());
  }
  PyObject* self = alloc_instance(state.query_stream_type);
  if (self == nullptr) {
    discard_core(*core);  // as dropping the object would
    return nullptr;
  }
  reinterpret_cast<QueryStreamObject*>(self)->core = core.release();
  return self;
}

int add_query_stream_type(PyObject* module) {
  return add_type(module, &stream_spec, &state_of_module(module)->query_stream_type);
}

}  // namespace tarnwick::binding
