#!/usr/bin/env python3
"""tarn-mpi against tarn, byte for byte: standard output, standard error, status (and the
picture, with -g) of `mpirun -np P tarn-mpi <options>` and of `tarn <options>`, for P = 1, 2, 3,
over every rule and option on seeded data with ties, duplicates, NaN and Inf on the first line
and k = n - 1; data shaped against a split into regions at medians (grids of ties, equal
vectors, vectors on the medians, skewed and clustered data); the failures; the inputs each
process reads a part of, and those rank 0 loads; and the replayed fuzzing corpus.
TARN_MPI_PROCESSES="1 2 3 4" sets the counts of processes.

usage: mpi_compare.py <tarn> <tarn-mpi> <source dir>
"""
import gzip
import concurrent.futures
import os
import pathlib
import random
import re
import shutil
import subprocess
import sys
import tempfile
import threading

TARN, TARN_MPI, SOURCE = sys.argv[1:4]
PROCESSES = tuple(int(p) for p in os.environ.get("TARN_MPI_PROCESSES", "1 2 3").split())

# The environment as a user's, but for the session folder each run gets (see run): the wrapper
# sets what Open MPI needs as root and in a container.
ENV = dict(os.environ)
# The wrapper the README gives users: root, more processes than cores, no single-copy mechanism.
MPIRUN = [os.path.join(SOURCE, "mpi", "tarn-mpirun")]

failures = []
SESSIONS = threading.local()
session_folders = []


def session_folder():
    """A folder of the calling thread's own for Open MPI's session files: two runs at once
    in one folder can collide."""
    if not hasattr(SESSIONS, "folder"):
        SESSIONS.folder = tempfile.mkdtemp(prefix="tarn-mpi-")
        session_folders.append(SESSIONS.folder)
    return SESSIONS.folder


def run(command, stdin=None, limit_kib=None):
    if limit_kib is not None:
        command = ["sh", "-c", f'ulimit -v {limit_kib}; exec "$@"', "sh"] + command
    # Runs at once keep their session folders apart.
    env = dict(ENV, OMPI_MCA_orte_tmpdir_base=session_folder())
    with open(stdin or os.devnull, "rb") as source:
        done = subprocess.run(command, stdin=source, capture_output=True, env=env, timeout=120)
    # getopt's diagnostics name the program as it was called.
    err = done.stderr.replace(TARN_MPI.encode(), b"tarn").replace(TARN.encode(), b"tarn")
    return done.returncode, done.stdout, err


def mpi(processes, arguments, stdin=None, limit_kib=None, limited_rank=None):
    """tarn-mpi on processes, every one of them (or only limited_rank) under limit_kib."""
    inner = [TARN_MPI] + arguments
    if limit_kib is not None:
        only = "" if limited_rank is None else f'[ "$OMPI_COMM_WORLD_RANK" = {limited_rank} ] && '
        inner = ["sh", "-c", f'{only}ulimit -v {limit_kib}; exec "$@"', "sh"] + inner
    return run(MPIRUN + ["-np", str(processes)] + inner, stdin)


def picture(arguments):
    if "-g" not in arguments or not arguments[arguments.index("-g") + 1].endswith(".svg"):
        return None
    return pathlib.Path(arguments[arguments.index("-g") + 1])


def compare(name, arguments, stdin=None, processes=PROCESSES):
    """Every P gives tarn's three results, and its picture."""
    expected = run([TARN] + arguments, stdin)
    svg = picture(arguments)
    expected_svg = svg.read_bytes() if svg and svg.exists() else None
    for p in processes:
        if svg and svg.exists():
            svg.unlink()
        got = mpi(p, arguments, stdin)
        for what, e, g in zip(("status", "stdout", "stderr"), expected, got):
            if e != g:
                shown = [x[:300] if isinstance(x, bytes) else x for x in (e, g)]
                failures.append(f"{name} P={p}: {what} differs: {shown[0]!r} != {shown[1]!r}")
        if svg and expected_svg != (svg.read_bytes() if svg.exists() else None):
            failures.append(f"{name} P={p}: the picture differs")
    return expected


def write(path, rows):
    path.write_text("".join(" ".join(str(x) for x in row) + "\n" for row in rows))
    return str(path)


