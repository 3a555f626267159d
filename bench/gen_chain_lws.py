#!/usr/bin/env python3
"""The scene of blender_bake.py as an LWSC 5 file: 60 nulls in the same hierarchy,
position and rotation keyed on every frame. Usage: gen_chain_lws.py FRAMES OUT.lws [ITEMS]"""
import math, random, sys
frames, out = int(sys.argv[1]), sys.argv[2]
items = int(sys.argv[3]) if len(sys.argv) > 3 else 60
random.seed(1)
fps = 30
w = open(out, "w", newline="\n")
w.write("LWSC\n5\n\nRenderRangeType 0\nFirstFrame 0\nLastFrame %d\nFrameStep 1\n"
        "PreviewFirstFrame 0\nPreviewLastFrame %d\nPreviewFrameStep 1\nCurrentFrame 0\n"
        "FramesPerSecond %d\nChangeScene 0\n\n" % (frames - 1, frames - 1, fps))
for i in range(items):
    w.write("AddNullObject %08X b%d\nChangeObject 0\nShowObject 7 -1 0.376471 0.878431 0.941176\nGroup 0\n"
            "ObjectMotion\nNumChannels 9\n" % (0x10000000 + i, i))
    for c in range(9):
        w.write("Channel %d\n{ Envelope\n" % c)
        if c < 6:
            ph, amp = random.random() * 6.28, (1.0 if c < 3 else 0.6)
            w.write("  %d\n" % frames)
            for f in range(frames):
                w.write("  Key %.9g %.9g 0 0 0 0 0 0 0\n" % (amp * math.sin(0.05 * f + ph), f / fps))
        else:
            w.write("  1\n  Key 1 0 0 0 0 0 0 0 0\n")
        w.write("  Behaviors 1 1\n}\n")
    if i:
        p = i - 1 if i % 3 else (i - 1) // 2
        w.write("ParentItem %08X\n" % (0x10000000 + p))
    w.write("\n")
w.write("AmbientColor 1 1 1\nAmbientIntensity 0.05\n\nCurrentObject 0\nCurrentLight 0\nCurrentCamera 0\n")
