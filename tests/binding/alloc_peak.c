// An allocator that keeps count, for the Python suite to preload into a child interpreter: every
// malloc-family call goes to the C library's own, and the sum of the live allocations' usable
// sizes, with its high-water mark, is kept beside. That sum is what the process asks of the
// system through the allocator, whether or not its pages were touched (what an address-space
// limit or strict overcommit sees); the resident set counts only the touched ones. Beside them, the
// calls that asked for 1 MiB or more at once (a resize to such a size included) are counted, how
// many large buffers were made, each one filled or copied into whole, and the largest size one
// call asked for is kept. The child reads the figures through ctypes.
#define _GNU_SOURCE
#include <errno.h>
#include <malloc.h>
#include <stddef.h>
#include <stdint.h>

extern void* __libc_malloc(size_t size);
extern void* __libc_calloc(size_t n, size_t size);
extern void* __libc_realloc(void* p, size_t size);
extern void __libc_free(void* p);
extern void* __libc_memalign(size_t alignment, size_t size);

static size_t live;
static size_t peak;
static size_t large;
static size_t largest;

static void note_asked(size_t size) {
  if (size >= ((size_t)1 << 20)) __atomic_add_fetch(&large, 1, __ATOMIC_RELAXED);
  size_t high = __atomic_load_n(&largest, __ATOMIC_RELAXED);
  while (size > high && !__atomic_compare_exchange_n(&largest, &high, size, 1, __ATOMIC_RELAXED,
                                                     __ATOMIC_RELAXED)) {
  }
}

static void note_added(void* p) {
  if (p == NULL) return;
  const size_t now = __atomic_add_fetch(&live, malloc_usable_size(p), __ATOMIC_RELAXED);
  size_t high = __atomic_load_n(&peak, __ATOMIC_RELAXED);
  while (now > high &&
         !__atomic_compare_exchange_n(&peak, &high, now, 1, __ATOMIC_RELAXED, __ATOMIC_RELAXED)) {
  }
}

static void note_removed_size(size_t n) {
  __atomic_sub_fetch(&live, n, __ATOMIC_RELAXED);
}

static void note_removed(void* p) {
  if (p != NULL) note_removed_size(malloc_usable_size(p));
}

void* malloc(size_t size) {
  note_asked(size);
  void* p = __libc_malloc(size);
  note_added(p);
  return p;
}

void* calloc(size_t n, size_t size) {
  size_t total;
  if (!__builtin_mul_overflow(n, size, &total)) note_asked(total);
  void* p = __libc_calloc(n, size);
  note_added(p);
  return p;
}

void* realloc(void* old, size_t size) {
  // One live allocation replaces another: a large block is resized by remapping, never held
  // twice.
  const size_t before = old != NULL ? malloc_usable_size(old) : 0;
  note_asked(size);
  void* p = __libc_realloc(old, size);
  if (p == NULL) {
    if (size == 0) note_removed_size(before);  // freed
    return NULL;                               // else the old block stays
  }
  note_removed_size(before);
  note_added(p);
  return p;
}

void free(void* p) {
  note_removed(p);
  __libc_free(p);
}

void* memalign(size_t alignment, size_t size) {
  note_asked(size);
  void* p = __libc_memalign(alignment, size);
  note_added(p);
  return p;
}

void* aligned_alloc(size_t alignment, size_t size) {
  return memalign(alignment, size);
}

int posix_memalign(void** out, size_t alignment, size_t size) {
  if (alignment % sizeof(void*) != 0 || (alignment & (alignment - 1)) != 0) return EINVAL;
  void* p = memalign(alignment, size);
  if (p == NULL) return ENOMEM;
  *out = p;
  return 0;
}

void* valloc(size_t size) {
  return memalign(4096, size);
}

// The sum of the live allocations' usable sizes, in bytes.
size_t tarnwick_alloc_live(void) {
  return __atomic_load_n(&live, __ATOMIC_RELAXED);
}

// Its high-water mark since the last reset.
size_t tarnwick_alloc_peak(void) {
  return __atomic_load_n(&peak, __ATOMIC_RELAXED);
}

// Starts the high-water mark again from what is live now, and returns that.
size_t tarnwick_alloc_reset_peak(void) {
  const size_t now = tarnwick_alloc_live();
  __atomic_store_n(&peak, now, __ATOMIC_RELAXED);
  return now;
}

// How many calls asked for 1 MiB or more since the last reset.
size_t tarnwick_alloc_large(void) {
  return __atomic_load_n(&large, __ATOMIC_RELAXED);
}

// The most one call asked for since the last reset, in bytes.
size_t tarnwick_alloc_largest(void) {
  return __atomic_load_n(&largest, __ATOMIC_RELAXED);
}

// Starts that count and that size again from zero.
void tarnwick_alloc_reset_large(void) {
  __atomic_store_n(&large, 0, __ATOMIC_RELAXED);
  __atomic_store_n(&largest, 0, __ATOMIC_RELAXED);
}
