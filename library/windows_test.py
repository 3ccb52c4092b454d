#!/usr/bin/python3
"""kestrune.exe under Wine, in a throwaway prefix of this test's own: the
screens and the command line, the player absent, the version resource, and
whole runs against the stand-in player (standin_server.exe).

Usage: windows_test.py BUILD_DIR   (the folder of kestrune.exe, standin_server.exe
and standin.tlb)
"""
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

import pefile

WINE = "/usr/lib/wine/wine64"
WINESERVER = "/usr/lib/wine/wineserver"
BUILD = None
PREFIX = None

PLAYER = "{DC0C2640-1415-4644-875C-6F4D769839BA}"
APPLICATION = "{9DD6680B-3EDC-40DB-A771-E6FE4832E34A}"
FILE_TRACK = "{00D7FE99-7868-4CC7-AD9E-ACFD70D09566}"
TYPE_LIBRARY = "{6A1C4E2B-7D3F-4B8A-9E51-2C7B0F4D9A13}"
TYPE_LIBRARY_MARSHALER = "{00020424-0000-0000-C000-000000000046}"

BANNER = b"\r\nKestrune 1.0.0.1: sorts your iPod's albums by year.\r\nhttps://kestrune.org/\r\n\r\n"
USAGE = (b"This program must be run from a Command Prompt.\r\n\r\n"
         b"Run with exaclty one of the following arguments:\r\n\r\n"
         b"    /Describe: Show a detailed description of what this program does.\r\n"
         b"/PretendWrite: Tells you what would happen if new Sort tags were written.\r\n"
         b"   /RealWrite: Really writes new Sort tags.\r\n"
         b"/PretendClear: Tells you what would happen if the Sort tags were cleared.\r\n"
         b"   /RealClear: Really clears the Sort tags.\r\n")
INTERFACING = b"\r\nInterfacing with iTunes...\r\n\r\n"
CALCULATING = b"\r\nCalculating album years...\r\n\r\n"
UPDATING = b"\r\n\r\nUpdating SortAlbum fields...\r\n\r\n"
PRETENDING = b"\r\n\r\nPRETENDING to update SortAlbum fields...\r\n\r\n"
WARNING = (b"\r\nWarning: 1 of your tracks were ignored by the tool due to missing tags.\r\n"
           b"Year tags, in particular, are required.\r\n")


