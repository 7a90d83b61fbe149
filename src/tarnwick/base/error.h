// The library's one error value. Every fallible operation returns it (inside a Result) instead of
// throwing; the Python layer maps it to a builtin exception by kind.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace tarnwick::base {

// What went wrong in an I/O operation, in the categories callers act on.
enum class IoKind : uint8_t {
  UnexpectedEof,
  InvalidData,
  WouldBlock,
  TimedOut,
  Interrupted,
  NotConnected,
  Unsupported,
  Other,
};

// An I/O failure: either an operating-system error number or a kind with its own message.
struct IoError {
  IoKind kind = IoKind::Other;
  int os_code = 0;      // errno, when the failure came from the system
  std::string message;  // our own text, when it did not

  static IoError from_errno(int err);
  static IoError custom(IoKind kind, std::string message);
  static IoError unexpected_eof();  // "failed to fill whole buffer"

  // The display text: the custom message, or "<description> (os error N)".
  std::string to_string() const;
};

enum class ErrorKind : uint8_t {
  Protocol,
  Io,
  Compression,
  Auth,
  Server,
  Timeout,
  Config,
  ResponseTooLarge,
  OutOfMemory,
};

class [[nodiscard]] Error {
 public:
  static Error protocol(std::string message);
  // A Protocol error from a byte budget that could not pay a charge; `short_by` is what the
  // budget lacked (at least 1), so that whoever owns the budget can report the charge whole.
  static Error budget_short(std::string message, size_t short_by);
  static Error io(IoError error);
  static Error compression(std::string message);
  static Error auth(std::string message);
  static Error server(int32_t code, std::string name, std::string message);
  static Error timeout(std::string message);
  static Error config(std::string message);
  static Error response_too_large(size_t decoded, size_t limit);
  // A ResponseTooLarge of what a response makes the client keep beside its decoded data (names,
  // type texts, least costs, per-row floors, parsed column state): `held` over `allowance`.
  static Error allowance_exceeded(size_t held, size_t allowance);
  // An allocation of `bytes` (0: a size not known) failed; the operation was abandoned.
  static Error out_of_memory(size_t bytes);

  Error(const Error& other);
  Error& operator=(const Error& other);
  Error(Error&& other) noexcept : state_(other.state_) { other.state_ = nullptr; }
  Error& operator=(Error&& other) noexcept {
    if (this != &other) {
      reset();
      state_ = other.state_;
      other.state_ = nullptr;
    }
    return *this;
  }
  // Inline so that destroying a successful Status costs a null test, not a call.
  ~Error() { reset(); }

  ErrorKind kind() const;
  // The message of Protocol, Compression, Auth, Timeout and Config; the server's message for
  // Server.
  const std::string& message() const;
  const IoError& io_error() const;  // only for kind() == Io
  int32_t server_code() const;      // only for kind() == Server
  const std::string& server_name() const;
  // ResponseTooLarge; OutOfMemory: the bytes asked for; Protocol from budget_short: what the
  // budget lacked (0 for other Protocol errors).
  size_t decoded() const;
  size_t limit() const;
  // ResponseTooLarge from allowance_exceeded: decoded() is what was held, limit() the allowance.
  bool is_allowance_exceeded() const;
  // A charge that a byte budget could not pay (budget_short): decoded() is what it lacked.
  bool is_budget_short() const;

  bool is_io(IoKind io_kind) const;

  // The display text, for example "protocol error: varint overflow".
  std::string to_string() const;

 private:
  template <class T>
  friend class Result;
  struct State;

  Error() = default;  // the "no error" value inside a successful Status
  explicit Error(State* state) : state_(state) {}
  static Error make(State state);
  bool empty() const { return state_ == nullptr; }
  void reset() {
    if (state_ != nullptr) destroy();
  }
  void destroy();

  State* state_ = nullptr;
};

// What an allowance_exceeded refusal says, before the advice of the layer that reports it.
std::string allowance_exceeded_text(size_t held, size_t allowance);

}  // namespace tarnwick::base
