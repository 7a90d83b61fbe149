// _Client construction and life cycle: the constructor's arguments become a ClientConfig, the
// connection is made with the GIL released, and discard() cuts it from any thread.
#include "binding/client.h"

#include <memory>
#include <vector>

#include "binding/arguments.h"
#include "binding/module_state.h"
#include "binding/objects.h"
#include "tarnwick/base/format.h"
#include "tarnwick/compression/frame.h"
#include "tarnwick/sync/config.h"
#include "tarnwick/sync/tls.h"

namespace tarnwick::binding::client {

using base::cat;
using base::Error;
using base::Result;

namespace {

// Holds the GIL for its lifetime from any thread, attached or not.
class GilHold {
 public:
  GilHold() : state_(PyGILState_Ensure()) {}
  GilHold(const GilHold&) = delete;
  GilHold& operator=(const GilHold&) = delete;
  ~GilHold() { PyGILState_Release(state_); }

 private:
  PyGILState_STATE state_;
};

// The Python signing callable as the library's signer sees it. The pointer is borrowed: the
// constructor holds the reference, sets it before connecting and clears it after, so the library's
// copies of the signer (which live as long as the connection) never own a Python object and can
// be dropped anywhere.
struct SignerLink {
  PyObject* callable = nullptr;  // read and written only with the GIL held
};

Result<std::string> call_signer(const SignerLink& link, std::span<const uint8_t> message) {
  GilHold gil;
  if (link.callable == nullptr) return Error::auth("SSH signer is no longer available");
  PyRef data = PyRef::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(message.data()),
                                                      static_cast<Py_ssize_t>(message.size())));
  PyRef signature;
  if (data)
    signature = PyRef::steal(PyObject_CallFunctionObjArgs(link.callable, data.get(), nullptr));
  if (!signature) return Error::auth(take_py_error_text());
  if (!PyUnicode_Check(signature.get())) {
    return Error::auth(arguments::conversion_error_text(signature.get(), "str"));
  }
  Py_ssize_t n = 0;
  const char* p = PyUnicode_AsUTF8AndSize(signature.get(), &n);
  if (p == nullptr) return Error::auth(take_py_error_text());
  return std::string(p, static_cast<size_t>(n));
}

// The constructor's arguments in their native forms, extracted in parameter order.
struct ClientArguments {
  std::string addr;
  std::string user = "default";
  std::string password;
  std::string database;
  PyObject* settings = nullptr;     // borrowed: a dict or null
  PyObject* compression = nullptr;  // borrowed: a str or null
  double connect_timeout = 10.0;
  double query_timeout = 300.0;
  uint64_t max_response_size = 268435456;
  bool tls = false;
  std::optional<std::string> tls_domain;
  std::optional<std::string> tls_ca_file;
  std::optional<std::string> tls_client_cert;
  std::optional<std::string> tls_client_key;
  PyObject* ssh_signer = nullptr;  // borrowed: any object, or null
  bool validate_schema = false;

  ~ClientArguments() { sync::wipe_string(password); }
};

bool parse_arguments(PyObject* args, PyObject* kwargs, ClientArguments& out) {
  static const char* kwlist[] = {"addr",
                                 "user",
                                 "password",
                                 "database",
                                 "settings",
                                 "compression",
                                 "connect_timeout",
                                 "query_timeout",
                                 "max_response_size",
                                 "tls",
                                 "tls_domain",
                                 "tls_ca_file",
                                 "tls_client_cert",
                                 "tls_client_key",
                                 "ssh_signer",
                                 "validate_schema",
                                 nullptr};
  PyObject* o[16] = {};
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|OOOOOOOOOOOOOOO:_Client",
                                   const_cast<char**>(kwlist), &o[0], &o[1], &o[2], &o[3], &o[4],
                                   &o[5], &o[6], &o[7], &o[8], &o[9], &o[10], &o[11], &o[12],
                                   &o[13], &o[14], &o[15])) {
    return false;
  }
  using namespace arguments;
  auto given = [&](int i) { return o[i] != nullptr; };
  auto not_none = [&](int i) { return o[i] != nullptr && o[i] != Py_None; };
  if (!str_argument(o[0], "addr", out.addr)) return false;
  if (given(1) && !str_argument(o[1], "user", out.user)) return false;
  if (given(2) && !str_argument(o[2], "password", out.password)) return false;
  if (given(3) && !str_argument(o[3], "database", out.database)) return false;
  if (!optional_dict_argument(o[4], "settings")) return false;
  if (not_none(4)) out.settings = o[4];
  if (not_none(5)) {
    if (!PyUnicode_Check(o[5])) {
      raise_arg_type_error("compression", o[5], "str");
      return false;
    }
    out.compression = o[5];
  }
  if (given(6) && !float_argument(o[6], "connect_timeout", out.connect_timeout)) return false;
  if (given(7) && !float_argument(o[7], "query_timeout", out.query_timeout)) return false;
  if (given(8) && !u64_argument(o[8], "max_response_size", out.max_response_size)) return false;
  if (given(9) && !bool_argument(o[9], "tls", out.tls)) return false;
  if (!optional_str_argument(o[10], "tls_domain", out.tls_domain)) return false;
  if (!optional_str_argument(o[11], "tls_ca_file", out.tls_ca_file)) return false;
  if (!optional_str_argument(o[12], "tls_client_cert", out.tls_client_cert)) return false;
  if (!optional_str_argument(o[13], "tls_client_key", out.tls_client_key)) return false;
  if (not_none(14)) out.ssh_signer = o[14];
  return !given(15) || bool_argument(o[15], "validate_schema", out.validate_schema);
}