def environment():
    env = {k: v for k, v in os.environ.items() if k != "DISPLAY"}
    env.update(WINEPREFIX=PREFIX, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
    return env


def wine(*arguments, timeout=60):
    started = time.monotonic()
    done = subprocess.run([WINE, *arguments], env=environment(), capture_output=True,
                          stdin=subprocess.DEVNULL, timeout=timeout)
    return done.returncode, done.stdout, done.stderr, time.monotonic() - started


def tool(*arguments):
    return wine(os.path.join(BUILD, "kestrune.exe"), *arguments)


def standin_folder():
    return os.path.join(PREFIX, "drive_c", "standin")


def register_player():
    folder = standin_folder()
    os.makedirs(folder, exist_ok=True)
    for name in ("standin_server.exe", "standin.tlb"):
        shutil.copy(os.path.join(BUILD, name), folder)
    lines = ["REGEDIT4", "",
             f"[HKEY_CLASSES_ROOT\\CLSID\\{PLAYER}\\LocalServer32]",
             '@="C:\\\\standin\\\\standin_server.exe"', ""]
    for iid in (APPLICATION, FILE_TRACK):
        lines += [f"[HKEY_CLASSES_ROOT\\Interface\\{iid}\\ProxyStubClsid32]",
                  f'@="{TYPE_LIBRARY_MARSHALER}"', "",
                  f"[HKEY_CLASSES_ROOT\\Interface\\{iid}\\TypeLib]",
                  f'@="{TYPE_LIBRARY}"', '"Version"="1.0"', ""]
    lines += [f"[HKEY_CLASSES_ROOT\\TypeLib\\{TYPE_LIBRARY}\\1.0\\0\\win64]",
              '@="C:\\\\standin\\\\standin.tlb"', "",
              f"[HKEY_CLASSES_ROOT\\TypeLib\\{TYPE_LIBRARY}\\1.0\\FLAGS]", '@="0"', ""]
    with open(os.path.join(folder, "standin.reg"), "w", newline="\r\n") as f:
        f.write("\n".join(lines))
    status = wine("regedit", "/S", "C:\\standin\\standin.reg")[0]
    assert status == 0, "registering the stand-in player failed"


def set_library(lines):
    folder = standin_folder()
    with open(os.path.join(folder, "library.txt"), "w", encoding="utf-8") as f:
        f.write("".join(line + "\n" for line in lines))
    if os.path.exists(os.path.join(folder, "written.txt")):
        os.remove(os.path.join(folder, "written.txt"))


def written():
    path = os.path.join(standin_folder(), "written.txt")
    if not os.path.exists(path):
        return []
    with open(path, encoding="utf-8") as f:
        return [tuple(line.rstrip("\n").split("\t")) for line in f]


def wait_for_player_to_exit():
    # Each run must meet a fresh server that reads the library anew. The
    # server leaves half a second after its last object is released, and
    # only after 30 idle seconds otherwise: a reference the tool kept would
    # show here.
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        if subprocess.run(["pgrep", "-f", "standin_server.exe"], capture_output=True).returncode:
            return
        time.sleep(0.1)
    raise AssertionError("the stand-in player did not exit")


class Screens(unittest.TestCase):
    """Before any player is registered."""

    def test_description_screen(self):
        status, out, err, seconds = tool("/dEsCrIbE")
        self.assertEqual((status, err), (0, b""))
        self.assertTrue(out.startswith(BANNER + b"This program instructs iTunes"), out)
        self.assertTrue(out.endswith(b"\r\nThis program is free and open-source. See "
                                     b"https://kestrune.org/\r\n\r\n"), out)
        self.assertNotIn(b"\r\r", out)
        self.assertEqual(out.count(b"\r\n"), 4 + 26)
        self.assertLess(seconds, 4.5)  # well short of the usage screen's pause

    def test_wrong_command_lines_give_the_usage_screen_and_the_pause(self):
        for arguments in ([], ["/RealWrite", "/Describe"], ["/Real Write"], [""]):
            with self.subTest(arguments=arguments):
                status, out, err, seconds = tool(*arguments)
                self.assertEqual((status, err, out), (0, b"", BANNER + USAGE))
                self.assertGreaterEqual(seconds, 4.9)

    def test_player_absent(self):
        for word in ("/PretendWrite", "/realwrite", "/PRETENDCLEAR", "/RealClear"):
            with self.subTest(word):
                status, out, err, _ = tool(word)
                self.assertEqual((status, err), (0, b""))
                self.assertEqual(out, BANNER + INTERFACING +
                                 b"Could not get track list. (Incompatible version of iTunes?)\r\n")


class VersionResource(unittest.TestCase):
    def test_values(self):
        pe = pefile.PE(os.path.join(BUILD, "kestrune.exe"))
        fixed = pe.VS_FIXEDFILEINFO[0]
        self.assertEqual((fixed.FileVersionMS, fixed.FileVersionLS), (0x10000, 0x1))
        self.assertEqual((fixed.ProductVersionMS, fixed.ProductVersionLS), (0x10000, 0x1))
        strings, translations = {}, []
        for info in pe.FileInfo[0]:
            if info.Key == b"StringFileInfo":
                for table in info.StringTable:
                    self.assertEqual(table.LangID, b"080904b0")
                    strings.update({k.decode(): v.decode() for k, v in table.entries.items()})
            if info.Key == b"VarFileInfo":
                for var in info.Var:
                    translations.append(var.entry[b"Translation"])
        self.assertEqual(strings["FileDescription"], "Makes iPods sort albums by year by "
                         "instructing iTunes to set special SortAlbum tags.")
        self.assertEqual(strings["InternalName"], "Kestrune")
        self.assertEqual(strings["FileVersion"], "1.0.0.1")
        self.assertEqual(strings["ProductVersion"], "1.0.0.1")
        self.assertTrue(strings["CompanyName"])
        self.assertTrue(strings["LegalCopyright"])
        self.assertEqual(translations, ["0x0809 0x04b0"])
        imports = {entry.dll.decode().lower() for entry in pe.DIRECTORY_ENTRY_IMPORT}
        self.assertFalse({d for d in imports if "mingw" in d or "libstdc++" in d or
                          "libgcc" in d or "winpthread" in d}, imports)


LIBRARY = [
    "track\tPink Floyd\t\tThe Wall\t\tHey You\t1979",
    "other",
    "track\tQueen\t\tJazz\t\tMustapha\t1978\trefuse",
    "track\tSomeone\tVarious Artists\tThe Summer Hits\t\tSunny\t1998",
    "track\tPink Floyd\t\tThe Wall\t1980 Wall\tComfortably Numb\t1980",
    "track\tBj\u00f6rk\t\tD\u00e9but\t1993 D\u00e9but\tHuman Behaviour\t1993",
]


class WholeRuns(unittest.TestCase):
    """Against the stand-in player, registered in the prefix."""

    @classmethod
    def setUpClass(cls):
        register_player()

    def run_mode(self, word):
        wait_for_player_to_exit()
        status, out, err, _ = tool(word)
        self.assertEqual((status, err), (0, b""))
        return out

    def test_four_modes(self):
        set_library(LIBRARY)
        self.assertEqual(self.run_mode("/PretendWrite"), BANNER + INTERFACING + CALCULATING +
                         b"....." + PRETENDING +
                         b'Would change "The Wall" SortAlbum "" to "1980 Wall"\r\n'
                         b'Would change "Jazz" SortAlbum "" to "1978 Jazz"\r\n'
                         b'Would change "The Summer Hits" SortAlbum "" to "9999 1998 Summer Hits"\r\n'
                         b"\r\nDone.\r\n" + WARNING)
        self.assertEqual(written(), [])

        self.assertEqual(self.run_mode("/RealWrite"), BANNER + INTERFACING + CALCULATING +
                         b"....." + UPDATING +
                         b'Changed "The Wall" SortAlbum "" to "1980 Wall"\r\n'
                         b'Failed to change "Jazz" SortAlbum "" to "1978 Jazz"\r\n'
                         b'Changed "The Summer Hits" SortAlbum "" to "9999 1998 Summer Hits"\r\n'
                         b"\r\nDone.\r\n" + WARNING)
        self.assertEqual(written(), [("0", "1980 Wall"), ("2", "refused"),
                                     ("3", "9999 1998 Summer Hits")])

        set_library(open(os.path.join(standin_folder(), "library.txt"), encoding="utf-8")
                    .read().splitlines())
        self.assertEqual(self.run_mode("/RealWrite"), BANNER + INTERFACING + CALCULATING +
                         b"....." + UPDATING +
                         b'Failed to change "Jazz" SortAlbum "" to "1978 Jazz"\r\n'
                         b"No changes were performed.\r\n" + WARNING)

        self.assertEqual(self.run_mode("/PretendClear"), BANNER + INTERFACING + PRETENDING +
                         b'Would change "The Wall" SortAlbum "1980 Wall" to ""\r\n'
                         b'Would change "The Summer Hits" SortAlbum "9999 1998 Summer Hits" to ""\r\n'
                         b'Would change "The Wall" SortAlbum "1980 Wall" to ""\r\n'
                         b'Would change "D\xe9but" SortAlbum "1993 D\xe9but" to ""\r\n'
                         b"\r\nDone.\r\n" + WARNING)
        self.assertEqual(written(), [("2", "refused")])

        self.assertEqual(self.run_mode("/RealClear"), BANNER + INTERFACING + UPDATING +
                         b'Changed "The Wall" SortAlbum "1980 Wall" to ""\r\n'
                         b'Changed "The Summer Hits" SortAlbum "9999 1998 Summer Hits" to ""\r\n'
                         b'Changed "The Wall" SortAlbum "1980 Wall" to ""\r\n'
                         b'Changed "D\xe9but" SortAlbum "1993 D\xe9but" to ""\r\n'
                         b"\r\nDone.\r\n" + WARNING)
        self.assertEqual(written()[1:], [("0", ""), ("3", ""), ("4", ""), ("5", "")])

    def test_incompatible_player(self):
        set_library(["incompatible"] + LIBRARY)
        self.assertEqual(self.run_mode("/RealWrite"), BANNER + INTERFACING +
                         b"Could not get track list. (Incompatible version of iTunes?)\r\n")
        self.assertEqual(written(), [])


def main():
    global BUILD, PREFIX
    BUILD = os.path.abspath(sys.argv[1])
    PREFIX = tempfile.mkdtemp(prefix="kestrune-wine-")
    try:
        subprocess.run([WINE, "wineboot", "--init"], env=environment(), capture_output=True,
                       stdin=subprocess.DEVNULL, timeout=180)
        subprocess.run([WINESERVER, "-w"], env=environment(), timeout=120)
        # Screens first: until WholeRuns registers it, there is no player.
        suite = unittest.TestSuite()
        loader = unittest.TestLoader()
        for case in (Screens, VersionResource, WholeRuns):
            suite.addTests(loader.loadTestsFromTestCase(case))
        result = unittest.TextTestRunner(verbosity=2).run(suite)
        return 0 if result.wasSuccessful() else 1
    finally:
        subprocess.run([WINESERVER, "-k"], env=environment(), timeout=60)
        shutil.rmtree(PREFIX, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
