#include "zantu/core/store.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "forked_child.hpp"
#include "support.hpp"
#include "zantu/core/fd.hpp"

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <fstream>
#include <cstring>
#include <ctime>
#include <map>
#include <set>

namespace zantu::core {
namespace {

namespace fs = std::filesystem;
using testing::coord;
using testing::file_bytes;
using testing::literal;
using testing::make_sparse;
using testing::names_in;
using testing::test_key;
using testing::write_file;

unsigned mode_of(const fs::path& p) {
  struct stat st {};
  EXPECT_EQ(::stat(p.c_str(), &st), 0) << p;
  return st.st_mode & 07777;
}

nlink_t links_of(const fs::path& p) {
  struct stat st {};
  EXPECT_EQ(::stat(p.c_str(), &st), 0) << p;
  return st.st_nlink;
}

ino_t inode_of(const fs::path& p) {
  struct stat st {};
  EXPECT_EQ(::lstat(p.c_str(), &st), 0) << p;
  return st.st_ino;
}

// The text of an error, or "<ok>".
template <class T>
std::string text_of(const Result<T>& r) {
  return r ? "<ok>" : r.error().to_string();
}

class Store : public ::testing::Test {
 protected:
  // Every file and directory of a test has the modes a umask of 022 gives.
  void SetUp() override { old_umask_ = ::umask(022); }
  void TearDown() override { ::umask(old_umask_); }

  // Writes `value` for `c` into `dir` and returns the file's path.
  fs::path put(const fs::path& dir, const Coordinate& c, std::string_view value) {
    testing::put_record(dir, c, literal(value), key_);
    return store::record_path(dir, c).value();
  }

  // The value sealed in any record file, such as a backup, opened as the
  // store opens a record.
  std::string value_in(const fs::path& file) { return testing::literal_value_in(file, key_); }

  std::string value_at(const fs::path& dir, const Coordinate& c) {
    auto r = store::read_record(dir, c, key_);
    if (!r) return "error: " + r.error().to_string();
    if (!*r) return "<absent>";
    return std::string(std::get<SecretRecord::Literal>((*r)->mode).value.view());
  }

