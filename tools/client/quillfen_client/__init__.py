"""Reference client of the speaker-analysis engine `quillfen-core-speakers-analyze`.

Transcripts: WebVTT and SRT files read into cues and written back with a speaker on each cue.
"""

from .errors import ClientError
from .transcript import Cue, Transcript, TranscriptError, TranscriptNote, parse_transcript, read_transcript

__all__ = ["ClientError", "Cue", "Transcript", "TranscriptError", "TranscriptNote", "parse_transcript",
           "read_transcript"]
