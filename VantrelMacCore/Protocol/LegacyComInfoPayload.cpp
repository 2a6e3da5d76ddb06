#include "Protocol/LegacyComInfoPayload.hpp"

#include <array>
#include <cstdio>
#include <cstdlib>

#include "Protocol/LegacyNrbfRecords.hpp"

namespace vantrel::LegacyComInfoPayload {
namespace {

namespace nrbf = LegacyNrbf;

constexpr std::uint32_t kTemplateKind = 82;

[[noreturn]] void offsetFault(std::size_t offset, std::size_t size) {
  std::fprintf(stderr, "LegacyComInfoPayload: offset %zu outside data of %zu bytes\n", offset, size);
  std::abort();
}

template <typename T>
void store(T value, Bytes& data, std::size_t offset) {
  if (!writeInteger<T>(data, offset, value, Endian::little)) offsetFault(offset, data.size());
}

template <typename T>
T load(ByteView data, std::size_t offset) {
  const auto value = readInteger<T>(data, offset, Endian::little);
  if (!value) offsetFault(offset, data.size());
  return *value;
}

Bytes buildTemplate() {
  static constexpr std::array<std::string_view, 21> members{"ComNum",
                                                            "Lasttime",
                                                            "Ver",
                                                            "설정이름",
                                                            "width",
                                                            "height",
                                                            "externalIp",
                                                            "vpnInfo",
                                                            "CpuUsage",
                                                            "GpuUsage",
                                                            "RamUsage",
                                                            "RamSize",
                                                            "HddSize",
                                                            "HddRemain",
                                                            "MyUsedMem",
                                                            "UsedTime",
                                                            "ConType",
                                                            "Remoting",
                                                            "screenRate",
                                                            "ScreenProtocolVersion",
                                                            "MobileProxyProtocolVersion"};
  constexpr std::uint8_t P = nrbf::binaryTypePrimitive;
  constexpr std::uint8_t S = nrbf::binaryTypeString;
  static constexpr std::array<std::uint8_t, 21> binaryTypes{P, P, S, S, P, P, S, S, P, P, P,
                                                            P, P, P, P, S, S, S, P, P, P};
  static constexpr std::array<std::uint8_t, 14> primitiveTypes{
      nrbf::primitiveInt32, nrbf::primitiveDateTime, nrbf::primitiveInt32, nrbf::primitiveInt32,
      nrbf::primitiveByte,  nrbf::primitiveByte,     nrbf::primitiveByte,  nrbf::primitiveInt32,
      nrbf::primitiveInt32, nrbf::primitiveInt64,    nrbf::primitiveInt64, nrbf::primitiveInt32,
      nrbf::primitiveInt32, nrbf::primitiveInt32};

  Bytes out = nrbf::commonSocketDataPrefix(kTemplateKind, 0);
  nrbf::appendMemberReference(out, 4);
  nrbf::appendClassWithMembersAndTypesHead(out, 4, "Corvantis.TBasicInfo", members, binaryTypes);
  out.insert(out.end(), primitiveTypes.begin(), primitiveTypes.end());
  nrbf::appendInt32(out, nrbf::managerLibraryID);
  nrbf::appendInt32(out, 0);                             // ComNum
  out.insert(out.end(), 8, 0);                           // Lasttime
  nrbf::appendBinaryObjectString(out, 5, "mac-0.2");     // Ver
  nrbf::appendBinaryObjectString(out, 6, "VantrelMac");  // 설정이름
  nrbf::appendInt32(out, 0);                             // width
  nrbf::appendInt32(out, 0);                             // height
  nrbf::appendBinaryObjectString(out, static_cast<std::int32_t>(externalIPObjectID), externalIPPlaceholder);
  nrbf::appendBinaryObjectString(out, 8, "");  // vpnInfo
  out.insert(out.end(), 3, 0);                 // CpuUsage, GpuUsage, RamUsage
  nrbf::appendInt32(out, 0);                   // RamSize
  nrbf::appendInt32(out, 0);                   // HddSize
  out.insert(out.end(), 16, 0);                // HddRemain, MyUsedMem
  nrbf::appendBinaryObjectString(out, static_cast<std::int32_t>(usedTimeObjectID), usedTimePlaceholder);
  nrbf::appendBinaryObjectString(out, 10, "D");          // ConType
  nrbf::appendBinaryObjectString(out, 11, "0,0,0,0,0");  // Remoting
  nrbf::appendInt32(out, 100);                           // screenRate
  nrbf::appendInt32(out, 3);                             // ScreenProtocolVersion
  nrbf::appendInt32(out, 0);                             // MobileProxyProtocolVersion
  out.push_back(nrbf::messageEndRecord);
  if (out.size() != templateByteCount) {
    std::fprintf(stderr, "LegacyComInfoPayload: template has %zu bytes\n", out.size());
    std::abort();
  }
  return out;
}

}  // namespace

const Bytes& templateBytes() {
  static const Bytes bytes = buildTemplate();
  return bytes;
}

Bytes makePayload(std::uint16_t comNum, const LegacyComInfoSnapshot& snapshot) {
  Bytes payload = templateBytes();
  writeUInt32LittleEndian(comNum, payload, socketDataComNumOffset);
  writeUInt32LittleEndian(comNum, payload, basicInfoComNumOffset);
  writeInt32LittleEndian(clampedInt32(snapshot.width), payload, widthOffset);
  writeInt32LittleEndian(clampedInt32(snapshot.height), payload, heightOffset);
  payload[cpuUsageOffset] = clampedPercentByte(snapshot.cpuUsage);
  payload[gpuUsageOffset] = clampedPercentByte(snapshot.gpuUsage);
  payload[ramUsageOffset] = clampedPercentByte(snapshot.ramUsage);
  writeInt32LittleEndian(clampedInt32(snapshot.ramSizeGB), payload, ramSizeOffset);
  writeInt32LittleEndian(clampedInt32FromBytes(snapshot.hddSizeBytes), payload, hddSizeOffset);
  writeInt64LittleEndian(snapshot.hddRemainBytes, payload, hddRemainOffset);
  writeInt64LittleEndian(snapshot.processUsedMemoryBytes < 0 ? 0 : snapshot.processUsedMemoryBytes, payload,
                         processUsedMemoryOffset);
  writeInt32LittleEndian(clampedInt32(snapshot.screenRate), payload, screenRateOffset);
  writeInt32LittleEndian(clampedInt32(snapshot.screenProtocolVersion), payload, screenProtocolVersionOffset);
  writeInt32LittleEndian(clampedInt32(snapshot.mobileProxyProtocolVersion), payload,
                         mobileProxyProtocolVersionOffset);
  // The later record first: a replacement shifts everything behind it, so both offsets stay the
  // template's own.
  (void)replaceBinaryObjectString(payload, static_cast<std::int64_t>(usedTimeRecordOffset), usedTimeObjectID,
                                  usedTimePlaceholder, snapshot.usedTime);
  (void)replaceBinaryObjectString(payload, static_cast<std::int64_t>(externalIPRecordOffset),
                                  externalIPObjectID, externalIPPlaceholder, snapshot.externalIP);
  return payload;
}

bool replaceBinaryObjectString(Bytes& data, std::int64_t recordOffset, std::uint32_t expectedObjectID,
                               std::string_view expectedPlaceholder, std::string_view newValue) {
  if (newValue.size() > maxBinaryObjectStringUTF8Length || recordOffset < 0) return false;
  // A placeholder longer than 255 bytes cannot match a one-byte length.
  if (expectedPlaceholder.size() > 0xFF) return false;
  const auto offset = static_cast<std::uint64_t>(recordOffset);
  if (offset > data.size() || data.size() - offset < 6 + expectedPlaceholder.size()) return false;
  const auto at = static_cast<std::size_t>(offset);
  if (data[at] != nrbf::binaryObjectStringRecord) return false;
  if (readU32LE(data, at + 1) != expectedObjectID) return false;
  if (data[at + 5] != expectedPlaceholder.size()) return false;
  const auto placeholder = asBytes(expectedPlaceholder);
  if (!std::equal(placeholder.begin(), placeholder.end(),
                  data.begin() + static_cast<std::ptrdiff_t>(at + 6))) {
    return false;
  }
  Bytes replacement;
  replacement.reserve(1 + newValue.size());
  replacement.push_back(static_cast<std::uint8_t>(newValue.size()));
  append(replacement, asBytes(newValue));
  const auto first = data.begin() + static_cast<std::ptrdiff_t>(at + 5);
  const auto last = first + static_cast<std::ptrdiff_t>(1 + placeholder.size());
  const auto position = data.erase(first, last);
  data.insert(position, replacement.begin(), replacement.end());
  return true;
}

void writeUInt32LittleEndian(std::uint32_t value, Bytes& data, std::size_t offset) {
  store(value, data, offset);
}
void writeInt32LittleEndian(std::int32_t value, Bytes& data, std::size_t offset) {
  store(value, data, offset);
}
void writeInt64LittleEndian(std::int64_t value, Bytes& data, std::size_t offset) {
  store(value, data, offset);
}
std::int32_t readInt32LittleEndian(ByteView data, std::size_t offset) {
  return load<std::int32_t>(data, offset);
}
std::uint32_t readUInt32LittleEndian(ByteView data, std::size_t offset) {
  return load<std::uint32_t>(data, offset);
}
std::int64_t readInt64LittleEndian(ByteView data, std::size_t offset) {
  return load<std::int64_t>(data, offset);
}

std::int32_t clampedInt32(std::int64_t value) noexcept { return clampToInt32(value); }
std::int32_t clampedInt32FromBytes(std::int64_t value) noexcept { return clampToInt32(value); }

std::uint8_t clampedPercentByte(std::int64_t value) noexcept {
  if (value < 0) return 0;
  if (value > 100) return 100;
  return static_cast<std::uint8_t>(value);
}

}  // namespace vantrel::LegacyComInfoPayload
