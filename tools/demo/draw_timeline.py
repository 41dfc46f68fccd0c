#!/usr/bin/python3
"""Draws an analyze response ("quillfen-speaker-analyze-response-v1") as a timeline picture.

Usage:
  draw_timeline.py RESPONSE.json OUT.svg [--request REQUEST.json] [--audio AUDIO.f32]
                   [--truth TRUTH.json|TRUTH.rttm [--file-id ID]] [--discovery DISCOVERY.json]
                   [--title TEXT]

Rows, top to bottom (a row is left out when its data is missing):
  waveform     loudness envelope of the audio (--audio, or the request's full audio when readable)
  truth        the reference speaker turns (--truth): the demo's truth file or an RTTM file
               (--file-id picks the recording when the RTTM file holds several)
  windows      per segmentation window: speech frames (of 589) and overlap frames, drawn at the
               window's centre, with its active slot count underneath
  intervals    speaker intervals, coloured by cluster; intervals that yielded no embedding in grey
  statements   the diarization statements with their speaker label (cluster + 1), or "-" for none
  discovery    the statement embeddings coloured by their discovery-cluster label (--discovery)

Writes OUT.svg with plain Python; when `rsvg-convert` is installed, also OUT.png beside it.
Needs only the standard library.
"""

import argparse
import json
import os
import shutil
import struct
import subprocess
import sys
from xml.sax.saxutils import escape

from rttm import RttmError, looks_like_rttm, read_rttm_turns

SAMPLE_RATE = 16000
WINDOW_SAMPLES = 160000
WINDOW_STRIDE = 32000
WINDOW_FRAMES = 589

PALETTE = ["#1f77b4", "#e4572e", "#2ca02c", "#9467bd", "#ff9f1c", "#17becf", "#8c564b", "#e377c2"]
OVERLAP_COLOUR = "#d62728"
SPEECH_COLOUR = "#7f9fbf"
NONE_COLOUR = "#c8c8c8"
TEXT_COLOUR = "#222222"

WIDTH = 1400
LEFT = 150
RIGHT = 30


def window_starts(total_samples):
    """Start offsets of the segmentation windows, in samples."""
    starts = []
    s = 0
    while s + WINDOW_SAMPLES <= total_samples:
        starts.append(s)
        s += WINDOW_STRIDE
    final = total_samples - WINDOW_SAMPLES if total_samples >= WINDOW_SAMPLES else 0
    if not starts or starts[-1] != final:
        starts.append(final)
    return starts


def read_audio(path):
    with open(path, "rb") as f:
        data = f.read()
    count = len(data) // 4
    return struct.unpack("<%df" % count, data[:count * 4])


def read_truth(path, file_id=None):
    """Reference turns {"turns": [...]} from the demo's truth file or from an RTTM file."""
    if looks_like_rttm(path):
        return {"turns": read_rttm_turns(path, file_id)}
    if file_id:
        raise RttmError(f"{path} is not an RTTM file; --file-id goes with an RTTM file")
    try:
        with open(path) as f:
            truth = json.load(f)
    except ValueError:
        truth = None
    if not isinstance(truth, dict) or not isinstance(truth.get("turns"), list):
        raise RttmError(f"{path}: --truth takes the demo's truth file (a JSON object with \"turns\") "
                        "or an RTTM file (SPEAKER lines)")
    return truth


def colour(label):
    return NONE_COLOUR if label is None else PALETTE[label % len(PALETTE)]


