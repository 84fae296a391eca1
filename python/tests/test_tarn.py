"""The Python package against the command line, scikit-learn, bad input and leaks."""

import gc
import os
import pathlib
import signal
import subprocess
import sys
import threading
import time

import numpy as np
import pandas as pd
import pytest

import tarn
from conftest import ROOT, clustered

SAMPLE = ROOT / "examples/sample.txt"
CORPUS = sorted((ROOT / "fuzz/corpus/run").iterdir())

# rule -> the command line's option: every rule of the detector's table by its key.
RULE_OPTIONS = {rule: ["-r", rule] for rule in tarn.RULES}


def cli_options(rule, k=3, threshold=None, indegree=0, share=None, standardise=False, n_jobs=1,
                method="auto"):
    options = RULE_OPTIONS[rule] + ["-k", str(k), "-I", str(indegree)]
    options += ["-T", repr(threshold)] if threshold is not None else []
    options += ["-c", repr(share)] if share is not None else []
    options += ["-z"] if standardise else []
    options += ["-x"] if method == "tree" else []
    return options + ["-j", str(n_jobs)]


def c_float(x):
    """A score as the report prints it: rounded to single precision, then "%f"."""
    x = float(np.float32(x))
    if np.isnan(x):
        return "-nan" if np.signbit(x) else "nan"
    return "%f" % x


def report(result, labels):
    return "".join(f"{c_float(s)} {label} {int(m)}\n"
                   for s, label, m in zip(result.score, labels, result.marked))


def run_cli(program, path, options):
    return subprocess.run([program, "-s", "-o", "-i", str(path)] + options, capture_output=True,
                          text=True, errors="replace")


def module_report(path, **options):
    """The module's report for a file, or the text of the error it raises."""
    try:
        X, labels, _ = tarn.load(path)
        return report(tarn.detect(X, allow_nonfinite=True, **options), labels)
    except ValueError as error:
        return str(error)


SAMPLE_RUNS = [
    dict(rule="indegree", k=10, indegree=1), dict(rule="mutual", k=5),
    dict(rule="mean", k=10, threshold=0.1), dict(rule="max", k=10, threshold=0.05),
    dict(rule="lof", k=10, threshold=2.0), dict(rule="lof", k=10, share=0.05),
    dict(rule="mean", k=7, share=0.1, standardise=True), dict(rule="lof", k=10, method="tree"),
    dict(rule="lof", k=10, n_jobs=2), dict(rule="mutual", k=4, method="tree", n_jobs=2),
    dict(rule="indegree", k=3, method="brute", standardise=True),
]


@pytest.mark.parametrize("options", SAMPLE_RUNS, ids=lambda o: "-".join(map(str, o.values())))
def test_sample_report_equals_the_command_lines(program, options):
    cli = run_cli(program, SAMPLE, cli_options(**options))
    assert cli.returncode == 0
    assert module_report(SAMPLE, **options) == cli.stdout


@pytest.mark.parametrize("rule", ["indegree", "lof"])
def test_corpus_reports_and_refusals_equal_the_command_lines(program, rule):
    """Every fuzz input: the same report, or the same refusal (load or neighbourhood)."""
    compared = 0
    for path in CORPUS:
        cli = run_cli(program, path, RULE_OPTIONS[rule])
        ours = module_report(path, rule=rule)
        if cli.returncode == 0:
            assert ours == cli.stdout, path.name
            compared += 1
        elif cli.stdout.startswith("Cannot load vectors"):
            assert ours.startswith("Cannot load vectors"), path.name
        else:
            assert ours == cli.stdout.rstrip("\n"), path.name
    assert compared >= 30  # the corpus holds 34 inputs that load and detect


def tied_grid(n, d, seed):
    """Points on a coarse grid: many equal distances and duplicates."""
    return np.random.default_rng(seed).integers(0, 4, size=(n, d)).astype(float)


