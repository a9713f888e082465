#!/usr/bin/env python3
"""tresolin-cli stopped by a signal mid-run leaves the disk as it found it, or finished.

Every command kind (encrypt, encrypt-folder, decrypt of each container kind,
both ciphers, packed or not) runs once undisturbed to measure it, then gets
SIGINT and SIGTERM at three moments of its work, and one run gets SIGHUP. After
each run: the exit status is 128 + the signal, or 0 if the run had finished;
the run's folder (source, output folder, $TMPDIR) holds what it held before
plus either the complete result or nothing; no .tresolin-work-* folder is left.

    interrupt_test.py build/bin/tresolin-cli

ctest runs it as cli_interrupts; tests/cli/interrupt_sweep reuses its harness.
"""
import fnmatch
import hashlib
import os
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass

PASSWORD = "unterbrochen"
WORK_PREFIX = ".tresolin-work-"
BYSTANDER = "notiz.txt"  # a file beside the result that no run may touch
SOURCE_FILE = "bericht.txt"
SOURCE_FOLDER = "projekt"
# The tree under SOURCE_FOLDER: relative path, share of the total size.
TREE = [("liesmich.txt", 0.05), ("daten/messung.bin", 0.35),
        ("daten/alt/archiv.bin", 0.3), ("briefe/brief.txt", 0.3)]
WORDS = ("Datei Ordner Passwort Schluessel Bericht Rechnung Urlaub Foto "
         "Liste Termin Messung Ergebnis").split()
CHUNK = 1 << 16


def write_mixed(path, size, seed):
    """Writes size bytes: three text-like chunks to one random chunk."""
    rng = random.Random(seed)
    lines = []
    while sum(map(len, lines)) < 1 << 20:
        words = " ".join(rng.choice(WORDS) for _ in range(rng.randint(3, 12)))
        lines.append(f"{words} {rng.randint(0, 99999)}\n".encode())
    text = b"".join(lines)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        written = 0
        while written < size:
            n = min(CHUNK, size - written)
            if rng.random() < 0.25:
                f.write(rng.randbytes(n))
            else:
                start = rng.randrange(len(text) - n)
                f.write(text[start:start + n])
            written += n


def make_inputs(root, size):
    """The source file and the source tree, each of about size bytes."""
    write_mixed(os.path.join(root, SOURCE_FILE), size, 1)
    for seed, (rel, share) in enumerate(TREE, 2):
        write_mixed(os.path.join(root, SOURCE_FOLDER, rel), int(size * share), seed)


def digest(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        while block := f.read(1 << 20):
            h.update(block)
    return h.hexdigest()


def snapshot(root):
    """Maps every path below root (relative, '/'-separated) to what it is."""
    entries = {}
    for folder, dirs, files in os.walk(root):
        for name in dirs + files:
            path = os.path.join(folder, name)
            rel = os.path.relpath(path, root).replace(os.sep, "/")
            if os.path.islink(path):
                entries[rel] = "link " + os.readlink(path)
            elif os.path.isdir(path):
                entries[rel] = "folder"
            else:
                entries[rel] = digest(path)
    return entries


def signals_taken(pid):
    """True iff process pid catches or blocks each of SIGINT, SIGTERM and SIGHUP."""
    try:
        with open(f"/proc/{pid}/status") as f:
            fields = dict(line.split(":", 1) for line in f if ":" in line)
    except OSError:
        return False
    taken = int(fields["SigCgt"], 16) | int(fields["SigBlk"], 16)
    wanted = sum(1 << (s - 1) for s in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP))
    return taken & wanted == wanted


def is_work(rel):
    return any(name.startswith(WORK_PREFIX) for name in rel.split("/"))


@dataclass
class Kind:
    command: str  # encrypt, encrypt-folder or decrypt
    cipher: str
    pack: bool
    holds: str = "file"  # what a decrypted container holds: file or folder

    @property
    def name(self):
        flavour = self.cipher + ("-pack" if self.pack else "")
        if self.command == "decrypt":
            return f"decrypt/{self.holds}-{flavour}"
        return f"{self.command}/{flavour}"

    def maker(self):
        """The encrypt kind whose result this decrypt kind opens."""
        command = "encrypt" if self.holds == "file" else "encrypt-folder"
        return Kind(command, self.cipher, self.pack)


def all_kinds():
    kinds = []
    for command in ("encrypt", "encrypt-folder", "decrypt"):
        for holds in (("file", "folder") if command == "decrypt" else ("file",)):
            for cipher in ("aes", "rc4"):
                for pack in (False, True):
                    kinds.append(Kind(command, cipher, pack, holds))
    return kinds


