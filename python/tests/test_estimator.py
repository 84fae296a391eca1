"""OutlierDetector: scikit-learn's own estimator checks, the verdict it carries, and its
novelty methods.

With novelty=False the estimator labels the data it is fitted on, as LocalOutlierFactor does:
it has no predict, decision_function or score_samples, so scikit-learn yields none of the checks
that need them; every other check it yields runs here, for every rule with a share and with
contamination="auto". With novelty=True those methods score new rows through detect's
reference=; the tests that need it skip while this build's detect lacks it.
"""

import inspect

import numpy as np
import pytest
from sklearn.base import clone
from sklearn.neighbors import LocalOutlierFactor
from sklearn.pipeline import make_pipeline
from sklearn.preprocessing import StandardScaler
from sklearn.utils.estimator_checks import check_estimator, parametrize_with_checks

import tarn
from conftest import clustered

needs_reference = pytest.mark.skipif(
    "reference" not in inspect.signature(tarn.detect).parameters,
    reason="tarn.detect has no reference= yet: novelty=True scores new rows through it")
needs_metric = pytest.mark.skipif(
    "metric" not in inspect.signature(tarn.detect).parameters,
    reason="tarn.detect has no metric= yet")
NOVELTY_METHODS = ("score_samples", "decision_function", "predict")


@parametrize_with_checks(
    [tarn.OutlierDetector(rule=rule, contamination=contamination)
     for rule in tarn.RULES for contamination in (0.1, "auto")]
    + [tarn.OutlierDetector(rule="mean", n_jobs=2),
       tarn.OutlierDetector(rule="mutual", method="tree", metric="euclidean")])
def test_scikit_learn_estimator_checks(estimator, check):
    check(estimator)


@needs_reference
@pytest.mark.parametrize("contamination", [0.1, "auto"])
@pytest.mark.parametrize("rule", tarn.RULES)
def test_scikit_learn_estimator_checks_with_novelty(rule, contamination):
    check_estimator(tarn.OutlierDetector(rule=rule, contamination=contamination, novelty=True))


# offset: the expected offset_, "share" for the training scores' percentile at 100 x share, or
# "kept" for the score of the most outlying vector detect keeps. apart: which of detect's marks
# the estimator may keep: none, those tied at the cut, or those nobody keeps (lof's -l marks
# them, the estimator marks by the factor alone).
@pytest.mark.parametrize("params, detect_options, offset, apart", [
    (dict(), dict(k=10, rule="lof", share=0.1), "share", "none"),
    (dict(n_neighbors=5, rule="max", contamination=0.05), dict(k=5, rule="max", share=0.05),
     "share", "none"),
    (dict(contamination="auto"), dict(k=10, rule="lof", threshold=1.5), -1.5, "unkept"),
    (dict(contamination="auto", threshold=1.2), dict(k=10, rule="lof", threshold=1.2), -1.2,
     "unkept"),
    (dict(rule="mean", contamination="auto", threshold=0.2),
     dict(k=10, rule="mean", threshold=0.2), "kept", "none"),
    (dict(rule="max", contamination="auto", threshold=0.3),
     dict(k=10, rule="max", threshold=0.3), "kept", "none"),
    (dict(rule="indegree", contamination="auto", indegree=1), dict(k=10, indegree=1), 2.0,
     "none"),
    (dict(rule="knn", contamination="auto", threshold=2.5),
     dict(k=10, rule="knn", threshold=2.5), -2.5, "none"),
    (dict(rule="cof", contamination="auto"), dict(k=10, rule="cof", share=0.1), "share", "none"),
    (dict(rule="mutual", contamination="auto"), dict(k=10, rule="mutual", share=0.1), "share",
     "tied"),
    (dict(rule="indegree", contamination=0.3), dict(k=10, share=0.3), "share", "tied"),
    (dict(rule="max", contamination="auto"), dict(k=10, rule="max", share=0.1), "share", "none"),
])
def test_fit_predict_carries_the_verdict_of_detect(params, detect_options, offset, apart):
    X = clustered(400, 3, seed=21)
    estimator = tarn.OutlierDetector(**params).fit(X)
    result = tarn.detect(X, **detect_options)
    scores, outlier = estimator.scores_, estimator.labels_ == -1
    assert estimator.ranking_score_.tobytes() == result.score.tobytes()
    assert np.array_equal(scores, -result.score if result.higher_is_outlying else result.score)
    expected = {"share": lambda: np.percentile(scores, 100 * detect_options.get("share", 0)),
                "kept": lambda: scores[~result.marked].min()}.get(offset, lambda: offset)()
    assert estimator.offset_ == expected
    assert np.array_equal(estimator.labels_, np.where(scores < estimator.offset_, -1, 1))
    assert np.array_equal(tarn.OutlierDetector(**params).fit_predict(X), estimator.labels_)
    may_differ = {"none": np.zeros(len(X), bool), "tied": scores == estimator.offset_,
                  "unkept": result.indegree == 0}[apart]
    assert not (outlier & ~result.marked).any() and not (result.marked & ~outlier
                                                         & ~may_differ).any()
    assert 0 < outlier.sum() < len(X)
    if estimator.rule == "lof":
        assert np.array_equal(estimator.negative_outlier_factor_, -result.lof)


