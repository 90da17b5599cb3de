// SPDX-License-Identifier: GPL-2.0-or-later
// Pack archives: open a pack, hand out its entries one at a time (writing
// each as a file under a destination directory), and create packs.
//
// Reader codes (also those of RestoreAudioEntry):
//    0  the entry was written
//   -1  memory cannot be had; on open also: the directory cannot be read whole
//   -2  on open: the pack file cannot be opened or its directory does not
//       inflate; on an entry: its data cannot be read or inflated, does not
//       match its checksum, or its output file cannot be created, written or
//       put in place, or its name would leave the destination or names no
//       file
//   -3  on open: wrong magic or an unfinished pack; on an entry: a record that
//       runs past the end of the directory, an Audio record whose stored
//       description no stream can have or that cannot describe the source of
//       its packed stream (see pack/audio_entry_read.h), or an entry whose
//       output would pass the expansion limits (see ExpansionLimits)
//   -4  the packed audio stream of an Audio entry cannot be opened or read
//       whole, is not plausible, or cannot be brought to the stored
//       description
//   -5  the directory has no further record
//   -6  the entry's output file is already there and the destination keeps
//       existing files: nothing was written (never for a destination that
//       replaces files, as spoolex's does)
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "audio/stream/audio_info.h"
#include "pack/pack_format.h"
#include "platform/destination.h"
#include "platform/platform.h"

inline constexpr int kPackOk = 0;
inline constexpr int kPackNoMemory = -1;
inline constexpr int kPackFileError = -2;
inline constexpr int kPackBadPack = -3;
inline constexpr int kPackAudioFailed = -4;
inline constexpr int kPackEnd = -5;
inline constexpr int kPackExists = -6;

// One open pack (read or write mode). Owned through PackPtr; its fields are
// internal to the pack module.
struct PackHandle;

// A PackPtr that goes away closes its pack as ClosePack does, except that
// a pack in write mode is not finished: it keeps its unfinished marker, so
// an error path never leaves a partial pack that reads as finished.
struct PackCloser {
  void operator()(PackHandle* pack) const;
};
using PackPtr = std::unique_ptr<PackHandle, PackCloser>;

// One directory record. `unpackedSize` belongs to Deflated records,
// `streamFormat` and `info` to Audio records; the other kinds ignore them.
struct DirectoryEntry {
  std::string name;  // backslash-separated, as stored
  uint32_t dataOffset = 0;
  uint32_t packedSize = 0;
  uint32_t unpackedSize = 0;
  uint32_t streamFormat = 0;
  AudioInfo info;
  size_t index = 0;  // set by NextRecord: the record's place in the directory, from 0
};

// ---- Expansion limits --------------------------------------------------------

// How far entries may expand, so that a small pack can fill neither a disk
// nor the memory. An Audio entry's restored file may take at most
// max(audioFloorBytes, audioRatio x its packed size) bytes, and no restored
// file more than 4 GiB - 1 (the 32-bit unpacked size, and the 32-bit size
// fields of RIFF, AIFF and AU); the samples a restoration holds in memory
// (2 bytes each) stay within the same ratio. The output of one run (the
// entries written, or read by a run that writes nothing) may take at most
// max(runFloorBytes, runRatio x the bytes of its packs): deflate cannot
// exceed 1032:1, so only records that share data reach that limit.
struct ExpansionLimits {
  bool enabled = true;  // false: only the 4 GiB - 1 of a restored file holds
  uint64_t audioRatio = 1024;
  uint64_t audioFloorBytes = uint64_t{64} << 20;
  uint64_t runRatio = 1100;
  uint64_t runFloorBytes = uint64_t{1} << 30;
};

// The output allowance of one run, shared by every entry written (or read)
// from the packs of the run. Entries count against it once written.
struct OutputBudget {
  ExpansionLimits limits;
  uint64_t packBytes = 0;  // the packs' size together
  uint64_t allowedBytes = UINT64_MAX;
  uint64_t usedBytes = 0;
};

// The budget of a run over packs of `packBytes` bytes together.
[[nodiscard]] OutputBudget MakeOutputBudget(const ExpansionLimits& limits, uint64_t packBytes);

