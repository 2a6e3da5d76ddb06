#pragma once

// A settings file whose only fault is a number no double can hold (1e999) is still an object of
// settings: such numbers are read as null, the wrong type for every key, so each takes its key's
// default and the rest of the file is kept.

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vantrel {

struct OutOfRangeNumber {
  std::string key;  // the top-level key whose value holds it; empty when there is none
  std::string number;
};

struct NulledText {
  std::string text;
  std::vector<OutOfRangeNumber> numbers;  // the first few of them, each shortened
  std::size_t count = 0;
  // Where each replacement ends in `text`, and how many bytes shorter `text` is from there on.
  std::vector<std::pair<std::size_t, std::ptrdiff_t>> shifts;

  std::size_t originalByte(std::size_t byte) const {
    std::ptrdiff_t shift = 0;
    for (const auto& [end, delta] : shifts) {
      if (end > byte) break;
      shift = delta;
    }
    return static_cast<std::size_t>(static_cast<std::ptrdiff_t>(byte) + shift);
  }
};

// The text with every number a double cannot hold written as null, and which they were. Strings
// are left alone; a number counts only where it stands as a token of its own.
NulledText nullOutOfRangeNumbers(std::string_view text);

// Names the numbers that were read as null: the first few, then how many more.
std::string describeOutOfRangeNumbers(const NulledText& nulled);

}  // namespace vantrel
