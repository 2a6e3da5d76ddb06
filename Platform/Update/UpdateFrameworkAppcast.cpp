#include "Platform/Update/UpdateFrameworkAppcast.hpp"

#include <pugixml.hpp>

#include "Platform/Update/UpdateFrameworkSignature.hpp"
#include "Update/UpdateEncoding.hpp"

namespace vantrel::update_appcast {
namespace {

[[noreturn]] void malformed(const std::string& why) {
  throw updater_errors::make(updater_errors::feedMalformed, "The update feed is malformed: " + why);
}

// The prefix bound to our namespace on the root element ("vantrel" in "xmlns:vantrel=...").
std::string namespacePrefix(const pugi::xml_node& root) {
  for (const auto& attribute : root.attributes()) {
    const std::string_view name = attribute.name();
    if (name.substr(0, 6) == "xmlns:" && std::string_view(attribute.value()) == namespaceURI) {
      return std::string(name.substr(6)) + ":";
    }
  }
  malformed("the root element does not declare " + std::string(namespaceURI));
}

std::optional<AppcastItem> readItem(const pugi::xml_node& node, const std::string& prefix) {
  AppcastItem item;
  item.versionString = node.child((prefix + "version").c_str()).child_value();
  item.displayVersionString = node.child((prefix + "shortVersionString").c_str()).child_value();
  if (!update_encoding::parseBuildNumber(item.versionString)) return std::nullopt;
  if (item.displayVersionString.empty()) item.displayVersionString = item.versionString;

  const auto enclosure = node.child("enclosure");
  const auto url = enclosure.attribute("url");
  const auto length = update_encoding::parseBuildNumber(enclosure.attribute("length").value());
  const std::string signature = enclosure.attribute((prefix + "edSignature").c_str()).value();
  const auto signatureBytes = update_encoding::decodeBase64(signature);
  if (!url || std::string_view(url.value()).empty()) return std::nullopt;
  if (!length || *length > maximumArchiveSize) return std::nullopt;
  if (!signatureBytes || signatureBytes->size() != update_signature::signatureSize) return std::nullopt;
  item.fileURL = url.value();
  item.length = *length;
  item.edSignature = signature;
  return item;
}

}  // namespace

std::optional<AppcastItem> newestItem(std::string_view document, std::uint64_t runningBuild) {
  // No document type, so no entity of ours can ever be declared or fetched.
  if (document.find("<!DOCTYPE") != std::string_view::npos ||
      document.find("<!ENTITY") != std::string_view::npos) {
    malformed("document type declarations are not allowed");
  }
  pugi::xml_document xml;
  const auto options = (pugi::parse_default | pugi::parse_doctype) & ~pugi::parse_pi;
  const auto parsed = xml.load_buffer(document.data(), document.size(), options, pugi::encoding_utf8);
  if (!parsed) malformed(parsed.description());
  for (const auto& node : xml.children()) {
    if (node.type() == pugi::node_doctype) malformed("document type declarations are not allowed");
  }
  const auto root = xml.child("rss");
  const auto channel = root.child("channel");
  if (!root || !channel) malformed("no RSS channel");
  const auto prefix = namespacePrefix(root);

  std::optional<AppcastItem> best;
  std::uint64_t bestBuild = runningBuild;
  for (const auto& node : channel.children("item")) {
    auto item = readItem(node, prefix);
    if (!item) continue;
    const auto build = *update_encoding::parseBuildNumber(item->versionString);
    if (build > bestBuild) {
      bestBuild = build;
      best = std::move(item);
    }
  }
  return best;
}

}  // namespace vantrel::update_appcast
