"""Exact k-nearest-neighbour outlier detection on numpy arrays.

The functions run the same core as the ``tarn`` command line: for the same vectors and options
the arrays they return hold, bit for bit, what the command line prints and marks.

- :func:`detect` runs one detection rule and returns a :class:`Result`.
- :func:`kneighbors` returns each vector's k nearest others, nearest first.
- :func:`load` reads a data file as the command line reads it.
- :func:`evaluate` ranks a score against labels as ``tarn -e`` does.
- :class:`OutlierDetector` is an estimator in the scikit-learn style.

One call runs at a time per process (others wait for it); the interpreter lock is released
while it runs, and Ctrl-C stops a long neighbour-graph construction within a second.
"""

import inspect
import numbers
import os
import warnings
from typing import NamedTuple, Optional

import numpy as np

from . import _core

__all__ = ["detect", "kneighbors", "load", "evaluate", "Result", "Names", "Evaluation",
           "OutlierDetector", "RULES", "FORMATS"]
__version__ = "0.1"

# Each rule's ranking-score direction, by its key: whether a higher score is more outlying. The
# default rule first, then the others in the detector's table order.
_TABLE = sorted(_core.rules(), key=lambda rule: rule[0] != "indegree")
RULES = {key: higher for key, higher, _ in _TABLE}
# The rules that mark a score: without a threshold, the most outlying share.
_SCORE_RULES = {key for key, _, marks_score in _TABLE if marks_score}
# The formats load reads, by the names of the command line's -f.
FORMATS = _core.FORMATS
_METHODS = ("auto", "tree", "brute")
_INT32_MAX = 2**31 - 1
_COMPLEX_WARNING = getattr(np, "exceptions", np).ComplexWarning


class Result(NamedTuple):
    """What :func:`detect` returns; every array has one entry per row of ``X``, in row order.

    Attributes
    ----------
    score : ndarray of float64
        The rule's ranking score: the in-degree for ``"indegree"`` and ``"mutual"``, the rule's
        value for ``"mean"`` and ``"max"`` (``inf`` for a vector nobody keeps), the local outlier
        factor for ``"lof"``. ``higher_is_outlying`` says its direction.
    lof : ndarray of float64
        The local outlier factor for ``rule="lof"``, zeros for every other rule.
    marked : ndarray of bool
        True for the vectors the rule (or ``share``) marks as outliers.
    indegree : ndarray of int32
        How many vectors keep each one among their nearest neighbours (after pruning for
        ``"mutual"``).
    higher_is_outlying : bool
        Whether a higher ``score`` is more outlying.
    params : dict
        The parameters of the run.
    """

    score: np.ndarray
    lof: np.ndarray
    marked: np.ndarray
    indegree: np.ndarray
    higher_is_outlying: bool
    params: dict


class Names(NamedTuple):
    """The names a load learnt: feature columns in column order, the label column, the class
    names by label number (empty for numeric labels), a warning about the data or ``""``, each
    row's id, and the count of rows left out for missing values.

    ``ids`` is what the ``id`` column of ``tarn -O``'s table holds: a list of str from the id
    column (``id=``, or the row names R writes), else an int64 array of each row's number among
    the file's data rows, from 1 (rows left out by ``na="drop"`` keep their numbers)."""

    features: list
    label: str
    classes: list
    warning: str
    ids: object = None
    dropped: int = 0


class Evaluation(NamedTuple):
    """Ranking measures of a score against labels; ``nan`` where undefined (no labelled outlier,
    or only labelled outliers)."""

    roc_auc: float
    average_precision: float
    precision_at_a: float


def _int32(value, name):
    # Integers beyond the 32-bit range saturate, as the command line reads them.
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Integral):
        raise TypeError(f"{name} must be an integer, got {type(value).__name__}")
    return int(max(-_INT32_MAX - 1, min(_INT32_MAX, int(value))))


def _flag(value, name):
    # A string is refused rather than read as true: standardise="no" would standardise.
    if not isinstance(value, (bool, np.bool_, numbers.Integral)) or value not in (0, 1):
        raise TypeError(f"{name} must be True or False, got {value!r}")
    return bool(value)


