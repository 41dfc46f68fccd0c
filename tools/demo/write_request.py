#!/usr/bin/python3
"""Writes an analyze request ("quillfen-speaker-analyze-request-v1") for one recording.

The statements come from one of:
  --truth FILE   a demo truth file (make_demo_audio.py): one statement per turn
  --rttm FILE    an RTTM file: one statement per SPEAKER line of the recording, numbered from 1
                 in time order; --file-id ID picks the recording (the second field) when the
                 file holds several
  --spans FILE   a JSON array of {"statement_id": int, "start_s": float, "end_s": float}
The same statements, with the same ids, go to both "statement_embedding" and "diarization".
Paths are written as absolute paths, so the engine may be started from any directory.

Example:
  write_request.py --audio rec.f32 --rttm rec.rttm --file-id rec --segmentation seg.onnx \\
      --embedding emb.onnx --statements-out out/statements.f32 --intervals-out out/intervals.f32 \\
      -o out/request.json
"""

import argparse
import json
import os
import sys

from rttm import RttmError, read_rttm_turns

REQUEST_SCHEMA = "quillfen-speaker-analyze-request-v1"


def spans_from_truth(path):
    with open(path) as f:
        turns = json.load(f)["turns"]
    return [{"statement_id": t["statement_id"], "start_s": t["start_s"], "end_s": t["end_s"]} for t in turns]


def spans_from_rttm(path, file_id=None):
    return [{key: turn[key] for key in ("statement_id", "start_s", "end_s")}
            for turn in read_rttm_turns(path, file_id)]


def spans_from_json(path):
    with open(path) as f:
        spans = json.load(f)
    return [{"statement_id": int(s["statement_id"]), "start_s": s.get("start_s"), "end_s": s.get("end_s")}
            for s in spans]


def build_request(audio, segmentation, embedding, statements_out, intervals_out, spans, reduced=None):
    request = {
        "schema": REQUEST_SCHEMA,
        "sample_rate_hz": 16000,
        "full_audio_f32le_path": os.path.abspath(audio),
        "output_payload_f32le_path": os.path.abspath(statements_out),
        "models": {
            "pyannote_segmentation_onnx_path": os.path.abspath(segmentation),
            "wespeaker_onnx_path": os.path.abspath(embedding),
        },
        "statement_embedding": {"spans": spans},
        "diarization": {"spans": spans},
    }
    if reduced:
        request["reduced_audio_f32le_path"] = os.path.abspath(reduced)
    if intervals_out:
        request["interval_embedding_payload_f32le_path"] = os.path.abspath(intervals_out)
    return request


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--audio", required=True, help="raw float32 little-endian mono audio at 16 kHz")
    parser.add_argument("--reduced-audio", help="optional second audio file the statements are cut from")
    parser.add_argument("--segmentation", required=True, help="segmentation ONNX model")
    parser.add_argument("--embedding", required=True, help="embedding ONNX model")
    parser.add_argument("--statements-out", required=True,
                        help="where the engine writes statement embeddings")
    parser.add_argument("--intervals-out", help="where the engine writes interval embeddings")
    source = parser.add_mutually_exclusive_group(required=True)
    source.add_argument("--truth")
    source.add_argument("--rttm")
    source.add_argument("--spans")
    parser.add_argument("--file-id", help="with --rttm: the recording's file id (second field)")
    parser.add_argument("-o", "--output", help="request file (default: standard output)")
    args = parser.parse_args()
    if args.file_id and not args.rttm:
        parser.error("--file-id goes with --rttm")

    if args.truth:
        spans = spans_from_truth(args.truth)
    elif args.rttm:
        try:
            spans = spans_from_rttm(args.rttm, args.file_id)
        except RttmError as error:
            parser.error(str(error))
    else:
        spans = spans_from_json(args.spans)
    request = build_request(args.audio, args.segmentation, args.embedding, args.statements_out,
                            args.intervals_out, spans, args.reduced_audio)
    text = json.dumps(request, indent=2) + "\n"
    if args.output:
        with open(args.output, "w") as f:
            f.write(text)
    else:
        sys.stdout.write(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