@pytest.mark.parametrize("contamination, dtype", [
    ("auto", np.float64), (0.1, np.float64), (0.07, np.float64), (0.25, np.float32)])
def test_lof_as_scikit_learns(contamination, dtype):
    X = clustered(300, 4, seed=24).astype(dtype)
    ours = tarn.OutlierDetector(n_neighbors=12, contamination=contamination).fit(X)
    theirs = LocalOutlierFactor(n_neighbors=12, contamination=contamination).fit(X)
    tolerance = 1e-9 if dtype == np.float64 else 1e-5
    assert ours.scores_.dtype == ours.negative_outlier_factor_.dtype == dtype
    assert theirs.negative_outlier_factor_.dtype == dtype
    np.testing.assert_allclose(ours.negative_outlier_factor_, theirs.negative_outlier_factor_,
                               rtol=tolerance)
    assert ours.offset_ == pytest.approx(theirs.offset_, rel=tolerance)
    assert np.array_equal(ours.labels_, theirs.fit_predict(X))


@pytest.mark.parametrize("novelty, name", [(False, name) for name in NOVELTY_METHODS]
                         + [(True, "fit_predict")])
def test_methods_of_the_other_mode_do_not_exist(novelty, name):
    X = clustered(50, 2, seed=25)
    estimator = tarn.OutlierDetector(n_neighbors=5, novelty=novelty).fit(X)
    assert not hasattr(estimator, name)
    assert hasattr(estimator, "fit_predict" if name != "fit_predict" else "predict")
    with pytest.raises(AttributeError, match=f"{name} is not available when novelty={novelty}"):
        getattr(estimator, name)(X)


def test_score_samples_is_a_deprecated_alias_of_scores():
    X = clustered(60, 2, seed=26)
    estimator = tarn.OutlierDetector(n_neighbors=5, rule="knn")
    assert not hasattr(estimator, "score_samples_")
    estimator.fit(X)
    with pytest.warns(FutureWarning, match="use scores_"):
        assert estimator.score_samples_ is estimator.scores_


@pytest.mark.parametrize("scores, share, offset", [
    ([5.0, 1.0, 4.0, 2.0, 3.0], 0.3, 2.2),
    ([np.nan, 5.0, 1.0, 4.0, 2.0, np.nan, 3.0], 0.3, 2.2),  # not-a-number takes no place
    ([-np.inf, 1.0, 2.0, 3.0, 4.0], 0.1, 1.0),  # between -inf and 1: 1, so -inf is below
    ([-np.inf, -np.inf, -np.inf, 1.0, 2.0], 0.1, -np.inf),  # tied at the cut: none below
    ([1.0, 2.0, np.inf], 0.75, np.inf),
    ([np.nan, np.nan], 0.1, np.nan),
])
def test_the_share_offset_where_scores_are_not_finite(scores, share, offset):
    assert tarn._share_offset(np.array(scores), share) == pytest.approx(offset, nan_ok=True)


def test_new_rows_are_refused_with_other_features():
    import pandas as pd
    X = clustered(80, 3, seed=27)
    frame = pd.DataFrame(X, columns=["a", "b", "c"])
    estimator = tarn.OutlierDetector(n_neighbors=5, novelty=True).fit(frame)
    for name in NOVELTY_METHODS:
        with pytest.warns(UserWarning, match="no valid feature names"), pytest.raises(
                ValueError, match="X has 2 features, but OutlierDetector is expecting 3"):
            getattr(estimator, name)(X[:, :2])
        with pytest.raises(ValueError, match="feature names should match"):
            getattr(estimator, name)(frame[["c", "b", "a"]])


def _spy(monkeypatch, novel_score=None):
    """Replaces tarn.detect by one that takes metric=, p= and reference= and records each
    call's options; with a reference it returns novel_score(X) as the ranking score."""
    calls, real = [], tarn.detect

    def detect(X, k=3, *, metric=None, p=None, reference=None, **options):
        calls.append(dict(options, k=k, metric=metric, p=p, reference=reference))
        if reference is None:
            return real(X, k, **options)
        return real(X, min(k, len(X) - 1), **options)._replace(score=novel_score(X))
    monkeypatch.setattr(tarn, "detect", detect)
    return calls


