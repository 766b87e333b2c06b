#pragma once
// One owner for every kind of handle: ScopedGeneric<T, Traits> holds one
// value of T and frees it through Traits when it goes, in the manner of
// Chromium's base::ScopedGeneric. A kind of handle is one traits class:
//
//   struct FdTraits {
//     static int InvalidValue() noexcept { return -1; }
//     static void Free(int fd) noexcept { ::close(fd); }
//   };
//   using ScopedFd = ScopedGeneric<int, FdTraits>;
//
// Free is called only for a valid value (one that is not InvalidValue()).
// The owner moves and never copies.
#include <utility>

namespace platform {

template <typename T, typename Traits>
class ScopedGeneric {
 public:
  using element_type = T;
  using traits_type = Traits;

  ScopedGeneric() noexcept : value_(Traits::InvalidValue()) {}
  explicit ScopedGeneric(T value) noexcept : value_(value) {}
  ScopedGeneric(ScopedGeneric&& other) noexcept : value_(other.release()) {}
  ScopedGeneric& operator=(ScopedGeneric&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  ScopedGeneric(const ScopedGeneric&) = delete;
  ScopedGeneric& operator=(const ScopedGeneric&) = delete;
  ~ScopedGeneric() { reset(); }

  // Frees the value held so far (unless it is value itself) and takes over
  // value.
  void reset(T value = Traits::InvalidValue()) noexcept {
    const T old = std::exchange(value_, value);
    if (old != Traits::InvalidValue() && old != value) Traits::Free(old);
  }

  // Gives the value up without freeing it.
  [[nodiscard]] T release() noexcept { return std::exchange(value_, Traits::InvalidValue()); }

  [[nodiscard]] const T& get() const noexcept { return value_; }
  [[nodiscard]] bool valid() const noexcept { return value_ != Traits::InvalidValue(); }
  [[nodiscard]] explicit operator bool() const noexcept { return valid(); }

  // Compares the value held, as a raw handle would be ("file == nullptr").
  [[nodiscard]] bool operator==(const T& value) const noexcept { return value_ == value; }
  [[nodiscard]] bool operator!=(const T& value) const noexcept { return value_ != value; }

 private:
  T value_;
};

}  // namespace platform