def seeded_sets(folder):
    rng = random.Random(19)
    sets = {}
    # Coordinates on a coarse grid: ties everywhere, and duplicated points.
    grid = [[rng.randrange(6) / 2, rng.randrange(6) / 2, int(rng.random() < 0.1)]
            for _ in range(240)]
    sets["ties"] = write(folder / "ties.txt", grid)
    sets["nan"] = write(folder / "nan.txt", [["NaN", 1.5, 0]] + grid[:120])
    sets["inf"] = write(folder / "inf.txt", [[2.0, "Inf", 1]] + grid[120:])
    sets["gauss"] = write(folder / "gauss.txt",
                          [[round(rng.gauss(0, 1), 3) for _ in range(4)] + [int(i % 37 == 0)]
                           for i in range(500)])
    sets["tiny"] = write(folder / "tiny.txt", [[rng.randrange(4), rng.randrange(3), i % 2]
                                               for i in range(12)])
    (folder / "classes.csv").write_text(
        "x,y,kind\n" + "".join(f"{rng.randrange(20)},{rng.randrange(20)},"
                               f"{'odd' if rng.random() < 0.15 else 'plain'}\n"
                               for _ in range(150)))
    sets["csv"] = str(folder / "classes.csv")
    # R's write.csv: row names under an empty first name, and NA, which --na drop leaves out.
    (folder / "rnames.csv").write_text(
        '"","x","y","day"\n' + "".join(
            f'"r{i}",{"NA" if i % 9 == 4 else rng.randrange(30)},{rng.randrange(30)},{i % 7}\n'
            for i in range(120)))
    sets["rnames"] = str(folder / "rnames.csv")
    # Two clusters, far apart, whose centres (lines 5 and 6) are kept by the same distances 0.1,
    # 0.2 and 0.3, one cluster's keepers in that file order and the other's in the reverse:
    # (0.1 + 0.2) + 0.3 is not (0.3 + 0.2) + 0.1 in doubles, so the two mean incoming distances
    # differ only when every sum follows the order of the inbound lists, and the evaluation of
    # the labelled centre shows it. The keepers lie in every process's block.
    sets["order"] = write(folder / "order.txt", [
        [0.1, 0, 0, 0], [0.3, 0, 64, 0], [0, 0.2, 0, 0], [0, 0.2, 64, 0], [0, 0, 0, 1],
        [0, 0, 64, 0], [-0.3, 0, 0, 0], [-0.1, 0, 64, 0]])
    # Shapes that a split of the vectors into regions at medians along the widest axis finds
    # hard, from a generator of their own so that the sets above keep their bytes.
    rng = random.Random(31)
    # A 40 x 40 integer grid and 400 duplicates of its points, shuffled: exact ties at every
    # distance, on every line a median can fall on.
    grid = [[x, y, 0] for x in range(40) for y in range(40)]
    grid += [[rng.randrange(40), rng.randrange(40), 1] for _ in range(400)]
    rng.shuffle(grid)
    sets["grid"] = write(folder / "grid.txt", grid)
    sets["equal"] = write(folder / "equal.txt", [[1.5, -2, i % 2] for i in range(200)])
    # Half the vectors on x = 0 and a third on y = 0, the medians of both axes, the others at
    # quarters on either side of them.
    def quarter():
        return rng.choice((-1, 1)) * rng.randrange(1, 9) / 4
    sets["medians"] = write(folder / "medians.txt", [
        [0 if i % 2 == 0 else quarter(), 0 if i % 3 == 0 else quarter(), int(i % 41 == 0)]
        for i in range(800)])
    sets["three"] = write(folder / "three.txt", [[0, 0, 0], [1, 0, 0], [5, 5, 1]])
    # 500 vectors in a tight cluster and 3 far away; 1-d values of which 90 % are one value.
    sets["cluster"] = write(folder / "cluster.txt", [
        [round(rng.gauss(0, 0.01), 4), round(rng.gauss(0, 0.01), 4), 0] for _ in range(500)]
        + [[1000, 1000, 1], [-1000, 500, 1], [1e6, 0, 1]])
    sets["flat"] = write(folder / "flat.txt", [
        [3.0 if i % 10 else round(rng.uniform(-50, 50), 2), int(i % 10 == 0)]
        for i in range(500)])
    # Gaussian clusters in 3 and 5 dimensions, one vector in 50 scattered around them.
    for d, n, count in ((3, 3000, 5), (5, 2000, 4)):
        centres = [[rng.uniform(-10, 10) for _ in range(d)] for _ in range(count)]
        sets[f"{d}-d"] = write(folder / f"clusters{d}.txt", [
            [round(rng.uniform(-15, 15), 3) for _ in range(d)] + [1] if i % 50 == 0 else
            [round(rng.gauss(m, 1), 3) for m in rng.choice(centres)] + [0] for i in range(n)])
    # -z's hard columns, from a generator of their own: sums that overflow (values near 1e300),
    # a constant column, and deviations whose squares underflow (near 1e-170).
    rng = random.Random(43)
    sets["scaled"] = write(folder / "scaled.txt", [
        [f"{(rng.choice((0, 5, -3)) + rng.gauss(0, 1)) * 1e300:.6g}", 7.25,
         f"{rng.randrange(1, 6) * 1e-170:.3g}", round(rng.gauss(0, 2), 4), int(i % 50 == 0)]
        for i in range(600)])
    return sets


