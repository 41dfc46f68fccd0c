"""Reference client of the speaker-analysis engine `quillfen-core-speakers-analyze`.

It reaches the engine through its wire protocol only: it runs the executable with one JSON request
on standard input and reads its one line back. Standard library only; numpy is used when installed
to read payloads as arrays (pass numpy=False for lists of rows).

    from quillfen_client import Engine, EngineError, label_transcript, find_speakers

    engine = Engine(timeout_s=600)              # looks for the engine; Engine("/path/to/it") to choose
    result = engine.analyze("rec.f32", [(1, 0.0, 2.5), (2, 3.0, 6.0)], "seg.onnx", "emb.onnx")
    result.evidence.speaker_evidence            # "none", "single" or "multi"
    result.statement_labels()                   # {1: 1, 2: 2}: speaker (cluster + 1) by statement id
    result.statement_embeddings.rows            # float32 [admitted, 256] (numpy) or list of rows

Commands (python3 -m quillfen_client COMMAND, or scripts/COMMAND in the checkout):
    label-transcript AUDIO TRANSCRIPT --segmentation SEG.onnx --embedding EMB.onnx --out DIR [--engine PATH]
    find-speakers DIR... [--json]
"""

from .audio import AudioConversionError, ConversionTimeout, convert_audio
from .engine import (AnalyzeResult, Deadline, Diarization, DiscoveryResult, Engine, EngineCrashed, EngineError,
                     EngineNotFound, EngineTimeout, Evidence, Interval, Span, StatementEmbeddings, WindowStats,
                     locate_engine, private_temp_dir)
from .errors import ClientError, InputError, InvalidArgument, OutputError, ToolMissing
from .label import LabelOutcome, label_transcript
from .payload import PayloadError, read_payload, unit_rows, write_payload
from .speakers import SpeakerReport, find_speakers, format_report
from .transcript import Cue, Transcript, TranscriptError, TranscriptNote, parse_transcript, read_transcript

__all__ = [
    "AnalyzeResult", "AudioConversionError", "ClientError", "ConversionTimeout", "Cue", "Deadline", "Diarization",
    "DiscoveryResult", "Engine", "EngineCrashed", "EngineError", "EngineNotFound", "EngineTimeout", "Evidence",
    "InputError", "Interval", "InvalidArgument", "LabelOutcome", "OutputError", "PayloadError", "Span",
    "SpeakerReport", "StatementEmbeddings", "ToolMissing", "Transcript", "TranscriptError", "TranscriptNote",
    "WindowStats", "convert_audio", "find_speakers", "format_report", "label_transcript", "locate_engine",
    "parse_transcript", "private_temp_dir", "read_payload", "read_transcript", "unit_rows", "write_payload",
]
