"""The client's Python API: typed results with short reprs and the help() example, arguments checked
before the engine runs, the engine's errors as typed exceptions with its exact reason (and whether a
retry may help), processes that end without their line, the time limit, the private temporary
directory, and where the engine is looked for."""

import doctest
import os
import re
import shutil
import stat
import subprocess
import time
import unittest

from client_support import (DATA, EMBEDDING, ENGINE, SEGMENTATION, SOURCE_DIR, ScratchTestCase,
                            assert_process_ends, recording, stopped_after_noting_its_child, truth,
                            write_demo_tree)

from quillfen_client import (AudioConversionError, Engine, EngineCrashed, EngineError, EngineNotFound, EngineTimeout,
                             InputError, InvalidArgument, OutputError, Span, convert_audio, find_speakers,
                             label_transcript, locate_engine)
import quillfen_client
from quillfen_client.payload import numpy_available

AUDIO = os.path.join(DATA, "demo-audio.f32")


def spans():
    return [Span(t["statement_id"], t["start_s"], t["end_s"]) for t in truth("demo")]


class EngineTestCase(ScratchTestCase):
    def fake_engine(self, name, body):
        path = self.write(name, "#!/bin/sh\n" + body + "\n")
        os.chmod(path, 0o755)
        return path


class AnalyzeTest(EngineTestCase):
    def test_results_are_typed_and_payloads_read_as_rows(self):
        engine = Engine(ENGINE, timeout_s=120)
        keep = self.path("kept")
        result = engine.analyze(AUDIO, spans(), SEGMENTATION, EMBEDDING, interval_embeddings=True, keep_dir=keep,
                                payload_prefix="demo.", numpy=False)
        self.assertEqual(result.evidence.speaker_evidence, "multi")
        self.assertEqual(len(result.window_stats), 19)
        self.assertEqual(result.diarization.effective_k, 2)
        labels = result.statement_labels()
        voices = {t["statement_id"]: t["voice"] for t in truth("demo")}
        self.assertEqual(len({labels[i] for i in labels if voices[i] == "A"}), 1)
        self.assertEqual(len({labels[i] for i in labels if voices[i] == "B"}), 1)
        self.assertNotEqual(labels[1], labels[2])

        stmt = result.statement_embeddings
        self.assertEqual((stmt.admitted_count, stmt.skipped_count, stmt.payload_path), (10, 0, "demo.statements.f32"))
        self.assertEqual((len(stmt.rows), len(stmt.rows[0])), (10, 256))
        self.assertEqual(stmt.kept_at, os.path.join(keep, "demo.statements.f32"))
        self.assertEqual(sorted(os.listdir(keep)), ["demo.intervals.f32", "demo.statements.f32"])
        with open(stmt.kept_at, "rb") as f:
            import struct
            self.assertEqual(list(struct.unpack("<256f", f.read(1024))), stmt.rows[0])
        diar = result.diarization
        self.assertEqual(len(diar.interval_rows), len(diar.valid_intervals))
        self.assertEqual([diar.intervals[i] for i in diar.interval_indices], diar.valid_intervals)
        self.assertTrue(result.response_line.endswith("}\n"))

        if numpy_available():
            again = engine.analyze(AUDIO, spans(), SEGMENTATION, EMBEDDING, numpy=True)
            self.assertEqual(again.statement_embeddings.rows.dtype.name, "float32")
            self.assertEqual(again.statement_embeddings.rows.tolist(), stmt.rows)
            self.assertIsNone(again.diarization.interval_rows)
            self.assertIsNone(again.statement_embeddings.kept_at)

    def test_the_engine_runs_in_a_private_directory_that_is_removed(self):
        record = self.path("where.txt")
        wrapper = self.fake_engine("engine", f'pwd > "{record}"; stat -c %a . >> "{record}"; exec "{ENGINE}" "$@"')
        Engine(wrapper).analyze(AUDIO, spans()[:2], SEGMENTATION, EMBEDDING)
        with open(record) as f:
            where, mode = f.read().split()
        self.assertEqual(mode, "700")
        self.assertTrue(where.startswith(os.path.realpath(self.tmp) + "/quillfen-client-"), where)
        self.assertFalse(os.path.exists(where))


