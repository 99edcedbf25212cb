#!/usr/bin/env python3
"""The updater killed at random points, and scans running while updates install.

  kestry_kill.py kill BIN_DIR [TRIALS]      (default 200)
  kestry_kill.py scans BIN_DIR [UPDATES]    (default 50)

kill: each trial publishes a new version, starts kestry and kills it (SIGKILL) after a random
delay drawn over the length of a whole run. Afterwards the set that `current` names must be
the old one or the new one, complete (its manifest names its version and every file has the
manifest's size and SHA-256), never a mix. The next run must then install the new version
(exit 0) and leave no staging folder, no stray link and at most two sets.

scans: nerlo-scan runs over a tree again and again while kestry installs UPDATES versions,
alternating between two sets that detect different files. Every scan must succeed, must not
warn about a missing or broken database, and must detect exactly the files of one set.

Everything runs under a temporary folder: the mirror on 127.0.0.1, the root (NERLO_SET_ROOTS
and --root), the settings and the keys. Exit status 0 when every check held, else 1.
"""
import hashlib
import json
import os
import random
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SERVE = os.path.join(HERE, "..", "..", "tools", "serve-mirror")


def fail(message):
    sys.stderr.write("FAIL: %s\n" % message)
    sys.exit(1)


class Fixture:
    def __init__(self, bin_dir, work):
        self.bin = bin_dir
        self.work = work
        self.sigtool = os.path.join(bin_dir, "nerlo-sigtool")
        self.kestry = os.path.join(bin_dir, "kestry")
        self.scan = os.path.join(bin_dir, "nerlo-scan")
        self.root = os.path.join(work, "root")
        self.mirror = os.path.join(work, "mirror")
        self.state = os.path.join(work, "state")
        self.env = dict(os.environ)
        for name in ("DISPLAY", "WAYLAND_DISPLAY"):
            self.env.pop(name, None)
        self.env.update({"XDG_CONFIG_HOME": os.path.join(work, "config"),
                         "XDG_DATA_HOME": os.path.join(work, "data"),
                         "HOME": os.path.join(work, "home"),
                         "NERLO_SET_ROOTS": self.root,
                         "no_proxy": "*", "NO_PROXY": "*"})
        self.run([self.sigtool, "keygen", os.path.join(work, "key")])
        os.makedirs(os.path.join(work, "keys"))
        shutil.copy(os.path.join(work, "key.pub"), os.path.join(work, "keys"))
        os.makedirs(self.mirror)
        self.server = subprocess.Popen([sys.executable, SERVE, self.mirror, "--state", self.state],
                                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        port_file = os.path.join(self.state, "port")
        for _ in range(600):
            if os.path.exists(port_file) or self.server.poll() is not None:
                break
            time.sleep(0.05)
        if not os.path.exists(port_file):
            fail("the mirror server did not start")
        with open(port_file) as f:
            url = "https://127.0.0.1:%s/" % f.read().strip()
        self.config = os.path.join(work, "update.ini")
        with open(self.config, "w") as f:
            f.write("[Update]\nUrl=%s\nCaFile=%s\n" % (url, os.path.join(self.state, "ca.pem")))
        self.kestry_args = [self.kestry, "--quiet", "--root", self.root, "--config", self.config,
                            "--keys", os.path.join(work, "keys")]

    def close(self):
        self.server.terminate()
        self.server.wait()

    def run(self, args, check=True):
        result = subprocess.run(args, env=self.env, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, timeout=120)
        if check and result.returncode != 0:
            fail("%s exited with %d: %s %s" % (" ".join(args), result.returncode,
                                               result.stdout.decode(errors="replace"),
                                               result.stderr.decode(errors="replace")))
        return result

    def publish(self, version, db_dir):
        self.run([self.sigtool, "publish", "--key", os.path.join(self.work, "key"), "--version",
                  str(version), "--out", self.mirror, db_dir])

    def update(self):
        return self.run(self.kestry_args)


def sha256_of(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def current_set(root):
    """The version `current` names, after checking that its set is complete; 0 for none."""
    link = os.path.join(root, "current")
    if not os.path.lexists(link):
        return 0
    target = os.readlink(link)
    if not target.startswith("sets/"):
        fail("current names %r" % target)
    version = int(target[5:])
    folder = os.path.join(root, target)
    try:
        with open(os.path.join(folder, "nerlo-set.json"), "rb") as f:
            manifest = json.loads(f.read())
    except (OSError, ValueError) as error:
        fail("current names %s, whose manifest cannot be read: %s" % (target, error))
    if manifest["version"] != version:
        fail("%s holds the manifest of version %d" % (target, manifest["version"]))
    for entry in manifest["files"]:
        path = os.path.join(folder, entry["name"])
        if not os.path.isfile(path):
            fail("%s/%s is missing" % (target, entry["name"]))
        if os.path.getsize(path) != entry["size"] or sha256_of(path) != entry["sha256"]:
            fail("%s/%s is not the file its manifest names" % (target, entry["name"]))
    return version


def make_databases(fixture, folder, hash_files, heuristic):
    """All three databases; the byte windows are of a file that no scan meets."""
    os.makedirs(folder)
    for path in hash_files:
        fixture.run([fixture.sigtool, "--db-dir", folder, "hash", path])
    unseen = folder + ".windows"
    with open(unseen, "wb") as f:
        f.write(os.urandom(1000))
    fixture.run([fixture.sigtool, "--db-dir", folder, "windows", unseen])
    lst = os.path.join(folder, "..", os.path.basename(folder) + ".list")
    with open(lst, "w") as f:
        f.write(heuristic + "\n")
    fixture.run([fixture.sigtool, "--db-dir", folder, "heuristics", lst])


def kill_trials(fixture, trials):
    work = fixture.work
    base = os.path.join(work, "base")
    sample = os.path.join(work, "sample.bin")
    with open(sample, "wb") as f:
        f.write(os.urandom(1500))
    make_databases(fixture, base, [sample], "KILL-TEST-MARKER")
    # A heuristics database of some size, so that kills also land during a download.
    with open(os.path.join(work, "bulk.list"), "w") as f:
        for _ in range(3000):
            f.write(os.urandom(24).hex() + "\n")
    fixture.run([fixture.sigtool, "--db-dir", base, "heuristics", os.path.join(work, "bulk.list")])

    def databases_for(version):
        # Every version changes database.db (one more hash) and, every other version,
        # heuristics.db; tdb.ldb is absent.
        folder = os.path.join(work, "db-%d" % version)
        shutil.copytree(base, folder)
        unique = os.path.join(work, "unique-%d.bin" % version)
        with open(unique, "wb") as f:
            f.write(b"version %d " % version + os.urandom(64))
        fixture.run([fixture.sigtool, "--db-dir", folder, "hash", unique])
        if version % 2 == 0:
            extra = os.path.join(work, "extra-%d.list" % version)
            with open(os.path.join(work, "bulk.list")) as src, open(extra, "w") as dst:
                dst.write(src.read() + "version-%d-string\n" % version)
            fixture.run([fixture.sigtool, "--db-dir", folder, "heuristics", extra])
        return folder

    version = 1
    fixture.publish(version, databases_for(version))
    fixture.update()
    # How long a whole run takes: the kills are spread over that time.
    durations = []
    for _ in range(5):
        version += 1
        fixture.publish(version, databases_for(version))
        start = time.monotonic()
        fixture.update()
        durations.append(time.monotonic() - start)
    span = statistics.median(durations) * 1.1
    outcomes = {"old": 0, "new": 0, "leftovers": 0}
    rng = random.Random(int.from_bytes(os.urandom(4), "little"))
    for trial in range(trials):
        old = version
        version += 1
        folder = databases_for(version)
        fixture.publish(version, folder)
        process = subprocess.Popen(fixture.kestry_args, env=fixture.env,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        time.sleep(rng.uniform(0, span))
        process.send_signal(signal.SIGKILL)
        process.wait()
        now = current_set(fixture.root)
        if now not in (old, version):
            fail("trial %d: current names version %d, neither %d nor %d" % (trial, now, old, version))
        outcomes["old" if now == old else "new"] += 1
        names = os.listdir(fixture.root)
        if any(n.startswith(".incoming-") or n.startswith(".current-") for n in names):
            outcomes["leftovers"] += 1
        # The next run recovers: installs the new version if needed and cleans up.
        result = fixture.update()
        if current_set(fixture.root) != version:
            fail("trial %d: the run after the kill did not install version %d: %s" %
                 (trial, version, result.stdout.decode(errors="replace")))
        names = os.listdir(fixture.root)
        stray = [n for n in names if n.startswith(".incoming-") or n.startswith(".current-")]
        if stray:
            fail("trial %d: left after the next run: %s" % (trial, stray))
        sets = os.listdir(os.path.join(fixture.root, "sets"))
        if len(sets) > 2:
            fail("trial %d: %d sets kept: %s" % (trial, len(sets), sorted(sets)))
        shutil.rmtree(folder)
    print("kill trials: %d; current still the old set after %d, already the new one after %d; "
          "leftovers cleaned after %d; kills spread over %.0f ms" %
          (trials, outcomes["old"], outcomes["new"], outcomes["leftovers"], span * 1000))
    if outcomes["old"] == 0 or outcomes["new"] == 0:
        fail("the kills never landed on one side of the switch; the delays are wrong")


def scans_during_updates(fixture, updates):
    work = fixture.work
    tree = os.path.join(work, "tree")
    os.makedirs(tree)
    samples = {}
    for name in ("a", "b"):
        path = os.path.join(tree, "sample-%s.bin" % name)
        with open(path, "wb") as f:
            f.write(os.urandom(3000))
        samples[name] = path
        with open(os.path.join(tree, "marker-%s.txt" % name), "w") as f:
            f.write("text holding MARKER-%s-STRING here\n" % name.upper())
    with open(os.path.join(tree, "clean.txt"), "w") as f:
        f.write("nothing to see\n")
    sets = {}
    for name in ("a", "b"):
        folder = os.path.join(work, "db-" + name)
        make_databases(fixture, folder, [samples[name]], "MARKER-%s-STRING" % name.upper())
        sets[name] = folder
    expected = {
        name: sorted(["%s: Infected! [hash]" % samples[name],
                      "%s: Infected! [heuristic 1]" % os.path.join(tree, "marker-%s.txt" % name)])
        for name in ("a", "b")}
    fixture.publish(1, sets["a"])
    fixture.update()

    stop = threading.Event()
    results = []
    problems = []

    def scanner():
        while not stop.is_set():
            run = subprocess.run([fixture.scan, tree], env=fixture.env, stdout=subprocess.PIPE,
                                 stderr=subprocess.PIPE, timeout=120)
            out = run.stdout.decode(errors="replace")
            err = run.stderr.decode(errors="replace")
            found = sorted(line for line in out.splitlines() if "Infected!" in line)
            # Warnings name a set that was passed over or a database that could not be read.
            if run.returncode != 1 or err.strip():
                problems.append("status %d, stderr: %s" % (run.returncode, err.strip()))
            elif found not in expected.values():
                problems.append("detections of no single set: %s" % found)
            results.append(found)

    thread = threading.Thread(target=scanner)
    thread.start()
    try:
        for version in range(2, updates + 2):
            fixture.publish(version, sets["b" if version % 2 == 0 else "a"])
            result = fixture.update()
            if b"Updated the signatures" not in result.stdout:
                problems.append("update %d: %s" % (version, result.stdout.decode(errors="replace")))
    finally:
        stop.set()
        thread.join()
    if problems:
        fail("%d problem(s) in %d scans; first: %s" % (len(problems), len(results), problems[0]))
    seen = {name: sum(1 for r in results if r == expected[name]) for name in expected}
    print("scans during updates: %d updates, %d scans, all complete: %d with the first set's "
          "detections, %d with the second's" % (updates, len(results), seen["a"], seen["b"]))
    if len(results) < 10:
        fail("only %d scans ran during the updates" % len(results))


def main():
    if len(sys.argv) < 3 or sys.argv[1] not in ("kill", "scans"):
        sys.stderr.write(__doc__)
        return 2
    bin_dir = os.path.abspath(sys.argv[2])
    count = int(sys.argv[3]) if len(sys.argv) > 3 else (200 if sys.argv[1] == "kill" else 50)
    work = tempfile.mkdtemp()
    fixture = None
    try:
        fixture = Fixture(bin_dir, work)
        if sys.argv[1] == "kill":
            kill_trials(fixture, count)
        else:
            scans_during_updates(fixture, count)
    finally:
        if fixture is not None:
            fixture.close()
        shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
