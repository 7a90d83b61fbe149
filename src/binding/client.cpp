// _Client construction and life cycle: the constructor's arguments become a ClientConfig, the
// connection is made with the GIL released, and discard() cuts it from any thread.
#include "binding/client.h"

#include <memory>

#include "binding/arguments.h"
#include "binding/entry.h"
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

// The Python signing callable as the library's signer sees it. The pointer is borrowed: the
// constructor holds the reference, sets it before connecting and clears it after, so the library's
// copies of the signer (which live as long as the connection) never own a Python object and can
// be dropped anywhere.
struct SignerLink {
  PyObject* callable = nullptr;  // read and written only with the GIL held
};

// The text a signing callable returned: a str, else the failure that the library turns into its
// authentication error.
Result<std::string> signature_text(PyObject* signature) {
  if (signature == nullptr) return Error::auth(take_py_error_text());
  if (!PyUnicode_Check(signature)) {
    return Error::auth(arguments::conversion_error_text(signature, "str"));
  }
  Py_ssize_t n = 0;
  const char* p = py_utf8(signature, &n);
  if (p == nullptr) return Error::auth(take_py_error_text());
  return std::string(p, static_cast<size_t>(n));
}

// Runs on the connecting thread, which let the GIL go to connect.
Result<std::string> call_signer(const SignerLink& link, std::span<const uint8_t> message) {
  GilHold gil;
  if (link.callable == nullptr) return Error::auth("SSH signer is no longer available");
  PyRef data = PyRef::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(message.data()),
                                                      static_cast<Py_ssize_t>(message.size())));
  if (!data) return Error::auth(take_py_error_text());
  PyObject* args[] = {data.get()};
  PyRef signature = py_call(link.callable, args, 1);
  return signature_text(signature.get());
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

// The constructor's parameters, in order; all may be given by position.
enum Parameter : size_t {
  kAddr,
  kUser,
  kPassword,
  kDatabase,
  kSettings,
  kCompression,
  kConnectTimeout,
  kQueryTimeout,
  kMaxResponseSize,
  kTls,
  kTlsDomain,
  kTlsCaFile,
  kTlsClientCert,
  kTlsClientKey,
  kSshSigner,
  kValidateSchema,
};
constexpr const char* kParameterNames[] = {"addr",
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
                                           "validate_schema"};
constexpr Signature kClientSignature{"_Client", kParameterNames, 1, std::size(kParameterNames)};

bool parse_arguments(PyObject* args, PyObject* kwargs, ClientArguments& out) {
  PyObject* o[std::size(kParameterNames)] = {};
  if (!bind_arguments(kClientSignature, args, kwargs, o)) return false;
  using namespace arguments;
  auto given = [&](Parameter p) { return o[p] != nullptr; };
  auto not_none = [&](Parameter p) { return o[p] != nullptr && o[p] != Py_None; };
  auto str = [&](Parameter p, std::string& to) {
    return !given(p) || str_argument(o[p], kParameterNames[p], to);
  };
  auto optional_str = [&](Parameter p, std::optional<std::string>& to) {
    return optional_str_argument(o[p], kParameterNames[p], to);
  };
  auto boolean = [&](Parameter p, bool& to) {
    return !given(p) || bool_argument(o[p], kParameterNames[p], to);
  };
  auto seconds = [&](Parameter p, double& to) {
    return !given(p) || float_argument(o[p], kParameterNames[p], to);
  };
  if (!str(kAddr, out.addr) || !str(kUser, out.user) || !str(kPassword, out.password) ||
      !str(kDatabase, out.database) || !optional_dict_argument(o[kSettings], "settings")) {
    return false;
  }
  if (not_none(kSettings)) out.settings = o[kSettings];
  if (not_none(kCompression)) {
    if (!PyUnicode_Check(o[kCompression])) {
      raise_arg_type_error("compression", o[kCompression], "str");
      return false;
    }
    out.compression = o[kCompression];
  }
  if (!seconds(kConnectTimeout, out.connect_timeout) ||
      !seconds(kQueryTimeout, out.query_timeout)) {
    return false;
  }
  if (given(kMaxResponseSize) &&
      !u64_argument(o[kMaxResponseSize], "max_response_size", out.max_response_size)) {
    return false;
  }
  if (!boolean(kTls, out.tls) || !optional_str(kTlsDomain, out.tls_domain) ||
      !optional_str(kTlsCaFile, out.tls_ca_file) ||
      !optional_str(kTlsClientCert, out.tls_client_cert) ||
      !optional_str(kTlsClientKey, out.tls_client_key)) {
    return false;
  }
  if (not_none(kSshSigner)) {
    if (!PyCallable_Check(o[kSshSigner])) {
      raise(PyExc_TypeError, cat("argument 'ssh_signer': '", type_name_of(o[kSshSigner]),
                                 "' object is not callable"));
      return false;
    }
    out.ssh_signer = o[kSshSigner];
  }
  return boolean(kValidateSchema, out.validate_schema);
}

