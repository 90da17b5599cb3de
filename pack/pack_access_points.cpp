// SPDX-License-Identifier: GPL-2.0-or-later
// Access points into Deflated entries, with zlib's inflate. A point is
// recorded at a deflate block boundary: the stream position in bytes and
// bits (zlib's data_type after inflate stops with Z_BLOCK) and the 32 KiB
// window the next blocks may refer back to (inflateGetDictionary). To start
// there, a raw inflate is given the leftover bits (inflatePrime) and the
// window (inflateSetDictionary). Only a pass from the stream start checks
// the zlib header and Adler-32 trailer; VerifyDeflated makes one such pass
// before anything is read.
#include "pack/pack_access_points.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

namespace pack_internal {

namespace {

// Stream bytes read from the pack at a time, per cursor.
constexpr size_t kInputBytes = 64 * 1024;
// Live cursors kept: a few readers going forward through different entries.
constexpr size_t kMaxCursors = 4;
// What a point costs beyond its window, bytes (its record and the vector's).
constexpr uint64_t kPointOverheadBytes = sizeof(AccessPoint);

uint64_t PointBytes(const AccessPoint& point) { return point.window.size() + kPointOverheadBytes; }

int Failed(DeflatedIndex& index, std::string* reason, int code, const std::string& why) {
  index.failure = why;
  return Fail(reason, code, why);
}

// Drops every point of `index`, which is rebuilt as reads go forward again.
void DropPoints(AccessPointState& state, DeflatedIndex& index) {
  for (const AccessPoint& point : index.points) state.bytes -= PointBytes(point);
  index.points = std::vector<AccessPoint>();
}

// Frees points of entries other than `keep`, least recently used first,
// until `more` bytes fit the total. Returns whether they fit.
bool MakeRoom(AccessPointState& state, size_t keep, uint64_t more) {
  while (state.bytes + more > state.limits.totalBytes) {
    DeflatedIndex* oldest = nullptr;
    for (auto& [key, index] : state.entries) {
      if (key != keep && !index.points.empty() && (oldest == nullptr || index.lastUse < oldest->lastUse)) {
        oldest = &index;
      }
    }
    if (oldest == nullptr) return false;
    DropPoints(state, *oldest);
  }
  return true;
}

// At a block boundary: records a point when the cursor has gone a span past
// the last point and the limits allow. Returns false only for memory.
bool MaybeRecord(AccessPointState& state, size_t key, DeflatedIndex& index, InflateCursor& cursor) {
  const uint64_t last = index.points.empty() ? 0 : index.points.back().out;
  if (cursor.out < last + index.span || index.points.size() >= state.limits.pointsPerEntry) return true;
  if (!MakeRoom(state, key, kWindowBytes + kPointOverheadBytes)) return true;
  AccessPoint point;
  point.out = cursor.out;
  point.in = cursor.fed - cursor.z.avail_in;
  point.bits = cursor.z.data_type & 7;
  point.window.resize(kWindowBytes);
  uInt length = kWindowBytes;
  if (inflateGetDictionary(&cursor.z, point.window.data(), &length) != Z_OK) return false;
  point.window.resize(length);
  point.window.shrink_to_fit();
  state.bytes += PointBytes(point);
  index.points.push_back(std::move(point));
  return true;
}

// A cursor for entry `key`: its own when it has one, else a free one or the
// least recently used.
InflateCursor& CursorFor(AccessPointState& state, size_t key) {
  InflateCursor* pick = nullptr;
  for (auto& cursor : state.cursors) {
    if (cursor->entry == key) return *cursor;
    if (pick == nullptr || cursor->lastUse < pick->lastUse) pick = cursor.get();
  }
  if (state.cursors.size() < kMaxCursors || pick == nullptr) {
    state.cursors.push_back(std::make_unique<InflateCursor>());
    pick = state.cursors.back().get();
  }
  pick->entry = SIZE_MAX;
  return *pick;
}

// Sets `cursor` up at `point` (the stream start when null). Returns 0, or
// -1/-2 with `reason` set.
int StartAt(InflateCursor& cursor, size_t key, const AccessPoint* point, PackHandle& pack,
            const DirectoryEntry& entry, std::string* reason) {
  cursor.entry = SIZE_MAX;
  // A raw stream in the middle; the zlib wrapper, header and trailer, at the start.
  const int windowBits = point != nullptr ? -15 : 15;
  const int rc = cursor.ready ? inflateReset2(&cursor.z, windowBits) : inflateInit2(&cursor.z, windowBits);
  if (rc != Z_OK) return Fail(reason, kPackNoMemory, "out of memory for inflating");
  cursor.ready = true;
  cursor.input.resize(kInputBytes);
  cursor.z.next_in = cursor.input.data();
  cursor.z.avail_in = 0;
  cursor.out = point != nullptr ? point->out : 0;
  cursor.fed = point != nullptr ? point->in : 0;
  cursor.ended = false;
  if (point != nullptr) {
    if (point->bits > 0) {
      uint8_t byte = 0;
      const int64_t at = int64_t{entry.dataOffset} + static_cast<int64_t>(point->in) - 1;
      if (point->in == 0 || !platform::ReadFileAt(pack.file, at, &byte, 1)) {
        return Fail(reason, kPackFileError, std::string("data cannot be read: ") + std::strerror(errno));
      }
      if (inflatePrime(&cursor.z, point->bits, byte >> (8 - point->bits)) != Z_OK) {
        return Fail(reason, kPackFileError, "cannot start at an access point");
      }
    }
    if (inflateSetDictionary(&cursor.z, point->window.data(), static_cast<uInt>(point->window.size())) != Z_OK) {
      return Fail(reason, kPackFileError, "cannot start at an access point");
    }
  }
  cursor.entry = key;
  return kPackOk;
}

// Inflates `cursor` forward until `until` bytes of output (or the stream's
// end), the output from `from` on going to `buffer` (at buffer + out - from)
// and what comes before it to the discard buffer. Records points past the
// last one at block boundaries. Returns 0, or -1/-2 with the entry failed.
int Advance(AccessPointState& state, size_t key, DeflatedIndex& index, InflateCursor& cursor, PackHandle& pack,
            const DirectoryEntry& entry, uint64_t from, uint64_t until, uint8_t* buffer, std::string* reason) {
  z_stream& z = cursor.z;
  state.discard.resize(kInputBytes);
  while (cursor.out < until && !cursor.ended) {
    if (z.avail_in == 0 && cursor.fed < entry.packedSize) {
      const size_t piece = static_cast<size_t>(std::min<uint64_t>(kInputBytes, entry.packedSize - cursor.fed));
      const int64_t at = int64_t{entry.dataOffset} + static_cast<int64_t>(cursor.fed);
      if (!platform::ReadFileAt(pack.file, at, cursor.input.data(), piece)) {
        return Failed(index, reason, kPackFileError, std::string("data cannot be read: ") + std::strerror(errno));
      }
      z.next_in = cursor.input.data();
      z.avail_in = static_cast<uInt>(piece);
      cursor.fed += piece;
    }
    const bool wanted = cursor.out >= from;
    const uint64_t room = wanted ? until - cursor.out : std::min<uint64_t>(from - cursor.out, state.discard.size());
    z.next_out = wanted ? buffer + (cursor.out - from) : state.discard.data();
    z.avail_out = static_cast<uInt>(std::min<uint64_t>(room, UINT_MAX));
    const uInt before = z.avail_out;
    const uInt inBefore = z.avail_in;
    const int rc = inflate(&z, Z_BLOCK);
    cursor.out += before - z.avail_out;
    if (rc == Z_STREAM_END) {
      cursor.ended = true;
    } else if (rc == Z_NEED_DICT) {
      return Failed(index, reason, kPackFileError, "data does not inflate (needs a preset dictionary)");
    } else if (rc == Z_MEM_ERROR) {
      return Failed(index, reason, kPackNoMemory, "out of memory for inflating");
    } else if (rc != Z_OK && rc != Z_BUF_ERROR) {
      return Failed(index, reason, kPackFileError,
                    std::string("data does not inflate (") + (z.msg != nullptr ? z.msg : "damaged zlib stream") + ")");
    } else if (z.avail_in == 0 && cursor.fed >= entry.packedSize && before == z.avail_out && inBefore == 0) {
      return Failed(index, reason, kPackFileError, "data does not inflate (zlib stream cut short)");
    }
    if (cursor.out > entry.unpackedSize) {
      return Failed(index, reason, kPackFileError, "data inflates to more than its recorded size");
    }
    // Bit 7: stopped at a block's end; bit 6: in the last block.
    if (!cursor.ended && (z.data_type & 128) != 0 && (z.data_type & 64) == 0 &&
        !MaybeRecord(state, key, index, cursor)) {
      return Failed(index, reason, kPackNoMemory, "out of memory for an access point");
    }
  }
  if (cursor.ended && cursor.out != entry.unpackedSize) {
    return Failed(index, reason, kPackFileError,
                  "data inflates to " + std::to_string(cursor.out) + " bytes, recorded " +
                      std::to_string(entry.unpackedSize));
  }
  return kPackOk;
}

DeflatedIndex& IndexFor(AccessPointState& state, size_t key, const DirectoryEntry& entry) {
  DeflatedIndex& index = state.entries[key];
  if (index.span == 0) {
    const uint64_t points = std::max<uint64_t>(state.limits.pointsPerEntry, 1);
    index.span = std::max<uint64_t>({state.limits.span, (uint64_t{entry.unpackedSize} + points - 1) / points, 1});
  }
  index.lastUse = ++state.clock;
  return index;
}

}  // namespace

InflateCursor::~InflateCursor() {
  if (ready) inflateEnd(&z);
}

int VerifyDeflated(AccessPointState& state, size_t key, PackHandle& pack, const DirectoryEntry& entry,
                   std::string* reason) {
  DeflatedIndex& index = IndexFor(state, key, entry);
  if (!index.failure.empty()) return Fail(reason, kPackFileError, index.failure);
  if (index.verified) return kPackOk;
  DropPoints(state, index);
  InflateCursor& cursor = CursorFor(state, key);
  cursor.lastUse = state.clock;
  if (const int rc = StartAt(cursor, key, nullptr, pack, entry, reason); rc != kPackOk) return rc;
  // One byte more than recorded is asked for: the stream must end before it.
  const uint64_t end = uint64_t{entry.unpackedSize} + 1;
  const int rc = Advance(state, key, index, cursor, pack, entry, end, end, nullptr, reason);
  if (rc != kPackOk) return rc;
  if (!cursor.ended) return Failed(index, reason, kPackFileError, "data inflates to more than its recorded size");
  index.verified = true;
  return kPackOk;
}

int ReadDeflated(AccessPointState& state, size_t key, PackHandle& pack, const DirectoryEntry& entry, uint64_t offset,
                 uint8_t* buffer, size_t size, size_t* got, std::string* reason) {
  *got = 0;
  DeflatedIndex& index = IndexFor(state, key, entry);
  if (!index.failure.empty()) return Fail(reason, kPackFileError, index.failure);
  if (offset >= entry.unpackedSize || size == 0) return kPackOk;
  const uint64_t until = std::min<uint64_t>(offset + size, entry.unpackedSize);
  // The last point at or before the offset.
  const auto after = std::upper_bound(index.points.begin(), index.points.end(), offset,
                                      [](uint64_t at, const AccessPoint& point) { return at < point.out; });
  const AccessPoint* point = after == index.points.begin() ? nullptr : &*(after - 1);
  const uint64_t pointOut = point != nullptr ? point->out : 0;
  InflateCursor& cursor = CursorFor(state, key);
  cursor.lastUse = state.clock;
  // The live cursor serves when it stands between the point and the offset.
  if (cursor.entry != key || cursor.ended || cursor.out > offset || cursor.out < pointOut) {
    if (const int rc = StartAt(cursor, key, point, pack, entry, reason); rc != kPackOk) return rc;
  }
  const int rc = Advance(state, key, index, cursor, pack, entry, offset, until, buffer, reason);
  if (rc != kPackOk) return rc;
  if (cursor.out < until) return Failed(index, reason, kPackFileError, "data inflates to fewer bytes than recorded");
  *got = static_cast<size_t>(until - offset);
  return kPackOk;
}

}  // namespace pack_internal
