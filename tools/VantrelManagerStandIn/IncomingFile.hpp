#pragma once

// A file the agent sends the manager: announced by a file record, then its data frames, then an
// end. Kept apart from the connection handling: what arrived is judged by its digest in the report.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "Support/Bytes.hpp"

namespace vantrel::standin {

class IncomingFile {
 public:
  // The file a record announces; nullopt for a record that is not a file record.
  static std::optional<IncomingFile> announced(ByteView record);

  void append(ByteView data);
  // The report's entry for the whole file (name, bytes, announced size, SHA-256); with a fetch
  // folder, the file is also saved there under its own name (no folders of the sender's).
  nlohmann::json finish(const std::filesystem::path& fetchFolder) const;

 private:
  std::string name_;
  std::uint64_t announced_ = 0;
  Bytes data_;
};

}  // namespace vantrel::standin
