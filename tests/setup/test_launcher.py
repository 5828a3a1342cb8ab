"""The setup launcher under Wine.

Every test runs in a Wine prefix of its own, copied from a pristine prefix
that the test class makes once, and removed afterwards. The launcher runs
from C:\\run in that prefix. The real Windows Installer of Wine installs and
repairs the package; where the exact command line or one branch of the
installed-state check is under test, stand-ins take the installer's place:

- a recording "MsiExec.exe" beside the launcher (found before the system's
  installer) keeps the command line byte for byte and a copy of the package;
- a scripted "msi.dll" beside the launcher, loaded instead of Wine's own
  (WINEDLLOVERRIDES=msi=n), answers the state and version queries as
  CV_FAKE_MSI says and logs each call.

Without a display Wine's message boxes return at once; the relay trace of
user32.MessageBoxA (the only call the prefix traces) shows what the launcher
asked to show.

Environment: CV_BUILD (build directory), CV_SETUP_HELPERS (test helpers),
CV_WINE (wine loader), CV_WINESERVER.
"""

import filecmp
import glob
import os
import re
import shutil
import subprocess
import tempfile
import time
import unittest

BUILD = os.environ.get("CV_BUILD", "")
HELPERS = os.environ.get("CV_SETUP_HELPERS", "")
WINE = os.environ.get("CV_WINE", "wine")
WINESERVER = os.environ.get("CV_WINESERVER", "wineserver")

LAUNCHER = os.path.join(BUILD, "corvanta-setup.exe")
PACKAGE = os.path.join(BUILD, "corvanta.msi")
OLD_PACKAGE = os.path.join(HELPERS, "corvanta-1.0.msi")
CLIENT = os.path.join(BUILD, "corvanta")
DATA_DIR = os.path.join(BUILD, "device", "cv")

CAPTION = "Corvanta Setup Error"
WRITE_ERROR = "Corvanta Setup encountered an unknown error. Setup cannot continue anymore!"
START_ERROR = ("Microsoft Windows Installer is not installed in your system. Please Install "
               "Microsoft Windows Installer and then run Corvanta Setup again.")
PRODUCT = "{6F1C2A90-3B4D-4E8F-9A17-5C2D8E3B7F40}"

# Where the package puts the handheld's files (a 32-bit package on 64-bit Windows).
INSTALL_DIR = ("Program Files (x86)", "Corvanta", "Device")

# Any single Wine command; prefix creation and installs are the slow ones.
TIMEOUT = 300

MESSAGE_BOX = re.compile(
    r'Call user32\.MessageBoxA\(([0-9a-fA-F]+),[0-9a-fA-F]+ "(.*)",[0-9a-fA-F]+ "(.*)",([0-9a-fA-F]+)\)')
MESSAGE_BOX_RETURN = re.compile(r"Ret  user32\.MessageBoxA\(\)")


def install_line(path):
    return 'MsiExec.exe /i "%s"' % path


def repair_line(path):
    return 'MsiExec.exe /I "%s" REINSTALL=ALL REINSTALLMODE=vamus' % path


def wine_environment(prefix, overrides=""):
    env = dict(os.environ)
    for name in ("DISPLAY", "WAYLAND_DISPLAY", "WINEDLLPATH", "WINELOADER"):
        env.pop(name, None)
    env["WINEPREFIX"] = prefix
    env["WINEDEBUG"] = "-all"
    # No Mono or Gecko downloads, no desktop menu entries.
    env["WINEDLLOVERRIDES"] = "mscoree,mshtml=;winemenubuilder.exe=d" + (
        ";" + overrides if overrides else "")
    return env


def run(command, env, cwd, timeout=TIMEOUT):
    """Run a command to its end. Its output goes through files, not pipes:
    Wine's background processes (services, explorer, the installer service)
    inherit the handles and would hold a pipe open long after."""
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        result = subprocess.run(command, env=env, cwd=cwd, stdin=subprocess.DEVNULL,
                                stdout=out, stderr=err, timeout=timeout)
        out.seek(0)
        err.seek(0)
        result.stdout = out.read()
        result.stderr = err.read()
    return result