@pytest.mark.parametrize("X, ties", [(tied_grid(400, 2, 1), True), (tied_grid(300, 5, 2), True),
                                     (clustered(500, 3, 3), False)], ids=["grid2", "grid5", "clustered3"])
def test_kneighbors_is_the_same_whatever_the_method_and_threads(X, ties):
    base = tarn.kneighbors(X, 6)
    for method, n_jobs in [("tree", 1), ("brute", 2), ("tree", 2), ("auto", -1)]:
        got = tarn.kneighbors(X, 6, method=method, n_jobs=n_jobs)
        assert got[0].tobytes() == base[0].tobytes() and np.array_equal(got[1], base[1])
    distances, indices = base
    assert np.all(np.diff(distances, axis=1) >= 0)
    # The graph's list order: an equally distant neighbour goes in front of those kept before.
    equal = np.diff(distances, axis=1) == 0
    assert equal.any() == ties
    assert np.all(np.diff(indices, axis=1)[equal] < 0)
    exact = np.sqrt(((X[:, None, :] - X[indices]) ** 2).sum(axis=2))
    assert np.allclose(exact, distances, rtol=1e-12, atol=0)


def test_kneighbors_and_lof_agree_with_scikit_learn_on_tie_free_data():
    """scikit-learn adds 1e-10 to every mean reachability distance m: each factor is off by at
    most 1e-10 / (the smallest m of the set) relative, whatever the data's scale."""
    from sklearn.neighbors import LocalOutlierFactor, NearestNeighbors

    for n, d, k, scale in [(600, 2, 5, 1.0), (800, 4, 20, 1.0), (300, 8, 10, 1.0),
                           (600, 2, 5, 1e-3), (300, 8, 10, 1e4)]:
        X = clustered(n, d, seed=n + d) * scale
        distances, indices = tarn.kneighbors(X, k)
        theirs_d, theirs_i = NearestNeighbors(n_neighbors=k).fit(X).kneighbors()
        assert np.array_equal(indices, theirs_i)
        assert np.allclose(distances, theirs_d, rtol=1e-12, atol=0)
        lof = LocalOutlierFactor(n_neighbors=k).fit(X)
        ours = tarn.detect(X, k, rule="lof").lof
        reach = np.maximum(distances, distances[indices, -1]).mean(axis=1)
        bound = 1.01e-10 / reach.min() + 1e-13
        relative = np.abs(ours + lof.negative_outlier_factor_) / ours
        assert relative.max() <= bound, (scale, relative.max(), bound)


@pytest.mark.parametrize("n, q, d, k, scale", [(600, 300, 2, 5, 1.0), (500, 200, 4, 20, 1e-3),
                                                (300, 100, 8, 10, 1e4)])
def test_scoring_against_a_reference_agrees_with_scikit_learns_novelty_lof(n, q, d, k, scale):
    """As above, scikit-learn adds 1e-10 to each mean reachability distance m, the query's and
    its reference neighbours': 1e-10 / (the queries' smallest m) + 1e-10 / (the reference's
    smallest m) bounds the relative difference."""
    from sklearn.neighbors import LocalOutlierFactor, NearestNeighbors

    R, X = clustered(n, d, seed=n) * scale, clustered(q, d, seed=q + 1) * scale * 1.5
    distances, indices = tarn.kneighbors(X, k, reference=R)
    theirs_d, theirs_i = NearestNeighbors(n_neighbors=k).fit(R).kneighbors(X)
    assert np.array_equal(indices, theirs_i)
    assert np.allclose(distances, theirs_d, rtol=1e-12, atol=0)
    ours = tarn.detect(X, k, rule="lof", reference=R).lof
    theirs = -LocalOutlierFactor(n_neighbors=k, novelty=True).fit(R).score_samples(X)
    own_d, own_i = tarn.kneighbors(R, k)
    kdist = own_d[:, -1]
    smallest = [np.maximum(d, kdist[i]).mean(axis=1).min() for d, i in
                [(distances, indices), (own_d, own_i)]]
    bound = 1.01e-10 / smallest[0] + 1.01e-10 / smallest[1] + 1e-13
    assert (np.abs(ours - theirs) / ours).max() <= bound


