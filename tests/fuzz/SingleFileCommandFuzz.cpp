// The manager's single-file command text and the names the listing sends back: a command that
// decodes carries the exact protocol name and, on small inputs, is what reading the document as
// a tree finds (which must find nothing more unless the document nests deeper than the reader
// allows); any name, once made printable, is valid UTF-8 and survives the listing JSON
// unchanged; the name order is antisymmetric.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "Session/FileSystemError.hpp"
#include "Session/MacSingleFileProtocol.hpp"
#include "Support/Text.hpp"

using namespace vantrel;

namespace {
int sign(int v) { return (v > 0) - (v < 0); }

int depth(const nlohmann::json& value) {
  int deepest = 0;
  if (value.is_structured()) {
    for (const auto& inner : value) deepest = std::max(deepest, depth(inner));
    return deepest + 1;
  }
  return 0;
}

// The five members read from a whole tree; nullopt when one is missing or of another type.
std::optional<MacSingleFileCommand> treeDecode(const nlohmann::json& document) {
  if (!document.is_object()) return std::nullopt;
  MacSingleFileCommand command;
  try {
    command.protocolName = document.at("protocolName").get<std::string>();
    command.path = document.at("path").get<std::string>();
    command.remotePath = document.at("remotePath").get<std::string>();
    const auto& code = document.at("command");
    if (code.is_number_unsigned() && code.get<std::uint64_t>() > std::uint64_t{INT64_MAX})
      return std::nullopt;
    if (!code.is_number_integer()) return std::nullopt;
    command.command = code.get<std::int64_t>();
    const auto& files = document.at("files");
    if (!files.is_array()) return std::nullopt;
    for (const auto& file : files) command.files.push_back(file.get<std::string>());
  } catch (const nlohmann::json::exception&) {
    return std::nullopt;
  }
  if (command.protocolName != MacSingleFileCommand::commandProtocolName) return std::nullopt;
  return command;
}

void checkAgainstTree(const std::string& text, const std::optional<MacSingleFileCommand>& read) {
  const auto document = nlohmann::json::parse(text, nullptr, false);
  const auto fromTree = document.is_discarded() ? std::nullopt : treeDecode(document);
  if (read && read != fromTree) std::abort();
  if (!read && fromTree && depth(document) <= 2) std::abort();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);

  const auto command = MacSingleFileCommand::decode(text);
  if (command && command->protocolName != MacSingleFileCommand::commandProtocolName) std::abort();
  if (size <= 65'536) checkAgainstTree(text, command);

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
