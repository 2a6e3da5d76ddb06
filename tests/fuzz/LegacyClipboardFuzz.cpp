// Reads arbitrary bytes with every clipboard, folder and string reader. Only the codec's own
// errors may be thrown; every value read must be within its limits and survive a round trip
// through the matching builder. On small inputs the string scan must find exactly what checking
// every candidate record from scratch finds.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "Protocol/LegacyClipboardCodec.hpp"
#include "Protocol/LegacyNrbfRecords.hpp"
#include "Support/Text.hpp"

using namespace vantrel;
namespace Codec = LegacyClipboardCodec;

namespace {

void checkScanAgainstRescan(ByteView bytes) {
  const auto found = LegacyNrbf::scanStringRecords(bytes, 0, 1000);
  if (found.decodedBytes > bytes.size()) std::abort();
  std::size_t count = 0;
  ByteView last;
  for (std::size_t at = 0; at < bytes.size();) {
    const auto prefix = bytes.size() - at >= 6 ? LegacyNrbf::readLengthPrefix(bytes, at + 5) : std::nullopt;
    const auto id = bytes.size() - at >= 6 ? *readU32LE(bytes, at + 1) : 0;
    const auto start = at + 5 + (prefix ? prefix->byteCount : 0);
    if (bytes[at] == 0x06 && id >= 1 && id <= 1023 && prefix && prefix->length <= 1000 &&
        prefix->length <= bytes.size() - start &&
        text::isValidUTF8(bytes.subspan(start, static_cast<std::size_t>(prefix->length)))) {
      ++count;
      last = bytes.subspan(start, static_cast<std::size_t>(prefix->length));
      at = start + last.size();
    } else {
      ++at;
    }
  }
  if (count != found.count || !std::equal(last.begin(), last.end(), found.last.begin(), found.last.end())) {
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ByteView payload(data, size);
  if (size <= 65'536) checkScanAgainstRescan(payload);
  try {
    const auto value = Codec::decode(payload);
    switch (value.kind()) {
      case LegacyClipboardValue::Case::text:
        if (value.textValue().size() > Codec::maximumTextBytes || !text::isValidUTF8(value.textValue()))
          std::abort();
        if (Codec::decode(Codec::makeText(value.textValue(), 1)) != value) std::abort();
        break;
      case LegacyClipboardValue::Case::imagePNG:
        if (value.pngData().size() < 16 || value.pngData().size() > Codec::maximumImageBytes) std::abort();
        if (Codec::decode(Codec::makeImagePNG(value.pngData(), 1)) != value) std::abort();
        break;
      case LegacyClipboardValue::Case::files: break;
    }
  } catch (const LegacyClipboardCodecError&) {
  }

  if (const auto folder = Codec::decodeCurrentFolder(payload)) {
    if (!text::isValidUTF8(folder->folder) || !text::isValidUTF8(folder->message)) std::abort();
    if (Codec::decodeCurrentFolder(Codec::makeCurrentFolder(folder->folder, folder->message, 2)) != folder) {
      std::abort();
    }
  }
  for (const std::uint32_t kind : {128u, 129u}) {
    if (const auto text = Codec::decodeStringDataClass(payload, kind)) {
      if (text->size() > Codec::maximumTextBytes) std::abort();
      if (Codec::decodeStringDataClass(Codec::makeStringDataClass(kind, *text, 3), kind) != text)
        std::abort();
    }
  }
  return 0;
}
