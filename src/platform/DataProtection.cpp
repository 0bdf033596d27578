#include "platform/DataProtection.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <memory>

#include "platform/SecureWipe.h"
#include "platform/XdgPaths.h"

namespace km7 {
namespace {

constexpr unsigned char kMagic[4] = {'K', 'M', '7', 'P'};
constexpr unsigned char kVersion = 1;
// GCM is safe far beyond this; the bound only keeps int conversions honest.
constexpr std::size_t kMaxData = 1u << 24;

using Key = std::array<unsigned char, DataProtector::kKeySize>;

struct KeyWiper {
  Key& key;
  ~KeyWiper() { SecureZero(key.data(), key.size()); }
};

struct CipherCtxFree {
  void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
};
using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree>;

std::string ReadMachineId() {
  for (const char* path : {"/etc/machine-id", "/var/lib/dbus/machine-id"}) {
    std::ifstream in(path);
    std::string id;
    if (in && std::getline(in, id)) {
      while (!id.empty() && (id.back() == ' ' || id.back() == '\r')) id.pop_back();
      if (!id.empty()) return id;
    }
  }
  return {};
}

std::string FolderOf(const std::string& path) {
  std::string::size_type slash = path.find_last_of('/');
  return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

// Reads the key; only a regular file of exactly 32 bytes, owned by the user
// and closed to everyone else, is taken. Never blocks on a FIFO.
DataProtector::KeyState ReadKey(const std::string& path, Key& key, unsigned* modeOut = nullptr) {
  using State = DataProtector::KeyState;
  int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT ? State::Missing : State::Unreadable;
  struct stat st {};
  State state = State::Usable;
  if (fstat(fd, &st) != 0) state = State::Unreadable;
  else if (!S_ISREG(st.st_mode)) state = State::NotRegularFile;
  else if (st.st_uid != geteuid()) state = State::NotOwned;
  else if ((st.st_mode & 077) != 0) state = State::NotPrivate;
  else if (st.st_size != static_cast<off_t>(key.size())) state = State::WrongSize;
  if (modeOut != nullptr) *modeOut = st.st_mode & 07777;
  std::size_t got = 0;
  while (state == State::Usable && got < key.size()) {
    ssize_t n = ::read(fd, key.data() + got, key.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) state = State::Unreadable;
    else got += static_cast<std::size_t>(n);
  }
  ::close(fd);
  if (state != State::Usable) SecureZero(key.data(), key.size());
  return state;
}

// Makes a new key file whole or not at all: written to a temporary file and
// linked into place, which fails if another process made one meanwhile.
bool CreateKey(const std::string& path) {
  const std::string folder = FolderOf(path);
  if (!MakeFolders(folder, 0700)) return false;
  struct stat st {};
  if (stat(folder.c_str(), &st) != 0) return false;
  if ((st.st_mode & 077) != 0 && st.st_uid == geteuid() && chmod(folder.c_str(), 0700) != 0)
    return false;

  std::string temp = path + ".tmp-XXXXXX";
  int fd = mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) return false;
  Key key{};
  KeyWiper wiper{key};
  bool ok = fchmod(fd, 0600) == 0 && RAND_priv_bytes(key.data(), static_cast<int>(key.size())) == 1;
  std::size_t done = 0;
  while (ok && done < key.size()) {
    ssize_t n = ::write(fd, key.data() + done, key.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) ok = false;
    else done += static_cast<std::size_t>(n);
  }
  ok = ok && ::fsync(fd) == 0;
  ::close(fd);
  if (ok && ::link(temp.c_str(), path.c_str()) != 0 && errno != EEXIST) ok = false;
  ::unlink(temp.c_str());
  return ok;
}

std::vector<unsigned char> AdditionalData(const std::string& machineId, std::uint32_t userId) {
  std::vector<unsigned char> aad(kMagic, kMagic + sizeof kMagic);
  aad.push_back(kVersion);
  aad.insert(aad.end(), machineId.begin(), machineId.end());
  aad.push_back(0);
  for (int shift = 24; shift >= 0; shift -= 8) aad.push_back(static_cast<unsigned char>(userId >> shift));
  return aad;
}

}  // namespace

SecretBytes& SecretBytes::operator=(SecretBytes&& other) noexcept {
  if (this != &other) {
    Clear();
    bytes_ = std::move(other.bytes_);
  }
  return *this;
}

void SecretBytes::Clear() {
  if (!bytes_.empty()) SecureZero(bytes_.data(), bytes_.size());
  bytes_.clear();
}

void SecretBytes::Resize(std::size_t size) {
  Clear();
  bytes_.resize(size);
}

DataProtector::DataProtector(std::string keyPath, std::string machineId, std::uint32_t userId)
    : fixed_(true), keyPath_(std::move(keyPath)), machineId_(std::move(machineId)), userId_(userId) {}

DataProtector DataProtector::ForFolder(const std::string& folder) {
  return DataProtector(folder.empty() ? std::string() : folder + "/protect.key", ReadMachineId(), kFolderBound);
}

std::string DataProtector::DefaultKeyPath() {
  std::string data = DataHome();
  return data.empty() ? std::string() : data + "/km7/protect.key";
}

DataProtector::KeyCheck DataProtector::CheckKey() const {
  KeyCheck check;
  std::string machineId;
  std::uint32_t userId = 0;
  Identity(check.path, machineId, userId);
  if (check.path.empty()) {
    check.state = KeyState::Unreadable;
    return check;
  }
  Key key{};
  KeyWiper wiper{key};
  check.state = ReadKey(check.path, key, &check.mode);
  return check;
}

bool DataProtector::Identity(std::string& keyPath, std::string& machineId,
                             std::uint32_t& userId) const {
  if (fixed_) {
    keyPath = keyPath_;
    machineId = machineId_;
    userId = userId_;
  } else {
    keyPath = DefaultKeyPath();
    machineId = ReadMachineId();
    userId = static_cast<std::uint32_t>(getuid());
  }
  return !keyPath.empty() && !machineId.empty();
}

bool DataProtector::Protect(const unsigned char* data, std::size_t size,
                            std::vector<unsigned char>& blob) const {
  std::string keyPath, machineId;
  std::uint32_t userId = 0;
  if (!Identity(keyPath, machineId, userId) || size > kMaxData) return false;
  Key key{};
  KeyWiper wiper{key};
  if (ReadKey(keyPath, key) != KeyState::Usable) {
    // Make a key only where there is none; a damaged or foreign one stays so
    // that what it sealed is not lost for good.
    struct stat st {};
    if (lstat(keyPath.c_str(), &st) == 0 || errno != ENOENT) return false;
    if (!CreateKey(keyPath) || ReadKey(keyPath, key) != KeyState::Usable) return false;
  }

  std::vector<unsigned char> out(kHeaderSize + kNonceSize + size + kTagSize);
  std::memcpy(out.data(), kMagic, sizeof kMagic);
  out[4] = kVersion;
  unsigned char* nonce = out.data() + kHeaderSize;
  unsigned char* cipher = nonce + kNonceSize;
  unsigned char* tag = cipher + size;
  if (RAND_bytes(nonce, static_cast<int>(kNonceSize)) != 1) return false;

  const std::vector<unsigned char> aad = AdditionalData(machineId, userId);
  CipherCtx ctx(EVP_CIPHER_CTX_new());
  int len = 0;
  if (!ctx || EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, nullptr, nullptr) != 1 ||
      EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_IVLEN, static_cast<int>(kNonceSize), nullptr) != 1 ||
      EVP_EncryptInit_ex(ctx.get(), nullptr, nullptr, key.data(), nonce) != 1 ||
      EVP_EncryptUpdate(ctx.get(), nullptr, &len, aad.data(), static_cast<int>(aad.size())) != 1)
    return false;
  if (size > 0 && EVP_EncryptUpdate(ctx.get(), cipher, &len, data, static_cast<int>(size)) != 1)
    return false;
  if (EVP_EncryptFinal_ex(ctx.get(), cipher + size, &len) != 1 ||
      EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, static_cast<int>(kTagSize), tag) != 1)
    return false;
  blob = std::move(out);
  return true;
}

