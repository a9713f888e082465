#!/usr/bin/env python3
"""Containers whose bodies hold no deflate output keep their exact bytes.

The AES kinds carry the pack stream codec's output, the RC4 kinds the input
itself (folders as a stored zip). Stored containers must open anywhere the
format is read, and the same input must give the same container on every
machine, at every speed: this test makes one container of each of those kinds
per corpus class and compares its SHA-256 with the digest recorded in
container_digests.txt. The corpus is generated here from fixed seeds, so it is
the same on every machine.

    container_bytes_test.py TRESOLIN_CLI [--record]

--record writes the digests instead of checking them; only ever run it with a
build whose containers are known to be right.
"""
import hashlib
import os
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
DIGESTS = os.path.join(HERE, "container_digests.txt")
PASSWORD = "Format-Stabil"
# Zip entries carry local times; this one is 2024-03-01 12:00:00 in UTC.
FILE_TIME = 1709294400


class Numbers:
    """A small linear congruential generator: the same bytes on every
    machine and every Python."""

    def __init__(self, seed):
        self.state = seed

    def next(self):
        self.state = (self.state * 6364136223846793005 + 1442695040888963407) % 2**64
        return self.state >> 33

    def below(self, n):
        return self.next() % n

    def bytes(self, n):
        return bytes(self.next() & 0xFF for _ in range(n))


WORDS = ("Datei Ordner Passwort Schluessel Bericht Rechnung Urlaub Foto Liste "
         "Termin der die das und mit ohne für über\n").split(" ")


def text(n, seed=1):
    rng = Numbers(seed)
    out = bytearray()
    while len(out) < n:
        out += WORDS[rng.below(len(WORDS))].encode() + b" "
    return bytes(out[:n])


def machine_code(n, seed=2):
    """Instruction-like bytes: short opcodes, small immediates, runs of
    zeros from padding and wide constants, repeated call sequences."""
    rng = Numbers(seed)
    calls = [rng.bytes(5) for _ in range(16)]
    out = bytearray()
    while len(out) < n:
        pick = rng.below(10)
        if pick < 3:
            out += bytes([0x48, 0x89, rng.below(256)])
        elif pick < 5:
            out += bytes([0xE8]) + calls[rng.below(len(calls))][:4]
        elif pick < 7:
            out += bytes([0x8B, rng.below(64)]) + bytes(rng.below(8))
        elif pick < 8:
            out += bytes(16 + rng.below(48))  # alignment padding
        else:
            out += rng.bytes(1 + rng.below(6))
    return bytes(out[:n])


def mixed(n, seed=3):
    rng = Numbers(seed)
    out = bytearray()
    makers = (lambda k: text(k, seed + len(out)), lambda k: machine_code(k, seed + len(out)),
              lambda k: Numbers(seed + len(out)).bytes(k))
    while len(out) < n:
        out += makers[rng.below(3)](4096)
    return bytes(out[:n])


def corpus():
    random_bytes = Numbers(4).bytes
    return {
        "text.txt": text(300000),
        "machine.bin": machine_code(300000),
        "mixed.bin": mixed(200000),
        "random.bin": random_bytes(100000),
        "zeros.bin": bytes(200000),
        "empty.bin": b"",
        "one.bin": b"\x41",
        "block15.bin": random_bytes(15),
        "block16.bin": random_bytes(16),
        "block17.bin": random_bytes(17),
        "window65535.txt": text(65535, 5),
        "window65536.txt": text(65536, 6),
        "window65537.txt": text(65537, 7),
        # Longer than the encoder holds at once, and long enough for its
        # second thread.
        "long.bin": mixed(3 << 20, 8),
    }


def write(path, data):
    with open(path, "wb") as f:
        f.write(data)
    os.chmod(path, 0o644)
    os.utime(path, (FILE_TIME, FILE_TIME))


def run(cli, *args):
    env = dict(os.environ, TRESOLIN_PASSWORD=PASSWORD, TZ="UTC")
    done = subprocess.run([cli, *args], env=env, capture_output=True)
    if done.returncode != 0:
        sys.exit("%s failed: %s" % (" ".join(args), done.stderr.decode(errors="replace")))


def digest(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def containers(cli, work):
    files = corpus()
    result = {}
    for cipher in ("aes", "rc4"):
        for name, data in files.items():
            folder = os.path.join(work, cipher, name)
            os.makedirs(folder)
            write(os.path.join(folder, name), data)
            run(cli, "encrypt", "--cipher", cipher, os.path.join(folder, name))
            stem = name.split(".")[0]
            result["%sno %s" % (cipher, name)] = digest(os.path.join(folder, stem + "." + cipher))
        # One entry per folder: a folder archive lists entries in the order
        # the file system gives them, which differs between file systems.
        tree = os.path.join(work, cipher + "-tree", "Daten")
        os.makedirs(os.path.join(tree, "innen"))
        write(os.path.join(tree, "innen", "mixed.bin"), files["mixed.bin"])
        os.utime(os.path.join(tree, "innen"), (FILE_TIME, FILE_TIME))
        out = os.path.join(work, cipher + "-out")
        os.makedirs(out)
        run(cli, "encrypt-folder", "--cipher", cipher, tree, out)
        result["%sfoldno Daten" % cipher] = digest(os.path.join(out, "Daten." + cipher))
    return result


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    cli = os.path.abspath(sys.argv[1])
    with tempfile.TemporaryDirectory() as work:
        made = containers(cli, work)
    if sys.argv[2:] == ["--record"]:
        with open(DIGESTS, "w") as f:
            f.write("# SHA-256 of the containers container_bytes_test.py makes; see there.\n")
            for key in sorted(made):
                f.write("%s %s\n" % (made[key], key))
        return
    expected = {}
    with open(DIGESTS) as f:
        for line in f:
            if line.startswith("#") or not line.strip():
                continue
            value, key = line.rstrip("\n").split(" ", 1)
            expected[key] = value
    differ = sorted(k for k in expected if made.get(k) != expected[k])
    missing = sorted(k for k in expected if k not in made)
    if differ or missing or set(made) != set(expected):
        sys.exit("containers differ from their recorded bytes: %s" % ", ".join(differ + missing))
    print("%d containers as recorded" % len(made))


if __name__ == "__main__":
    main()
