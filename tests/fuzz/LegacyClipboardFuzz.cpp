// Reads arbitrary bytes with every clipboard, folder and string reader. Only the codec's own
// errors may be thrown; every value read must be within its limits and survive a round trip
// through the matching builder.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "Protocol/LegacyClipboardCodec.hpp"
#include "Support/Text.hpp"

using namespace vantrel;
namespace Codec = LegacyClipboardCodec;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ByteView payload(data, size);
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
