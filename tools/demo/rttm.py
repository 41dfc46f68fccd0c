"""Speaker turns from RTTM files, shared by write_request.py and draw_timeline.py.

An RTTM file holds one line per speaker turn:
  SPEAKER <file id> <channel> <start s> <duration s> <NA> <NA> <speaker> <NA> <NA>
and may hold the turns of several recordings, told apart by the file id (second field).
"""


class RttmError(ValueError):
    pass


def read_rttm_turns(path, file_id=None):
    """The turns of one recording, ordered by start then end time, as dicts with "statement_id"
    (numbered from 1 in that order), "voice" (the speaker name), "start_s" and "end_s" (rounded to
    microseconds). file_id picks the recording; it may be left out when the file holds only one."""
    by_file = {}
    with open(path) as f:
        for number, line in enumerate(f, 1):
            fields = line.split()
            if not fields or fields[0] != "SPEAKER":
                continue
            if len(fields) < 8:
                raise RttmError(f"{path}:{number}: a SPEAKER line needs at least 8 fields")
            start, duration = float(fields[3]), float(fields[4])
            by_file.setdefault(fields[1], []).append((start, start + duration, fields[7]))
    if not by_file:
        raise RttmError(f"{path}: no SPEAKER lines")
    if file_id is None:
        if len(by_file) > 1:
            raise RttmError(f"{path} holds the recordings {', '.join(sorted(by_file))}; "
                            "choose one with --file-id")
        file_id = next(iter(by_file))
    if file_id not in by_file:
        raise RttmError(f"{path} has no recording {file_id!r}; it holds {', '.join(sorted(by_file))}")
    turns = sorted(by_file[file_id])
    return [{"statement_id": i + 1, "voice": voice, "start_s": round(s, 6), "end_s": round(e, 6)}
            for i, (s, e, voice) in enumerate(turns)]


def looks_like_rttm(path):
    """True when the file's first non-blank line is a SPEAKER line."""
    with open(path, errors="replace") as f:
        for line in f:
            if line.strip():
                return line.split()[0] == "SPEAKER"
    return False
