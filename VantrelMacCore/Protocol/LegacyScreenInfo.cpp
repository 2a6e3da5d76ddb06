#include "Protocol/LegacyScreenInfo.hpp"

#include <algorithm>
#include <cmath>

#include "Protocol/LegacyTSocketDataKindProbe.hpp"

namespace vantrel::LegacyScreenInfoCodec {
namespace {

void writeUInt32(Bytes& data, std::uint32_t value, std::size_t offset) {
  (void)writeInteger<std::uint32_t>(data, offset, value, Endian::little);
}

void writeInt32(Bytes& data, std::int64_t value, std::size_t offset) {
  writeUInt32(data, static_cast<std::uint32_t>(clampToInt32(value)), offset);
}

std::int32_t int32At(ByteView data, std::size_t offset) { return *readI32LE(data, offset); }

// floor() of a non-negative double as an integer, saturating instead of overflowing.
std::int64_t floorToInt64(double value) noexcept {
  const double floored = std::floor(value);
  if (!(floored < 9.2233720368547758e18)) return INT64_MAX;
  if (floored < -9.2233720368547758e18) return INT64_MIN;
  return static_cast<std::int64_t>(floored);
}

std::int64_t evenFloor(std::int64_t value) noexcept { return value - (value % 2); }

}  // namespace

std::optional<LegacyScreenInfoFields> parse(ByteView payload) noexcept {
  if (payload.size() < numericFieldsEndOffset) return std::nullopt;
  const auto kind = LegacyTSocketDataKindProbe::probeKind(payload);
  if (!kind ||
      (*kind != LegacyMgrProtocolCommand::getScreenInfo && *kind != LegacyMgrProtocolCommand::getScreen)) {
    return std::nullopt;
  }
  LegacyScreenInfoFields fields;
  fields.kind = *kind;
  fields.comNum = int32At(payload, comNumOffset);
  fields.clientWidth = int32At(payload, clientWidthOffset);
  fields.clientHeight = int32At(payload, clientHeightOffset);
  fields.picWidth = int32At(payload, picWidthOffset);
  fields.picHeight = int32At(payload, picHeightOffset);
  fields.accel = int32At(payload, accelOffset);
  fields.cursor = int32At(payload, cursorOffset);
  fields.screenInfoVersion = int32At(payload, screenInfoVersionOffset);
  fields.monitorCount = int32At(payload, monitorCountOffset);
  fields.selectedIndex = int32At(payload, selectedIndexOffset);
  fields.dpiRate = int32At(payload, dpiRateOffset);
  return fields;
}

std::optional<Bytes> makeGetScreenInfoResponse(ByteView requestPayload, std::uint16_t comNum,
                                               std::int64_t clientWidth, std::int64_t clientHeight,
                                               std::int64_t picWidth, std::int64_t picHeight,
                                               std::int64_t dpiRate) {
  if (requestPayload.size() < numericFieldsEndOffset) return std::nullopt;
  if (LegacyTSocketDataKindProbe::probeKind(requestPayload) != LegacyMgrProtocolCommand::getScreen) {
    return std::nullopt;
  }
  Bytes response(requestPayload.begin(), requestPayload.end());
  writeUInt32(response, LegacyMgrProtocolCommand::getScreenInfo, kindOffset);
  writeUInt32(response, comNum, comNumOffset);
  writeInt32(response, clientWidth, clientWidthOffset);
  writeInt32(response, clientHeight, clientHeightOffset);
  writeInt32(response, picWidth, picWidthOffset);
  writeInt32(response, picHeight, picHeightOffset);
  writeInt32(response, responseScreenInfoVersion, screenInfoVersionOffset);
  writeInt32(response, 1, monitorCountOffset);
  writeInt32(response, 0, selectedIndexOffset);
  writeInt32(response, dpiRate, dpiRateOffset);
  return response;
}

std::optional<Bytes> makeDecoderResetResponse(ByteView requestPayload, std::uint16_t comNum) {
  if (requestPayload.size() < numericFieldsEndOffset) return std::nullopt;
  const auto kind = LegacyTSocketDataKindProbe::probeKind(requestPayload);
  if (!kind ||
      (*kind != LegacyMgrProtocolCommand::getScreenInfo && *kind != LegacyMgrProtocolCommand::getScreen)) {
    return std::nullopt;
  }
  Bytes response(requestPayload.begin(), requestPayload.end());
  writeUInt32(response, LegacyMgrProtocolCommand::getScreenInfo, kindOffset);
  writeUInt32(response, comNum, comNumOffset);
  writeInt32(response, 0, clientWidthOffset);
  writeInt32(response, 0, clientHeightOffset);
  writeInt32(response, 0, picWidthOffset);
  writeInt32(response, 0, picHeightOffset);
  writeInt32(response, responseScreenInfoVersion, screenInfoVersionOffset);
  return response;
}

PixelSize fitAspect(std::int64_t sourceWidth, std::int64_t sourceHeight, std::int64_t maxWidth,
                    std::int64_t maxHeight) noexcept {
  const auto sw = static_cast<double>(std::max<std::int64_t>(sourceWidth, 1));
  const auto sh = static_cast<double>(std::max<std::int64_t>(sourceHeight, 1));
  const auto mw = static_cast<double>(std::max<std::int64_t>(maxWidth, 1));
  const auto mh = static_cast<double>(std::max<std::int64_t>(maxHeight, 1));
  const double scale = std::min({1.0, mw / sw, mh / sh});
  return {std::max<std::int64_t>(floorToInt64(sw * scale), 1),
          std::max<std::int64_t>(floorToInt64(sh * scale), 1)};
}

PixelSize chooseTargetSize(std::int64_t sourceWidth, std::int64_t sourceHeight,
                           std::int64_t requestedPicWidth, std::int64_t requestedPicHeight) noexcept {
  if (sourceWidth < 1 || sourceHeight < 1) return {fallbackTargetWidth, fallbackTargetHeight};
  if (requestedPicWidth >= minTargetWidth && requestedPicWidth <= 3840 &&
      requestedPicHeight >= minTargetHeight && requestedPicHeight <= 2160) {
    const auto w = evenFloor(std::min({sourceWidth, requestedPicWidth, maxTargetWidth}));
    const auto h = evenFloor(std::min({sourceHeight, requestedPicHeight, maxTargetHeight}));
    if (w != 0 && h != 0) return {w, h};
  }
  const auto sw = static_cast<double>(sourceWidth);
  const auto sh = static_cast<double>(sourceHeight);
  const double scale =
      std::min({1.0, static_cast<double>(maxTargetWidth) / sw, static_cast<double>(maxTargetHeight) / sh});
  auto w = floorToInt64(sw * scale);
  auto h = floorToInt64(sh * scale);
  w = w < 2 ? 0 : evenFloor(w);
  h = h < 2 ? 0 : evenFloor(h);
  if (w != 0 && h != 0) return {w, h};
  return {fallbackTargetWidth, fallbackTargetHeight};
}

std::int64_t recommendedBitrate(std::int64_t width, std::int64_t height) noexcept {
  const auto w = static_cast<double>(std::max<std::int64_t>(width, 1));
  const auto h = static_cast<double>(std::max<std::int64_t>(height, 1));
  const double ratio = std::min(1.0, (w * h) / 2'073'600.0);
  return static_cast<std::int64_t>(std::round(1'500'000.0 + 1'500'000.0 * ratio));
}

}  // namespace vantrel::LegacyScreenInfoCodec
