#include "support/UpdateFixtures.hpp"

#include <archive.h>
#include <archive_entry.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <stdexcept>

#include "Platform/Update/UpdateFrameworkSignature.hpp"
#include "Update/UpdateEncoding.hpp"

namespace vantrel::testing {

namespace fs = std::filesystem;

std::string UpdateKeys::publicKeyBase64() const { return update_encoding::encodeBase64(publicKey); }

UpdateKeys UpdateKeys::generate() {
  const auto pair = update_signature::generateKeyPair();
  return UpdateKeys{pair.privateKey, pair.publicKey};
}

UpdateInfo updateInfo(const std::string& build, const UpdateKeys& keys, const std::string& feedURL,
                      bool rehearsal) {
  return UpdateInfo{{"CFBundleIdentifier", "local.vantrel.VantrelMac"},
                    {"CFBundleShortVersionString", "1." + build},
                    {"CFBundleVersion", build},
                    {"SUFeedURL", feedURL},
                    {"SUPublicEDKey", keys.publicKeyBase64()},
                    {"SURequireSignedFeed", true},
                    {"SUVerifyUpdateBeforeExtraction", true},
                    {"VNUpdateLocalRehearsal", rehearsal}};
}

std::string appcastXML(const std::vector<AppcastEntry>& entries, const std::string& extraProlog) {
  std::ostringstream out;
  out << "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
      << extraProlog
      << "<rss version=\"2.0\" "
         "xmlns:vantrel=\"urn:vantrel:update:1\">\n<channel>\n<title>VantrelMac</title>\n";
  for (const auto& entry : entries) {
    out << "<item>\n<title>Build " << entry.version << "</title>\n"
        << "<vantrel:version>" << entry.version << "</vantrel:version>\n"
        << "<vantrel:shortVersionString>" << entry.shortVersion
        << "</vantrel:shortVersionString>\n<enclosure";
    if (entry.url) out << " url=\"" << *entry.url << "\"";
    if (entry.length) out << " length=\"" << *entry.length << "\"";
    if (entry.signature) out << " vantrel:edSignature=\"" << *entry.signature << "\"";
    out << " type=\"application/gzip\"/>\n</item>\n";
  }
  out << "</channel>\n</rss>\n";
  return out.str();
}

AppcastEntry appcastEntry(const std::string& version, const std::string& url, const std::string& archive,
                          const UpdateKeys& keys) {
  return AppcastEntry{
      version, "1." + version, url, std::to_string(archive.size()),
      update_encoding::encodeBase64(update_signature::sign(keys.privateKey, asBytes(archive)))};
}

std::string tarGz(const std::vector<ArchiveMember>& members) {
  std::unique_ptr<archive, decltype(&archive_write_free)> writer(archive_write_new(), &archive_write_free);
  archive* a = writer.get();
  archive_write_add_filter_gzip(a);
  archive_write_set_format_pax_restricted(a);
  std::string out;
  archive_write_open(
      a, &out, nullptr,
      [](archive*, void* user, const void* data, size_t size) -> la_ssize_t {
        static_cast<std::string*>(user)->append(static_cast<const char*>(data), size);
        return static_cast<la_ssize_t>(size);
      },
      nullptr);
  for (const auto& member : members) {
    std::unique_ptr<archive_entry, decltype(&archive_entry_free)> entry(archive_entry_new(),
                                                                        &archive_entry_free);
    archive_entry* e = entry.get();
    archive_entry_set_pathname(e, member.name.c_str());
    archive_entry_set_perm(e, member.mode);
    using Type = ArchiveMember::Type;
    switch (member.type) {
      case Type::file:
        archive_entry_set_filetype(e, AE_IFREG);
        archive_entry_set_size(e, static_cast<la_int64_t>(member.content.size()));
        break;
      case Type::folder: archive_entry_set_filetype(e, AE_IFDIR); break;
      case Type::symlink:
        archive_entry_set_filetype(e, AE_IFLNK);
        archive_entry_set_symlink(e, member.linkTarget.c_str());
        break;
      case Type::hardlink:
        archive_entry_set_filetype(e, AE_IFREG);
        archive_entry_set_hardlink(e, member.linkTarget.c_str());
        break;
      case Type::characterDevice:
        archive_entry_set_filetype(e, AE_IFCHR);
        archive_entry_set_rdev(e, makedev(1, 3));
        break;
      case Type::fifo: archive_entry_set_filetype(e, AE_IFIFO); break;
    }
    if (archive_write_header(a, e) != ARCHIVE_OK) throw std::runtime_error(archive_error_string(a));
    if (member.type == Type::file && !member.content.empty()) {
      archive_write_data(a, member.content.data(), member.content.size());
    }
  }
  archive_write_close(a);
  return out;
}

std::string incompressibleBytes(std::size_t size) {
  std::mt19937 random(7);
  std::string bytes(size, '\0');
  for (auto& byte : bytes) byte = static_cast<char>(random() & 0xff);
  return bytes;
}

std::string buildArchive(const UpdateInfo& info, const std::string& program) {
  return tarGz({{"VantrelMac", ArchiveMember::Type::file, program, 0755, ""},
                {"Info.json", ArchiveMember::Type::file, info.dump(2), 0644, ""},
                {"share/", ArchiveMember::Type::folder, "", 0755, ""},
                {"share/VantrelMac/", ArchiveMember::Type::folder, "", 0755, ""},
                {"share/VantrelMac/resource.txt", ArchiveMember::Type::file, "resource", 0644, ""}});
}

void makeInstallRoot(const fs::path& root, const std::string& build, const UpdateInfo& info) {
  const auto folder = root / "versions" / build;
  fs::create_directories(folder);
  writeText(folder / "VantrelMac", "#!/bin/sh\nexit 0\n");
  ::chmod((folder / "VantrelMac").c_str(), 0755);
  writeText(folder / "Info.json", info.dump(2));
  fs::create_symlink("versions/" + build, root / "current");
}

std::string readText(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void writeText(const fs::path& file, const std::string& text) {
  std::ofstream(file, std::ios::binary | std::ios::trunc) << text;
}

}  // namespace vantrel::testing
