// Helpers for the pack and tool tests: temporary directories, file bytes,
// and packs built byte by byte from the format description (independent of
// the pack writer).
#pragma once

#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace test_support {

using Bytes = std::vector<uint8_t>;

// A fresh directory under the system's temporary folder, removed with all
// its contents at the end of the test.
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
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
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
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline Bytes ToBytes(const std::string& text) { return Bytes(text.begin(), text.end()); }

// Every file and directory below `dir`, as sorted relative paths.
inline std::vector<std::string> ListTree(const std::string& dir) {
  std::vector<std::string> out;
  std::error_code ec;
  for (auto it = std::filesystem::recursive_directory_iterator(dir, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    out.push_back(std::filesystem::relative(it->path(), dir).string());
  }
  std::sort(out.begin(), out.end());
  return out;
}

inline void Put16(Bytes& b, uint16_t v) {
  b.push_back(static_cast<uint8_t>(v & 0xFF));
  b.push_back(static_cast<uint8_t>(v >> 8));
}

inline void Put32(Bytes& b, uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>((v >> (8 * i)) & 0xFF));
}

inline void Append(Bytes& b, const Bytes& more) { b.insert(b.end(), more.begin(), more.end()); }

// A zlib stream (RFC 1950) of `data`, as compress2 writes it.
inline Bytes Deflate(const Bytes& data, int level = 9) {
  uLongf length = compressBound(static_cast<uLong>(data.size()));
  Bytes out(length);
  if (compress2(out.data(), &length, data.data(), static_cast<uLong>(data.size()), level) != Z_OK) return {};
  out.resize(length);
  return out;
}

// Text that deflates well but not trivially, `size` bytes.
inline Bytes SampleText(size_t size, uint32_t seed = 1) {
  static const char* words[] = {"pack ", "entry ", "stream ", "deflate ", "name ", "\n", "offset ", "42 "};
  Bytes out;
  uint32_t x = seed;
  while (out.size() < size) {
    x = x * 1664525u + 1013904223u;
    const char* w = words[(x >> 24) % 8];
    out.insert(out.end(), w, w + std::char_traits<char>::length(w));
  }
  out.resize(size);
  return out;
}

// Bytes that do not deflate, `size` bytes.
inline Bytes NoiseBytes(size_t size, uint32_t seed = 7) {
  Bytes out(size);
  uint64_t x = seed * 0x9E3779B97F4A7C15ull + 1;
  for (auto& b : out) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    b = static_cast<uint8_t>(x >> 32);
  }
  return out;
}

// A pack laid out by hand: the 16-byte header, the data in the order added,
// then the directory (raw for "KERVMAXU", a zlib stream otherwise).
class HandPack {
 public:
  explicit HandPack(const std::string& magic) : magic_(magic) { data_.resize(16); }

  // Appends entry data; returns its offset in the file.
  uint32_t AddData(const Bytes& bytes) {
    uint32_t offset = static_cast<uint32_t>(data_.size());
    Append(data_, bytes);
    return offset;
  }

  // Record: u16 name length, name, u32 offset, u32 packed size, then the
  // kind's fields given in `tail` (Deflated: u32 unpacked size; Audio: u32
  // format and 46 bytes of info).
  void AddRecord(const std::string& name, uint32_t offset, uint32_t packed, const Bytes& tail = {}) {
    Put16(records_, static_cast<uint16_t>(name.size()));
    records_.insert(records_.end(), name.begin(), name.end());
    Put32(records_, offset);
    Put32(records_, packed);
    Append(records_, tail);
  }
  void AddRawRecordBytes(const Bytes& bytes) { Append(records_, bytes); }
  const Bytes& records() const { return records_; }

  // The whole file. `directorySize` defaults to the records' length.
  Bytes Build(int64_t directorySize = -1) const {
    Bytes file = data_;
    std::copy(magic_.begin(), magic_.end(), file.begin());
    bool stored = magic_ == "KERVMAXU";
    Bytes directory = stored ? records_ : Deflate(records_);
    uint32_t offset = static_cast<uint32_t>(file.size());
    uint32_t size = directorySize < 0 ? static_cast<uint32_t>(records_.size()) : static_cast<uint32_t>(directorySize);
    Bytes fields;
    Put32(fields, offset);
    Put32(fields, size);
    std::copy(fields.begin(), fields.end(), file.begin() + 8);
    Append(file, directory);
    return file;
  }

 private:
  std::string magic_;
  Bytes data_;
  Bytes records_;
};

inline Bytes U32(uint32_t v) {
  Bytes b;
  Put32(b, v);
  return b;
}

}  // namespace test_support
