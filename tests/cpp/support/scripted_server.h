// Starts the scripted fake server (tests/server/scripted/serve.py) as a child process running one
// named scenario, waits (bounded) for its port, and reads what it recorded of each connection.
// The child is killed in the destructor if it is still running.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tarnwick::testing {

class ScriptedServer {
 public:
  struct Options {
    std::string scenario;                                     // a name from chserver/scenarios.py
    std::vector<std::pair<std::string, std::string>> args{};  // passed as --arg k=v
    bool once = true;                                         // serve one connection, then exit
    int connections = 0;       // with once false: connections to serve (0: until the time-out)
    int timeout_seconds = 60;  // the server's global limit
    int start_timeout_ms = 15000;
  };

  explicit ScriptedServer(Options options);
  ~ScriptedServer();
  ScriptedServer(const ScriptedServer&) = delete;
  ScriptedServer& operator=(const ScriptedServer&) = delete;

  // False when the server could not be started; error() says why.
  bool ok() const { return error_.empty(); }
  const std::string& error() const { return error_; }
  uint16_t port() const { return port_; }
  const std::string& record_dir() const { return record_dir_; }

  // Waits at most timeout_ms for the child to exit. Returns its exit status (0: every scenario
  // run ended well, 1: one failed, 2: global time-out), or -1 when it is still running.
  int wait_exit(int timeout_ms);

  // Contents of conn-<index>.<kind> in the record directory (kind: raw_in, plain_in, raw_out,
  // packets.json, status), or nothing when the file does not exist yet.
  std::optional<std::vector<uint8_t>> record(int index, const std::string& kind) const;

  // The first line of conn-<index>.status ("ok", "auth rejected", "error: ..."), waiting at most
  // timeout_ms for the file; "missing" when it never appears.
  std::string wait_status(int index, int timeout_ms) const;

  // The interpreter: $TARNWICK_PYTHON, else the one the build was configured with.
  static std::string python();

 private:
  std::string error_;
  std::string dir_;
  std::string record_dir_;
  pid_t pid_ = -1;
  int exit_status_ = -1;
  uint16_t port_ = 0;
};

}  // namespace tarnwick::testing
