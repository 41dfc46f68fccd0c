"""What the client tests share: where the engine, the demo data and the scratch space are (CTest sets
them in the environment), the client package on sys.path, and transcripts written from the demo's
ground truth in the shapes real files take."""

import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

SOURCE_DIR = os.environ.get("QUILLFEN_SOURCE_DIR",
                            os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))
ENGINE = os.environ.get("QUILLFEN_TEST_ENGINE", os.path.join(SOURCE_DIR, "build", "release",
                                                             "quillfen-core-speakers-analyze"))
DATA = os.environ.get("QUILLFEN_TEST_DATA", os.path.join(SOURCE_DIR, "build", "release", "client-test-data"))
SCRATCH = os.environ.get("QUILLFEN_TEST_SCRATCH", os.path.join(SOURCE_DIR, "build", "client-scratch"))
SEGMENTATION = os.path.join(DATA, "models", "demo-segmentation.onnx")
EMBEDDING = os.path.join(DATA, "models", "demo-embedding.onnx")
PYTHON = "/usr/bin/python3"
LABEL_TRANSCRIPT = os.path.join(SOURCE_DIR, "scripts", "label-transcript")
FIND_SPEAKERS = os.path.join(SOURCE_DIR, "scripts", "find-speakers")

sys.path.insert(0, os.path.join(SOURCE_DIR, "tools", "client"))


def truth(conversation="demo"):
    """The turns of a demo recording: dicts with statement_id, voice, start_s, end_s, text."""
    with open(os.path.join(DATA, f"{conversation}-truth.json")) as f:
        return json.load(f)["turns"]


def recording(conversation="demo"):
    return os.path.join(DATA, f"{conversation}-audio.wav")


def write_demo_tree(directory):
    """DIRECTORY/out/demo as scripts/demo leaves it: the recording, its truth and transcript, the models."""
    demo = os.path.join(directory, "out", "demo")
    os.makedirs(demo)
    for name in ("demo-audio.wav", "demo-audio.f32", "demo-truth.json", "models"):
        os.symlink(os.path.join(DATA, name), os.path.join(demo, name))
    subprocess.run([PYTHON, os.path.join(SOURCE_DIR, "tools", "demo", "write_transcript.py"),
                    os.path.join(demo, "demo-truth.json"), os.path.join(demo, "demo.vtt")],
                   check=True, capture_output=True)
    return demo


class ScratchTestCase(unittest.TestCase):
    """Each test gets a fresh directory in the build tree, and TMPDIR points at a directory of its
    own that must be empty again when the test ends (the client removes its temporary files)."""

    def setUp(self):
        os.makedirs(SCRATCH, exist_ok=True)
        self.dir = tempfile.mkdtemp(prefix=self.id().rsplit(".", 1)[-1] + "-", dir=SCRATCH)
        self.tmp = os.path.join(self.dir, "tmp")
        os.mkdir(self.tmp)
        self._saved_tmpdir = os.environ.get("TMPDIR")
        os.environ["TMPDIR"] = self.tmp
        tempfile.tempdir = None  # re-read TMPDIR

    def tearDown(self):
        if self._saved_tmpdir is None:
            os.environ.pop("TMPDIR", None)
        else:
            os.environ["TMPDIR"] = self._saved_tmpdir
        tempfile.tempdir = None
        leftovers = os.listdir(self.tmp)
        shutil.rmtree(self.dir, ignore_errors=True)
        self.assertEqual(leftovers, [], "temporary files left behind")

    def path(self, *parts):
        return os.path.join(self.dir, *parts)

    def write(self, name, data):
        path = self.path(name)
        with open(path, "wb" if isinstance(data, bytes) else "w", **({} if isinstance(data, bytes) else
                                                                    {"newline": ""})) as f:
            f.write(data)
        return path

    def run_script(self, script, *args):
        return subprocess.run([script, *args], capture_output=True, text=True, timeout=240)


def stopped_after_noting_its_child(test, child, expected, attempt):
    """Runs attempt(limit), which must raise `expected` when the time limit runs out, with limits of
    2.5, 10 and 40 s until the stand-in it starts got to note the pid of its own child in the file
    `child` before being stopped (on a loaded machine 2.5 s may not be enough). Returns the limit
    and the exception."""
    for limit in (2.5, 10.0, 40.0):
        if os.path.exists(child):
            os.remove(child)
        with test.assertRaises(expected) as caught:
            attempt(limit)
        if os.path.exists(child) and os.path.getsize(child):
            return limit, caught.exception
    test.fail("the stand-in never noted its child before its time limit ran out")


