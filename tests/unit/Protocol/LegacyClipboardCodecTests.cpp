#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "LegacyTestBytes.hpp"
#include "Protocol/LegacyClipboardCodec.hpp"

namespace vantrel {
namespace {

using namespace testbytes;
namespace Codec = LegacyClipboardCodec;

// The 128-byte 2×2 placeholder PNG: signature, IHDR, a tEXt comment of 33 'x', IDAT, IEND.
Bytes placeholderPNG() {
  return cat({hex("89504E470D0A1A0A"), hex("0000000D 49484452 00000002 00000002 08 02 00 00 00 FDD49A73"),
              hex("00000029 74455874"), ascii("Comment"), hex("00"), ascii(std::string(33, 'x')),
              hex("98271617"), hex("00000012 49444154 78DA63F8CFC0C000C20CFF8100001FEE05FB F1ABBA77"),
              hex("00000000 49454E44 AE426082")});
}

// A small "PNG" for the builders: they look only at the signature and the IEND marker.
Bytes tinyPNG() { return cat({hex("89504E470D0A1A0A"), ascii("body"), hex("49454E44AE426082")}); }

// Bytes 0…400 of the image envelope, laid out by hand.
Bytes imagePrefix(std::string_view kindAndComNum) {
  return cat({
      hex("00 01000000 FFFFFFFF 01000000 00000000"),
      hex("0C 02000000 41"),
      ascii("VantrelMgr, Version=1.0.0.0, Culture=neutral, PublicKeyToken=null"),
      hex("0C 03000000 51"),
      ascii("System.Drawing, Version=4.0.0.0, Culture=neutral, PublicKeyToken=b03f5f7f11d50a3a"),
      hex("05 01000000 15"),
      ascii("Corvantis.TSocketData"),
      hex("03000000"),
      hex("04"),
      ascii("Kind"),
      hex("06"),
      ascii("ComNum"),
      hex("09"),
      ascii("DataClass"),
      hex("04 00 04"),
      hex("19"),
      ascii("Corvantis.MgrProtocolEnum"),
      hex("02000000"),
      hex("08"),
      hex("15"),
      ascii("System.Drawing.Bitmap"),
      hex("03000000"),
      hex("02000000"),
      hex("05 FCFFFFFF 19"),
      ascii("Corvantis.MgrProtocolEnum"),
      hex("01000000 07"),
      ascii("value__"),
      hex("00 08 02000000"),
      hex(kindAndComNum),
      hex("09 05000000"),
      hex("05 05000000 15"),
      ascii("System.Drawing.Bitmap"),
      hex("01000000 04"),
      ascii("Data"),
      hex("07 02 03000000"),
      hex("09 06000000"),
  });
}

// Bytes 0…298 of the folder envelope, laid out by hand (ending with 06 05 00 00 00).
Bytes folderPrefix(std::string_view kindAndComNum) {
  return cat({commonPrefix(kindAndComNum), hex("09 04000000"), hex("05 04000000 1A"),
              ascii("Corvantis.TClibboardResult"), hex("02000000"), hex("06"), ascii("Folder"), hex("03"),
              ascii("Msg"), hex("01 01 02000000"), hex("06 05000000")});
}

TEST(LegacyClipboardCodec, TemplatesAreLockedBySizeBytesAndHash) {
  ASSERT_EQ(placeholderPNG().size(), 128u);
  struct Row {
    const char* name;
    const Bytes& actual;
    Bytes expected;
    std::size_t size;
    const char* sha256;
  };
  const Row rows[] = {
      {"text", Codec::textTemplate(),
       cat({commonPrefix("41000000 D1000000"), hex("06 04000000 1B"), ascii("Clipboard text placeholder."),
            hex("0B")}),
       270, "1bc0dabda5f8147285feee929f9e2f8554c0d30eb8745d78fdd01e88aeb032be"},
      {"file", Codec::fileTemplate(), cat({commonPrefix("43000000 D1000000"), hex("0A 0B")}), 238,
       "e5249330e4ead94f281f3376e5ae4e2db1adc208fc55cceb6b2f34c273c6dfb5"},
      {"folder", Codec::folderTemplate(),
       cat({folderPrefix("23000000 D1000000"), hex("14 43 3A 5C 5C"), ascii("Clipboard Target"),
            hex("06 06000000 00"), hex("0B")}),
       327, "0f287f8d1c87639e360528a7c4d802d0c144c0ae9f9ec771b682acd52baa8f46"},
      {"image", Codec::imageTemplate(),
       cat({imagePrefix("42000000 D1000000"), hex("0F 06000000 80000000 02"), placeholderPNG(), hex("0B")}),
       540, "b055ef083564b7d3609bf8f6bb884e9f541a29d4f8f79f7a755d09cdd420e69a"},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(row.actual.size(), row.size) << row.name;
    EXPECT_EQ(row.actual, row.expected) << row.name;
    EXPECT_EQ(sha256Hex(row.actual), row.sha256) << row.name;
  }
  // Offsets the manager reads, checked apart from the prefix builders above.
  const auto& folder = Codec::folderTemplate();
  EXPECT_EQ(folder[294], 0x06);
  EXPECT_EQ(folder[299], 20);
  EXPECT_EQ(folder[300], 'C');
  EXPECT_EQ(folder[320], 0x06);
  const auto& image = Codec::imageTemplate();
  EXPECT_EQ(Bytes(image.begin() + 327, image.begin() + 341), hex("07 76616C75655F5F 00 08 02000000"));
  EXPECT_EQ(Bytes(image.begin() + 341, image.begin() + 349), hex("42000000 D1000000"));
  EXPECT_EQ(Bytes(image.begin() + 411, image.begin() + 419), hex("89504E470D0A1A0A"));
}

TEST(LegacyClipboardCodec, MakeTextMatchesTheHandLaidBytes) {
  EXPECT_EQ(Codec::makeText("Hi", 0x0102),
            cat({commonPrefix("41000000 02010000"), hex("06 04000000 02"), ascii("Hi"), hex("0B")}));
  const auto empty = Codec::makeText("", 0);
  EXPECT_EQ(empty.size(), 243u);
  EXPECT_EQ(Bytes(empty.end() - 7, empty.end()), hex("06 04000000 00 0B"));
}

TEST(LegacyClipboardCodec, TextLimitIsFourMebibytes) {
  EXPECT_EQ(Codec::maximumTextBytes, 4'194'304u);
  EXPECT_EQ(Codec::makeText(std::string(4'194'304, 'z'), 1).size(), 242u + 4u + 4'194'304u);
  try {
    (void)Codec::makeText(std::string(4'194'305, 'z'), 1);
    FAIL() << "expected valueTooLarge";
  } catch (const LegacyClipboardCodecError& error) {
    EXPECT_EQ(error, LegacyClipboardCodecError::valueTooLarge());
    EXPECT_STREQ(error.what(), "Clipboard value exceeds the safe size limit.");
  }
}

TEST(LegacyClipboardCodec, StringDataClassCarriesAnyKind) {
  const auto bytes = Codec::makeStringDataClass(128, "[]", 5);
  EXPECT_EQ(bytes, cat({commonPrefix("80000000 05000000"), hex("06 04000000 02"), ascii("[]"), hex("0B")}));
  EXPECT_EQ(Codec::decodeStringDataClass(bytes, 128), "[]");
  EXPECT_EQ(Codec::decodeStringDataClass(bytes, 129), std::nullopt);
}

TEST(LegacyClipboardCodec, MakeImageMatchesTheHandLaidBytes) {
  const auto png = tinyPNG();
  const auto bytes = Codec::makeImagePNG(png, 0x1234);
  EXPECT_EQ(bytes, cat({imagePrefix("42000000 34120000"), hex("0F 06000000 14000000 02"), png, hex("0B")}));
  EXPECT_EQ(bytes.size(), 412u + png.size());
}

TEST(LegacyClipboardCodec, MakeImageSendsThroughTheLastIEND) {
  const auto png = tinyPNG();
  // Trailing bytes after the last IEND are dropped.
  auto trailing = cat({png, ascii("junk")});
  EXPECT_EQ(Codec::makeImagePNG(trailing, 0), Codec::makeImagePNG(png, 0));
  // With two IEND markers everything up to the second is sent.
  const auto twice = cat({png, ascii("more"), hex("49454E44AE426082"), ascii("tail")});
  const auto bytes = Codec::makeImagePNG(twice, 0);
  EXPECT_EQ(bytes.size(), 412u + twice.size() - 4u);
  EXPECT_EQ(Bytes(bytes.end() - 9, bytes.end()), hex("49454E44AE426082 0B"));
  // The real placeholder PNG goes through unchanged.
  const auto real = Codec::makeImagePNG(placeholderPNG(), 209);
  EXPECT_EQ(real, Codec::imageTemplate());
}

TEST(LegacyClipboardCodec, MakeImageRejectsWhatIsNotAPNGStream) {
  const auto expectInvalid = [](const Bytes& data) {
    try {
      (void)Codec::makeImagePNG(data, 0);
      ADD_FAILURE() << "expected invalidEnvelope for " << data.size() << " bytes";
    } catch (const LegacyClipboardCodecError& error) {
      EXPECT_EQ(error, LegacyClipboardCodecError::invalidEnvelope());
    }
  };
  expectInvalid({});
  expectInvalid(cat({ascii("x"), tinyPNG()}));                     // signature not first
  expectInvalid(cat({hex("89504E470D0A1A0A"), ascii("no end")}));  // no IEND
  expectInvalid(hex("89504E470D0A1A0A 49454E44AE4260"));           // IEND cut short
  expectInvalid(hex("89504E470D0A1A"));
}

TEST(LegacyClipboardCodec, ImageOverSixtyFourMebibytesIsAnInvalidEnvelope) {
  EXPECT_EQ(Codec::maximumImageBytes, 67'108'864u);
  Bytes big(Codec::maximumImageBytes + 1, 0);
  const auto head = hex("89504E470D0A1A0A");
  std::copy(head.begin(), head.end(), big.begin());
  const auto end = hex("49454E44AE426082");
  std::copy(end.begin(), end.end(), big.end() - 8);
  try {
    (void)Codec::makeImagePNG(big, 0);
    FAIL() << "expected invalidEnvelope";
  } catch (const LegacyClipboardCodecError& error) {
    EXPECT_EQ(error, LegacyClipboardCodecError::invalidEnvelope());
  }
  // Exactly 64 MiB is allowed.
  big.resize(Codec::maximumImageBytes);
  std::copy(end.begin(), end.end(), big.end() - 8);
  EXPECT_EQ(Codec::makeImagePNG(big, 0).size(), 412u + Codec::maximumImageBytes);
}

TEST(LegacyClipboardCodec, FileNotificationPatchesKindAndComNum) {
  const auto bytes = Codec::makeFileNotification(0x1234);
  EXPECT_EQ(bytes, cat({commonPrefix("43000000 34120000"), hex("0A 0B")}));
  EXPECT_EQ(Codec::decode(bytes), LegacyClipboardValue::files());
}

TEST(LegacyClipboardCodec, CurrentFolderMatchesTheHandLaidBytes) {
  const auto bytes = Codec::makeCurrentFolder("/Users/me/Desktop", "", 7);
  EXPECT_EQ(bytes, cat({folderPrefix("23000000 07000000"), hex("11"), ascii("/Users/me/Desktop"),
                        hex("06 06000000 00 0B")}));
  const auto decoded = Codec::decodeCurrentFolder(bytes);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->folder, "/Users/me/Desktop");
  EXPECT_EQ(decoded->message, "");
}

TEST(LegacyClipboardCodec, CurrentFolderRoundTripsLongAndKoreanStrings) {
  const std::string folder = "/Users/관리자/" + std::string(300, 'f');
  const std::string message = "파일을 받을 수 없습니다";
  const auto bytes = Codec::makeCurrentFolder(folder, message, 65535);
  EXPECT_EQ(Codec::decodeCurrentFolder(bytes), (Codec::CurrentFolder{folder, message}));
}

TEST(LegacyClipboardCodec, DecodeReadsTheLastStringOfATextEnvelope) {
  EXPECT_EQ(Codec::decode(Codec::makeText("안녕하세요", 3)), LegacyClipboardValue::text("안녕하세요"));
  EXPECT_EQ(Codec::decode(Codec::textTemplate()).textValue(), "Clipboard text placeholder.");
  // Two string records: the second one wins.
  const auto two = cat({commonPrefix("41000000 00000000"), hex("06 04000000 03"), ascii("one"),
                        hex("06 05000000 03"), ascii("two"), hex("0B")});
  const auto value = Codec::decode(two);
  EXPECT_EQ(value.kind(), LegacyClipboardValue::Case::text);
  EXPECT_EQ(value.textValue(), "two");
  // An empty text is still a text.
  EXPECT_EQ(Codec::decode(Codec::makeText("", 1)), LegacyClipboardValue::text(""));
}

TEST(LegacyClipboardCodec, DecodeFailures) {
  const auto expectError = [](const Bytes& payload, LegacyClipboardCodecError expected) {
    try {
      (void)Codec::decode(payload);
      ADD_FAILURE() << "expected an error";
    } catch (const LegacyClipboardCodecError& error) {
      EXPECT_EQ(error, expected);
    }
  };
  // Text envelope with a null DataClass.
  expectError(cat({commonPrefix("41000000 00000000"), hex("0A 0B")}),
              LegacyClipboardCodecError::invalidEnvelope());
  // Another kind.
  expectError(cat({commonPrefix("15000000 00000000"), hex("0A 0B")}),
              LegacyClipboardCodecError::unsupportedValue());
  // Not an envelope at all.
  expectError(Bytes(300, 0), LegacyClipboardCodecError::invalidEnvelope());
  expectError({}, LegacyClipboardCodecError::invalidEnvelope());
  // Image kind without a PNG, or without its end.
  expectError(cat({commonPrefix("42000000 00000000"), hex("0A 0B")}),
              LegacyClipboardCodecError::invalidEnvelope());
  expectError(cat({commonPrefix("42000000 00000000"), hex("89504E470D0A1A0A 00")}),
              LegacyClipboardCodecError::invalidEnvelope());
  // An IEND only before the signature does not count.
  expectError(cat({commonPrefix("42000000 00000000"), hex("49454E44AE426082 89504E470D0A1A0A")}),
              LegacyClipboardCodecError::invalidEnvelope());
  EXPECT_STREQ(LegacyClipboardCodecError::invalidEnvelope().what(), "Invalid legacy clipboard envelope.");
  EXPECT_STREQ(LegacyClipboardCodecError::unsupportedValue().what(), "Unsupported legacy clipboard value.");
}

TEST(LegacyClipboardCodec, DecodeImageTakesTheStreamFromSignatureToLastIEND) {
  const auto png = tinyPNG();
  const auto built = Codec::makeImagePNG(png, 1);
  EXPECT_EQ(Codec::decode(built), LegacyClipboardValue::imagePNG(png));
  EXPECT_EQ(Codec::decode(Codec::imageTemplate()).pngData(), placeholderPNG());
  // A second IEND after the message end extends the stream.
  auto extended = built;
  append(extended, hex("49454E44AE426082"));
  const auto value = Codec::decode(extended);
  EXPECT_EQ(value.pngData().size(), png.size() + 1 + 8);
}

TEST(LegacyClipboardCodec, ScanSkipsMalformedStringRecords) {
  const auto decodeText = [](const Bytes& tail) {
    return Codec::decodeStringDataClass(cat({commonPrefix("41000000 00000000"), tail}), 65);
  };
  // Object IDs 0 and 1024 are skipped; 1 and 1023 are read.
  EXPECT_EQ(decodeText(hex("06 00000000 01 41 0B")), std::nullopt);
  EXPECT_EQ(decodeText(hex("06 00040000 01 41 0B")), std::nullopt);
  EXPECT_EQ(decodeText(hex("06 01000000 01 41 0B")), "A");
  EXPECT_EQ(decodeText(hex("06 FF030000 01 41 0B")), "A");
  // Invalid UTF-8 is skipped, and the scan resumes one byte after the 0x06: a record hidden
  // inside the skipped one is found.
  EXPECT_EQ(decodeText(cat({hex("06 04000000 0C FF 06 05000000 02"), ascii("ok"), hex("0B")})), "ok");
  // A length running past the end is skipped.
  EXPECT_EQ(decodeText(hex("06 04000000 05 41 0B")), std::nullopt);
  // More than five length bytes are abandoned.
  EXPECT_EQ(decodeText(hex("06 04000000 8080808080 00 0B")), std::nullopt);
  // Five length bytes are fine (a non-minimal zero length here).
  EXPECT_EQ(decodeText(hex("06 04000000 8080808000 0B")), "");
  // A length above 4 MiB is skipped even if the bytes are there.
  Bytes over = hex("06 04000000 81808002");  // 4,194,305
  over.resize(over.size() + 4'194'305, 'a');
  EXPECT_EQ(decodeText(over), std::nullopt);
  Bytes exact = hex("06 04000000 80808002");  // 4,194,304
  exact.resize(exact.size() + 4'194'304, 'a');
  const auto read = decodeText(exact);
  ASSERT_TRUE(read);
  EXPECT_EQ(read->size(), 4'194'304u);
  // A record at the very end with fewer than 6 bytes left is not read.
  EXPECT_EQ(decodeText(hex("06 04000000")), std::nullopt);
  // Nothing before ComNum is scanned: the strings of the class record are not strings.
  EXPECT_EQ(decodeText(hex("0A 0B")), std::nullopt);
}

TEST(LegacyClipboardCodec, ManyTinyRecordsLeaveTheLastOnesToTheReaders) {
  Bytes tail;
  for (int i = 0; i < 100'000; ++i) append(tail, hex("06 01000000 00"));
  append(tail, cat({hex("06 02000000 01"), ascii("F"), hex("06 03000000 01"), ascii("M"), hex("0B")}));
  EXPECT_EQ(Codec::decodeStringDataClass(cat({commonPrefix("80000000 00000000"), tail}), 128), "M");
  EXPECT_EQ(Codec::decode(cat({commonPrefix("41000000 00000000"), tail})), LegacyClipboardValue::text("M"));
  EXPECT_EQ(Codec::decodeCurrentFolder(cat({commonPrefix("23000000 00000000"), tail})),
            (Codec::CurrentFolder{"F", "M"}));
}

TEST(LegacyClipboardCodec, CurrentFolderNeedsKind35AndTwoStrings) {
  const auto one = cat({folderPrefix("23000000 00000000"), hex("03"), ascii("abc"), hex("0B")});
  EXPECT_EQ(Codec::decodeCurrentFolder(one), std::nullopt);
  const auto wrongKind = Codec::makeStringDataClass(34, "x", 0);
  EXPECT_EQ(Codec::decodeCurrentFolder(wrongKind), std::nullopt);
  EXPECT_EQ(Codec::decodeCurrentFolder(Bytes(400, 6)), std::nullopt);
  // Three strings: the last two are folder and message.
  const auto three = cat({commonPrefix("23000000 00000000"), hex("06 04000000 01"), ascii("a"),
                          hex("06 05000000 01"), ascii("b"), hex("06 06000000 01"), ascii("c"), hex("0B")});
  EXPECT_EQ(Codec::decodeCurrentFolder(three), (Codec::CurrentFolder{"b", "c"}));
}

}  // namespace
}  // namespace vantrel
