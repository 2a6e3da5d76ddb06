// vantrel-login-server: a loopback HTTPS stand-in of the login server for the demo.
//
//   vantrel-login-server --accounts accounts.json --ca-out ca.pem [--port N]
//
// Makes a certificate authority and a server certificate for 127.0.0.1 at start, writes the
// authority's certificate to --ca-out (point the client's CA-file option at it) and serves
// POST /login until interrupted.

#include <pthread.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "LoginServerStandIn.hpp"

namespace {

int usage() {
  std::fprintf(stderr, "usage: vantrel-login-server --accounts FILE --ca-out FILE [--port N]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string accountsPath;
  std::string caOut;
  int port = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (i + 1 >= argc) return usage();
    if (argument == "--accounts") {
      accountsPath = argv[++i];
    } else if (argument == "--ca-out") {
      caOut = argv[++i];
    } else if (argument == "--port") {
      port = std::atoi(argv[++i]);
    } else {
      return usage();
    }
  }
  if (accountsPath.empty() || caOut.empty() || port < 0 || port > 65535) return usage();

  // Block the stop signals in every thread (the server's threads inherit the mask) and wait for
  // them here.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  try {
    std::ifstream file(accountsPath);
    if (!file) throw std::runtime_error("cannot read " + accountsPath);
    std::stringstream text;
    text << file.rdbuf();
    auto accounts = vantrel::tools::LoginServerStandIn::loadAccounts(text.str());

    vantrel::tools::TestCertificateAuthority authority("Vantrel demo login CA");
    {
      std::ofstream ca(caOut, std::ios::trunc);
      ca << authority.rootPEM();
      if (!ca) throw std::runtime_error("cannot write " + caOut);
    }
    vantrel::tools::LoginServerStandIn server(std::move(accounts), authority);
    const int bound = server.start(port);
    std::printf("listening on https://127.0.0.1:%d\n", bound);
    std::fflush(stdout);

    int received = 0;
    sigwait(&stopSignals, &received);
    server.stop();
  } catch (const std::exception& error) {
    std::fprintf(stderr, "vantrel-login-server: %s\n", error.what());
    return 1;
  }
  return 0;
}
