#include "tarnwick/base/error.h"

#include <cerrno>
#include <cstring>
#include <utility>

#include "tarnwick/base/format.h"

namespace tarnwick::base {

struct Error::State {
  ErrorKind kind;
  std::string message;
  IoError io;
  int32_t code = 0;
  std::string name;
  size_t decoded = 0;
  size_t limit = 0;
  bool allowance = false;  // ResponseTooLarge: the allowance beside the data, not the data
  bool budget = false;     // Protocol: a charge that a byte budget could not pay
};

namespace {

IoKind io_kind_from_errno(int err) {
  switch (err) {
    case EAGAIN:
      return IoKind::WouldBlock;
    case ETIMEDOUT:
      return IoKind::TimedOut;
    case EINTR:
      return IoKind::Interrupted;
    case ENOTCONN:
      return IoKind::NotConnected;
    default:
      return IoKind::Other;
  }
}

}  // namespace

IoError IoError::from_errno(int err) {
  return IoError{io_kind_from_errno(err), err, {}};
}

IoError IoError::custom(IoKind kind, std::string message) {
  return IoError{kind, 0, std::move(message)};
}

IoError IoError::unexpected_eof() {
  return custom(IoKind::UnexpectedEof, "failed to fill whole buffer");
}

std::string IoError::to_string() const {
  if (os_code == 0) return message;
  char buf[256];
  // GNU strerror_r returns the text, which may or may not live in buf.
  const char* text = strerror_r(os_code, buf, sizeof buf);
  return cat(text, " (os error ", os_code, ")");
}

void Error::destroy() {
  delete state_;
  state_ = nullptr;
}

Error::Error(const Error& other) : state_(other.state_ ? new State(*other.state_) : nullptr) {}

Error& Error::operator=(const Error& other) {
  if (this != &other) {
    reset();
    if (other.state_) state_ = new State(*other.state_);
  }
  return *this;
}

Error Error::make(State state) {
  return Error(new State(std::move(state)));
}

Error Error::protocol(std::string message) {
  return make({ErrorKind::Protocol, std::move(message), {}, 0, {}, 0, 0});
}
Error Error::budget_short(std::string message, size_t short_by) {
  return make(
      {ErrorKind::Protocol, std::move(message), {}, 0, {}, short_by, 0, false, short_by != 0});
}
Error Error::compression(std::string message) {
  return make({ErrorKind::Compression, std::move(message), {}, 0, {}, 0, 0});
}
Error Error::auth(std::string message) {
  return make({ErrorKind::Auth, std::move(message), {}, 0, {}, 0, 0});
}
Error Error::timeout(std::string message) {
  return make({ErrorKind::Timeout, std::move(message), {}, 0, {}, 0, 0});
}
Error Error::config(std::string message) {
  return make({ErrorKind::Config, std::move(message), {}, 0, {}, 0, 0});
}
Error Error::io(IoError error) {
  return make({ErrorKind::Io, {}, std::move(error), 0, {}, 0, 0});
}
Error Error::server(int32_t code, std::string name, std::string message) {
  return make({ErrorKind::Server, std::move(message), {}, code, std::move(name), 0, 0});
}
Error Error::response_too_large(size_t decoded, size_t limit) {
  return make({ErrorKind::ResponseTooLarge, {}, {}, 0, {}, decoded, limit});
}
Error Error::allowance_exceeded(size_t held, size_t allowance) {
  return make({ErrorKind::ResponseTooLarge, {}, {}, 0, {}, held, allowance, true});
}
Error Error::out_of_memory(size_t bytes) {
  return make({ErrorKind::OutOfMemory, {}, {}, 0, {}, bytes, 0});
}

ErrorKind Error::kind() const {
  return state_->kind;
}
const std::string& Error::message() const {
  return state_->message;
}
const IoError& Error::io_error() const {
  return state_->io;
}
int32_t Error::server_code() const {
  return state_->code;
}
const std::string& Error::server_name() const {
  return state_->name;
}
size_t Error::decoded() const {
  return state_->decoded;
}
size_t Error::limit() const {
  return state_->limit;
}

std::string allowance_exceeded_text(size_t held, size_t allowance) {
  return cat(held,
             " bytes held beside the decoded data (names, type texts, per-block, per-column and "
             "per-row costs, column state) exceed the allowance of ",
             allowance, " bytes (the larger of max_response_size and 16 MiB)");
}

bool Error::is_allowance_exceeded() const {
  return state_ && state_->kind == ErrorKind::ResponseTooLarge && state_->allowance;
}

bool Error::is_budget_short() const {
  return state_ && state_->budget;
}

bool Error::is_io(IoKind io_kind) const {
  return state_ && state_->kind == ErrorKind::Io && state_->io.kind == io_kind;
}

std::string Error::to_string() const {
  if (!state_) return "no error";
  const State& s = *state_;
  switch (s.kind) {
    case ErrorKind::Protocol:
      return cat("protocol error: ", s.message);
    case ErrorKind::Io:
      return cat("I/O error: ", s.io.to_string());
    case ErrorKind::Compression:
      return cat("compression error: ", s.message);
    case ErrorKind::Auth:
      return cat("authentication error: ", s.message);
    case ErrorKind::Server:
      return cat("server error (code=", s.code, ", name=", excerpt(s.name), "): ", s.message);
    case ErrorKind::Timeout:
      return cat("timeout: ", s.message);
    case ErrorKind::Config:
      return cat("configuration error: ", s.message);
    case ErrorKind::ResponseTooLarge:
      if (s.allowance) {
        return cat("response too large: ", allowance_exceeded_text(s.decoded, s.limit),
                   "; raise ClientConfig::max_response_size (with_max_response_size), or use a "
                   "streaming API (start_stream/query_with_block_view) which is not size-budgeted");
      }
      return cat("response too large: decoded ", s.decoded,
                 " bytes of result blocks exceeds max_response_size ", s.limit,
                 "; raise ClientConfig::max_response_size (with_max_response_size), or use a "
                 "streaming API (start_stream/query_with_block_view) which is not size-budgeted");
    case ErrorKind::OutOfMemory:
      if (s.decoded == 0) return "out of memory";  // the size was not known where it failed
      return cat("out of memory: could not allocate ", s.decoded, " bytes");
  }
  return "unknown error";
}

}  // namespace tarnwick::base