def assert_process_ends(test, pid, within_s=10.0):
    """Fails unless process `pid` is gone (or a zombie) within a few seconds."""
    end = time.monotonic() + within_s
    while time.monotonic() < end:
        try:
            with open(f"/proc/{pid}/stat") as f:
                if f.read().rsplit(")", 1)[1].split()[0] == "Z":
                    return
        except FileNotFoundError:
            return
        time.sleep(0.05)
    test.fail(f"process {pid} is still running")


def vtt_time(seconds, hours=True):
    ms = round(seconds * 1000)
    h, ms = divmod(ms, 3_600_000)
    m, ms = divmod(ms, 60_000)
    s, ms = divmod(ms, 1000)
    return (f"{h:02}:" if hours else "") + f"{m:02}:{s:02}.{ms:03}"


def srt_time(seconds):
    return vtt_time(seconds).replace(".", ",")


def styled_webvtt(turns):
    """A WebVTT file of the turns the way real captions look: header metadata, STYLE, REGION and
    NOTE blocks, cue identifiers on some cues, timestamps with and without hours, cue settings,
    styling tags, entities, multi-line cues, and one cue that already names a voice.

    Returns (text, cue_first_text_lines): the file and, per turn, its first text line."""
    out = ["WEBVTT - planning call", "Kind: captions", "Language: en", "",
           "STYLE", "::cue(.loud) { font-weight: bold; }", "::cue(v) { color: yellow; }", "",
           "REGION", "id:lower", "width:60%", "regionanchor:0%,100%", "",
           "NOTE", "Ten turns of two voices,", "written for the test.", ""]
    first_lines = []
    for i, turn in enumerate(turns):
        words = turn["text"].split(" ")
        half = len(words) // 2
        if i % 3 == 0:
            out.append(f"turn-{turn['statement_id']}")
        settings = ["", " align:start position:10%", " region:lower line:90%", " size:80% vertical:rl"][i % 4]
        out.append(f"{vtt_time(turn['start_s'], i % 2 == 0)} --> {vtt_time(turn['end_s'], i % 2 == 0)}{settings}")
        if i == 4:
            lines = [f"<v.loud Narrator>{' '.join(words[:half])}</v>", " ".join(words[half:])]
        elif i % 4 == 1:
            lines = [f"<i>{' '.join(words[:half])}</i>", f"<c.loud>{' '.join(words[half:])}</c> &amp; more"]
        elif i % 4 == 2:
            lines = [" ".join(words[:3]), " ".join(words[3:half]), f"<b>{' '.join(words[half:])}</b>"]
        else:
            lines = [f"<u>{turn['text']}</u> <00:00:01.000><c>later</c>"]
        out.extend(lines)
        first_lines.append(lines[0])
        out.append("")
        if i == 5:
            out.extend(["NOTE a note between two cues", ""])
    return "\n".join(out) + "\n", first_lines


def styled_srt(turns, newline="\n"):
    """An SRT file of the turns with italics, font colours, a position override, multi-line cues and
    one cue that carries a speaker prefix of an earlier run. Returns (text, first_text_lines)."""
    out = []
    first_lines = []
    for i, turn in enumerate(turns):
        words = turn["text"].split(" ")
        half = len(words) // 2
        out.append(str(i + 1))
        out.append(f"{srt_time(turn['start_s'])} --> {srt_time(turn['end_s'])}" + (" X1:40 X2:600 Y1:20 Y2:50"
                                                                                    if i == 3 else ""))
        if i % 3 == 0:
            lines = [f"<i>{' '.join(words[:half])}</i>", " ".join(words[half:])]
        elif i % 3 == 1:
            lines = ["{\\an8}" + f'<font color="#ffff00">{turn["text"]}</font>']
        else:
            lines = [("Speaker 7: " if i == 2 else "") + " ".join(words[:half]), " ".join(words[half:]), "..."]
        out.extend(lines)
        first_lines.append(lines[0])
        out.append("")
    return newline.join(out) + newline, first_lines
