#pragma once

// Code requirements for local peers. A requirement text in the platform's requirement language
// is compiled into three checks that Linux can make of the process at the other end of a Unix
// socket:
//
//   anchor apple generic                    the peer's executable is installed by a trusted
//                                           owner: the file belongs to root or to the checking
//                                           user and no one else may write it
//   certificate leaf[subject.OU] = "TEAM"   the peer's identity (see CodeIdentityResolver)
//   identifier "ID"                         has this team and this identifier; several
//   (identifier "A" or identifier "B")      identifiers in parentheses are alternatives
//
// Clauses are joined with "and". Only this subset compiles; any other text is refused.

#include <sys/types.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vantrel {

// Who is at the other end of a local socket, as the kernel reports it.
struct PeerCredentials {
  pid_t pid = 0;
  uid_t uid = 0;
  gid_t gid = 0;
  std::filesystem::path executable;  // empty when it could not be determined
};

// The code identity of a program: the team that ships it and its identifier.
struct CodeIdentity {
  std::string teamID;
  std::string identifier;

  friend bool operator==(const CodeIdentity&, const CodeIdentity&) = default;
};

// Maps a peer to the identity of the program it runs, or nullopt when the program is unknown.
using CodeIdentityResolver = std::function<std::optional<CodeIdentity>(const PeerCredentials&)>;

class CodeRequirement {
 public:
  // Nullopt when the text is not in the supported subset (or not a requirement at all).
  static std::optional<CodeRequirement> compile(std::string_view text);

  bool requiresTrustedInstallation() const noexcept { return trustedInstallation_; }
  const std::optional<std::string>& teamID() const noexcept { return teamID_; }
  // Empty: any identifier.
  const std::vector<std::string>& identifiers() const noexcept { return identifiers_; }

  bool isSatisfiedBy(const PeerCredentials& peer, const CodeIdentityResolver& resolver) const;

 private:
  bool trustedInstallation_ = false;
  std::optional<std::string> teamID_;
  std::vector<std::string> identifiers_;
};

// True when the file belongs to root or to this process's effective user and neither its group
// nor others may write it.
bool isTrustedInstallation(const std::filesystem::path& executable);

}  // namespace vantrel
