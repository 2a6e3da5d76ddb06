// Makes update signing keys and signs feeds and archives. The private key file holds the
// Base64 of the 32-byte Ed25519 seed; its public half goes into Info.json as "SUPublicEDKey".
//
//   VantrelUpdateSign generate-key <private key file>         prints the public key
//   VantrelUpdateSign public-key <private key file>           prints the public key
//   VantrelUpdateSign sign-feed <private key file> <feed> <signed feed>
//   VantrelUpdateSign sign-archive <private key file> <archive>   prints signature and length

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>

#include "Platform/Update/UpdateFrameworkSignature.hpp"
#include "Update/UpdateEncoding.hpp"

namespace {

using namespace vantrel;

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void writeFile(const std::string& path, const std::string& bytes, mode_t mode) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
  if (fd < 0) throw std::runtime_error("cannot create " + path + " (it must not exist yet)");
  const bool ok = ::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
  ::close(fd);
  if (!ok) throw std::runtime_error("cannot write " + path);
}

Bytes readPrivateKey(const std::string& path) {
  std::string text = readFile(path);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  const auto key = update_encoding::decodeBase64(text);
  if (!key || key->size() != update_signature::privateKeySize)
    throw std::runtime_error(path + " is not a key file");
  return *key;
}

int usage() {
  std::cerr << "usage: VantrelUpdateSign generate-key <key> | public-key <key> |\n"
               "       sign-feed <key> <feed> <signed feed> | sign-archive <key> <archive>\n";
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    const std::string command = argc > 1 ? argv[1] : "";
    if (command == "generate-key" && argc == 3) {
      const auto pair = update_signature::generateKeyPair();
      writeFile(argv[2], update_encoding::encodeBase64(pair.privateKey) + "\n", 0600);
      std::cout << update_encoding::encodeBase64(pair.publicKey) << "\n";
    } else if (command == "public-key" && argc == 3) {
      std::cout << update_encoding::encodeBase64(update_signature::publicKeyOf(readPrivateKey(argv[2])))
                << "\n";
    } else if (command == "sign-feed" && argc == 5) {
      writeFile(argv[4], update_signature::signFeed(readFile(argv[3]), readPrivateKey(argv[2])), 0644);
    } else if (command == "sign-archive" && argc == 4) {
      const auto signature = update_signature::signFile(readPrivateKey(argv[2]), argv[3]);
      std::cout << "edSignature=" << update_encoding::encodeBase64(signature) << "\n"
                << "length=" << std::filesystem::file_size(argv[3]) << "\n";
    } else {
      return usage();
    }
  } catch (const std::exception& error) {
    std::cerr << "VantrelUpdateSign: " << error.what() << "\n";
    return 1;
  }
  return 0;
}