def pick_kinds(patterns):
    """The kinds whose name matches one of the comma-separated globs."""
    globs = patterns.split(",")
    return [k for k in all_kinds() if any(fnmatch.fnmatch(k.name, g) for g in globs)]


class Harness:
    """Stages runs of one binary in fresh folders below root and judges them."""

    def __init__(self, binary, root, size):
        self.binary, self.root = os.path.abspath(binary), root
        self.inputs = os.path.join(root, "inputs")
        make_inputs(self.inputs, size)
        self.source = snapshot(self.inputs)
        self.containers = {}  # encrypt kind name -> path of a verified container
        self.runs = 0

    def stage(self, kind, container=None):
        """A fresh run folder: src/ (input), out/ (bystander), tmp/ ($TMPDIR)."""
        self.runs += 1
        run = os.path.join(self.root, f"run{self.runs}")
        for sub in ("src", "out", "tmp"):
            os.makedirs(os.path.join(run, sub))
        with open(os.path.join(run, "out", BYSTANDER), "w") as f:
            f.write("bleibt wie es ist\n")
        src, out = os.path.join(run, "src"), os.path.join(run, "out")
        if kind.command == "encrypt":
            shutil.copy2(os.path.join(self.inputs, SOURCE_FILE), src)
            shutil.copy2(os.path.join(out, BYSTANDER), src)
            target = [os.path.join(src, SOURCE_FILE)]
        elif kind.command == "encrypt-folder":
            shutil.copytree(os.path.join(self.inputs, SOURCE_FOLDER),
                            os.path.join(src, SOURCE_FOLDER))
            target = [os.path.join(src, SOURCE_FOLDER), out]
        else:
            container = container or self.containers[kind.maker().name]
            shutil.copy2(container, src)
            restored = SOURCE_FILE if kind.holds == "file" and not kind.pack else ""
            target = [os.path.join(src, os.path.basename(container)),
                      os.path.join(out, restored)]
        if kind.command == "decrypt":
            argv = ["decrypt"] + target
        else:
            argv = [kind.command, "--cipher", kind.cipher, *(["--pack"] if kind.pack else []),
                    *target]
        return run, argv

    def start(self, run, argv):
        def child_signals():  # undo an ignored or blocked signal inherited from the caller
            for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
                signal.signal(sig, signal.SIG_DFL)
            signal.pthread_sigmask(signal.SIG_SETMASK, [])
        env = dict(os.environ, TRESOLIN_PASSWORD=PASSWORD, TMPDIR=os.path.join(run, "tmp"))
        return subprocess.Popen([self.binary] + argv, cwd=run, env=env, stdin=subprocess.DEVNULL,
                                stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                preexec_fn=child_signals)

    def run_stopped(self, run, argv, sig=None, delay=0.0):
        """Runs argv, sends sig after delay unless it has ended; returns (status, stderr)."""
        started = time.monotonic()
        proc = self.start(run, argv)
        if sig is not None:
            # Before main nothing can take a signal: wait until the program has.
            while proc.poll() is None and not signals_taken(proc.pid):
                time.sleep(0.0002)
            time.sleep(max(0.0, started + delay - time.monotonic()))
            if proc.poll() is None:
                proc.send_signal(sig)
        _, err = proc.communicate()
        return proc.returncode, err.decode(errors="replace").strip()

    def expected(self, kind):
        """The entries a complete decrypt adds: out/ gains the source again."""
        if kind.holds == "file":
            return {"out/" + SOURCE_FILE: self.source[SOURCE_FILE]}
        return {"out/" + rel: value for rel, value in self.source.items()
                if rel.split("/")[0] == SOURCE_FOLDER}

    def complete(self, kind, run, result):
        """Returns None iff result (new entries) is the whole result of kind."""
        if kind.command == "decrypt":
            return None if result == self.expected(kind) else "half-written result"
        # The container's name: the source's name up to its first "." plus the cipher.
        name = (f"src/{SOURCE_FILE.split('.')[0]}" if kind.command == "encrypt"
                else f"out/{SOURCE_FOLDER}") + "." + kind.cipher
        if list(result) != [name]:
            return f"not just {name}"
        known = self.containers.get(kind.name)
        if known and digest(known) == result[name]:
            return None
        container = os.path.join(run, name)
        check = Kind("decrypt", kind.cipher, kind.pack,
                     "file" if kind.command == "encrypt" else "folder")
        check_run, argv = self.stage(check, container)
        status, err = self.run_stopped(check_run, argv)
        restored = {k: v for k, v in snapshot(check_run).items() if k.startswith("out/")}
        restored.pop("out/" + BYSTANDER)
        shutil.rmtree(check_run)
        if status != 0 or restored != self.expected(check):
            return f"container does not decrypt to the source ({status}: {err})"
        return None

    def judge(self, kind, run, before, status, sig, allow_work=False):
        """Problems with a run's outcome; also returns the new entries it left."""
        after = snapshot(run)
        problems = []
        allowed = {0, -signal.SIGKILL if sig == signal.SIGKILL else 128 + sig} if sig else {0}
        if status not in allowed:
            shown = f"killed by {signal.Signals(-status).name}" if status < 0 else f"exit {status}"
            problems.append(f"{shown}, expected one of {sorted(allowed)}")
        gone = sorted(set(before) - set(after))
        changed = sorted(k for k in before if k in after and before[k] != after[k])
        if gone or changed:
            problems.append(f"removed {gone[:5]} changed {changed[:5]}")
        new = {k: v for k, v in after.items() if k not in before}
        work = sorted(k for k in new if is_work(k) and not is_work(os.path.dirname(k)))
        if work and not allow_work:
            problems.append(f"working folder left: {work}")
        strays = sorted(k for k in new if k.startswith("tmp/"))
        if strays:
            problems.append(f"left in $TMPDIR: {strays[:5]}")
        result = {k: v for k, v in new.items() if not is_work(k) and k not in strays}
        if result:
            reason = self.complete(kind, run, result)
            if reason:
                problems.append(f"{reason}: {sorted(result)[:5]}")
        elif status == 0:
            problems.append("exit 0 without a result")
        return problems, result, work

    def measure(self, kind):
        """One undisturbed run; keeps an encrypt kind's container. Returns seconds or None."""
        run, argv = self.stage(kind)
        before = snapshot(run)
        started = time.monotonic()
        status, err = self.run_stopped(run, argv)
        seconds = time.monotonic() - started
        problems, result, _ = self.judge(kind, run, before, status, None)
        if problems:
            print(f"FAIL {kind.name} undisturbed: {'; '.join(problems)} {err}")
            return None
        if kind.command != "decrypt":
            kept = os.path.join(self.root, "containers", kind.name.replace("/", "-"))
            os.makedirs(kept)
            path = os.path.join(run, next(iter(result)))
            shutil.move(path, kept)
            self.containers[kind.name] = os.path.join(kept, os.path.basename(path))
        shutil.rmtree(run)
        return seconds