@pytest.mark.parametrize("rule", list(tarn.RULES))
def test_queries_never_change_each_others_scores(rule):
    R, X = tied_grid(300, 2, 4), tied_grid(90, 2, 5) + 0.5
    whole = tarn.detect(X, 4, rule=rule, reference=R, threshold=0.5)
    parts = [tarn.detect(X[i:i + 30], 4, rule=rule, reference=R, threshold=0.5, method=m)
             for i, m in [(0, "tree"), (30, "brute"), (60, "auto")]]
    assert np.concatenate([p.score for p in parts]).tobytes() == whole.score.tobytes()
    assert np.array_equal(np.concatenate([p.marked for p in parts]), whole.marked)


@pytest.mark.parametrize("metric, p", [("euclidean", 2), ("l1", 2), ("cityblock", 2),
                                      ("chebyshev", 2), ("minkowski", 3), ("minkowski", 1.5),
                                      ("minkowski", np.inf), ("cosine", 2)])
def test_kneighbors_agrees_with_scikit_learn_for_every_metric(metric, p):
    from sklearn.neighbors import NearestNeighbors

    # Directions spread all round (clusters far from 0 would leave cosine distances so small
    # that 1 - cos cancels to 1e-11 relative in either implementation).
    X = np.random.default_rng(11).normal(size=(300, 4))
    distances, indices = tarn.kneighbors(X, 6, metric=metric, p=p)
    theirs_d, theirs_i = NearestNeighbors(n_neighbors=6, metric=metric, p=p).fit(X).kneighbors()
    assert np.array_equal(indices, theirs_i)
    assert np.allclose(distances, theirs_d, rtol=1e-12, atol=0)
    for method in ["tree", "brute"]:
        got = tarn.kneighbors(X, 6, metric=metric, p=p, method=method, n_jobs=2)
        assert got[0].tobytes() == distances.tobytes() and np.array_equal(got[1], indices)
    assert tarn.detect(X, 6, rule="cof", metric=metric, p=p).score.tobytes() == \
        tarn.detect(X, 6, rule="cof", metric=metric, p=p, method="brute").score.tobytes()
    # Against a reference: the first 200 rows, the other 100 searched.
    theirs_d, theirs_i = NearestNeighbors(n_neighbors=6, metric=metric, p=p).fit(
        X[:200]).kneighbors(X[200:])
    for method in ["tree", "brute"]:
        distances, indices = tarn.kneighbors(X[200:], 6, metric=metric, p=p, method=method,
                                             reference=X[:200])
        assert np.array_equal(indices, theirs_i)
        assert np.allclose(distances, theirs_d, rtol=1e-12, atol=0)


def test_inputs_of_every_kind_give_the_same_bits():
    X = clustered(200, 3, seed=5)
    base = tarn.detect(X, 5, rule="lof").score.tobytes()
    for converted in [np.asfortranarray(X), X.astype(np.float32).astype(np.float64),
                      pd.DataFrame(X, columns=list("abc")), X.tolist(), X[::1, :]]:
        assert tarn.detect(converted, 5, rule="lof").score.tobytes() == \
            tarn.detect(np.asarray(converted, dtype=float), 5, rule="lof").score.tobytes()
    assert tarn.detect(X.astype(np.int64), 5).score.tobytes() == \
        tarn.detect(X.astype(np.int64).astype(float), 5).score.tobytes()
    assert tarn.detect(X, 5, rule="lof").score.tobytes() == base


X_SMALL = clustered(20, 2, seed=7)


