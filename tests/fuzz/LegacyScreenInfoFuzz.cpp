// Parses arbitrary bytes as a screen request and builds both answers from them. Answers keep the
// request's length and change nothing outside the fields they write.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "Protocol/LegacyScreenInfo.hpp"

using namespace vantrel;
namespace Codec = LegacyScreenInfoCodec;

namespace {

bool onlyFieldsChanged(ByteView request, const Bytes& answer) {
  if (answer.size() != request.size()) return false;
  for (std::size_t i = 0; i < answer.size(); ++i) {
    const bool field = (i >= Codec::kindOffset && i < Codec::comNumOffset + 4) ||
                       (i >= Codec::clientWidthOffset && i < Codec::numericFieldsEndOffset);
    if (!field && answer[i] != request[i]) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ByteView request(data, size);
  const auto fields = Codec::parse(request);
  if (fields && fields->kind != 21 && fields->kind != 25) std::abort();

  std::int64_t values[5] = {};
  if (size >= 40) std::memcpy(values, data, sizeof(values));
  const auto answer = Codec::makeGetScreenInfoResponse(request, static_cast<std::uint16_t>(size), values[0],
                                                       values[1], values[2], values[3], values[4]);
  if (answer && (!fields || fields->kind != 21 || !onlyFieldsChanged(request, *answer))) std::abort();
  const auto reset = Codec::makeDecoderResetResponse(request, 7);
  if (reset.has_value() != fields.has_value()) std::abort();
  if (reset && !onlyFieldsChanged(request, *reset)) std::abort();

  const auto fitted = Codec::fitAspect(values[0], values[1], values[2], values[3]);
  if (fitted.width < 1 || fitted.height < 1) std::abort();
  const auto target = Codec::chooseTargetSize(values[0], values[1], values[2], values[3]);
  if (target.width < 2 || target.height < 2 || target.width % 2 != 0 || target.height % 2 != 0) std::abort();
  const auto bitrate = Codec::recommendedBitrate(values[2], values[3]);
  if (bitrate < 1'500'001 || bitrate > 3'000'000) std::abort();
  return 0;
}
