// Owned secret bytes that are wiped before their memory is released.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace zantu::core {

// Overwrites `len` bytes at `p` with zeros in a way the compiler cannot elide.
void wipe_bytes(void* p, std::size_t len) noexcept;

// Wipes a std::string's whole buffer (contents and spare capacity) and empties it.
void wipe_string(std::string& s) noexcept;

// An allocator that zeroes every block before giving it back, so a container's
// reallocation never leaves a stale copy of its contents behind.
template <class T>
struct WipingAllocator {
  using value_type = T;
  WipingAllocator() noexcept = default;
  template <class U>
  WipingAllocator(const WipingAllocator<U>&) noexcept {}
  T* allocate(std::size_t n) { return std::allocator<T>{}.allocate(n); }
  void deallocate(T* p, std::size_t n) noexcept {
    wipe_bytes(p, n * sizeof(T));
    std::allocator<T>{}.deallocate(p, n);
  }
  template <class U>
  friend bool operator==(const WipingAllocator&, const WipingAllocator<U>&) noexcept {
    return true;
  }
};

// A growable, move-only byte buffer for any secret: values, key copies,
// passphrases, plaintext, tool output. Destruction (and `wipe`) zeroes the used
// bytes, sets the length to 0, zeroes the whole capacity, then frees.
class SecretBuffer {
 public:
  SecretBuffer() = default;
  explicit SecretBuffer(std::span<const std::uint8_t> bytes) { append(bytes); }
  explicit SecretBuffer(std::string_view text) { append(text); }
  SecretBuffer(const SecretBuffer&) = delete;
  SecretBuffer& operator=(const SecretBuffer&) = delete;
  SecretBuffer(SecretBuffer&& other) noexcept = default;
  SecretBuffer& operator=(SecretBuffer&& other) noexcept;
  ~SecretBuffer() { wipe(); }

  // An explicit copy; secrets are never copied implicitly.
  [[nodiscard]] SecretBuffer clone() const { return SecretBuffer(as_bytes()); }

  void reserve(std::size_t n) { bytes_.reserve(n); }
  void append(std::span<const std::uint8_t> bytes) { bytes_.insert(bytes_.end(), bytes.begin(), bytes.end()); }
  void append(std::string_view text) {
    append(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
  }
  void push_back(std::uint8_t b) { bytes_.push_back(b); }
  // Grows or shrinks to `n` bytes; new bytes are zero.
  void resize(std::size_t n) { bytes_.resize(n); }
  // Zeroes the used bytes and empties the buffer, keeping its allocation.
  void clear() noexcept;
  // Zeroes used bytes and the whole capacity; the buffer stays allocated but empty.
  void wipe() noexcept;

  [[nodiscard]] std::uint8_t* data() noexcept { return bytes_.data(); }
  [[nodiscard]] const std::uint8_t* data() const noexcept { return bytes_.data(); }
  [[nodiscard]] std::size_t size() const noexcept { return bytes_.size(); }
  [[nodiscard]] std::size_t capacity() const noexcept { return bytes_.capacity(); }
  [[nodiscard]] bool empty() const noexcept { return bytes_.empty(); }
  [[nodiscard]] std::span<const std::uint8_t> as_bytes() const noexcept { return {bytes_.data(), bytes_.size()}; }
  [[nodiscard]] std::string_view view() const noexcept {
    return {reinterpret_cast<const char*>(bytes_.data()), bytes_.size()};
  }

 private:
  std::vector<std::uint8_t, WipingAllocator<std::uint8_t>> bytes_;
};

// Secret bytes owned on the heap through exactly one pointer: moving a value
// moves the pointer, never the bytes. Dropped values are wiped (SecretBuffer).
class SecretValue {
 public:
  SecretValue() : buf_(std::make_unique<SecretBuffer>()) {}
  // Takes the buffer over without copying its bytes.
  explicit SecretValue(SecretBuffer&& bytes) : buf_(std::make_unique<SecretBuffer>(std::move(bytes))) {}
  SecretValue(const SecretValue&) = delete;
  SecretValue& operator=(const SecretValue&) = delete;
  SecretValue(SecretValue&&) noexcept = default;
  SecretValue& operator=(SecretValue&&) noexcept = default;
  ~SecretValue() = default;

  // Copies the bytes of a view into a new buffer.
  [[nodiscard]] static SecretValue from(std::string_view text) { return SecretValue(SecretBuffer(text)); }
  [[nodiscard]] static SecretValue from(std::span<const std::uint8_t> bytes) { return SecretValue(SecretBuffer(bytes)); }
  // Takes an owned string: its bytes are copied once and the string is wiped,
  // so no second copy outlives this call.
  [[nodiscard]] static SecretValue from(std::string&& text);

  [[nodiscard]] SecretValue clone() const { return from(as_bytes()); }

  [[nodiscard]] std::span<const std::uint8_t> as_bytes() const noexcept {
    return buf_ ? buf_->as_bytes() : std::span<const std::uint8_t>{};
  }
  [[nodiscard]] std::string_view view() const noexcept { return buf_ ? buf_->view() : std::string_view{}; }
  [[nodiscard]] std::size_t size() const noexcept { return buf_ ? buf_->size() : 0; }
  [[nodiscard]] bool empty() const noexcept { return size() == 0; }

  // Byte equality in constant time for equal lengths.
  [[nodiscard]] bool equals(std::span<const std::uint8_t> other) const noexcept;

 private:
  std::unique_ptr<SecretBuffer> buf_;
};

static_assert(sizeof(SecretValue) == sizeof(void*), "a SecretValue is one owning pointer");

}  // namespace zantu::core
