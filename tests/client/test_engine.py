"""The client's engine layer: typed results, the engine's errors as typed exceptions with its exact
reason, processes that end without their line, the time limit, the private temporary directory, and
where the engine is looked for."""

import os
import re
import shutil
import stat
import subprocess
import time
import unittest

from client_support import (DATA, EMBEDDING, ENGINE, SEGMENTATION, SOURCE_DIR, ScratchTestCase,
                            assert_process_ends, truth)

from quillfen_client import (Engine, EngineCrashed, EngineError, EngineNotFound, EngineTimeout, InputError,
                             InvalidArgument, OutputError, Span, convert_audio, locate_engine)
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
        cases = [
            (dict(statements=twice), InvalidArgument, "statement id 1 is given twice; each statement needs an id "
                                                      "of its own"),
            (dict(diarization=twice), InvalidArgument, "statement id 1 is given twice; each statement needs an id "
                                                       "of its own"),
            (dict(payload_prefix="../x-"), InvalidArgument, "payload_prefix must be the start of a file name, "
                                                            "without '/', not '../x-'"),
            (dict(keep_dir=a_file), OutputError, f"{a_file}: not a directory; the payloads cannot be kept there"),
        ]
        for arguments, kind, message in cases:
            with self.subTest(arguments=list(arguments)):
                arguments.setdefault("statements", spans())
                with self.assertRaises(kind) as caught:
                    engine.analyze(AUDIO, arguments.pop("statements"), SEGMENTATION, EMBEDDING, **arguments)
                self.assertEqual(str(caught.exception), message)
                self.assertFalse(os.path.exists(started))
        self.assertEqual((InvalidArgument.cli_status, OutputError.cli_status), (64, 73))

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
        started = time.monotonic()
        with self.assertRaises(EngineTimeout) as caught:
            engine.analyze(AUDIO, spans(), SEGMENTATION, EMBEDDING, timeout_s=2.5)
        self.assertLess(time.monotonic() - started, 20)
        self.assertEqual(caught.exception.timeout_s, 2.5)
        self.assertEqual(str(caught.exception), "the engine did not finish within 2.5 s and was stopped")
        self.assertIsInstance(caught.exception, EngineCrashed)
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
        for limit in (1e9, 1e300):
            with self.assertRaises(EngineCrashed) as caught:
                Engine(crash, timeout_s=limit).analyze(AUDIO, spans(), SEGMENTATION, EMBEDDING)
            self.assertEqual(caught.exception.exit_status, 3)


class ConvertAudioTest(EngineTestCase):
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
