// SPDX-License-Identifier: GPL-2.0-or-later
// Helpers for the pack and tool tests: temporary directories, file bytes,
// and packs laid out byte by byte from the format description (independent
// of the pack writer).
#pragma once

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "pack/pack.h"

namespace test_support {

using Bytes = std::vector<uint8_t>;

// A fresh directory, removed with its contents at the end of the test.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "spoolex-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

inline Bytes ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

inline void WriteBytes(const std::string& path, const Bytes& bytes) {
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                             static_cast<std::streamsize>(bytes.size()));
}

inline Bytes ToBytes(const std::string& text) { return Bytes(text.begin(), text.end()); }

// Every file and directory below `dir`, as sorted relative paths.
inline std::vector<std::string> ListTree(const std::string& dir) {
  std::vector<std::string> out;
  std::error_code ec;
  for (std::filesystem::recursive_directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    out.push_back(it->path().lexically_relative(dir).string());  // links not followed
  }
  std::sort(out.begin(), out.end());
  return out;
}

inline void Put16(Bytes& b, uint16_t v) { b.insert(b.end(), {uint8_t(v), uint8_t(v >> 8)}); }
inline void Put32(Bytes& b, uint32_t v) { b.insert(b.end(), {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}); }
inline Bytes U32(uint32_t v) {
  Bytes b;
  Put32(b, v);
  return b;
}
inline uint32_t At32(const Bytes& b, size_t at) { return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | uint32_t(b[at + 3]) << 24; }
inline void Append(Bytes& b, const Bytes& more) { b.insert(b.end(), more.begin(), more.end()); }

// A zlib stream (RFC 1950) of `data`, as compress2 writes it.
inline Bytes Deflate(const Bytes& data, int level = 9) {
  uLongf length = compressBound(static_cast<uLong>(data.size()));
  Bytes out(length);
  if (compress2(out.data(), &length, data.data(), static_cast<uLong>(data.size()), level) != Z_OK) return {};
  out.resize(length);
  return out;
}

// `size` pseudo-random bytes: words that deflate well, or noise that does not.
inline Bytes Sample(size_t size, bool text = true, uint32_t seed = 1) {
  static const std::string words[] = {"pack ", "entry ", "stream ", "deflate ", "name ", "\n", "offset ", "42 "};
  Bytes out;
  uint64_t x = seed * 0x9E3779B97F4A7C15ull + 1;
  while (out.size() < size) {
    x ^= x << 13, x ^= x >> 7, x ^= x << 17;
    if (text) Append(out, ToBytes(words[x % 8]));
    else out.push_back(static_cast<uint8_t>(x >> 32));
  }
  out.resize(size);
  return out;
}

// A pack laid out by hand: the 16-byte header, the data in the order added,
// then the directory (raw for "KERVMAXU", a zlib stream otherwise).
class HandPack {
 public:
  explicit HandPack(const std::string& magic) : magic_(magic), file_(16) {}

  // Appends entry data; returns its offset in the file.
  uint32_t AddData(const Bytes& bytes) {
    Append(file_, bytes);
    return static_cast<uint32_t>(file_.size() - bytes.size());
  }
  // u16 name length, name, u32 offset, u32 packed size, then the kind's
  // fields in `tail` (Deflated: u32 unpacked size; Audio: u32 format, 46
  // bytes of info).
  void AddRecord(const std::string& name, uint32_t offset, uint32_t packed, const Bytes& tail = {}) {
    Put16(records_, static_cast<uint16_t>(name.size()));
    Append(records_, ToBytes(name));
    Put32(records_, offset);
    Put32(records_, packed);
    Append(records_, tail);
  }
  // Adds `data` and its record; Deflated packs get the data deflated.
  void Add(const std::string& name, const Bytes& data) {
    bool deflated = magic_ == "KERVMAXZ";
    Bytes stored = deflated ? Deflate(data) : data;
    AddRecord(name, AddData(stored), static_cast<uint32_t>(stored.size()),
              deflated ? U32(static_cast<uint32_t>(data.size())) : magic_ == "KERVMAXA" ? Bytes(50, 0) : Bytes());
  }
  Bytes& records() { return records_; }

  // The whole file; `directorySize` defaults to the records' length.
  Bytes Build(int64_t directorySize = -1) const {
    Bytes file = file_;
    std::copy(magic_.begin(), magic_.end(), file.begin());
    Bytes fields = U32(static_cast<uint32_t>(file.size()));
    Put32(fields, directorySize < 0 ? static_cast<uint32_t>(records_.size()) : static_cast<uint32_t>(directorySize));
    std::copy(fields.begin(), fields.end(), file.begin() + 8);
    Append(file, magic_ == "KERVMAXU" ? records_ : Deflate(records_));
    return file;
  }

 private:
  std::string magic_;
  Bytes file_;
  Bytes records_;
};

// The pack tests' fixture: a temporary folder whose "dest" is open for
// output, the pack at path_, and what the last entry's read reported.
class PackFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directory(dest_);
    ASSERT_TRUE(destination_.Open(dest_));
  }
  // Writes the pack's next entry under the destination.
  int Next() { return NextEntry(destination_, &name_, *pack_, &packed_, &unpacked_, &reason_); }

  TempDir tmp_;
  std::string dest_ = tmp_ / "dest", path_ = tmp_ / "game.pak", reason_, name_;
  platform::Destination destination_;
  PackPtr pack_;
  uint32_t packed_ = 0, unpacked_ = 0;
};

}  // namespace test_support
