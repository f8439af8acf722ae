#!/usr/bin/env python3
"""Regenerates the seed corpus of the WAV reader fuzzer: a few small files
from sox, and hand-built files for the chunk kinds sox never writes."""
import os
import struct
import subprocess
import tempfile

OUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus", "audio_wave_reader")


def chunk(code, payload, pad=True):
    body = code + struct.pack("<I", len(payload)) + payload
    return body + (b"\0" if pad and len(payload) % 2 else b"")


def riff(*chunks, size=None):
    body = b"WAVE" + b"".join(chunks)
    return b"RIFF" + struct.pack("<I", len(body) if size is None else size) + body


def fmt(code, channels, rate, bits, extra=None):
    block = channels * bits // 8
    payload = struct.pack("<HHIIHH", code, channels, rate, rate * block, block, bits)
    if extra is not None:
        payload += struct.pack("<H", len(extra)) + extra
    return chunk(b"fmt ", payload)


def frames(n, channels, width):
    return bytes((i * 37 + 11) & 0xFF for i in range(n * channels * width))


def write(name, data):
    with open(os.path.join(OUT, name), "wb") as f:
        f.write(data)


def sox_seeds():
    with tempfile.TemporaryDirectory() as tmp:
        for name, args in {
            "sox_u8_mono.wav": ["-c", "1", "-b", "8", "-e", "unsigned-integer"],
            "sox_s16_stereo.wav": ["-c", "2", "-b", "16", "-e", "signed-integer"],
            "sox_s24_6ch_extensible.wav": ["-c", "6", "-b", "24", "-e", "signed-integer"],
            "sox_f32_mono_fact.wav": ["-c", "1", "-b", "32", "-e", "floating-point"],
        }.items():
            path = os.path.join(tmp, name)
            subprocess.run(["sox", "-D", "-n", "-r", "8000", *args, path, "synth", "0.005", "sine", "440"], check=True)
            with open(path, "rb") as f:
                write(name, f.read())


def hand_seeds():
    write("list_odd_then_fact_cue.wav", riff(
        fmt(1, 2, 8000, 16),
        chunk(b"LIST", b"INFOISFT\x03\0\0\0ab\0"),
        chunk(b"fact", struct.pack("<I", 6)),
        chunk(b"cue ", struct.pack("<i", 2) + struct.pack("<6I", 1, 0, 0x61746164, 0, 0, 3)
              + struct.pack("<6I", 2, 4, 0x61746164, 0, 0, 5)),
        chunk(b"data", frames(6, 2, 2))))
    write("unpadded_odd_chunk.wav", riff(
        fmt(1, 1, 8000, 8), chunk(b"junk", b"abc", pad=False), chunk(b"data", frames(9, 1, 1))))
    write("wavl_data_and_silence.wav", riff(
        fmt(1, 2, 8000, 16),
        chunk(b"wavl", chunk(b"data", frames(3, 2, 2)) + chunk(b"slnt", struct.pack("<I", 4))
              + chunk(b"data", frames(2, 2, 2)))))
    write("two_fmt_lowercase_header.wav", b"riff" + riff(
        fmt(1, 1, 8000, 8), fmt(0xFFFE, 2, 8000, 32, extra=b"\0" * 22), chunk(b"data", frames(5, 2, 4)), size=0)[4:]
        .replace(b"WAVE", b"wave", 1))
    write("truncated_data.wav", riff(fmt(3, 1, 8000, 32, extra=b""), chunk(b"data", frames(20, 1, 4)))[:-30])


os.makedirs(OUT, exist_ok=True)
sox_seeds()
hand_seeds()