def rule_table():
    """Every rule's options, -r KEY, from the keys tarn's usage text lists."""
    usage = subprocess.run([TARN], capture_output=True, text=True).stdout
    keys = re.search(r"-r \[rule: ([a-z|]+)\]", usage).group(1).split("|")
    return [["-r", key] for key in keys]


def option_rows(folder):
    """The option rows every rule runs under, shared with tests/core_test: the report's
    variants, the limits, the share, standardising, the builders, threads within each process,
    the evaluation and the picture (a file of the run's own for PICTURE)."""
    text = (pathlib.Path(SOURCE) / "tests" / "rule_options.txt").read_text()
    rows = [line.split() for line in text.splitlines() if line and not line.startswith("#")]
    return [[str(folder / f"row{i}.svg") if word == "PICTURE" else word for word in row]
            for i, row in enumerate(rows)]


def main():
    with tempfile.TemporaryDirectory() as temporary:
        folder = pathlib.Path(temporary)
        sets = seeded_sets(folder)
        cases = []  # (name, arguments, standard input, processes)

        def case(name, arguments, stdin=None, processes=PROCESSES):
            cases.append((name, arguments, stdin, processes))

        rules, rows = rule_table(), option_rows(folder)
        # Every rule under every row on the Gaussian data, under every other row on the ties.
        for data, step in (("gauss", 1), ("ties", 2)):
            for rule in rules:
                for options in rows[::step]:
                    case(f"{data} {rule} {options}", rule + options + ["-i", sets[data]])
        for data in ("nan", "inf"):
            for rule in rules:
                case(f"{data} {rule}", rule + rows[1] + ["-i", sets[data]])
                # -z names the column it cannot standardise.
                case(f"{data} {rule} -z", rule + rows[4] + ["-i", sets[data]])
        for rule in rules:
            svg = str(folder / f"picture{len(cases)}.svg")
            case(f"k = n - 1 {rule}", rule + ["-k", "11", "-o", "-s", "-i", sets["tiny"]])
            case(f"picture {rule}", rule + ["-k", "5", "-e", "-g", svg, "-i", sets["gauss"]])
        case("class names", ["-l", "-k", "5", "-e", "-P", "odd", "-g",
                             str(folder / "classes.svg"), "-i", sets["csv"]])
        case("summation order", ["-M", "-k", "3", "-e", "-s", "-i", sets["order"]])
        case("ids and rows left out", ["-l", "-k", "4", "--na", "drop", "-O", "-",
                                       "-i", sets["rnames"]])
        case("an id column beside row names", ["-k", "4", "--na", "drop", "--id", "x", "-O",
                                               "-", "--output-format", "tsv", "-i",
                                               sets["rnames"]])
        case("standard input", ["-l", "-k", "4", "-s", "-i", "-"], stdin=sets["gauss"])
        # Every rule over one graph: a column each, and -e's comparison line each.
        for data in ("gauss", "ties", "nan"):
            case(f"every rule {data}", ["-r", "all", "-k", "5", "-s", "-o", "-e", "-i", sets[data]])
        case("every rule's table", ["-r", "all", "-k", "4", "-O", "-", "-e", "-P", "odd",
                                    "-i", sets["csv"]])
        # Vectors scored against a reference set, and against its saved model.
        model = str(folder / "ties.tarn")
        subprocess.run([TARN, "-k", "5", "-z", "-W", model, "-R", sets["ties"]], check=True)
        for rule in rules:
            case(f"reference {rule}", rule + ["-k", "4", "-s", "-o", "-e", "-c", "0.1",
                                              "-R", sets["ties"], "-i", sets["nan"]])
            case(f"model {rule}", rule + ["-s", "-o", "-b", "-R", model, "-i", sets["tiny"]])
        case("every rule against a reference", ["-r", "all", "-k", "4", "-s", "-o", "-e",
                                                "-R", sets["ties"], "-i", sets["nan"]])
        case("reference on standard input", ["-l", "-k", "4", "-R", "-", "-i", sets["tiny"]],
             stdin=sets["ties"])
        # The shapes a split into regions finds hard, each under the rules where its ties or
        # empty regions tell. k = n - 1 is the rows on "tiny" above, and two vectors on more
        # processes with the default rule a row of the loads.
        for name, arguments in (
                ("grid k = 5", ["-k", "5", "-s", "-o", "-i", sets["grid"]]),
                ("grid k = 12", ["-k", "12", "-s", "-o", "-i", sets["grid"]]),
                ("grid -l k = 5", ["-l", "-k", "5", "-s", "-o", "-i", sets["grid"]]),
                ("grid -l k = 12", ["-l", "-k", "12", "-s", "-o", "-e", "-i", sets["grid"]]),
                ("grid's share", ["-m", "-k", "7", "-c", "0.1", "-s", "-o", "-i", sets["grid"]]),
                ("all equal", ["-r", "all", "-k", "3", "-s", "-o", "-i", sets["equal"]]),
                ("on the medians -m", ["-m", "-k", "6", "-s", "-o", "-e", "-i", sets["medians"]]),
                ("on the medians -M", ["-M", "-k", "6", "-s", "-o", "-e", "-i", sets["medians"]]),
                ("three vectors", ["-r", "all", "-k", "1", "-s", "-o", "-i", sets["three"]]),
                ("a cluster and 3 far", ["-r", "all", "-k", "5", "-s", "-o", "-i",
                                         sets["cluster"]]),
                ("1-d, 90 % equal", ["-r", "all", "-k", "4", "-s", "-o", "-i", sets["flat"]]),
                # The picture's points gathered from the blocks: 1-d, plotted by position.
                ("1-d picture", ["-l", "-k", "4", "-c", "0.1", "-g", str(folder / "flat.svg"),
                                 "-i", sets["flat"]]),
                ("3-d clusters", ["-r", "all", "-k", "10", "-s", "-o", "-e", "-i", sets["3-d"]]),
                ("5-d clusters", ["-r", "all", "-k", "10", "-s", "-o", "-e", "-i", sets["5-d"]]),
                ("3-d clusters -b", ["-r", "all", "-k", "10", "-b", "-s", "-i", sets["3-d"]]),
                ("5-d clusters -x", ["-r", "all", "-k", "10", "-x", "-s", "-i", sets["5-d"]]),
                # Single rules over the brute force's range go around the ring of blocks (-r all
                # and cof hold every vector): its ties, equal vectors, the cosine without -z,
                # and the inbound distances that travel with their edges.
                ("ring grid -l", ["-l", "-k", "12", "-b", "-s", "-o", "-i", sets["grid"]]),
                ("ring grid -M", ["-M", "-k", "5", "-b", "-o", "-e", "-i", sets["grid"]]),
                ("ring equal -X", ["-X", "-k", "3", "-b", "-s", "-i", sets["equal"]]),
                ("ring three -m", ["-m", "-k", "2", "-b", "-s", "-i", sets["three"]]),
                ("ring 5-d inflo", ["-r", "inflo", "-k", "10", "-s", "-e", "-i", sets["5-d"]]),
                ("ring 5-d cosine -l", ["-l", "-k", "8", "-d", "cosine", "-s", "-i",
                                        sets["5-d"]]),
                # -z's sums made in file order across the blocks, over regions and the ring.
                ("-z's hard columns -l", ["-l", "-k", "5", "-z", "-s", "-o", "-x", "-i",
                                          sets["scaled"]]),
                ("-z's hard columns -m", ["-m", "-k", "6", "-z", "-s", "-e", "-b", "-i",
                                          sets["scaled"]]),
                ("ring medians manhattan", ["-r", "loop", "-k", "6", "-b", "-d", "manhattan",
                                            "-c", "0.1", "-s", "-i", sets["medians"]])):
            # Four processes too: a region or a block left empty, regions split twice.
            case(name, arguments, processes=tuple(sorted(set(PROCESSES) | {4})))
        # Six regions: splits of uneven counts, and the verdicts' way back naming a region in
        # more than two bits.
        case("3-d clusters, 6 processes", ["-l", "-k", "10", "-s", "-o", "-i", sets["3-d"]],
             processes=(6,))

        # The failures: the same message and status on every P.
        bad = folder / "bad.txt"
        bad.write_text("1 2 0\n3 4 0\n5, 6, 7, 0\nx 1 0\n")
        cut = folder / "cut.tarn"
        cut.write_bytes(pathlib.Path(model).read_bytes()[:-9])
        ragged = write(folder / "ragged.txt", [[1, 2, 0], [3, 4, 0], [5, 6, 7, 0]])
        for name, arguments in (
                ("k too big", ["-k", "12", "-i", sets["tiny"]]),
                ("k too small", ["-k", "0", "-i", sets["tiny"]]),
                ("bad line", ["-i", str(bad)]),
                ("missing file", ["-i", str(folder / "none.txt")]),
                ("no input", ["-l"]),
                ("bad option", ["-Q", "-i", sets["tiny"]]),
                ("stray word", ["-k", "2", "word", "-i", sets["tiny"]]),
                ("-P names no class", ["-k", "2", "-P", "none", "-i", sets["tiny"]]),
                ("-G beyond the columns",
                 ["-G", "1,5", "-g", str(folder / "never.svg"), "-i", sets["tiny"]]),
                ("plot is the input", ["-g", sets["tiny"], "-i", sets["tiny"]]),
                ("more values than the first", ["-k", "1", "-f", "text", "-i", ragged]),
                ("help", ["--help"]),
                ("damaged model", ["-R", str(cut), "-i", sets["tiny"]]),
                ("reference of another width", ["-R", sets["gauss"], "-i", sets["tiny"]])):
            case(name, arguments)

        for name, arguments, stdin, processes in load_rows(folder):
            case(name, arguments, stdin, processes)

        # The fuzzing corpus, each input under one P in turn, with the default rule or -l.
        corpus = sorted((pathlib.Path(SOURCE) / "fuzz" / "corpus" / "run").iterdir())
        for i, path in enumerate(corpus):
            rule = ["-l"] if i % 2 else []
            case(f"corpus {path.name} {rule}", rule + ["-k", "3", "-i", str(path)],
                 processes=(PROCESSES[i % len(PROCESSES)],))

        # Two cases at a time: each is a few short processes.
        with concurrent.futures.ThreadPoolExecutor(2) as pool:
            list(pool.map(lambda c: compare(*c), cases))
        memory_check(folder)
        reading_memory_check(folder)
        mpmd_check(sets["tiny"])
        death_check(folder)
    for session in session_folders:
        shutil.rmtree(session, ignore_errors=True)

    for failure in failures:
        print(failure)
    print(f"{len(failures)} differences")
    return 1 if failures else 0


