#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace corvane {

/// The element type name ("dtype") that a C++ element type reads. Only these eleven types have one;
/// "float16" has no C++17 counterpart and is read through CameraOutput::data.
template <typename T>
struct DtypeOf;  // undefined: as<T>() does not compile for other types

template <>
struct DtypeOf<bool> {
  static constexpr const char* name = "bool";
};
template <>
struct DtypeOf<std::int8_t> {
  static constexpr const char* name = "int8";
};
template <>
struct DtypeOf<std::uint8_t> {
  static constexpr const char* name = "uint8";
};
template <>
struct DtypeOf<std::int16_t> {
  static constexpr const char* name = "int16";
};
template <>
struct DtypeOf<std::uint16_t> {
  static constexpr const char* name = "uint16";
};
template <>
struct DtypeOf<std::int32_t> {
  static constexpr const char* name = "int32";
};
template <>
struct DtypeOf<std::uint32_t> {
  static constexpr const char* name = "uint32";
};
template <>
struct DtypeOf<std::int64_t> {
  static constexpr const char* name = "int64";
};
template <>
struct DtypeOf<std::uint64_t> {
  static constexpr const char* name = "uint64";
};
template <>
struct DtypeOf<float> {
  static constexpr const char* name = "float32";
};
template <>
struct DtypeOf<double> {
  static constexpr const char* name = "float64";
};

static_assert(sizeof(float) == 4 && std::numeric_limits<float>::is_iec559, "float must be IEEE binary32");
static_assert(sizeof(double) == 8 && std::numeric_limits<double>::is_iec559, "double must be IEEE binary64");

/// A read-only view of an output's bytes as elements of type T, made by CameraOutput::as<T>().
///
/// The bytes live in a std::vector<std::byte> and may sit at any address, so the view never hands out a
/// T* or T&: each element is loaded by value with memcpy (one plain load on common hardware), which is safe
/// for any alignment and any byte pattern. A bool element is true for any non-zero byte. Elements are read
/// in host byte order, as the bridge wrote them. A view of a CameraOutput refers to the output's bytes: it is
/// valid while the output lives and its `data` is not changed. A view of a SharedOutput shares ownership of
/// the reply its bytes lie in, so it stays valid on its own.
template <typename T>
class OutputView {
 public:
  using value_type = T;
  using size_type = std::size_t;

  /// Reads elements by value; an input iterator, so standard algorithms that read once work with it.
  class const_iterator {
   public:
    using iterator_category = std::input_iterator_tag;
    using value_type = T;
    using difference_type = std::ptrdiff_t;
    using pointer = void;
    using reference = T;

    const_iterator() = default;
    T operator*() const noexcept { return OutputView::load(at_); }
    const_iterator& operator++() noexcept {
      at_ += sizeof(T);
      return *this;
    }
    const_iterator operator++(int) noexcept {
      const_iterator before = *this;
      ++*this;
      return before;
    }
    friend bool operator==(const_iterator a, const_iterator b) noexcept { return a.at_ == b.at_; }
    friend bool operator!=(const_iterator a, const_iterator b) noexcept { return a.at_ != b.at_; }

   private:
    friend class OutputView;
    explicit const_iterator(const std::byte* at) noexcept : at_(at) {}
    const std::byte* at_ = nullptr;
  };

  OutputView() noexcept = default;
  /// `count` elements starting at `bytes`; the caller guarantees count * sizeof(T) readable bytes.
  OutputView(const std::byte* bytes, std::size_t count) noexcept : bytes_(bytes), size_(count) {}
  /// The same, keeping `owner` (whatever holds the bytes) alive as long as the view or a copy of it lives.
  OutputView(const std::byte* bytes, std::size_t count, std::shared_ptr<const void> owner) noexcept
      : bytes_(bytes), size_(count), owner_(std::move(owner)) {}

  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  /// Element `index`, unchecked.
  T operator[](std::size_t index) const noexcept { return load(bytes_ + index * sizeof(T)); }
  /// Element `index`; throws std::out_of_range past the end.
  T at(std::size_t index) const {
    if (index >= size_) {
      throw std::out_of_range("OutputView::at: index " + std::to_string(index) + " is not below the size " +
                              std::to_string(size_));
    }
    return (*this)[index];
  }
  const_iterator begin() const noexcept { return const_iterator(bytes_); }
  const_iterator end() const noexcept { return const_iterator(bytes_ + size_ * sizeof(T)); }
  /// The elements copied into a vector the caller owns (naturally aligned, independent of the output).
  std::vector<T> toVector() const { return std::vector<T>(begin(), end()); }

 private:
  static T load(const std::byte* at) noexcept {
    if constexpr (std::is_same_v<T, bool>) {
      return *at != std::byte{0};  // never materialise a bool from a byte other than 0 or 1
    } else {
      T value;
      std::memcpy(&value, at, sizeof(T));
      return value;
    }
  }

  const std::byte* bytes_ = nullptr;
  std::size_t size_ = 0;
  std::shared_ptr<const void> owner_;
};

}  // namespace corvane
