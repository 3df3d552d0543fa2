#!/usr/bin/env python3
"""Benchmarks longdup against the tools a user would pick instead of it.

Measures, on each corpus and side by side in one run, `longdup e` / `longdup d`
and the long-window compressors (zstd --long, xz, lrzip), alone and in the
pipelines a user would build (longdup, then an ordinary compressor). Every
repetition runs every tool in turn, so that a slow patch of a shared machine
hurts all tools alike; the table shows medians with min-max.

Knobs, as options or environment variables (options win):
  --size MB        BENCH_SIZE=400       synthetic corpus size, in 10^6 bytes
  --reps N         BENCH_REPS=3         repetitions
  --seed N         BENCH_SEED=1         synthetic corpus seed
  --quick          BENCH_QUICK=1        50 MB, one repetition
  --real           BENCH_REAL=1         also fetch and measure the real corpora
  --usrlib-mb MB   BENCH_USRLIB_MB=400  cap on the /usr/lib tar (0: no cap)
  --file PATH      BENCH_FILES=a:b      also measure these files as they are
  --no-synth       BENCH_NO_SYNTH=1     skip the synthetic corpus
  --no-longdup     BENCH_NO_LONGDUP=1   peers only (while longdup is unfinished)
  --skip TOOLS     BENCH_SKIP=lrzip,xz  leave out tool families
  --longdup-args   BENCH_LONGDUP_ARGS   extra arguments: avglen index-MiB window-MiB
  --longdup PATH   BENCH_LONGDUP        measure this binary instead of building
                                        build/release/longdup (e.g. an older build)
  --cache DIR      BENCH_CACHE          corpora, scratch files and results
                                        (default ~/.cache/longdup-bench)
  --timeout S      BENCH_TIMEOUT=3600   seconds one command may take
Run it as `make bench` (after a release build) or `python3 bench/run.py`.
"""

import argparse
import datetime
import hashlib
import os
import shlex
import shutil
import statistics
import subprocess
import sys
import tarfile
import tempfile
import time
from dataclasses import dataclass, field
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
RELEASE_BINARY = REPO / "build" / "release" / "longdup"
GEN_SRC = REPO / "bench" / "gen_corpus.cpp"
MB = 1_000_000
MIB = 1 << 20

# Consecutive releases of a large npm package: a release tree that changes a
# little from one version to the next. Pinned by the registry's sha1, so the
# corpus is the same bytes wherever it is fetched.
NPM_PACKAGE = "typescript"
NPM_VERSIONS = {
    "5.4.2": "0ae9cebcfae970718474fe0da2c090cad6577372",
    "5.4.3": "5c6fedd4c87bee01cd7a528a30145521f8e0feff",
    "5.4.4": "eb2471e7b0a5f1377523700a21669dce30c2d952",
    "5.4.5": "42ccef2c571fdbd0f6718b1d1f5e6e5ef006f611",
    "5.5.2": "c26f023cb0054e657ce04f72583ea2d85f8d0507",
    "5.5.3": "e1b0a3c394190838a0b168e771b0ad56a0af0faa",
    "5.5.4": "d9852d6c82bad2d2eda4fd74a5762a8f5909e9ba",
    "5.6.2": "d1de67b6bef77c41823f822df8f0b3bcff60a5a0",
    "5.6.3": "5f3449e31c9d94febb17de03cc081dd56d81db5b",
    "5.7.2": "3169cf8c4c8a828cde53ba9ecb3d2b1d5dd67be6",
    "5.7.3": "919b44a7dbb8583a9b856d162be24a54bf80073e",
}

# command -> Debian package that provides it
PEER_PACKAGES = {"zstd": "zstd", "xz": "xz-utils", "lrzip": "lrzip", "/usr/bin/time": "time"}


def say(msg):
    print(f"bench: {msg}", file=sys.stderr, flush=True)


def die(msg):
    print(f"bench: FAILED: {msg}", file=sys.stderr, flush=True)
    sys.exit(1)


# ---------------------------------------------------------------- settings


def env_flag(name):
    return os.environ.get(name, "") not in ("", "0", "no", "false")


