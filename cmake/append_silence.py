#!/usr/bin/env python3
"""append_silence.py IN.wav OUT.wav SECONDS: OUT is IN followed by SECONDS of silence (PCM WAV)."""
import sys
import wave

with wave.open(sys.argv[1], "rb") as source:
    params = source.getparams()
    frames = source.readframes(params.nframes)
with wave.open(sys.argv[2], "wb") as target:
    target.setparams(params)
    target.writeframes(frames + b"\0" * (params.sampwidth * params.nchannels * int(float(sys.argv[3]) * params.framerate)))
