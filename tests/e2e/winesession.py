"""One Wine session for a whole suite run, and the helpers the suites share.

Every new wineserver is a fresh start of Windows, which carries out and
deletes the pending operations; so a session starts one persistent server in
a new prefix and keeps it until the end, when the server is stopped and the
prefix removed. A reboot is asked for explicitly (`wineboot -r`).

If this process is killed outright, a small watchdog that outlives it stops
the server and removes the prefix.

Wine runs with LANG=C.UTF-8 and no other locale variable: the ANSI code page
is then 1252, and arguments given as UTF-8 reach the program's wide entry
point as exactly those characters. An argument no UTF-8 can carry (a lone
surrogate) goes through `regfixture run`, which starts the program itself.
A call may override the environment (`env`), e.g. for another locale and so
another ANSI code page (`locale_environment`); `console` runs the program on
a terminal, where its output goes through the console.
"""

import os
import shlex
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import threading

SKIPPED = 77  # CTest's SKIP_RETURN_CODE for these suites
VALUE_TYPES = {"SZ": 1, "EXPAND_SZ": 2, "BINARY": 3, "DWORD": 4, "MULTI_SZ": 7}
LOADERS = {64: ["/usr/lib/wine/wine64", "wine64"], 32: ["/usr/lib/wine/wine", "wine"]}
COMMAND_GUARD = 120  # seconds; only so that a hung Wine command cannot stall the run
# Now and then, under load, Wine cannot set up a new process's address space
# and ends it with status 1 before the program runs ("err:virtual:... failed
# to map the shared user data", seen once in about a thousand starts). Wine
# runs with that one error channel on, and such a start is made again.
WINE_DEBUG = "-all,err+virtual"
WINE_START_FAILURE = "failed to map the shared user data"
START_TRIES = 3


def failed_to_start(status, err_text):
    return status == 1 and WINE_START_FAILURE in err_text
ANSI_CODE_PAGE = 1252
# What Wine's console sends a terminal around the program's output: the
# cursor hidden, then shown again.
CONSOLE_WRAPPERS = (b"\x1b[?25l", b"\x1b[?25h")
# Code page 1252 as Windows maps it: bytes 80-9F; every other byte is its own
# unit (Windows maps the bytes 1252 leaves undefined to the C1 controls).
CP1252_HIGH = [
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
]


class SessionError(Exception):
    pass


class Skip(Exception):
    pass


def pe_bits(path):
    """32 or 64, from the machine field of a PE file's header."""
    with open(path, "rb") as f:
        head = f.read(4096)
    if head[:2] != b"MZ":
        raise SessionError(f"{path} is not a Windows program")
    offset = struct.unpack_from("<I", head, 0x3C)[0]
    if head[offset : offset + 4] != b"PE\0\0":
        raise SessionError(f"{path} has no PE header")
    machine = struct.unpack_from("<H", head, offset + 4)[0]
    bits = {0x14C: 32, 0x8664: 64}.get(machine)
    if bits is None:
        raise SessionError(f"{path}: unknown machine type 0x{machine:04X}")
    return bits


def find_loader(bits):
    for candidate in LOADERS[bits]:
        found = shutil.which(candidate)
        if found:
            return found
    return None


def cp1252_unit(byte):
    """The UTF-16 unit of a byte of code page 1252."""
    return CP1252_HIGH[byte - 0x80] if 0x80 <= byte <= 0x9F else byte


def cp1252_decode(data):
    return "".join(chr(cp1252_unit(b)) for b in data)


def cp1252_encode(text):
    """Text as a program prints it in code page 1252: "?" for every
    character that page has no byte for."""
    to_byte = {cp1252_unit(b): b for b in range(256)}
    return bytes(to_byte.get(ord(c), ord("?")) for c in text)


def utf16(text):
    """The UTF-16LE bytes of a str whose lone surrogates stand for themselves."""
    return text.encode("utf-16-le", "surrogatepass")


def crlf(data):
    """What a text-mode stream makes of `data`."""
    return data.replace(b"\n", b"\r\n")