def parse_args():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter,
                                 usage="%(prog)s [options]")
    ap.add_argument("--size", type=int, default=int(os.environ.get("BENCH_SIZE", 0) or 0))
    ap.add_argument("--reps", type=int, default=int(os.environ.get("BENCH_REPS", 0) or 0))
    ap.add_argument("--seed", type=int, default=int(os.environ.get("BENCH_SEED", 1)))
    ap.add_argument("--quick", action="store_true", default=env_flag("BENCH_QUICK"))
    ap.add_argument("--real", action="store_true", default=env_flag("BENCH_REAL"))
    ap.add_argument("--usrlib-mb", type=int, default=int(os.environ.get("BENCH_USRLIB_MB", 400)))
    ap.add_argument("--file", action="append", default=[f for f in os.environ.get("BENCH_FILES", "").split(":") if f])
    ap.add_argument("--no-synth", action="store_true", default=env_flag("BENCH_NO_SYNTH"))
    ap.add_argument("--no-longdup", action="store_true", default=env_flag("BENCH_NO_LONGDUP"))
    ap.add_argument("--skip", default=os.environ.get("BENCH_SKIP", ""), help="comma-separated: longdup,zstd,xz,lrzip")
    ap.add_argument("--longdup-args", default=os.environ.get("BENCH_LONGDUP_ARGS", ""))
    ap.add_argument("--longdup", default=os.environ.get("BENCH_LONGDUP", ""))
    ap.add_argument("--cache", default=os.environ.get("BENCH_CACHE", ""))
    ap.add_argument("--timeout", type=int, default=int(os.environ.get("BENCH_TIMEOUT", 3600)),
                    help="seconds one command may take")
    a = ap.parse_args()
    a.size = a.size or (50 if a.quick else 400)
    a.reps = a.reps or (1 if a.quick else 3)
    a.skip = {s.strip() for s in a.skip.split(",") if s.strip()}
    a.longdup = Path(a.longdup).expanduser().resolve() if a.longdup else RELEASE_BINARY
    if a.no_longdup:
        a.skip.add("longdup")
    unknown = a.skip - {"longdup", "zstd", "xz", "lrzip"}
    if unknown:
        die(f"--skip: unknown tool {', '.join(sorted(unknown))}")
    xdg = os.environ.get("XDG_CACHE_HOME") or str(Path.home() / ".cache")
    a.cache = Path(a.cache or Path(xdg) / "longdup-bench").expanduser().resolve()
    if REPO in a.cache.parents or a.cache == REPO:
        die(f"{a.cache}: the cache must live outside the repository")
    if a.size <= 0 or a.reps <= 0:
        die("size and reps must be positive")
    return a


def invocation(args):
    """The command that reproduces this run, environment included."""
    env = " ".join(f"{k}={shlex.quote(v)}" for k, v in sorted(os.environ.items()) if k.startswith("BENCH_"))
    cmd = " ".join(shlex.quote(x) for x in ["bench/run.py"] + sys.argv[1:])
    return (env + " " if env else "") + cmd


# ---------------------------------------------------------------- set-up


def run_quiet(cmd, **kw):
    return subprocess.run(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True, **kw)


def probe(cmd, d, **kw):
    """One probe run of longdup; a hang counts as a failure."""
    kw.setdefault("stdin", subprocess.DEVNULL)
    try:
        return subprocess.run(cmd, cwd=d, capture_output=True, timeout=60, **kw)
    except subprocess.TimeoutExpired:
        return subprocess.CompletedProcess(cmd, -1, b"", b"")


def ensure_peers(skip):
    wanted = {c: p for c, p in PEER_PACKAGES.items() if c.split("/")[-1] not in skip}
    missing = {c: p for c, p in wanted.items() if not shutil.which(c)}
    if not missing:
        return
    pkgs = sorted(set(missing.values()))
    say(f"installing {' '.join(pkgs)} from Debian's archive")
    install = ["apt-get", "install", "-y", "--no-install-recommends"] + pkgs
    env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
    if run_quiet(install, env=env).returncode != 0:
        run_quiet(["apt-get", "update"], env=env)
        r = run_quiet(install, env=env)
        if r.returncode != 0:
            say(r.stderr.strip()[-400:])
    for c, p in missing.items():
        if shutil.which(c):
            continue
        if c == "lrzip":
            say("lrzip could not be installed; leaving it out")
            skip.add("lrzip")
        else:
            die(f"{c} is missing and `apt-get install {p}` did not bring it")