def kill_server(prefix):
    subprocess.run([WINESERVER, "-k"], env=wine_environment(prefix),
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)


class Launch:
    """What one run of the launcher did: exit code and message boxes."""

    def __init__(self, result):
        self.returncode = result.returncode
        trace = result.stderr.decode("latin-1")
        self.boxes = [m.groups() for m in MESSAGE_BOX.finditer(trace)]
        self.returned = len(MESSAGE_BOX_RETURN.findall(trace))


class WineCase(unittest.TestCase):
    """A pristine prefix per class, a copy of it per test."""

    @classmethod
    def setUpClass(cls):
        for path in (LAUNCHER, PACKAGE, OLD_PACKAGE):
            if not os.path.isfile(path):
                raise RuntimeError("not built: " + path)
        cls.root = tempfile.mkdtemp(prefix="cv-setup-")
        cls.template = os.path.join(cls.root, "template")
        env = wine_environment(cls.template)
        try:
            # Making the prefix; the launcher's message boxes are the only
            # calls the relay trace is to show.
            result = run([WINE, "reg", "add", r"HKCU\Software\Wine\Debug", "/v", "RelayInclude",
                          "/d", "user32.MessageBoxA", "/f"], env, cls.root)
            if result.returncode != 0:
                raise RuntimeError("wine prefix: %r" % result.stderr[-2000:])
            # The registry is written out when the server ends.
            run([WINESERVER, "-w"], env, cls.root)
        except BaseException:
            kill_server(cls.template)
            shutil.rmtree(cls.root, ignore_errors=True)
            raise

    @classmethod
    def tearDownClass(cls):
        kill_server(cls.template)
        shutil.rmtree(cls.root, ignore_errors=True)

    def setUp(self):
        self.prefix = tempfile.mkdtemp(prefix="prefix-", dir=self.root)
        os.rmdir(self.prefix)
        # A real copy (hundreds of megabytes, mostly Wine's own libraries): a
        # test may change or delete any file of its prefix.
        subprocess.run(["cp", "-a", "--reflink=auto", self.template, self.prefix],
                       check=True, timeout=TIMEOUT)
        self.addCleanup(shutil.rmtree, self.prefix, True)
        self.addCleanup(kill_server, self.prefix)
        # One server for the whole test keeps each Wine command quick.
        # (It lives on in the background: it must not hold our pipes.)
        subprocess.run([WINESERVER, "-p"], env=self.env(), cwd=self.prefix,
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=60)
        self.drive_c = os.path.join(self.prefix, "drive_c")
        self.run_dir = os.path.join(self.drive_c, "run")
        os.makedirs(self.run_dir)
        shutil.copy(LAUNCHER, self.run_dir)

    # -- the prefix -------------------------------------------------------

    def env(self, overrides="", **extra):
        env = wine_environment(self.prefix, overrides)
        env.update(extra)
        return env

    def wine(self, *args, cwd=None, env=None):
        result = run([WINE] + list(args), env or self.env(), cwd or self.prefix)
        return result

    def unix_path(self, windows_path):
        """A C:\\ path of the prefix as a Unix path."""
        self.assertTrue(windows_path[:3].upper() == "C:\\", windows_path)
        return os.path.join(self.drive_c, *windows_path[3:].split("\\"))

    def set_temp_dir(self, windows_path, create=True):
        """Point the user's TMP and TEMP at windows_path (made when create)."""
        if create:
            os.makedirs(self.unix_path(windows_path), exist_ok=True)
        for name in ("TMP", "TEMP"):
            # Wine's reg.exe now and then fails without a word while the
            # prefix's server is still busy: asked again, it does the job.
            for _ in range(3):
                result = self.wine("reg", "add", r"HKCU\Environment", "/v", name, "/d",
                                   windows_path, "/f")
                if result.returncode == 0:
                    break
                time.sleep(1)
            self.assertEqual(result.returncode, 0, result.stderr[-2000:])

    def default_temp_dir(self):
        found = [d for d in glob.glob(os.path.join(self.drive_c, "users", "*", "Temp"))
                 if os.path.isdir(d)]
        self.assertEqual(len(found), 1, found)
        return found[0]

    def install_directly(self, package):
        """Install a package with Wine's own MsiExec.exe, without the launcher."""
        windows = "Z:" + os.path.abspath(package).replace("/", "\\")
        result = self.wine("msiexec", "/i", windows, cwd=self.prefix)
        self.assertEqual(result.returncode, 0, result.stderr[-2000:])

    def query_product(self):
        """The installer's answers about the product, as a dict."""
        result = self.wine(os.path.join(HELPERS, "query_product.exe"), cwd=self.prefix)
        self.assertEqual(result.returncode, 0, result.stderr[-2000:])
        answers = {}
        for line in result.stdout.decode("latin-1").splitlines():
            name, _, value = line.strip().partition("=")
            answers[name] = value
        return answers

    # -- the launcher and its stand-ins -----------------------------------

    def add_recorder(self):
        shutil.copy(os.path.join(HELPERS, "record_msiexec.exe"),
                    os.path.join(self.run_dir, "MsiExec.exe"))

    def add_fake_msi(self, dll="fake_msi.dll"):
        shutil.copy(os.path.join(HELPERS, dll), os.path.join(self.run_dir, "msi.dll"))

    def launch(self, exe="corvanta-setup.exe", overrides="", cwd=None, **extra):
        """Run a launcher from C:\\run and wait for it (and so for its installer)."""
        for name in ("msiexec-cmdline.txt", "msiexec-package.msi", "msiexec-state.txt",
                     "fake-msi.log"):
            path = os.path.join(self.run_dir, name)
            if os.path.exists(path):
                os.remove(path)
        if exe != "corvanta-setup.exe":
            shutil.copy(os.path.join(HELPERS, exe), self.run_dir)
        env = self.env(overrides, **extra)
        env["WINEDEBUG"] = "-all,+relay"
        result = run([WINE, os.path.join(self.run_dir, exe)], env, cwd or self.run_dir)
        launch = Launch(result)
        self.assertEqual(launch.returncode, 0, "the launcher always ends with 0")
        self.assertEqual(launch.returned, len(launch.boxes), "a message box did not return")
        return launch

    def recorded_command(self):
        """The recording installer's command line, or None when it did not run."""
        path = os.path.join(self.run_dir, "msiexec-cmdline.txt")
        if not os.path.exists(path):
            return None
        with open(path, "rb") as f:
            return f.read().decode("latin-1")

    def fake_log(self):
        path = os.path.join(self.run_dir, "fake-msi.log")
        if not os.path.exists(path):
            return []
        with open(path) as f:
            return f.read().splitlines()

    def assert_no_box(self, launch):
        self.assertEqual(launch.boxes, [])

    def assert_box(self, launch, text):
        """Exactly one box: no owner window, the text, the caption, an OK button."""
        self.assertEqual(len(launch.boxes), 1, launch.boxes)
        owner, shown, caption, style = launch.boxes[0]
        self.assertEqual(int(owner, 16), 0)
        self.assertEqual(shown, text)
        self.assertEqual(caption, CAPTION)
        self.assertEqual(int(style, 16), 0, "MB_OK")

    def assert_installer_got_package(self, line):
        """The installer ran with 'line' and found the whole package at its path."""
        self.assertEqual(self.recorded_command(), line)
        copy = os.path.join(self.run_dir, "msiexec-package.msi")
        self.assertTrue(os.path.exists(copy), "no package at the installer's path")
        self.assertTrue(filecmp.cmp(copy, PACKAGE, shallow=False),
                        "the package written differs from corvanta.msi")

    def assert_no_package(self, unix_dir):
        self.assertFalse(os.path.exists(os.path.join(unix_dir, "corva.msi")),
                         "corva.msi left in " + unix_dir)

    def assert_installed_files(self):
        """The installed files are the build's client and data files, byte for byte."""
        device = os.path.join(self.drive_c, *INSTALL_DIR)
        self.assertTrue(filecmp.cmp(os.path.join(device, "corvanta"), CLIENT, shallow=False))
        expected = sorted(os.path.relpath(os.path.join(d, f), DATA_DIR)
                          for d, _, files in os.walk(DATA_DIR) for f in files)
        installed = sorted(os.path.relpath(os.path.join(d, f), os.path.join(device, "cv"))
                           for d, _, files in os.walk(os.path.join(device, "cv")) for f in files)
        self.assertTrue(expected, "the device's data directory is empty")
        self.assertEqual(installed, expected)
        for name in expected:
            self.assertTrue(filecmp.cmp(os.path.join(device, "cv", name),
                                        os.path.join(DATA_DIR, name), shallow=False), name)