@pytest.mark.parametrize("call, error, text", [
    (lambda: tarn.detect(X_SMALL, 20), ValueError,
     "Neighbourhood value is 20 too BIG!, it should be smaller than 20"),
    (lambda: tarn.detect(X_SMALL, 0), ValueError,
     "Neighbourhood value is 0 too small!, it should be at least 1"),
    (lambda: tarn.detect(X_SMALL, 2**40), ValueError, "Neighbourhood value is 2147483647 too BIG"),
    (lambda: tarn.kneighbors(X_SMALL, -1), ValueError, "Neighbourhood value is -1 too small"),
    (lambda: tarn.detect(X_SMALL[0]), ValueError, "2-D"),
    (lambda: tarn.detect(X_SMALL[None]), ValueError, "2-D"),
    (lambda: tarn.detect([["a", "b"]] * 5), ValueError, "could not convert"),
    (lambda: tarn.detect(X_SMALL + 1j), TypeError, "complex"),
    (lambda: tarn.detect(np.where(X_SMALL == X_SMALL[3, 1], np.nan, X_SMALL)), ValueError,
     "X holds nan in row 3, column 1: its distances are not numbers"),
    (lambda: tarn.kneighbors(np.where(X_SMALL == X_SMALL[5, 0], -np.inf, X_SMALL), 2),
     ValueError, "X holds -inf in row 5, column 0"),
    (lambda: tarn.detect(X_SMALL, allow_nonfinite="yes"), TypeError, "allow_nonfinite must be"),
    # Complex values reach the conversion through every container, never as real parts.
    (lambda: tarn.detect(pd.DataFrame(X_SMALL + 1j)), TypeError, "complex"),
    (lambda: tarn.detect(pd.DataFrame({"a": X_SMALL[:, 0] + 1j, "b": X_SMALL[:, 1]})), TypeError,
     "complex"),
    (lambda: tarn.detect(X_SMALL.astype(object) + np.array([1j, 0], dtype=object)), TypeError,
     "complex"),
    (lambda: tarn.kneighbors([[1 + 1j, 0]] * 5, 1), TypeError, "complex"),
    (lambda: tarn.detect(X_SMALL, "3"), TypeError, "k must be an integer"),
    (lambda: tarn.detect(X_SMALL, standardise="no"), TypeError, "standardise must be True or"),
    (lambda: tarn.detect(X_SMALL, standardise=2), TypeError, "standardise must be True or"),
    (lambda: tarn.detect(X_SMALL, rule="median"), ValueError, "rule must be one of"),
    (lambda: tarn.detect(X_SMALL, method="fast"), ValueError, "method must be one of"),
    (lambda: tarn.detect(X_SMALL, metric="hamming"), ValueError, "metric must be one of"),
    (lambda: tarn.kneighbors(X_SMALL, 2, p=0.5), ValueError,
     "'minkowski:0.5' is not minkowski:P with P a finite number, 1 or more"),
    (lambda: tarn.kneighbors(X_SMALL, 2, p=np.nan), ValueError, "is not minkowski:P"),
    (lambda: tarn.kneighbors(X_SMALL, 2, p="3"), TypeError, "p must be a number"),
    (lambda: tarn.detect(X_SMALL, share=0), ValueError, r"share must be in \(0, 1\]"),
    (lambda: tarn.detect(X_SMALL, share=1.5), ValueError, r"share must be in \(0, 1\]"),
    (lambda: tarn.detect(X_SMALL, n_jobs=-3), ValueError, "n_jobs"),
    (lambda: tarn.detect(np.zeros((200000, 1)), 199999), MemoryError, "The graph needs"),
    (lambda: tarn.load(ROOT / "no-such-file.txt"), FileNotFoundError, "no-such-file"),
    (lambda: tarn.load(ROOT / "README.md"), ValueError, "Cannot load vectors from"),
    (lambda: tarn.load(SAMPLE, format="xml"), ValueError,
     "^format must be csv, tsv or text, got 'xml'$"),
    (lambda: tarn.load(ROOT / "examples/iris.csv", label="colour"), ValueError,
     "Cannot load vectors from .*colour"),
    (lambda: tarn.evaluate([1.0, 2.0], [1]), ValueError, "score has 2 entries"),
    (lambda: tarn.load(SAMPLE, na="keep"), ValueError, "na must be 'error' or 'drop'"),
    (lambda: tarn.load(SAMPLE, decimal=";"), ValueError, "decimal must be ',' or '.'"),
    (lambda: tarn.load(SAMPLE, skip=-1), ValueError, "skip must be 0 or more"),
    (lambda: tarn.load(SAMPLE, skip="1"), TypeError, "skip must be an integer"),
    (lambda: tarn.load(SAMPLE, header="yes"), TypeError, "header must be True or False"),
    (lambda: tarn.load(SAMPLE, id=1), ValueError, "--id reads CSV and TSV, not the text format"),
    (lambda: tarn.load(SAMPLE, skip=10**6), ValueError,
     "no data line after the 1000000 lines --skip leaves out"),
    (lambda: tarn.load(ROOT / "examples/iris.csv", features="species", label="none",
                       id="species"), ValueError, r'-F names column 5 \("species"\), the id column'),
    (lambda: tarn.load(ROOT / "examples/iris.csv", features=[1, 2], label="sepal_width"),
     ValueError, r'-F names column 2 \("sepal_width"\), the label column'),
], ids=lambda v: v if isinstance(v, str) else "")
def test_bad_input_raises_with_the_command_lines_words(call, error, text):
    with pytest.raises(error, match=text):
        call()


