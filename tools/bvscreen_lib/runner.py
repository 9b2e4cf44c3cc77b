"""Running the programs of a screen: each in a process group of its own
(so that an interrupted screen ends exactly what it started) that dies with
the screen (the kernel's parent-death signal, set by setpriv, and a record
of the running programs in the structure's directory that the next run
reaps), its output streamed into bounded logs while only the lines the row
needs (warnings, errors) are kept, its wall and processor time measured."""
import os
import re
import selectors
import shutil
import signal
import subprocess
import threading
import time

# Bytes of each program's standard output and error kept in NAME.out and
# NAME.err: enough for every message a failure prints, far below the
# gigabytes a pair table of a large cell can reach.
LOG_LIMIT = 1 << 20
# Lines of interest kept per stream.
KEPT_LINES = 50

# Signals that end a program on request rather than for a fault of its own;
# SIGKILL stays a failure, since the kernel's out-of-memory killer uses it.
INTERRUPTING_SIGNALS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)

# Messages of a program that could not write its results: a fault of the
# machine (a full disk, a quota), not of the structure.
WRITE_FAILURE = re.compile(r"[Uu]nable to (write|create)|No space left|[Dd]isk quota|"
                           r"Read-only file system")

REGISTRY = ".programs"


class Interrupted(Exception):
    """A program was ended from outside by an interrupting signal (a
    cancelled batch job, a shutdown): the run says nothing about the
    structure, so no row is stored and the next run of the screen does it."""


class Transient(Exception):
    """A failure of the machine rather than of the structure (no room left
    on the disk, an output that cannot be written): no row is stored, and
    the screen stops, since every structure after it would fail alike."""


class Result:
    """What a program run left: exit status, first error line (None on
    success), the warning lines of its standard error and of its standard
    output, and the first lines of its standard error."""

    def __init__(self, rc, error, warnings=(), out_warnings=(), stderr_lines=()):
        self.rc, self.error, self.stderr_lines = rc, error, list(stderr_lines)
        self.warnings, self.out_warnings = list(warnings), list(out_warnings)


_PDEATHSIG = None


def parent_death_prefix():
    """["setpriv", "--pdeathsig", "KILL"] where util-linux's setpriv can set
    the parent-death signal (the program is then killed the moment the
    screen dies, even by SIGKILL), else nothing."""
    global _PDEATHSIG
    if _PDEATHSIG is None:
        setpriv = shutil.which("setpriv")
        ok = False
        if setpriv:
            try:
                ok = subprocess.run([setpriv, "--pdeathsig", "KILL", "true"],
                                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                    timeout=30).returncode == 0
            except (OSError, subprocess.SubprocessError):
                ok = False
        _PDEATHSIG = [setpriv, "--pdeathsig", "KILL"] if ok else []
    return _PDEATHSIG


def process_groups():
    """(pid, process group) of every process on the machine."""
    out = []
    for name in os.listdir("/proc"):
        if not name.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % name) as f:
                fields = f.read().rsplit(")", 1)[1].split()
            out.append((int(name), int(fields[2])))
        except (OSError, IndexError, ValueError):
            pass
    return out


def working_directory(pid):
    try:
        return os.path.realpath(os.readlink("/proc/%d/cwd" % pid))
    except OSError:
        return None


def reap_leftovers(directory):
    """Kills what a screen ended by SIGKILL left running in this structure
    directory (held locked by the caller): the processes of the recorded
    process groups that work below the directory (a group's number cannot
    name a new process while the group has members, and the directory
    tells the group's members from strangers should it ever have emptied),
    then forgets the record.  Returns how many processes were killed."""
    path = os.path.join(directory, REGISTRY)
    try:
        with open(path) as f:
            groups = {int(l.split()[0]) for l in f if l.split() and l.split()[0].isdigit()}
    except OSError:
        return 0
    here = os.path.realpath(directory) + os.sep
    killed = 0
    for pid, group in process_groups():
        if group in groups and pid != os.getpid() and                 (working_directory(pid) or "").startswith(here):
            try:
                os.kill(pid, signal.SIGKILL)
                killed += 1
            except (ProcessLookupError, PermissionError):
                pass
    try:
        os.remove(path)
    except OSError:
        pass
    return killed


class Stream:
    """One output stream of a program: copied into its log up to LOG_LIMIT
    bytes, split into lines of which the warnings, errors and first lines
    are kept."""

    def __init__(self, log):
        self.log, self.written, self.dropped = log, 0, 0
        self.failure = None  # the log could not be written (a full disk)
        self.partial = b""
        self.warnings, self.errors, self.first = [], [], []

    def feed(self, data):
        room = LOG_LIMIT - self.written
        if room > 0 and not self.failure:
            try:
                self.log.write(data[:room])
                self.log.flush()
            except OSError as e:
                self.failure = "Error: cannot write %s: %s" % (self.log.name, e.strerror)
            self.written += min(room, len(data))
        self.dropped += max(0, len(data) - max(room, 0))
        lines = (self.partial + data).split(b"\n")
        self.partial = lines.pop()
        if len(self.partial) > 65536:  # a line without end: keep its start only
            self.partial = self.partial[:65536]
        for line in lines:
            self.line(line)

    def line(self, raw):
        text = raw.decode("latin-1").strip()
        if not text:
            return
        if len(self.first) < KEPT_LINES:
            self.first.append(text)
        if text.startswith("Warning") and len(self.warnings) < KEPT_LINES and \
                text not in self.warnings:
            self.warnings.append(text)
        if text.startswith("Error") and len(self.errors) < KEPT_LINES:
            self.errors.append(text)

    def close(self):
        if self.partial:
            self.line(self.partial)
        if self.dropped and not self.failure:
            self.log.write(b"\n[bvscreen: %d more bytes of output not kept]\n" % self.dropped)


