#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""Golden results of audio restoration: the SHA-256 of every file a build
restores from a fixed set of packs, and of the packs `spoolpack create`
makes, kept in golden.sha256 beside this script.

    golden.py generate --build DIR            # (re)write golden.sha256
    golden.py check --build DIR [--group G]   # compare a build with it
    golden.py list                            # the groups

The packs are made at run time from deterministic synthesis (sox with
repeatable dither and fixed seeds, oggenc with a fixed serial), so no media
lives in the repository. Two kinds of group:

- `Handmade`: an Audio pack written here from the pack format, whose entries
  pair a packed stream with a stored description chosen freely (another
  rate, channel count, bit width, length, container or encoding), restored
  by spoolex; the hash of spoolex's standard output is kept too.
- `Created`: a tree packed by `spoolpack create` with --audio-for modes; the
  packs' hashes are kept, and the files spoolex restores from them.

A restored file's PEAK chunk carries the time it was written; its four
bytes are zeroed before hashing. To add a case, append an entry to a group
below (or a new group) and run `generate` with the build whose results are
the reference (the one before a change that must not alter them).
"""
import argparse
import os
import shutil
import struct
import subprocess
import sys
import tempfile

from golden_packs import (AIFF, ALAW, AU, AU_LE, FLOAT, G721, G723, GSM, IMA, IRCAM, MSADPCM, NIST, OGG, PAF, PCM,
                          PCM_BE, PCM_LE, RAW, S8, SVX, U8, ULAW, WAV, audio_info, sha, without_trailer, write_pack)

HERE = os.path.dirname(os.path.abspath(__file__))
FIXTURE = os.path.join(HERE, "golden.sha256")
EPOCH = "1700000000"


def sox_source(path, rate, channels, seconds, bits=16, extra=()):
    """A WAV of `channels` sweeps (one per channel, each its own range)."""
    tones = []
    for c in range(channels):
        low = 110 * (c + 1)
        tones += ["sine", "%d-%d" % (low, low * 5)]
    subprocess.run(["sox", "-R", "-D", "-n", "-r", str(rate), "-c", str(channels), "-b", str(bits),
                    *extra, path, "synth", str(seconds), *tones, "gain", "-4"], check=True)


def ogg_source(path, wav, quality):
    subprocess.run(["oggenc", "-Q", "-s", "4242", "-q", str(quality), "-o", path, wav], check=True)


def stream_of(tmp, recipe):
    """The bytes of a packed stream: ("wav", rate, channels, seconds[, bits])
    or ("ogg", rate, channels, seconds, quality)."""
    kind, rate, channels, seconds = recipe[:4]
    key = "_".join(str(x) for x in recipe)
    wav = os.path.join(tmp, "src_%s.wav" % key)
    bits = recipe[4] if kind == "wav" and len(recipe) > 4 else 16
    if not os.path.exists(wav):
        sox_source(wav, rate, channels, seconds, bits)
    if kind == "wav":
        path = wav
    else:
        path = os.path.join(tmp, "src_%s.ogg" % key)
        if not os.path.exists(path):
            ogg_source(path, wav, recipe[4])
    with open(path, "rb") as f:
        return f.read()


def frames(seconds, rate):
    return int(round(seconds * rate))


# Handmade groups: entry name, packed stream, and the stored description
# (rate, bits, channels, frames, format[, quality, bitrate, codec option]).
S = 1.5  # seconds of every synthesised stream


def same(name, fmt, bits, rate=44100, channels=2, seconds=S):
    return (name, ("wav", rate, channels, seconds), (rate, bits, channels, frames(seconds, rate), fmt))


HANDMADE = {
    "containers": [
        same("w8.wav", WAV | PCM, 8), same("w16m.wav", WAV | PCM, 16, channels=1),
        same("w24.wav", WAV | PCM, 24), same("w32.wav", WAV | PCM, 32),
        same("w16x6.wav", WAV | PCM, 16, channels=6), same("wf.wav", WAV | FLOAT, 32),
        same("wu.wav", WAV | ULAW, 16), same("wa.wav", WAV | ALAW, 16),
        same("wima.wav", WAV | IMA, 16), same("wms.wav", WAV | MSADPCM, 16),
        same("wgsm.wav", WAV | GSM, 16, rate=8000, channels=1),
        same("a8.aif", AIFF | PCM, 8), same("a16.aif", AIFF | PCM, 16), same("a24.aif", AIFF | PCM_LE, 24),
        same("a32.aif", AIFF | PCM_BE, 32), same("af.aif", AIFF | FLOAT, 32),
        same("u16.au", AU | PCM, 16), same("uu.au", AU | ULAW, 16), same("ua.au", AU | ALAW, 16),
        same("ug721.au", AU | G721, 16, rate=8000, channels=1), same("ug723.au", AU | G723, 16, rate=8000, channels=1),
        same("uf.au", AU | FLOAT, 32), same("ule.au", AU_LE | PCM, 24),
        same("r8.raw", RAW | S8, 8), same("ru8.raw", RAW | U8, 8), same("rbe.raw", RAW | PCM_BE, 16),
        same("rle.raw", RAW | PCM_LE, 24),
        same("p8.paf", PAF | S8, 8), same("p16.paf", PAF | PCM, 16), same("p24.paf", PAF | PCM_LE, 24),
        same("s8.svx", SVX | PCM, 8, channels=1), same("s16.svx", SVX | PCM, 16, channels=1),
        same("n16.nist", NIST | PCM, 16), same("n24.nist", NIST | PCM_LE, 24), same("n32.nist", NIST | PCM_BE, 32),
        same("i16.sf", IRCAM | PCM, 16), same("i32.sf", IRCAM | PCM_LE, 32), same("if.sf", IRCAM | FLOAT, 32),
        same("iu.sf", IRCAM | ULAW, 16), same("ia.sf", IRCAM | ALAW, 16),
    ],
    "rates": [
        ("up48.wav", ("wav", 44100, 2, S), (48000, 16, 2, frames(S, 48000), WAV | PCM)),
        ("down8.wav", ("wav", 48000, 2, S), (8000, 16, 2, frames(S, 8000), WAV | PCM)),
        ("up2.wav", ("wav", 22050, 1, S), (44100, 16, 1, frames(S, 44100), WAV | PCM)),
        ("down441.wav", ("wav", 48000, 1, S), (44100, 24, 1, frames(S, 44100), WAV | PCM)),
        ("up6.wav", ("wav", 8000, 2, S), (48000, 16, 2, frames(S, 48000), WAV | PCM)),
        ("x6up.wav", ("wav", 22050, 6, S), (44100, 16, 6, frames(S, 44100), WAV | PCM)),
        ("x6down.wav", ("wav", 48000, 6, S), (22050, 16, 6, frames(S, 22050), WAV | PCM)),
        ("x3mix.wav", ("wav", 44100, 3, S), (32000, 16, 3, frames(S, 32000), WAV | PCM)),
        ("rate8bit.wav", ("wav", 22050, 2, S, 8), (44100, 8, 2, frames(S, 44100), WAV | PCM)),
        ("ratechan.wav", ("wav", 44100, 2, S), (48000, 16, 6, frames(S, 48000), WAV | PCM)),
        ("rateaiff.aif", ("wav", 44100, 2, S), (11025, 16, 1, frames(S, 11025), AIFF | PCM)),
    ],
    "shapes": [
        ("m2s.wav", ("wav", 44100, 1, S), (44100, 16, 2, frames(S, 44100), WAV | PCM)),
        ("s2m.wav", ("wav", 44100, 2, S), (44100, 16, 1, frames(S, 44100), WAV | PCM)),
        ("s2x6.wav", ("wav", 44100, 2, S), (44100, 16, 6, frames(S, 44100), WAV | PCM)),
        ("x62s.wav", ("wav", 44100, 6, S), (44100, 16, 2, frames(S, 44100), WAV | PCM)),
        ("s2x3.wav", ("wav", 44100, 2, S), (44100, 16, 3, frames(S, 44100), WAV | PCM)),
        ("s2x4.au", ("wav", 44100, 2, S), (44100, 16, 4, frames(S, 44100), AU | PCM)),
        ("x6to5.wav", ("wav", 44100, 6, S), (44100, 16, 5, frames(S, 44100), WAV | PCM)),
        ("w8from8.wav", ("wav", 44100, 2, S, 8), (44100, 16, 2, frames(S, 44100), WAV | PCM)),
        ("narrow8.wav", ("wav", 44100, 2, S), (44100, 8, 2, frames(S, 44100), WAV | PCM)),
        ("narrow12.aif", ("wav", 44100, 1, S), (44100, 12, 1, frames(S, 44100), AIFF | PCM)),
        ("short.wav", ("wav", 44100, 2, S), (44100, 16, 2, frames(S, 44100) - 12345, WAV | PCM)),
        ("long.wav", ("wav", 44100, 2, S), (44100, 16, 2, frames(S, 44100) + 30000, WAV | PCM)),
        ("longrate.wav", ("wav", 22050, 2, S), (44100, 16, 2, frames(S, 44100) + 40000, WAV | PCM)),
        ("shortrate.wav", ("wav", 48000, 1, S), (8000, 16, 1, frames(S, 8000) - 777, WAV | PCM)),
        ("tiny.wav", ("wav", 44100, 2, 0.01), (44100, 16, 2, 441, WAV | PCM)),
        ("tinyrate.wav", ("wav", 44100, 2, 0.01), (48000, 16, 2, 480, WAV | PCM)),
    ],
    "ogg": [
        ("qm1.wav", ("ogg", 44100, 2, S, -1), (44100, 16, 2, frames(S, 44100), WAV | PCM)),
        ("q2m.wav", ("ogg", 22050, 1, S, 2), (22050, 16, 1, frames(S, 22050), WAV | PCM)),
        ("q6.aif", ("ogg", 48000, 2, S, 6), (48000, 24, 2, frames(S, 48000), AIFF | PCM)),
        ("q10x6.wav", ("ogg", 44100, 6, S, 10), (44100, 16, 6, frames(S, 44100), WAV | PCM)),
        ("qrate.wav", ("ogg", 44100, 2, S, 4), (48000, 16, 2, frames(S, 48000), WAV | PCM)),
        ("qdown.wav", ("ogg", 48000, 1, S, 3), (8000, 8, 1, frames(S, 8000), WAV | PCM)),
        ("qshort.wav", ("ogg", 44100, 2, S, 4), (44100, 16, 2, frames(S, 44100) - 5000, WAV | PCM)),
        ("qlong.wav", ("ogg", 44100, 2, S, 4), (44100, 16, 2, frames(S, 44100) + 20000, WAV | PCM)),
        ("tiny.wav", ("ogg", 44100, 1, 0.02, 4), (44100, 16, 1, 882, WAV | PCM)),
        # Stored as Ogg Vorbis: the restoration encodes again.
        ("reenc.ogg", ("ogg", 44100, 2, S, 4), (44100, 16, 2, frames(S, 44100), OGG, 0.4)),
        ("reencbr.ogg", ("wav", 22050, 1, S), (22050, 16, 1, frames(S, 22050), OGG, -1.0, 48000)),
        ("reencx3.ogg", ("wav", 44100, 3, S), (44100, 16, 3, frames(S, 44100), OGG, 0.2)),
        ("reencrate.ogg", ("ogg", 44100, 2, S, 2), (32000, 16, 2, frames(S, 32000), OGG, 0.5)),
    ],
}

# Created groups: the source files (name, sox arguments) and create's
# options.
CREATED = {
    "create-lossless": {
        "files": [("k16.wav", (44100, 2, S, 16)), ("k8.wav", (22050, 1, S, 8)),
                  ("p16.wav", (48000, 2, S, 16)), ("p6.wav", (44100, 6, S, 16))],
        "args": ["--audio", "keep", "--audio-for", "p*=pcm"],
    },
    "create-ogg": {
        "files": [("o2.wav", (44100, 2, S, 16)), ("o8.wav", (22050, 1, S, 16)),
                  ("om.wav", (48000, 1, S, 8)), ("ox6.wav", (44100, 6, S, 16))],
        "args": ["--audio", "ogg:4", "--audio-for", "o8*=ogg:8", "--audio-for", "om*=ogg:-1"],
    },
    "create-aac": {
        "files": [("c2.wav", (44100, 2, S, 16)), ("cm.wav", (22050, 1, S, 16))],
        "args": ["--audio", "aac:64", "--audio-for", "cm*=aac:32"],
    },
    "create-vqf": {
        "files": [("v441.wav", (44100, 2, S, 16)), ("v48.wav", (48000, 2, S, 16)),
                  ("v16k.wav", (16000, 1, S, 16)), ("v8k.wav", (8000, 1, S, 16))],
        "args": ["--audio", "vqf"],
    },
}


def groups():
    return list(HANDMADE) + list(CREATED)


def tools(build):
    spoolex = os.path.join(build, "driver", "spoolex")
    spoolpack = os.path.join(build, "tools", "spoolpack", "spoolpack")
    for tool in (spoolex, spoolpack):
        if not os.access(tool, os.X_OK):
            sys.exit("golden: no %s" % tool)
    return spoolex, spoolpack


def without_peak_time(data):
    """The file's bytes with the time field of a PEAK chunk zeroed (RIFF
    little-endian, IFF big-endian: at 8 bytes into the chunk's body)."""
    out = bytearray(data)
    if data[:4] == b"RIFF" and data[8:12] == b"WAVE":
        pos, endian = 12, "<"
    elif data[:4] == b"FORM":
        pos, endian = 12, ">"
    else:
        return bytes(out)
    while pos + 8 <= len(data):
        tag = data[pos:pos + 4]
        size = struct.unpack(endian + "I", data[pos + 4:pos + 8])[0]
        if tag == b"PEAK" and pos + 16 <= len(data):
            out[pos + 12:pos + 16] = b"\0\0\0\0"
        pos += 8 + size + (size & 1)
    return bytes(out)