class RealInstaller(WineCase):
    """Installs and repairs with Wine's own Windows Installer."""

    def test_first_installation_installs_package_and_removes_it(self):
        self.assertEqual(self.query_product()["state"], "-1")
        launch = self.launch()
        self.assert_no_box(launch)
        answers = self.query_product()
        self.assertEqual(answers["state"], "5")
        self.assertEqual(answers["VersionMajor"], "1")
        self.assertEqual(answers["VersionMinor"], "1")
        self.assertEqual(answers["VersionString"], "1.1.0")
        self.assert_installed_files()
        self.assert_no_package(self.default_temp_dir())
        self.assert_no_package(self.run_dir)

    def test_same_version_installed_runs_plain_install(self):
        self.install_directly(PACKAGE)
        self.set_temp_dir(r"C:\cvtemp")
        self.add_recorder()
        launch = self.launch()
        self.assert_no_box(launch)
        self.assert_installer_got_package(install_line(r"C:\cvtemp\corva.msi"))
        self.assert_no_package(self.unix_path(r"C:\cvtemp"))

    def test_other_minor_version_installed_is_repaired_to_carried_version(self):
        self.install_directly(OLD_PACKAGE)
        answers = self.query_product()
        self.assertEqual((answers["state"], answers["VersionMinor"]), ("5", "0"))
        self.set_temp_dir(r"C:\cvtemp")

        # The command line, exactly.
        self.add_recorder()
        launch = self.launch()
        self.assert_no_box(launch)
        self.assert_installer_got_package(repair_line(r"C:\cvtemp\corva.msi"))
        os.remove(os.path.join(self.run_dir, "MsiExec.exe"))

        # The real repair: the version becomes 1.1 and every file is put back,
        # even one damaged since the first installation.
        device = os.path.join(self.drive_c, *INSTALL_DIR)
        with open(os.path.join(device, "corvanta"), "wb") as f:
            f.write(b"damaged")
        launch = self.launch()
        self.assert_no_box(launch)
        answers = self.query_product()
        self.assertEqual(answers["state"], "5")
        self.assertEqual((answers["VersionMajor"], answers["VersionMinor"]), ("1", "1"))
        self.assertEqual(answers["VersionString"], "1.1.0")
        self.assert_installed_files()
        self.assert_no_package(self.unix_path(r"C:\cvtemp"))


