// The floor under a vault listing: the same record files read the same way
// and decrypted with the same libsodium call, with every envelope decoded
// beforehand, so that no JSON is parsed or written while it is timed. Loaded
// by session_bench.py through ctypes.
#include <dirent.h>
#include <fcntl.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "zantu/core/store.hpp"

namespace {

struct Entry {
  std::string name;
  std::vector<std::uint8_t> nonce;
  std::vector<std::uint8_t> ciphertext;
};

struct Vault {
  std::string dir;
  std::vector<Entry> entries;  // in readdir order
};

std::vector<Vault> g_vaults;

struct DirCloser {
  void operator()(DIR* d) const noexcept { ::closedir(d); }
};

bool is_record(std::string_view name) { return name.size() > 4 && name.substr(name.size() - 4) == ".sec"; }

// Reads a whole file as the store does: open, fstat for the size, read to the end.
bool read_file(int dir_fd, const char* name, std::vector<std::uint8_t>& bytes) {
  const int fd = ::openat(dir_fd, name, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return false;
  struct stat st {};
  std::size_t hint = 0;
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) hint = static_cast<std::size_t>(st.st_size);
  bytes.resize(hint + 1);
  std::size_t len = 0;
  while (true) {
    if (len == bytes.size()) bytes.resize(bytes.size() * 2);
    const ssize_t n = ::read(fd, bytes.data() + len, bytes.size() - len);
    if (n < 0) {
      if (errno == EINTR) continue;
      ::close(fd);
      return false;
    }
    if (n == 0) break;
    len += static_cast<std::size_t>(n);
  }
  bytes.resize(len);
  ::close(fd);
  return true;
}

}  // namespace

extern "C" {

// Decodes the envelope of every record file under `dirs` (untimed). Returns
// the number of records, or -1.
__attribute__((visibility("default"))) long zbb_prepare(const char* const* dirs, long num_dirs) {
  if (sodium_init() < 0) return -1;
  g_vaults.clear();
  long total = 0;
  for (long i = 0; i < num_dirs; ++i) {
    Vault v{dirs[i], {}};
    std::unique_ptr<DIR, DirCloser> d(::opendir(dirs[i]));
    if (!d) return -1;
    std::vector<std::uint8_t> bytes;
    while (const dirent* e = ::readdir(d.get())) {
      if (!is_record(e->d_name)) continue;
      if (!read_file(::dirfd(d.get()), e->d_name, bytes)) return -1;
      auto sealed = zantu::core::store::unframe(bytes);
      if (!sealed) return -1;
      v.entries.push_back({e->d_name, std::move(sealed->nonce), std::move(sealed->ciphertext)});
      ++total;
    }
    g_vaults.push_back(std::move(v));
  }
  return total;
}

// Walks the prepared vaults again, reads every record file and decrypts its
// prepared ciphertext under `key`, wiping each plaintext as the store does.
// Returns the number of records opened, or -1.
__attribute__((visibility("default"))) long zbb_run(const std::uint8_t* key) {
  long opened = 0;
  std::vector<std::uint8_t> bytes;
  std::vector<std::uint8_t> plain;
  for (const Vault& v : g_vaults) {
    std::unique_ptr<DIR, DirCloser> d(::opendir(v.dir.c_str()));
    if (!d) return -1;
    std::size_t next = 0;
    while (const dirent* e = ::readdir(d.get())) {
      if (!is_record(e->d_name)) continue;
      if (next >= v.entries.size() || v.entries[next].name != e->d_name) return -1;
      const Entry& entry = v.entries[next++];
      if (!read_file(::dirfd(d.get()), e->d_name, bytes)) return -1;
      plain.resize(entry.ciphertext.size());
      unsigned long long plain_len = 0;
      if (crypto_aead_chacha20poly1305_ietf_decrypt(plain.data(), &plain_len, nullptr, entry.ciphertext.data(),
                                                    entry.ciphertext.size(), nullptr, 0, entry.nonce.data(),
                                                    key) != 0) {
        return -1;
      }
      sodium_memzero(plain.data(), plain_len);
      ++opened;
    }
  }
  return opened;
}

namespace {
std::string g_file;
Entry g_file_entry;
}  // namespace

// Decodes the envelope of one record file (untimed). Returns 0, or -1.
__attribute__((visibility("default"))) int zbb_prepare_file(const char* path) {
  if (sodium_init() < 0) return -1;
  std::vector<std::uint8_t> bytes;
  if (!read_file(AT_FDCWD, path, bytes)) return -1;
  auto sealed = zantu::core::store::unframe(bytes);
  if (!sealed) return -1;
  g_file = path;
  g_file_entry = {path, std::move(sealed->nonce), std::move(sealed->ciphertext)};
  return 0;
}

// Reads the prepared file and decrypts it, `times` times. Returns the number
// of openings, or -1.
__attribute__((visibility("default"))) long zbb_run_file(const std::uint8_t* key, long times) {
  std::vector<std::uint8_t> bytes;
  std::vector<std::uint8_t> plain;
  for (long i = 0; i < times; ++i) {
    if (!read_file(AT_FDCWD, g_file.c_str(), bytes)) return -1;
    plain.resize(g_file_entry.ciphertext.size());
    unsigned long long plain_len = 0;
    if (crypto_aead_chacha20poly1305_ietf_decrypt(plain.data(), &plain_len, nullptr, g_file_entry.ciphertext.data(),
                                                  g_file_entry.ciphertext.size(), nullptr, 0,
                                                  g_file_entry.nonce.data(), key) != 0) {
      return -1;
    }
    sodium_memzero(plain.data(), plain_len);
  }
  return times;
}

}  // extern "C"