def measure_all(harness, kinds):
    """Measures every kind; decrypt kinds need their maker's container first."""
    makers = {k.maker().name: k.maker() for k in kinds if k.command == "decrypt"}
    durations = {}
    for kind in [k for k in makers.values() if k.name not in {m.name for m in kinds}] + kinds:
        if kind.command == "decrypt" and kind.maker().name not in harness.containers:
            continue  # its maker failed and was reported
        seconds = harness.measure(kind)
        if seconds is not None:
            durations[kind.name] = seconds
    return durations


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    passed = failed = stopped = 0
    started = time.monotonic()
    with tempfile.TemporaryDirectory(prefix="tresolin-interrupt-") as root:
        harness = Harness(sys.argv[1], root, 4 << 20)
        kinds = all_kinds()
        durations = measure_all(harness, kinds)
        failed += len(kinds) - len(durations)
        cases = [(k, sig, f) for k in kinds if k.name in durations
                 for sig in (signal.SIGINT, signal.SIGTERM) for f in (0.1, 0.4, 0.8)]
        cases.append((Kind("encrypt", "aes", True), signal.SIGHUP, 0.4))
        for kind, sig, fraction in cases:
            if kind.name not in durations:
                continue
            run, argv = harness.stage(kind)
            before = snapshot(run)
            status, err = harness.run_stopped(
                run, argv, sig, fraction * durations[kind.name])
            problems, _, _ = harness.judge(kind, run, before, status, sig)
            stopped += status == 128 + sig
            # A run the signal ended says so: an exit status alone is lost
            # on a user at a terminal.
            if status == 128 + sig and "tresolin-cli: abgebrochen (" not in err:
                problems.append("ended without a word")
            if problems:
                failed += 1
                print(f"FAIL {kind.name} {sig.name} at {fraction}: {'; '.join(problems)}"
                      + (f" [{err}]" if err else ""))
            else:
                passed += 1
            shutil.rmtree(run)
    print(f"{stopped} runs stopped by the signal, the others had finished "
          f"({time.monotonic() - started:.0f} s)")
    print(f"{passed} passed, {failed} failed")
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
