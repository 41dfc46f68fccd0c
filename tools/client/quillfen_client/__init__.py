"""The transcript client of the speaker-analysis engine `quillfen-core-speakers-analyze`.

Who said which line of a transcript, and which voices recur across recordings. The client reaches
the engine through its wire protocol only: it runs the executable with one JSON request on standard
input and reads its one line back. Standard library only; numpy is used when installed to read
payloads as arrays (numpy=False gives lists of rows).

An example on the demo recording and models that `scripts/demo` writes into out/demo/ of the source
tree (run it there; it writes demo.f32 and labelled/):

    >>> import quillfen_client as qc
    >>> qc.convert_audio("out/demo/demo-audio.wav", "demo.f32")   # any recording sox reads
    >>> engine = qc.Engine(timeout_s=600)   # the engine installed beside this package, or Engine(PATH)
    >>> result = engine.analyze("demo.f32", [qc.Span(1, 0.8, 4.45), qc.Span(2, 5.15, 8.61)],
    ...                         "out/demo/models/demo-segmentation.onnx", "out/demo/models/demo-embedding.onnx")
    >>> result
    <AnalyzeResult multi, 2 speakers, 2 statements, 2 embedded>
    >>> result.statement_labels()           # the speaker (cluster + 1) of each statement, by id
    {1: 1, 2: 2}
    >>> result.statement_embeddings
    <StatementEmbeddings 2 embedded, 0 skipped, rows 2 x 256>
    >>> outcome = qc.label_transcript("out/demo/demo-audio.wav", "out/demo/demo.vtt",
    ...     "out/demo/models/demo-segmentation.onnx", "out/demo/models/demo-embedding.onnx", "labelled")
    >>> outcome
    <LabelOutcome demo.vtt: 2 speakers found; labelled 10 of 10 cues>
    >>> outcome.files["transcript"]
    'labelled/demo.labelled.vtt'
    >>> qc.find_speakers("labelled")
    <SpeakerReport 1 recordings, 2 voices (0 recurring), 0 noise>

Errors are `ClientError`s: `EngineError` (the engine's own error line: `reason`, `detail`,
`exit_status`, and `retryable`), `EngineCrashed` and `EngineTimeout`, `TranscriptError` (with the
line), `InvalidArgument` (an argument that cannot be used, raised before anything runs; also a
ValueError), and the others listed in `__all__`.

Commands: quillfen-label-transcript and quillfen-find-speakers (installed), scripts/label-transcript
and scripts/find-speakers (in the source tree), or python3 -m quillfen_client COMMAND; --help says
the rest.
"""

from .audio import AudioConversionError, ConversionTimeout, convert_audio
from .engine import (AnalyzeResult, Deadline, Diarization, DiscoveryResult, Engine, EngineCrashed, EngineError,
                     EngineNotFound, EngineTimeout, Evidence, Interval, Span, StatementEmbeddings, WindowStats,
                     locate_engine, private_temp_dir)
from .errors import ClientError, InputError, InvalidArgument, OutputError, ToolMissing
from .label import LabelOutcome, label_transcript
from .payload import PayloadError, read_payload, unit_rows, write_payload
from .speakers import BrokenResult, SpeakerReport, find_speakers, format_report
from .transcript import Cue, Transcript, TranscriptError, TranscriptNote, parse_transcript, read_transcript

__all__ = [
    "AnalyzeResult", "AudioConversionError", "BrokenResult", "ClientError", "ConversionTimeout", "Cue", "Deadline",
    "Diarization",
    "DiscoveryResult", "Engine", "EngineCrashed", "EngineError", "EngineNotFound", "EngineTimeout", "Evidence",
    "InputError", "Interval", "InvalidArgument", "LabelOutcome", "OutputError", "PayloadError", "Span",
    "SpeakerReport", "StatementEmbeddings", "ToolMissing", "Transcript", "TranscriptError", "TranscriptNote",
    "WindowStats", "convert_audio", "find_speakers", "format_report", "label_transcript", "locate_engine",
    "parse_transcript", "private_temp_dir", "read_payload", "read_transcript", "unit_rows", "write_payload",
]