def run(cmd, env, cwd=None):
    return subprocess.run(cmd, env=env, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.PIPE)


def hash_tree(folder, prefix, results):
    for root, _, names in os.walk(folder):
        for n in sorted(names):
            path = os.path.join(root, n)
            with open(path, "rb") as f:
                results[prefix + os.path.relpath(path, folder)] = sha(without_peak_time(f.read()))


def results_of(group, build, tmp):
    spoolex, spoolpack = tools(build)
    env = dict(os.environ, SOURCE_DATE_EPOCH=EPOCH)
    results = {}
    work = os.path.join(tmp, group)
    os.makedirs(work)
    out = os.path.join(work, "out")
    os.makedirs(out)
    if group in HANDMADE:
        entries = []
        for name, recipe, stored in HANDMADE[group]:
            data = stream_of(tmp, recipe)
            fmt = OGG if recipe[0] == "ogg" else WAV
            codec = [-1.0, 0, 0]  # quality, bitrate, codec option
            codec[:len(stored) - 5] = stored[5:]
            entries.append((name, data, fmt, audio_info(*stored[:5], codec[1], codec[2], codec[0])))
        write_pack(os.path.join(work, "g.APAK"), entries)
        shown = run([spoolex, os.path.join(work, "g"), out], env)
        results[group + ":stdout"] = sha(shown.stdout)
        results[group + ":verify"] = str(run([spoolpack, "verify", os.path.join(work, "g")], env).returncode)
    else:
        recipe = CREATED[group]
        tree = os.path.join(work, "tree")
        os.makedirs(tree)
        for name, (rate, channels, seconds, bits) in recipe["files"]:
            sox_source(os.path.join(tree, name), rate, channels, seconds, bits)
        made = run([spoolpack, "create", os.path.join(work, "g"), tree, *recipe["args"]], env)
        if made.returncode != 0:
            results[group + ":create"] = "failed %d" % made.returncode
        for kind in ("APAK", "UPAK", "ZPAK"):
            path = os.path.join(work, "g." + kind)
            if os.path.exists(path):
                with open(path, "rb") as f:
                    results[group + ":" + kind] = sha(without_trailer(f.read()))
        shown = run([spoolex, os.path.join(work, "g"), out], env)
        results[group + ":stdout"] = sha(shown.stdout)
    hash_tree(out, group + "/", results)
    return results