def _threads(n_jobs):
    # n_jobs as -j: None and 1 one thread, -1 (or 0) one per online processor.
    if n_jobs is None:
        return 1
    n_jobs = _int32(n_jobs, "n_jobs")
    if n_jobs == -1:
        return 0
    if n_jobs < 0:
        raise ValueError(f"n_jobs must be -1 or at least 0, got {n_jobs}")
    return n_jobs


def _method(method):
    if method not in _METHODS:
        raise ValueError(f"method must be one of {', '.join(_METHODS)}, got {method!r}")
    return method


# The metrics by the ecosystem's names, as -d names them; "minkowski" takes p.
_METRICS = {"euclidean": "euclidean", "l2": "euclidean", "manhattan": "manhattan",
            "l1": "manhattan", "cityblock": "manhattan", "chebyshev": "chebyshev",
            "cosine": "cosine"}


def _metric(metric, p):
    # -d's name for metric and p: minkowski with p = 1, 2 or infinity is manhattan, euclidean or
    # chebyshev; p is read only with minkowski.
    if metric == "minkowski":
        if isinstance(p, (bool, np.bool_)) or not isinstance(p, numbers.Real):
            raise TypeError(f"p must be a number, got {type(p).__name__}")
        if p == np.inf:
            return "chebyshev"
        return f"minkowski:{float(p)!r}"
    if metric not in _METRICS:
        raise ValueError(f"metric must be one of minkowski, {', '.join(_METRICS)}, "
                         f"got {metric!r}")
    return _METRICS[metric]


def _rows(X):
    # float64 C-contiguous arrays pass through; anything else is converted once. What the
    # container converts to is looked at first, whatever the container (a DataFrame has no one
    # dtype): complex values are refused, never cast to their real parts.
    complex_values = TypeError("X must hold real numbers, not complex ones")
    try:
        rows = np.asarray(X)
        if np.issubdtype(rows.dtype, np.complexfloating):
            raise complex_values
        with warnings.catch_warnings():
            # numpy warns, and keeps the real part, where an object array holds complex values.
            warnings.simplefilter("error", _COMPLEX_WARNING)
            rows = np.ascontiguousarray(rows, dtype=np.float64)
    except _COMPLEX_WARNING:
        raise complex_values from None
    except (TypeError, ValueError) as error:
        if error is complex_values or "complex" in str(error):
            raise complex_values from None
        raise type(error)(f"X must be a 2-D array of numbers: {error}") from None
    if rows.ndim != 2:
        raise ValueError(f"X must be a 2-D array of numbers, got {rows.ndim} dimension(s)")
    if rows.shape[0] > _INT32_MAX or rows.shape[1] >= _INT32_MAX:
        raise ValueError(f"X has {rows.shape[0]} rows of {rows.shape[1]}: too many for tarn")
    return rows


def _finite_rows(X, allow_nonfinite):
    # NaN makes every distance to its row a NaN, which neither wins nor loses a comparison: the
    # row slips into other rows' neighbour lists and the scores it reaches are not numbers.
    rows = _rows(X)
    if not _flag(allow_nonfinite, "allow_nonfinite"):
        bad = ~np.isfinite(rows)
        if bad.any():
            row, column = np.argwhere(bad)[0]
            raise ValueError(
                f"X holds {rows[row, column]} in row {row}, column {column}: its distances are "
                f"not numbers or infinite, and the scores they reach are not numbers; pass "
                f"allow_nonfinite=True to run anyway")
    return rows


def _check_array(X, min_samples=2):
    # The estimator refuses NaN and Inf everywhere, as the ecosystem's estimators do, and keeps
    # float32 as float32 (the scores follow it); every other type becomes float64.
    try:
        from sklearn.utils.validation import check_array
    except ImportError:
        rows = _rows(X)
        if rows.shape[0] < min_samples or not np.isfinite(rows).all():
            raise ValueError(f"X needs at least {min_samples} sample(s), all finite") from None
        return rows.astype(np.float32) if np.asarray(X).dtype == np.float32 else rows
    return check_array(X, dtype=(np.float64, np.float32), order="C",
                       ensure_min_samples=min_samples)


def _reference_rows(reference, rows, allow_nonfinite):
    # The reference's rows, of X's width; None stays None.
    if reference is None:
        return None
    kept = _finite_rows(reference, allow_nonfinite)
    if kept.shape[1] != rows.shape[1]:
        raise ValueError(f"reference has {kept.shape[1]} feature(s), X has {rows.shape[1]}")
    return kept


