#!/usr/bin/env python3
"""Writes Quorvel's warning chime: two soft bell notes, high then low.

22050 Hz, 16-bit mono PCM, about 0.8 s, peak near -6 dBFS. The output is
fully deterministic, so rerunning it gives a byte-identical file.

Usage: make-warning-wav.py [OUTPUT]   (default: resources/warning.wav)
"""
import math
import os
import struct
import sys
import wave

RATE = 22050
LENGTH = 0.80            # seconds
PEAK_DBFS = -6.0
FADE_IN = 0.006          # seconds, per note, avoids a click at the onset
FADE_OUT = 0.040         # seconds, at the very end of the file

# (start time s, fundamental Hz, gain, decay time constant s)
NOTES = [
    (0.000, 880.00, 1.00, 0.16),   # A5
    (0.200, 659.26, 0.95, 0.22),   # E5
]

# Soft bell timbre: partial ratio, relative level, extra decay factor.
PARTIALS = [
    (1.00, 1.00, 1.0),
    (2.00, 0.28, 1.8),
    (3.01, 0.10, 2.6),
    (4.17, 0.04, 3.5),
]


def sample(t):
    value = 0.0
    for start, freq, gain, tau in NOTES:
        dt = t - start
        if dt < 0.0:
            continue
        attack = min(1.0, dt / FADE_IN)
        attack = 0.5 - 0.5 * math.cos(math.pi * attack)
        for ratio, level, speed in PARTIALS:
            value += (gain * level * attack * math.exp(-dt * speed / tau)
                      * math.sin(2.0 * math.pi * freq * ratio * dt))
    return value


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    default = os.path.join(here, "..", "..", "resources", "warning.wav")
    out = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else default)

    count = int(RATE * LENGTH)
    fade_len = int(RATE * FADE_OUT)
    samples = []
    for i in range(count):
        v = sample(i / RATE)
        left = count - 1 - i
        if left < fade_len:
            v *= left / fade_len
        samples.append(v)

    peak = max(abs(v) for v in samples) or 1.0
    scale = 32767.0 * 10.0 ** (PEAK_DBFS / 20.0) / peak
    frames = struct.pack("<%dh" % count,
                         *(int(round(v * scale)) for v in samples))

    os.makedirs(os.path.dirname(out), exist_ok=True)
    with wave.open(out, "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(RATE)
        w.writeframes(frames)


if __name__ == "__main__":
    main()
