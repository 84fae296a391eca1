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


def _check_array(X):
    # The estimator refuses NaN and Inf everywhere, as the ecosystem's estimators do.
    try:
        from sklearn.utils.validation import check_array
    except ImportError:
        X = _rows(X)
        if X.shape[0] < 2 or not np.isfinite(X).all():
            raise ValueError("X needs at least 2 samples, all finite")
        return X
    return check_array(X, dtype=np.float64, order="C", ensure_min_samples=2)


def detect(X, k=3, *, rule="indegree", threshold=None, indegree=0, share=None, standardise=False,
           n_jobs=1, method="auto", metric="minkowski", p=2, allow_nonfinite=False):
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
    out = _core.detect(rows, k, rule, threshold, indegree,
                       0.0 if share is None else float(share), standardise, threads, method,
                       distance)
    return Result(score=out["score"], lof=out["lof"], marked=out["marked"].astype(bool),
                  indegree=out["indegree"], higher_is_outlying=RULES[rule], params=params)


def kneighbors(X, k, *, n_jobs=1, method="auto", metric="minkowski", p=2, allow_nonfinite=False):
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
    distances, indices = _core.kneighbors(_finite_rows(X, allow_nonfinite), k, threads, method,
                                          distance)
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


try:
    from sklearn.base import BaseEstimator as _Estimator
    from sklearn.base import OutlierMixin as _OutlierMixin
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


class OutlierDetector(_OutlierMixin, _Estimator):
    """Outlier detection in the scikit-learn style, on tarn's exact neighbour graph.

    Like scikit-learn's LocalOutlierFactor without novelty, it labels the data it is fitted
    on: ``fit_predict(X)`` gives +1 for inliers and -1 for outliers.

    Parameters
    ----------
    n_neighbors : int, default 10
        k; data with fewer rows than n_neighbors + 1 use n_samples - 1 with a warning.
    rule : str, a key of :data:`RULES`, default "lof"
        The detection rule, as for :func:`detect`.
    contamination : "auto" or float in (0, 0.5], default 0.1
        The share of outliers: the ceil(contamination x n) most outlying by the ranking score,
        ties included. "auto" marks by the rule's own limit where one is given (threshold,
        indegree), a local outlier factor above 1.5 with "lof" (scikit-learn's offset of
        -1.5), and otherwise the most outlying 10 % (``DEFAULT_SHARE``): every rule then marks
        some vectors and keeps others on any data with outliers.
    threshold : float or None, default None
        The threshold of "auto" (``-T``) with "lof", "mean", "max" and the rules that mark a
        score ("knn", "knnw", "loop", "inflo", "cof"); None as above.
    indegree : int or None, default None
        The in-degree limit of "auto" with the in-degree rule (``-I``); None as above.
    standardise : bool, default False
        Centre and scale the features first.
    n_jobs : int, default 1
        Threads; -1 for one per online processor.
    method : {"auto", "tree", "brute"}, default "auto"
        How the graph is built.

    Attributes
    ----------
    score_samples_ : ndarray of shape (n_samples,)
        The opposite of the ranking score oriented so that lower is more outlying (for "lof",
        the negated factor), as scikit-learn's score_samples.
    negative_outlier_factor_ : ndarray of shape (n_samples,)
        The negated local outlier factor (rule "lof" only).
    ranking_score_ : ndarray of shape (n_samples,)
        The rule's ranking score as :func:`detect` returns it.
    labels_ : ndarray of shape (n_samples,)
        +1 for inliers, -1 for outliers.
    n_neighbors_ : int
        The k used.
    n_features_in_ : int
    feature_names_in_ : ndarray of shape (n_features_in_,)
        The column names of a DataFrame fitted on, when every one is a string.
    n_samples_fit_ : int
    """

    def __init__(self, n_neighbors=10, rule="lof", contamination=0.1, threshold=None,
                 indegree=None, standardise=False, n_jobs=1, method="auto"):
        self.n_neighbors = n_neighbors
        self.rule = rule
        self.contamination = contamination
        self.threshold = threshold
        self.indegree = indegree
        self.standardise = standardise
        self.n_jobs = n_jobs
        self.method = method

    def _more_tags(self):
        return {"allow_nan": False, "requires_y": False}

    def fit(self, X, y=None):
        """Detect the outliers of X; y is ignored. Returns the estimator."""
        # A DataFrame's column names, when every one is a string, as the ecosystem keeps them.
        columns = getattr(X, "columns", None)
        if columns is not None and len(columns) > 0 and all(isinstance(c, str) for c in columns):
            self.feature_names_in_ = np.asarray(columns, dtype=object)
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
            share = None
        elif not (0 < contamination <= 0.5):
            raise ValueError(f"contamination must be in (0, 0.5], got {contamination}")
        else:
            share = float(contamination)
        k = _int32(self.n_neighbors, "n_neighbors")
        if k < 1:
            raise ValueError(f"Neighbourhood value is {k} too small!, it should be at least 1")
        if k >= n:
            warnings.warn(f"n_neighbors ({k}) is not below n_samples ({n}); using {n - 1}")
            k = n - 1
        threshold, indegree = self.threshold, self.indegree
        if share is None:
            share = self._auto_share()
            if threshold is None and self.rule == "lof":
                threshold = 1.5
        result = detect(X, k, rule=self.rule, threshold=threshold,
                        indegree=0 if indegree is None else indegree, share=share,
                        standardise=self.standardise, n_jobs=self.n_jobs, method=self.method)
        self.n_neighbors_ = k
        self.n_features_in_ = X.shape[1]
        self.n_samples_fit_ = n
        self.ranking_score_ = result.score
        self.score_samples_ = -result.score if result.higher_is_outlying else result.score
        if self.rule == "lof":
            self.negative_outlier_factor_ = -result.lof
        self.labels_ = np.where(result.marked, -1, 1)
        return self

    def _auto_share(self):
        """The share "auto" marks: none where the rule's own limit marks (given, or lof's 1.5,
        or a score rule's own default), else DEFAULT_SHARE."""
        own_limit = {"lof": True, "indegree": self.indegree is not None,
                     "mean": self.threshold is not None, "max": self.threshold is not None}
        if self.rule in _SCORE_RULES or own_limit.get(self.rule, False):
            return None
        return _core.DEFAULT_SHARE

    def fit_predict(self, X, y=None):
        """Fit on X and return +1 for inliers, -1 for outliers."""
        return self.fit(X).labels_

