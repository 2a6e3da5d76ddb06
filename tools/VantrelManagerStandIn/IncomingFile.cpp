#include "IncomingFile.hpp"

#include <fstream>

#include "Platform/System/Crypto.hpp"
#include "StandInWire.hpp"

namespace vantrel::standin {

std::optional<IncomingFile> IncomingFile::announced(ByteView record) {
  if (record.size() != fileRecordSize) return std::nullopt;
  IncomingFile file;
  file.name_ = fixedText(record, 24, 96);
  // The size is eight little-endian bytes.
  for (int i = 7; i >= 0; --i)
    file.announced_ = (file.announced_ << 8) | record[16 + static_cast<std::size_t>(i)];
  return file;
}

void IncomingFile::append(ByteView data) { data_.insert(data_.end(), data.begin(), data.end()); }

nlohmann::json IncomingFile::finish(const std::filesystem::path& fetchFolder) const {
  nlohmann::json entry = {{"name", name_},
                          {"bytes", data_.size()},
                          {"announced", announced_},
                          {"sha256", hex(crypto::sha256(data_))}};
  if (!fetchFolder.empty()) {
    const auto path = fetchFolder / std::filesystem::path(name_).filename();
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(data_.data()), static_cast<std::streamsize>(data_.size()));
    entry["savedAs"] = path.string();
  }
  return entry;
}

}  // namespace vantrel::standin