class EngineErrorTest(EngineTestCase):
    def engine_error(self, call):
        """The EngineError that call raises."""
        with self.assertRaises(EngineError) as caught:
            call()
        return caught.exception

    def test_an_engine_error_line_is_raised_with_its_exact_reason_detail_and_status(self):
        engine = Engine(ENGINE)
        missing = self.path("missing.onnx")
        e = self.engine_error(lambda: engine.analyze(AUDIO, spans(), missing, EMBEDDING))
        self.assertEqual((e.reason, e.exit_status), ("model-unreadable", 69))
        self.assertEqual(e.detail, f'pyannote_segmentation_onnx_path is missing or unreadable at "{missing}"; '
                                   "provide a readable ONNX model path")

        odd = self.write("odd.f32", b"\x00" * 6)
        e = self.engine_error(lambda: engine.analyze(odd, spans(), SEGMENTATION, EMBEDDING))
        self.assertEqual((e.reason, e.exit_status), ("audio-invalid", 69))
        self.assertEqual(e.detail, f'audio path "{odd}" is not raw little-endian f32 mono: byte length 6 is not '
                                   "divisible by 4")
        self.assertEqual(str(e), f"audio-invalid: {e.detail}")

        e = self.engine_error(
            lambda: engine.discovery_cluster([[2.0] + [0.0] * 255, [1.0] + [0.0] * 255], 2, 1))
        self.assertEqual((e.reason, e.exit_status), ("payload-invalid", 69))
        self.assertRegex(e.detail, "^" + re.escape(f'payload path "{os.path.realpath(self.tmp)}/quillfen-client-')
                         + r"[^/]+" + re.escape('/embeddings.f32" is not raw little-endian f32 row-major: embedding '
                                                "row 0 is not unit length: norm=2") + "$")

    def test_unusable_arguments_are_refused_before_the_engine_runs(self):
        started = self.path("started")
        engine = Engine(self.fake_engine("engine", f'touch "{started}"; exit 3'))
        a_file = self.write("a-file", "")
        twice = [Span(1, 0.0, 2.0), Span(2, 2.0, 4.0), Span(1, 4.0, 6.0)]
        wav = recording("demo")
        cases = [
            (dict(statements=[Span(1, 0, 5), (2, 5, 7, 9)]), InvalidArgument,
             "statements[1]: a statement tuple is (id, start_s, end_s), not 4 values"),
            (dict(statements=[{"statement_id": 1, "start": 0.0}]), InvalidArgument,
             "statements[0]: a span dict has the keys statement_id, start_s and end_s; this one has unknown keys "
             "start"),
            (dict(statements=[("1", 0.0, 5.0)]), InvalidArgument, "statements[0]: a statement id must be an "
                                                                  "integer, not '1'"),
            (dict(statements=[None]), InvalidArgument, "statements[0]: a statement is a Span, an (id, start_s, "
                                                       "end_s) tuple or a span dict, not NoneType None"),
            (dict(statements="1 0 5"), InvalidArgument, "statements must be a list (or other iterable) of items, "
                                                        "not str '1 0 5'"),
            (dict(audio=wav), InvalidArgument,
             f"audio {wav} is a WAV recording, but the engine reads raw float32 little-endian mono samples at "
             f"16 kHz: convert it first with convert_audio({wav!r}, 'recording.f32') and analyse that file"),
            (dict(segmentation=None), InvalidArgument, "segmentation must be a path (str or os.PathLike), not "
                                                       "NoneType None"),
            (dict(embedding=""), InvalidArgument, "embedding must be a path, not an empty string"),
            (dict(interval_embeddings="yes"), InvalidArgument, "interval_embeddings must be True or False, not "
                                                               "str 'yes'"),
            (dict(numpy=1), InvalidArgument, "numpy must be None, True or False, not int 1"),
            (dict(statements=twice), InvalidArgument, "statement id 1 is given twice; each statement needs an id "
                                                      "of its own"),
            (dict(diarization=twice), InvalidArgument, "statement id 1 is given twice; each statement needs an id "
                                                       "of its own"),
            (dict(diarization=[Span(2, 0, 5)]), InvalidArgument, "diarization must name the same statement ids as "
                                                                 "statements, in the same order (only the times may "
                                                                 "differ)"),
            (dict(payload_prefix="../x-"), InvalidArgument, "payload_prefix must be the start of a file name, "
                                                            "without '/', not '../x-'"),
            (dict(keep_dir=a_file), OutputError, f"{a_file}: not a directory; the payloads cannot be kept there"),
        ]
        for arguments, kind, message in cases:
            with self.subTest(arguments=list(arguments)):
                call = dict(audio=AUDIO, statements=spans(), segmentation=SEGMENTATION, embedding=EMBEDDING)
                with self.assertRaises(kind) as caught:
                    engine.analyze(**{**call, **arguments})
                self.assertEqual(str(caught.exception), message)
                self.assertFalse(os.path.exists(started))
        for call, message in [
                (lambda: engine.discovery_cluster([[1.0]], 1, 1), "min_cluster_size must be at least 2, not 1"),
                (lambda: engine.discovery_cluster([[1.0]], 2, True), "min_samples must be an integer, not bool True"),
                (lambda: engine.discovery_cluster([["x"]], 2, 1), "row 0 of the payload matrix holds a value that is "
                                                                  "not a number"),
                (lambda: engine.discovery_cluster([[1.0, 0.0], [1.0]], 2, 1), "row 1 of the payload matrix has 1 "
                                                                             "values, row 0 has 2"),
                (lambda: engine.discovery_cluster([[], []], 2, 1), "rows must hold at least one value each, not none"),
                (lambda: engine.discovery_cluster([[1.0]], 2**70, 1), f"min_cluster_size must be at most {2**63 - 1}, "
                                                                      f"not {2**70}"),
                (lambda: find_speakers(3), "directories must be a list (or other iterable) of items, not int 3"),
                (lambda: label_transcript(AUDIO, 7, SEGMENTATION, EMBEDDING, self.dir),
                 "transcript must be a path (str or os.PathLike), not int 7")]:
            with self.subTest(message=message):
                with self.assertRaises(InvalidArgument) as caught:
                    call()
                self.assertEqual(str(caught.exception), message)
        self.assertFalse(os.path.exists(started))
        self.assertEqual((InvalidArgument.cli_status, OutputError.cli_status), (64, 73))

    def test_a_span_takes_an_integer_id_and_numbers_of_seconds(self):
        self.assertEqual(Span(-7, 1, 2.5), Span(statement_id=-7, start_s=1.0, end_s=2.5))
        self.assertEqual(Span(3).to_json(), {"statement_id": 3, "start_s": None, "end_s": None})
        self.assertEqual(Span(3, float("nan"), float("inf")).to_json(), {"statement_id": 3, "start_s": None,
                                                                          "end_s": None})
        for args, message in [(("a", 0, 5), "a statement id must be an integer, not 'a'"),
                              ((True, 0, 5), "a statement id must be an integer, not True"),
                              ((1.0, 0, 5), "a statement id must be an integer, not 1.0"),
                              ((2 ** 63, 0, 5), f"statement id {2 ** 63} does not fit in a signed 64-bit integer"),
                              ((1, "0", "5"), "start_s of statement 1 must be a number of seconds or None, not '0'"),
                              ((1, 0, False), "end_s of statement 1 must be a number of seconds or None, not False")]:
            with self.subTest(args=args):
                with self.assertRaises(InvalidArgument) as caught:
                    Span(*args)
                self.assertEqual(str(caught.exception), message)
                self.assertIsInstance(caught.exception, ValueError)

    def test_a_process_that_ends_without_its_line_is_a_crash_with_its_stderr(self):
        loader = ("quillfen-core-speakers-analyze: error while loading shared libraries: libonnxruntime.so.1: "
                  "cannot open shared object file: No such file or directory")
        cases = [
            (f'echo "{loader}" >&2; exit 127', 127, None, loader + "\n",
             f"the engine exited with status 127 without its JSON line: {loader}"),
            ("kill -SEGV $$", None, 11, "", "the engine was killed by signal 11 (SIGSEGV) without its JSON line"),
            ('echo "not json"', 0, None, "", "the engine exited 0 without a JSON response line"),
            ('echo \'{"schema":"quillfen-speaker-analyze-error-v1","reason":"x"}\' >&2; exit 69', 69, None,
             '{"schema":"quillfen-speaker-analyze-error-v1","reason":"x"}\n',
             'the engine exited with status 69 without its JSON line: '
             '{"schema":"quillfen-speaker-analyze-error-v1","reason":"x"}'),
        ]
        for i, (body, status, signal, stderr, message) in enumerate(cases):
            with self.subTest(body=body):
                engine = Engine(self.fake_engine(f"engine{i}", body))
                with self.assertRaises(EngineCrashed) as caught:
                    engine.analyze(AUDIO, spans(), SEGMENTATION, EMBEDDING)
                e = caught.exception
                self.assertNotIsInstance(e, EngineTimeout)
                self.assertEqual((e.exit_status, e.signal, e.stderr, str(e)), (status, signal, stderr, message))

    def test_the_time_limit_stops_the_engine_and_what_it_started(self):
        # A wrapper script whose own child does the waiting: the whole process group is stopped. The
        # limit leaves the script time to start its child and note it, even on a loaded machine.
        child = self.path("child.pid")
        engine = Engine(self.fake_engine("slow", f'sleep 60 & echo $! > "{child}"; wait'), timeout_s=30)

        def attempt(limit):
            started = time.monotonic()
            try:
                engine.analyze(AUDIO, spans(), SEGMENTATION, EMBEDDING, timeout_s=limit)
            finally:
                self.assertLess(time.monotonic() - started, limit + 20)

        limit, e = stopped_after_noting_its_child(self, child, EngineTimeout, attempt)
        self.assertEqual(e.timeout_s, limit)
        self.assertEqual(str(e), f"the engine did not finish within {limit:g} s and was stopped")
        self.assertIsInstance(e, EngineCrashed)
        with open(child) as f:
            assert_process_ends(self, int(f.read()))

    def test_time_limits_are_finite_non_negative_seconds_however_large(self):
        crash = self.fake_engine("crash", "exit 3")
        for limit, shown in [(float("inf"), "inf"), (float("nan"), "nan"), (-1, "-1"), ("5", "'5'"),
                             ("soon", "'soon'"), (True, "True")]:
            with self.subTest(limit=limit):
                for attempt in (lambda: Engine(crash, timeout_s=limit),
                                lambda: Engine(crash).analyze(AUDIO, spans(), SEGMENTATION, EMBEDDING,
                                                              timeout_s=limit)):
                    with self.assertRaises(InvalidArgument) as caught:
                        attempt()
                    self.assertIsInstance(caught.exception, ValueError)
                    self.assertEqual(caught.exception.cli_status, 64)
                    what = "a finite, non-negative number of seconds" if shown in ("inf", "nan", "-1") else \
                        "a number of seconds"
                    self.assertEqual(str(caught.exception), f"timeout_s must be {what}, not {shown}")
        # Limits beyond what a single wait of the system can take are honoured, not an overflow.
        for limit in (1e9, 1e300, 10**400):
            with self.assertRaises(EngineCrashed) as caught:
                Engine(crash, timeout_s=limit).analyze(AUDIO, spans(), SEGMENTATION, EMBEDDING)
            self.assertEqual(caught.exception.exit_status, 3)