// Whether the Audio entry `entry` (its stored description and packed size)
// keeps the limits of ExpansionLimits{}, which spoolex applies, as far as
// they can be told before the entry is restored; `why`, when given, names
// the limit it would pass. For writers: such an entry is better packed as
// an ordinary file.
[[nodiscard]] bool AudioEntryWithinLimits(const DirectoryEntry& entry, std::string* why = nullptr);

enum class PackAccess { kReadWrite, kReadOnly };

// ---- Reading -------------------------------------------------------------

// Opens the pack file at `path` (a Linux path) as a pack of `kind` and reads
// its directory. kReadWrite opens the file for reading and writing, as the
// extraction run does, so a pack that cannot be written is refused; the file
// is never written in read mode. Returns 0 and sets *pack, or -1, -2 or -3
// with *pack empty. `reason`, when given, receives one line saying why the
// open failed; it stays empty when the file does not exist.
[[nodiscard]] int OpenPack(const std::string& path, PackKind kind, PackPtr* pack, std::string* reason = nullptr,
                           PackAccess access = PackAccess::kReadWrite);

// Where ExtractEntry puts an entry's restored bytes. With neither a
// destination nor a stream nothing is written: the entry is only read,
// inflated or decoded and converted, as spoolpack verify does.
struct EntryOutput {
  // The entry's file is placed here under its name (see ExtractEntry); the
  // destination's options say whether missing folders are made and whether
  // files already there are kept.
  platform::Destination* destination = nullptr;
  // Or the entry's bytes go to this open file (standard output), and only
  // once the entry has been restored whole: a failed entry writes nothing.
  platform::File* stream = nullptr;
  // When set, called with the bytes of the entry's output written so far,
  // as they are written (an Audio entry's once, when it is complete).
  std::function<void(uint64_t bytes)> written;
  // The run's allowance, which the entry's output counts against; without
  // one only the per-entry limits of ExpansionLimits{} apply.
  OutputBudget* budget = nullptr;
};

// Writes the entry `entry` of `pack` to `output`. Under a destination its
// name, joined to destination->path() by JoinEntryPath and mapped for Linux,
// must stay inside (see NameStaysInside) and fit kMaxPathBytes; the file is
// placed by Destination::Create (never through a symbolic link, never over
// a file the destination protects) and appears under its name only when
// complete: a failed entry leaves no file and an existing file of that name
// untouched. An entry whose packed data does not match the pack's checksum
// of it (see PackChecksums) fails with -2 (an Audio entry with -4), before
// its file is in place.
// Returns 0 with *unpackedSize set to the length written
// (without an output: of the data read or inflated, 0 for an Audio entry),
// or a reader code with `reason` set to one line; without an output also -4
// when an audio stream delivers fewer samples than it announces. A Deflated
// entry that inflates whole to another size than its record says is
// written (its zlib stream vouches for the data), but the pack is then no
// longer safe to delete. REQUIRES: `entry` came from NextRecord on `pack`.
[[nodiscard]] int ExtractEntry(PackHandle& pack, const DirectoryEntry& entry, const EntryOutput& output,
                               uint32_t* unpackedSize, std::string* reason = nullptr);

// NextRecord, then ExtractEntry of that record under `destination`, counted
// against `budget` when given. The entry's name goes to *entryName as soon
// as its record is read, *packedSize to its packedSize. After any result the
// pack stands at the next record. REQUIRES: a pack opened for reading.
[[nodiscard]] int NextEntry(platform::Destination& destination, std::string* entryName, PackHandle& pack,
                            uint32_t* packedSize, uint32_t* unpackedSize, std::string* reason = nullptr,
                            OutputBudget* budget = nullptr);

// Whether the pack carries a checksum of every entry's packed data (the
// trailer after its directory, see pack_format.h): none (the directory ends
// the file), valid, or damaged (bytes after the directory that are no valid
// trailer: one cut short or altered, or bytes added). Entries of a pack
// without valid checksums are read unchecked, as from a pack written before
// checksums; one with a damaged trailer is not safe to delete. `why`, when
// given, says what is wrong with a damaged trailer.
enum class PackChecksums { kNone, kValid, kDamaged };
[[nodiscard]] PackChecksums ChecksumsOf(const PackHandle& pack, std::string* why = nullptr);

