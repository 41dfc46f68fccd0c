"""The client as the packages ship it: this build tree installed into a scratch prefix (the tree both
packages hold), its commands run with an empty environment from another directory, finding the
package and the engine beside them; the README's example and the help() example run as written."""

import filecmp
import os
import re
import shutil
import subprocess
import tempfile
import unittest

from client_support import EMBEDDING, ENGINE, LABEL_TRANSCRIPT, SCRATCH, SEGMENTATION, SOURCE_DIR, ScratchTestCase, \
    write_demo_tree

BUILD_DIR = os.environ.get("QUILLFEN_BUILD_DIR", os.path.dirname(ENGINE))
README_PREFIX = "/opt/quillfen-core-speakers-analyze"


def empty_environment():
    """No variable at all, but for the sanitizer's options when this build has the sanitizers."""
    return {key: value for key, value in os.environ.items() if key == "ASAN_OPTIONS"}


def readme_client_example():
    """The commands of the README's client example, continuation lines joined, without scripts/demo."""
    with open(os.path.join(SOURCE_DIR, "README.md")) as f:
        text = f.read()
    block = re.search(r"<!-- client-example -->\n```\n(.*?)```", text, re.S).group(1)
    commands = block.replace("\\\n", " ").splitlines()
    return [c for c in commands if not c.startswith("scripts/demo")]


class InstalledClientTest(ScratchTestCase):
    @classmethod
    def setUpClass(cls):
        os.makedirs(SCRATCH, exist_ok=True)
        cls.prefix = tempfile.mkdtemp(prefix="installed-", dir=SCRATCH)
        subprocess.run(["cmake", "--install", BUILD_DIR, "--prefix", cls.prefix], check=True, capture_output=True)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.prefix, ignore_errors=True)

    def installed(self, *parts):
        return os.path.join(self.prefix, *parts)

    def run_installed(self, argv, cwd):
        return subprocess.run(argv, cwd=cwd, env=empty_environment(), capture_output=True, text=True, timeout=240)

    def test_the_installed_commands_label_as_the_checkout_does_with_an_empty_environment(self):
        package = self.installed("lib", "python3", "dist-packages", "quillfen_client")
        self.assertTrue(os.path.isfile(os.path.join(package, "__init__.py")))
        for command in ("quillfen-label-transcript", "quillfen-find-speakers"):
            self.assertTrue(os.access(self.installed("bin", command), os.X_OK), command)
        demo = write_demo_tree(self.dir)
        arguments = [os.path.join(demo, "demo-audio.wav"), os.path.join(demo, "demo.vtt"),
                     "--segmentation", SEGMENTATION, "--embedding", EMBEDDING, "--out"]
        expected = subprocess.run([LABEL_TRANSCRIPT, *arguments, self.path("checkout"), "--engine", ENGINE],
                                  capture_output=True, text=True, timeout=240)
        self.assertEqual(expected.returncode, 0, expected.stderr)
        done = self.run_installed([self.installed("bin", "quillfen-label-transcript"), *arguments,
                                   self.path("installed")], cwd=self.tmp)
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertEqual(done.stdout.replace(self.path("installed"), self.path("checkout")), expected.stdout)
        for name in ("demo.labelled.vtt", "demo.rttm", "demo.response.json", "demo.statements.f32"):
            self.assertTrue(filecmp.cmp(self.path("checkout", name), self.path("installed", name), shallow=False), name)
        found = self.run_installed([self.installed("bin", "quillfen-find-speakers"), self.path("installed")],
                                   cwd=self.tmp)
        self.assertEqual(found.returncode, 0, found.stderr)
        self.assertIn("voice 1: 5 statements in 1 recording (demo)", found.stdout)
        self.assertFalse(os.path.exists(os.path.join(package, "__pycache__")))  # the tree stays as installed

    def test_the_readme_example_and_the_help_example_run_as_written(self):
        write_demo_tree(self.dir)
        for command in readme_client_example():
            with self.subTest(command=command):
                done = self.run_installed(["/bin/sh", "-c", command.replace(README_PREFIX, self.prefix)], cwd=self.dir)
                self.assertEqual(done.returncode, 0, done.stderr)
        with open(self.path("out", "labelled", "demo.labelled.vtt")) as f:
            self.assertEqual(len(re.findall(r"<v Speaker [12]>", f.read())), 10)
        packages = self.installed("lib", "python3", "dist-packages")
        done = self.run_installed(["/usr/bin/python3", "-B", "-c", f"import sys; sys.path.insert(0, {packages!r}); "
                                   "import doctest, quillfen_client; print(doctest.testmod(quillfen_client))"],
                                  cwd=self.dir)
        self.assertEqual((done.returncode, done.stderr), (0, ""))
        self.assertRegex(done.stdout, r"^TestResults\(failed=0, attempted=\d\d\)\n$")


if __name__ == "__main__":
    unittest.main()