class InstalledState(WineCase):
    """Each branch of the installed-state check, with a scripted msi.dll."""

    TEMP = r"C:\cvtemp"

    def setUp(self):
        super().setUp()
        self.set_temp_dir(self.TEMP)
        self.add_recorder()

    def choose(self, settings, exe="corvanta-setup.exe", dll="fake_msi.dll"):
        """Run the launcher against the scripted library; the recorded command line."""
        self.add_fake_msi(dll)
        launch = self.launch(exe, overrides="msi=n", CV_FAKE_MSI=settings)
        self.assert_no_box(launch)
        self.assert_no_package(self.unix_path(self.TEMP))
        command = self.recorded_command()
        self.assertIsNotNone(command, "the installer was not started")
        self.assert_installer_got_package(command)
        return command

    def assert_chooses(self, settings, line, **kwargs):
        with self.subTest(settings=settings):
            self.assertEqual(self.choose(settings, **kwargs), line(self.TEMP + r"\corva.msi"))

    def test_not_installed_in_default_state_runs_install(self):
        # Unknown, advertised, absent, local-only and other states are all "not installed".
        for state in (-1, 1, 2, 3, 4, 6):
            self.assert_chooses("state=%d major=2 minor=7" % state, install_line)
            self.assertEqual(self.fake_log(), ["load", "query " + PRODUCT, "free"])

    def test_carried_version_installed_runs_install(self):
        self.assert_chooses("state=5 major=1 minor=1", install_line)
        self.assertEqual(self.fake_log(), [
            "load", "query " + PRODUCT,
            "info %s VersionMajor 100" % PRODUCT,
            "info %s VersionMinor 100" % PRODUCT,
            "free"])
        # Decimal text: leading white space, a sign, leading zeros.
        self.assert_chooses("state=5 major=\t+1 minor=01", install_line)

    def test_other_installed_version_runs_repair(self):
        for settings in ("state=5 major=1 minor=0", "state=5 major=1 minor=2",
                         "state=5 major=2 minor=1", "state=5 major=0 minor=1",
                         "state=5 major=-1 minor=1",
                         # Too large for an int: never equal by wrapping round.
                         "state=5 major=4294967297 minor=1",
                         "state=5 major=none minor=1"):
            self.assert_chooses(settings, repair_line)

    def test_failing_version_query_runs_repair(self):
        self.assert_chooses("state=5 major_result=1605", repair_line)
        self.assert_chooses("state=5 minor_result=1605", repair_line)
        # A value too long for the 100-character buffer is a failed query too.
        self.assert_chooses("state=5 minor=" + "0" * 99 + "1", repair_line)
        self.assertIn("info %s VersionMinor 100" % PRODUCT, self.fake_log())

    def test_missing_library_runs_install(self):
        # The library beside the launcher would ask for a repair, but no
        # library named msi.dll may load at all.
        self.add_fake_msi()
        launch = self.launch(overrides="msi=d", CV_FAKE_MSI="state=5 major=2 minor=0")
        self.assert_no_box(launch)
        self.assertEqual(self.fake_log(), [])
        self.assert_installer_got_package(install_line(self.TEMP + r"\corva.msi"))
        self.assert_no_package(self.unix_path(self.TEMP))

    def test_missing_entry_point_runs_install_and_releases_library(self):
        self.assert_chooses("state=5 major=2 minor=0", install_line, dll="fake_msi_noinfo.dll")
        self.assertEqual(self.fake_log(), ["load", "free"])

    def test_missing_version_resource_counts_as_version_0_0(self):
        self.assert_chooses("state=5 major=1 minor=1", repair_line, exe="setup-noversion.exe")
        self.assert_chooses("state=5 major=0 minor=0", install_line, exe="setup-noversion.exe")
        self.assert_chooses("state=2", install_line, exe="setup-noversion.exe")

    def test_launcher_waits_for_installer_before_deleting_package(self):
        self.add_fake_msi()
        launch = self.launch(overrides="msi=n", CV_FAKE_MSI="state=2", CV_RECORD_HOLD_MS="1500")
        self.assert_no_box(launch)
        # The installer writes its state last, just before it ends.
        state = os.path.join(self.run_dir, "msiexec-state.txt")
        self.assertTrue(os.path.exists(state), "the launcher ended before its installer")
        with open(state) as f:
            self.assertEqual(f.read().strip(), "package_present_after_hold=1",
                             "the package went away while the installer ran")
        self.assert_no_package(self.unix_path(self.TEMP))