// Whether deleting the pack after its entries were handed out loses
// nothing: every record was handed out, the directory ends at the end of the
// file or is followed by nothing but a valid checksum trailer (so no record
// can hide beyond a damaged directory size or the end of a zlib stream), and
// every Deflated entry inflated to exactly its recorded unpackedSize. When
// not, `why` receives the reason. Files written from the pack are durable
// only when the destination was opened durable.
[[nodiscard]] bool PackSafeToDelete(const PackHandle& pack, std::string* why);

// Closes `pack` and deletes its file `path` (a Linux path) when
// PackSafeToDelete allows. Returns false, with `why` set, when the pack is
// kept. REQUIRES: the caller wrote every entry it handed out.
[[nodiscard]] bool ClosePackAndDelete(PackPtr pack, const std::string& path, std::string* why);

// The bytes of the packs of the set `pakname` that exist (as FindPackFile
// finds them) together, for the run's budget (see MakeOutputBudget).
[[nodiscard]] uint64_t PackSetBytes(const std::string& pakname);

// Makes `destination` refuse every file that would replace one of the packs
// of the set `pakname`, found as FindPackFile finds them, under any name
// (see Destination::Protect), and, for a pack found by its lower-case
// extension, a file of the upper-case name, which would be found in its
// place. REQUIRES: called before anything is written under `destination`,
// by a caller that opens the packs of the set before writing too, so that
// what it reads is what was protected.
void ProtectPackSet(platform::Destination& destination, const std::string& pakname);

// Reads the next directory record without touching its data. Returns 0,
// -3 for a record that runs past the end of the directory, or -5 at the end.
[[nodiscard]] int NextRecord(PackHandle& pack, DirectoryEntry* entry, std::string* reason = nullptr);

// Makes NextRecord start again at the first record.
void RewindDirectory(PackHandle& pack);

// Finishes the pack when it is in write mode (see FinishPack), closes the
// file, unloads every codec library and releases the handle. Null is ignored.
void ClosePack(PackPtr pack);

// ---- Output paths ----------------------------------------------------------

// Joins an entry name to a destination, both backslash-separated: an empty
// name gives the destination; otherwise one leading backslash of the name is
// dropped, an empty destination gives the name, a destination ending with a
// backslash gets the name appended, any other gets a backslash and the name.
[[nodiscard]] std::string JoinEntryPath(std::string_view destination, std::string_view name);

// True when a file named `name` stays inside the destination: after the one
// leading backslash that joining drops, the name (with '\\' and '/' as
// separators) has a file name as its last part, no ".." part and no zero
// byte. A separator still at its start collapses into the one that joining
// puts after the destination; under an empty destination it would make the
// joined path absolute, so there such a name is refused.
[[nodiscard]] bool NameStaysInside(std::string_view name, bool emptyDestination = false);

// An entry name as the path its file gets under a destination: one leading
// backslash dropped (as joining does), '/' as the separator. spoolpack shows
// and matches names in this form.
[[nodiscard]] std::string EntryPathUnderDestination(std::string_view name);

// The path of the `kind` pack of the set `pakname`: pakname followed by the
// kind's extension, or, when no such file exists but one with the extension
// in lower case (".upak") does, that one.
[[nodiscard]] std::string FindPackFile(const std::string& pakname, PackKind kind);

// `text` for a terminal: control characters become '?', so a name cannot
// move the cursor, change the terminal's state or reorder what is shown:
// bytes below 0x20 and 0x7F, the C1 controls (U+0080 to U+009F in UTF-8,
// and the bytes 0x80 to 0x9F where they are not part of a UTF-8 sequence)
// and the bidirectional embeddings, overrides and isolates (U+202A to
// U+202E, U+2066 to U+2069), one '?' per character. Everything else, other
// bytes that are not UTF-8 among it, stays as it is.
[[nodiscard]] std::string PrintableName(std::string_view text);

