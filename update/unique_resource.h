#pragma once

// Internal: the one owner of an operating-system resource (a Win32 handle, a POSIX descriptor,
// a block the system allocated). Traits say what an empty value is and how to release one.

#include <utility>

namespace kov::update {

// Traits: `Value`, `static Value Empty()`, `static bool IsValid(Value)`, and
// `static bool Release(Value)`, true when the system accepted the release.
template <class Traits>
class UniqueResource {
 public:
  using Value = typename Traits::Value;

  UniqueResource() = default;
  explicit UniqueResource(Value value) : value_(value) {}
  ~UniqueResource() { Close(); }
  UniqueResource(UniqueResource&& other) noexcept : value_(other.Take()) {}
  UniqueResource& operator=(UniqueResource&& other) noexcept {
    if (this != &other) {
      Close();
      value_ = other.Take();
    }
    return *this;
  }
  UniqueResource(const UniqueResource&) = delete;
  UniqueResource& operator=(const UniqueResource&) = delete;

  bool valid() const { return Traits::IsValid(value_); }
  Value get() const { return value_; }

  // Releases now. False when the system refused, which for a written file can mean that its
  // last writes were lost; an empty owner closes successfully.
  bool Close() {
    const Value value = Take();
    return !Traits::IsValid(value) || Traits::Release(value);
  }

 private:
  Value Take() { return std::exchange(value_, Traits::Empty()); }

  Value value_ = Traits::Empty();
};

}  // namespace kov::update
