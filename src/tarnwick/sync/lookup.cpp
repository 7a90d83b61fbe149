#include "tarnwick/sync/lookup.h"

#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <optional>

#include "tarnwick/base/format.h"
#include "tarnwick/sync/wait.h"

namespace tarnwick::sync {

using base::Error;
using base::IoError;
using base::IoKind;
using base::Result;
using base::Status;

namespace {

// How long a caller waits for a lookup before it looks again whether it is still in the process
// whose thread runs the lookup. A fork in the wait (a signal handler that the interrupt hook runs)
// leaves a child waiting for a thread it does not have, which no one would ever answer.
constexpr base::Duration kForkCheckInterval{0, 100'000'000};

// One lookup of a name, shared by its thread and the callers waiting for it, whatever their ports:
// each caller sets its own port into its copy of the answer.
struct Lookup {
  Lookup(std::string host_, LookUpFn look_up_) : host(std::move(host_)), look_up(look_up_) {}

  bool is_for(const std::string& h, LookUpFn f) const { return look_up == f && host == h; }

  const std::string host;
  const LookUpFn look_up;
  const pid_t owner = getpid();  // the process whose thread runs the lookup
  Socket ready;                  // an eventfd the thread makes readable once it has answered

  // Set by the thread, under the registry's mutex.
  std::optional<Result<std::vector<SocketAddr>>> result;
  bool out_of_memory = false;
};

// The lookups of this process whose threads have not answered yet.
struct Registry {
  std::mutex mutex;
  std::vector<std::shared_ptr<Lookup>> running;  // capacity kMaxLookupsRunning, reserved
};

// The registry for the fork handlers: set before they are registered, and read by them without
// the static initialization guard of registry(), which a fork in another thread must not wait on.
Registry* g_registry = nullptr;

// A fork keeps the registry consistent: its mutex is held across the fork, and the child, which
// has none of the threads, forgets their lookups. Each thread's own reference stays behind in the
// child (a few bytes per lookup); the eventfds are closed, and a caller the fork left waiting
// gives up when it sees the process changed.
void before_fork() {
  g_registry->mutex.lock();
}
void after_fork_in_parent() {
  g_registry->mutex.unlock();
}
void after_fork_in_child() {
  for (const auto& lookup : g_registry->running) lookup->ready.close();
  g_registry->running.clear();
  g_registry->mutex.unlock();
}

Registry& registry() {
  // Never freed: detached lookup threads use it until the process ends.
  static Registry* const made = [] {
    auto r = std::make_unique<Registry>();
    r->running.reserve(kMaxLookupsRunning);
    g_registry = r.get();
    pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child);
    return r.release();
  }();
  return *made;
}

// Blocks every signal in the calling thread for its scope, whatever way the scope is left: a thread
// started inside inherits the mask, and no signal handler runs while the registry is held.
class SignalsBlocked {
 public:
  SignalsBlocked() {
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous_);
  }
  ~SignalsBlocked() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
  SignalsBlocked(const SignalsBlocked&) = delete;
  SignalsBlocked& operator=(const SignalsBlocked&) = delete;

 private:
  sigset_t previous_;
};

void* run_lookup(void* arg) noexcept {
  std::unique_ptr<std::shared_ptr<Lookup>> owned(static_cast<std::shared_ptr<Lookup>*>(arg));
  Lookup& lookup = **owned;
  pthread_setname_np(pthread_self(), kLookupThreadName);
  std::optional<Result<std::vector<SocketAddr>>> result;
  bool out_of_memory = false;
  try {
    result.emplace(lookup.look_up(lookup.host));
  } catch (...) {  // only an allocation can fail by throwing
    out_of_memory = true;
  }
  {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    lookup.result = std::move(result);
    lookup.out_of_memory = out_of_memory;
    auto self = std::find(r.running.begin(), r.running.end(), *owned);
    if (self != r.running.end()) r.running.erase(self);
  }
  eventfd_write(lookup.ready.fd(), 1);  // a counter at 0 takes 1 without fail
  return nullptr;
}