class ConvertAudioTest(EngineTestCase):
    def test_a_format_sox_cannot_read_is_named_with_the_conversion_to_make(self):
        for name, data, end in [
                ("talk.m4a", b"\x00\x00\x00\x18ftypM4A ", "no handler for file extension `m4a'; sox cannot read "
                 ".m4a recordings: convert it to WAV or FLAC first (for example ffmpeg -i IN.m4a OUT.wav) and give "
                 "that file"),
                ("broken.wav", b"not a wave", "can't open input file `{path}': WAVE: RIFF header not found; the "
                 "file is damaged, or is not the WAV recording its name says")]:
            with self.subTest(name=name):
                path = self.write(name, data)
                with self.assertRaises(AudioConversionError) as caught:
                    convert_audio(path, self.path("out.f32"))
                self.assertTrue(str(caught.exception).startswith(f"sox cannot convert {path}: "), caught.exception)
                self.assertTrue(str(caught.exception).endswith(end.format(path=path)), caught.exception)

    def test_what_is_not_a_recording_file_is_named(self):
        for source, message in [(self.path("missing.wav"), "no such recording"),
                                (self.dir, "a directory, not a recording"),
                                ("/dev/null", "a character device, not a recording")]:
            with self.subTest(source=source):
                with self.assertRaises(InputError) as caught:
                    convert_audio(source, self.path("out.f32"))
                self.assertEqual(str(caught.exception), f"{source}: {message}")
                self.assertEqual(caught.exception.cli_status, 66)
        self.assertFalse(os.path.exists(self.path("out.f32")))


