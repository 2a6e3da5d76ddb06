#include "Model/Settings/UserDefaults.hpp"

#include <array>
#include <cmath>
#include <limits>

namespace vantrel {
namespace {

constexpr std::string_view dataKey = "$data";
constexpr std::string_view base64Alphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string base64Encode(ByteView bytes) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const std::uint32_t v =
        (std::uint32_t{bytes[i]} << 16) | (std::uint32_t{bytes[i + 1]} << 8) | bytes[i + 2];
    for (int shift = 18; shift >= 0; shift -= 6) out.push_back(base64Alphabet[(v >> shift) & 0x3F]);
  }
  const auto rest = bytes.size() - i;
  if (rest > 0) {
    std::uint32_t v = std::uint32_t{bytes[i]} << 16;
    if (rest == 2) v |= std::uint32_t{bytes[i + 1]} << 8;
    out.push_back(base64Alphabet[(v >> 18) & 0x3F]);
    out.push_back(base64Alphabet[(v >> 12) & 0x3F]);
    out.push_back(rest == 2 ? base64Alphabet[(v >> 6) & 0x3F] : '=');
    out.push_back('=');
  }
  return out;
}

int base64Digit(char c) {
  const auto at = base64Alphabet.find(c);
  return at == std::string_view::npos ? -1 : static_cast<int>(at);
}

// Standard alphabet with padding; anything else (white space included) fails.
std::optional<Bytes> base64Decode(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  Bytes out;
  out.reserve(text.size() / 4 * 3);
  for (std::size_t i = 0; i < text.size(); i += 4) {
    const bool last = i + 4 == text.size();
    std::array<int, 4> d{};
    int padding = 0;
    for (std::size_t k = 0; k < 4; ++k) {
      const char c = text[i + k];
      if (c == '=' && last && k >= 2) {
        d[k] = 0;
        ++padding;
        continue;
      }
      if (padding > 0) return std::nullopt;  // a digit after padding
      d[k] = base64Digit(c);
      if (d[k] < 0) return std::nullopt;
    }
    const std::uint32_t v = (static_cast<std::uint32_t>(d[0]) << 18) |
                            (static_cast<std::uint32_t>(d[1]) << 12) |
                            (static_cast<std::uint32_t>(d[2]) << 6) | static_cast<std::uint32_t>(d[3]);
    out.push_back(static_cast<std::uint8_t>(v >> 16));
    if (padding < 2) out.push_back(static_cast<std::uint8_t>(v >> 8));
    if (padding < 1) out.push_back(static_cast<std::uint8_t>(v));
  }
  return out;
}

}  // namespace

// ---- UserDefaults ----

UserDefaults::UserDefaults(Value initial) : values_(std::move(initial)) {
  if (!values_.is_object()) values_ = Value::object();
}

UserDefaults::~UserDefaults() = default;

std::optional<UserDefaults::Value> UserDefaults::value(std::string_view key) const {
  std::lock_guard lock(mutex_);
  const auto it = values_.find(key);
  if (it == values_.end()) return std::nullopt;
  return *it;
}

bool UserDefaults::contains(std::string_view key) const {
  std::lock_guard lock(mutex_);
  return values_.contains(key);
}

std::optional<std::string> UserDefaults::storedString(std::string_view key) const {
  const auto v = value(key);
  if (!v || !v->is_string()) return std::nullopt;
  return v->get<std::string>();
}

std::optional<std::int64_t> UserDefaults::storedInteger(std::string_view key) const {
  const auto v = value(key);
  if (!v) return std::nullopt;
  if (auto exact = integerValue(*v)) return exact;
  if (!v->is_number_float()) return std::nullopt;
  const double d = v->get<double>();
  // -2^63 is the smallest value that fits and 2^63 the first that does not.
  if (!std::isfinite(d) || std::trunc(d) != d || d < -9223372036854775808.0 || d >= 9223372036854775808.0) {
    return std::nullopt;
  }
  return static_cast<std::int64_t>(d);
}

std::optional<std::int64_t> UserDefaults::integerValue(const Value& value) {
  if (value.is_number_unsigned()) {
    const auto u = value.get<std::uint64_t>();
    if (u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) return std::nullopt;
    return static_cast<std::int64_t>(u);
  }
  if (value.is_number_integer()) return value.get<std::int64_t>();
  return std::nullopt;
}

std::optional<std::uint64_t> UserDefaults::unsignedInteger(std::string_view key) const {
  const auto v = value(key);
  if (!v) return std::nullopt;
  if (v->is_number_unsigned()) return v->get<std::uint64_t>();
  if (v->is_number_integer()) {
    const auto i = v->get<std::int64_t>();
    if (i < 0) return std::nullopt;
    return static_cast<std::uint64_t>(i);
  }
  if (v->is_number_float()) {
    const double d = v->get<double>();
    // 2^64 is the first value that does not fit.
    if (!std::isfinite(d) || d < 0 || d >= 18446744073709551616.0 || std::floor(d) != d) return std::nullopt;
    return static_cast<std::uint64_t>(d);
  }
  return std::nullopt;
}

std::optional<Bytes> UserDefaults::data(std::string_view key) const {
  const auto v = value(key);
  if (!v) return std::nullopt;
  return decodeDataValue(*v);
}

void UserDefaults::setValue(std::string key, Value value) {
  Changes changes;
  changes.emplace_back(std::move(key), std::move(value));
  setValues(std::move(changes));
}

void UserDefaults::setValues(Changes changes) {
  std::lock_guard lock(mutex_);
  for (auto& [key, value] : changes) values_[key] = std::move(value);
  persist(values_);
}

void UserDefaults::removeValue(std::string_view key) {
  std::lock_guard lock(mutex_);
  const auto it = values_.find(key);
  if (it == values_.end()) return;
  values_.erase(it);
  persist(values_);
}

UserDefaults::Value UserDefaults::snapshot() const {
  std::lock_guard lock(mutex_);
  return values_;
}

UserDefaults::Value UserDefaults::dataValue(ByteView bytes) {
  Value object = Value::object();
  object[std::string(dataKey)] = base64Encode(bytes);
  return object;
}

std::optional<Bytes> UserDefaults::decodeDataValue(const Value& value) {
  if (!value.is_object() || value.size() != 1) return std::nullopt;
  const auto it = value.find(dataKey);
  if (it == value.end() || !it->is_string()) return std::nullopt;
  return base64Decode(it->get_ref<const std::string&>());
}

// ---- InMemoryUserDefaults ----

InMemoryUserDefaults::InMemoryUserDefaults() : UserDefaults(Value::object()) {}
InMemoryUserDefaults::InMemoryUserDefaults(Value initial) : UserDefaults(std::move(initial)) {}

std::size_t InMemoryUserDefaults::writeCount() const {
  std::lock_guard lock(countMutex_);
  return writes_;
}

void InMemoryUserDefaults::persist(const Value&) {
  std::lock_guard lock(countMutex_);
  ++writes_;
}

}  // namespace vantrel
