#!/usr/bin/python3
"""Renders the demo recording: two synthetic voices taking turns, with one short overlap.

Voice A is deep and muffled: espeak-ng "en+m3" at a low pitch, low-passed at 1.2 kHz.
Voice B is high and bright: espeak-ng "en+f4" at a high pitch, high-passed at 150 Hz.
Each turn is rendered by espeak-ng, filtered and resampled to 16 kHz by sox, trimmed to its
audible part and brought to the same loudness; the turns are laid on a timeline with pauses
between them, and one turn starts while the previous one is still speaking. Low white noise is
added so that the pauses are not digital silence.

Writes, into OUT_DIR:
  demo-audio.f32     the recording: raw float32 little-endian mono samples at 16000 Hz
  demo-truth.json    the turns: statement id, voice, start and end in seconds, text
  demo-audio.wav     the same recording as a 16-bit WAV file, for listening

With --conversation second it renders another conversation of the same two voices instead: other
sentences, voice B speaking first, one voice sometimes taking two turns in a row, and its own
background noise. Its files are named demo2-audio.f32, demo2-truth.json and demo2-audio.wav.

Usage: make_demo_audio.py OUT_DIR [--conversation first|second]
"""

import argparse
import json
import os
import subprocess
import sys

import numpy as np

SAMPLE_RATE = 16000
TURN_LEVEL_RMS = 0.05  # about -26 dBFS over the audible samples of each turn
NOISE_RMS = 0.0005  # about -66 dBFS
LEAD_IN_S = 0.8
TAIL_S = 1.0

VOICES = {
    "A": {
        "description": "deep, muffled: espeak-ng en+m3, pitch 25, low-passed at 1.2 kHz",
        "espeak": ["-v", "en+m3", "-p", "25", "-s", "150"],
        "sox_effects": ["sinc", "-1200"],
    },
    "B": {
        "description": "high, bright: espeak-ng en+f4, pitch 75, high-passed at 150 Hz",
        "espeak": ["-v", "en+f4", "-p", "75", "-s", "165"],
        "sox_effects": ["sinc", "150"],
    },
}

# (voice, pause before the turn in seconds; negative = the turn starts before the previous ends, text)
FIRST_TURNS = [
    ("A", 0.0, "Good morning. Thanks for joining the planning call today."),
    ("B", 0.7, "Happy to be here. I read the notes you sent last night."),
    ("A", 0.8, "Great. The first question is when the new library opens to the public."),
    ("B", 0.6, "The builders say the roof will be finished by the end of next month."),
    ("A", 0.9, "Then we could plan the opening for early spring, if the weather allows it."),
    ("B", -1.5, "Spring sounds right to me. We should invite the school choir as well."),
    ("A", 0.7, "Good idea. I will write to the head teacher this afternoon."),
    ("B", 0.8, "And I will ask the bakery about cakes for two hundred guests."),
    ("A", 0.6, "Two hundred seems a lot. Let us start with one hundred and fifty."),
    ("B", 0.9, "Fine, one hundred and fifty it is. Shall we meet again on Friday?"),
]

SECOND_TURNS = [
    ("B", 0.0, "Hello again. I spoke to the bakery yesterday about the cakes."),
    ("A", 0.8, "Wonderful. What did they say about the price?"),
    ("A", 0.9, "And can they deliver on the morning of the opening?"),
    ("B", 0.7, "They can deliver at eight, and the price is lower than we feared."),
    ("B", 1.0, "They also offered to bake a cake in the shape of the new building."),
    ("A", 0.6, "That would make a lovely picture for the local paper."),
    ("B", -1.2, "I will send them the drawings from the architect this week."),
    ("A", 0.8, "The head teacher wrote back. The choir would love to sing for us."),
    ("B", 0.7, "Then we have music, cakes and a building. We only need good weather."),
    ("A", 0.9, "Let us hope for sunshine. Thank you, and see you next week."),
]

# name: (file name prefix, turns, seed of the background noise)
CONVERSATIONS = {
    "first": ("demo", FIRST_TURNS, 7),
    "second": ("demo2", SECOND_TURNS, 8),
}


def render(voice, text):
    """One utterance as float64 samples at 16 kHz, trimmed to its audible part, at the turn level."""
    settings = VOICES[voice]
    wav = subprocess.run(["espeak-ng", *settings["espeak"], "--stdout", text], check=True,
                         stdout=subprocess.PIPE).stdout
    raw = subprocess.run(["sox", "-t", "wav", "-", "-t", "raw", "-e", "floating-point", "-b", "32",
                          "-L", "-c", "1", "-", *settings["sox_effects"], "rate", str(SAMPLE_RATE)],
                         input=wav, check=True, stdout=subprocess.PIPE).stdout
    x = np.frombuffer(raw, dtype="<f4").astype(np.float64)
    audible = np.flatnonzero(np.abs(x) > 0.01 * np.abs(x).max())
    x = x[audible[0]:audible[-1] + 1]
    loud = np.abs(x) > 0.01 * np.abs(x).max()
    return x * (TURN_LEVEL_RMS / np.sqrt(np.mean(x[loud] ** 2)))


def main():
    parser = argparse.ArgumentParser(usage="make_demo_audio.py OUT_DIR [--conversation first|second]")
    parser.add_argument("out_dir")
    parser.add_argument("--conversation", choices=sorted(CONVERSATIONS), default="first")
    args = parser.parse_args()
    out_dir = args.out_dir
    prefix, conversation, noise_seed = CONVERSATIONS[args.conversation]
    os.makedirs(out_dir, exist_ok=True)

    clips = [(voice, pause, text, render(voice, text)) for voice, pause, text in conversation]
    placed = []
    cursor = LEAD_IN_S
    for i, (voice, pause, text, clip) in enumerate(clips):
        start = cursor + pause if i > 0 else cursor
        placed.append((voice, start, text, clip))
        cursor = start + len(clip) / SAMPLE_RATE
    total = int(round((max(s + len(c) / SAMPLE_RATE for _, s, _, c in placed) + TAIL_S) * SAMPLE_RATE))

    audio = np.random.default_rng(noise_seed).normal(0.0, NOISE_RMS, total)
    turns = []
    for i, (voice, start, text, clip) in enumerate(placed):
        first = int(round(start * SAMPLE_RATE))
        audio[first:first + len(clip)] += clip
        turns.append({"statement_id": i + 1, "voice": voice,
                      "start_s": round(first / SAMPLE_RATE, 4),
                      "end_s": round((first + len(clip)) / SAMPLE_RATE, 4), "text": text})

    peak = np.abs(audio).max()
    if peak > 0.99:
        audio *= 0.99 / peak
    audio_path = os.path.join(out_dir, f"{prefix}-audio.f32")
    audio.astype("<f4").tofile(audio_path)
    subprocess.run(["sox", "-t", "raw", "-e", "floating-point", "-b", "32", "-L", "-c", "1", "-r",
                    str(SAMPLE_RATE), audio_path, "-b", "16", os.path.join(out_dir, f"{prefix}-audio.wav")],
                   check=True)
    truth = {
        "sample_rate_hz": SAMPLE_RATE,
        "samples": total,
        "duration_s": total / SAMPLE_RATE,
        "voices": {k: v["description"] for k, v in VOICES.items()},
        "turns": turns,
    }
    with open(os.path.join(out_dir, f"{prefix}-truth.json"), "w") as f:
        json.dump(truth, f, indent=2)
        f.write("\n")
    print(audio_path)
    return 0


if __name__ == "__main__":
    sys.exit(main())