def build_longdup():
    say("building the release binary")
    for cmd in (["cmake", "--preset", "release"], ["cmake", "--build", "--preset", "release"]):
        r = run_quiet(cmd, cwd=REPO)
        if r.returncode != 0:
            die(f"{' '.join(cmd)} failed:\n{r.stderr[-2000:]}")


def compile_generator(cache):
    digest = hashlib.sha256(GEN_SRC.read_bytes()).hexdigest()[:12]
    exe = cache / f"gen_corpus-{digest}"
    if not exe.exists():
        say("compiling the corpus generator")
        tmp = exe.with_suffix(".tmp")
        r = run_quiet(["g++", "-O2", "-std=c++20", "-Wall", "-Wextra", "-Werror", "-o", str(tmp), str(GEN_SRC)])
        if r.returncode != 0:
            die(f"compiling {GEN_SRC} failed:\n{r.stderr[-2000:]}")
        tmp.rename(exe)
    return exe, digest


@dataclass
class pipe_support:
    """Whether longdup takes `-` for stdout (encoding) and stdin (decoding)."""
    out: bool = False
    inp: bool = False


def probe_longdup(gen, args):
    """Refuses to measure a longdup that does not round-trip, and finds out
    whether it can sit in a shell pipe or needs a FIFO."""
    exe = str(args.longdup)
    if not args.longdup.exists():
        die(f"{exe} does not exist")
    hint = "measure the peers alone with --no-longdup (BENCH_NO_LONGDUP=1) until it does"
    with tempfile.TemporaryDirectory(dir=args.cache) as d:
        d = Path(d)
        plain = d / "plain"
        r = run_quiet([str(gen), str(plain), "2", "7", "3"])
        if r.returncode != 0:
            die(f"corpus generator failed: {r.stderr}")
        extra = args.longdup_args.split()
        r = probe([exe, "e", str(plain), str(d / "enc")] + extra, d)
        r2 = probe([exe, "d", str(d / "enc"), str(d / "dec")], d)
        if r.returncode or r2.returncode or not (d / "dec").exists() or not same_file(plain, d / "dec"):
            die(f"longdup does not restore a 2 MB test file yet; {hint}")
        enc = (d / "enc").read_bytes()
        support = pipe_support()
        r = probe([exe, "e", str(plain), "-"] + extra, d)
        support.out = r.returncode == 0 and r.stdout == enc and not (d / "-").exists()
        # A longdup that takes "-" for a file name has just written one; it
        # must not be there for the stdin probe to find.
        (d / "-").unlink(missing_ok=True)
        with open(d / "enc", "rb") as f:
            r = probe([exe, "d", "-", str(d / "dec2")], d, stdin=f)
        support.inp = r.returncode == 0 and (d / "dec2").exists() and same_file(plain, d / "dec2")
    say(f"longdup round-trips; stdout `-`: {'yes' if support.out else 'no, using a FIFO'}, "
        f"stdin `-`: {'yes' if support.inp else 'no, using a FIFO'}")
    return support


def same_file(a, b):
    return subprocess.run(["cmp", "-s", str(a), str(b)]).returncode == 0


