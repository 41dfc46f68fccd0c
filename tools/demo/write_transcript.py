#!/usr/bin/python3
"""Writes the transcript of a demo recording: one cue per turn, as WebVTT or SRT.

Usage: write_transcript.py TRUTH.json OUT.vtt|OUT.srt

TRUTH.json is the ground truth make_demo_audio.py wrote (demo-truth.json, demo2-truth.json); the
format follows OUT's extension. The cues carry the turns' times and texts, not their voices: that
is what label-transcript adds.
"""

import json
import os
import sys


def timestamp(seconds, decimal):
    ms = round(seconds * 1000)
    hours, ms = divmod(ms, 3_600_000)
    minutes, ms = divmod(ms, 60_000)
    whole, ms = divmod(ms, 1000)
    return f"{hours:02}:{minutes:02}:{whole:02}{decimal}{ms:03}"


def main():
    if len(sys.argv) != 3 or os.path.splitext(sys.argv[2])[1] not in (".vtt", ".srt"):
        print(__doc__, file=sys.stderr)
        return 64
    with open(sys.argv[1]) as f:
        turns = json.load(f)["turns"]
    webvtt = sys.argv[2].endswith(".vtt")
    blocks = ["WEBVTT\n"] if webvtt else []
    for number, turn in enumerate(turns, start=1):
        decimal = "." if webvtt else ","
        blocks.append(f"{number}\n{timestamp(turn['start_s'], decimal)} --> {timestamp(turn['end_s'], decimal)}\n"
                      f"{turn['text']}\n")
    with open(sys.argv[2], "w") as f:
        f.write("\n".join(blocks))
    print(sys.argv[2])
    return 0


if __name__ == "__main__":
    sys.exit(main())
