#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-2.0-or-later
# Expansion limits against hostile and genuine packs: bench/limits.py [--smoke] <build-folder>
# - a genuine 131,072-frame 12 kHz clip packed as ogg, aac and vqf whose stored description is then
#   changed to claim 768 kHz, 256 channels, 32 bits and 8,388,607 frames (an 8.6 GB restored file):
#   spoolex, extract and verify must write at most 64 MiB and peak under 128 MiB;
# - 10,000 records of a Stored pack over one 1 MiB data run (a 1.2 MB pack): at most 2 GiB written
#   (--smoke: 200 records);
# - a genuine pack of a 1.2 GB file of zeros: unpacked whole (--smoke: 120 MB).
# Prints bytes written and peak RSS of each run against its target.
import os, shutil, struct, subprocess, sys, tempfile, zlib

args = sys.argv[1:]
smoke = args[:1] == ['--smoke']
build = os.path.abspath(args[-1] if args and args[-1] != '--smoke' else 'build')
spoolex, spoolpack = build + '/driver/spoolex', build + '/tools/spoolpack/spoolpack'
work = tempfile.mkdtemp()
MIB = 1 << 20


def run(cmd, dest=None):
    """Runs cmd; returns (status, peak RSS in MiB, bytes under dest, last line of stderr)."""
    if dest and cmd[0] == spoolex:
        os.makedirs(dest, exist_ok=True)  # spoolex unpacks into an existing folder
    r = subprocess.run(['/usr/bin/time', '-f', '%M'] + cmd, capture_output=True, text=True, errors='replace')
    lines = r.stderr.strip().splitlines()
    written = sum(os.path.getsize(os.path.join(p, f)) for p, _, fs in os.walk(dest) for f in fs) if dest else 0
    if dest:
        shutil.rmtree(dest, ignore_errors=True)
    return r.returncode, int(lines[-1]) / 1024, written, (lines[-2] if len(lines) > 1 else '')


def report(what, status, rss, written, written_limit, rss_limit=128):
    ok = written <= written_limit and rss < rss_limit
    print(f'{what:44} rc {status}  written {written:>11} B  peak {rss:6.1f} MiB  '
          f'({"meets" if ok else "MISSES"} <= {written_limit} B, < {rss_limit} MiB)')


def claim_huge(apak):
    """Rewrites the first record's description of an audio pack: 768 kHz, 32 bits, 256 channels."""
    data = open(apak, 'rb').read()
    offset = struct.unpack_from('<I', data, 8)[0]
    records = bytearray(zlib.decompressobj().decompress(data[offset:]))
    name_length = struct.unpack_from('<H', records, 0)[0]
    struct.pack_into('<IIII', records, 2 + name_length + 12, 768000, 32, 256, 8388607)
    head = data[:8] + struct.pack('<II', offset, len(records)) + data[16:offset]
    open(apak, 'wb').write(head + zlib.compress(bytes(records), 9))  # without the checksum trailer


try:
    src = work + '/src'
    os.makedirs(src)
    subprocess.run(['sox', '-n', '-r', '12000', '-c', '1', '-b', '16', src + '/bomb.wav', 'synth', '131072s',
                    'sine', '440'], check=True)
    for mode in ['ogg'] if smoke else ['ogg', 'aac', 'vqf']:
        pak = f'{work}/bomb_{mode}'
        subprocess.run([spoolpack, 'create', pak, src, '--audio', mode], check=True, capture_output=True)
        claim_huge(pak + '.APAK')
        size = os.path.getsize(pak + '.APAK')
        for tool, cmd, dest in [('spoolex', [spoolex, pak, work + '/o'], work + '/o'),
                                ('extract', [spoolpack, 'extract', pak, work + '/o'], work + '/o'),
                                ('verify', [spoolpack, 'verify', pak], None)]:
            status, rss, written, _ = run(cmd, dest)
            report(f'{mode} bomb ({size} B), {tool}', status, rss, written, 64 * MIB)

    count = 200 if smoke else 10000  # --smoke: 200 records, under the limit
    data_run = os.urandom(MIB)
    records = b''.join(struct.pack('<H', 9) + b'f%08d' % i + struct.pack('<II', 16, MIB) for i in range(count))
    pak = work + '/many'
    with open(pak + '.UPAK', 'wb') as f:
        f.write(b'KERVMAXU' + struct.pack('<II', 16 + MIB, len(records)) + data_run + records)
    for tool, cmd in [('spoolex', [spoolex, pak, work + '/o']), ('extract', [spoolpack, 'extract', pak, work + '/o'])]:
        status, rss, written, _ = run(cmd, work + '/o')
        report(f'{count} records over one 1 MiB run, {tool}', status, rss, written, 2 << 30)

    zeros = 120_000_000 if smoke else 1_200_000_000
    os.makedirs(work + '/z')
    with open(work + '/z/zero.bin', 'wb') as f:
        f.truncate(zeros)
    subprocess.run([spoolpack, 'create', work + '/zeros', work + '/z'], check=True, capture_output=True)
    shutil.rmtree(work + '/z')
    for tool, cmd in [('spoolex', [spoolex, work + '/zeros', work + '/o']),
                      ('extract', [spoolpack, 'extract', work + '/zeros', work + '/o'])]:
        status, rss, written, _ = run(cmd, work + '/o')
        whole = status == 0 and written == zeros
        print(f'{f"{zeros} B of zeros, {tool}":44} rc {status}  written {written:>11} B  peak {rss:6.1f} MiB  '
              f'({"meets: unpacked whole" if whole else "MISSES: not unpacked whole"})')
finally:
    shutil.rmtree(work, ignore_errors=True)