// The length in bytes of the UTF-8 character at the start of `text`, with
// its code point in *codePoint, or 0 when `text` does not start with one (a
// stray continuation byte, a cut sequence, an overlong form, a surrogate, a
// value past U+10FFFF, or nothing).
[[nodiscard]] size_t DecodeUtf8(std::string_view text, uint32_t* codePoint);

// Whether the code point `c` is one PrintableName shows as '?': a control
// or a character that reorders the text shown after it.
[[nodiscard]] bool IsUnprintable(uint32_t c);

// ---- Writing ---------------------------------------------------------------

enum class PackWriteResult {
  kOk,
  kNotSmaller,     // the deflated data reached its limit and was taken back
  kBadName,        // empty, longer than kMaxNameBytes, or holding a zero byte
  kTooLarge,       // the pack would pass its size limit (4 GiB)
  kReadFailed,     // the source could not be read
  kWriteFailed,    // the pack file could not be created or written
  kNoMemory,       // memory or a zlib stream could not be had
  kNotWritable,    // the pack is not in write mode, or an earlier step failed
};

// A one-line description of a write result.
[[nodiscard]] const char* WriteResultMessage(PackWriteResult result);

// Creates the pack file `path` (replacing a file of that name) in write mode:
// the header carries the kind's magic and the unfinished marker until the
// pack is finished. `sizeLimit` is the largest file the pack may become.
[[nodiscard]] PackWriteResult CreatePack(const std::string& path, PackKind kind, PackPtr* pack,
                                         uint64_t sizeLimit = kMaxPackBytes);

// Creates a pack of `kind` in write mode in `file`, an open file that the
// caller created (for example under a temporary name), emptied first; the
// handle owns the file from now on. Otherwise as above.
[[nodiscard]] PackWriteResult CreatePack(platform::File file, PackKind kind, PackPtr* pack,
                                         uint64_t sizeLimit = kMaxPackBytes);

// Copies `source` from its current position to its end as a Stored entry.
// REQUIRES: a Stored pack in write mode. Any failure but kBadName leaves the
// pack unable to finish (its marker stays).
[[nodiscard]] PackWriteResult AppendStoredEntry(PackHandle& pack, const std::string& name, platform::File& source);

// Deflates `source` from its current position to its end at zlib level 6 as a
// Deflated entry: one zlib stream, made of independently deflated 1 MiB
// blocks when the source is longer than one (up to `threads` of them at
// once; the bytes are the same for any `threads`). When the deflated stream
// would reach `packedLimit` bytes the data written so far is taken back and
// kNotSmaller returned, the pack unchanged and `source` read part way.
// REQUIRES: a Deflated pack in write mode. Other failures but kBadName
// leave the pack unable to finish.
[[nodiscard]] PackWriteResult AppendDeflatedEntry(PackHandle& pack, const std::string& name, platform::File& source,
                                                  uint64_t packedLimit = UINT64_MAX, int threads = 1);

// Copies the entry `entry` of `from`, a pack of the same kind opened for
// reading (a pack written elsewhere, for example by another process), to
// the end of `pack`: its packed data unchanged and its record with the new
// offset, as though it had been appended here. REQUIRES: `entry` came from
// NextRecord on `from`; `pack` in write mode. Failures but kBadName and
// kNotWritable leave the pack unable to finish.
[[nodiscard]] PackWriteResult AppendEntryFrom(PackHandle& pack, PackHandle& from, const DirectoryEntry& entry);

// Entries added so far, and the bytes of their data in the pack.
[[nodiscard]] size_t EntryCount(const PackHandle& pack);
[[nodiscard]] uint64_t EntryDataBytes(const PackHandle& pack);

// Writes the directory after the data and the checksum trailer after it
// (see pack_format.h), then the header's directoryOffset and directorySize,
// and closes the file. On failure the header keeps the
// unfinished marker. Afterwards the pack is no longer in write mode.
[[nodiscard]] PackWriteResult FinishPack(PackHandle& pack);

// Closes a pack without finishing it: a pack in write mode keeps its marker
// (as when a PackPtr goes away).
void AbandonPack(PackPtr pack);