def detect(X, k=3, *, rule="indegree", threshold=None, indegree=0, share=None, standardise=False,
           n_jobs=1, method="auto", metric="minkowski", p=2, allow_nonfinite=False,
           reference=None):
    """Build the exact k-nearest-neighbour graph of the rows of X and run one detection rule.

    Parameters
    ----------
    X : array-like of shape (n_samples, n_features)
        The vectors, one per row; a pandas DataFrame too. float64 C-contiguous input is read
        without a copy. NaN and infinite values are refused unless ``allow_nonfinite``.
    k : int, default 3
        The neighbours each vector keeps, 1 to n_samples - 1 (``-k``).
    rule : str, a key of :data:`RULES`, default "indegree"
        The detection rule by its key, as the command line's ``-r`` takes it: for example
        "indegree", "mutual" (``-m``), "mean" (``-M``), "max" (``-X``), "lof" (``-l``).
    threshold : float or None, default None
        The threshold (``-T``): of ``"mean"``, ``"max"`` and ``"lof"`` (None: 0.0), and the score
        above which a rule that marks a score marks (None: the most outlying 10 %).
    indegree : int, default 0
        The in-degree limit of the ``"indegree"`` rule (``-I``).
    share : float in (0, 1] or None, default None
        Mark the ceil(share x n) most outlying vectors by the ranking score, ties included,
        instead of the rule's threshold (``-c``).
    standardise : bool, default False
        Centre and scale every feature column before any distance (``-z``).
    n_jobs : int, default 1
        Threads that build the graph (``-j``); -1 for one per online processor. The result
        does not depend on it.
    method : {"auto", "tree", "brute"}, default "auto"
        How the graph is built: the k-d tree (``-x``), the tiled brute force, or tarn's choice.
        The result does not depend on it.
    metric : str, default "minkowski"
        The distance (``-d``): "minkowski" (of exponent ``p``), "euclidean" ("l2"),
        "manhattan" ("l1", "cityblock"), "chebyshev" or "cosine" (1 - cos; a row of norm 0 is
        at 1 from every other and at 0 from another such row).
    p : float, default 2
        The Minkowski exponent, finite and at least 1, or infinity (Chebyshev); 1 is Manhattan
        and 2 Euclidean, bit for bit. Read only with ``metric="minkowski"``.
    allow_nonfinite : bool, default False
        Run on NaN and infinite values, as the command line runs on them spelt ``nan`` or
        ``inf``: their distances are not numbers or infinite, and so are the scores they reach.
    reference : array-like of shape (n_reference, n_features) or None, default None
        Score each row of X against this fixed reference set instead of among the rows of X
        (the command line's ``-R``): the reference's graph is built once and each row of X is
        scored as if it alone were added to it, after every reference row, with the reference's
        own k-distances, densities and thresholds; k counts reference rows. With
        ``standardise`` the rows of X are taken as the reference's columns were. The rows of X
        never change each other's scores, so X may be split anywhere.

    Returns
    -------
    Result
        ``score``, ``lof``, ``marked``, ``indegree``, the score's direction and the parameters.

    Raises
    ------
    ValueError
        k out of range, a bad option; the command line's text.
    MemoryError
        When the graph does not fit in the memory available.
    KeyboardInterrupt
        On Ctrl-C during the run.
    """
    if rule not in RULES:
        raise ValueError(f"rule must be one of {', '.join(RULES)}, got {rule!r}")
    if share is not None and not (0 < share <= 1):
        raise ValueError(f"share must be in (0, 1], got {share}")
    standardise = _flag(standardise, "standardise")
    allow_nonfinite = _flag(allow_nonfinite, "allow_nonfinite")
    threshold = None if threshold is None else float(threshold)
    params = dict(k=k, rule=rule, threshold=threshold, indegree=indegree, share=share,
                  standardise=standardise, n_jobs=n_jobs, method=method, metric=metric, p=p)
    k, indegree = _int32(k, "k"), _int32(indegree, "indegree")
    threads, method, distance = _threads(n_jobs), _method(method), _metric(metric, p)
    rows = _finite_rows(X, allow_nonfinite)
    reference = _reference_rows(reference, rows, allow_nonfinite)
    out = _core.detect(rows, k, rule, threshold, indegree,
                       0.0 if share is None else float(share), standardise, threads, method,
                       distance, reference)
    return Result(score=out["score"], lof=out["lof"], marked=out["marked"].astype(bool),
                  indegree=out["indegree"], higher_is_outlying=RULES[rule], params=params)


