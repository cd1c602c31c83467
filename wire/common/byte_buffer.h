// A growable byte buffer that is consumed from the front without moving the rest: a connection's
// read buffer, a body decoder's input.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>

namespace quillet {

class ByteBuffer {
 public:
  std::string_view view() const { return std::string_view(data_).substr(start_); }
  size_t size() const { return data_.size() - start_; }
  bool empty() const { return size() == 0; }

  void append(std::string_view bytes) {
    if (bytes.empty()) return;
    if (start_ != 0 && start_ >= data_.size() / 2) compact();
    data_.append(bytes);
  }

  // Appends `bytes`, taking over its storage when the buffer is empty (no copy).
  void append_owned(std::string&& bytes) {
    if (empty()) {
      data_ = std::move(bytes);
      start_ = 0;
    } else {
      append(std::string_view(bytes));
    }
  }

  // Drops the first `n` bytes (n <= size()). The bytes after them are not moved now; the space
  // is reclaimed on a later append, once at least half of the storage is dead.
  void consume(size_t n) {
    start_ += n;
    if (start_ == data_.size()) clear();
  }

  void clear() {
    data_.clear();
    start_ = 0;
  }

  // Moves every byte out, leaving the buffer empty.
  std::string take() {
    std::string out;
    if (start_ == 0) {
      out = std::move(data_);
    } else {
      out.assign(data_, start_);
    }
    data_.clear();
    start_ = 0;
    return out;
  }

 private:
  void compact() {
    data_.erase(0, start_);
    start_ = 0;
  }

  std::string data_;
  size_t start_ = 0;
};

}  // namespace quillet