class WineSession:
    def __init__(self, exe, fixture):
        self.exe = os.path.abspath(exe)
        self.fixture_exe = os.path.abspath(fixture)
        self.prefix = None
        self.watchdog = None
        self.error_texts = {}
        self.dos_names = {}
        self.locales = {}
        self.terminal = None

    # --- start and stop -------------------------------------------------

    def check_programs(self):
        for path in (self.exe, self.fixture_exe):
            if not os.path.isfile(path):
                raise SessionError(f"{path} is missing: build the matching Windows preset first")
        bits = pe_bits(self.exe)
        if pe_bits(self.fixture_exe) != bits:
            raise SessionError(f"{self.exe} and {self.fixture_exe} are built for different machines")
        self.bits = bits
        self.loader = find_loader(bits)
        if self.loader is None:
            raise Skip(f"no {bits}-bit Wine loader is installed, so the {bits}-bit build cannot be run")
        try:
            probe = subprocess.run([self.loader, "--version"], capture_output=True, timeout=COMMAND_GUARD)
        except OSError as e:
            raise Skip(f"{self.loader} cannot run on this machine ({e}); the {bits}-bit build is not tested here")
        if probe.returncode != 0:
            raise Skip(f"{self.loader} --version failed: {probe.stderr.decode(errors='replace').strip()}")
        # Booting goes through the 64-bit loader where there is one: the
        # prefix's own programs are 64-bit there.
        self.boot_loader = find_loader(64) or self.loader

    def start(self):
        self.check_programs()
        root = os.environ.get("BOOTMOVE_WINE_ROOT") or None
        self.prefix = tempfile.mkdtemp(prefix="bootmove-e2e.", dir=root)
        self.env = {k: v for k, v in os.environ.items()
                    if not k.startswith("LC_") and k not in ("LANG", "LANGUAGE", "LOCPATH", "DISPLAY")}
        self.env.update(WINEPREFIX=self.prefix, WINEDEBUG=WINE_DEBUG, WINEDLLOVERRIDES="mscoree,mshtml=", LANG="C.UTF-8")
        self._start_watchdog()
        self._quiet(["wineserver", "-p"])
        self._quiet([self.boot_loader, "wineboot", "-i"])
        self.drive_c = os.path.join(self.prefix, "drive_c")
        self.test_dir = os.path.join(self.drive_c, "bmtest")
        os.makedirs(self.test_dir, exist_ok=True)
        # The fixture must run before anything is trusted: a loader that
        # starts but cannot run a program of this width means a skip for
        # 32-bit, a fault for 64-bit.
        status, out, err = self.run(self.fixture_exe, ["acp"])
        if status != 0 or not out:
            why = f"{self.loader} could not run {self.fixture_exe} (status {status}): {err.strip()}"
            if self.bits == 32:
                raise Skip(why)
            raise SessionError(why)
        if out != str(ANSI_CODE_PAGE).encode():
            raise SessionError(f"the ANSI code page under Wine is {out.decode(errors='replace')}, "
                               f"not {ANSI_CODE_PAGE}")
        self._check_unicode_names()

    def _check_unicode_names(self):
        """A name beyond ASCII and the BMP, given as an argument, must reach
        the program and the file on disk as exactly those characters; and a
        program started through `regfixture run` must get its arguments and
        write to the same stdout."""
        name = "C:\\bmtest\\probe \xe9\u20ac\u03a9\U0001F600\x81"
        data = utf16(name)
        path = self.host_path(name)
        with open(path, "wb") as f:
            f.write(data)
        try:
            self.fixture("-2", "load", "3", name)
            status, out, err = self.run(self.fixture_exe, ["-2", "get"], through_fixture=True)
            found = out.decode("ascii") if status == 0 else f"status {status}: {err.strip()}"
            self.delete_value(second=True)
        finally:
            os.remove(path)
        if found != f"3:{data.hex().upper()}":
            raise SessionError(f"a Unicode argument or file name does not reach the program exactly: "
                               f"the file {name!r} read back as {found!r}")

    def stop(self):
        if self.prefix is None:
            return
        subprocess.run(["wineserver", "-k"], env=self.env, capture_output=True, timeout=COMMAND_GUARD)
        subprocess.run(["wineserver", "-w"], env=self.env, capture_output=True, timeout=COMMAND_GUARD)
        shutil.rmtree(self.prefix, ignore_errors=True)
        if self.watchdog is not None:
            try:
                os.kill(self.watchdog, signal.SIGTERM)
            except ProcessLookupError:
                pass
        self.prefix = None

    def _start_watchdog(self):
        # Detached from this process (its parent shell exits at once), so
        # that it survives whatever kills this one.
        script = (
            '( while kill -0 "$0" 2>/dev/null; do sleep 1; done;'
            ' wineserver -k; wineserver -w; rm -rf "$WINEPREFIX" ) </dev/null >/dev/null 2>&1 & echo $!'
        )
        started = subprocess.run(["sh", "-c", script, str(os.getpid())], env=self.env, capture_output=True, text=True)
        self.watchdog = int(started.stdout.strip())

    def _environment(self, env):
        """The session's environment with `env`'s variables over it (None
        removes one)."""
        merged = dict(self.env)
        for name, value in (env or {}).items():
            if value is None:
                merged.pop(name, None)
            else:
                merged[name] = value
        return merged

    def _call(self, command, stdout, stderr, cwd=None, env=None):
        # A blocking wait (subprocess's own timeout polls, which costs more
        # than the Wine command itself); a timer ends a command that hangs.
        process = subprocess.Popen(command, env=self._environment(env), cwd=cwd, stdin=subprocess.DEVNULL,
                                   stdout=stdout, stderr=stderr)
        guard = threading.Timer(COMMAND_GUARD, process.kill)
        guard.start()
        try:
            status = process.wait()
        finally:
            guard.cancel()
        if status < 0:
            raise SessionError(f"{' '.join(map(os.fsdecode, command))} was ended by signal {-status}")
        return status

    def _quiet(self, command):
        # Output to /dev/null: what wineboot starts lives on and would hold
        # a pipe open.
        status = self._call(command, subprocess.DEVNULL, subprocess.DEVNULL)
        if status != 0:
            raise SessionError(f"{' '.join(command)} failed with status {status}")

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()

    # --- running programs -----------------------------------------------

    def dos_name(self, path):
        """The DOS name of a Linux path, as the program started from it sees
        it in argv[0]."""
        if path not in self.dos_names:
            status, out, err = self.run("winepath", ["-w", path])
            if status != 0:
                raise SessionError(f"winepath failed: {err.strip()}")
            self.dos_names[path] = out.rstrip(b"\r\n").decode("utf-8")
        return self.dos_names[path]

    def run(self, exe, args, cwd=None, full=False, through_fixture=False, env=None):
        """Runs a Windows program with C:\\bmtest (or `cwd`) as its current
        directory; gives (status, stdout bytes, stderr text). Arguments are
        str, each character one character of the argument and a lone
        surrogate one unit. With `full`, stdout is /dev/full and nothing of
        it comes back. `through_fixture` starts the program through
        `regfixture run` even when its arguments could go directly. `env`
        overrides variables of the environment for this call only."""
        for a in args:
            if not isinstance(a, str):
                raise TypeError(f"arguments are str, not {type(a).__name__}: {a!r}")
            if "\0" in a:
                raise SessionError(f"an argument cannot hold NUL: {a!r}")
        try:
            encoded = None if through_fixture else [a.encode("utf-8") for a in args]
        except UnicodeEncodeError:
            encoded = None
        if encoded is not None:
            command = [self.loader, exe] + encoded
        else:
            # The fixture starts the program with a command line of exact
            # units; argv[0] is the same DOS name Wine would give it.
            command = [self.loader, self.fixture_exe, "run", self.dos_name(exe)]
            command += [utf16(a).hex() or "-" for a in args]
        for attempt in range(1, START_TRIES + 1):
            with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
                if full:
                    with open("/dev/full", "wb") as device:
                        status = self._call(command, device, err, cwd or self.test_dir, env)
                else:
                    status = self._call(command, out, err, cwd or self.test_dir, env)
                out.seek(0)
                err.seek(0)
                err_text = err.read().decode(errors="replace")
                if failed_to_start(status, err_text) and attempt < START_TRIES:
                    continue
                if encoded is None and err_text.startswith("regfixture: "):
                    raise SessionError(f"regfixture could not start {exe}: {err_text.strip()}")
                return status, out.read(), err_text

    def bootmove(self, *args, cwd=None, full=False, env=None):
        """(status, stdout bytes); with `full` stdout is /dev/full and the
        bytes are empty."""
        status, out, _ = self.run(self.exe, args, cwd, full, env=env)
        return status, out

    def console(self, *args, env=None):
        """Runs bootmove with a terminal as its stdout (through `script`), so
        that it writes to a console: (status, the bytes the terminal got).
        The terminal is 200 columns wide and adds no CR of its own, and
        Wine's wrappers around the output are removed: what remains is the
        program's text as Wine's console turns it into UTF-8. Raises Skip
        where no terminal can be made."""
        self._check_terminal()
        for a in args:
            try:
                a.encode("utf-8")
            except UnicodeEncodeError:
                raise SessionError(f"a console run cannot pass a lone surrogate: {a!r}") from None
        command = "stty rows 50 cols 200 -onlcr; " + shlex.join([self.loader, self.exe, *args])
        with tempfile.TemporaryFile() as out:
            status = self._call(["script", "-qec", command, "/dev/null"], out, subprocess.DEVNULL, self.test_dir,
                                dict(env or {}, SHELL="/bin/sh", TERM="xterm"))
            out.seek(0)
            text = out.read()
        for wrapper in CONSOLE_WRAPPERS:
            text = text.replace(wrapper, b"")
        return status, text

    def _check_terminal(self):
        if self.terminal is None:
            if shutil.which("script") is None:
                self.terminal = "`script` (util-linux) is not installed"
            else:
                probe = subprocess.run(["script", "-qec", "stty -onlcr && exit 7", "/dev/null"],
                                       stdin=subprocess.DEVNULL, capture_output=True, timeout=COMMAND_GUARD)
                self.terminal = "" if probe.returncode == 7 else (
                    f"`script` cannot make a terminal here: {probe.stderr.decode(errors='replace').strip()}")
        if self.terminal:
            raise Skip(self.terminal)

    def locale_environment(self, locale, charmap):
        """The variables under which Wine takes the code pages of LOCALE
        (e.g. ja_JP with charmap UTF-8): the locale is built with localedef
        into the prefix, so nothing outside it changes. Raises Skip when
        this machine lacks localedef or the locale's sources."""
        key = (locale, charmap)
        if key not in self.locales:
            name = f"{locale}.{charmap}"
            folder = os.path.join(self.prefix, "locales")
            source = os.path.join("/usr/share/i18n/locales", locale)
            if shutil.which("localedef") is None or not os.path.isfile(source):
                self.locales[key] = Skip(f"localedef or {source} is missing (Debian package `locales`)")
            else:
                os.makedirs(folder, exist_ok=True)
                made = subprocess.run(["localedef", "-i", locale, "-f", charmap, os.path.join(folder, name)],
                                      capture_output=True, timeout=COMMAND_GUARD)
                if os.path.isfile(os.path.join(folder, name, "LC_CTYPE")):
                    self.locales[key] = {"LOCPATH": folder, "LANG": name}
                else:
                    self.locales[key] = Skip(f"localedef could not build {name}: "
                                             f"{made.stderr.decode(errors='replace').strip()}")
        found = self.locales[key]
        if isinstance(found, Skip):
            raise found
        return dict(found)

    def fixture(self, *args):
        status, out, err = self.run(self.fixture_exe, args)
        if status != 0:
            shown = " ".join(ascii(a) if len(a) <= 80 else ascii(a[:80]) + "..." for a in args)
            raise SessionError(f"regfixture {shown}: status {status}: {err.strip()}")
        return out

    def reboot(self):
        self._quiet([self.boot_loader, "wineboot", "-r"])

    def program_name(self):
        """argv[0] as bootmove sees it (str): the DOS name of the Linux path."""
        return self.dos_name(self.exe)

    def acp(self, env=None):
        """The ANSI code page of the programs, GetACP(), under `env`."""
        status, out, err = self.run(self.fixture_exe, ["acp"], env=env)
        if status != 0:
            raise SessionError(f"regfixture acp: status {status}: {err.strip()}")
        return int(out)

    # --- the values -----------------------------------------------------
    # `second` picks "PendingFileRenameOperations2" instead of
    # "PendingFileRenameOperations".

    def get_value(self, second=False):
        """None when the value is absent, else (type, bytes)."""
        out = self.fixture(*self._which(second), "get").decode("ascii")
        if out == "absent":
            return None
        type_text, hex_text = out.split(":")
        return int(type_text), bytes.fromhex(hex_text)

    def set_value(self, value_type, data, second=False):
        if len(data) <= 4096:
            self.fixture(*self._which(second), "set", str(value_type), data.hex().upper() or "-")
            return
        # Too long for a command line: the bytes go through a file.
        path = os.path.join(self.drive_c, "bootmove-value.bin")
        with open(path, "wb") as f:
            f.write(data)
        try:
            self.fixture(*self._which(second), "load", str(value_type), "C:\\bootmove-value.bin")
        finally:
            os.remove(path)

    def delete_value(self, second=False):
        self.fixture(*self._which(second), "delete")

    @staticmethod
    def _which(second):
        return ["-2"] if second else []

    def platform_move(self, source, target, flags):
        """A real MoveFileExW (it writes the first value); `target` None for
        a delete. Names are str like arguments."""
        self.fixture("move", source, "-" if target is None else target, str(flags))

    def error_text(self, code):
        if code not in self.error_texts:
            self.error_texts[code] = self.fixture("errtext", str(code))
        return self.error_texts[code]

    # --- files ----------------------------------------------------------

    def host_path(self, dos_name):
        """The Linux path of a C: name such as C:\\bmtest\\a.txt. Wine keeps
        names as UTF-8 on disk; the path comes back as the str that Python
        turns into exactly those bytes."""
        if dos_name[:3].upper() != "C:\\":
            raise SessionError(f"only C: names can be made: {dos_name!r}")
        try:
            on_disk = dos_name[3:].encode("utf-8")
        except UnicodeEncodeError:
            raise SessionError(f"a file name cannot hold a lone surrogate: {dos_name!r}") from None
        if b"\0" in on_disk:
            raise SessionError(f"a file name cannot hold NUL: {dos_name!r}")
        parts = [p for p in on_disk.split(b"\\") if p]
        return os.path.join(self.drive_c, *map(os.fsdecode, parts))

    def clear_test_dir(self):
        shutil.rmtree(self.test_dir, ignore_errors=True)
        os.makedirs(self.test_dir)


def main(suite):
    """Runs suite(exe, fixture) -> (passed, failed) from the command line
    `SCRIPT BOOTMOVE_EXE REGFIXTURE_EXE [...]`, prints the closing count and
    exits 0 (all passed), 1 (a failure or a broken setup) or 77 (skipped)."""

    def interrupted(signum, _frame):
        print(f"interrupted by signal {signum}: stopping Wine", file=sys.stderr)
        raise SystemExit(128 + signum)

    for signum in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
        signal.signal(signum, interrupted)
    if len(sys.argv) < 3:
        print(f"usage: {sys.argv[0]} BOOTMOVE_EXE REGFIXTURE_EXE [NAME...]", file=sys.stderr)
        sys.exit(2)
    session = WineSession(sys.argv[1], sys.argv[2])
    try:
        with session:
            session.start()
            passed, failed = suite(session, sys.argv[3:])
    except Skip as e:
        print(f"SKIPPED: {e}")
        sys.exit(SKIPPED)
    except SessionError as e:
        print(f"error: {e}")
        sys.exit(1)
    print(f"{passed} passed, {failed} failed")
    sys.exit(0 if failed == 0 and passed > 0 else 1)