def kneighbors(X, k, *, n_jobs=1, method="auto", metric="minkowski", p=2, allow_nonfinite=False,
               reference=None):
    """Each row's k nearest other rows, exactly as the command line's graph keeps them.

    Parameters
    ----------
    X : array-like of shape (n_samples, n_features)
        The vectors, one per row, as for :func:`detect`.
    k : int
        The neighbours per row, 1 to n_samples - 1.
    n_jobs : int, default 1
        Threads (``-j``); -1 for one per online processor.
    method : {"auto", "tree", "brute"}, default "auto"
        As for :func:`detect`; the result does not depend on it.
    metric, p : as for :func:`detect`
    allow_nonfinite : bool, default False
        As for :func:`detect`.
    reference : array-like of shape (n_reference, n_features) or None, default None
        Each row's k nearest reference rows instead (1 <= k < n_reference); indices are
        reference row numbers, and a row of X equal to a reference row finds it at distance 0.

    Returns
    -------
    distances : ndarray of float64, shape (n_samples, k)
        The metric's distances, nearest first.
    indices : ndarray of intp, shape (n_samples, k)
        Row numbers of the neighbours. Which of equally distant candidates are kept follows
        the command line's rule (the earlier rows), and they are listed in the graph's order:
        each in front of the equally distant ones kept before it, so the later row first.
    """
    k, threads, method = _int32(k, "k"), _threads(n_jobs), _method(method)
    distance = _metric(metric, p)
    rows = _finite_rows(X, allow_nonfinite)
    distances, indices = _core.kneighbors(rows, k, threads, method, distance,
                                          _reference_rows(reference, rows, allow_nonfinite))
    return distances, indices.astype(np.intp)


def load(path, *, format=None, label=None, features=None, skip=0, header=None, na="error",
         decimal=None, id=None):
    """Read a data file as the command line reads it: text, CSV or TSV, maybe compressed.

    Parameters
    ----------
    path : str or os.PathLike
        The file; gzip and zstd files are read as they are.
    format : str or None, default None
        The format (``-f``), one of :data:`FORMATS`; None picks it by the name.
    label : str, int or None, default None
        The label column (``-L``): a name, a number from 1, or "none"; None for the last.
    features : str, sequence or None, default None
        The feature columns (``-F``): names or numbers from 1; None for all but the label.
    skip : int, default 0
        Lines left out before the header or the data (``--skip``), as pandas' ``skiprows`` and
        R's ``skip``.
    header : bool or None, default None
        Whether the first row of a CSV or TSV file is a header (``--header``, ``--no-header``);
        None guesses it from the rows after it.
    na : {"error", "drop"}, default "error"
        Rows with a missing value (empty, NA, NaN, null, ?) in a feature or the label: refused,
        or left out and counted in ``names.dropped`` (``--na``).
    decimal : {",", "."} or None, default None
        The decimal mark of CSV and TSV numbers (``--decimal``); None: a comma where semicolons
        separate the fields (R's ``write.csv2``), else a point.
    id : str, int or None, default None
        The column of row ids (``--id``), kept apart from the features; None: the row names R
        writes, if any.

    Returns
    -------
    X : ndarray of float64, shape (n_samples, n_features)
    labels : ndarray of int32, shape (n_samples,)
        The label column truncated toward zero; class names are numbered from 0 in order of
        first appearance.
    names : Names
        Feature, label and class names, a warning about the data ("" when none), each row's
        id and the count of rows left out.

    Raises
    ------
    FileNotFoundError
        When the file does not exist.
    ValueError
        When the file cannot be read, with the command line's explanation.
    """
    path = os.fspath(path)
    if not os.path.exists(path):
        raise FileNotFoundError(f"Cannot load vectors from {path}: no such file")
    kind = 0
    if format is not None:
        kind = _core.table_kind(str(format))
        if kind < 0:
            choices = ", ".join(FORMATS[:-1]) + " or " + FORMATS[-1]
            raise ValueError(f"format must be {choices}, got {format!r}")
    if label is not None:
        label = str(label)
    if features is not None and not isinstance(features, str):
        features = ",".join(str(f) for f in features)
    skip = _int32(skip, "skip")
    if skip < 0:
        raise ValueError(f"skip must be 0 or more, got {skip}")
    if header is not None:
        header = int(_flag(header, "header"))
    if na not in ("error", "drop"):
        raise ValueError(f"na must be 'error' or 'drop', got {na!r}")
    if decimal not in (None, ",", "."):
        raise ValueError(f"decimal must be ',' or '.', got {decimal!r}")
    if id is not None:
        id = str(id)
    X, labels, feature_names, label_name, classes, warning, ids, rows, dropped = _core.load(
        path, kind, label, features, skip, -1 if header is None else header, na == "drop",
        decimal or "", id)
    if not ids:
        ids = rows if len(rows) else np.arange(1, len(X) + 1, dtype=np.int64)
    return X, labels, Names(list(feature_names), label_name, list(classes), warning, ids,
                            dropped)


