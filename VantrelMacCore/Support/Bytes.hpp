#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace vantrel {

// Owned bytes (the system's `Data`) and a read-only view of bytes.
using Bytes = std::vector<std::uint8_t>;
using ByteView = std::span<const std::uint8_t>;

inline ByteView asBytes(std::string_view text) noexcept {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

inline Bytes toBytes(std::string_view text) {
  const auto view = asBytes(text);
  return Bytes(view.begin(), view.end());
}

inline std::string toString(ByteView bytes) {
  return std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

inline bool startsWith(ByteView bytes, ByteView prefix) noexcept {
  return bytes.size() >= prefix.size() &&
         (prefix.empty() || std::memcmp(bytes.data(), prefix.data(), prefix.size()) == 0);
}

inline void append(Bytes& out, ByteView more) { out.insert(out.end(), more.begin(), more.end()); }

// Upper-case hexadecimal of the bytes, no separators ("0AFF").
std::string hexString(ByteView bytes);
// Lower-case hexadecimal, no separators ("0aff").
std::string hexStringLower(ByteView bytes);
// Parses hexadecimal (either case, even length, no separators); nullopt when malformed.
std::optional<Bytes> bytesFromHex(std::string_view hex);

enum class Endian { little, big };

namespace detail {
template <typename T>
inline T loadRaw(const std::uint8_t* p, Endian endian) noexcept {
  using U = std::make_unsigned_t<T>;
  U v = 0;
  if (endian == Endian::little) {
    for (std::size_t i = sizeof(T); i-- > 0;) v = static_cast<U>((v << 8) | p[i]);
  } else {
    for (std::size_t i = 0; i < sizeof(T); ++i) v = static_cast<U>((v << 8) | p[i]);
  }
  return static_cast<T>(v);
}

template <typename T>
inline void storeRaw(std::uint8_t* p, T value, Endian endian) noexcept {
  using U = std::make_unsigned_t<T>;
  auto v = static_cast<U>(value);
  for (std::size_t i = 0; i < sizeof(T); ++i) {
    const auto byte = static_cast<std::uint8_t>(v & 0xFFu);
    if (endian == Endian::little) {
      p[i] = byte;
    } else {
      p[sizeof(T) - 1 - i] = byte;
    }
    if constexpr (sizeof(T) > 1) v = static_cast<U>(v >> 8);
  }
}
}  // namespace detail

// Bounds-checked read of an integer at an offset; nullopt when it does not fit.
template <typename T>
inline std::optional<T> readInteger(ByteView bytes, std::size_t offset, Endian endian) noexcept {
  static_assert(std::is_integral_v<T>);
  if (offset > bytes.size() || bytes.size() - offset < sizeof(T)) return std::nullopt;
  return detail::loadRaw<T>(bytes.data() + offset, endian);
}

// Bounds-checked write of an integer at an offset; false (nothing written) when it does not fit.
template <typename T>
inline bool writeInteger(std::span<std::uint8_t> bytes, std::size_t offset, T value, Endian endian) noexcept {
  static_assert(std::is_integral_v<T>);
  if (offset > bytes.size() || bytes.size() - offset < sizeof(T)) return false;
  detail::storeRaw<T>(bytes.data() + offset, value, endian);
  return true;
}

inline std::optional<std::uint16_t> readU16LE(ByteView b, std::size_t o) noexcept {
  return readInteger<std::uint16_t>(b, o, Endian::little);
}
inline std::optional<std::uint32_t> readU32LE(ByteView b, std::size_t o) noexcept {
  return readInteger<std::uint32_t>(b, o, Endian::little);
}
inline std::optional<std::int32_t> readI32LE(ByteView b, std::size_t o) noexcept {
  return readInteger<std::int32_t>(b, o, Endian::little);
}
inline std::optional<std::uint64_t> readU64LE(ByteView b, std::size_t o) noexcept {
  return readInteger<std::uint64_t>(b, o, Endian::little);
}
inline std::optional<std::int64_t> readI64LE(ByteView b, std::size_t o) noexcept {
  return readInteger<std::int64_t>(b, o, Endian::little);
}
inline std::optional<std::uint16_t> readU16BE(ByteView b, std::size_t o) noexcept {
  return readInteger<std::uint16_t>(b, o, Endian::big);
}
inline std::optional<std::uint32_t> readU32BE(ByteView b, std::size_t o) noexcept {
  return readInteger<std::uint32_t>(b, o, Endian::big);
}

// Sequential bounds-checked reader. Every read returns nullopt once the data is exhausted and
// leaves the position unchanged, so a parser can bail out at the first short read.
class ByteReader {
 public:
  explicit ByteReader(ByteView bytes) noexcept : bytes_(bytes) {}

  std::size_t position() const noexcept { return position_; }
  std::size_t remaining() const noexcept { return bytes_.size() - position_; }
  bool atEnd() const noexcept { return position_ == bytes_.size(); }
  bool seek(std::size_t position) noexcept {
    if (position > bytes_.size()) return false;
    position_ = position;
    return true;
  }
  bool skip(std::size_t count) noexcept {
    if (count > remaining()) return false;
    position_ += count;
    return true;
  }

  template <typename T>
  std::optional<T> read(Endian endian) noexcept {
    auto value = readInteger<T>(bytes_, position_, endian);
    if (value) position_ += sizeof(T);
    return value;
  }
  std::optional<std::uint8_t> u8() noexcept { return read<std::uint8_t>(Endian::little); }
  std::optional<std::uint16_t> u16le() noexcept { return read<std::uint16_t>(Endian::little); }
  std::optional<std::uint32_t> u32le() noexcept { return read<std::uint32_t>(Endian::little); }
  std::optional<std::int32_t> i32le() noexcept { return read<std::int32_t>(Endian::little); }
  std::optional<std::uint64_t> u64le() noexcept { return read<std::uint64_t>(Endian::little); }
  std::optional<std::int64_t> i64le() noexcept { return read<std::int64_t>(Endian::little); }
  std::optional<std::uint16_t> u16be() noexcept { return read<std::uint16_t>(Endian::big); }
  std::optional<std::uint32_t> u32be() noexcept { return read<std::uint32_t>(Endian::big); }

  // A view of the next `count` bytes (valid while the underlying bytes live).
  std::optional<ByteView> bytes(std::size_t count) noexcept {
    if (count > remaining()) return std::nullopt;
    auto view = bytes_.subspan(position_, count);
    position_ += count;
    return view;
  }

 private:
  ByteView bytes_;
  std::size_t position_ = 0;
};

// Appending writer over an owned buffer.
class ByteWriter {
 public:
  ByteWriter() = default;
  explicit ByteWriter(std::size_t reserve) { bytes_.reserve(reserve); }

  template <typename T>
  ByteWriter& write(T value, Endian endian) {
    const auto at = bytes_.size();
    bytes_.resize(at + sizeof(T));
    detail::storeRaw<T>(bytes_.data() + at, value, endian);
    return *this;
  }
  ByteWriter& u8(std::uint8_t v) { return write(v, Endian::little); }
  ByteWriter& u16le(std::uint16_t v) { return write(v, Endian::little); }
  ByteWriter& u32le(std::uint32_t v) { return write(v, Endian::little); }
  ByteWriter& i32le(std::int32_t v) { return write(v, Endian::little); }
  ByteWriter& u64le(std::uint64_t v) { return write(v, Endian::little); }
  ByteWriter& i64le(std::int64_t v) { return write(v, Endian::little); }
  ByteWriter& u16be(std::uint16_t v) { return write(v, Endian::big); }
  ByteWriter& u32be(std::uint32_t v) { return write(v, Endian::big); }
  ByteWriter& bytes(ByteView v) {
    append(bytes_, v);
    return *this;
  }
  ByteWriter& zeros(std::size_t count) {
    bytes_.resize(bytes_.size() + count, 0);
    return *this;
  }

  std::size_t size() const noexcept { return bytes_.size(); }
  const Bytes& data() const noexcept { return bytes_; }
  Bytes take() && { return std::move(bytes_); }

 private:
  Bytes bytes_;
};

// Clamps a wider integer into a 32-bit field instead of wrapping it.
template <typename T>
constexpr std::uint32_t clampToUInt32(T value) noexcept {
  if constexpr (std::is_signed_v<T>) {
    if (value < 0) return 0;
  }
  using U = std::make_unsigned_t<T>;
  const auto u = static_cast<U>(value);
  if constexpr (sizeof(U) > sizeof(std::uint32_t)) {
    if (u > static_cast<U>(UINT32_MAX)) return UINT32_MAX;
  }
  return static_cast<std::uint32_t>(u);
}

template <typename T>
constexpr std::int32_t clampToInt32(T value) noexcept {
  if constexpr (std::is_signed_v<T>) {
    if constexpr (sizeof(T) > sizeof(std::int32_t)) {
      if (value < static_cast<T>(INT32_MIN)) return INT32_MIN;
      if (value > static_cast<T>(INT32_MAX)) return INT32_MAX;
    }
    return static_cast<std::int32_t>(value);
  } else {
    if (value > static_cast<std::make_unsigned_t<T>>(INT32_MAX)) return INT32_MAX;
    return static_cast<std::int32_t>(value);
  }
}

}  // namespace vantrel
