// The manager's single-file command text and the names the listing sends back: a command that
// decodes carries the exact protocol name; any name, once made printable, is valid UTF-8 and
// survives the listing JSON unchanged; the name order is antisymmetric.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>

#include "Session/FileSystemError.hpp"
#include "Session/MacSingleFileProtocol.hpp"
#include "Support/Text.hpp"

using namespace vantrel;

namespace {
int sign(int v) { return (v > 0) - (v < 0); }
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);

  if (const auto command = MacSingleFileCommand::decode(text)) {
    if (command->protocolName != MacSingleFileCommand::commandProtocolName) std::abort();
  }

  const auto printable = text::printableFileName(text);
  if (!text::isValidUTF8(printable)) std::abort();
  if (text::isValidUTF8(text) && printable != text) std::abort();

  const MacSingleFileList list(printable, {{text::nfc(printable), false, true, 1, ""}});
  const auto parsed = nlohmann::json::parse(list.jsonString());
  if (parsed["path"].get<std::string>() != printable) std::abort();
  if (parsed["entries"][0]["name"].get<std::string>() != text::nfc(printable)) std::abort();

  const auto half = text.size() / 2;
  const std::string a = text.substr(0, half);
  const std::string b = text.substr(half);
  if (sign(MacSingleFileService::standardCompare(a, b)) !=
      -sign(MacSingleFileService::standardCompare(b, a))) {
    std::abort();
  }
  return 0;
}