def evaluate(score, labels, outlier_label=1, higher_is_outlying=True):
    """Rank a score against labels as ``tarn -e`` does.

    Equal scores form a tie group treated alike; a NaN score ranks as the least outlying.

    Parameters
    ----------
    score : array-like of shape (n_samples,)
        The ranking score, e.g. ``Result.score``.
    labels : array-like of shape (n_samples,)
        The labels; those equal to ``outlier_label`` are the labelled outliers.
    outlier_label : default 1
        The label of the outlier class.
    higher_is_outlying : bool, default True
        The score's direction (``Result.higher_is_outlying``).

    Returns
    -------
    Evaluation
        ROC AUC, average precision and precision at A (A the number of labelled outliers).
    """
    score = np.asarray(score, dtype=np.float64).ravel()
    positive = (np.asarray(labels).ravel() == outlier_label).astype(np.int32)
    if score.shape != positive.shape:
        raise ValueError(f"score has {score.size} entries, labels {positive.size}")
    if not higher_is_outlying:
        score = -score
    return Evaluation(*_core.evaluate(score, positive))


def _takes(name):
    # Whether this build's detect takes the keyword argument name.
    return name in inspect.signature(detect).parameters


def _feature_names(X):
    # A DataFrame's column names when every one is a string, as the ecosystem keeps them.
    columns = getattr(X, "columns", None)
    if columns is not None and len(columns) > 0 and all(isinstance(c, str) for c in columns):
        return np.asarray(columns, dtype=object)
    return None


def _share_offset(scores, share):
    """The percentile of scores at 100 x share, as the ecosystem's offset_ for a contamination:
    the vectors strictly below it are the outliers, so those tied at the cut stay inliers. NaN
    scores take no place. Where the cut falls between an infinite score and another (the
    percentile is then not a number), the upper of the two, which leaves the same vectors below
    it as any value between them would."""
    ranked = np.sort(scores[~np.isnan(scores)])
    if ranked.size == 0:
        return np.nan
    with np.errstate(invalid="ignore"):
        offset = np.percentile(ranked, 100.0 * share)
    if np.isnan(offset):
        position = (ranked.size - 1) * (100.0 * share / 100)
        low, high = ranked[int(position)], ranked[min(int(position) + 1, ranked.size - 1)]
        offset = low if low == high or position == int(position) else high
    return offset


try:
    from sklearn.base import BaseEstimator as _Estimator
    from sklearn.base import OutlierMixin as _OutlierMixin
    from sklearn.utils.metaestimators import available_if as _available_if
    from sklearn.utils.validation import check_is_fitted as _check_is_fitted
except ImportError:  # scikit-learn is optional: the same interface without it

    class _Estimator:
        def get_params(self, deep=True):
            names = self.__init__.__code__.co_varnames[1:self.__init__.__code__.co_argcount]
            return {name: getattr(self, name) for name in names}

        def set_params(self, **params):
            valid = self.get_params()
            for name, value in params.items():
                if name not in valid:
                    raise ValueError(f"Invalid parameter {name!r} for estimator {self!r}")
                setattr(self, name, value)
            return self

    class _OutlierMixin:
        _estimator_type = "outlier_detector"

    class _available_if:
        # A method that exists only while check(estimator) holds; check raises AttributeError
        # otherwise, so hasattr tells which methods an estimator offers.
        def __init__(self, check):
            self.check = check

        def __call__(self, method):
            self.method = method
            return self

        def __get__(self, estimator, owner=None):
            if estimator is None:
                return self.method
            self.check(estimator)
            return self.method.__get__(estimator, owner)

    def _check_is_fitted(estimator):
        if not hasattr(estimator, "scores_"):
            raise ValueError(f"This {type(estimator).__name__} instance is not fitted yet")


