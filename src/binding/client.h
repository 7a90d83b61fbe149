// _Client: one blocking connection, shared by any number of Python threads. Its library calls are
// serialised by `inner_mutex`; `discard()` cuts the connection through a duplicated socket handle
// without waiting for a running call. The class is split by concern: client.cpp (construction,
// life cycle and the class's one method table), client_query.cpp (the query methods, buffered and
// streamed) and client_session.cpp (inserts, session settings and metadata); this header is what
// they share.
#pragma once

#include <Python.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "binding/errors.h"
#include "binding/module_state.h"
#include "binding/py_ref.h"
#include "tarnwick/base/result.h"
#include "tarnwick/sync/client.h"
#include "tarnwick/sync/socket.h"

namespace tarnwick::binding::client {

inline constexpr const char* kDiscardedText =
    "client was discarded: the connection is closed and cannot be reused";

// The native state of one _Client. Nothing here is a Python object, so all of it may be used
// with the GIL released.
struct ClientCore {
  std::string address;  // the constructor's `addr`, exactly as given
  std::string user;
  std::timed_mutex inner_mutex;
  std::optional<sync::SyncClient> inner;  // emptied by discard() when no call holds the lock
  std::mutex shutdown_mutex;              // never held together with inner_mutex
  std::optional<sync::Socket> shutdown;   // a duplicate of the connection's socket
  std::atomic<bool> discarded{false};
  // The thread whose call holds inner_mutex. A signal handler run while that call waits runs in
  // the same thread, and must be refused rather than wait for the lock it is holding.
  std::atomic<std::thread::id> holder{};
};

struct ClientObject {
  PyObject_HEAD ClientCore* core;
};

inline ClientCore& core_of(PyObject* self) {
  return *reinterpret_cast<ClientObject*>(self)->core;
}

inline DeferredError discarded_error() {
  return {PyExc_RuntimeError, kDiscardedText};
}

// The part of a method call that runs without the GIL: the discarded test, the client's lock and
// the library operation `op(SyncClient&) -> base::Status`, whose error is mapped under the lock.
template <class Op>
std::optional<DeferredError> call_locked(ClientCore& core, Op& op) {
  if (core.discarded.load(std::memory_order_acquire)) return discarded_error();
  const std::thread::id self = std::this_thread::get_id();
  if (core.holder.load(std::memory_order_relaxed) == self) {
    return DeferredError{PyExc_RuntimeError,
                         "the client is busy with a call that a signal handler interrupted; it "
                         "cannot be used from inside that handler"};
  }
  // Another thread's call may hold the lock for long: the wait for it is cut into slices too, so
  // a signal handler that raises ends it.
  while (!core.inner_mutex.try_lock_for(sync::kInterruptCheckInterval)) {
    // The caller raises the handler's exception in place of this text.
    if (sync::interrupt_requested()) return DeferredError{PyExc_RuntimeError, "interrupted"};
  }
  std::lock_guard<std::timed_mutex> lock(core.inner_mutex, std::adopt_lock);
  core.holder.store(self, std::memory_order_relaxed);
  struct Release {
    ClientCore& core;
    ~Release() { core.holder.store(std::thread::id(), std::memory_order_relaxed); }
  } release{core};
  if (!core.inner) return discarded_error();
  base::Status status = op(*core.inner);
  if (!status.ok()) return to_py_err(status.error());
  return std::nullopt;
}

// One library call in the pattern every I/O method follows: arguments are converted before this
// (with the GIL), the GIL is released around the discarded test, the lock and the call, and any
// failure is raised once the GIL is back. False with the Python error set on failure. `op` must
// not touch a Python object.
// A signal handler that raises while the call waits ends it with the handler's exception; the
// exchange it cut short leaves the connection broken, so no later call reads its rest.
template <class Op>
bool run_locked(PyObject* self, Op&& op) {
  ClientCore& core = core_of(self);
  std::optional<std::optional<DeferredError>> failure =
      run_blocking([&] { return call_locked(core, op); });
  if (!failure) return false;  // a signal handler raised
  if (!*failure) return true;
  (*failure)->raise();
  return false;
}

// The methods of _Client; client.cpp lists them in the class's method table.
using FastArgs = PyObject* const*;

// client_query.cpp: the buffered query methods and query_stream.
PyObject* client_query(PyObject* self, FastArgs args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* client_query_tuples(PyObject* self, FastArgs args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* client_query_columns(PyObject* self, FastArgs args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* client_query_blocks(PyObject* self, FastArgs args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* client_execute(PyObject* self, FastArgs args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* client_query_stream(PyObject* self, FastArgs args, Py_ssize_t nargs, PyObject* kwnames);

// client_session.cpp: inserts, ping, session settings, server information, table metadata.
PyObject* client_insert(PyObject* self, FastArgs args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* client_begin_insert_stream(PyObject* self, FastArgs args, Py_ssize_t nargs,
                                     PyObject* kwnames);
PyObject* client_send_data(PyObject* self, FastArgs args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* client_end_insert_stream(PyObject* self);
PyObject* client_ping(PyObject* self);
PyObject* client_set_setting(PyObject* self, FastArgs args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* client_server_info(PyObject* self);
PyObject* client_schema_for_table(PyObject* self, FastArgs args, Py_ssize_t nargs,
                                  PyObject* kwnames);
PyObject* client_refresh_schema_for_table(PyObject* self, FastArgs args, Py_ssize_t nargs,
                                          PyObject* kwnames);
PyObject* client_clear_schema_cache(PyObject* self);
PyObject* client_table_status(PyObject* self, FastArgs args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* client_tables_status(PyObject* self, FastArgs args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace tarnwick::binding::client

namespace tarnwick::binding {

// What a reader thread runs at set points besides its reading; the tests' extension uses it to
// widen the windows between the reader's steps. Empty for every stream the module starts.
struct ReaderHooks {
  // Runs on the reader thread right after it has published the stream's last message (its end
  // or its error). Touches no Python object.
  std::function<void()> after_last_message;
};

// query_stream.cpp: starts the reader thread over a started stream and returns the new
// _QueryStream; raises on failure.
PyObject* start_query_stream(const ModuleState& state, sync::QueryStream stream,
                             ReaderHooks hooks = {});

}  // namespace tarnwick::binding
