#pragma once

#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace tarvelo::platform {

// A path as the file calls take it, in memory from malloc, so that the core needs
// no C++ library. Running out of memory empties the text for good and marks it
// failed: a failed path names no file ("" is refused by every file call), so it can
// never stand for a shorter, different one; callers report ENOMEM where they look.
template <typename Char>
class PathText {
 public:
  static constexpr size_t npos = static_cast<size_t>(-1);

  PathText() noexcept = default;
  PathText(const Char* text) noexcept { Append(text); }  // NOLINT(google-explicit-constructor)
  PathText(const PathText& other) noexcept { Append(other); }
  PathText(PathText&& other) noexcept { Swap(other); }
  PathText& operator=(const PathText& other) noexcept {
    if (this != &other) {
      Clear();
      Append(other);
    }
    return *this;
  }
  PathText& operator=(PathText&& other) noexcept {
    Swap(other);
    return *this;
  }
  ~PathText() { std::free(data_); }

  PathText& Append(const Char* text, size_t size) noexcept {
    if (failed_ || size == 0) {
      return *this;
    }
    if (size > (npos / sizeof(Char)) / 4 - size_) {
      Fail();
      return *this;
    }
    if (size_ + size + 1 > capacity_) {
      // A text from inside this one survives the move.
      const bool inside = data_ != nullptr && text >= data_ && text < data_ + size_;
      const size_t offset = inside ? static_cast<size_t>(text - data_) : 0;
      const size_t capacity = (size_ + size + 1) * 2;
      auto* grown = static_cast<Char*>(std::realloc(data_, capacity * sizeof(Char)));
      if (grown == nullptr) {
        Fail();
        return *this;
      }
      data_ = grown;
      capacity_ = capacity;
      text = inside ? data_ + offset : text;
    }
    std::memmove(data_ + size_, text, size * sizeof(Char));
    size_ += size;
    data_[size_] = Char(0);
    return *this;
  }
  PathText& Append(const Char* text) noexcept { return text == nullptr ? *this : Append(text, Length(text)); }
  PathText& Append(const PathText& other) noexcept {
    if (other.failed_) {
      Fail();
    }
    return Append(other.data(), other.size_);
  }
  PathText& Append(Char unit) noexcept { return Append(&unit, 1); }

  // Keeps the first `size` units.
  void Truncate(size_t size) noexcept {
    if (size < size_) {
      size_ = size;
      data_[size_] = Char(0);
    }
  }
  void Clear() noexcept {
    Truncate(0);
    failed_ = false;
  }
  // The units from `from` on, `count` of them at most.
  [[nodiscard]] PathText Slice(size_t from, size_t count = npos) const noexcept {
    PathText part;
    if (failed_) {
      part.Fail();
    } else if (from < size_) {
      part.Append(data_ + from, count < size_ - from ? count : size_ - from);
    }
    return part;
  }
  [[nodiscard]] size_t Find(Char unit, size_t from = 0) const noexcept {
    for (size_t at = from; at < size_; ++at) {
      if (data_[at] == unit) {
        return at;
      }
    }
    return npos;
  }
  [[nodiscard]] size_t FindOther(Char unit, size_t from = 0) const noexcept {
    for (size_t at = from; at < size_; ++at) {
      if (data_[at] != unit) {
        return at;
      }
    }
    return npos;
  }
  // The last unit that is `one` or `other`.
  [[nodiscard]] size_t FindLast(Char one, Char other) const noexcept {
    for (size_t at = size_; at > 0; --at) {
      if (data_[at - 1] == one || data_[at - 1] == other) {
        return at - 1;
      }
    }
    return npos;
  }

  [[nodiscard]] const Char* c_str() const noexcept { return data_ != nullptr ? data_ : &kEmpty; }
  [[nodiscard]] const Char* data() const noexcept { return c_str(); }
  [[nodiscard]] size_t size() const noexcept { return size_; }
  [[nodiscard]] bool empty() const noexcept { return size_ == 0; }
  [[nodiscard]] bool failed() const noexcept { return failed_; }
  Char operator[](size_t at) const noexcept { return data_[at]; }
  [[nodiscard]] const Char* begin() const noexcept { return c_str(); }
  [[nodiscard]] const Char* end() const noexcept { return c_str() + size_; }
  [[nodiscard]] Char back() const noexcept { return data_[size_ - 1]; }
  [[nodiscard]] Char front() const noexcept { return data_[0]; }

  friend PathText operator+(const PathText& one, const PathText& other) noexcept {
    PathText joined(one);
    joined.Append(other);
    return joined;
  }
  friend PathText operator+(const PathText& one, const Char* other) noexcept {
    PathText joined(one);
    joined.Append(other);
    return joined;
  }

  static size_t Length(const Char* text) noexcept {
    size_t length = 0;
    while (text[length] != Char(0)) {
      ++length;
    }
    return length;
  }

 private:
  static constexpr Char kEmpty = Char(0);

  void Fail() noexcept {
    std::free(data_);
    data_ = nullptr;
    size_ = capacity_ = 0;
    failed_ = true;
  }
  void Swap(PathText& other) noexcept {
    Char* data = data_;
    const size_t size = size_;
    const size_t capacity = capacity_;
    const bool failed = failed_;
    data_ = other.data_;
    size_ = other.size_;
    capacity_ = other.capacity_;
    failed_ = other.failed_;
    other.data_ = data;
    other.size_ = size;
    other.capacity_ = capacity;
    other.failed_ = failed;
  }

  Char* data_ = nullptr;
  size_t size_ = 0;
  size_t capacity_ = 0;
  bool failed_ = false;
};

}  // namespace tarvelo::platform