def read_fixture():
    fixed = {}
    with open(FIXTURE) as f:
        for line in f:
            if line.strip() and not line.startswith("#"):
                key, value = line.rstrip("\n").split(" ", 1)
                fixed[key] = value
    return fixed


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("command", choices=["generate", "check", "list"])
    parser.add_argument("--build")
    parser.add_argument("--group", action="append")
    args = parser.parse_args()
    if args.command == "list":
        print("\n".join(groups()))
        return 0
    chosen = args.group or groups()
    tmp = tempfile.mkdtemp(prefix="golden-")
    try:
        results = {}
        for group in chosen:
            results.update(results_of(group, args.build, tmp))
    finally:
        shutil.rmtree(tmp)
    if args.command == "generate":
        fixed = read_fixture() if os.path.exists(FIXTURE) and args.group else {}
        fixed = {k: v for k, v in fixed.items() if k.split(":")[0].split("/")[0] not in chosen}
        fixed.update(results)
        with open(FIXTURE, "w") as f:
            f.write("# SHA-256 of restored files and created packs; tests/golden/golden.py makes it.\n")
            for key in sorted(fixed):
                f.write("%s %s\n" % (key, fixed[key]))
        return 0
    fixed = {k: v for k, v in read_fixture().items() if k.split(":")[0].split("/")[0] in chosen}
    bad = 0
    for key in sorted(set(fixed) | set(results)):
        if fixed.get(key) != results.get(key):
            print("golden: %s: expected %s, got %s" % (key, fixed.get(key), results.get(key)))
            bad += 1
    print("golden: %d of %d results differ" % (bad, len(fixed)))
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