class Failures(WineCase):
    """The error boxes, and the package's place when the temporary directory fails."""

    def deep_dir(self, length):
        """A C:\\ directory whose path, with a trailing separator, is 'length' characters."""
        path = "C:"
        remaining = length - 3  # "C:" and the trailing separator; each part costs 1 + name
        while remaining > 0:
            name = min(remaining - 1, 120)
            if remaining - (name + 1) == 1:
                name -= 1  # leave room for a last name of at least one character
            path += "\\" + "d" * name
            remaining -= name + 1
        self.assertEqual(len(path) + 1, length)
        return path

    def test_unwritable_temp_dir_reports_unknown_error(self):
        self.set_temp_dir(r"C:\missing\temp", create=False)
        self.add_recorder()
        launch = self.launch()
        self.assert_box(launch, WRITE_ERROR)
        self.assertIsNone(self.recorded_command(), "installer started without a package")

    def test_missing_package_resource_reports_unknown_error(self):
        self.set_temp_dir(r"C:\cvtemp")
        self.add_recorder()
        launch = self.launch("setup-nopackage.exe")
        self.assert_box(launch, WRITE_ERROR)
        self.assertIsNone(self.recorded_command())
        self.assert_no_package(self.unix_path(r"C:\cvtemp"))

    def test_installer_that_cannot_start_reports_missing_installer(self):
        self.set_temp_dir(r"C:\cvtemp")
        for system in ("system32", "syswow64"):
            path = os.path.join(self.drive_c, "windows", system, "msiexec.exe")
            if os.path.exists(path):
                os.remove(path)
        launch = self.launch()
        self.assert_box(launch, START_ERROR)
        self.assert_no_package(self.unix_path(r"C:\cvtemp"))

    def test_no_temp_dir_writes_package_to_current_directory(self):
        # A TMP longer than the path limit leaves the platform without a
        # temporary directory.
        self.set_temp_dir("C:\\" + "t" * 300, create=False)
        self.add_recorder()
        launch = self.launch()
        self.assert_no_box(launch)
        self.assert_installer_got_package(install_line("corva.msi"))
        self.assert_no_package(self.run_dir)

    def test_package_path_at_path_limit(self):
        self.add_recorder()
        # 250 + "corva.msi" is 259 characters, the longest path there is room for...
        temp = self.deep_dir(250)
        self.set_temp_dir(temp)
        launch = self.launch()
        # ...but then the command line cannot hold it: an error, not a cut-off line.
        self.assert_box(launch, WRITE_ERROR)
        self.assertIsNone(self.recorded_command())
        self.assert_no_package(self.unix_path(temp))

        # One character more and the package cannot even be named.
        temp = self.deep_dir(251)
        self.set_temp_dir(temp)
        launch = self.launch()
        self.assert_box(launch, WRITE_ERROR)
        self.assertIsNone(self.recorded_command())
        self.assert_no_package(self.unix_path(temp))

    def test_command_line_at_buffer_limit(self):
        self.add_recorder()
        # 'MsiExec.exe /i "' + path + '"' with a 242-character path is 259
        # characters: the longest command line that fits.
        temp = self.deep_dir(233)
        self.set_temp_dir(temp)
        launch = self.launch()
        self.assert_no_box(launch)
        line = install_line(temp + "\\corva.msi")
        self.assertEqual(len(line), 259)
        self.assert_installer_got_package(line)
        self.assert_no_package(self.unix_path(temp))

        temp = self.deep_dir(234)
        self.set_temp_dir(temp)
        launch = self.launch()
        self.assert_box(launch, WRITE_ERROR)
        self.assertIsNone(self.recorded_command())
        self.assert_no_package(self.unix_path(temp))


if __name__ == "__main__":
    unittest.main()
