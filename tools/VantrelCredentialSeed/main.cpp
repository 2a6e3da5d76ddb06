// vantrel-credential-seed: saves an account's automatic-login password into the encrypted
// credential store of the current HOME, in the folder the program reads it from, so that a demo or
// a process-level test can start the program with a password already remembered.
//
//   vantrel-credential-seed --account ID --password TEXT [--namespace NAME]

#include <cstdio>
#include <exception>
#include <string>

#include "Model/Settings/AccountCredentialStore.hpp"

int main(int argc, char** argv) {
  std::string account;
  std::string password;
  std::string namespaceName(vantrel::AccountCredentialStore::defaultNamespace);
  bool havePassword = false;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string argument = argv[i];
    if (argument == "--account") {
      account = argv[i + 1];
    } else if (argument == "--password") {
      password = argv[i + 1];
      havePassword = true;
    } else if (argument == "--namespace") {
      namespaceName = argv[i + 1];
    } else {
      account.clear();
      break;
    }
  }
  if (argc % 2 == 0 || account.empty() || !havePassword) {
    std::fprintf(stderr, "usage: vantrel-credential-seed --account ID --password TEXT [--namespace NAME]\n");
    return 2;
  }
  try {
    const vantrel::AccountCredentialStore store(std::nullopt, namespaceName);
    store.storage().save(password, account);
    std::printf("saved in %s\n", store.storage().directory().c_str());
  } catch (const std::exception& error) {
    std::fprintf(stderr, "vantrel-credential-seed: %s\n", error.what());
    return 1;
  }
  return 0;
}