class Svg:
    def __init__(self, width):
        self.width = width
        self.parts = []
        self.y = 0

    def rect(self, x, y, w, h, fill, title=None, stroke=None, opacity=None, dash=False):
        attrs = f'x="{x:.2f}" y="{y:.2f}" width="{max(w, 0.5):.2f}" height="{h:.2f}" fill="{fill}"'
        if stroke:
            attrs += f' stroke="{stroke}" stroke-width="1"'
            if dash:
                attrs += ' stroke-dasharray="4,3"'
        if opacity is not None:
            attrs += f' fill-opacity="{opacity}"'
        if title:
            self.parts.append(f"<rect {attrs}><title>{escape(title)}</title></rect>")
        else:
            self.parts.append(f"<rect {attrs}/>")

    def line(self, x1, y1, x2, y2, stroke="#999999", width=1, dash=False):
        extra = ' stroke-dasharray="3,3"' if dash else ""
        self.parts.append(f'<line x1="{x1:.2f}" y1="{y1:.2f}" x2="{x2:.2f}" y2="{y2:.2f}" '
                          f'stroke="{stroke}" stroke-width="{width}"{extra}/>')

    def text(self, x, y, s, size=12, anchor="start", fill=TEXT_COLOUR, weight="normal"):
        self.parts.append(f'<text x="{x:.2f}" y="{y:.2f}" font-size="{size}" text-anchor="{anchor}" '
                          f'font-weight="{weight}" fill="{fill}">{escape(str(s))}</text>')

    def polygon(self, points, fill):
        pts = " ".join(f"{x:.2f},{y:.2f}" for x, y in points)
        self.parts.append(f'<polygon points="{pts}" fill="{fill}"/>')

    def render(self):
        head = (f'<svg xmlns="http://www.w3.org/2000/svg" width="{self.width}" height="{self.y}" '
                f'viewBox="0 0 {self.width} {self.y}" font-family="DejaVu Sans, Arial, sans-serif">')
        return "\n".join([head, f'<rect width="{self.width}" height="{self.y}" fill="white"/>',
                          *self.parts, "</svg>"]) + "\n"


def dash(value):
    return "-" if value is None else value


def fmt(value, digits=3):
    return "null" if value is None else f"{value:.{digits}f}"


