#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""What the AAC and VQF paths of a build give, as SHA-256 sums, against a
fixture of the sums an earlier build gave for the same inputs.

    golden_aac_vqf.py generate BUILD FIXTURE    writes FIXTURE from BUILD
    golden_aac_vqf.py check BUILD FIXTURE GROUP  exit 1 when GROUP differs

Every input is made here from integer-only synthesis: AAC streams by ffmpeg
(ADTS in both profiles, and the same frames as raw, ADIF and behind an ID3
tag), VQF streams by BUILD's spoolpack at every mode. The packs are laid out
here byte by byte, so that one packed stream can stand under many stored
descriptions (other rates, channels, widths, containers, AAC and VQF
outputs, lengths shorter and longer than the stream's). Groups:
  aac     AAC packed streams restored by spoolex
  vqf-mono, vqf-stereo  VQF packed streams restored by spoolex
  aac-long  one AAC stream longer than the reads and windows of decoding
  create-aac, create-vqf  spoolpack create --audio aac[:K] and vqf[:K] of
          WAV sources, verify, restore
  create-from-vqf  the same of VQF sources, and their keep and pcm trials
A result is a restored file, a pack, or a program's output and status. The
sums hold for the Debian packages of scripts/setup (faad2, libavcodec,
ffmpeg); regenerate the fixture from the same build when those change.
"""
import operator
import os
import struct
import subprocess
import sys
import tempfile
import wave

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "golden"))
from golden_packs import AIFF as FMT_AIFF, MP4 as FMT_MP4, PCM as FMT_PCM, VQF as FMT_VQF, WAV as FMT_WAV  # noqa: E402
from golden_packs import audio_info as info, read_pack, sha, without_trailer, write_pack  # noqa: E402


def signal(rate, channels, frames, seed=1):
    """Interleaved 16-bit samples: two triangle waves per channel (the second
    channel's a fifth higher), soft noise from a linear congruential
    generator, and a burst of louder noise two thirds in, so that coders
    switch blocks. Built a period at a time: a whole list per step."""
    state, noise = seed, []
    for _ in range(4099):
        state = (state * 1103515245 + 12345) & 0x7FFFFFFF
        noise.append((state >> 16) % 801 - 400)
    out = [0] * (frames * channels)
    burst = (frames * 2 // 3, frames * 2 // 3 + rate // 50)
    for c in range(channels):
        shifted = noise[c * 997:] + noise[:c * 997]
        channel = (shifted * (frames // len(noise) + 1))[:frames]
        channel[burst[0]:burst[1]] = [31 * v for v in channel[burst[0]:burst[1]]]
        for period, level in ((rate // (220 + 110 * c), 9000), (rate // (1250 + 625 * c), 3000)):
            table = [level * (4 * min(k, period - k) - period) // period for k in range(period)]
            channel = list(map(operator.add, channel, (table * (frames // period + 1))[:frames]))
        out[c::channels] = channel
    return out


def write_wav(path, rate, channels, samples, width=2):
    with wave.open(path, "wb") as w:
        w.setnchannels(channels)
        w.setsampwidth(width)
        w.setframerate(rate)
        if width == 2:
            w.writeframes(struct.pack("<%dh" % len(samples), *samples))
        elif width == 1:
            w.writeframes(bytes((s >> 8) + 128 for s in samples))
        else:
            w.writeframes(b"".join(struct.pack("<i", s << 8)[:3] for s in samples))


def ffmpeg_adts(work, forms, seconds, repeats=1):
    """ADTS streams of the signal (`repeats` times its first 1 / repeats),
    by one ffmpeg run: for each (name, rate, channels, kbit/s, profile) the
    stream and its frames."""
    args, made = ["ffmpeg", "-v", "error", "-y", "-threads", "1"], []
    for name, rate, channels, _, _ in forms:
        samples = signal(rate, channels, int(rate * seconds / repeats), seed=rate + channels) * repeats
        raw = os.path.join(work, name + ".raw")
        with open(raw, "wb") as f:
            f.write(struct.pack("<%dh" % len(samples), *samples))
        args += ["-f", "s16le", "-ar", str(rate), "-ac", str(channels), "-i", raw]
        made.append(len(samples) // channels)
    for i, (name, _, _, kbps, profile) in enumerate(forms):
        args += ["-map", str(i), "-c:a", "aac", "-profile:a", profile, "-b:a", "%dk" % kbps, "-fflags", "+bitexact",
                 "-flags", "+bitexact", "-f", "adts", os.path.join(work, name + ".aac")]
    subprocess.run(args, check=True)
    streams = {}
    for (name, rate, channels, _, _), frames in zip(forms, made):
        with open(os.path.join(work, name + ".aac"), "rb") as f:
            streams[name] = (f.read(), rate, channels, frames)
    return streams


def strip_adts(data):
    """The raw data blocks of an ADTS stream without CRCs, back to back."""
    raw, at = bytearray(), 0
    while len(data) - at >= 7 and data[at] == 0xFF and data[at + 1] & 0xF6 == 0xF0:
        length = (data[at + 3] & 3) << 11 | data[at + 4] << 3 | data[at + 5] >> 5
        raw += data[at + 7:at + length]
        at += length
    return bytes(raw)


def adif_header(variable, bitrate, index, channels):
    """An ADIF header with one program configuration whose one front element
    is a single channel or a pair, no copyright id and no comment."""
    bits = []

    def put(value, width):
        bits.extend((value >> b) & 1 for b in range(width - 1, -1, -1))

    put(0, 1)
    put(1 if variable else 0, 3)  # original, home, bitstream type
    put(bitrate, 23)
    put(0, 4)  # one program configuration
    if not variable:
        put(0xFFFFF, 20)
    put(1, 6)  # element tag 0, object type low complexity
    put(index, 4)
    put(1, 4)  # one front element
    put(0, 20)  # no other elements, no mixdowns
    put(0x10 if channels == 2 else 0, 5)
    put(0, -len(bits) % 8)
    put(0, 8)  # comment bytes
    return b"ADIF" + bytes(int("".join(map(str, bits[i:i + 8])), 2) for i in range(0, len(bits), 8))


class Run:
    def __init__(self, build, work):
        self.build, self.work, self.results = build, work, []

    def program(self, key, args):
        """Runs one of BUILD's programs; its output and status are results."""
        done = subprocess.run(args, capture_output=True)
        if os.environ.get("GOLDEN_SHOW"):
            sys.stderr.write("%s: %d\n%s" % (key, done.returncode, done.stderr.decode(errors="replace")))
        shown = lambda text: text.replace(self.work.encode(), b"$WORK")
        self.results.append((key + ".out", sha(shown(done.stdout) + b"\0" + shown(done.stderr))))
        self.results.append((key + ".status", str(done.returncode)))

    def files(self, key, folder):
        for root, _, names in sorted(os.walk(folder)):
            for name in sorted(names):
                with open(os.path.join(root, name), "rb") as f:
                    rel = os.path.relpath(os.path.join(root, name), folder)
                    self.results.append((key + "/" + rel, sha(f.read())))

    def restore(self, key, entries):
        pak = os.path.join(self.work, key)
        write_pack(pak + ".APAK", entries)
        self.unpack(key, pak)

    def unpack(self, key, pak):
        dest = os.path.join(self.work, key + ".dest")
        os.mkdir(dest)
        self.program(key + ".spoolex", [self.build + "/driver/spoolex", pak, dest])
        self.files(key, dest)


def stored_variants(name, stream, fmt, rate, channels, frames):
    """The stored descriptions one packed stream is restored under."""
    wav = FMT_WAV | FMT_PCM
    return [(name + ".same.wav", stream, fmt, info(rate, 16, channels, frames, wav)),
            (name + ".longer.wav", stream, fmt, info(rate, 16, channels, frames + rate // 2, wav)),
            (name + ".shorter.wav", stream, fmt, info(rate, 8, channels, frames // 3, wav)),
            (name + ".other.aiff", stream, fmt, info(rate * 3 // 4, 24, 2 if channels == 1 else 1,
                                                     frames * 3 // 4, FMT_AIFF | FMT_PCM))]


def group_aac(run):
    entries = []
    forms = [("lc-8000-1", 8000, 1, 16, "aac_low"), ("lc-11025-2", 11025, 2, 32, "aac_low"),
             ("lc-12000-1", 12000, 1, 24, "aac_low"), ("lc-16000-1", 16000, 1, 24, "aac_low"),
             ("lc-22050-2", 22050, 2, 64, "aac_low"), ("lc-24000-2", 24000, 2, 64, "aac_low"),
             ("lc-32000-1", 32000, 1, 48, "aac_low"), ("lc-44100-1", 44100, 1, 64, "aac_low"),
             ("lc-44100-2", 44100, 2, 128, "aac_low"),
             ("lc-48000-6", 48000, 6, 256, "aac_low"), ("lc-64000-2", 64000, 2, 128, "aac_low"),
             ("lc-88200-1", 88200, 1, 96, "aac_low"),
             ("lc-96000-2", 96000, 2, 160, "aac_low"), ("main-44100-1", 44100, 1, 64, "aac_main"),
             ("main-22050-2", 22050, 2, 64, "aac_main")]
    streams = ffmpeg_adts(run.work, forms, 0.7)
    for name, (stream, rate, channels, frames) in sorted(streams.items()):
        entries += stored_variants("adts-" + name, stream, FMT_MP4, rate, channels, frames)
    stream, rate, channels, frames = streams["lc-44100-2"]
    tag = b"ID3\x03\x00\x00\x00\x00\x07\x68" + bytes(1000)
    raw = strip_adts(stream)
    mono, _, _, monoFrames = streams["lc-44100-1"]
    for name, form, stored_channels, stored_frames in (
            ("id3", tag + stream, 2, frames), ("raw", raw, 2, frames),
            ("adif-variable", adif_header(True, 128000, 4, 2) + raw, 2, frames),
            ("adif-constant", adif_header(False, 64000, 4, 1) + strip_adts(mono), 1, monoFrames)):
        entries += stored_variants(name, form, FMT_MP4, 44100, stored_channels, stored_frames)
    # Codec outputs: AAC in both profiles and VQF at another rate.
    main, six = streams["main-44100-1"][0], streams["lc-48000-6"][0]
    entries += [("to-aac-lc.aac", stream, FMT_MP4, info(44100, 16, 2, frames, FMT_MP4, 48000, 1)),
                ("to-aac-main.aac", main, FMT_MP4, info(32000, 16, 1, monoFrames * 32 // 44, FMT_MP4, 40000, 0)),
                ("to-vqf.vqf", stream, FMT_MP4, info(22050, 16, 1, frames // 2, FMT_VQF, 24000, 0)),
                ("six-to-two.wav", six, FMT_MP4, info(48000, 16, 2, frames, FMT_WAV | FMT_PCM))]
    run.restore("aac", entries)
    # A damaged frame stops the pack where it stands.
    damaged = bytearray(stream)
    damaged[len(damaged) // 2:len(damaged) // 2 + 40] = bytes(40)
    run.restore("aac-damaged", [("damaged.wav", bytes(damaged), FMT_MP4, info(44100, 16, 2, frames, FMT_WAV | FMT_PCM))])


def group_aac_long(run):
    # More bytes than a decoder reads at a time; fewer samples than the open
    # keeps, and more.
    long = ffmpeg_adts(run.work, [("long", 44100, 2, 320, "aac_low")], 8)["long"]
    more = ffmpeg_adts(run.work, [("more", 96000, 6, 384, "aac_low")], 7.5, 5)["more"]
    assert long[3] * 2 < 1 << 22 < more[3] * 6 and min(len(long[0]), len(more[0])) > 256 * 1024
    wav = FMT_WAV | FMT_PCM
    run.restore("aac-long", [("long.wav", long[0], FMT_MP4, info(44100, 16, 2, long[3], wav)),
                             ("long.mono.wav", long[0], FMT_MP4, info(44100, 16, 1, long[3] * 2 // 3, wav)),
                             ("more.wav", more[0], FMT_MP4, info(96000, 16, 6, more[3], wav)),
                             ("more.stereo.wav", more[0], FMT_MP4, info(96000, 16, 2, more[3], wav))])


VQF_MODES = [(8000, 8), (11025, 10), (11025, 16), (22050, 20), (22050, 24), (22050, 32), (44100, 40), (44100, 48)]


def vqf_streams(run, modes, seconds):
    """name -> (VQF stream, rate, channels, frames) for each (rate, kbit/s,
    channels) of `modes`, packed by BUILD's spoolpack from WAV sources."""
    tree = os.path.join(run.work, "vqf-tree")
    os.mkdir(tree)
    options = []
    for rate, kbps, channels in modes:
        name = "m%d-%d-%d" % (rate, kbps, channels)
        frames = int(rate * seconds)
        write_wav(os.path.join(tree, name + ".wav"), rate, channels, signal(rate, channels, frames, rate + kbps))
        options += ["--audio-for", "%s.wav=vqf:%d" % (name, kbps)]
    pak = os.path.join(run.work, "vqf-made")
    subprocess.run([run.build + "/tools/spoolpack/spoolpack", "create", pak, tree] + options, check=True,
                   capture_output=True)
    streams = {}
    for name, (stream, stored) in read_pack(pak + ".APAK").items():
        rate, _, channels, frames = struct.unpack_from("<4I", stored)
        streams[name[:-4]] = (stream, rate, channels, frames)
    return streams


def group_vqf(run, channels):
    """Every VQF mode with `channels` channels."""
    entries = []
    modes = [(rate, kbps, channels) for rate, kbps in VQF_MODES]
    for name, (stream, rate, channels, frames) in sorted(vqf_streams(run, modes, 0.6).items()):
        kbps = int(name.split("-")[1])
        entries += stored_variants(name, stream, FMT_VQF, rate, channels, frames)
        entries.append((name + ".cut.wav", stream[:len(stream) * 2 // 3], 0,
                        info(rate, 16, channels, frames * 2 // 3, FMT_WAV | FMT_PCM)))
        if channels == 1:
            entries.append((name + ".vqf", stream, FMT_VQF, info(rate, 16, channels, frames, FMT_VQF, kbps * 1000, 1)))
        else:
            entries.append((name + ".aac", stream, FMT_VQF, info(rate, 16, channels, frames, FMT_MP4, 32000, 1)))
    run.restore("vqf-%d" % channels, entries)


def create_and_unpack(run, key, source, options):
    spoolpack = run.build + "/tools/spoolpack/spoolpack"
    pak = os.path.join(run.work, "made-" + key)
    run.program(key + ".create", [spoolpack, "create", pak, source] + options)
    for ext in (".APAK", ".UPAK", ".ZPAK"):
        if os.path.exists(pak + ext):
            with open(pak + ext, "rb") as f:
                run.results.append((key + ext, sha(without_trailer(f.read()))))
    run.program(key + ".verify", [spoolpack, "verify", pak])
    run.unpack(key, pak)


def group_create(run, modes):
    tree = os.path.join(run.work, "wav-tree")
    os.mkdir(tree)
    for rate, channels, width in ((8000, 1, 2), (11025, 2, 1), (16000, 1, 2), (22050, 2, 3), (44100, 2, 2),
                                  (48000, 1, 2), (48000, 6, 2)):
        write_wav(os.path.join(tree, "s%d-%d-%d.wav" % (rate, channels, width)), rate, channels,
                  signal(rate, channels, rate // 2, rate + channels), width)
    for mode in modes:
        create_and_unpack(run, mode.replace(":", ""), tree, ["--audio", mode])


def group_create_vqf(run):
    """VQF files as sources: kept and pcm (tried, and packed as ordinary
    files), and re-encoded."""
    tree = os.path.join(run.work, "vqf-files")
    os.mkdir(tree)
    modes = ((8000, 8, 1), (22050, 32, 2), (44100, 48, 2))
    for name, (stream, _, _, _) in vqf_streams(run, modes, 0.3).items():
        with open(os.path.join(tree, name + ".vqf"), "wb") as f:
            f.write(stream)
    for key, mode in (("keep", "keep"), ("pcm", "pcm"), ("vqf", "vqf:20"), ("aac", "aac:48")):
        create_and_unpack(run, "vqf-" + key, tree, ["--audio", mode])


GROUPS = {"aac": group_aac, "aac-long": group_aac_long, "vqf-mono": lambda run: group_vqf(run, 1),
          "vqf-stereo": lambda run: group_vqf(run, 2), "create-aac": lambda run: group_create(run, ("aac", "aac:32")),
          "create-vqf": lambda run: group_create(run, ("vqf", "vqf:10")), "create-from-vqf": group_create_vqf}


def results(build, group):
    with tempfile.TemporaryDirectory() as work:
        run = Run(os.path.abspath(build), work)
        GROUPS[group](run)
        return [(group, key, value) for key, value in run.results]


def main(argv):
    if len(argv) == 4 and argv[1] == "generate":
        lines = [l for g in GROUPS for l in results(argv[2], g)]
        with open(argv[3], "w") as f:
            f.write("# golden_aac_vqf.py generate: group, result, SHA-256 (or exit status)\n")
            f.writelines("%s %s %s\n" % line for line in lines)
        return 0
    if len(argv) == 5 and argv[1] == "check" and argv[4] in GROUPS:
        with open(argv[3]) as f:
            want = [tuple(l.split()) for l in f if l.startswith(argv[4] + " ")]
        got = results(argv[2], argv[4])
        for line in sorted(set(want) ^ set(got), key=lambda l: l[1]):
            print(("expected " if line in want else "got      ") + " ".join(line))
        return 0 if sorted(want) == sorted(got) else 1
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
