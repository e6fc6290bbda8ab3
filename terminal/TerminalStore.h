// The simulated terminal's store: users with up to ten fingerprint templates each. On disk it is a
// snapshot plus a journal of changes (DurableStore.h).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <vector>

#include "terminal/LinkProtocol.h"

namespace vantorix {

// Raised when the store file cannot be read or written; what() names the file and the reason.
class ETerminalStoreError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct TStoredTemplate {
  std::int32_t flag = 0;
  std::u16string data;
  bool operator==(const TStoredTemplate&) const = default;
};

struct TStoredUser {
  TLinkUser info;
  std::array<std::optional<TStoredTemplate>, kFingerSlots> fingers;
  bool operator==(const TStoredUser&) const = default;
};

// Not thread-safe: the terminal server guards it with its own lock.
// Users keep the order in which they were first stored; that is the order they are read back.
class TTerminalStore {
 public:
  const std::vector<TStoredUser>& Users() const { return fUsers; }
  const TStoredUser* Find(const std::u16string& enrollNumber) const;
  TStoredUser* Find(const std::u16string& enrollNumber);
  // Adds the user or replaces its fields (templates stay). Returns the stored user.
  TStoredUser& Put(const TLinkUser& info);
  bool Remove(const std::u16string& enrollNumber);
  std::size_t TemplateCount() const;
  bool operator==(const TTerminalStore& other) const { return fUsers == other.fUsers; }

  // Snapshot form: magic "VTSTORE2", u64 generation (two u32, low first), then the users with
  // their templates. Decode also reads the earlier form "VTSTORE1", which has no generation
  // (taken as 0); throws ELinkProtocolError on anything else or on trailing bytes.
  std::vector<std::uint8_t> Encode(std::uint64_t generation = 0) const;
  static TTerminalStore Decode(std::span<const std::uint8_t> bytes,
                               std::uint64_t* generation = nullptr);
  // What the terminal would load from the store at path (snapshot and journal); a missing file
  // gives an empty store; an unreadable or corrupt one throws ETerminalStoreError.
  static TTerminalStore Load(const std::string& path);
  // Replaces the store at path with this one as a new snapshot and an empty journal. Throws
  // ETerminalStoreError on failure and leaves the previous store as it was.
  void Save(const std::string& path) const;

 private:
  std::vector<TStoredUser> fUsers;
  std::unordered_map<std::u16string, std::size_t> fIndex;
};

// A few users with templates, for demonstrations.
void FillDemoUsers(TTerminalStore& store);

}  // namespace vantorix