def draw(response, out_svg, request=None, audio=None, truth=None, discovery=None, title=None):
    pyannote = response.get("pyannote") or {}
    stats = pyannote.get("window_stats") or []
    evidence = response.get("evidence") or {}
    diar = response.get("diarization") or {}
    inputs = response.get("inputs") or {}
    diar_inputs = inputs.get("diarization") or {}
    spans = diar_inputs.get("spans") or []
    span_ids = diar_inputs.get("statement_ids") or []
    stmt = response.get("statement_embeddings") or {}

    # Length of the recording: from the audio when known, else from everything the response places.
    if audio is not None:
        total_samples = len(audio)
    elif truth and "samples" in truth:
        total_samples = int(truth["samples"])
    else:
        ends = [10.0 + 2.0 * max(len(stats) - 1, 0)]
        for iv in diar.get("intervals") or []:
            ends.append(iv.get("end_s") or 0.0)
        for s, e in spans:
            ends.append(e or s or 0.0)
        total_samples = int(max(ends) * SAMPLE_RATE)
    duration = max(total_samples / SAMPLE_RATE, 1e-3)
    span_w = WIDTH - LEFT - RIGHT

    def x_of(t):
        return LEFT + span_w * min(max(t, 0.0), duration) / duration

    svg = Svg(WIDTH)
    y = 28
    heading = title or "Speaker analysis timeline"
    svg.text(LEFT, y, heading, size=18, weight="bold")
    y += 22
    ev = evidence.get("speaker_evidence")
    summary = (f"evidence: {ev}  |  multi-window fraction {fmt(evidence.get('multi_window_fraction'))}  |  "
               f"mean window overlap share {fmt(evidence.get('mean_window_overlap_share'))}  |  "
               f"overlap fraction {fmt(evidence.get('overlap_fraction'))}")
    svg.text(LEFT, y, summary, size=13)
    y += 18
    summary2 = (f"statements embedded: {dash(stmt.get('admitted_count'))} "
                f"(skipped {dash(stmt.get('skipped_count'))})  |  "
                f"intervals: {len(diar['intervals']) if diar.get('intervals') is not None else 'not run'}  |  "
                f"valid: {len(diar['valid_intervals']) if diar.get('valid_intervals') is not None else '-'}  |  "
                f"silhouette k: {dash(diar.get('silhouette_k'))}  |  effective k: {dash(diar.get('effective_k'))}")
    svg.text(LEFT, y, summary2, size=13)
    y += 22
    top_of_rows = y

    def row_label(yy, h, label, sub=None):
        svg.text(LEFT - 10, yy + h / 2 + (0 if sub else 4), label, size=13, anchor="end", weight="bold")
        if sub:
            svg.text(LEFT - 10, yy + h / 2 + 15, sub, size=10, anchor="end", fill="#666666")

    # Waveform envelope.
    if audio is not None and len(audio) > 0:
        h = 70
        row_label(y, h, "waveform")
        columns = int(span_w)
        per = max(1, len(audio) // columns)
        mid = y + h / 2
        peaks = []
        for c in range(columns):
            chunk = audio[c * per:(c + 1) * per]
            peaks.append(max((abs(v) for v in chunk), default=0.0))
        top = max(peaks) or 1.0
        pts = [(LEFT + c, mid - (h / 2 - 2) * p / top) for c, p in enumerate(peaks)]
        pts += [(LEFT + c, mid + (h / 2 - 2) * p / top) for c, p in reversed(list(enumerate(peaks)))]
        svg.polygon(pts, "#8a8a8a")
        y += h + 14

    # Reference turns, one lane per voice.
    if truth:
        voices = sorted({t["voice"] for t in truth.get("turns", [])})
        lane = 13
        h = lane * max(len(voices), 2)
        row_label(y, h, "truth", "reference turns")
        for t in truth.get("turns", []):
            vi = voices.index(t["voice"])
            x0, x1 = x_of(t["start_s"]), x_of(t["end_s"])
            yy = y + lane * vi
            svg.rect(x0, yy, x1 - x0, lane, "#555555" if vi % 2 == 0 else "#b0b0b0",
                     title=f"turn {t['statement_id']} voice {t['voice']}: {t['start_s']}-{t['end_s']} s")
            svg.text(x0 + 3, yy + lane - 3, t["voice"], size=10,
                     fill="white" if vi % 2 == 0 else TEXT_COLOUR)
        y += h + 14

    # Window statistics.
    if stats:
        h = 90
        row_label(y, h, "windows", "speech / overlap")
        base = y + h
        svg.line(LEFT, base, LEFT + span_w, base, stroke="#bbbbbb")
        svg.line(LEFT, y, LEFT + span_w, y, stroke="#eeeeee")
        svg.text(LEFT - 10, y + 8, "589", size=9, anchor="end", fill="#666666")
        starts = window_starts(total_samples)
        bar_w = max(3.0, span_w * 1.4 / duration)
        for w, st in enumerate(stats):
            start = starts[w] if w < len(starts) else w * WINDOW_STRIDE
            centre = (start + WINDOW_SAMPLES / 2) / SAMPLE_RATE
            cx = x_of(centre)
            sp = st.get("speech_frames", 0)
            ov = st.get("overlap_frames", 0)
            slots = st.get("active_slot_count", 0)
            tip = (f"window {w}: {start / SAMPLE_RATE:.2f}-{(start + WINDOW_SAMPLES) / SAMPLE_RATE:.2f} s, "
                   f"speech {sp}, overlap {ov}, active slots {slots}")
            hs = h * sp / WINDOW_FRAMES
            ho = h * ov / WINDOW_FRAMES
            svg.rect(cx - bar_w / 2, base - hs, bar_w, hs, SPEECH_COLOUR, title=tip)
            if ov:
                svg.rect(cx - bar_w / 2, base - ho, bar_w, ho, OVERLAP_COLOUR, title=tip)
            svg.text(cx, base + 12, str(slots), size=9, anchor="middle",
                     fill="#000000" if slots >= 2 else "#888888")
        svg.text(LEFT + span_w, base + 24, "digits: active slots per window (bars at window centres)",
                 size=9, anchor="end", fill="#666666")
        y += h + 32

    # Speaker intervals.
    intervals = diar.get("intervals")
    h = 30
    row_label(y, h, "intervals", "cluster")
    if intervals is None:
        svg.text(LEFT + 6, y + h / 2 + 4, f"diarization not run (evidence {ev})", size=12, fill="#666666")
    elif not intervals:
        svg.text(LEFT + 6, y + h / 2 + 4, "no speaker interval found", size=12, fill="#666666")
    else:
        valid = diar.get("valid_intervals") or []
        labels = diar.get("cluster_labels") or []
        # Row of each interval among the valid ones: from the payload's interval indices when the
        # response has them, else by matching the interval's values.
        payload = diar.get("interval_embeddings") or {}
        if payload.get("interval_indices") is not None:
            valid_row = {index: row for row, index in enumerate(payload["interval_indices"])}
        else:
            keys = {(v.get("start_s"), v.get("end_s"), v.get("local_class")): row
                    for row, v in enumerate(valid)}
            valid_row = {i: keys.get((iv.get("start_s"), iv.get("end_s"), iv.get("local_class")))
                         for i, iv in enumerate(intervals)}
        for i, iv in enumerate(intervals):
            x0, x1 = x_of(iv.get("start_s") or 0.0), x_of(iv.get("end_s") or 0.0)
            vi = valid_row.get(i)
            lab = labels[vi] if vi is not None and vi < len(labels) else None
            tip = (f"{iv.get('start_s'):.2f}-{iv.get('end_s'):.2f} s, slot {iv.get('local_class')}, "
                   + (f"cluster {lab}" if lab is not None else "no embedding"))
            svg.rect(x0, y, x1 - x0, h, colour(lab), title=tip, stroke="#ffffff")
            if x1 - x0 > 18 and lab is not None:
                svg.text((x0 + x1) / 2, y + h / 2 + 4, str(lab), size=11, anchor="middle", fill="white")
    y += h + 14

    # Statements with their labels.
    statement_labels = diar.get("statement_labels")
    h = 40
    row_label(y, h, "statements", "label")
    for i, span in enumerate(spans):
        s, e = span
        if s is None or e is None:
            continue
        lab = statement_labels[i] if statement_labels is not None and i < len(statement_labels) else None
        x0, x1 = x_of(s), x_of(e)
        sid = span_ids[i] if i < len(span_ids) else i
        tip = f"statement {sid}: {s:.2f}-{e:.2f} s, label {lab if lab is not None else 'none'}"
        yy = y + (0 if i % 2 == 0 else h / 2)
        svg.rect(x0, yy, x1 - x0, h / 2 - 1, colour(None if lab is None else lab - 1), title=tip,
                 stroke="#333333", opacity=0.85)
        if x1 - x0 > 30:
            svg.text((x0 + x1) / 2, yy + h / 4 + 4,
                     f"#{sid}: {lab if lab is not None else '-'}", size=11, anchor="middle",
                     fill="white" if lab is not None else TEXT_COLOUR)
    y += h + 14

    # Discovery labels of the statement embeddings.
    if discovery is not None:
        h = 40
        row_label(y, h, "discovery", "statement payload")
        dlabels = discovery.get("labels") or []
        ids = stmt.get("statement_ids") or []
        times = {}
        for sid, (s, e) in zip(span_ids, spans):
            times.setdefault(sid, (s, e))
        for row, sid in enumerate(ids):
            if row >= len(dlabels) or sid not in times:
                continue
            s, e = times[sid]
            if s is None or e is None:
                continue
            lab = dlabels[row]
            x0, x1 = x_of(s), x_of(e)
            yy = y + (0 if row % 2 == 0 else h / 2)
            svg.rect(x0, yy, x1 - x0, h / 2 - 1, colour(None if lab < 0 else lab), stroke="#333333",
                     dash=lab < 0, title=f"statement {sid}: discovery label {lab}")
            if x1 - x0 > 30:
                svg.text((x0 + x1) / 2, yy + h / 4 + 4, f"#{sid}: {lab if lab >= 0 else 'noise'}",
                         size=11, anchor="middle", fill="white" if lab >= 0 else TEXT_COLOUR)
        y += h + 14

    # Time axis.
    svg.line(LEFT, y, LEFT + span_w, y, stroke="#444444")
    step = next((s for limit, s in ((15, 1), (90, 5), (240, 10), (900, 30)) if duration <= limit), 60)
    t = 0
    while t <= duration + 1e-9:
        xx = x_of(t)
        svg.line(xx, y, xx, y + 5, stroke="#444444")
        svg.line(xx, top_of_rows, xx, y, stroke="#eeeeee")
        svg.text(xx, y + 18, f"{t:g} s", size=11, anchor="middle")
        t += step
    y += 34

    # Legend.
    lx = LEFT
    used = sorted({l for l in (diar.get("cluster_labels") or [])})
    for lab in used:
        svg.rect(lx, y - 10, 14, 12, colour(lab))
        svg.text(lx + 18, y, f"cluster {lab} (label {lab + 1})", size=11)
        lx += 150
    svg.rect(lx, y - 10, 14, 12, SPEECH_COLOUR)
    svg.text(lx + 18, y, "speech frames", size=11)
    lx += 120
    svg.rect(lx, y - 10, 14, 12, OVERLAP_COLOUR)
    svg.text(lx + 18, y, "overlap frames", size=11)
    lx += 125
    svg.rect(lx, y - 10, 14, 12, NONE_COLOUR)
    svg.text(lx + 18, y, "no label / no embedding", size=11)
    y += 16
    svg.y = y

    with open(out_svg, "w") as f:
        f.write(svg.render())
    written = [out_svg]
    if shutil.which("rsvg-convert"):
        png = os.path.splitext(out_svg)[0] + ".png"
        subprocess.run(["rsvg-convert", "-o", png, out_svg], check=True)
        written.append(png)
    return written


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("response")
    parser.add_argument("out_svg")
    parser.add_argument("--request", help="the analyze request; its full audio is read when readable")
    parser.add_argument("--audio", help="raw float32 little-endian mono audio at 16 kHz")
    parser.add_argument("--truth", help="reference turns: the demo truth file (JSON) or an RTTM file")
    parser.add_argument("--file-id", help="with an RTTM --truth: the recording's file id (second field)")
    parser.add_argument("--discovery", help="discovery-cluster response for the statement payload")
    parser.add_argument("--title")
    args = parser.parse_args()

    with open(args.response) as f:
        response = json.load(f)
    if response.get("schema") != "quillfen-speaker-analyze-response-v1":
        print(f"{args.response}: not an analyze response (schema {response.get('schema')!r})",
              file=sys.stderr)
        return 1
    audio_path = args.audio
    if audio_path is None and args.request:
        with open(args.request) as f:
            candidate = json.load(f).get("full_audio_f32le_path")
        if candidate and os.path.isfile(candidate):
            audio_path = candidate
    audio = read_audio(audio_path) if audio_path else None
    truth = None
    if args.truth:
        try:
            truth = read_truth(args.truth, args.file_id)
        except RttmError as error:
            parser.error(str(error))
    elif args.file_id:
        parser.error("--file-id goes with an RTTM file as --truth")
    discovery = None
    if args.discovery:
        with open(args.discovery) as f:
            discovery = json.load(f)
    for path in draw(response, args.out_svg, audio=audio, truth=truth, discovery=discovery, title=args.title):
        print(path)
    return 0


if __name__ == "__main__":
    sys.exit(main())