def test_load_reads_what_the_command_line_reads():
    X, labels, names = tarn.load(ROOT / "examples/iris.csv")
    assert X.shape == (150, 4) and X.dtype == np.float64
    assert names.features[0] == "sepal_length" and names.label == "species"
    assert names.classes == ["setosa", "versicolor", "virginica"]
    assert np.array_equal(np.bincount(labels), [50, 50, 50])
    X2, labels2, _ = tarn.load(ROOT / "examples/iris.csv", label="none",
                               features=["petal_width", 1])
    assert np.array_equal(X2, X[:, [3, 0]]) and not labels2.any()


# Look-alikes of data sets as scikit-learn ships them and R and pandas write them, with the
# keywords they need: X, the ids (what the -O table's id column holds) and the rows left out.
LOOK_ALIKES = [
    ("wine.csv", "3,2,class_0,class_1,class_2\n14.23,1.71,0\n13.2,1.78,1\n12.37,.94,2\n",
     dict(skip=1), [[14.23, 1.71], [13.2, 1.78], [12.37, .94]], [1, 2, 3], 0),
    ("diabetes.csv", "59 2 32.1 87\n48 1 21.6 69\n72 2 30.5 85\n", {},
     [[59, 2, 32.1], [48, 1, 21.6], [72, 2, 30.5]], [1, 2, 3], 0),
    ("airquality.csv", '"","Ozone","Wind","Day"\n"1",41,7.4,1\n"2",NA,8,2\n"3",12,12.6,3\n'
     '"5",18,11.5,5\n', dict(na="drop"), [[41, 7.4], [12, 12.6], [18, 11.5]], ["1", "3", "5"], 1),
    ("airquality-no-names.csv", "Ozone,Wind,Day\n41,7.4,1\n,8,2\n12,12.6,3\n18,11.5,5\n",
     dict(na="drop"), [[41, 7.4], [12, 12.6], [18, 11.5]], [1, 3, 4], 1),
    ("USArrests.txt", '"Murder" "Assault" "Rape"\n"Alabama" 13.2 236 21.2\n"North Carolina" 13 '
     '337 16.1\n"Vermont" 2.2 48 11.2\n', dict(format="csv"),
     [[13.2, 236], [13, 337], [2.2, 48]], ["Alabama", "North Carolina", "Vermont"], 0),
    ("USArrests2.csv", '"";"Murder";"Assault";"Rape"\n"Alabama";13,2;236;21,2\n"North Carolina";'
     '13;337;16,1\n"Vermont";2,2;48;11,2\n', {}, [[13.2, 236], [13, 337], [2.2, 48]],
     ["Alabama", "North Carolina", "Vermont"], 0),
    ("years.csv", "country,1990,2000,region\nFrance,1.5,2.5,0\nJapan,3.5,4.5,1\nPeru,5,6,1\n",
     dict(header=True, features=["2000", "1990"], id="country"), [[2.5, 1.5], [4.5, 3.5], [6, 5]],
     ["France", "Japan", "Peru"], 0),
    ("decimal.csv", 'x,y,c\n"1,5",2,0\n"2,5",3,1\n"4,5",1,0\n', dict(decimal=","),
     [[1.5, 2], [2.5, 3], [4.5, 1]], [1, 2, 3], 0),
]