  testing::TempDir tmp_;
  const fs::path& root_ = tmp_.path();
  mode_t old_umask_ = 0;
  MasterKey key_ = test_key(3);
  Coordinate db_ = coord("secret:dev/app/db");
};

TEST_F(Store, RecordFileLayoutAndMode) {
  ::umask(0);  // so only the explicit chmod can make the file 0600
  const fs::path file = put(root_, db_, "hunter2");
  EXPECT_EQ(file, root_ / (db_.storage_id().value() + ".sec"));
  EXPECT_EQ(mode_of(file), 0600u);

  const auto bytes = file_bytes(file);
  const std::string head(bytes.begin(), bytes.begin() + 18);
  EXPECT_EQ(head, std::string("ZANT\x01\x00\x00\x00{\"nonce\":[", 18));
  auto sealed = store::unframe(bytes);
  ASSERT_TRUE(sealed.has_value()) << sealed.error().to_string();
  EXPECT_EQ(sealed->nonce.size(), 12u);
  std::string envelope;
  store::write_envelope(*sealed, envelope);
  EXPECT_EQ(bytes.size(), 8 + envelope.size());
  EXPECT_EQ(std::string(bytes.begin() + 8, bytes.end()), envelope);
  EXPECT_TRUE(envelope.ends_with("]}"));
  EXPECT_EQ(envelope.find(' '), std::string::npos);
  EXPECT_NE(envelope.find("],\"ciphertext\":["), std::string::npos);
  EXPECT_EQ(names_in(root_), std::vector<std::string>{file.filename().string()});
}

TEST_F(Store, EachWriteKeepsOneBackupGeneration) {
  const fs::path file = put(root_, db_, "v1");
  const fs::path bak = file.string() + ".bak";
  EXPECT_FALSE(fs::exists(bak));
  const auto v1 = file_bytes(file);

  put(root_, db_, "v2");
  const auto v2 = file_bytes(file);
  EXPECT_EQ(file_bytes(bak), v1);
  EXPECT_EQ(value_at(root_, db_), "v2");

  put(root_, db_, "v3");
  EXPECT_EQ(file_bytes(bak), v2);
  EXPECT_EQ(value_at(root_, db_), "v3");
  // The backup is a file of its own again once the new version is in place.
  EXPECT_EQ(links_of(file), 1u);
  EXPECT_EQ(links_of(bak), 1u);
  EXPECT_EQ(mode_of(bak), 0600u);
}

TEST_F(Store, FailedRotationLeavesTheRecordInPlace) {
  const fs::path file = put(root_, db_, "v1");
  const fs::path bak = file.string() + ".bak";
  fs::create_directories(bak / "busy");
  auto sealed = crypto::seal(literal("v2"), key_).value();
  EXPECT_EQ(text_of(store::write_record(root_, db_, sealed)),
            "vault I/O failed: rotate .bak: Is a directory (os error 21)");
  EXPECT_EQ(value_at(root_, db_), "v1");
  // The failed write leaves nothing of its own behind.
  EXPECT_EQ(names_in(root_), (std::vector<std::string>{file.filename().string(), bak.filename().string()}));
  EXPECT_EQ(names_in(bak), std::vector<std::string>{"busy"});
}

TEST_F(Store, ReadDeleteAndTheirAbsence) {
  EXPECT_EQ(value_at(root_, db_), "<absent>");
  EXPECT_TRUE(store::delete_record(root_, db_).has_value());

  const fs::path file = put(root_, db_, "one");
  put(root_, db_, "two");
  // Scope selector and fragment do not change the file.
  EXPECT_EQ(value_at(root_, coord("secret://global/dev/app/db#private")), "two");
  EXPECT_EQ(store::record_path(root_, coord("secret:dev/app/db#public")).value(), file);

  ASSERT_TRUE(store::delete_record(root_, db_).has_value());
  EXPECT_FALSE(fs::exists(file));
  EXPECT_TRUE(fs::exists(file.string() + ".bak"));
  EXPECT_EQ(value_at(root_, db_), "<absent>");
  EXPECT_TRUE(store::delete_record(root_, db_).has_value());

  // The backup is never consulted, and another key cannot open the record.
  put(root_, db_, "three");
  auto other = store::read_record(root_, db_, test_key(9));
  EXPECT_EQ(text_of(other), "crypto operation failed");
}

TEST_F(Store, PlaceholderCoordinatesAreNotStorable) {
  const Coordinate placeholder = coord("secret:${ENV}/app/db");
  const std::string refused = "coordinate is not storable: coordinate has an unresolved `${ENV}` placeholder";
  const fs::path fresh = root_ / "fresh";
  EXPECT_EQ(text_of(store::read_record(fresh, placeholder, key_)), refused);
  EXPECT_EQ(text_of(store::delete_record(fresh, placeholder)), refused);
  EXPECT_FALSE(fs::exists(fresh));
  EXPECT_EQ(text_of(store::write_record(fresh, placeholder, crypto::seal(literal("x"), key_).value())), refused);
  EXPECT_TRUE(fs::is_directory(fresh));  // the directory step ran first
  EXPECT_EQ(text_of(store::record_path(fresh, placeholder)), refused);
}

TEST_F(Store, AbsentMeansOnlyThatNothingIsThere) {
  // A path through a regular file (ENOTDIR) holds nothing: absent, as is a missing directory.
  write_file(root_ / "plain", "x");
  for (const fs::path& dir : {root_ / "plain" / "vault", root_ / "missing"}) {
    EXPECT_EQ(value_at(dir, db_), "<absent>") << dir;
    EXPECT_TRUE(store::delete_record(dir, db_).has_value()) << dir;
    auto all = store::load_all(dir, key_);
    ASSERT_TRUE(all.has_value()) << dir;
    EXPECT_TRUE(all->records.empty() && all->quarantined.empty());
  }
  // A vault path that is a symlink loop (ELOOP) cannot be looked into: that
  // is an error, never "absent" (a lookup would otherwise fall through to
  // another vault, and a delete would report success).
  fs::create_symlink("loop", root_ / "loop");
  const fs::path looped = root_ / "loop" / "vault";
  const std::string eloop = "Too many levels of symbolic links (os error 40)";
  EXPECT_EQ(value_at(looped, db_), "error: vault I/O failed: read record: " + eloop);
  EXPECT_EQ(text_of(store::delete_record(looped, db_)), "vault I/O failed: remove record: " + eloop);
  EXPECT_EQ(text_of(store::load_all(root_ / "loop", key_)), "vault I/O failed: read_dir: " + eloop);
  // A record path that is a directory is not absent either.
  fs::create_directory(store::record_path(root_, db_).value());
  EXPECT_EQ(value_at(root_, db_), "error: vault I/O failed: read record: Is a directory (os error 21)");
  EXPECT_EQ(text_of(store::delete_record(root_, db_)), "vault I/O failed: remove record: Is a directory (os error 21)");
}

// What may sit at a record path besides a record file: none of it is read
// through, waited on or written through, and each read names what it met.
TEST_F(Store, RecordPathsThatAreNoFileOfTheirOwn) {
  const fs::path elsewhere = root_ / "elsewhere";
  ASSERT_TRUE(store::ensure_dir(elsewhere).has_value());
  const fs::path other = put(elsewhere, db_, "another record");
  write_file(root_ / "outside", "outside");
  const std::string eloop = "Too many levels of symbolic links (os error 40)";
  const std::string not_regular = "not a regular file";
  struct Case {
    const char* what;
    std::function<void(const fs::path&)> make;
    std::string reason;  // after "read record: " and "read: "
  };
  const Case cases[] = {
      {"symlink to a record", [&](const fs::path& p) { fs::create_symlink(other, p); }, eloop},
      {"symlink to a file", [&](const fs::path& p) { fs::create_symlink(root_ / "outside", p); }, eloop},
      {"symlink to an endless device", [](const fs::path& p) { fs::create_symlink("/dev/zero", p); }, eloop},
      {"dangling symlink", [&](const fs::path& p) { fs::create_symlink(root_ / "none", p); }, eloop},
      {"FIFO", [](const fs::path& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0); }, not_regular},
      {"directory", [](const fs::path& p) { fs::create_directory(p); }, "Is a directory (os error 21)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const fs::path dir = root_ / "vault";
    ASSERT_TRUE(store::ensure_dir(dir).has_value());
    const fs::path file = store::record_path(dir, db_).value();
    c.make(file);
    EXPECT_EQ(value_at(dir, db_), "error: vault I/O failed: read record: " + c.reason);
    auto all = store::load_all(dir, key_);
    ASSERT_TRUE(all.has_value());
    EXPECT_TRUE(all->records.empty());
    ASSERT_EQ(all->quarantined.size(), 1u);
    EXPECT_EQ(all->quarantined[0].reason, "vault I/O failed: read: " + c.reason);

    // At the temporary name of older versions, nothing is opened or written
    // through, and whatever stands there stays: each write uses a new file.
    fs::remove_all(file);
    const fs::path tmp = file.string() + ".tmp";
    c.make(tmp);
    const auto planted = fs::symlink_status(tmp).type();
    EXPECT_EQ(text_of(store::write_record(dir, db_, crypto::seal(literal("new"), key_).value())), "<ok>");
    EXPECT_EQ(value_at(dir, db_), "new");
    EXPECT_EQ(fs::symlink_status(tmp).type(), planted);
    EXPECT_EQ(names_in(dir), (std::vector<std::string>{file.filename().string(), tmp.filename().string()}));
    fs::remove_all(dir);
  }
  const auto outside = file_bytes(root_ / "outside");
  EXPECT_EQ(std::string(outside.begin(), outside.end()), "outside");
  EXPECT_EQ(value_at(elsewhere, db_), "another record");
}

// A FIFO at the temporary name of older versions that someone holds open for
// reading gets none of the record: the record is written to a new file.
TEST_F(Store, FifoWithAReaderAtTheTemporaryName) {
  const fs::path tmp = store::record_path(root_, db_).value().string() + ".tmp";
  ASSERT_EQ(::mkfifo(tmp.c_str(), 0600), 0);
  UniqueFd reader(::open(tmp.c_str(), O_RDONLY | O_NONBLOCK));
  ASSERT_TRUE(reader.valid());
  EXPECT_EQ(text_of(store::write_record(root_, db_, crypto::seal(literal("new"), key_).value())), "<ok>");
  char byte;
  EXPECT_EQ(::read(reader.get(), &byte, 1), 0);
  EXPECT_EQ(value_at(root_, db_), "new");
}

// A hard link at the temporary name of older versions shares its inode with
// another file: writing into it would change that file. Whatever it links to
// stays as it was, and the backup holds the previous version.
TEST_F(Store, HardLinkAtTheTemporaryNameIsNeverWrittenInto) {
  const fs::path dir = root_ / "global";
  const fs::path file = store::record_path(dir, db_).value();
  const fs::path tmp = file.string() + ".tmp";
  const fs::path bak = file.string() + ".bak";
  const fs::path outside = root_ / "outside";  // a file of the user's, outside the vault
  const fs::path salt = root_ / "kdf.salt";    // the vault root's salt
  struct Case {
    const char* what;
    fs::path target;  // empty: the live record itself
  };
  const Case cases[] = {{"file outside the vault", outside}, {"salt", salt}, {"live record", {}}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    write_file(outside, "a file of the user's");
    write_file(salt, "zantu-test-salt!");
    put(dir, db_, "v1");
    const fs::path target = c.target.empty() ? file : c.target;
    const auto target_bytes = file_bytes(target);
    const ino_t target_inode = inode_of(target);
    fs::create_hard_link(target, tmp);

    ASSERT_EQ(text_of(store::write_record(dir, db_, crypto::seal(literal("v2"), key_).value())), "<ok>");
    EXPECT_EQ(value_at(dir, db_), "v2");
    EXPECT_EQ(value_in(bak), "v1");
    EXPECT_EQ(links_of(file), 1u);
    // The planted link is left as it was: still a second name of its target.
    EXPECT_EQ(inode_of(tmp), target_inode);
    EXPECT_EQ(file_bytes(tmp), target_bytes);
    EXPECT_EQ(links_of(tmp), 2u);
    if (c.target.empty()) {
      // The previous inode lives on as the backup, unchanged.
      EXPECT_EQ(inode_of(bak), target_inode);
      EXPECT_EQ(file_bytes(bak), target_bytes);
      EXPECT_NE(inode_of(file), target_inode);
    } else {
      EXPECT_EQ(file_bytes(target), target_bytes);
      EXPECT_EQ(inode_of(target), target_inode);
    }
    fs::remove_all(dir);
  }
}

// Whatever stands at the backup name loses only its name there: nothing it
// points to or shares an inode with changes, and the live record is kept.
TEST_F(Store, PlantedBackupNames) {
  const fs::path dir = root_ / "global";
  const fs::path file = store::record_path(dir, db_).value();
  const fs::path bak = file.string() + ".bak";
  const fs::path outside = root_ / "outside";
  struct Case {
    const char* what;
    std::function<void(const fs::path&)> make;
    std::string error;  // of the write; empty: it succeeds
  };
  const Case cases[] = {
      {"hard link to a file outside", [&](const fs::path& p) { fs::create_hard_link(outside, p); }, ""},
      {"symlink to a file outside", [&](const fs::path& p) { fs::create_symlink(outside, p); }, ""},
      {"hard link to the live record", [&](const fs::path& p) { fs::create_hard_link(file, p); }, ""},
      {"FIFO", [](const fs::path& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0); }, ""},
      {"directory", [](const fs::path& p) { fs::create_directories(p / "busy"); },
       "vault I/O failed: rotate .bak: Is a directory (os error 21)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    write_file(outside, "a file of the user's");
    const ino_t outside_inode = inode_of(outside);
    put(dir, db_, "v1");
    c.make(bak);

    const std::string written = text_of(store::write_record(dir, db_, crypto::seal(literal("v2"), key_).value()));
    const auto outside_bytes = file_bytes(outside);
    EXPECT_EQ(std::string(outside_bytes.begin(), outside_bytes.end()), "a file of the user's");
    EXPECT_EQ(inode_of(outside), outside_inode);
    EXPECT_EQ(links_of(outside), 1u);
    if (c.error.empty()) {
      EXPECT_EQ(written, "<ok>");
      EXPECT_EQ(value_at(dir, db_), "v2");
      EXPECT_EQ(value_in(bak), "v1");
    } else {
      EXPECT_EQ(written, c.error);
      EXPECT_EQ(value_at(dir, db_), "v1");
    }
    fs::remove_all(dir);
  }
}

// A record file holds at most kMaxRecordFileLen bytes. Past it the file is
// refused by its size, unread (a sparse file of any size costs nothing), in a
// lookup and in a listing alike; a file of exactly that size is still read.
TEST_F(Store, RecordFilesPastTheBound) {
  const fs::path dir = root_ / "vault";
  const Coordinate big = coord("secret:dev/app/big");
  const std::string too_large = "file is larger than 33554432 bytes";
  struct Case {
    const char* what;
    off_t len;
    std::string lookup;  // the error of read_record
    std::string listed;  // the reason load_all quarantines it with
  };
  const Case cases[] = {
      {"1 TiB", off_t{1} << 40, "vault I/O failed: read record: " + too_large, "vault I/O failed: read: " + too_large},
      {"one byte past the bound", static_cast<off_t>(store::kMaxRecordFileLen) + 1,
       "vault I/O failed: read record: " + too_large, "vault I/O failed: read: " + too_large},
      // All zeros: read, and then no frame.
      {"at the bound", static_cast<off_t>(store::kMaxRecordFileLen),
       "record serialization failed: not a zantu record frame",
       "record serialization failed: not a zantu record frame"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    put(dir, db_, "good");
    const fs::path file = store::record_path(dir, big).value();
    make_sparse(file, c.len);
    EXPECT_EQ(value_at(dir, big), "error: " + c.lookup);
    auto all = store::load_all(dir, key_);
    ASSERT_TRUE(all.has_value()) << all.error().to_string();
    ASSERT_EQ(all->records.size(), 1u);
    EXPECT_EQ(std::get<SecretRecord::Literal>(all->records[0].second.mode).value.view(), "good");
    ASSERT_EQ(all->quarantined.size(), 1u);
    EXPECT_EQ(all->quarantined[0].id, file.stem().string());
    EXPECT_EQ(all->quarantined[0].reason, c.listed);
    // A write replaces it whole, with no read of it.
    ASSERT_TRUE(store::write_record(dir, big, crypto::seal(literal("replaced"), key_).value()).has_value());
    EXPECT_EQ(value_at(dir, big), "replaced");
    fs::remove_all(dir);
  }
}

// A sealed record whose frame is exactly `len` bytes (len > 100): a zero
// nonce, and ciphertext bytes of three digits with a few narrower ones.
SealedRecord sealed_of_frame_len(std::size_t len) {
  // Frame: 8 + {"nonce":[ (10) + 0,...,0 (23) + ],"ciphertext":[ (16) + 4n - 1 + ]} (2) = 4n + 58.
  const std::size_t n = (len - 58 + 3) / 4;
  std::size_t surplus = 4 * n + 58 - len;
  SealedRecord sealed{std::vector<std::uint8_t>(12, 0), std::vector<std::uint8_t>(n, 255)};
  for (std::size_t i = 0; surplus > 0; ++i) {
    const std::size_t saved = surplus >= 2 ? 2 : 1;  // "0" or "10" for "255"
    sealed.ciphertext[i] = saved == 2 ? 0 : 10;
    surplus -= saved;
  }
  return sealed;
}

// Nothing is written that could not be read back: a frame past the bound is
// refused before any file is touched; one of exactly the bound is written
// and read (it then fails to open, being no real seal).
TEST_F(Store, WritesStopAtTheBound) {
  const fs::path file = store::record_path(root_, db_).value();
  const auto at_bound = sealed_of_frame_len(store::kMaxRecordFileLen);
  ASSERT_EQ(store::frame(at_bound).size(), store::kMaxRecordFileLen);
  const auto past_bound = sealed_of_frame_len(store::kMaxRecordFileLen + 1);
  ASSERT_EQ(store::frame(past_bound).size(), store::kMaxRecordFileLen + 1);

  put(root_, db_, "v1");
  const auto v1 = file_bytes(file);
  EXPECT_EQ(text_of(store::write_record(root_, db_, past_bound)),
            "record serialization failed: record file would be larger than 33554432 bytes");
  EXPECT_EQ(file_bytes(file), v1);
  EXPECT_EQ(names_in(root_), std::vector<std::string>{file.filename().string()});

  ASSERT_EQ(text_of(store::write_record(root_, db_, at_bound)), "<ok>");
  EXPECT_EQ(fs::file_size(file), store::kMaxRecordFileLen);
  EXPECT_EQ(value_at(root_, db_), "error: crypto operation failed");
}

// The bound's arithmetic: the widest frame is exactly max_frame_len, and the
// longest value at its widest (every byte 255) round-trips with room to spare.
TEST_F(Store, TheLargestValueFitsTheBound) {
  for (std::size_t plaintext_len : {std::size_t{0}, std::size_t{1}, std::size_t{1000}}) {
    const SealedRecord widest{std::vector<std::uint8_t>(crypto::kNonceLen, 255),
                              std::vector<std::uint8_t>(plaintext_len + crypto::kTagLen, 255)};
    EXPECT_EQ(store::frame(widest).size(), store::max_frame_len(plaintext_len)) << plaintext_len;
  }

  const std::string value(store::kMaxValueLen, '\xff');
  SecretRecord record = literal(value);
  record.meta().description = std::string(4096, 'd');
  SecretBuffer plaintext;
  record.serialize(plaintext);
  EXPECT_LE(plaintext.size(), store::max_literal_plaintext_len(store::kMaxValueLen));

  const fs::path file = put(root_, db_, value);
  EXPECT_LE(fs::file_size(file), store::max_frame_len(store::max_literal_plaintext_len(store::kMaxValueLen)));
  EXPECT_TRUE(value_at(root_, db_) == value);
  auto all = store::load_all(root_, key_);
  ASSERT_TRUE(all.has_value());
  ASSERT_EQ(all->records.size(), 1u);
  EXPECT_TRUE(std::get<SecretRecord::Literal>(all->records[0].second.mode).value.view() == value);
}

TEST_F(Store, LoadAllQuarantinesWhatItCannotOpen) {
  const fs::path dir = root_ / "vault";
  ASSERT_TRUE(store::ensure_dir(dir).has_value());
  const auto sealed = crypto::seal(literal("a-value"), key_).value();
  const auto good = store::frame(sealed);
  auto put_bytes = [&](const std::string& name, const std::vector<std::uint8_t>& b) {
    std::ofstream(dir / name, std::ios::binary).write(reinterpret_cast<const char*>(b.data()),
                                                       static_cast<std::streamsize>(b.size()));
  };
  put_bytes("a.sec", good);
  write_file(dir / "b.sec", "garbage");
  put_bytes("c.sec.tmp", good);
  put_bytes("d.sec.bak", good);
  put_bytes("e.txt", good);
  fs::create_directory(dir / "f.sec");
  put_bytes("g.sec", store::frame(crypto::seal(literal("x"), test_key(8)).value()));
  put_bytes("h.i.sec", good);
  put_bytes("\xff.sec", good);
  put_bytes(".sec", good);
  put_bytes("sec", good);

  const std::map<std::string, std::string> want_quarantined = {
      {"b", "record serialization failed: not a zantu record frame"},
      {"f", "vault I/O failed: read: Is a directory (os error 21)"},
      {"g", "crypto operation failed"},
  };
  const std::set<std::string> want_records = {"a", "h.i", ""};
  // Expected order: the directory's own.
  std::vector<std::string> order;
  for (const auto& e : fs::directory_iterator(dir)) order.push_back(e.path().filename().string());

  auto all = store::load_all(dir, key_);
  ASSERT_TRUE(all.has_value()) << all.error().to_string();
  std::vector<std::string> got_records, got_quarantined, want_records_order, want_quarantined_order;
  for (const auto& name : order) {
    if (!name.ends_with(".sec") || name == ".sec") continue;
    std::string stem = name.substr(0, name.size() - 4);
    if (stem == "\xff") stem.clear();
    (want_quarantined.contains(stem) ? want_quarantined_order : want_records_order).push_back(stem);
  }
  for (const auto& [id, record] : all->records) {
    got_records.push_back(id);
    EXPECT_EQ(std::get<SecretRecord::Literal>(record.mode).value.view(), "a-value") << id;
  }
  for (const auto& q : all->quarantined) {
    got_quarantined.push_back(q.id);
    EXPECT_EQ(q.reason, want_quarantined.at(q.id)) << q.id;
  }
  EXPECT_EQ(got_records, want_records_order);
  EXPECT_EQ(got_quarantined, want_quarantined_order);
  EXPECT_EQ(std::set<std::string>(got_records.begin(), got_records.end()), want_records);
  EXPECT_EQ(got_quarantined.size(), 3u);
  // Nothing was moved or removed.
  EXPECT_TRUE(fs::exists(dir / "b.sec") && fs::exists(dir / "f.sec") && fs::exists(dir / "g.sec"));
}

// A listing removes the temporary files of writers that were killed or
// stopped: a regular file whose name has exactly the store's temporary form,
// not modified for more than an hour. Nothing else goes, and no link is
// followed.
TEST_F(Store, LoadAllSweepsOnlyStaleTemporaries) {
  const fs::path dir = root_ / "vault";
  const fs::path file = put(dir, db_, "kept");
  const std::string id = db_.storage_id().value();
  const std::string hex32 = "0123456789abcdef0123456789abcdef";
  const fs::path outside = root_ / "outside";
  auto regular = [](const fs::path& p) { write_file(p, "left by a writer"); };
  struct Case {
    std::string name;
    std::function<void(const fs::path&)> make;
    std::time_t age;  // seconds since its last modification
    bool swept;
  };
  const std::time_t hour = 60 * 60;
  const std::vector<Case> cases = {
      {id + ".sec." + hex32 + ".tmp", regular, hour + 60, true},
      {id + ".sec." + std::string(32, 'f') + ".tmp", regular, 30 * 24 * hour, true},
      {id + ".sec.tmp", regular, hour + 60, true},  // the name older versions used
      {id + ".sec." + std::string(32, 'e') + ".tmp", regular, hour - 60, false},
      // Not quite the form.
      {id + ".sec." + std::string(32, 'A') + ".tmp", regular, 2 * hour, false},
      {id + ".sec." + hex32.substr(1) + ".tmp", regular, 2 * hour, false},
      {id + ".sec." + hex32 + "0.tmp", regular, 2 * hour, false},
      {id.substr(1) + ".sec." + hex32 + ".tmp", regular, 2 * hour, false},
      {std::string(64, 'G') + ".sec." + hex32 + ".tmp", regular, 2 * hour, false},
      {id + ".sec." + hex32 + ".tmp.x", regular, 2 * hour, false},
      {id + ".bak." + hex32 + ".tmp", regular, 2 * hour, false},
      {id + ".sec.bak", regular, 2 * hour, false},
      {"x" + id + ".sec." + hex32 + ".tmp", regular, 2 * hour, false},
      // The form, but no regular file: never followed, never removed.
      {id + ".sec.1" + hex32.substr(1) + ".tmp", [&](const fs::path& p) { fs::create_symlink(outside, p); }, 2 * hour,
       false},
      {id + ".sec.2" + hex32.substr(1) + ".tmp", [](const fs::path& p) { fs::create_directory(p); }, 2 * hour, false},
      {id + ".sec.3" + hex32.substr(1) + ".tmp", [](const fs::path& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0); },
       2 * hour, false},
      // A hard link loses only this name: the file it shares stays whole.
      {id + ".sec.4" + hex32.substr(1) + ".tmp", [&](const fs::path& p) { fs::create_hard_link(outside, p); },
       2 * hour, true},
  };
  write_file(outside, "a file of the user's");
  for (const auto& c : cases) {
    const fs::path p = dir / c.name;
    c.make(p);
    const std::time_t when = std::time(nullptr) - c.age;
    const timespec times[2] = {{when, 0}, {when, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, p.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << c.name;
  }
  // The record itself may be old too.
  const timespec long_ago[2] = {{1, 0}, {1, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, file.c_str(), long_ago, 0), 0);

  for (int listing = 0; listing < 2; ++listing) {
    auto all = store::load_all(dir, key_);
    ASSERT_TRUE(all.has_value()) << all.error().to_string();
    ASSERT_EQ(all->records.size(), 1u);
    EXPECT_EQ(all->records[0].first, id);
    EXPECT_TRUE(all->quarantined.empty());
  }
  for (const auto& c : cases) {
    EXPECT_EQ(fs::exists(fs::symlink_status(dir / c.name)), !c.swept) << c.name;
  }
  EXPECT_EQ(value_at(dir, db_), "kept");
  const auto outside_bytes = file_bytes(outside);
  EXPECT_EQ(std::string(outside_bytes.begin(), outside_bytes.end()), "a file of the user's");
  EXPECT_EQ(links_of(outside), 1u);
}

TEST_F(Store, EnsureDir) {
  // An existing directory keeps its mode.
  fs::create_directory(root_ / "open");
  ::chmod((root_ / "open").c_str(), 0755);
  ASSERT_TRUE(store::ensure_dir(root_ / "open").has_value());
  EXPECT_EQ(mode_of(root_ / "open"), 0755u);

  // Missing parents are made with the umask's mode; the directory itself is 0700.
  ASSERT_TRUE(store::ensure_dir(root_ / "x/y/z").has_value());
  EXPECT_EQ(mode_of(root_ / "x"), 0755u);
  EXPECT_EQ(mode_of(root_ / "x/y"), 0755u);
  EXPECT_EQ(mode_of(root_ / "x/y/z"), 0700u);
  ASSERT_TRUE(store::ensure_dir(root_ / "t/u/").has_value());
  EXPECT_EQ(mode_of(root_ / "t/u"), 0700u);

  // Whatever exists is accepted; a later write then fails at the temporary file.
  write_file(root_ / "file", "x");
  ASSERT_TRUE(store::ensure_dir(root_ / "file").has_value());
  EXPECT_EQ(text_of(store::write_record(root_ / "file", db_, crypto::seal(literal("x"), key_).value())),
            "vault I/O failed: create tmp: Not a directory (os error 20)");

  // A NUL would end the path early for the system, naming another directory.
  EXPECT_EQ(text_of(store::ensure_dir(root_ / std::string("open\0/sub", 9))),
            "vault I/O failed: create \"" + root_.string() + "/open\\0/sub\": file name contained an unexpected NUL byte");
  EXPECT_FALSE(fs::exists(root_ / "open" / "sub"));

  // A failure names the directory in quoted form.
  const std::string odd = "a\"b\\c\nd'e";
  write_file(root_ / odd, "x");
  EXPECT_EQ(text_of(store::ensure_dir(root_ / odd / "sub")),
            "vault I/O failed: create \"" + root_.string() + "/a\\\"b\\\\c\\nd\\'e/sub\": Not a directory (os error 20)");
}

TEST_F(Store, RestrictNamesTheModeInOctal) {
  EXPECT_EQ(text_of(store::restrict(root_ / "none", 0600)),
            "vault I/O failed: chmod 600: No such file or directory (os error 2)");
  EXPECT_EQ(text_of(store::restrict(root_ / "none", 0700)),
            "vault I/O failed: chmod 700: No such file or directory (os error 2)");
  write_file(root_ / "f", "x");
  ASSERT_TRUE(store::restrict(root_ / "f", 0640).has_value());
  EXPECT_EQ(mode_of(root_ / "f"), 0640u);
}

// Three processes write one coordinate over and over while a fourth reads it
// and lists the vault: every write succeeds, every read finds a whole record,
// the listing always holds it, and what is left is the record written last,
// its backup and nothing else.
TEST_F(Store, ConcurrentWritersOfOneRecord) {
  constexpr int kWriters = 3;
  constexpr int kWrites = 300;
  const fs::path file = put(root_, db_, "initial");
  const std::string id = db_.storage_id().value();

  int stop[2];
  ASSERT_EQ(::pipe(stop), 0);
  UniqueFd stop_read(stop[0]), stop_write(stop[1]);
  forked::Child reader = forked::start([&] {
    stop_write.reset();
    std::string problems;
    int num_problems = 0;
    long num_reads = 0;
    auto problem = [&](std::string text) {
      if (++num_problems <= 5) problems += text + "; ";
    };
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    for (long i = 0; std::chrono::steady_clock::now() < give_up; ++i) {
      pollfd p{stop_read.get(), POLLIN, 0};
      if (::poll(&p, 1, 0) != 0) break;  // the write end is closed: the writers are done
      const std::string got = value_at(root_, db_);
      ++num_reads;
      if (got != "initial" && !got.starts_with("writer ")) problem("read " + got);
      if (i % 16 == 0) {
        auto all = store::load_all(root_, key_);
        if (!all) {
          problem("load_all " + all.error().to_string());
        } else if (all->records.size() != 1 || !all->quarantined.empty()) {
          problem("listed " + std::to_string(all->records.size()) + " records, " +
                  std::to_string(all->quarantined.size()) + " quarantined" +
                  (all->quarantined.empty() ? "" : ": " + all->quarantined[0].reason));
        }
      }
    }
    if (num_problems > 0) return std::to_string(num_problems) + " problems: " + problems;
    return "ok after " + std::to_string(num_reads) + " reads";
  });
  ASSERT_GT(reader.pid, 0);
  stop_read.reset();

  std::vector<forked::Child> writers;
  for (int w = 0; w < kWriters; ++w) {
    writers.push_back(forked::start([&, w] {
      stop_write.reset();
      int num_failed = 0;
      std::string first;
      for (int i = 0; i < kWrites; ++i) {
        const std::string value = "writer " + std::to_string(w) + " write " + std::to_string(i);
        auto written = store::write_record(root_, db_, crypto::seal(literal(value), key_).value());
        if (!written && num_failed++ == 0) first = written.error().to_string();
      }
      return num_failed == 0 ? std::string("ok") : std::to_string(num_failed) + " failed, first: " + first;
    }));
    ASSERT_GT(writers.back().pid, 0);
  }
  for (auto& w : writers) EXPECT_EQ(forked::join(w), "ok");
  stop_write.reset();
  const std::string read = forked::join(reader);
  EXPECT_TRUE(read.starts_with("ok after ")) << read;

  // The last rename of all is the last write of one of the writers.
  std::set<std::string> last_writes;
  for (int w = 0; w < kWriters; ++w) {
    last_writes.insert("writer " + std::to_string(w) + " write " + std::to_string(kWrites - 1));
  }
  EXPECT_TRUE(last_writes.contains(value_at(root_, db_))) << value_at(root_, db_);
  EXPECT_TRUE(value_in(file.string() + ".bak").starts_with("writer ")) << value_in(file.string() + ".bak");
  EXPECT_EQ(names_in(root_), (std::vector<std::string>{id + ".sec", id + ".sec.bak"}));
  EXPECT_EQ(mode_of(file), 0600u);
}

TEST(Unframe, RefusalsAndTheirOrder) {
  const std::string env = R"({"nonce":[1,2,3,4,5,6,7,8,9,10,11,12],"ciphertext":[1]})";
  struct Case {
    std::string bytes;
    const char* message;
  };
  const Case cases[] = {
      {"", "not a zantu record frame"},
      {"Z", "not a zantu record frame"},
      {"ZANT\x01\x00\x00", "not a zantu record frame"},  // 7 bytes
      {std::string("ZANT\x01\x00\x00\x00", 8), "EOF while parsing a value at line 1 column 0"},
      {std::string("ZANT\x02\x00\x00\x00", 8) + env, "unsupported record frame version 2"},
      {std::string("ZANT\x00\x00\x00\x01", 8) + env, "unsupported record frame version 16777216"},
      {std::string("ZANX\x02\x00\x00\x00", 8) + env, "not a zantu record frame"},  // magic before version
      {std::string("ZANT\x01\x00\x00\x00", 8) + env + "x", "trailing characters at line 1 column 56"},
  };
  for (const auto& c : cases) {
    auto r = store::unframe(std::span(reinterpret_cast<const std::uint8_t*>(c.bytes.data()), c.bytes.size()));
    ASSERT_FALSE(r.has_value()) << c.bytes;
    EXPECT_EQ(r.error().kind(), CoreErrorKind::Serialization);
    EXPECT_EQ(r.error().detail(), c.message);
  }
}

TEST(Envelope, AcceptedForms) {
  const SealedRecord want{{1, 2, 3}, {255, 0}};
  const char* forms[] = {
      R"({"nonce":[1,2,3],"ciphertext":[255,0]})",
      R"({"ciphertext":[255,0],"nonce":[1,2,3]})",
      " {\n \"nonce\" : [ 1 , 2 , 3 ] ,\t\"ciphertext\" : [255,0] } \n",
      R"({"v":{"x":[1,"y"]},"nonce":[1,2,3],"ciphertext":[255,0],"w":null})",
      R"([[1,2,3],[255,0]])",
  };
  for (const char* f : forms) {
    auto r = store::read_envelope(std::span(reinterpret_cast<const std::uint8_t*>(f), std::strlen(f)));
    ASSERT_TRUE(r.has_value()) << f << ": " << r.error().detail();
    EXPECT_EQ(*r, want) << f;
  }
  std::string out;
  store::write_envelope(want, out);
  EXPECT_EQ(out, forms[0]);
}

TEST(Envelope, Refusals) {
  struct Case {
    const char* text;
    const char* message;
  };
  const Case cases[] = {
      {R"({"nonce":[1]})", "missing field `ciphertext` at line 1 column 13"},
      {R"({"ciphertext":[1]})", "missing field `nonce` at line 1 column 18"},
      {R"({"nonce":[1],"nonce":[1],"ciphertext":[]})", "duplicate field `nonce` at line 1 column 21"},
      {R"({"nonce":[1],"ciphertext":[256]})", "invalid value: integer `256`, expected u8 at line 1 column 30"},
      {R"({"nonce":"abc","ciphertext":[]})", "invalid type: string \"abc\", expected a sequence at line 1 column 14"},
      {R"([[1]])", "invalid length 1, expected struct SealedRecord with 2 elements at line 1 column 5"},
      {R"([[1],[2],[3]])", "trailing characters at line 1 column 9"},
      {"null", "invalid type: null, expected struct SealedRecord at line 1 column 4"},
  };
  for (const auto& c : cases) {
    auto r = store::read_envelope(std::span(reinterpret_cast<const std::uint8_t*>(c.text), std::strlen(c.text)));
    ASSERT_FALSE(r.has_value()) << c.text;
    EXPECT_EQ(r.error().detail(), c.message) << c.text;
  }
}

TEST(QuotePath, DebugFormEscapes) {
  struct Case {
    std::string in;
    const char* out;
  };
  const Case cases[] = {
      {"/home/u/.vaults", R"("/home/u/.vaults")"},
      {"a\"b\\c", R"("a\"b\\c")"},
      {"\n\r\t", R"("\n\r\t")"},
      {std::string("\0", 1), R"("\0")"},
      {"\x01\x1f\x7f", R"("\u{1}\u{1f}\u{7f}")"},
      {"it's", R"("it\'s")"},
      {"caf\xc3\xa9", "\"caf\xc3\xa9\""},
      {"\xc2\x85", R"("\u{85}")"},
      {"a\xff\xfe", R"("a\xFF\xFE")"},
  };
  for (const auto& c : cases) EXPECT_EQ(quote_path(c.in), c.out);
  EXPECT_EQ(debug_quoted("it's"), R"("it's")");
}

}  // namespace
}  // namespace zantu::core
