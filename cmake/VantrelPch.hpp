#pragma once
// Heavy, stable headers shared by most translation units. Only third-party and standard
// headers belong here.
#include <fmt/format.h>
#include <asio.hpp>
#include <asio/experimental/deferred.hpp>
#include <asio/experimental/parallel_group.hpp>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>
