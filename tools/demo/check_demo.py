#!/usr/bin/python3
"""Checks the demo's result against its ground truth and prints a per-statement table.

Usage: check_demo.py TRUTH.json RESPONSE.json [DISCOVERY.json]

The demo passes when:
  - the speaker evidence is "multi";
  - the diarization settled on two clusters ("effective_k" 2);
  - every statement has a speaker label, all statements of voice A share one label, all statements
    of voice B share the other;
  - with a discovery-cluster response: no discovered cluster holds statements of both voices
    (statements left as noise, -1, are allowed and reported).
Exit status 0 on success, 1 otherwise.
"""

import json
import sys


def main():
    if len(sys.argv) not in (3, 4):
        print(__doc__, file=sys.stderr)
        return 64
    with open(sys.argv[1]) as f:
        truth = json.load(f)
    with open(sys.argv[2]) as f:
        response = json.load(f)
    discovery = None
    if len(sys.argv) == 4:
        with open(sys.argv[3]) as f:
            discovery = json.load(f)

    voice_of = {t["statement_id"]: t["voice"] for t in truth["turns"]}
    diar = response["diarization"]
    ids = response["inputs"]["diarization"]["statement_ids"]
    spans = response["inputs"]["diarization"]["spans"]
    labels = diar.get("statement_labels") or [None] * len(ids)
    disc_of = {}
    if discovery is not None:
        payload_ids = response["statement_embeddings"]["statement_ids"]
        disc_of = dict(zip(payload_ids, discovery["labels"]))

    print(f"{'statement':>9}  {'voice':>5}  {'start_s':>8}  {'end_s':>8}  {'speaker label':>13}"
          + (f"  {'discovery label':>15}" if discovery is not None else ""))
    for sid, (start, end), label in zip(ids, spans, labels):
        line = (f"{sid:>9}  {voice_of.get(sid, '?'):>5}  {start:>8.2f}  {end:>8.2f}  "
                f"{'-' if label is None else label:>13}")
        if discovery is not None:
            d = disc_of.get(sid)
            line += f"  {'-' if d is None else d:>15}"
        print(line)

    failures = []
    evidence = response["evidence"]["speaker_evidence"]
    if evidence != "multi":
        failures.append(f'speaker evidence is "{evidence}", expected "multi"')
    if diar.get("effective_k") != 2:
        failures.append(f"effective_k is {diar.get('effective_k')}, expected 2")
    by_voice = {}
    for sid, label in zip(ids, labels):
        by_voice.setdefault(voice_of.get(sid), set()).add(label)
    for voice in sorted(v for v in by_voice if v is not None):
        found = by_voice[voice]
        if None in found:
            failures.append(f"a statement of voice {voice} has no speaker label")
        if len(found - {None}) > 1:
            failures.append(f"statements of voice {voice} carry different labels {sorted(found - {None})}")
    voice_labels = [next(iter(v)) for v in by_voice.values() if len(v) == 1 and None not in v]
    if len(voice_labels) == len(by_voice) and len(set(voice_labels)) != len(voice_labels):
        failures.append("both voices carry the same label")

    if discovery is not None:
        voices_in = {}
        for sid, d in disc_of.items():
            if d >= 0:
                voices_in.setdefault(d, set()).add(voice_of.get(sid))
        mixed = sorted(c for c, v in voices_in.items() if len(v) > 1)
        if mixed:
            failures.append(f"discovery clusters {mixed} hold statements of both voices")
        noise = sum(1 for d in disc_of.values() if d < 0)
        print(f"discovery: {discovery.get('cluster_count')} clusters, {noise} noise statements")

    print(f"evidence: {evidence}, silhouette_k {diar.get('silhouette_k')}, "
          f"effective_k {diar.get('effective_k')}")
    if failures:
        for failure in failures:
            print(f"CHECK FAILED: {failure}")
        return 1
    print("CHECK PASSED: two voices found, every statement labelled with its own voice's speaker")
    return 0


if __name__ == "__main__":
    sys.exit(main())
