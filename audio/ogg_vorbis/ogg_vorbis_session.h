// SPDX-License-Identifier: GPL-2.0-or-later
// What the Ogg Vorbis reader and writer share: the libogg and libvorbis
// records of one stream, and the window of the file a reader takes.
#pragma once

#include <cstdint>

#include "audio/codec_libraries/codec_libraries.h"
#include "audio/stream/stream_module.h"

// Everything libogg and libvorbis keep while one stream is decoded or
// encoded. Whatever was initialised is cleared on every path, in the order
// stream, block, DSP state, comment, info, sync state.
struct VorbisSession {
  ogg_sync_state sync{};
  ogg_stream_state stream{};
  ogg_page page{};
  ogg_packet packet{};
  vorbis_info info{};
  vorbis_comment comment{};
  vorbis_dsp_state dsp{};
  vorbis_block block{};
  bool syncReady = false;
  bool streamReady = false;
  bool infoReady = false;
  bool commentReady = false;
  bool dspReady = false;
  bool blockReady = false;

  VorbisSession() = default;
  VorbisSession(const VorbisSession&) = delete;
  VorbisSession& operator=(const VorbisSession&) = delete;
  ~VorbisSession() {
    if (streamReady) codec::ogg_stream_clear(&stream);
    if (blockReady) codec::vorbis_block_clear(&block);
    if (dspReady) codec::vorbis_dsp_clear(&dsp);
    if (commentReady) codec::vorbis_comment_clear(&comment);
    if (infoReady) codec::vorbis_info_clear(&info);
    if (syncReady) codec::ogg_sync_clear(&sync);
  }
};