bool apply_compression(PyObject* name, sync::ClientConfig& config) {
  if (name == nullptr) return true;
  PyRef lower =
      PyRef::steal(into_python([name] { return PyObject_CallMethod(name, "lower", nullptr); }));
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
    std::string name;
    std::string text;
    if (!arguments::text_or_type_error(PyTuple_GetItem(item, 0), "setting key: ", name) ||
        !arguments::text_or_type_error(PyTuple_GetItem(item, 1), "setting value: ", text)) {
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

  std::optional<Result<sync::SyncClient>> connected =
      run_blocking([&] { return sync::SyncClient::connect_with_config(std::move(config)); });
  link->callable = nullptr;
  if (!connected) return nullptr;  // a signal handler raised; the connection closes unused
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
PyObject* client_discard(PyObject* self) {
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
  // From a signal handler inside this client's own call the lock is this thread's: leave it.
  const bool own_call = core.holder.load(std::memory_order_relaxed) == std::this_thread::get_id();
  if (!own_call && core.inner_mutex.try_lock()) {
    dropped.swap(core.inner);
    core.inner_mutex.unlock();
  }
  dropped.reset();
  Py_RETURN_NONE;
}

PyObject* client_get_discarded(PyObject* self, void*) {
  return PyBool_FromLong(core_of(self).discarded.load(std::memory_order_acquire));
}

PyObject* client_address(PyObject* self) {
  return lossy_str(core_of(self).address);
}

PyObject* client_repr(PyObject* self) {
  const ClientCore& core = core_of(self);
  return lossy_str(cat("<_Client server=", core.address, " user=", core.user, ">"));
}

#define TW_QUERY_DOC(name, lines)                                                             \
  name "($self, query, params=None, ignored_part_uuids=None, *, settings=None)\n--\n\n" lines \
       "\n\n`settings` is a per-query overlay on the connection's session settings:\n"        \
       "it is merged into this query's packet only and never persists on the\n"               \
       "connection."

// Every method of _Client: the query methods (client_query.cpp), the session and metadata
// methods (client_session.cpp) and the life cycle (here).
PyMethodDef client_methods[] = {
    method<client_query>("query",
                         TW_QUERY_DOC("query",
                                      "Execute a SELECT query. Returns list of row dicts.\n"
                                      "GIL is released during network I/O, re-acquired for "
                                      "Python conversion.")),
    method<client_query_tuples>(
        "query_tuples",
        TW_QUERY_DOC("query_tuples",
                     "Execute a SELECT query. Returns list of row tuples.\n"
                     "This avoids per-row dict allocation and is faster for large row sets.")),
    method<client_query_columns>(
        "query_columns",
        TW_QUERY_DOC("query_columns",
                     "Execute a SELECT query. Returns `{column_name: list[values]}`.\n"
                     "This is the fastest fully materialized Python representation.")),
    method<client_query_blocks>(
        "query_blocks",
        TW_QUERY_DOC("query_blocks",
                     "Execute a SELECT query. Returns list of Block objects (column-oriented).\n"
                     "GIL is released during network I/O.")),
    method<client_query_stream>(
        "query_stream",
        "query_stream($self, query)\n--\n\n"
        "Start a streaming SELECT query. Returns a `_QueryStream` iterator.\n"
        "A reader thread and a bounded channel (32 messages) are started; the reader thread\n"
        "holds no Python objects and runs without the GIL, and the channel carries decoded\n"
        "blocks, not Python objects."),
    method<client_execute>("execute", TW_QUERY_DOC("execute",
                                                   "Execute a DDL/DML query (no result rows).\n"
                                                   "GIL is released during the blocking network "
                                                   "call.")),
    method<client_insert>("insert",
                          "insert($self, query, table_name, blocks)\n--\n\n"
                          "Insert blocks into a table using the native protocol."),
    method<client_begin_insert_stream>(
        "begin_insert_stream", "begin_insert_stream($self, query)\n--\n\nBegin an INSERT stream."),
    method<client_send_data>(
        "send_data",
        "send_data($self, table_name, block)\n--\n\nSend a data block in an active INSERT stream."),
    method<client_end_insert_stream>("end_insert_stream",
                                     "end_insert_stream($self)\n--\n\nEnd an INSERT stream."),
    method<client_ping>("ping", "ping($self)\n--\n\nPing the server. Returns True on success."),
    method<client_set_setting>(
        "set_setting",
        "set_setting($self, name, value)\n--\n\nSet a ClickHouse session setting at runtime."),
    method<client_server_info>("server_info",
                               "server_info($self)\n--\n\nGet server info as a dict. No I/O "
                               "\xe2\x80\x94 reads cached handshake data."),
    method<client_schema_for_table>(
        "schema_for_table",
        "schema_for_table($self, table)\n--\n\nReturn cached `DESCRIBE TABLE` metadata."),
    method<client_refresh_schema_for_table>(
        "refresh_schema_for_table",
        "refresh_schema_for_table($self, table)\n--\n\nRefresh cached `DESCRIBE TABLE` metadata."),
    method<client_clear_schema_cache>("clear_schema_cache", "clear_schema_cache($self)\n--\n\n"),
    method<client_table_status>("table_status",
                                "table_status($self, database, table)\n--\n\n"
                                "Request status for one table. Returns None for missing tables."),
    method<client_tables_status>(
        "tables_status",
        "tables_status($self, tables)\n--\n\nRequest replication/read-only status for tables."),
    method<client_discard>("discard",
                           "discard($self)\n--\n\nClose the connection from any thread without "
                           "waiting for a running call.\nThe running call fails; every later "
                           "call raises RuntimeError."),
    method<client_address>(
        "address", "address($self)\n--\n\nThe server address exactly as given to the constructor."),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef client_getset[] = {
    {"discarded", entry<client_get_discarded>, nullptr, "Whether discard() was called.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr const char* kClientDoc =
    "_Client(addr, user='default', password='', database='', settings=None, compression=None, "
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

}  // namespace

int add_client_type(PyObject* module) {
  static PyType_Slot slots[] = {
      {Py_tp_new, reinterpret_cast<void*>(entry<client_new>)},
      {Py_tp_dealloc, reinterpret_cast<void*>(client_dealloc)},
      {Py_tp_repr, reinterpret_cast<void*>(entry<client_repr>)},
      {Py_tp_methods, client_methods},
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