// The running lookup for the same name, or a new one with its thread started.
Result<std::shared_ptr<Lookup>> join_or_start(std::string host, LookUpFn look_up) {
  Registry& r = registry();
  // Allocated before anything is blocked or locked.
  auto fresh = std::make_shared<Lookup>(std::move(host), look_up);
  auto thread_ref = std::make_unique<std::shared_ptr<Lookup>>(fresh);

  SignalsBlocked blocked;
  std::lock_guard lock(r.mutex);
  for (const auto& lookup : r.running) {
    if (lookup->is_for(fresh->host, look_up)) return lookup;
  }
  if (r.running.size() >= kMaxLookupsRunning) {
    return Error::io(IoError::custom(
        IoKind::Other, base::cat("too many host name lookups are waiting for the resolver (",
                                 kMaxLookupsRunning, "); try again once it answers")));
  }
  fresh->ready = Socket(::eventfd(0, EFD_CLOEXEC));
  if (!fresh->ready.valid()) return Error::io(IoError::from_errno(errno));

  pthread_attr_t attr;
  int rc = pthread_attr_init(&attr);
  if (rc == 0) {
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_attr_setstacksize(&attr, kLookupThreadStackSize);
    pthread_t thread;
    rc = pthread_create(&thread, &attr, run_lookup, thread_ref.get());
    pthread_attr_destroy(&attr);
  }
  if (rc != 0) return Error::io(IoError::from_errno(rc));
  thread_ref.release();        // the thread's now
  r.running.push_back(fresh);  // within the reserved capacity
  return fresh;
}

Status wait_for(const Lookup& lookup) {
  for (;;) {
    Status waited = wait_ready(lookup.ready.fd(), POLLIN,
                               WaitDeadline::after(kForkCheckInterval, "lookup wait slice"));
    if (getpid() != lookup.owner) {
      return Error::io(IoError::custom(
          IoKind::Other,
          "the process forked while this call waited for the host name lookup, which stays "
          "with the parent process"));
    }
    if (waited.ok()) return {};
    const Error& e = waited.error();
    if (e.kind() != base::ErrorKind::Io || e.io_error().kind != IoKind::TimedOut) return waited;
  }
}

}  // namespace

Error host_lookup_error(int rc, int err) {
  // A system error names its errno, when the resolver left one.
  if (rc == EAI_SYSTEM && err != 0) return Error::io(IoError::from_errno(err));
  return Error::io(IoError::custom(
      IoKind::Other, base::cat("failed to lookup address information: ", gai_strerror(rc))));
}

Result<std::vector<SocketAddr>> look_up_host(const std::string& host) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  int rc = getaddrinfo(host.c_str(), nullptr, &hints, &list);
  if (rc != 0) return host_lookup_error(rc, errno);
  std::unique_ptr<addrinfo, void (*)(addrinfo*)> owned(list, freeaddrinfo);
  std::vector<SocketAddr> out;
  for (addrinfo* ai = list; ai != nullptr; ai = ai->ai_next) {
    if (ai->ai_family != AF_INET && ai->ai_family != AF_INET6) continue;
    if (ai->ai_addrlen > sizeof(sockaddr_storage)) continue;
    SocketAddr addr;
    std::memcpy(&addr.storage, ai->ai_addr, ai->ai_addrlen);
    addr.len = ai->ai_addrlen;
    out.push_back(addr);
  }
  return out;
}

Result<std::vector<SocketAddr>> look_up_in_thread(std::string host, uint16_t port,
                                                  LookUpFn look_up) {
  TW_ASSIGN_OR_RETURN(std::shared_ptr<Lookup> lookup, join_or_start(std::move(host), look_up));
  // Interrupted, the call returns here; the thread frees the lookup when it is done.
  TW_TRY(wait_for(*lookup));
  std::optional<Result<std::vector<SocketAddr>>> answer;
  {
    std::lock_guard lock(registry().mutex);
    if (lookup->out_of_memory) throw std::bad_alloc();
    answer.emplace(*lookup->result);  // a copy: other callers may share the lookup
  }
  if (answer->ok()) {
    for (SocketAddr& addr : **answer) addr.set_port(port);
  }
  return std::move(*answer);
}

}  // namespace tarnwick::sync
