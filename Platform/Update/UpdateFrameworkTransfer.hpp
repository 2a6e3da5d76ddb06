#pragma once

// Blocking HTTP(S) transfers of the update engine over the shared HTTP client, meant for a pool
// thread: HTTPS only (plain HTTP only when allowed, for a loopback host), peer and host verified,
// redirects only to HTTPS, a connect time-out, a stalled transfer aborted, an overall deadline,
// sizes capped.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "Platform/System/HttpClient.hpp"

namespace vantrel::update_transfer {

struct Policy {
  // Plain HTTP is accepted for a URL whose host is "127.0.0.1", "localhost", "::1" or "[::1]".
  bool allowLoopbackHttp = false;
  // Trust only these certificates instead of the system's (tests).
  std::optional<std::filesystem::path> caFile;
  std::chrono::milliseconds connectTimeout{15'000};
  // Aborted when fewer than `lowSpeedBytes` a second arrive for `lowSpeedTime`.
  long lowSpeedBytes = 1;
  std::chrono::seconds lowSpeedTime{60};
  // Overall deadlines, whatever the rate: a trickle above the floor above must end too (checked
  // about once a second). The feed
  // has `feedDeadline`; an archive the time its declared length takes at
  // `archiveFloorBytesPerSecond`, no less than `archiveMinimumDeadline` and no more than
  // `archiveMaximumDeadline`.
  std::chrono::milliseconds feedDeadline{60'000};
  std::uint64_t archiveFloorBytesPerSecond = 64 * 1024;
  std::chrono::milliseconds archiveMinimumDeadline{60'000};
  std::chrono::milliseconds archiveMaximumDeadline{30 * 60'000};
  std::string userAgent = "VantrelMac";
};

// The overall deadline of an archive of `length` bytes under `policy`.
std::chrono::milliseconds archiveDeadline(std::uint64_t length, const Policy& policy);

struct Control {
  // Cancellation (and the pool whose stop ends the transfer too).
  HttpTransferControl transfer;
  // Called on the transfer's thread with the bytes received so far.
  std::function<void(std::uint64_t)> progress;
};

// The body of a 200 answer, at most `limit` bytes, within `feedDeadline`. Throws `UpdaterError`.
std::string fetch(const std::string& url, std::size_t limit, const Policy& policy, Control& control);

// Writes the body of a 200 answer to `fd` within `archiveDeadline(expectedLength)`; it must be
// exactly `expectedLength` bytes. Throws `UpdaterError`.
void download(const std::string& url, int fd, std::uint64_t expectedLength, const Policy& policy,
              Control& control);

}  // namespace vantrel::update_transfer