bool apply_compression(PyObject* name, sync::ClientConfig& config) {
  if (name == nullptr) return true;
  PyRef lower = PyRef::steal(PyObject_CallMethod(name, "lower", nullptr));
  std::string text;
  if (!lower || !arguments::str_argument(lower.get(), "compression", text)) return false;
  if (text == "lz4") {
    config.compression = compression::kMethodLz4;
  } else if (text == "zstd") {
    config.compression = compression::kMethodZstd;
  } else {
    raise(PyExc_ValueError, cat("unknown compression method: '", text, "'. Use 'lz4' or 'zstd'."));
    return false;
  }
  return true;
}

// Session settings of the constructor: str keys and str values only.
bool apply_settings(PyObject* settings, sync::ClientConfig& config) {
  if (settings == nullptr) return true;
  PyRef items = PyRef::steal(PyDict_Items(settings));
  if (!items) return false;
  for (Py_ssize_t i = 0; i < PyList_Size(items.get()); ++i) {
    PyObject* item = PyList_GetItem(items.get(), i);
    PyObject* key = PyTuple_GetItem(item, 0);
    PyObject* value = PyTuple_GetItem(item, 1);
    const char* failed = !PyUnicode_Check(key)     ? "setting key: "
                         : !PyUnicode_Check(value) ? "setting value: "
                                                   : nullptr;
    if (failed != nullptr) {
      PyObject* culprit = PyUnicode_Check(key) ? value : key;
      raise(PyExc_TypeError, cat(failed, arguments::conversion_error_text(culprit, "str")));
      return false;
    }
    std::string name;
    std::string text;
    if (!arguments::str_argument(key, "setting key", name) ||
        !arguments::str_argument(value, "setting value", text)) {
      return false;
    }
    config.settings.insert_or_assign(std::move(name), std::move(text));
  }
  return true;
}

// The TLS configuration: unreadable files are OSError, bad material ValueError, each with the
// library's whole text.
bool apply_tls(const ClientArguments& a, sync::ClientConfig& config) {
  Result<std::shared_ptr<const sync::TlsConfig>> tls =
      sync::TlsConfig::build(a.tls_ca_file, a.tls_client_cert, a.tls_client_key);
  if (!tls) {
    const Error& e = tls.error();
    if (e.kind() == base::ErrorKind::Io) {
      raise(PyExc_OSError, e.io_error().to_string());
    } else if (e.kind() == base::ErrorKind::Config) {
      raise(PyExc_ValueError, e.message());
    } else {
      raise(e);
    }
    return false;
  }
  std::string domain = a.tls_domain ? *a.tls_domain : config.host;
  config = std::move(config).with_tls(std::move(tls).value(), std::move(domain));
  return true;
}

PyObject* client_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  ClientArguments a;
  if (!parse_arguments(args, kwargs, a)) return nullptr;

  sync::ClientConfig config;
  config.max_response_size = a.max_response_size;
  config.user = a.user;
  config.password = a.password;
  config.database = a.database;
  if (!arguments::seconds_to_duration(a.connect_timeout, config.connect_timeout) ||
      !arguments::seconds_to_duration(a.query_timeout, config.query_timeout)) {
    return nullptr;
  }
  arguments::split_address(a.addr, config.host, config.port);
  if (!apply_compression(a.compression, config) || !apply_settings(a.settings, config)) {
    return nullptr;
  }
  config.validate_schema = a.validate_schema;
  if (a.tls && !apply_tls(a, config)) return nullptr;

  // The callable is borrowed by the signer only while this constructor runs (see SignerLink).
  PyRef signer_ref = PyRef::borrow(a.ssh_signer);
  auto link = std::make_shared<SignerLink>();
  if (a.ssh_signer != nullptr) {
    sync::wipe_string(config.password);
    link->callable = a.ssh_signer;
    config.ssh_signer = std::make_shared<const sync::SshSigner>(
        [link](std::span<const uint8_t> message) { return call_signer(*link, message); });
  }

  std::optional<Result<sync::SyncClient>> connected;
  {
    GilRelease nogil;
    connected.emplace(sync::SyncClient::connect_with_config(std::move(config)));
  }
  link->callable = nullptr;
  if (!connected->ok()) return raise(connected->error());

  auto core = std::make_unique<ClientCore>();
  core->address = a.addr;
  core->user = a.user;
  core->inner.emplace(std::move(**connected));
  Result<sync::Socket> handle = core->inner->socket_shutdown_handle();
  if (handle) core->shutdown.emplace(std::move(handle).value());

  PyObject* self = alloc_instance(type);
  if (self == nullptr) return nullptr;  // the connection closes with `core`
  reinterpret_cast<ClientObject*>(self)->core = core.release();
  return self;
}

