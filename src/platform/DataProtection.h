#pragma once
// Per-user data protection: what only the same user account on the same
// machine can turn back into the original bytes.
//
// A per-user key (32 random bytes in $XDG_DATA_HOME/km7/protect.key, else
// ~/.local/share/km7/protect.key; mode 0600 in a 0700 folder; made on first
// use) seals the data with AES-256-GCM. The blob is
//   "KM7P" | version 1 | 12-byte nonce | ciphertext | 16-byte tag
// and the machine id and the user id are authenticated with it, so a blob
// copied to another account or machine, or damaged, does not open.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace km7 {

// A byte buffer for secrets: wiped when it is cleared or destroyed.
class SecretBytes {
 public:
  SecretBytes() = default;
  ~SecretBytes() { Clear(); }
  SecretBytes(const SecretBytes&) = delete;
  SecretBytes& operator=(const SecretBytes&) = delete;
  SecretBytes(SecretBytes&& other) noexcept : bytes_(std::move(other.bytes_)) {}
  SecretBytes& operator=(SecretBytes&& other) noexcept;

  void Clear();
  void Resize(std::size_t size);  // wipes the old content first
  unsigned char* Data() { return bytes_.data(); }
  const unsigned char* Data() const { return bytes_.data(); }
  std::size_t Size() const { return bytes_.size(); }

 private:
  std::vector<unsigned char> bytes_;
};

class DataProtector {
 public:
  static constexpr std::size_t kKeySize = 32;
  static constexpr std::size_t kNonceSize = 12;
  static constexpr std::size_t kTagSize = 16;
  static constexpr std::size_t kHeaderSize = 5;  // magic and version
  static constexpr std::size_t kOverhead = kHeaderSize + kNonceSize + kTagSize;

  // The current user: the key in the data folder, /etc/machine-id (else
  // /var/lib/dbus/machine-id) and getuid(), looked up at each call.
  DataProtector() = default;
  // A fixed identity (tests, and tools that look at another account's file).
  DataProtector(std::string keyPath, std::string machineId, std::uint32_t userId);

  // Seals `size` bytes into `blob`. False (blob untouched) when the key cannot
  // be read or made, there is no machine id, or encryption fails.
  bool Protect(const unsigned char* data, std::size_t size, std::vector<unsigned char>& blob) const;
  // Opens a blob sealed for this identity into `plain`. False (plain
  // untouched) for a damaged blob, another user's or machine's blob, or a
  // missing or unusable key. Never makes a key.
  bool Unprotect(const unsigned char* blob, std::size_t size, SecretBytes& plain) const;

  // A service's own protection: the key `folder`/protect.key and this
  // machine's id, bound to the folder rather than to a user id, since a
  // service's dynamic user may get another id on its next start (the key file
  // still opens only for its owner).
  static DataProtector ForFolder(const std::string& folder);
  static constexpr std::uint32_t kFolderBound = 0xffffffffu;

  // The key file of the current user.
  static std::string DefaultKeyPath();

  // What the key file looks like, so that a key that cannot be used is
  // explained to the user rather than read as "nothing stored".
  enum class KeyState {
    Usable,
    Missing,      // none yet (Protect makes one)
    NotPrivate,   // group or others may read or write it (mode in `mode`)
    NotOwned,     // another user's file
    NotRegularFile,
    WrongSize,
    Unreadable,   // could not be opened or read
  };
  struct KeyCheck {
    KeyState state = KeyState::Missing;
    std::string path;
    unsigned mode = 0;  // permission bits, when the file exists
  };
  KeyCheck CheckKey() const;

 private:
  bool Identity(std::string& keyPath, std::string& machineId, std::uint32_t& userId) const;

  bool fixed_ = false;
  std::string keyPath_;
  std::string machineId_;
  std::uint32_t userId_ = 0;
};

}  // namespace km7
