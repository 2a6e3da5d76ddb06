#include "Platform/Screen/H264AnnexB.hpp"

namespace vantrel::H264AnnexB {

std::optional<std::uint8_t> nalType(ByteView nal) noexcept {
  if (nal.empty() || (nal[0] & 0x80) != 0) return std::nullopt;
  return static_cast<std::uint8_t>(nal[0] & 0x1F);
}

Bytes makeAccessUnit(const std::vector<ByteView>& nals) {
  std::size_t total = 0;
  for (const auto nal : nals) {
    if (!nal.empty()) total += startCode.size() + nal.size();
  }
  Bytes out;
  out.reserve(total);
  const auto appendMatching = [&](auto&& accept) {
    for (const auto nal : nals) {
      if (nal.empty() || !accept(nalType(nal))) continue;
      append(out, startCode);
      append(out, nal);
    }
  };
  appendMatching([](auto type) { return type == nalSequenceParameterSet; });
  appendMatching([](auto type) { return type == nalPictureParameterSet; });
  appendMatching([](auto type) { return type != nalSequenceParameterSet && type != nalPictureParameterSet; });
  return out;
}

std::vector<ByteView> splitNalUnits(ByteView stream) {
  std::vector<ByteView> units;
  const std::size_t size = stream.size();
  // Positions just after each 00 00 01 sequence.
  std::size_t i = 0;
  std::optional<std::size_t> begin;
  while (i + 3 <= size) {
    if (stream[i] == 0 && stream[i + 1] == 0 && stream[i + 2] == 1) {
      if (begin) {
        std::size_t end = i;
        while (end > *begin && stream[end - 1] == 0) --end;
        if (end > *begin) units.push_back(stream.subspan(*begin, end - *begin));
      }
      i += 3;
      begin = i;
      continue;
    }
    ++i;
  }
  if (begin && *begin < size) {
    std::size_t end = size;
    while (end > *begin && stream[end - 1] == 0) --end;
    if (end > *begin) units.push_back(stream.subspan(*begin, end - *begin));
  }
  return units;
}

bool containsIdrSlice(ByteView stream) {
  for (const auto nal : splitNalUnits(stream)) {
    if (nalType(nal) == nalSliceIdr) return true;
  }
  return false;
}

bool startsWithParameterSets(ByteView stream) {
  if (!startsWith(stream, startCode)) return false;
  const auto units = splitNalUnits(stream);
  return units.size() >= 2 && nalType(units[0]) == nalSequenceParameterSet &&
         nalType(units[1]) == nalPictureParameterSet;
}

}  // namespace vantrel::H264AnnexB
