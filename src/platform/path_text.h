#pragma once

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <utility>

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
  // Copies and moves alike: `other` is already this one's copy or the moved text.
  PathText& operator=(PathText other) noexcept {
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
  PathText& Append(const Char* text) noexcept {
    size_t length = 0;
    while (text != nullptr && text[length] != Char(0)) {
      ++length;
    }
    return Append(text, length);
  }
  PathText& Append(const PathText& other) noexcept {
    if (other.failed_) {
      Fail();
    }
    return Append(other.c_str(), other.size_);
  }
  PathText& Append(Char unit) noexcept { return Append(&unit, 1); }
  // Appends what a system's conversion writes: `convert(nullptr, 0)` gives the
  // units it needs, its terminator included, and `convert(out, capacity)` writes
  // them and returns that count. False when it fails or memory runs out.
  template <typename Convert>
  bool AppendConverted(Convert convert) noexcept {
    const int units = convert(nullptr, 0);
    auto* buffer =
        static_cast<Char*>(units > 0 ? std::malloc(sizeof(Char) * static_cast<size_t>(units)) : nullptr);
    const bool converted = buffer != nullptr && convert(buffer, units) == units;
    if (converted) {
      Append(buffer, static_cast<size_t>(units) - 1);
    }
    std::free(buffer);
    return converted && !failed_;
  }

  void Clear() noexcept {
    size_ = 0;
    if (data_ != nullptr) {
      data_[0] = Char(0);
    }
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
  // The first unit from `from` on that is `unit` (`equal`) or is not.
  [[nodiscard]] size_t Find(Char unit, size_t from = 0, bool equal = true) const noexcept {
    for (size_t at = from; at < size_; ++at) {
      if ((data_[at] == unit) == equal) {
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
  [[nodiscard]] size_t size() const noexcept { return size_; }
  [[nodiscard]] bool empty() const noexcept { return size_ == 0; }
  [[nodiscard]] bool failed() const noexcept { return failed_; }
  Char operator[](size_t at) const noexcept { return data_[at]; }
  [[nodiscard]] const Char* begin() const noexcept { return c_str(); }
  [[nodiscard]] const Char* end() const noexcept { return c_str() + size_; }
  [[nodiscard]] Char front() const noexcept { return c_str()[0]; }

  // Also joins a text (`path + "name"`), which converts.
  friend PathText operator+(const PathText& one, const PathText& other) noexcept {
    PathText joined(one);
    joined.Append(other);
    return joined;
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
    std::swap(data_, other.data_);
    std::swap(size_, other.size_);
    std::swap(capacity_, other.capacity_);
    std::swap(failed_, other.failed_);
  }

  Char* data_ = nullptr;
  size_t size_ = 0;
  size_t capacity_ = 0;
  bool failed_ = false;
};

}  // namespace tarvelo::platform
