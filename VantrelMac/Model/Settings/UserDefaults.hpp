#pragma once

// The application's settings store: typed values under string keys, kept as JSON so that a
// stored Bool, a stored number, a stored string and stored data stay distinguishable (the
// settings' loading rules depend on the type that was stored, not only on the text).

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "Support/Bytes.hpp"

namespace vantrel {

class UserDefaults {
 public:
  using Value = nlohmann::json;
  // Several keys written together (one write of the backing file).
  using Changes = std::vector<std::pair<std::string, Value>>;

  virtual ~UserDefaults();
  UserDefaults(const UserDefaults&) = delete;
  UserDefaults& operator=(const UserDefaults&) = delete;

  // The stored value as it is, or nullopt when the key is missing.
  std::optional<Value> value(std::string_view key) const;
  bool contains(std::string_view key) const;

  // Reads by the type that was stored: the value only when it is of that type, nullopt for a
  // missing key and for a value of any other type (the settings' loaders use these: a value of
  // the wrong type gives the key's default).
  // Stored text as it is.
  std::optional<std::string> storedString(std::string_view key) const;
  // A stored number whose value is an integer within the signed 64-bit range (80, or 80.0);
  // nullopt for a fraction, text, a Boolean and anything else.
  std::optional<std::int64_t> storedInteger(std::string_view key) const;

  // A stored number's unsigned 64-bit value: a non-negative integer, or a non-negative
  // integral number within range; nullopt for anything else (negative, fractional, text).
  std::optional<std::uint64_t> unsignedInteger(std::string_view key) const;
  // Stored data (written by `setData`), decoded.
  std::optional<Bytes> data(std::string_view key) const;

  void setValue(std::string key, Value value);
  void setString(std::string key, std::string value) { setValue(std::move(key), Value(std::move(value))); }
  void setBool(std::string key, bool value) { setValue(std::move(key), Value(value)); }
  void setInteger(std::string key, std::int64_t value) { setValue(std::move(key), Value(value)); }
  void setUnsignedInteger(std::string key, std::uint64_t value) { setValue(std::move(key), Value(value)); }
  void setData(std::string key, ByteView value) { setValue(std::move(key), dataValue(value)); }
  // Writes every change in order, then persists once.
  void setValues(Changes changes);
  void removeValue(std::string_view key);

  // Every stored key and value (a JSON object).
  Value snapshot() const;

  // A JSON integer number within the signed 64-bit range; nullopt for anything else.
  static std::optional<std::int64_t> integerValue(const Value& value);
  // The JSON form of stored data: {"$data": "<standard Base64>"}.
  static Value dataValue(ByteView bytes);
  static std::optional<Bytes> decodeDataValue(const Value& value);

 protected:
  explicit UserDefaults(Value initial);
  // Makes the complete new contents durable. Called with the store's lock held, after the
  // in-memory values changed. A failure is the implementation's to report; the in-memory
  // values stay as set.
  virtual void persist(const Value& all) = 0;

 private:
  mutable std::mutex mutex_;
  Value values_;  // always an object
};

// A store that lives only in memory (tests, and a fallback when no file can be used).
class InMemoryUserDefaults final : public UserDefaults {
 public:
  InMemoryUserDefaults();
  explicit InMemoryUserDefaults(Value initial);
  // How many times the contents were persisted (each `set…`/`setValues`/`removeValue`).
  std::size_t writeCount() const;

 protected:
  void persist(const Value& all) override;

 private:
  mutable std::mutex countMutex_;
  std::size_t writes_ = 0;
};

// A store backed by one JSON file, $XDG_CONFIG_HOME/<bundle id>/defaults.json.
//
// Reads and writes of values are served from memory; the file is written by a thread of the
// store's own, so the caller (the main actor) never waits on the disk. Writes that pile up are
// coalesced: the newest contents win. Each write is atomic: a temporary file in the same folder
// (mode 0600), fsync, rename over the old file, fsync of the folder (created 0700).
//
// A file that is not valid JSON, not an object, not a regular file (a link, a folder, a pipe),
// not owned by this user, oversized or nested too deeply is read as an empty store, moved aside as
// "defaults.json.corrupt-<UTC time>" and logged; it is never overwritten in place. When it
// cannot be moved aside, the store keeps its values in memory and refuses to write rather than
// replace the file.
class JSONFileUserDefaults final : public UserDefaults {
 public:
  struct Options {
    std::filesystem::path file;
    // The rename that commits a write (tests make it fail). Same contract as renameat(2).
    std::function<int(int directoryFD, const char* from, const char* to)> rename;
  };

  // The process's store of the bundle identifier: every caller gets the same instance while one
  // is alive. Two instances over one file would each keep their own values and overwrite each
  // other's changes, so application code uses this rather than the constructors.
  static std::shared_ptr<JSONFileUserDefaults> standard(std::string_view bundleIdentifier);

  // Reads the store of the bundle identifier now; never throws for a bad file.
  explicit JSONFileUserDefaults(std::string_view bundleIdentifier);
  explicit JSONFileUserDefaults(Options options);
  // Writes what is still pending, then stops the writer thread.
  ~JSONFileUserDefaults() override;

  const std::filesystem::path& file() const noexcept { return options_.file; }
  // Blocks until every change made before the call has been written (or has failed to be).
  void flush();
  // Whether the last completed write reached the disk (true before the first write).
  bool lastWriteSucceeded() const;
  // The name a damaged file was moved aside to at load, if one was.
  std::optional<std::filesystem::path> quarantinedFile() const;

  // Largest file that is read; a bigger one counts as damaged.
  static constexpr std::size_t maximumFileSize = 8 * 1024 * 1024;
  // The store a file's text holds: a JSON object nested no deeper than `maximumJSONNesting`.
  // Otherwise nullopt, with why in `reason`. A number beyond the range of a double does not cost
  // the whole file: it reads as null (no key takes that type, so the key gets its default), and
  // `reason` names it; for a file read cleanly `reason` is empty.
  static std::optional<Value> decodeFile(std::string_view text, std::string& reason);
  static constexpr std::string_view fileName = "defaults.json";

 protected:
  void persist(const Value& all) override;

 private:
  struct Loaded;
  JSONFileUserDefaults(Options options, Loaded loaded);
  static Loaded load(const Options& options);
  void runWriter();
  bool writeFile(const Value& all);

  Options options_;
  bool writable_ = true;
  std::atomic<bool> lastWriteSucceeded_{true};
  std::optional<std::filesystem::path> quarantined_;

  std::mutex writerMutex_;
  std::condition_variable writerWake_;
  std::condition_variable writerDone_;
  std::optional<Value> pending_;
  std::uint64_t requested_ = 0;  // generations of contents handed to the writer
  std::uint64_t written_ = 0;    // generations the writer has finished
  bool stopping_ = false;
  std::thread writer_;
};

}  // namespace vantrel