@pytest.mark.parametrize("name, contents, keywords, X, ids, dropped", LOOK_ALIKES,
                         ids=[case[0] for case in LOOK_ALIKES])
def test_load_reads_look_alikes_and_the_table_of_scores_keeps_their_ids(
        program, tmp_path, name, contents, keywords, X, ids, dropped):
    path = tmp_path / name
    path.write_text(contents)
    loaded, labels, names = tarn.load(path, **keywords)
    assert np.array_equal(loaded, np.array(X, dtype=float))
    assert list(names.ids) == ids and names.dropped == dropped
    options = {"format": "-f", "label": "-L", "skip": "--skip", "na": "--na",
               "decimal": "--decimal", "id": "--id"}
    args = [program, "-l", "-k", "1", "-i", str(path), "-O", str(tmp_path / "scores.csv")]
    for key, value in keywords.items():
        if key == "header":
            args.append("--header" if value else "--no-header")
        elif key == "features":
            args += ["-F", ",".join(value)]
        else:
            args += [options[key], str(value)]
    assert subprocess.run(args, capture_output=True).returncode == 0
    scores = pd.read_csv(tmp_path / "scores.csv", index_col="id", float_precision="round_trip")
    assert list(scores.index.astype(str)) == [str(i) for i in ids]
    assert np.array_equal(scores["score"], tarn.detect(loaded, 1, rule="lof").score)
    assert np.array_equal(scores["label"], labels)


def test_evaluate_ranks_ties_as_the_command_line_does(program):
    X, labels, _ = tarn.load(SAMPLE)
    for rule in RULES_WITH_TIES:
        result = tarn.detect(X, 4, rule=rule)
        cli = subprocess.run([program, "-e", "-k", "4", "-i", str(SAMPLE)] + RULE_OPTIONS[rule],
                             capture_output=True, text=True)
        ours = tarn.evaluate(result.score, labels, 1, result.higher_is_outlying)
        last = cli.stderr.splitlines()[-1]
        assert last == (f"ROC AUC: {ours.roc_auc:.6f}, average precision: "
                        f"{ours.average_precision:.6f}, precision at {labels.sum()}: "
                        f"{ours.precision_at_a:.6f}")


RULES_WITH_TIES = ["indegree", "mutual", "max", "lof"]


def rss_kib():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024


def test_a_detect_loop_neither_leaks_nor_holds_references():
    X = clustered(2000, 3, seed=11)
    before = sys.getrefcount(X)
    for _ in range(20):
        tarn.detect(X, 10, rule="lof")
        tarn.kneighbors(X, 10)
    gc.collect()
    warm = rss_kib()
    for _ in range(200):
        result = tarn.detect(X, 10, rule="lof")
        tarn.kneighbors(X, 10)
    del result
    gc.collect()
    assert sys.getrefcount(X) == before
    # 200 runs each allocating over 2 MB: a leak of any of it would show many times over.
    assert rss_kib() - warm < 8 * 1024


