"""The installer package builder: the package lists whatever the device's
data directory holds when it runs, and is rewritten only when that changes.

Environment: CV_SETUP_SOURCE (the setup/ folder), CV_WIXL.
"""

import os
import subprocess
import sys
import tempfile
import unittest

SETUP = os.environ.get("CV_SETUP_SOURCE", os.path.join(os.path.dirname(__file__), "..", "..", "setup"))
WIXL = os.environ.get("CV_WIXL", "wixl")
PRODUCT = "{6F1C2A90-3B4D-4E8F-9A17-5C2D8E3B7F40}"


def table(package, name):
    """Rows of one table of the package, as lists of column texts."""
    out = subprocess.run(["msiinfo", "export", package, name], check=True,
                         stdout=subprocess.PIPE).stdout.decode("utf-8")
    return [line.split("\t") for line in out.splitlines()[3:] if line]


class MakePackage(unittest.TestCase):

    def setUp(self):
        self.dir = tempfile.TemporaryDirectory(prefix="cv-msi-")
        self.addCleanup(self.dir.cleanup)
        root = self.dir.name
        self.program = os.path.join(root, "corvanta")
        self.data = os.path.join(root, "device", "cv")
        self.package = os.path.join(root, "corvanta.msi")
        os.makedirs(os.path.join(self.data, "pages", "news today"))
        self.write(self.program, b"\x7fELF client")
        self.write(os.path.join(self.data, "cvhome.txt"), b"home")
        self.write(os.path.join(self.data, "pages", "busy.page"), b"<ST>")
        self.write(os.path.join(self.data, "pages", "news today", "front page.txt"), b"x")

    def write(self, path, data):
        with open(path, "wb") as f:
            f.write(data)

    def make(self, version="1.1.0"):
        return subprocess.run([sys.executable, os.path.join(SETUP, "make_msi.py"),
                               "--source", os.path.join(SETUP, "corvanta.wxs"),
                               "--program", self.program, "--data", self.data,
                               "--version", version, "--output", self.package,
                               "--wixl", WIXL],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=120)

    def installed_paths(self):
        """Each file's install path below Program Files, from the package's tables."""
        directories = {row[0]: (row[1], row[2]) for row in table(self.package, "Directory")}
        components = {row[0]: row[2] for row in table(self.package, "Component")}

        def path(directory):
            parent, name = directories[directory]
            name = name.split("|")[-1]
            if directory == "ProgramFilesFolder":
                return ""
            return os.path.join(path(parent), name)

        return sorted(os.path.join(path(components[row[1]]), row[2].split("|")[-1])
                      for row in table(self.package, "File"))

    def test_package_holds_program_and_every_data_file(self):
        result = self.make()
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(self.installed_paths(), [
            "Corvanta/Device/corvanta",
            "Corvanta/Device/cv/cvhome.txt",
            "Corvanta/Device/cv/pages/busy.page",
            "Corvanta/Device/cv/pages/news today/front page.txt",
        ])
        properties = dict(row[:2] for row in table(self.package, "Property"))
        self.assertEqual(properties["ProductCode"], PRODUCT)
        self.assertEqual(properties["ProductVersion"], "1.1.0")

    def test_package_follows_the_directory_and_is_kept_when_nothing_changed(self):
        self.assertEqual(self.make().returncode, 0)
        first = os.stat(self.package).st_mtime_ns
        guids = {row[0]: row[1] for row in table(self.package, "Component")}

        self.assertEqual(self.make().returncode, 0)
        self.assertEqual(os.stat(self.package).st_mtime_ns, first, "rebuilt without a change")

        self.write(os.path.join(self.data, "tccache.bin"), b"glyphs")
        self.assertEqual(self.make().returncode, 0)
        self.assertIn("Corvanta/Device/cv/tccache.bin", self.installed_paths())
        # Components keep their identities from one build to the next.
        for row in table(self.package, "Component"):
            if row[0] in guids:
                self.assertEqual(row[1], guids[row[0]], row[0])

        os.remove(os.path.join(self.data, "cvhome.txt"))
        self.assertEqual(self.make().returncode, 0)
        self.assertNotIn("Corvanta/Device/cv/cvhome.txt", self.installed_paths())

        # Another version is another package.
        self.assertEqual(self.make("1.0.0").returncode, 0)
        properties = dict(row[:2] for row in table(self.package, "Property"))
        self.assertEqual(properties["ProductVersion"], "1.0.0")

    def test_bad_inputs_leave_no_package(self):
        self.write(os.path.join(self.data, "what?.txt"), b"")
        result = self.make()
        self.assertNotEqual(result.returncode, 0)
        self.assertIn(b"not a valid Windows file name", result.stderr)
        self.assertFalse(os.path.exists(self.package))
        os.remove(os.path.join(self.data, "what?.txt"))

        result = self.make("1.1")
        self.assertNotEqual(result.returncode, 0)
        self.assertFalse(os.path.exists(self.package))


if __name__ == "__main__":
    unittest.main()
