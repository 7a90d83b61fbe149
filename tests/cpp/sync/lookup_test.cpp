// Host name lookups: literals and real lookups, and the threads behind them: an interrupted wait,
// a fork inside the wait, and the bound on what is left running (allocation failures are in
// alloc_failure/).
#include "tarnwick/sync/lookup.h"

#include <gtest/gtest.h>
#include <netdb.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tarnwick/sync/wait.h"

namespace tarnwick::sync {
namespace {

using Addrs = base::Result<std::vector<SocketAddr>>;

TEST(ResolveSocketAddrs, LiteralsAndLookups) {
  auto literal = resolve_socket_addrs("[::1]:9000");
  ASSERT_TRUE(literal.ok());
  ASSERT_EQ(literal->size(), 1u);
  EXPECT_EQ((*literal)[0].to_string(), "[::1]:9000");

  // A bare IPv6 literal is split at its last colon and looked up.
  auto bare = resolve_socket_addrs("::1:9000");
  ASSERT_TRUE(bare.ok()) << bare.error().to_string();
  EXPECT_EQ((*bare)[0].to_string(), "[::1]:9000");

  auto local = resolve_socket_addrs("localhost:123");
  ASSERT_TRUE(local.ok()) << local.error().to_string();
  ASSERT_FALSE(local->empty());
  for (auto& a : *local) EXPECT_EQ(a.port(), 123);
  // Each caller's port is set into addresses of either family.
  for (const char* host : {"127.0.0.1", "::1"}) {
    auto direct = look_up_in_thread(host, 123, look_up_host);
    ASSERT_TRUE(direct.ok()) << direct.error().to_string();
    ASSERT_FALSE(direct->empty());
    for (auto& a : *direct) EXPECT_EQ(a.port(), 123) << a.to_string();
  }

  auto bad_port = resolve_socket_addrs("localhost:99999");
  ASSERT_FALSE(bad_port.ok());
  EXPECT_EQ(bad_port.error().kind(), base::ErrorKind::Io);
  auto no_host = resolve_socket_addrs("no-such-host.invalid:9000");
  ASSERT_FALSE(no_host.ok());
  EXPECT_EQ(no_host.error().kind(), base::ErrorKind::Io);
}

// What a failed getaddrinfo says: a system error names the errno it left, and says what failed
// when it left none.
TEST(HostLookupError, EachCodeHasAText) {
  struct Row {
    int rc;
    int err;
    const char* text;
  };
  for (const Row& row : std::vector<Row>{
           {EAI_SYSTEM, 0, "I/O error: failed to lookup address information: System error"},
           {EAI_SYSTEM, ECONNREFUSED, "I/O error: Connection refused (os error 111)"},
           {EAI_NONAME, 0,
            "I/O error: failed to lookup address information: Name or service not known"},
           {EAI_AGAIN, EAGAIN,
            "I/O error: failed to lookup address information: Temporary failure in name "
            "resolution"},
       }) {
    EXPECT_EQ(host_lookup_error(row.rc, row.err).to_string(), row.text) << row.rc << " " << row.err;
  }
}

// Lookups answer only once the test opens the gate.
class Gate {
 public:
  void pass() {
    std::unique_lock lock(mutex_);
    opened_.wait(lock, [&] { return open_; });
  }
  void set(bool open) {
    std::lock_guard lock(mutex_);
    open_ = open;
    opened_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable opened_;
  bool open_ = false;
};
Gate g_gate;
std::atomic<int> g_gated_calls{0};

Addrs gated_look_up(const std::string&) {
  ++g_gated_calls;
  g_gate.pass();
  return std::vector<SocketAddr>{SocketAddr::v4_loopback(0)};
}

// The same, answering an IPv4 and an IPv6 address.
Addrs gated_look_up_both_families(const std::string& host) {
  Addrs got = gated_look_up(host);
  got->push_back(*SocketAddr::parse("[::1]:0"));
  return got;
}

Addrs instant_look_up(const std::string&) {
  return std::vector<SocketAddr>{SocketAddr::v4_loopback(0)};
}

int count_in(const char* dir, bool (*counts)(const std::filesystem::path&)) {
  int count = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) count += counts(entry.path());
  return count;
}

int lookup_threads() {
  return count_in("/proc/self/task", [](const std::filesystem::path& task) {
    std::ifstream comm(task / "comm");
    std::string name;
    std::getline(comm, name);
    return name == kLookupThreadName;
  });
}

int open_descriptors() {
  return count_in("/proc/self/fd", [](const std::filesystem::path&) { return true; });
}

// Waits up to 10 s for the count of lookup threads to be `n` three reads in a row: a listing of
// /proc/self/task can miss a live thread while other threads exit.
bool lookup_threads_come_to(int n) {
  int alike = 0;
  for (int i = 0; i < 1000 && alike < 3; ++i) {
    alike = lookup_threads() == n ? alike + 1 : 0;
    if (alike < 3) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return alike == 3;
}

// Each test starts with the gate shut and no lookup running, and leaves it so.
class LookupThreads : public ::testing::Test {
 protected:
  void SetUp() override {
    g_gate.set(false);
    ASSERT_TRUE(lookup_threads_come_to(0));
    g_gated_calls = 0;
  }
  void TearDown() override {
    g_gate.set(true);
    EXPECT_TRUE(lookup_threads_come_to(0));
  }
};

bool interrupt_at_once(void*) {
  return true;
}

struct Call {
  std::string host;
  uint16_t port;
};

// Makes each call in a thread of its own whose wait is interrupted at its first check: what each
// call gave, "answered" or its error.
std::vector<std::string> run_interrupted(const std::vector<Call>& calls, LookUpFn look_up) {
  std::vector<std::string> errors(calls.size());
  std::vector<std::thread> callers;
  for (size_t i = 0; i < calls.size(); ++i) {
    callers.emplace_back([&, i] {
      ScopedInterruptHook hook(interrupt_at_once, nullptr);
      Addrs got = look_up_in_thread(calls[i].host, calls[i].port, look_up);
      errors[i] = got.ok() ? "answered" : got.error().to_string();
    });
  }
  for (auto& c : callers) c.join();
  return errors;
}

// A caller that waits for the answer, noting once it is waiting (its hook has run, which happens
// only inside the wait) so that the test knows it joined before the gate opens.
class WaitingCaller {
 public:
  WaitingCaller(std::string host, uint16_t port, LookUpFn look_up)
      : thread_([this, host = std::move(host), port, look_up] {
          ScopedInterruptHook hook(note_waiting, &waiting_);
          got_ = look_up_in_thread(host, port, look_up);
        }) {}
  // Up to 10 s.
  bool comes_to_wait() const {
    for (int i = 0; i < 1000 && !waiting_.load(); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return waiting_.load();
  }
  const Addrs& answer() {
    if (thread_.joinable()) thread_.join();
    return got_;
  }
  ~WaitingCaller() {
    if (thread_.joinable()) thread_.join();
  }

 private:
  static bool note_waiting(void* waiting) {
    static_cast<std::atomic<bool>*>(waiting)->store(true);
    return false;
  }
  std::atomic<bool> waiting_{false};
  Addrs got_ = base::Error::protocol("not run");
  std::thread thread_;
};

std::vector<std::string> addr_texts(const std::vector<SocketAddr>& addrs) {
  std::vector<std::string> texts;
  for (const SocketAddr& a : addrs) texts.push_back(a.to_string());
  return texts;
}

TEST_F(LookupThreads, AnInterruptedWaitLeavesTheLookupToFinishAlone) {
  int calls = 0;
  Addrs interrupted = base::Error::protocol("not run");
  {
    ScopedInterruptHook hook([](void* n) { return ++*static_cast<int*>(n) >= 2; }, &calls);
    interrupted = look_up_in_thread("gated", 9000, gated_look_up);
  }
  ASSERT_FALSE(interrupted.ok());
  EXPECT_EQ(interrupted.error().to_string(), interrupted_error().to_string());
  EXPECT_EQ(calls, 2);
  EXPECT_TRUE(lookup_threads_come_to(1));  // still looking up

  // Answering after the caller has gone, the thread frees what it shared and ends.
  g_gate.set(true);
  EXPECT_TRUE(lookup_threads_come_to(0));
}

// Without a hook the caller waits for the answer, and has it at once even while a process forked
// meanwhile holds a copy of every descriptor for 2 s.
TEST_F(LookupThreads, TheAnswerWakesTheCallerWhateverAForkedProcessHolds) {
  Addrs answered = base::Error::protocol("not run");
  std::thread caller([&] { answered = look_up_in_thread("gated", 9000, gated_look_up); });
  ASSERT_TRUE(lookup_threads_come_to(1));
  const pid_t forked = fork();
  if (forked == 0) {
    sleep(2);
    _exit(0);
  }
  const auto began = std::chrono::steady_clock::now();
  g_gate.set(true);
  caller.join();
  EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(1));
  waitpid(forked, nullptr, 0);
  ASSERT_TRUE(answered.ok()) << answered.error().to_string();
  ASSERT_EQ(answered->size(), 1u);
  EXPECT_EQ((*answered)[0].to_string(), "127.0.0.1:9000");
}

// A hook that forks on its first call, as a signal handler run by the hook may. The child has no
// lookup thread: its wait ends within a check interval with a clear error, though the parent
// answers only once the child has ended, and lookups go on working there. The parent's wait goes on
// to the answer.
TEST_F(LookupThreads, AForkInsideTheWaitEndsTheChildsWaitAndNotTheParents) {
  std::atomic<pid_t> child{-1};
  int status = -1;
  std::thread opener([&] {
    while (child.load() == -1) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (child.load() > 0) waitpid(child.load(), &status, 0);
    g_gate.set(true);
  });
  auto fork_once = [](void* pid) {
    auto& forked = *static_cast<std::atomic<pid_t>*>(pid);
    if (forked.load() == -1) forked.store(fork());
    return false;
  };
  Addrs answered = base::Error::protocol("not run");
  {
    ScopedInterruptHook hook(fork_once, &child);
    const auto began = std::chrono::steady_clock::now();
    answered = look_up_in_thread("gated", 9000, gated_look_up);
    if (child.load() == 0) {
      const bool prompt = std::chrono::steady_clock::now() - began < std::chrono::seconds(2);
      const bool said = !answered.ok() && answered.error().to_string() ==
                                              "I/O error: the process forked while this call "
                                              "waited for the host name lookup, which stays with "
                                              "the parent process";
      const bool again = look_up_in_thread("other", 1, instant_look_up).ok();
      _exit(prompt && said && again ? 0 : 1);
    }
  }
  opener.join();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  ASSERT_TRUE(answered.ok()) << answered.error().to_string();
  EXPECT_EQ((*answered)[0].to_string(), "127.0.0.1:9000");
}

// A retry loop that interrupts each wait leaves one lookup per name, and at most
// kMaxLookupsRunning in all, with a descriptor each; past that a new name is refused at once,
// while literal addresses and other descriptors are unaffected.
TEST_F(LookupThreads, WhatInterruptedLookupsLeaveIsBounded) {
  const int descriptors = open_descriptors();
  // Three callers for each of kMaxLookupsRunning names: one lookup each.
  std::vector<Call> calls;
  for (size_t i = 0; i < 3 * kMaxLookupsRunning; ++i) {
    calls.push_back({"name-" + std::to_string(i % kMaxLookupsRunning), 9000});
  }
  for (const std::string& e : run_interrupted(calls, gated_look_up)) {
    EXPECT_EQ(e, interrupted_error().to_string());
  }
  // A thread names itself only once it runs.
  EXPECT_TRUE(lookup_threads_come_to(static_cast<int>(kMaxLookupsRunning)));
  EXPECT_EQ(open_descriptors(), descriptors + static_cast<int>(kMaxLookupsRunning));
  // Every further name is refused at once; literal addresses need no lookup.
  calls.clear();
  for (size_t i = 0; i < kMaxLookupsRunning; ++i) calls.push_back({"more-" + std::to_string(i), 1});
  for (const std::string& e : run_interrupted(calls, gated_look_up)) {
    EXPECT_EQ(e,
              "I/O error: too many host name lookups are waiting for the resolver (32); try "
              "again once it answers");
  }
  EXPECT_TRUE(lookup_threads_come_to(static_cast<int>(kMaxLookupsRunning)));
  EXPECT_TRUE(resolve_socket_addrs("127.0.0.1:9000").ok());

  // A name still being looked up is joined, and has the answer when it comes: no lookup more.
  WaitingCaller joiner("name-0", 9000, gated_look_up);
  EXPECT_TRUE(joiner.comes_to_wait());  // the gate opens regardless
  g_gate.set(true);
  ASSERT_TRUE(joiner.answer().ok()) << joiner.answer().error().to_string();
  EXPECT_EQ(addr_texts(*joiner.answer()), std::vector<std::string>{"127.0.0.1:9000"});
  EXPECT_TRUE(lookup_threads_come_to(0));
  EXPECT_EQ(g_gated_calls.load(), static_cast<int>(kMaxLookupsRunning));
  EXPECT_EQ(open_descriptors(), descriptors);
}

// Callers of one name share its lookup whatever their ports: one name on kMaxLookupsRunning ports
// takes one place of the bound. Each caller that waits to the end has the addresses, IPv4 and IPv6
// alike, with its own port.
TEST_F(LookupThreads, ANameIsLookedUpOnceWhateverThePorts) {
  std::vector<Call> calls;
  for (size_t i = 0; i < kMaxLookupsRunning; ++i) {
    calls.push_back({"name", static_cast<uint16_t>(9000 + i)});
  }
  calls.push_back({"another-name", 9000});
  for (const std::string& e : run_interrupted(calls, gated_look_up_both_families)) {
    EXPECT_EQ(e, interrupted_error().to_string());
  }
  EXPECT_TRUE(lookup_threads_come_to(2));

  std::array<uint16_t, 3> ports{1, 9000, 65535};
  std::vector<std::unique_ptr<WaitingCaller>> joiners;
  for (uint16_t port : ports) {
    joiners.push_back(std::make_unique<WaitingCaller>("name", port, gated_look_up_both_families));
  }
  for (const auto& j : joiners) EXPECT_TRUE(j->comes_to_wait());  // the gate opens regardless
  g_gate.set(true);
  for (size_t i = 0; i < ports.size(); ++i) {
    const Addrs& got = joiners[i]->answer();
    ASSERT_TRUE(got.ok()) << got.error().to_string();
    const std::string port = std::to_string(ports[i]);
    EXPECT_EQ(addr_texts(*got), (std::vector<std::string>{"127.0.0.1:" + port, "[::1]:" + port}));
  }
  EXPECT_TRUE(lookup_threads_come_to(0));
  EXPECT_EQ(g_gated_calls.load(), 2);
}

}  // namespace
}  // namespace tarnwick::sync