def first_line_from(text, at):
    """The number (from 1) of the first line of text that starts at byte at or after it: the
    first line that a process whose part of the bytes begins at `at` reads."""
    return text[:at].count("\n") + 1 + (0 if at == 0 or text[at - 1] == "\n" else 1)


def with_line(text, number, line):
    """text with its line `number` (from 1) replaced by line."""
    lines = text.splitlines(keepends=True)
    return "".join(lines[:number - 1] + [line] + lines[number:])


def load_rows(folder):
    """The load at every P: each process reads a part of a regular text file (split at line ends
    as tarn's threaded load splits it), or rank 0 loads what only one reader can (standard input,
    a compressed file, a table, chosen columns, an empty file). Every load message is tarn's."""
    rng = random.Random(23)
    # Lines of 10 bytes: the parts of 2 and 4 processes begin exactly on a line.
    even = [f"0.{rng.randrange(100, 999)} {rng.randrange(10)} {rng.randrange(2)}\n"
            for _ in range(100)]
    plain = "".join(even)
    files = {
        # The first line of the last process's part, which it cannot check alone.
        "short line first in the last part at P=2":
            (with_line(plain, first_line_from(plain, len(plain) // 2), "1 2\n"), (2,)),
        "bad word first in the last part at P=3":
            (with_line(plain, first_line_from(plain, len(plain) // 3 * 2), "x 1 0\n"), (3,)),
        "NaN first in the last part at P=4":
            (with_line(plain, first_line_from(plain, len(plain) // 4 * 3), "NaN 1 0\n"), (4,)),
        "bad line late in the last part": (with_line(plain, 97, "1,2 0\n"), (2, 3, 4)),
        "bad line starting on a part's first byte": (with_line(plain, 51, "0.50 0.5 \n"), (2, 4)),
        "bad line ending on a part's last byte": (with_line(plain, 50, "0.50 0.5 \n"), (2, 4)),
        "two bad lines in two parts": (with_line(with_line(plain, 90, "1 2\n"), 20, "1 x 2\n"),
                                       (2, 3, 4)),
        "fewer vectors than processes": ("1 2 0\n3 4 1\n", (1, 2, 3, 4)),
        "one vector": ("1 2 0\n", (1, 2, 3, 4)),
        "an empty file": ("", (1, 2, 3, 4)),
        "only comments and blank lines": ("% one\n\n# two\n\n", (1, 2, 3, 4)),
        "a fraction in a late label": (with_line(plain, 80, "0.5 0.5 0.25\n"), (1, 2, 3, 4)),
        "more values in a late line": (with_line(plain, 70, "1 2 3 0\n"), (1, 2, 3, 4)),
        "one column": ("".join(f"{i}\n" for i in range(30)), (1, 2, 3, 4)),
        "named columns, a byte-order mark, no last line feed":
            ("\ufeff# x y kind\n" + plain[:-1], (1, 2, 3, 4)),
    }
    rows, paths = [], {}
    for i, (name, (text, processes)) in enumerate(files.items()):
        paths[name] = str(folder / f"load{i}.txt")
        pathlib.Path(paths[name]).write_text(text)
        rows.append((name, ["-k", "1", "-e", "-i", paths[name]], None, processes))
    good = folder / "load-good.txt"
    good.write_text(plain)
    bad = folder / "load-bad.txt"
    bad.write_text(with_line(plain, 97, "1 2\n"))
    squeezed = folder / "load.txt.gz"
    squeezed.write_bytes(gzip.compress(plain.encode()))
    squeezed_bad = folder / "load-bad.txt.gz"
    squeezed_bad.write_bytes(gzip.compress(bad.read_bytes()))
    every = (1, 2, 3, 4)
    rows += [
        ("standard input read by rank 0", ["-l", "-k", "3", "-i", "-"], str(good), every),
        ("a bad line on standard input", ["-k", "3", "-i", "-"], str(bad), every),
        ("gzip-compressed", ["-l", "-k", "3", "-e", "-i", str(squeezed)], None, every),
        ("gzip-compressed, a bad line late", ["-k", "3", "-i", str(squeezed_bad)], None, every),
        ("chosen columns, a bad line late", ["-k", "3", "-L", "1", "-i", str(bad)], None, every),
        ("chosen columns", ["-k", "3", "-F", "2", "-e", "-i", str(good)], None, every),
        ("no label column", ["-k", "3", "-L", "none", "-i", str(good)], None, every),
        ("named columns chosen by name",
         ["-k", "3", "-F", "y", "-L", "kind", "-e", "-i", paths["named columns, a byte-order mark, "
                                                               "no last line feed"]], None, every),
        ("a feature column beyond the columns", ["-k", "3", "-F", "5", "-i", str(good)], None,
         every),
        ("chosen columns, more values in a late line",
         ["-k", "3", "-F", "1", "-i", paths["more values in a late line"]], None, every),
        ("a bad line read on two threads per process",
         ["-k", "3", "-j", "2", "-i", str(bad)], None, every),
    ]
    return rows


def mpmd_check(data):
    """Processes given different command lines (an MPMD launch, a wrapper that rewrites them)
    stop together, before any report line, with one message and status 255: no hang, and no
    report that no single run gives."""
    message = (b"tarn-mpi: process 1 was given another command line than process 0; "
               b"every process must run the same options\n")
    for first, second in ((["-l"], ["-m"]), (["-k", "2"], ["-k", "3"]), (["--help"], []),
                          (["-Q"], []), ([], ["-k3"])):
        command = (MPIRUN + ["-np", "1", TARN_MPI] + first + ["-i", data] + [":"]
                   + ["-np", "1", TARN_MPI] + second + ["-i", data])
        try:
            got = run(command)
        except subprocess.TimeoutExpired:
            failures.append(f"MPMD {first} : {second}: no end within the time limit")
            continue
        if got != (255, b"", message):
            failures.append(f"MPMD {first} : {second}: {got!r}")


def death_check(folder):
    """A process killed part way ends the whole run: a status that is not 0, no report line, and
    no process left waiting for it."""
    rng = random.Random(9)
    data = write(folder / "long.txt", [[rng.random() for _ in range(4)] + [0]
                                       for _ in range(100000)])
    dies = ('[ "$OMPI_COMM_WORLD_RANK" = 1 ] && (sleep 1; kill -9 $$) & '
            'exec "$@"')
    command = MPIRUN + ["-np", "2", "sh", "-c", dies, "sh", TARN_MPI, "-b", "-l", "-k", "10",
                        "-i", data]
    try:
        status, out, _ = run(command)
    except subprocess.TimeoutExpired:
        failures.append("a killed process: the others did not end within the time limit")
        return
    if status == 0 or out != b"":
        failures.append(f"a killed process: status {status}, {len(out)} bytes of report")


def memory_check(folder):
    """Under an address-space limit every process weighs its own share: every P stops before
    any edge with the memory check's message (its figures are the share's) and status 255,
    around the ring (the brute force's range) and over regions (-x)."""
    rng = random.Random(5)
    data = write(folder / "big.txt", [[rng.random(), rng.random(), 0] for _ in range(60000)])
    # The limit that binds is named: the address space here, or the machine's or the cgroup's
    # memory where they give less.
    message = re.compile(rb"The graph needs [0-9]+ MiB of memory, but only [0-9]+ MiB are "
                         rb"available( under the [^\n]*)?\n")
    limit = 2 * 1024 * 1024  # KiB: what an MPI process maps, and far less than the edges
    for way in ([], ["-x"]):
        arguments = way + ["-k", "40000", "-i", data]
        for name, (status, out, err) in [("tarn", run([TARN] + arguments, limit_kib=limit))] + [
                (f"P={p}", mpi(p, arguments, limit_kib=limit)) for p in PROCESSES]:
            if status != 255 or err != b"" or not message.fullmatch(out):
                failures.append(f"memory check {way} {name}: {status} {out!r} {err!r}")



def reading_memory_check(folder):
    """A process that runs out of memory while it reads its part of the file stops the run with
    the reason on rank 0, whichever allocation failed (the vectors' room or the set's growth,
    whose report the process made where no one sees it): rank 1 alone is limited, its part 12.5
    million short lines after rank 0's part of comments."""
    data = folder / "short.txt"
    with open(data, "w") as out:
        out.write(("#" + "x" * 998 + "\n") * 50000)
        out.write("1 0\n" * 12500000)
    reason = re.compile(rb"fvector\.c \([0-9]+\): error 2 |Allocation of [0-9]+ bytes failed")
    for limit in range(500000, 800001, 50000):
        status, out, err = mpi(2, ["-x", "-j", "1", "-k", "3", "-i", str(data)], limit_kib=limit,
                               limited_rank=1)
        if status != 0 and not reason.search(out + err):
            failures.append(f"out of memory reading, rank 1 under {limit} KiB: {status} "
                            f"{out[:200]!r} {err[:200]!r}")
    data.unlink()


if __name__ == "__main__":
    sys.exit(main())