def _novelty(wanted, message):
    # available_if's check: the method exists only when the estimator's novelty is wanted.
    def check(estimator):
        if bool(estimator.novelty) != wanted:
            raise AttributeError(message)
        return True
    return check


def _new_data_only(name):
    return _novelty(True, f"{name} is not available when novelty=False: set novelty=True to "
                          f"score new data against the data fitted on (the training vectors' "
                          f"scores are in scores_, their labels in labels_)")


class OutlierDetector(_OutlierMixin, _Estimator):
    """Outlier detection in the scikit-learn style, on tarn's exact neighbour graph.

    As scikit-learn's LocalOutlierFactor, it works in one of two ways. With ``novelty=False``
    (the default) it labels the data it is fitted on: ``fit_predict(X)`` gives +1 for inliers
    and -1 for outliers, and ``predict``, ``decision_function`` and ``score_samples`` do not
    exist (``hasattr`` is False; calling one raises AttributeError). With ``novelty=True``
    those three score new rows against the data fitted on, which stays their reference, and
    ``fit_predict`` does not exist.

    Every score here is oriented as the ecosystem's: higher is more normal, so a rule whose
    ranking score is higher for the more outlying (all but the in-degree rules) gives its
    opposite. A vector is an outlier when its score is below ``offset_``.

    Parameters
    ----------
    n_neighbors : int, default 10
        k; data with fewer rows than n_neighbors + 1 use n_samples - 1 with a warning.
    rule : str, a key of :data:`RULES`, default "lof"
        The detection rule, as for :func:`detect`.
    contamination : "auto" or float in (0, 0.5], default 0.1
        The share of outliers: ``offset_`` is the training scores' percentile at 100 x
        contamination, and the vectors strictly below it are the outliers (on data without
        ties, the ceil(contamination x n) most outlying; vectors tied at the cut stay inliers,
        as the ecosystem's). "auto" takes the rule's own limit where one is given, see
        ``offset_``, and otherwise the most outlying 10 % (``DEFAULT_SHARE``): every rule then
        marks some vectors and keeps others on any data with outliers.
    threshold : float or None, default None
        The threshold of "auto" (``-T``) with "lof", "mean", "max" and the rules that mark a
        score ("knn", "knnw", "loop", "inflo", "cof"); None as under ``offset_``.
    indegree : int or None, default None
        The in-degree limit of "auto" with the in-degree rule (``-I``); None as under
        ``offset_``.
    standardise : bool, default False
        Centre and scale the features first.
    n_jobs : int, default 1
        Threads; -1 for one per online processor.
    method : {"auto", "tree", "brute"}, default "auto"
        How the graph is built.
    novelty : bool, default False
        False to label the data fitted on, True to score new data against it.
    metric : str, default "minkowski"
        The distance; "minkowski" with ``p=2`` and "euclidean" are the Euclidean distance every
        build of tarn measures, any other goes to :func:`detect` as ``metric=``.
    p : float, default 2
        The power of the Minkowski distance (1 Manhattan, 2 Euclidean); read with
        ``metric="minkowski"`` only.

    Attributes
    ----------
    scores_ : ndarray of shape (n_samples,)
        Each training vector's score: the rule's ranking score, negated where higher is more
        outlying (for "lof", the negated factor), so that lower is more outlying. float32 for
        float32 data, else float64.
    score_samples_ : ndarray of shape (n_samples,)
        Deprecated: the old name of ``scores_``, kept for one release (reading it warns with a
        FutureWarning); ``score_samples`` is now the method of ``novelty=True``.
    negative_outlier_factor_ : ndarray of shape (n_samples,)
        The negated local outlier factor (rule "lof" only), as ``scores_``.
    offset_ : float
        The score below which a vector is an outlier; ``decision_function`` is ``score_samples``
        minus it, and ``labels_`` are -1 exactly where ``scores_ < offset_``. With a numeric
        contamination, the training scores' percentile at 100 x contamination. With "auto":

        - "lof": -threshold, -1.5 when None (a factor above 1.5, the ecosystem's offset).
          Unlike the command line's ``-l`` it marks by the factor alone, not also every
          vector nobody keeps.
        - "knn", "knnw", "loop", "inflo", "cof" given a threshold: -threshold (a score above
          the threshold, as ``-T``).
        - "indegree" given an in-degree limit: the limit + 1 (an in-degree of at most the
          limit, as ``-I``).
        - "mean", "max" given a threshold: the score of the most outlying vector the rule keeps
          (their threshold derives from the run's distances); the labels are the rule's marks
          (``-T``), and a new vector is an outlier when it is more outlying than every
          training vector the rule kept.
        - otherwise ("mutual", and the rules above given no limit): the percentile of the
          training scores at 10 (``DEFAULT_SHARE``), as contamination=0.1.
    ranking_score_ : ndarray of float64, shape (n_samples,)
        The rule's ranking score as :func:`detect` returns it.
    labels_ : ndarray of shape (n_samples,)
        +1 for inliers, -1 for outliers: what ``fit_predict`` returns.
    n_neighbors_ : int
        The k used.
    n_features_in_ : int
    feature_names_in_ : ndarray of shape (n_features_in_,)
        The column names of a DataFrame fitted on, when every one is a string.
    n_samples_fit_ : int
    """

    def __init__(self, n_neighbors=10, rule="lof", contamination=0.1, threshold=None,
                 indegree=None, standardise=False, n_jobs=1, method="auto", novelty=False,
                 metric="minkowski", p=2):
        self.n_neighbors = n_neighbors
        self.rule = rule
        self.contamination = contamination
        self.threshold = threshold
        self.indegree = indegree
        self.standardise = standardise
        self.n_jobs = n_jobs
        self.method = method
        self.novelty = novelty
        self.metric = metric
        self.p = p

    def _more_tags(self):
        return {"allow_nan": False, "requires_y": False,
                "preserves_dtype": [np.float64, np.float32]}

    def fit(self, X, y=None):
        """Score the vectors of X and set ``offset_`` and ``labels_``; y is ignored. With
        novelty=True, X is also the reference new data are scored against. Returns the
        estimator."""
        names = _feature_names(X)
        if names is not None:
            self.feature_names_in_ = names
        elif hasattr(self, "feature_names_in_"):
            del self.feature_names_in_
        X = _check_array(X)
        n = X.shape[0]
        if self.rule not in RULES:
            raise ValueError(f"rule must be one of {', '.join(RULES)}, got {self.rule!r}")
        contamination = self.contamination
        if isinstance(contamination, str):
            if contamination != "auto":
                raise ValueError(f"contamination must be 'auto' or in (0, 0.5], got "
                                 f"{contamination!r}")
        elif not (0 < contamination <= 0.5):
            raise ValueError(f"contamination must be in (0, 0.5], got {contamination}")
        _flag(self.novelty, "novelty")
        k = _int32(self.n_neighbors, "n_neighbors")
        if k < 1:
            raise ValueError(f"Neighbourhood value is {k} too small!, it should be at least 1")
        if k >= n:
            warnings.warn(f"n_neighbors ({k}) is not below n_samples ({n}); using {n - 1}")
            k = n - 1
        # The rule's own limits mark only with "auto"; a share is judged here, from the scores.
        auto = contamination == "auto"
        threshold = self.threshold if auto else None
        indegree = self.indegree if auto and self.indegree is not None else 0
        result = detect(X, k, rule=self.rule, threshold=threshold, indegree=indegree,
                        standardise=self.standardise, n_jobs=self.n_jobs, method=self.method,
                        **self._metric_options())
        self.n_neighbors_ = k
        self.n_features_in_ = X.shape[1]
        self.n_samples_fit_ = n
        self._fit_X = X
        self.ranking_score_ = result.score
        scores = -result.score if result.higher_is_outlying else result.score
        self.scores_ = scores.astype(X.dtype, copy=False)
        if self.rule == "lof":
            self.negative_outlier_factor_ = (-result.lof).astype(X.dtype, copy=False)
        elif hasattr(self, "negative_outlier_factor_"):
            del self.negative_outlier_factor_
        self.offset_ = self._offset(result.marked)
        self.labels_ = np.where(self.scores_ < self.offset_, -1, 1)
        return self

    def _offset(self, marked):
        """offset_ from scores_ as the class documents it; marked holds the rule's own marks."""
        if self.contamination != "auto":
            return _share_offset(self.scores_, float(self.contamination))
        sign = -1.0 if RULES[self.rule] else 1.0
        if self.rule == "lof":
            return sign * (1.5 if self.threshold is None else float(self.threshold))
        if self.rule in _SCORE_RULES and self.threshold is not None:
            return sign * float(self.threshold)
        if self.rule == "indegree" and self.indegree is not None:
            return float(_int32(self.indegree, "indegree")) + 1.0
        if self.rule in ("mean", "max") and self.threshold is not None:
            kept = self.scores_[~marked]
            return float(kept.min()) if kept.size else np.inf
        return _share_offset(self.scores_, _core.DEFAULT_SHARE)

    def _metric_options(self):
        """detect's distance options: none for the Euclidean distance, which every build
        measures, else metric= (and p= for the Minkowski distance)."""
        if self.metric == "euclidean" or (self.metric == "minkowski" and self.p == 2):
            return {}
        if not _takes("metric"):
            raise ValueError(f"metric={self.metric!r} with p={self.p!r}: this build of tarn "
                             f"measures the Euclidean distance only")
        if self.metric == "minkowski":
            return dict(metric=self.metric, p=self.p)
        return dict(metric=self.metric)

    @property
    def score_samples_(self):
        """Deprecated: scores_ (reading this warns)."""
        if not hasattr(self, "scores_"):
            raise AttributeError("score_samples_ is set by fit (and deprecated: use scores_)")
        warnings.warn("score_samples_ is deprecated and will be removed in the next release: "
                      "use scores_ (score_samples is now a method, for novelty=True)",
                      FutureWarning, stacklevel=2)
        return self.scores_

    @_available_if(_novelty(False, "fit_predict is not available when novelty=True: use "
                                   "novelty=False to label the data fitted on"))
    def fit_predict(self, X, y=None):
        """Fit on X and return its labels, +1 for inliers and -1 for outliers (novelty=False
        only)."""
        return self.fit(X).labels_

    def _check_new(self, X):
        # New rows: fitted first, the same features, a refusal as the ecosystem's for a
        # different count and for different names.
        _check_is_fitted(self)
        names, fitted = _feature_names(X), getattr(self, "feature_names_in_", None)
        if names is not None and fitted is not None and not np.array_equal(names, fitted):
            raise ValueError("The feature names should match those that were passed during fit")
        if (names is None) != (fitted is None):
            have, had = ("no valid", "with") if names is None else ("", "without")
            warnings.warn(f"X has {have} feature names, but {type(self).__name__} was fitted "
                          f"{had} feature names".replace("  ", " "))
        X = _check_array(X, min_samples=1)
        if X.shape[1] != self.n_features_in_:
            raise ValueError(f"X has {X.shape[1]} features, but {type(self).__name__} is "
                             f"expecting {self.n_features_in_} features as input.")
        return X

    @_available_if(_new_data_only("score_samples"))
    def score_samples(self, X):
        """Each row of X scored against the data fitted on, oriented as ``scores_`` (lower is
        more outlying); float32 when both are float32 (novelty=True only). A row of X equal to
        a fitted vector finds it among its neighbours."""
        X = self._check_new(X)
        if not _takes("reference"):
            raise NotImplementedError("score_samples needs detect's reference=, which this "
                                      "build of tarn lacks")
        result = detect(X, self.n_neighbors_, rule=self.rule, standardise=self.standardise,
                        n_jobs=self.n_jobs, method=self.method, reference=self._fit_X,
                        **self._metric_options())
        scores = -result.score if result.higher_is_outlying else result.score
        return scores.astype(np.result_type(X.dtype, self._fit_X.dtype), copy=False)

    @_available_if(_new_data_only("decision_function"))
    def decision_function(self, X):
        """score_samples(X) - offset_: negative for outliers (novelty=True only)."""
        return self.score_samples(X) - self.offset_

    @_available_if(_new_data_only("predict"))
    def predict(self, X):
        """+1 for the inliers of X, -1 for its outliers: -1 where decision_function(X) < 0
        (novelty=True only)."""
        return np.where(self.decision_function(X) < 0, -1, 1)
