// Host name lookups. The system's resolver cannot be interrupted, so each lookup runs in a thread
// of its own while the caller waits as it waits on the network (wait.h): the caller's interrupt
// hook may end the wait, leaving the lookup to finish alone. What such lookups leave behind is
// bounded: a lookup of a name whose earlier lookup is still running waits for that one, and past
// kMaxLookupsRunning lookups waiting for the resolver a new one is refused.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tarnwick/base/result.h"
#include "tarnwick/sync/socket.h"

namespace tarnwick::sync {

// The most lookups whose threads wait for the resolver at once, in the whole process.
inline constexpr size_t kMaxLookupsRunning = 32;
// A lookup thread's stack: the resolver needs little, and a thread left behind keeps it reserved.
inline constexpr size_t kLookupThreadStackSize = 256 * 1024;
// The name the lookup threads give themselves.
inline constexpr const char* kLookupThreadName = "tarnwick-lookup";

// The blocking lookup of `host` for stream sockets of any family, in the resolver's order; the
// addresses' port is 0, for the caller to set.
base::Result<std::vector<SocketAddr>> look_up_host(const std::string& host);

// The error of a failed lookup from getaddrinfo's code `rc` and `err`, the errno it left: the
// errno's text for a system error that left one, else the code's text.
base::Error host_lookup_error(int rc, int err);

// Runs `look_up(host)` in a thread of its own (or joins the running one for the same host and
// function, whatever port its callers asked for) and waits for its answer, which the call returns
// with `port` set into each address:
// - the caller's interrupt hook ends the wait with interrupted_error();
// - a fork while the caller waits (a signal handler that the hook runs, say) ends the wait in the
//   child with an Io error: the thread stays with the parent;
// - past kMaxLookupsRunning running lookups, or when the thread cannot start, an Io error;
// - a lookup that ran out of memory throws std::bad_alloc here, in the caller, as a lookup made
//   on the caller's thread would.
// The thread blocks every signal and never lets an exception escape; it frees what it shares with
// its callers once it has answered and they have gone.
using LookUpFn = base::Result<std::vector<SocketAddr>> (*)(const std::string& host);
base::Result<std::vector<SocketAddr>> look_up_in_thread(std::string host, uint16_t port,
                                                        LookUpFn look_up);

}  // namespace tarnwick::sync
