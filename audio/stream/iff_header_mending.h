// SPDX-License-Identifier: GPL-2.0-or-later
// The frame counts of IFF headers (AIFF, 8SVX) as libsndfile 1.2 leaves them,
// mended to what the samples are.
#pragma once

#include "audio/stream/stream_module.h"

// libsndfile 1.2 writes an 8-bit mono AIFF file of an odd frame count with
// the pad byte counted as one more frame (in COMM and in SSND's size), and
// an 8SVX file of an odd body without its pad byte. Rewrites the header of
// a stream written as AIFF or 8SVX, once libsndfile closed it, so that it
// declares exactly the stream.current frames written, with the data chunk's
// pad byte in place; other formats are left alone. Returns false when the
// file refuses (stream.systemError then holds errno).
[[nodiscard]] bool MendIffHeader(AudioStream& stream);

// libsndfile 1.2 counts the pad byte of an odd 8SVX body as one more frame
// when it reads: for an 8SVX stream opened for reading, the body's size
// bounds stream.info.samples. Other formats are left alone.
void BoundSvxFrames(AudioStream& stream);
