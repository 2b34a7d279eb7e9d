#!/usr/bin/env python3
"""Whole-process pairs on a rule file and a folder of messages: the plugin
and the straightforward evaluation alternating on each message, the CPU
time of each process (user + system), the outputs compared byte for byte,
and the table by message size.

    bench/realpairs.py --build BUILD --rules real.rules --mail DIR [--runs 3]
                       [--no-form]

BUILD is a release build with the benchmark (cmake -DPOSTSENTINEL_BENCH=ON):
its postsentinel-blocklist-bench reads BUILD/benchtree/etc/postsentinel,
where the rules are copied, with the compiled form made by blocklistctl
compile unless --no-form is given. Both processes run with the debug marker,
as the rules' "Found" lines are what they are compared on.

Without real mail at hand, --make-mail DIR writes 300 messages (53 below
2 KB, 214 of 2-10 KB, 33 of 10-50 KB) whose bodies are running English text
from the documentation installed under /usr/share/doc: real text, not real
mail, and so no stand-in for spam.
"""
import argparse
import gzip
import os
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path


def cputime(args):
    """Runs args; its output streams and its CPU time (user + system) in seconds."""
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        pid = os.posix_spawn(args[0], args, os.environ, file_actions=[
            (os.POSIX_SPAWN_DUP2, out.fileno(), 1), (os.POSIX_SPAWN_DUP2, err.fileno(), 2)])
        _, _, usage = os.wait4(pid, 0)
        out.seek(0)
        err.seek(0)
        return out.read() + b"\0" + err.read(), usage.ru_utime + usage.ru_stime


def peakkb(args):
    """The largest resident set of a run of args, in KB."""
    pid = os.fork()
    if pid == 0:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, 1)
        os.dup2(devnull, 2)
        os.execv(args[0], args)
    _, _, usage = os.wait4(pid, 0)
    return usage.ru_maxrss


def doctext():
    """Paragraphs of prose from the installed documentation."""
    words = []
    for path in sorted(Path("/usr/share/doc").glob("*/*")):
        if path.name.startswith(("changelog", "NEWS", "README")) and path.is_file():
            try:
                raw = gzip.open(path).read() if path.suffix == ".gz" else path.read_bytes()
            except OSError:
                continue
            words.extend(raw.decode("latin-1").split())
        if len(words) > 2_000_000:
            break
    return words


def makemail(folder):
    folder.mkdir(parents=True, exist_ok=True)
    words = doctext()
    rng = random.Random(34)
    sizes = ([rng.randint(600, 2000) for _ in range(53)] +
             [rng.randint(2048, 10240) for _ in range(214)] +
             [rng.randint(10240, 51200) for _ in range(33)])
    for n, size in enumerate(sizes):
        start = rng.randrange(len(words) - 20000)
        head = (f"From: someone{n}@example.org\nTo: admin@example.net\n"
                f"Subject: {' '.join(words[start:start + 6])}\n"
                "MIME-Version: 1.0\nContent-Type: text/plain\n\n")
        body, i = [], start + 6
        length = len(head)
        while length < size:
            line = " ".join(words[i:i + 12]) + "\n"
            body.append(line)
            length += len(line)
            i += 12
        (folder / f"{n:03d}.eml").write_text(head + "".join(body), encoding="latin-1")


def main():
    a = argparse.ArgumentParser()
    a.add_argument("--build")
    a.add_argument("--rules")
    a.add_argument("--mail")
    a.add_argument("--runs", type=int, default=3)
    a.add_argument("--no-form", action="store_true")
    a.add_argument("--make-mail")
    o = a.parse_args()
    if o.make_mail:
        makemail(Path(o.make_mail))
        return
    build = Path(o.build)
    conf = build / "benchtree/etc/postsentinel"
    conf.mkdir(parents=True, exist_ok=True)
    rules = conf / "blocklist.local"
    shutil.copyfile(o.rules, rules)
    # The debug marker: "Found" lines for every rule that hits.
    (conf / "blocklist.local.debug").write_bytes(b"")
    form = conf / "blocklist.local.compiled"
    form.unlink(missing_ok=True)
    if not o.no_form:
        began = time.monotonic()
        subprocess.run([str(build / "blocklistctl"), "compile", "--rules", str(rules)],
                       check=True, stdout=subprocess.DEVNULL)
        print(f"form: {form.stat().st_size} bytes, compiled in "
              f"{time.monotonic() - began:.1f} s", file=sys.stderr)
    plugin = str(build / "bench/postsentinel-blocklist-bench")
    straight = str(build / "bench/straightforward-plugin")
    floor = str(build / "bench/minimal-reader")
    rows = {"< 2 KB": [], "2-10 KB": [], "10-50 KB": [], ">= 50 KB": []}
    differ = 0
    peaks = []
    for message in sorted(Path(o.mail).iterdir()):
        size = message.stat().st_size
        key = ("< 2 KB" if size < 2048 else "2-10 KB" if size < 10240 else
               "10-50 KB" if size < 51200 else ">= 50 KB")
        here, there, least = [], [], []
        for _ in range(o.runs):
            out1, t1 = cputime([plugin, "-scan", "a", "b", "c", str(message)])
            out2, t2 = cputime([straight, "-scan", "a", "b", "c", str(message)])
            _, t3 = cputime([floor, str(rules), str(message)])
            here.append(t1)
            there.append(t2)
            least.append(t3)
            differ += out1 != out2
        peaks.append(peakkb([plugin, "-scan", "a", "b", "c", str(message)]))
        h, t = statistics.median(here), statistics.median(there)
        rows[key].append((h, t, statistics.median(least), h / t if t else 1.0, h - 1.10 * t))
    print("| message size | messages | straightforward, median | plugin, median | floor, median "
          "| ratio (median of per-message ratios) | worst ratio | worst excess over 1.10x |")
    print("|---|---:|---:|---:|---:|---:|---:|---:|")
    for key, r in rows.items():
        if not r:
            continue
        ms = lambda i: statistics.median(x[i] for x in r) * 1000
        print(f"| {key} | {len(r)} | {ms(1):.1f} ms | {ms(0):.1f} ms | {ms(2):.1f} ms | "
              f"{statistics.median(x[3] for x in r):.2f} | {max(x[3] for x in r):.2f} | "
              f"{max(x[4] for x in r) * 1000:+.1f} ms |")
    print(f"outputs that differed: {differ}; the plugin's memory peak: median "
          f"{statistics.median(peaks)} KB, largest {max(peaks)} KB")


if __name__ == "__main__":
    main()
