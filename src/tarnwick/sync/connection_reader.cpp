#include "tarnwick/sync/connection_reader.h"

namespace tarnwick::sync {

using base::ByteBuffer;
using base::Result;
using base::Status;

ConnectionReader::ConnectionReader(Transport& transport, bool recv_chunked)
    : TransportWriter(transport) {
  if (recv_chunked) chunked_ = std::make_unique<ChunkedReader>(transport_);
}

void ConnectionReader::unread(ByteBuffer bytes) {
  if (bytes.size() == 0) return;
  // The rest of the current window goes after the returned bytes.
  bytes.append(pos_, static_cast<size_t>(end_ - pos_));
  pending_ = std::move(bytes);
  reading_pending_ = true;
  pos_ = pending_.data();
  end_ = pending_.data() + pending_.size();
}

ConnectionReader::Unread ConnectionReader::take_unread() {
  Unread out;
  out.payload.append(buffered());
  consume(buffered().size());
  reading_pending_ = false;
  pending_.resize(0);
  if (chunked_) {
    out.payload.append(chunked_->buffered());
    chunked_->consume(chunked_->buffered().size());
    chunked_->take_unreceived(out.raw);  // a chunk half received goes on in the raw bytes
  }
  (chunked_ ? out.raw : out.payload).append(transport_.buffered());
  transport_.consume(transport_.buffered().size());
  return out;
}

void ConnectionReader::give_back(ByteBuffer payload, ByteBuffer raw) {
  if (!raw.empty()) transport_.preload(raw.span());
  unread(std::move(payload));
}

Result<size_t> ConnectionReader::refill() {
  if (reading_pending_) {
    reading_pending_ = false;
    pending_.resize(0);
  }
  // Borrow the layer below's window: its buffer is touched again only by its next refill, which
  // only this reader triggers, after this window has been used up.
  base::ByteSource& in = inner();
  TW_ASSIGN_OR_RETURN(std::span<const uint8_t> window, in.fill_buffered());
  in.consume(window.size());
  pos_ = window.data();
  end_ = window.data() + window.size();
  return window.size();
}

Status ConnectionReader::read_direct(uint8_t* dst, size_t n) {
  if (reading_pending_) {
    reading_pending_ = false;
    pending_.resize(0);
  }
  pos_ = end_ = nullptr;
  // Large reads go from the layers below straight into the destination. What the layer below has
  // buffered after them becomes this reader's window, as in refill, so the small reads that follow
  // are served inline again.
  base::ByteSource& in = inner();
  TW_TRY(in.read_exact(dst, n));
  const std::span<const uint8_t> window = in.buffered();
  in.consume(window.size());
  pos_ = window.data();
  end_ = window.data() + window.size();
  return {};
}

}  // namespace tarnwick::sync