class ResultTest(EngineTestCase):
    def test_results_have_short_reprs_and_say_what_they_hold(self):
        result = Engine(ENGINE).analyze(AUDIO, spans(), SEGMENTATION, EMBEDDING, numpy=False)
        self.assertEqual(repr(result), "<AnalyzeResult multi, 2 speakers, 10 statements, 10 embedded>")
        self.assertEqual(repr(result.statement_embeddings),
                         "<StatementEmbeddings 10 embedded, 0 skipped, rows 10 x 256>")
        self.assertRegex(repr(result.diarization), r"^<Diarization \d+ intervals, \d+ embedded, effective_k 2>$")
        for kind in (quillfen_client.AnalyzeResult, quillfen_client.StatementEmbeddings, quillfen_client.Diarization,
                     quillfen_client.Evidence, quillfen_client.Interval, quillfen_client.WindowStats,
                     quillfen_client.DiscoveryResult, quillfen_client.LabelOutcome, quillfen_client.SpeakerReport,
                     quillfen_client.Transcript, quillfen_client.Span, quillfen_client.EngineError):
            self.assertGreater(len(kind.__doc__ or ""), 60, kind.__name__)  # not the dataclass default
            self.assertFalse((kind.__doc__ or "").startswith(kind.__name__ + "("), kind.__name__)

    def test_a_model_that_ran_short_of_memory_or_threads_while_loading_may_succeed_when_run_again(self):
        detail = "pyannote_segmentation_onnx_path could not be opened as an ONNX model: speaker ONNX Runtime error: "
        for message, retryable in [("Exception caught: std::bad_alloc", True),
                                   ("/onnxruntime_src/onnxruntime/core/platform/posix/env.cc:180 pthread_create "
                                    "failed, error code: 11 error msg: Resource temporarily unavailable\n", True),
                                   ("Load model from x failed:Protobuf parsing failed.", False)]:
            with self.subTest(message=message):
                e = EngineError("model-invalid", detail + message, 69)
                self.assertEqual((e.retryable, e.cli_status, e.exit_status), (retryable, 75 if retryable else 69, 69))
        self.assertTrue(EngineError("onnx-runtime-error", "pyannote segmentation failed: x", 75).retryable)
        self.assertFalse(EngineError("audio-invalid", "std::bad_alloc in a path name", 69).retryable)
        # Input files that could not be opened for want of descriptors or memory.
        unreadable = 'audio path "/a.f32" is unreadable: '
        for cause, retryable in [("Too many open files (os error 24)", True),
                                 ("Too many open files in system (os error 23)", True),
                                 ("No such file or directory (os error 2)", False)]:
            self.assertEqual(EngineError("audio-unreadable", unreadable + cause, 69).retryable, retryable, cause)

    def test_the_help_example_runs_as_written(self):
        # help(quillfen_client) shows it; the demo files are where scripts/demo puts them.
        write_demo_tree(self.dir)
        os.chdir(self.dir)
        os.environ["QUILLFEN_ENGINE"] = ENGINE  # this build's engine, wherever the build tree is
        try:
            failures, tried = doctest.testmod(quillfen_client)
            self.assertEqual((failures, tried > 8), (0, True))
            self.assertEqual(doctest.testmod(quillfen_client.engine).failed, 0)
        finally:
            del os.environ["QUILLFEN_ENGINE"]
            os.chdir(SOURCE_DIR)


