# SPDX-License-Identifier: GPL-2.0-or-later
"""What both golden scripts (golden.py, ../audio_entries/golden_aac_vqf.py)
share: the format codes, an Audio pack's bytes both ways, and the sums."""
import hashlib
import struct
import zlib

# Format codes: major (container) | minor (encoding).
WAV, AIFF, AU, AU_LE, RAW, PAF, SVX, NIST, IRCAM = (
    0x10000, 0x20000, 0x30000, 0x40000, 0x50000, 0x60000, 0x70000, 0x80000, 0xE0000)
VQF, OGG, MP4 = 0x200000, 0x300000, 0x400000
PCM, FLOAT, ULAW, ALAW, IMA, MSADPCM, PCM_BE, PCM_LE, S8, U8 = 1, 2, 3, 4, 5, 6, 7, 8, 9, 10
GSM, G721, G723 = 13, 14, 15

# A directory record: name length (2 bytes), name, offset, packed size and
# stream format (4 bytes each), then the stored description.
INFO_BYTES = 46


def audio_info(rate, bits, channels, frames, fmt, bitrate=0, option=0, quality=-1.0):
    """A stored description's 46 bytes."""
    return struct.pack("<10IfH", rate, bits, channels, frames, fmt, 1, 1, bitrate, 0, 0, quality, option)


def write_pack(path, entries):
    """An Audio pack of (name, packed stream, stream format, stored info)."""
    data, records = bytearray(16), bytearray()
    for name, stream, fmt, stored in entries:
        raw = name.encode()
        records += struct.pack("<H", len(raw)) + raw + struct.pack("<III", len(data), len(stream), fmt) + stored
        data += stream
    directory = len(data)
    data += zlib.compress(bytes(records), 9)
    data[:16] = b"KERVMAXA" + struct.pack("<II", directory, len(records))
    with open(path, "wb") as f:
        f.write(data)


def read_pack(path):
    """The entries of an Audio pack: name -> (packed stream, stored info)."""
    with open(path, "rb") as f:
        data = f.read()
    directory, size = struct.unpack_from("<II", data, 8)
    records, at, entries = zlib.decompress(data[directory:]), 0, {}
    while at < size:
        (length,) = struct.unpack_from("<H", records, at)
        name = records[at + 2:at + 2 + length].decode()
        offset, packed = struct.unpack_from("<II", records, at + 2 + length)
        start = at + 2 + length + 12
        entries[name] = (data[offset:offset + packed], records[start:start + INFO_BYTES])
        at = start + INFO_BYTES
    return entries


def sha(data):
    return hashlib.sha256(data).hexdigest()


def without_trailer(data):
    """A pack's bytes without the checksum trailer that ends packs of this
    writer, so that their sums compare with those of packs made before it."""
    if len(data) >= 20 and data[-8:] == b"KERVSUMS":
        count = struct.unpack("<I", data[-20:-16])[0]
        size = 4 * count + 20
        if size <= len(data):
            return data[:-size]
    return data
