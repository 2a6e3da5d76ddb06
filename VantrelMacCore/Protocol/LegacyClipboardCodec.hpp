#pragma once

// Clipboard, current-folder and single-string TSocketData envelopes. Builders copy a stored
// template, patch `Kind` and `ComNum` and append the variable records; readers find `Kind` with
// the envelope probe and collect the string records by a byte scan (no general MS-NRBF parser).

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "Support/Bytes.hpp"
#include "Support/Error.hpp"

namespace vantrel {

// A clipboard value read from a manager envelope.
class LegacyClipboardValue {
 public:
  enum class Case { text, imagePNG, files };

  static LegacyClipboardValue text(std::string value) {
    return LegacyClipboardValue(Case::text, std::move(value), {});
  }
  static LegacyClipboardValue imagePNG(Bytes png) {
    return LegacyClipboardValue(Case::imagePNG, {}, std::move(png));
  }
  // The manager announces files on its clipboard; the envelope carries no names.
  static LegacyClipboardValue files() { return LegacyClipboardValue(Case::files, {}, {}); }

  Case kind() const noexcept { return case_; }
  // The text of a `text` value (empty for the other cases).
  const std::string& textValue() const noexcept { return text_; }
  // The PNG stream of an `imagePNG` value (empty for the other cases).
  const Bytes& pngData() const noexcept { return png_; }

  friend bool operator==(const LegacyClipboardValue&, const LegacyClipboardValue&) = default;

 private:
  LegacyClipboardValue(Case c, std::string text, Bytes png)
      : case_(c), text_(std::move(text)), png_(std::move(png)) {}
  Case case_;
  std::string text_;
  Bytes png_;
};

class LegacyClipboardCodecError : public Error {
 public:
  enum class Case { invalidEnvelope, unsupportedValue, valueTooLarge };

  static LegacyClipboardCodecError invalidEnvelope() {
    return LegacyClipboardCodecError(Case::invalidEnvelope);
  }
  static LegacyClipboardCodecError unsupportedValue() {
    return LegacyClipboardCodecError(Case::unsupportedValue);
  }
  static LegacyClipboardCodecError valueTooLarge() { return LegacyClipboardCodecError(Case::valueTooLarge); }

  Case kind() const noexcept { return case_; }

  std::optional<std::string> errorDescription() const override;
  std::string errorDomain() const override { return "VantrelMacCore.LegacyClipboardCodecError"; }
  int errorCode() const override { return static_cast<int>(case_); }

  friend bool operator==(const LegacyClipboardCodecError& a, const LegacyClipboardCodecError& b) {
    return a.case_ == b.case_;
  }

 private:
  explicit LegacyClipboardCodecError(Case c) : case_(c) {}
  Case case_;
};

namespace LegacyClipboardCodec {

// UTF-8 bytes of one text or one decoded string.
inline constexpr std::size_t maximumTextBytes = 4'194'304;
// Bytes of one PNG stream.
inline constexpr std::size_t maximumImageBytes = 67'108'864;

struct CurrentFolder {
  std::string folder;
  std::string message;
  friend bool operator==(const CurrentFolder&, const CurrentFolder&) = default;
};

// The stored envelopes, built once (thread-safe on first use).
const Bytes& textTemplate();    // 270 bytes, Kind 65, ComNum 209, a 27-byte placeholder string
const Bytes& imageTemplate();   // 540 bytes, Kind 66 at 341, a 128-byte 2×2 placeholder PNG at 411
const Bytes& fileTemplate();    // 238 bytes, Kind 67, null DataClass
const Bytes& folderTemplate();  // 327 bytes, Kind 35, Folder placeholder "C:\\Clipboard Target"

// Clipboard text (Kind 65), UTF-8 as given. Throws `valueTooLarge` above 4 MiB.
Bytes makeText(std::string_view text, std::uint16_t comNum);
// Any envelope whose DataClass is one string (e.g. the single-file list reply, Kind 128).
Bytes makeStringDataClass(std::uint32_t kind, std::string_view text, std::uint16_t comNum);
// Clipboard image (Kind 66): the PNG stream from its signature through the last IEND chunk.
// Throws `invalidEnvelope` for data that is not such a stream or exceeds 64 MiB.
Bytes makeImagePNG(ByteView png, std::uint16_t comNum);
// File notification (Kind 67, no DataClass); always 238 bytes.
Bytes makeFileNotification(std::uint16_t comNum);
// Current paste folder (Kind 35) with a message.
Bytes makeCurrentFolder(std::string_view folder, std::string_view message, std::uint16_t comNum);

// Text (65), image (66) or files (67); throws `invalidEnvelope` for what the probe rejects or a
// value that cannot be found, `unsupportedValue` for any other Kind.
LegacyClipboardValue decode(ByteView payload);
// (folder, message) of a Kind 35 envelope with at least two strings: the last two.
std::optional<CurrentFolder> decodeCurrentFolder(ByteView payload);
// The last string of an envelope of the expected Kind.
std::optional<std::string> decodeStringDataClass(ByteView payload, std::uint32_t expectedKind);

}  // namespace LegacyClipboardCodec

}  // namespace vantrel