class LocateEngineTest(EngineTestCase):
    """Where the engine is looked for, with the package copied into the layouts it lives in."""

    def locate_from(self, package_parent, path_dirs=(), env_engine=None):
        shutil.copytree(os.path.join(SOURCE_DIR, "tools", "client", "quillfen_client"),
                        os.path.join(package_parent, "quillfen_client"), dirs_exist_ok=True)
        env = {"PATH": os.pathsep.join([*path_dirs, "/usr/bin", "/bin"]), "PYTHONPATH": package_parent,
               "PYTHONDONTWRITEBYTECODE": "1"}
        if env_engine:
            env["QUILLFEN_ENGINE"] = env_engine
        done = subprocess.run(["/usr/bin/python3", "-c", "import quillfen_client as q; print(q.locate_engine())"],
                              env=env, capture_output=True, text=True, timeout=60)
        self.assertEqual(done.returncode, 0, done.stderr)
        return done.stdout.strip()

    def engine_at(self, *parts):
        path = self.path(*parts, "quillfen-core-speakers-analyze")
        os.makedirs(os.path.dirname(path), exist_ok=True)
        os.symlink(ENGINE, path)
        return path

    def test_explicit_path_then_environment(self):
        self.assertEqual(locate_engine(ENGINE), ENGINE)
        with self.assertRaises(EngineNotFound) as caught:
            locate_engine(self.path("nothing-here"))
        self.assertEqual(str(caught.exception), f"no engine executable at {self.path('nothing-here')}")
        not_executable = self.write("plain-file", "")
        with self.assertRaises(EngineNotFound):
            locate_engine(not_executable)
        on_path = self.engine_at("onpath")
        self.assertEqual(self.locate_from(self.path("site"), [os.path.dirname(on_path)], env_engine=ENGINE),
                         ENGINE)

    def test_installed_prefix_then_path_then_checkout_build_tree(self):
        prefix_engine = self.engine_at("prefix", "bin")
        site = self.path("prefix", "lib", "python3", "dist-packages")
        path_engine = self.engine_at("onpath")
        self.assertEqual(self.locate_from(site, [os.path.dirname(path_engine)]), prefix_engine)

        checkout_engine = self.engine_at("checkout", "build", "release")
        client_dir = self.path("checkout", "tools", "client")
        self.assertEqual(self.locate_from(client_dir, [os.path.dirname(path_engine)]), path_engine)
        self.assertEqual(self.locate_from(client_dir), checkout_engine)

    def test_nothing_found_says_what_to_do(self):
        site = self.path("empty", "lib")
        shutil.copytree(os.path.join(SOURCE_DIR, "tools", "client", "quillfen_client"),
                        os.path.join(site, "quillfen_client"))
        done = subprocess.run(["/usr/bin/python3", "-c", "import quillfen_client as q; q.Engine()"],
                              env={"PATH": "/nonexistent", "PYTHONPATH": site, "PYTHONDONTWRITEBYTECODE": "1"},
                              capture_output=True, text=True, timeout=60)
        self.assertIn("quillfen_client.engine.EngineNotFound: quillfen-core-speakers-analyze not found: give its "
                      "path (--engine), set QUILLFEN_ENGINE, install it on PATH, or build it (scripts/test or "
                      "scripts/demo in the checkout)", done.stderr)
        self.assertTrue(stat.S_ISDIR(os.stat(site).st_mode))


if __name__ == "__main__":
    unittest.main()
