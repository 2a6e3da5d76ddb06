#pragma once

// H.264 Annex-B byte streams: every NAL unit behind a four-byte start code, the sequence and
// picture parameter sets first on a keyframe. The encoder layer builds access units with these
// helpers; tests and tools take them apart again.

#include <array>
#include <cstdint>
#include <vector>

#include "Support/Bytes.hpp"

namespace vantrel::H264AnnexB {

inline constexpr std::array<std::uint8_t, 4> startCode{0x00, 0x00, 0x00, 0x01};

// NAL unit types this system looks at (ITU-T H.264 table 7-1).
inline constexpr std::uint8_t nalSliceNonIdr = 1;
inline constexpr std::uint8_t nalSliceIdr = 5;
inline constexpr std::uint8_t nalSei = 6;
inline constexpr std::uint8_t nalSequenceParameterSet = 7;
inline constexpr std::uint8_t nalPictureParameterSet = 8;
inline constexpr std::uint8_t nalAccessUnitDelimiter = 9;

// The type of a NAL unit given without its start code; nullopt for an empty unit or one whose
// forbidden zero bit is set.
std::optional<std::uint8_t> nalType(ByteView nal) noexcept;

// Joins NAL units (each without start code) into one access unit: every unit behind a four-byte
// start code, sequence parameter sets first, then picture parameter sets, then the rest in their
// given order. Empty units are left out.
Bytes makeAccessUnit(const std::vector<ByteView>& nals);

// The NAL units of an Annex-B stream, without their start codes. Accepts three- and four-byte
// start codes; bytes before the first start code are ignored; trailing zero bytes of a unit
// (the leading zero of the next four-byte start code) are not part of it.
std::vector<ByteView> splitNalUnits(ByteView stream);

// True when the stream holds an IDR slice.
bool containsIdrSlice(ByteView stream);

// True when the stream begins with a four-byte start code, a sequence parameter set and a picture
// parameter set, in that order.
bool startsWithParameterSets(ByteView stream);

}  // namespace vantrel::H264AnnexB