bool DataProtector::Unprotect(const unsigned char* blob, std::size_t size,
                              SecretBytes& plain) const {
  if (blob == nullptr || size < kOverhead || size - kOverhead > kMaxData) return false;
  if (std::memcmp(blob, kMagic, sizeof kMagic) != 0 || blob[4] != kVersion) return false;
  std::string keyPath, machineId;
  std::uint32_t userId = 0;
  if (!Identity(keyPath, machineId, userId)) return false;
  Key key{};
  KeyWiper wiper{key};
  if (ReadKey(keyPath, key) != KeyState::Usable) return false;

  const unsigned char* nonce = blob + kHeaderSize;
  const unsigned char* cipher = nonce + kNonceSize;
  const std::size_t cipherSize = size - kOverhead;
  const unsigned char* tag = cipher + cipherSize;
  const std::vector<unsigned char> aad = AdditionalData(machineId, userId);

  SecretBytes out;
  out.Resize(cipherSize);
  CipherCtx ctx(EVP_CIPHER_CTX_new());
  int len = 0;
  unsigned char tagCopy[kTagSize];
  std::memcpy(tagCopy, tag, kTagSize);
  if (!ctx || EVP_DecryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, nullptr, nullptr) != 1 ||
      EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_IVLEN, static_cast<int>(kNonceSize), nullptr) != 1 ||
      EVP_DecryptInit_ex(ctx.get(), nullptr, nullptr, key.data(), nonce) != 1 ||
      EVP_DecryptUpdate(ctx.get(), nullptr, &len, aad.data(), static_cast<int>(aad.size())) != 1)
    return false;
  if (cipherSize > 0 &&
      EVP_DecryptUpdate(ctx.get(), out.Data(), &len, cipher, static_cast<int>(cipherSize)) != 1)
    return false;
  if (EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, static_cast<int>(kTagSize), tagCopy) != 1)
    return false;
  // The plaintext counts only once the tag checks out.
  unsigned char finalBlock[16];
  if (EVP_DecryptFinal_ex(ctx.get(), finalBlock, &len) != 1) return false;
  plain = std::move(out);
  return true;
}

}  // namespace km7