void client_dealloc(PyObject* self) {
  delete reinterpret_cast<ClientObject*>(self)->core;
  free_instance(self);
}

// Marks the client discarded, shuts the socket down through the duplicated handle (which makes
// a running call's blocked read or write fail) and drops the connection unless a call holds it.
PyObject* client_discard(PyObject* self, PyObject*) {
  ClientCore& core = core_of(self);
  core.discarded.store(true, std::memory_order_seq_cst);
  std::optional<sync::Socket> handle;
  {
    std::lock_guard<std::mutex> lock(core.shutdown_mutex);
    handle.swap(core.shutdown);
  }
  if (handle) handle->shutdown_both();
  handle.reset();
  std::optional<sync::SyncClient> dropped;
  if (core.inner_mutex.try_lock()) {
    dropped.swap(core.inner);
    core.inner_mutex.unlock();
  }
  dropped.reset();
  Py_RETURN_NONE;
}

PyObject* client_get_discarded(PyObject* self, void*) {
  return PyBool_FromLong(core_of(self).discarded.load(std::memory_order_acquire));
}

PyObject* text(const std::string& s) {
  return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace");
}

PyObject* client_address(PyObject* self, PyObject*) {
  return text(core_of(self).address);
}

PyObject* client_repr(PyObject* self) {
  return guarded([&] {
    const ClientCore& core = core_of(self);
    return text(cat("<_Client server=", core.address, " user=", core.user, ">"));
  });
}

PyMethodDef lifecycle_methods[] = {
    {"discard", client_discard, METH_NOARGS,
     "discard($self)\n--\n\nClose the connection from any thread without waiting for a running "
     "call.\nThe running call fails; every later call raises RuntimeError."},
    {"address", client_address, METH_NOARGS,
     "address($self)\n--\n\nThe server address exactly as given to the constructor."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef client_getset[] = {
    {"discarded", client_get_discarded, nullptr, "Whether discard() was called.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// One method table made of the three files' tables; built once, it lives as long as the process
// (the type objects keep pointers into it).
PyMethodDef* all_methods() {
  static std::vector<PyMethodDef>* table = [] {
    auto* t = new std::vector<PyMethodDef>();
    for (PyMethodDef* part : {query_methods, stream_methods, session_methods, lifecycle_methods}) {
      for (PyMethodDef* m = part; m->ml_name != nullptr; ++m) t->push_back(*m);
    }
    t->push_back({nullptr, nullptr, 0, nullptr});
    return t;
  }();
  return table->data();
}

constexpr const char* kClientDoc =
    "_Client(addr, user=..., password=..., database=..., settings=None, compression=None, "
    "connect_timeout=10.0, query_timeout=300.0, max_response_size=268435456, tls=False, "
    "tls_domain=None, tls_ca_file=None, tls_client_cert=None, tls_client_key=None, "
    "ssh_signer=None, validate_schema=False)\n--\n\n"
    "Synchronous ClickHouse client exposed to Python.\n"
    "All I/O-bound methods release the GIL during blocking operations.\n"
    "Use `Client` (sync) or `AsyncClient` (async, one forwarder thread) from Python.\n"
    "\n"
    "Calls from several threads are serialised by one mutex per client: each call holds it for\n"
    "its whole exchange with the server, so calls on one client run one at a time.\n"
    "\n"
    "`discard()` never waits for an in-flight query: it shuts the connection's socket down\n"
    "through a duplicated handle, which aborts the query's blocking I/O and makes the server\n"
    "stop the query.";

PyObject* client_new_entry(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&] { return client_new(type, args, kwargs); });
}

}  // namespace

int add_client_type(PyObject* module) {
  static PyType_Slot slots[] = {
      {Py_tp_new, reinterpret_cast<void*>(client_new_entry)},
      {Py_tp_dealloc, reinterpret_cast<void*>(client_dealloc)},
      {Py_tp_repr, reinterpret_cast<void*>(client_repr)},
      {Py_tp_methods, all_methods()},
      {Py_tp_getset, client_getset},
      {Py_tp_doc, const_cast<char*>(kClientDoc)},
      {0, nullptr},
  };
  static PyType_Spec spec = {
      "tarnwick._native._Client",
      sizeof(ClientObject),
      0,
      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
      slots,
  };
  return add_type(module, &spec, &state_of_module(module)->client_type);
}

}  // namespace tarnwick::binding::client
