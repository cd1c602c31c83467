// A growable byte buffer that is consumed from the front without moving the rest: a connection's
// read buffer, a body decoder's input.
//
// An empty buffer can also be lent bytes that it does not own (`lend`): it reads them in place,
// and copies what is left of them into its own storage only when more bytes arrive or the owner
// asks (`keep_lent`). The owner keeps lent bytes alive and unchanged until then.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>

namespace quillet {

class ByteBuffer {
 public:
  std::string_view view() const {
    return lent_.empty() ? std::string_view(data_).substr(start_) : lent_;
  }
  size_t size() const { return lent_.empty() ? data_.size() - start_ : lent_.size(); }
  bool empty() const { return size() == 0; }

  void append(std::string_view bytes) {
    if (bytes.empty()) return;
    keep_lent();
    if (start_ != 0 && start_ >= data_.size() / 2) compact();
    data_.append(bytes);
  }

  // Appends `bytes`, taking over its storage when the buffer is empty (no copy).
  void append_owned(std::string&& bytes) {
    if (empty()) {
      lent_ = {};
      data_ = std::move(bytes);
      start_ = 0;
    } else {
      append(std::string_view(bytes));
    }
  }

  // Reads `bytes` in place instead of copying them; only for an empty buffer (else appends).
  void lend(std::string_view bytes) {
    if (!empty()) {
      append(bytes);
      return;
    }
    clear();
    lent_ = bytes;
  }

  // Whether unread lent bytes remain: their owner must keep them until keep_lent().
  bool lending() const { return !lent_.empty(); }

  // Copies what is left of lent bytes into the buffer's own storage.
  void keep_lent() {
    if (lent_.empty()) return;
    data_.assign(lent_);
    start_ = 0;
    lent_ = {};
  }

  // Drops the first `n` bytes (n <= size()). The bytes after them are not moved now; the space
  // is reclaimed on a later append, once at least half of the storage is dead.
  void consume(size_t n) {
    if (!lent_.empty()) {
      lent_.remove_prefix(n);
      return;
    }
    start_ += n;
    if (start_ == data_.size()) clear();
  }

  void clear() {
    lent_ = {};
    data_.clear();
    start_ = 0;
  }

  // Moves every byte out, leaving the buffer empty.
  std::string take() {
    std::string out;
    if (!lent_.empty()) {
      out.assign(lent_);
    } else if (start_ == 0) {
      out = std::move(data_);
    } else {
      out.assign(data_, start_);
    }
    clear();
    return out;
  }

 private:
  void compact() {
    data_.erase(0, start_);
    start_ = 0;
  }

  std::string data_;
  size_t start_ = 0;
  std::string_view lent_;  // when not empty, the buffer's bytes; data_ is empty then
};

}  // namespace quillet
