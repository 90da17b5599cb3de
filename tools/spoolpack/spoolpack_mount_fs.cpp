// SPDX-License-Identifier: GPL-2.0-or-later
// The file system of spoolpack mount (see spoolpack_mount_fs.h).
#include "tools/spoolpack/spoolpack_mount_fs.h"

#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>

#include "pack/restored_size.h"
#include "tools/spoolpack/spoolpack_common.h"

namespace {

// Nothing in the tree ever changes: the kernel may keep names and
// attributes as long as it likes, in seconds.
constexpr double kForever = 86400.0;
// The largest read the kernel asks for is far below this; a larger one is
// served in part, in bytes.
constexpr size_t kMaxReadBytes = size_t{4} << 20;
// The most one request asks for, in bytes (see Init).
constexpr unsigned kLargestRead = 512 * 1024;

MountState& StateOf(fuse_req_t req) { return *static_cast<MountState*>(fuse_req_userdata(req)); }

MountNode* NodeOf(MountState& state, fuse_ino_t ino) {
  return ino >= 1 && ino <= state.nodes.size() ? &state.nodes[ino - 1] : nullptr;
}

// Marks entry `index` failed for good, saying why once when asked to.
int Failed(MountState& state, size_t index, const std::string& reason, int code) {
  MountFile& file = state.files[index];
  if (file.failure.empty()) {
    file.failure = reason.empty() ? "failed" : reason;
    if (state.tell) {
      const SetEntry& entry = SetEntries(*state.set)[index];
      Complain(entry.pack + ": entry \"" + entry.path + "\": " + file.failure + " (" + std::to_string(code) + ")");
    }
  }
  return EIO;
}

// The size of entry `index`, restoring an Audio entry whose size its
// description does not give. Returns 0 or an errno value.
int SizeOf(MountState& state, size_t index, int64_t* size) {
  MountFile& file = state.files[index];
  if (!file.failure.empty()) return EIO;
  if (file.size < 0) {
    const SetEntry& entry = SetEntries(*state.set)[index];
    if (entry.kind == PackKind::kStored) {
      file.size = entry.record.packedSize;
    } else if (entry.kind == PackKind::kDeflated) {
      file.size = entry.record.unpackedSize;
    } else if (const std::optional<RestoredSize> known = RestoredSizeOf(entry.record.info); known && known->exactBytes) {
      file.size = static_cast<int64_t>(*known->exactBytes);
    } else {
      CachedFile* cached = nullptr;
      std::string reason;
      const int rc = CachedAudio(*state.cache, *state.set, index, -1, &cached, &reason);
      if (rc != kPackOk) return Failed(state, index, reason, rc);
      // Kept for the open that usually follows; the next open or release trims.
      file.size = static_cast<int64_t>(cached->size);
    }
  }
  *size = file.size;
  return 0;
}

// The attributes of node `ino`. Returns 0 or an errno value.
int Attributes(MountState& state, fuse_ino_t ino, struct stat* st) {
  const MountNode* node = NodeOf(state, ino);
  if (node == nullptr) return ENOENT;
  *st = {};
  st->st_ino = ino;
  st->st_uid = state.uid;
  st->st_gid = state.gid;
  st->st_blksize = 65536;
  if (node->folder) {
    st->st_mode = S_IFDIR | 0555;
    st->st_nlink = 2 + node->subfolders;
    st->st_atim = st->st_mtim = st->st_ctim = state.newest;
    return 0;
  }
  int64_t size = 0;
  if (const int error = SizeOf(state, node->entry, &size); error != 0) return error;
  st->st_mode = S_IFREG | 0444;
  st->st_nlink = 1;
  st->st_size = size;
  st->st_blocks = (size + 511) / 512;
  st->st_atim = st->st_mtim = st->st_ctim = state.times[static_cast<size_t>(SetEntries(*state.set)[node->entry].kind)];
  return 0;
}

void Lookup(fuse_req_t req, fuse_ino_t parent, const char* name) {
  MountState& state = StateOf(req);
  const MountNode* folder = NodeOf(state, parent);
  if (folder == nullptr || !folder->folder) return (void)fuse_reply_err(req, ENOTDIR);
  const auto it = folder->children.find(name);
  if (it == folder->children.end()) return (void)fuse_reply_err(req, ENOENT);
  fuse_entry_param entry{};
  entry.ino = it->second;
  entry.attr_timeout = entry.entry_timeout = kForever;
  if (const int error = Attributes(state, it->second, &entry.attr); error != 0) return (void)fuse_reply_err(req, error);
  fuse_reply_entry(req, &entry);
}

void GetAttributes(fuse_req_t req, fuse_ino_t ino, fuse_file_info*) {
  struct stat st;
  if (const int error = Attributes(StateOf(req), ino, &st); error != 0) return (void)fuse_reply_err(req, error);
  fuse_reply_attr(req, &st, kForever);
}

void ReadFolder(fuse_req_t req, fuse_ino_t ino, size_t size, off_t offset, fuse_file_info*) {
  MountState& state = StateOf(req);
  const MountNode* node = NodeOf(state, ino);
  if (node == nullptr || !node->folder) return (void)fuse_reply_err(req, ENOTDIR);
  std::vector<char> buffer(std::min(size, kMaxReadBytes));
  size_t used = 0;
  // Offsets: 0 ".", 1 "..", then the children in name order.
  auto child = node->children.begin();
  std::advance(child, std::min<size_t>(std::max<off_t>(offset - 2, 0), node->children.size()));
  for (off_t at = offset; at < off_t(node->children.size()) + 2; ++at) {
    struct stat st = {};
    std::string name;
    if (at < 2) {
      name = at == 0 ? "." : "..";
      st.st_ino = at == 0 ? ino : node->parent;
      st.st_mode = S_IFDIR;
    } else {
      name = child->first;
      st.st_ino = child->second;
      st.st_mode = state.nodes[child->second - 1].folder ? S_IFDIR : S_IFREG;
    }
    const size_t need = fuse_add_direntry(req, buffer.data() + used, buffer.size() - used, name.c_str(), &st, at + 1);
    if (need > buffer.size() - used) break;
    used += need;
    if (at >= 2) ++child;
  }
  fuse_reply_buf(req, buffer.data(), used);
}

void Open(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
  MountState& state = StateOf(req);
  const MountNode* node = NodeOf(state, ino);
  if (node == nullptr) return (void)fuse_reply_err(req, ENOENT);
  if (node->folder) return (void)fuse_reply_err(req, EISDIR);
  if ((fi->flags & O_ACCMODE) != O_RDONLY || (fi->flags & O_TRUNC) != 0) return (void)fuse_reply_err(req, EROFS);
  const size_t index = node->entry;
  MountFile& file = state.files[index];
  if (!file.failure.empty()) return (void)fuse_reply_err(req, EIO);
  const SetEntry& entry = SetEntries(*state.set)[index];
  fi->fh = index;
  if (entry.kind == PackKind::kAudio) {
    int64_t size = 0;
    if (const int error = SizeOf(state, index, &size); error != 0) return (void)fuse_reply_err(req, error);
    CachedFile* cached = nullptr;
    std::string reason;
    const int rc = CachedAudio(*state.cache, *state.set, index, size, &cached, &reason);
    if (rc != kPackOk) return (void)fuse_reply_err(req, Failed(state, index, reason, rc));
    cached->opens += 1;
    TrimAudioCache(*state.cache);
    // A file restored again after it left the cache gets its pages afresh.
    fi->keep_cache = 0;
  } else {
    std::string reason;
    if (!file.ready) {
      const int rc = PrepareSetEntry(*state.set, index, &reason);
      if (rc != kPackOk) return (void)fuse_reply_err(req, Failed(state, index, reason, rc));
      file.ready = true;
    }
    fi->keep_cache = 1;
    // A Stored entry's reads go to this process whole, in requests of up to
    // kLargestRead bytes, rather than through the kernel's cache of the
    // mount in read-ahead requests of 128 KiB, four times as many, each
    // copied once more into that cache: a first read nears the speed of
    // reading the pack. Such a file maps privately only (MAP_SHARED fails
    // with ENODEV: this libfuse cannot ask the kernel for shared maps of
    // it), and the pack's pages are what the kernel keeps.
    if (entry.kind == PackKind::kStored) fi->direct_io = 1;
  }
  fuse_reply_open(req, fi);
}

// Replies with `size` bytes of `file` at `offset`, spliced from the file
// into the kernel's buffer where the kernel allows (FUSE_CAP_SPLICE_WRITE),
// copied otherwise; libfuse replies with the error when the read fails.
void ReplyFromFile(fuse_req_t req, platform::File& file, uint64_t offset, size_t size) {
  fuse_bufvec data = FUSE_BUFVEC_INIT(size);
  data.buf[0].flags = static_cast<fuse_buf_flags>(FUSE_BUF_IS_FD | FUSE_BUF_FD_SEEK);
  data.buf[0].fd = file.Descriptor();
  data.buf[0].pos = static_cast<off_t>(offset);
  fuse_reply_data(req, &data, FUSE_BUF_SPLICE_MOVE);
}

void Read(fuse_req_t req, fuse_ino_t, size_t size, off_t offset, fuse_file_info* fi) {
  MountState& state = StateOf(req);
  const size_t index = fi->fh;
  if (index >= state.files.size() || offset < 0) return (void)fuse_reply_err(req, EINVAL);
  if (!state.files[index].failure.empty()) return (void)fuse_reply_err(req, EIO);
  size = std::min(size, kMaxReadBytes);
  const SetEntry& entry = SetEntries(*state.set)[index];
  const uint64_t at = static_cast<uint64_t>(offset);
  if (entry.kind == PackKind::kAudio) {
    const auto it = state.cache->files.find(index);
    if (it == state.cache->files.end()) return (void)fuse_reply_err(req, EIO);  // held while open
    const uint64_t length = it->second.size;
    return ReplyFromFile(req, it->second.file, at, at < length ? size_t(std::min<uint64_t>(size, length - at)) : 0);
  }
  if (entry.kind == PackKind::kStored) {
    const uint64_t length = entry.record.packedSize;
    uint64_t data = 0;
    platform::File& pack = StoredEntryFile(*state.set, index, &data);
    return ReplyFromFile(req, pack, data + at, at < length ? size_t(std::min<uint64_t>(size, length - at)) : 0);
  }
  state.buffer.resize(std::max(state.buffer.size(), size));
  size_t got = 0;
  std::string reason;
  const int rc = ReadSetEntry(*state.set, index, at, state.buffer.data(), size, &got, &reason);
  if (rc != kPackOk) return (void)fuse_reply_err(req, Failed(state, index, reason, rc));
  fuse_reply_buf(req, reinterpret_cast<const char*>(state.buffer.data()), got);
}

void Release(fuse_req_t req, fuse_ino_t, fuse_file_info* fi) {
  MountState& state = StateOf(req);
  const auto it = state.cache->files.find(fi->fh);
  if (it != state.cache->files.end() && it->second.opens > 0) it->second.opens -= 1;
  TrimAudioCache(*state.cache);
  fuse_reply_err(req, 0);
}

void FileSystemStatus(fuse_req_t req, fuse_ino_t) {
  MountState& state = StateOf(req);
  struct statvfs st = {};
  st.f_bsize = st.f_frsize = 4096;
  uint64_t bytes = 0;
  for (const MountFile& file : state.files) bytes += uint64_t(std::max<int64_t>(file.size, 0));
  st.f_blocks = (bytes + 4095) / 4096;
  st.f_files = state.nodes.size();
  st.f_namemax = 255;
  st.f_flag = ST_RDONLY;
  fuse_reply_statfs(req, &st);
}

// Every change is refused.
void RefuseNode(fuse_req_t req, fuse_ino_t, const char*, mode_t) { fuse_reply_err(req, EROFS); }
void RefuseName(fuse_req_t req, fuse_ino_t, const char*) { fuse_reply_err(req, EROFS); }

// Asks the kernel for spliced replies: file pages reach it without being
// copied through this process. Reads of Stored entries bypass the kernel's
// cache of the mount (see Open) and come as asked, up to kLargestRead bytes
// a request: libfuse splices a reply only when it fits its pipe, which the
// system lets grow to 1 MiB by default, and copies it through a buffer it
// allocates for each reply otherwise.
void Init(void*, fuse_conn_info* conn) {
  conn->want |= conn->capable & (FUSE_CAP_SPLICE_WRITE | FUSE_CAP_SPLICE_MOVE);
  // Requests are at most max_write bytes, reads too (nothing is written).
  conn->max_write = std::min<unsigned>(conn->max_write, kLargestRead);
}

fuse_lowlevel_ops MakeOperations() {
  fuse_lowlevel_ops ops = {};
  ops.init = Init;
  ops.lookup = Lookup;
  ops.getattr = GetAttributes;
  ops.readdir = ReadFolder;
  ops.open = Open;
  ops.read = Read;
  ops.release = Release;
  ops.statfs = FileSystemStatus;
  ops.mkdir = RefuseNode;
  ops.unlink = RefuseName;
  ops.rmdir = RefuseName;
  ops.setattr = [](fuse_req_t req, fuse_ino_t, struct stat*, int, fuse_file_info*) { fuse_reply_err(req, EROFS); };
  ops.mknod = [](fuse_req_t req, fuse_ino_t, const char*, mode_t, dev_t) { fuse_reply_err(req, EROFS); };
  ops.symlink = [](fuse_req_t req, const char*, fuse_ino_t, const char*) { fuse_reply_err(req, EROFS); };
  ops.rename = [](fuse_req_t req, fuse_ino_t, const char*, fuse_ino_t, const char*, unsigned int) {
    fuse_reply_err(req, EROFS);
  };
  ops.link = [](fuse_req_t req, fuse_ino_t, fuse_ino_t, const char*) { fuse_reply_err(req, EROFS); };
  ops.write = [](fuse_req_t req, fuse_ino_t, const char*, size_t, off_t, fuse_file_info*) {
    fuse_reply_err(req, EROFS);
  };
  ops.create = [](fuse_req_t req, fuse_ino_t, const char*, mode_t, fuse_file_info*) { fuse_reply_err(req, EROFS); };
  ops.setxattr = [](fuse_req_t req, fuse_ino_t, const char*, const char*, size_t, int) { fuse_reply_err(req, EROFS); };
  ops.removexattr = [](fuse_req_t req, fuse_ino_t, const char*) { fuse_reply_err(req, EROFS); };
  ops.fallocate = [](fuse_req_t req, fuse_ino_t, int, off_t, off_t, fuse_file_info*) { fuse_reply_err(req, EROFS); };
  return ops;
}

}  // namespace