def test_the_lock_is_released_and_ctrl_c_interrupts_within_a_second():
    X = clustered(150000, 8, seed=13)
    ticks = []
    stop = threading.Event()

    def tick():
        while not stop.is_set():
            ticks.append(time.monotonic())
            time.sleep(0.01)

    ticker = threading.Thread(target=tick)
    ticker.start()
    sent = []
    timer = threading.Timer(0.8, lambda: (sent.append(time.monotonic()),
                                          os.kill(os.getpid(), signal.SIGINT)))
    start = time.monotonic()
    timer.start()
    with pytest.raises(KeyboardInterrupt):
        tarn.detect(X, 10, rule="lof", method="brute")
    raised = time.monotonic()
    stop.set()
    ticker.join()
    assert raised - sent[0] < 1.0
    # Another Python thread ran while the construction did.
    assert sum(start + 0.1 < t < sent[0] for t in ticks) > 10
    # The core is free again, and nothing was left cancelled.
    assert tarn.detect(X[:500], 10, rule="lof").score.shape == (500,)


def test_calls_from_several_threads_each_get_their_own_verdict():
    data = [clustered(3000, 3, seed=s) for s in range(4)]
    expected = [tarn.detect(X, 10, rule="lof").lof.tobytes() for X in data]
    got = [None] * len(data)

    def one(i):
        got[i] = tarn.detect(data[i], 10, rule="lof", n_jobs=2).lof.tobytes()

    threads = [threading.Thread(target=one, args=(i,)) for i in range(len(data))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert got == expected


@pytest.mark.parametrize("options", [["-l", "-k", "10", "-c", "0.05"], ["-m", "-k", "4"],
                                     ["-X", "-k", "5", "-T", "0.1"]])
def test_the_table_of_scores_reads_back_as_the_report(program, options, tmp_path):
    """-O's table through Python's csv module and pandas: the report's numbers, each row's id."""
    import csv
    iris = ROOT / "examples/iris.csv"
    table = tmp_path / "scores.csv"
    cli = run_cli(program, iris, options)
    assert subprocess.run([program, "-i", str(iris), "-O", str(table)] + options).returncode == 0
    # pandas' default parser may miss the last bit; "round_trip" reads the double written.
    frame = pd.read_csv(table, float_precision="round_trip")
    with open(table, newline="") as f:
        rows = list(csv.DictReader(f))
    assert list(frame.columns) == ["id", "score", "mark", "label", "class"]
    assert frame["id"].tolist() == list(range(1, 151)) == [int(r["id"]) for r in rows]
    assert [float(r["score"]) for r in rows] == frame["score"].tolist()
    report = "".join(f"{c_float(s)} {label} {m}\n" for s, label, m in
                     zip(frame["score"], frame["label"], frame["mark"]))
    assert report == cli.stdout
    assert frame["class"].tolist() == ["setosa"] * 50 + ["versicolor"] * 50 + ["virginica"] * 50


@pytest.mark.parametrize("rule", list(tarn.RULES))
def test_every_rule_gives_the_command_lines_bits(program, rule):
    """Each rule of the table: the scores of -O's table (shortest text, read back exactly) and
    the marks are the module's, bit for bit."""
    cli = subprocess.run([program, "-r", rule, "-k", "6", "-O", "-", "-i", str(SAMPLE)],
                         capture_output=True, text=True, check=True)
    rows = [line.split(",") for line in cli.stdout.splitlines()[1:]]
    X, _, _ = tarn.load(SAMPLE)
    result = tarn.detect(X, k=6, rule=rule)
    assert np.array([float(row[1]) for row in rows]).tobytes() == result.score.tobytes()
    assert [row[2] == "1" for row in rows] == list(result.marked)