def sha256_of(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        while chunk := f.read(1 << 22):
            h.update(chunk)
    return h.hexdigest()


# ---------------------------------------------------------------- corpora


@dataclass
class corpus:
    name: str
    path: Path
    about: str


def synth_corpus(args, gen, digest):
    path = args.cache / f"synth-{args.size}MB-seed{args.seed}-{digest}.tar"
    if not path.exists():
        say(f"generating {path.name}")
        tmp = path.with_suffix(".tmp")
        r = run_quiet([str(gen), str(tmp), str(args.size), str(args.seed)])
        if r.returncode != 0:
            die(f"corpus generator failed: {r.stderr}")
        tmp.rename(path)
    return corpus(f"synth-{args.size}MB-seed{args.seed}", path,
                  "generated backup stream: a file tree, then edited versions of it")


def npm_corpus(args):
    path = args.cache / f"npm-{NPM_PACKAGE}-{len(NPM_VERSIONS)}-versions.tar"
    about = f"{NPM_PACKAGE} {min(NPM_VERSIONS)} to {max(NPM_VERSIONS)} ({len(NPM_VERSIONS)} releases) unpacked in one tar"
    if path.exists():
        return corpus(path.stem, path, about)
    dl = args.cache / "npm"
    dl.mkdir(exist_ok=True)
    for v, sha1 in NPM_VERSIONS.items():
        tgz = dl / f"{NPM_PACKAGE}-{v}.tgz"
        if not tgz.exists():
            say(f"fetching {NPM_PACKAGE}@{v}")
            r = run_quiet(["npm", "pack", "--silent", "--pack-destination", str(dl), f"{NPM_PACKAGE}@{v}"],
                          cwd=dl)
            if r.returncode != 0 or not tgz.exists():
                die(f"npm pack {NPM_PACKAGE}@{v} failed:\n{r.stderr[-1000:]}")
        if hashlib.sha1(tgz.read_bytes()).hexdigest() != sha1:
            tgz.unlink()
            die(f"{tgz.name}: sha1 differs from the pinned one; removed it, try again")
    # Rewritten entry by entry, not extracted, so that owners, times and
    # order come from the tarballs alone and the corpus is the same bytes
    # on every machine.
    tmp = path.with_suffix(".tmp")
    with tarfile.open(tmp, "w", format=tarfile.GNU_FORMAT) as out:
        for v in NPM_VERSIONS:
            with tarfile.open(dl / f"{NPM_PACKAGE}-{v}.tgz", "r:gz") as src:
                for m in src.getmembers():
                    data = src.extractfile(m) if m.isfile() else None
                    m.name = f"{NPM_PACKAGE}-{v}/" + m.name.split("/", 1)[-1]
                    m.uid = m.gid = 0
                    m.uname = m.gname = "root"
                    out.addfile(m, data)
    tmp.rename(path)
    return corpus(path.stem, path, about)


def usrlib_corpus(args):
    cap = args.usrlib_mb
    path = args.cache / (f"usr-lib-first-{cap}MB.tar" if cap else "usr-lib.tar")
    if not path.exists():
        say(f"packing /usr/lib into {path.name}")
        tmp = path.with_suffix(".tmp")
        tar = "tar -C / -cf - --sort=name --numeric-owner usr/lib 2>/dev/null"
        cmd = f"{tar} | head -c {cap * MB}" if cap else tar
        with open(tmp, "wb") as f:
            subprocess.run(["bash", "-c", cmd], stdout=f)
        if tmp.stat().st_size == 0:
            die("tar of /usr/lib came out empty")
        tmp.rename(path)
    return corpus(path.stem, path, "this machine's installed /usr/lib as a tar (machine-specific: compare by sha256)"
                  + (f", first {cap} MB" if cap else ""))


# ---------------------------------------------------------------- the steps


@dataclass
class step:
    """One timed command. Its shell text has {in}, {out}, {tmp}, {fifo} and
    {longdup} slots, filled with real paths to run it and with short names to
    show it."""
    key: str
    family: set
    cmd: str
    src: str = "plain"       # "plain", or the key of the step whose output it reads
    restores: bool = False   # its output must equal the corpus
    uses_fifo: bool = False
    runs: list = field(default_factory=list)


def make_steps(args, pipes):
    ld = "{longdup}"
    extra = " " + " ".join(shlex.quote(x) for x in args.longdup_args.split()) if args.longdup_args else ""
    s = [
        step("cat", set(), "cat {in} > /dev/null"),
        # Writing the corpus to a new file: what any restore must at least pay.
        step("cpw", set(), "cat {in} > {out}", "plain", True),
        step("ld.e", {"longdup"}, f"{ld} e {{in}} {{out}}{extra} > /dev/null"),
        step("ld.d", {"longdup"}, f"{ld} d {{in}} {{out}} > /dev/null", "ld.e", True),
        step("z1.c", {"zstd"}, "zstd -1 --long=30 -T1 -q -f {in} -o {out}"),
        step("z1.d", {"zstd"}, "zstd -d --long=30 -q -f {in} -o {out}", "z1.c", True),
        step("z3.c", {"zstd"}, "zstd -3 --long=30 -T1 -q -f {in} -o {out}"),
        step("z3.d", {"zstd"}, "zstd -d --long=30 -q -f {in} -o {out}", "z3.c", True),
        step("xz.c", {"xz"}, "xz -6 -T1 -c {in} > {out}"),
        step("xz.d", {"xz"}, "xz -d -T1 -c {in} > {out}", "xz.c", True),
        step("lr.c", {"lrzip"}, "lrzip -n -q -f -o {out} {in} > /dev/null"),
        step("lr.d", {"lrzip"}, "lrzip -d -q -f -o {out} {in} > /dev/null", "lr.c", True),
    ]
    for key, comp, decomp in (("ldz", "zstd -3 -T1", "zstd -d"), ("ldx", "xz -6 -T1", "xz -d -T1")):
        fam = {"longdup", comp.split()[0]}
        if pipes.out:
            enc = step(f"{key}.c", fam, f"set -o pipefail; {ld} e {{in}} -{extra} | {comp} -q -c > {{out}}")
        else:
            enc = step(f"{key}.c", fam,
                       f"{ld} e {{in}} {{fifo}}{extra} > /dev/null & {comp} -q -c < {{fifo}} > {{out}}; "
                       f"s=$?; wait $! && exit $s", uses_fifo=True)
        if pipes.inp:
            dec = step(f"{key}.d", fam, f"set -o pipefail; {decomp} -q -c {{in}} | {ld} d - {{out}} > /dev/null",
                       f"{key}.c", True)
        else:
            dec = step(f"{key}.d", fam,
                       f"{decomp} -q -c {{in}} > {{fifo}} & {ld} d {{fifo}} {{out}} > /dev/null; "
                       f"s=$?; wait $! && exit $s", f"{key}.c", True, uses_fifo=True)
        s += [enc, dec]
    s += [
        step("lrz.c", {"lrzip", "zstd"},
             "lrzip -n -q -f -o {tmp} {in} > /dev/null && zstd -3 -T1 -q -f --rm {tmp} -o {out}"),
        step("lrz.d", {"lrzip", "zstd"},
             "zstd -d -q -f {in} -o {tmp} && lrzip -d -q -f -o {out} {tmp} > /dev/null && rm -f {tmp}",
             "lrz.c", True),
    ]
    return [x for x in s if not (x.family & args.skip)]


# Table rows: (label, step key, key of the peer on the same row). The peer of
# each section is the tool a user would otherwise run for that job.
SECTIONS = [
    ("encode / compress (MB/s of input)", [
        ("cat > /dev/null (copy ceiling)", "cat", "z1.c"),
        ("longdup e", "ld.e", "z1.c"),
        ("zstd -1 --long=30 -T1 *", "z1.c", None),
        ("zstd -3 --long=30 -T1 *", "z3.c", "z1.c"),
        ("xz -6 -T1", "xz.c", "z1.c"),
        ("lrzip -n", "lr.c", "z1.c"),
    ]),
    ("decode / decompress (MB/s of restored output)", [
        ("cat > new file (write ceiling)", "cpw", "z1.d"),
        ("longdup d", "ld.d", "z1.d"),
        ("zstd -d --long=30 (of -1)", "z1.d", None),
        ("zstd -d --long=30 (of -3)", "z3.d", "z1.d"),
        ("xz -d -T1", "xz.d", "z1.d"),
        ("lrzip -d", "lr.d", "z1.d"),
    ]),
    ("pipelines, compress: total time, final size", [
        ("longdup e | zstd -3 -T1", "ldz.c", "z3.c"),
        ("longdup e | xz -6 -T1", "ldx.c", "xz.c"),
        ("zstd -3 --long=30 -T1 *", "z3.c", None),
        ("xz -6 -T1", "xz.c", "z3.c"),
        ("lrzip -n, then zstd -3 -T1", "lrz.c", "z3.c"),
    ]),
    ("pipelines, restore", [
        ("zstd -d | longdup d", "ldz.d", "z3.d"),
        ("xz -d | longdup d", "ldx.d", "xz.d"),
        ("zstd -d --long=30", "z3.d", None),
        ("xz -d -T1", "xz.d", "z3.d"),
        ("zstd -d, then lrzip -d", "lrz.d", "z3.d"),
    ]),
]

NOTES = [
    "MB = 10^6 bytes; MB/s counts the plain (uncompressed) bytes in both directions, over wall-clock time.",
    "cpu = user + system seconds; peak RSS is the largest single process (GNU time -v), for a pipeline its largest stage.",
    "x = this row's figure divided by the same figure of the row named under 'vs' (both medians).",
    "* zstd -T1 still runs a separate I/O thread (its cpu can exceed its wall time);"
    " it is compared as users run it.",
    "longdup codes on one thread; beside it, threads read a regular input file ahead, write the output"
    " and commit fresh memory pages (cpu can exceed wall time).",
    "Every restore was checked byte for byte against the corpus (cmp).",
]


# ---------------------------------------------------------------- running


@dataclass
class sample:
    wall: float
    cpu: float
    rss_kib: int
    out_bytes: int | None


def parse_gnu_time(text):
    vals = {}
    for line in text.splitlines():
        k, _, v = line.strip().rpartition(": ")
        vals[k] = v
    cpu = float(vals.get("User time (seconds)", 0)) + float(vals.get("System time (seconds)", 0))
    return cpu, int(vals.get("Maximum resident set size (kbytes)", 0))


class runner:
    def __init__(self, args, corp, steps):
        self.args = args
        self.longdup = args.longdup
        self.corp = corp
        self.steps = {s.key: s for s in steps}
        self.order = steps
        self.work = Path(tempfile.mkdtemp(prefix="work-", dir=args.cache))
        self.fifo = self.work / "fifo"
        os.mkfifo(self.fifo)

    def output_of(self, key):
        return self.work / f"{key}.out"

    def paths(self, s):
        return {
            "in": str(self.corp.path) if s.src == "plain" else str(self.output_of(s.src)),
            "out": str(self.output_of(s.key)),
            "tmp": str(self.work / f"{s.key}.tmp"),
            "fifo": str(self.fifo),
            "longdup": str(self.longdup),
        }

    def fail(self, msg, keep=False):
        if not keep:
            shutil.rmtree(self.work, ignore_errors=True)
        die(f"{self.corp.name}: {msg}")

    def timed(self, cmd):
        """Runs cmd in its own process group, so that a time-out or ^C
        takes down every stage of a pipeline, not only the shell."""
        tfile = self.work / "time.txt"
        t0 = time.perf_counter()
        p = subprocess.Popen(["/usr/bin/time", "-v", "-o", str(tfile), "bash", "-c", cmd],
                             stdin=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True,
                             start_new_session=True)
        try:
            _, err = p.communicate(timeout=self.args.timeout)
        except (subprocess.TimeoutExpired, KeyboardInterrupt) as e:
            os.killpg(p.pid, 9)
            p.wait()
            if isinstance(e, KeyboardInterrupt):
                raise
            self.fail(f"`{cmd}` ran past {self.args.timeout} s")
        wall = time.perf_counter() - t0
        if p.returncode != 0:
            self.fail(f"`{cmd}` exited with status {p.returncode}:\n{err[-2000:]}")
        return (wall,) + parse_gnu_time(tfile.read_text())

    def run_step(self, s):
        cmd = s.cmd.format(**{k: shlex.quote(v) for k, v in self.paths(s).items()})
        wall, cpu, rss = self.timed(cmd)
        out = self.output_of(s.key)
        size = out.stat().st_size if out.exists() else None
        if s.restores and not same_file(self.corp.path, out):
            self.fail(f"`{cmd}` did not restore the input exactly; kept {out} and its source for inspection",
                      keep=True)
        s.runs.append(sample(wall, cpu, rss, size))

    def clean_rep(self):
        for p in self.work.iterdir():
            if p != self.fifo:
                p.unlink()

    def run(self):
        # Read once untimed, so that every tool, the first one included, finds
        # the corpus in the page cache.
        subprocess.run(["cat", str(self.corp.path)], stdout=subprocess.DEVNULL, check=True)
        for rep in range(self.args.reps):
            for s in self.order:
                say(f"{self.corp.name}: repetition {rep + 1}/{self.args.reps}: {s.key}")
                self.run_step(s)
                # Restored copies are as large as the corpus: drop them at once.
                if s.restores:
                    self.output_of(s.key).unlink()
                # Untimed: the kernel writes back what this step left dirty
                # now, not on the cores of a later step.
                os.sync()
            self.clean_rep()
        shutil.rmtree(self.work)


# ---------------------------------------------------------------- the table


def med(xs):
    return statistics.median(xs)


def fmt_num(x):
    """Three significant digits or more, never scientific notation."""
    if x is None:
        return "-"
    for limit, digits in ((1, 3), (10, 2), (100, 1)):
        if x < limit:
            return f"{x:.{digits}f}"
    return f"{x:.0f}"


def ratio(a, b):
    if a is None or b is None or b == 0:
        return "-"
    r = a / b
    return f"{r:.4f}" if r < 0.01 else f"{r:.3f}" if r < 0.1 else f"{r:.2f}"


def figures(s, plain_bytes):
    walls = [r.wall for r in s.runs]
    speeds = [plain_bytes / MB / w for w in walls]
    sizes = [r.out_bytes for r in s.runs]
    return {
        "s": med(walls),
        "mbs": med(speeds),
        "mbs_lo": min(speeds),
        "mbs_hi": max(speeds),
        "cpu": med([r.cpu for r in s.runs]),
        "rss": med([r.rss_kib for r in s.runs]) * 1024 / MIB,
        # Sizes never vary between repetitions. A restored copy is the corpus
        # again, so only compressed outputs have a size worth showing.
        "out": None if s.restores or None in sizes else sizes[0] / MB,
    }


COLUMNS = ["step", "s", "cpu s", "MB/s", "min-max", "x", "RSS MiB", "x", "out MB", "x", "vs"]
RIGHT = {1, 2, 3, 4, 5, 6, 7, 8, 9}


def table_rows(steps, plain_bytes):
    by_key = {s.key: s for s in steps}
    fig = {k: figures(s, plain_bytes) for k, s in by_key.items()}
    out = []
    for title, rows in SECTIONS:
        present = [(label, key, ref) for label, key, ref in rows if key in fig]
        if not present:
            continue
        out.append(title)
        labels = {key: label for label, key, _ in rows}
        for label, key, ref in present:
            f = fig[key]
            g = fig.get(ref) if ref else None
            out.append([
                label,
                fmt_num(f["s"]),
                fmt_num(f["cpu"]),
                fmt_num(f["mbs"]),
                f"{fmt_num(f['mbs_lo'])}-{fmt_num(f['mbs_hi'])}",
                ratio(f["mbs"], g["mbs"]) if g else "-",
                fmt_num(f["rss"]),
                ratio(f["rss"], g["rss"]) if g else "-",
                fmt_num(f["out"]),
                ratio(f["out"], g["out"]) if g else "-",
                labels[ref].rstrip(" *") if g else "(reference)" if not ref else "",
            ])
    return out


def plain_table(rows):
    cells = [COLUMNS] + [r for r in rows if isinstance(r, list)]
    widths = [max(len(r[i]) for r in cells) for i in range(len(COLUMNS))]

    def line(r):
        return "  ".join(c.rjust(w) if i in RIGHT else c.ljust(w) for i, (c, w) in enumerate(zip(r, widths))).rstrip()

    text = [line(COLUMNS)]
    for r in rows:
        text.append(line(r) if isinstance(r, list) else f"-- {r}")
    return text


def markdown_table(rows):
    text = ["| " + " | ".join(COLUMNS) + " |", "|" + "|".join("---:" if i in RIGHT else "---" for i in range(len(COLUMNS))) + "|"]
    for r in rows:
        if isinstance(r, list):
            text.append("| " + " | ".join(c.replace("|", "\\|").replace("*", "\\*") for c in r) + " |")
        else:
            text.append(f"| **{r}** |" + " |" * (len(COLUMNS) - 1))
    return text


def command_legend(steps):
    """The exact commands, with short names for the paths."""
    lines = []
    for s in steps:
        names = {"in": "IN" if s.src == "plain" else f"{s.src}.out", "out": f"{s.key}.out",
                 "tmp": f"{s.key}.tmp", "fifo": "FIFO", "longdup": "longdup"}
        lines.append(f"{s.key:6} {s.cmd.format(**names)}")
    return lines


def machine_line():
    cpu = "?"
    try:
        for line in open("/proc/cpuinfo"):
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    return f"{os.uname().nodename}, {os.cpu_count()} cores, {cpu}"


def tool_versions(skip, longdup):
    v = []
    if "zstd" not in skip:
        v.append(subprocess.run(["zstd", "-V"], capture_output=True, text=True).stdout.split(",")[0].strip(" *"))
    if "xz" not in skip:
        v.append(subprocess.run(["xz", "-V"], capture_output=True, text=True).stdout.splitlines()[0])
    if "lrzip" not in skip:
        r = subprocess.run(["lrzip", "-V"], capture_output=True, text=True)
        v.append((r.stdout or r.stderr).strip().splitlines()[0])
    if "longdup" not in skip:
        rev = subprocess.run(["git", "-C", str(REPO), "rev-parse", "--short", "HEAD"], capture_output=True, text=True)
        dirty = subprocess.run(["git", "-C", str(REPO), "status", "--porcelain", "src"], capture_output=True, text=True)
        if longdup == RELEASE_BINARY:
            v.append(f"longdup {rev.stdout.strip()}{' + uncommitted src' if dirty.stdout.strip() else ''}")
        else:
            v.append(f"longdup {longdup}")
    return "; ".join(v)


# ---------------------------------------------------------------- main


def main():
    args = parse_args()
    args.cache.mkdir(parents=True, exist_ok=True)
    ensure_peers(args.skip)
    gen, digest = compile_generator(args.cache)
    pipes = pipe_support()
    if "longdup" not in args.skip:
        if args.longdup == RELEASE_BINARY:
            build_longdup()
        pipes = probe_longdup(gen, args)

    corpora = []
    if not args.no_synth:
        corpora.append(synth_corpus(args, gen, digest))
    if args.real:
        corpora += [npm_corpus(args), usrlib_corpus(args)]
    for f in args.file:
        p = Path(f).expanduser().resolve()
        if not p.is_file():
            die(f"{f}: not a file")
        corpora.append(corpus(p.name, p, str(p)))
    if not corpora:
        die("no corpus selected")

    started = datetime.datetime.now().strftime("%Y-%m-%d %H:%M")
    head = [
        f"longdup benchmark, {started}",
        f"command: {invocation(args)}",
        f"machine: {machine_line()}",
        f"tools: {tool_versions(args.skip, args.longdup)}",
        f"repetitions: {args.reps}, interleaved; figures are medians"
        + (f"; left out: {', '.join(sorted(args.skip))}" if args.skip else ""),
    ]
    text, md = list(head), [f"### {head[0]}", ""] + [f"- {h}" for h in head[1:]]
    for c in corpora:
        steps = make_steps(args, pipes)
        r = runner(args, c, steps)
        r.run()
        size = c.path.stat().st_size
        title = f"{c.name}: {size / MB:.1f} MB, sha256 {sha256_of(c.path)[:16]}; {c.about}"
        rows = table_rows(steps, size)
        text += ["", title] + plain_table(rows)
        md += ["", f"#### {title}", ""] + markdown_table(rows)
        legend = command_legend(steps)
    text += ["", "commands:"] + ["  " + line for line in legend] + ["", "notes:"] + ["  " + n for n in NOTES]
    md += ["", "Commands:", "", "```"] + legend + ["```", ""] + ["- " + n.replace("*", "\\*") for n in NOTES]

    print("\n".join(text))
    stamp = datetime.datetime.now().strftime("%Y%m%d-%H%M%S")
    results = args.cache / "results"
    results.mkdir(exist_ok=True)
    md_path = results / f"bench-{stamp}.md"
    md_path.write_text("\n".join(md) + "\n")
    shutil.copyfile(md_path, results / "latest.md")
    say(f"markdown table written to {md_path} (and results/latest.md)")


if __name__ == "__main__":
    main()
