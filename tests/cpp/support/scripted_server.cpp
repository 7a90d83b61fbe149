#include "support/scripted_server.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

extern char** environ;

namespace tarnwick::testing {
namespace {

#ifndef TARNWICK_PYTHON_EXECUTABLE
#define TARNWICK_PYTHON_EXECUTABLE ""
#endif

constexpr auto kPoll = std::chrono::milliseconds(10);

std::optional<std::string> read_text(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

std::string ScriptedServer::python() {
  const char* env = std::getenv("TARNWICK_PYTHON");
  if (env != nullptr && *env != '\0') return env;
  return TARNWICK_PYTHON_EXECUTABLE;
}

ScriptedServer::ScriptedServer(Options options) {
  const std::string interpreter = python();
  if (interpreter.empty()) {
    error_ = "no Python interpreter: set TARNWICK_PYTHON";
    return;
  }
  char tmpl[] = "/tmp/tarnwick-scripted.XXXXXX";
  if (mkdtemp(tmpl) == nullptr) {
    error_ = "mkdtemp failed";
    return;
  }
  dir_ = tmpl;
  record_dir_ = dir_ + "/records";
  const std::string port_file = dir_ + "/port";

  std::vector<std::string> argv_text = {
      interpreter,    std::string(TARNWICK_TESTS_DIR) + "/server/scripted/serve.py",
      "--scenario",   options.scenario,
      "--port-file",  port_file,
      "--record-dir", record_dir_,
      "--timeout",    std::to_string(options.timeout_seconds)};
  if (options.once) {
    argv_text.push_back("--once");
  } else if (options.connections > 0) {
    argv_text.push_back("--connections");
    argv_text.push_back(std::to_string(options.connections));
  }
  for (const auto& [key, value] : options.args) {
    argv_text.push_back("--arg");
    argv_text.push_back(key + "=" + value);
  }
  std::vector<char*> argv;
  for (auto& a : argv_text) argv.push_back(a.data());
  argv.push_back(nullptr);

  pid_t pid = -1;
  int rc = posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ);
  if (rc != 0) {
    error_ = "posix_spawn of " + interpreter + " failed: " + std::to_string(rc);
    return;
  }
  pid_ = pid;

  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(options.start_timeout_ms);
  while (std::chrono::steady_clock::now() < deadline) {
    if (auto text = read_text(port_file)) {
      int value = std::atoi(text->c_str());
      if (value > 0 && value < 65536) {
        port_ = static_cast<uint16_t>(value);
        return;
      }
    }
    if (wait_exit(0) != -1) {
      error_ = "serve.py exited with status " + std::to_string(exit_status_) + " before listening";
      return;
    }
    std::this_thread::sleep_for(kPoll);
  }
  error_ =
      "serve.py did not write its port within " + std::to_string(options.start_timeout_ms) + " ms";
}

ScriptedServer::~ScriptedServer() {
  if (pid_ > 0 && exit_status_ == -1) {
    kill(pid_, SIGKILL);
    int status = 0;
    waitpid(pid_, &status, 0);
  }
  if (!dir_.empty()) {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
}

int ScriptedServer::wait_exit(int timeout_ms) {
  if (pid_ <= 0 || exit_status_ != -1) return exit_status_;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (true) {
    int status = 0;
    pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
      exit_status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      return exit_status_;
    }
    if (r < 0 || std::chrono::steady_clock::now() >= deadline) return -1;
    std::this_thread::sleep_for(kPoll);
  }
}

std::optional<std::vector<uint8_t>> ScriptedServer::record(int index,
                                                           const std::string& kind) const {
  auto text = read_text(record_dir_ + "/conn-" + std::to_string(index) + "." + kind);
  if (!text) return std::nullopt;
  return std::vector<uint8_t>(text->begin(), text->end());
}

std::string ScriptedServer::wait_status(int index, int timeout_ms) const {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (true) {
    if (auto status = record(index, "status")) {
      std::string text(status->begin(), status->end());
      return text.substr(0, text.find('\n'));
    }
    if (std::chrono::steady_clock::now() >= deadline) return "missing";
    std::this_thread::sleep_for(kPoll);
  }
}

}  // namespace tarnwick::testing