void BuildMountTree(PackSet& set, MountState* state) {
  const std::vector<SetEntry>& entries = SetEntries(set);
  state->set = &set;
  state->nodes.assign(1, MountNode{});
  state->files.assign(entries.size(), MountFile{});
  for (size_t index = 0; index < entries.size(); ++index) {
    const std::string& path = entries[index].path;
    fuse_ino_t folder = FUSE_ROOT_ID;
    for (size_t start = 0;;) {
      const size_t slash = path.find('/', start);
      const std::string part = path.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
      const bool last = slash == std::string::npos;
      auto& children = state->nodes[folder - 1].children;
      auto it = children.find(part);
      if (it == children.end()) {
        MountNode node;
        node.parent = folder;
        node.folder = !last;
        node.entry = index;
        state->nodes.push_back(std::move(node));
        it = state->nodes[folder - 1].children.emplace(part, state->nodes.size()).first;
        if (!last) state->nodes[folder - 1].subfolders += 1;
      }
      if (last) break;
      folder = it->second;
      start = slash + 1;
    }
  }
  for (PackKind kind : kPackKindsInRunOrder) {
    struct stat st;
    for (const SetEntry& entry : entries) {
      if (entry.kind != kind || ::stat(entry.pack.c_str(), &st) != 0) continue;
      state->times[static_cast<size_t>(kind)] = st.st_mtim;
      if (st.st_mtim.tv_sec > state->newest.tv_sec) state->newest = st.st_mtim;
      break;
    }
  }
}

const fuse_lowlevel_ops& MountOperations() {
  static const fuse_lowlevel_ops ops = MakeOperations();
  return ops;
}