class Runner:
    """Starts the programs of one screen and ends them all on request."""

    def __init__(self, settings, threads):
        self.settings = settings
        self.env = dict(os.environ, OMP_NUM_THREADS=str(threads))
        self.stop = threading.Event()
        self.lock = threading.Lock()
        self.running = set()

    def run(self, argv, cwd, name, times=None, registry_dir=None):
        """Runs argv in cwd, its output streamed to name.out and name.err
        there; returns a Result.  The wall and processor seconds go to
        times[name]; while it runs its pid is recorded in registry_dir."""
        timeout = self.settings.get("timeout") or None
        what = ("%s %s" % (os.path.basename(argv[0]), argv[1] if len(argv) > 1 else "")).strip()
        if self.stop.is_set():
            raise Interrupted(what)
        with open(os.path.join(cwd, name + ".out"), "wb") as out_log, \
                open(os.path.join(cwd, name + ".err"), "wb") as err_log:
            out, err = Stream(out_log), Stream(err_log)
            # The clock starts before the program does: on a loaded machine
            # a short run can end before Popen returns.
            start = time.monotonic()
            try:
                proc = subprocess.Popen(parent_death_prefix() + argv, cwd=cwd,
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                        stdin=subprocess.DEVNULL, env=self.env,
                                        start_new_session=True)
            except OSError as e:
                return Result(-1, "Error: cannot start %s: %s" % (argv[0], e.strerror))
            with self.lock:
                self.running.add(proc)
            entry = self.register(registry_dir, proc.pid)
            if self.stop.is_set():
                self.kill(proc)
            timed_out = threading.Event()
            timer = None
            if timeout:
                timer = threading.Timer(timeout, lambda: (timed_out.set(), self.kill(proc)))
                timer.start()
            try:
                self.pump(proc, out, err, lambda: self.kill(proc))
                # wait4 gives the program's own processor time
                _, status, usage = os.wait4(proc.pid, 0)
                rc = proc.returncode = os.waitstatus_to_exitcode(status)
            finally:
                if timer:
                    timer.cancel()
                with self.lock:
                    self.running.discard(proc)
                self.unregister(registry_dir, entry)
            for stream in (out, err):
                if stream.failure:
                    raise Transient(stream.failure)
                stream.close()
        if times is not None:
            times[name] = [round(time.monotonic() - start, 3),
                           round(usage.ru_utime + usage.ru_stime, 3)]
        if timed_out.is_set():
            return Result(rc, "Error: %s timed out after %g s" % (what, timeout), err.warnings,
                          out.warnings, err.first)
        # Under a batch system the cancel reaches every process of the job at
        # once, so the program may die before this process has seen its own
        # signal: such a death is an interruption, not a result.
        if rc < 0 and -rc in INTERRUPTING_SIGNALS:
            raise Interrupted(what)
        return Result(rc, first_error(rc, err.errors + out.errors, err.first, what), err.warnings,
                      out.warnings, err.first)

    @staticmethod
    def pump(proc, out, err, stop):
        """Reads both pipes as the program writes them, until both close;
        a log that cannot be written any more ends the program (stop)."""
        sel = selectors.DefaultSelector()
        sel.register(proc.stdout, selectors.EVENT_READ, out)
        sel.register(proc.stderr, selectors.EVENT_READ, err)
        open_pipes = 2
        while open_pipes:
            for key, _ in sel.select():
                data = os.read(key.fileobj.fileno(), 65536)
                if data:
                    failed = key.data.failure
                    key.data.feed(data)
                    if key.data.failure and not failed:
                        stop()
                else:
                    sel.unregister(key.fileobj)
                    key.fileobj.close()
                    open_pipes -= 1
        sel.close()

    def register(self, directory, pid):
        if not directory:
            return None
        entry = "%d\n" % pid
        with self.lock, open(os.path.join(directory, REGISTRY), "a") as f:
            f.write(entry)
        return entry

    def unregister(self, directory, entry):
        if not directory or not entry:
            return
        path = os.path.join(directory, REGISTRY)
        with self.lock:
            try:
                with open(path) as f:
                    rest = [l for l in f if l != entry]
                if rest:
                    with open(path, "w") as f:
                        f.writelines(rest)
                else:
                    os.remove(path)
            except OSError:
                pass

    @staticmethod
    def kill(proc):
        try:
            os.killpg(proc.pid, signal.SIGTERM)
        except ProcessLookupError:
            pass

    def interrupt(self):
        self.stop.set()
        with self.lock:
            for proc in list(self.running):
                self.kill(proc)


def first_error(rc, errors, stderr_lines, what):
    """The line that explains a failure: the first "Error" line (the
    innermost of the chain), else the first line on standard error, else
    the exit status; None when the program succeeded."""
    if errors:
        return errors[0]
    if rc == 0:
        return None
    if rc < 0:
        try:
            name = signal.Signals(-rc).name
        except ValueError:
            name = "signal %d" % -rc
        return "Error: %s was killed by %s" % (what, name)
    return stderr_lines[0] if stderr_lines else "Error: %s exited with status %d" % (what, rc)
