#!/usr/bin/env python3
"""Writes chord.wav, the default warning sound: a short strummed major chord with a soft
bell-like tone (16-bit mono PCM, 22050 Hz). Run it again to regenerate the file."""
import math
import struct
import sys
import wave

RATE = 22050
LENGTH = 0.9  # seconds
NOTES = [(523.25, 0.00), (659.25, 0.05), (783.99, 0.10), (1046.50, 0.15)]  # C5 E5 G5 C6


def sample(t):
    total = 0.0
    for freq, start in NOTES:
        u = t - start
        if u < 0:
            continue
        attack = min(1.0, u / 0.008)
        decay = math.exp(-u * 4.5)
        tone = (math.sin(2 * math.pi * freq * u)
                + 0.35 * math.sin(2 * math.pi * 2 * freq * u) * math.exp(-u * 6)
                + 0.12 * math.sin(2 * math.pi * 3 * freq * u) * math.exp(-u * 9))
        total += attack * decay * tone
    fade = min(1.0, (LENGTH - t) / 0.05)
    return 0.22 * total * fade


def main(path):
    frames = bytearray()
    for i in range(int(RATE * LENGTH)):
        v = max(-1.0, min(1.0, sample(i / RATE)))
        frames += struct.pack('<h', int(v * 32767))
    with wave.open(path, 'wb') as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(RATE)
        w.writeframes(bytes(frames))


if __name__ == '__main__':
    main(sys.argv[1] if len(sys.argv) > 1 else 'chord.wav')