@pytest.mark.parametrize("metric, p, forwarded", [
    ("minkowski", 2, dict(metric=None, p=None)),
    ("euclidean", 2, dict(metric=None, p=None)),
    ("minkowski", 1, dict(metric="minkowski", p=1)),
    ("manhattan", 2, dict(metric="manhattan", p=None)),
])
def test_the_distance_is_forwarded_where_not_euclidean(monkeypatch, metric, p, forwarded):
    X = clustered(60, 2, seed=28)
    estimator = tarn.OutlierDetector(n_neighbors=5, metric=metric, p=p)
    if forwarded["metric"] is not None and "metric" not in inspect.signature(
            tarn.detect).parameters:
        with pytest.raises(ValueError, match="Euclidean distance only"):
            estimator.fit(X)
    calls = _spy(monkeypatch)
    estimator.fit(X)
    assert {key: calls[0][key] for key in ("metric", "p")} == forwarded


@pytest.mark.parametrize("rule, dtypes, dtype", [
    ("lof", (np.float64, np.float64), np.float64),
    ("knn", (np.float32, np.float32), np.float32),
    ("indegree", (np.float32, np.float64), np.float64),
])
def test_novelty_methods_orient_and_shift_detects_scores(monkeypatch, rule, dtypes, dtype):
    X = clustered(120, 3, seed=29)
    new = clustered(30, 3, seed=30) * 2
    calls = _spy(monkeypatch, novel_score=lambda rows: rows[:, 0].astype(np.float64))
    estimator = tarn.OutlierDetector(n_neighbors=7, rule=rule, novelty=True)
    estimator.fit(X.astype(dtypes[0]))
    scores = estimator.score_samples(new.astype(dtypes[1]))
    assert calls[-1]["k"] == 7 and calls[-1]["reference"] is estimator._fit_X
    assert scores.dtype == dtype
    expected = -new[:, 0] if tarn.RULES[rule] else new[:, 0]
    assert np.array_equal(scores, expected.astype(dtype))
    decision = estimator.decision_function(new)
    assert np.array_equal(decision, estimator.score_samples(new) - estimator.offset_)
    assert np.array_equal(estimator.predict(new), np.where(decision < 0, -1, 1))
    assert 0 < (estimator.predict(new) == -1).sum() < len(new)


@needs_reference
@pytest.mark.parametrize("k", [1, 5, 20])
def test_novelty_lof_as_scikit_learns(k):
    X, new = clustered(300, 3, seed=31), clustered(80, 3, seed=32) * 1.5
    ours = tarn.OutlierDetector(n_neighbors=k, contamination="auto", novelty=True).fit(X)
    theirs = LocalOutlierFactor(n_neighbors=k, novelty=True).fit(X)
    np.testing.assert_allclose(ours.score_samples(new), theirs.score_samples(new), rtol=1e-9)
    assert np.array_equal(ours.predict(new), theirs.predict(new))


@needs_reference
@pytest.mark.parametrize("rule", tarn.RULES)
def test_novelty_predict_keeps_the_training_data_and_finds_far_rows(rule):
    X = clustered(400, 3, seed=33)
    estimator = tarn.OutlierDetector(rule=rule, contamination="auto", novelty=True).fit(X)
    far = X[:20] + 1000.0
    assert np.all(estimator.predict(far) == -1)
    assert (estimator.predict(X) == 1).mean() >= 0.8
    assert estimator.score_samples(far).max() < estimator.score_samples(X).min()


@needs_metric
@pytest.mark.parametrize("metric, p", [("manhattan", 2), ("minkowski", 1), ("chebyshev", 2)])
def test_lof_with_another_distance_as_scikit_learns(metric, p):
    X = clustered(200, 3, seed=34)
    ours = tarn.OutlierDetector(n_neighbors=8, metric=metric, p=p).fit(X)
    theirs = LocalOutlierFactor(n_neighbors=8, metric=metric, p=p).fit(X)
    np.testing.assert_allclose(ours.negative_outlier_factor_, theirs.negative_outlier_factor_,
                               rtol=1e-9)


def test_in_a_pipeline_and_cloned():
    X = clustered(300, 4, seed=22)
    pipeline = make_pipeline(StandardScaler(), tarn.OutlierDetector(n_neighbors=8))
    labels = pipeline.fit_predict(X)
    assert (labels == -1).sum() == 30
    twin = clone(pipeline.steps[-1][1].set_params(contamination=0.2))
    assert twin.get_params()["contamination"] == 0.2 and not hasattr(twin, "labels_")
    with pytest.warns(UserWarning, match="n_neighbors"):
        assert tarn.OutlierDetector(n_neighbors=50).fit(X[:10]).n_neighbors_ == 9


def test_a_dataframes_column_names_are_kept():
    import pandas as pd
    X = clustered(100, 3, seed=23)
    frame = pd.DataFrame(X, columns=["a", "b", "c"])
    estimator = tarn.OutlierDetector(n_neighbors=5).fit(frame)
    assert list(estimator.feature_names_in_) == ["a", "b", "c"]
    assert estimator.n_features_in_ == 3
    assert np.array_equal(estimator.labels_, tarn.OutlierDetector(n_neighbors=5).fit(X).labels_)
    assert not hasattr(estimator.fit(X), "feature_names_in_")
