// A resolver that takes its time, for the Python suite to preload into a child interpreter:
// getaddrinfo sleeps 10 s (or TARNWICK_SLOW_RESOLVER_SECONDS) whatever signals arrive, as a
// lookup waiting on an unreachable name server does, then asks the real one.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <netdb.h>
#include <stdlib.h>
#include <time.h>

typedef int (*getaddrinfo_fn)(const char*, const char*, const struct addrinfo*, struct addrinfo**);

int getaddrinfo(const char* node, const char* service, const struct addrinfo* hints,
                struct addrinfo** res) {
  struct timespec until;
  clock_gettime(CLOCK_MONOTONIC, &until);
  const char* seconds = getenv("TARNWICK_SLOW_RESOLVER_SECONDS");
  until.tv_sec += seconds != NULL ? atoi(seconds) : 10;
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, NULL) == EINTR) {
  }
  getaddrinfo_fn real = (getaddrinfo_fn)dlsym(RTLD_NEXT, "getaddrinfo");
  return real(node, service, hints, res);
}
