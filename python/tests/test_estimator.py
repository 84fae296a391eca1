"""OutlierDetector: scikit-learn's own estimator checks and the verdict it carries.

The estimator labels the data it is fitted on, as LocalOutlierFactor does without novelty: it
has no predict, decision_function or score_samples method, so scikit-learn yields none of the
checks that need them (check_outliers_train, check_classifier_data_not_an_array,
check_estimators_unfitted); every other check it yields runs here, for every rule with a share
and with contamination="auto".
"""

import numpy as np
import pytest
from sklearn.base import clone
from sklearn.pipeline import make_pipeline
from sklearn.preprocessing import StandardScaler
from sklearn.utils.estimator_checks import parametrize_with_checks

import tarn
from conftest import clustered


@parametrize_with_checks(
    [tarn.OutlierDetector(rule=rule, contamination=contamination)
     for rule in tarn.RULES for contamination in (0.1, "auto")]
    + [tarn.OutlierDetector(rule="mean", n_jobs=2),
       tarn.OutlierDetector(rule="mutual", method="tree")])
def test_scikit_learn_estimator_checks(estimator, check):
    check(estimator)


@pytest.mark.parametrize("params, detect_options", [
    (dict(), dict(k=10, rule="lof", share=0.1)),
    (dict(n_neighbors=5, rule="max", contamination=0.05), dict(k=5, rule="max", share=0.05)),
    (dict(contamination="auto"), dict(k=10, rule="lof", threshold=1.5)),
    (dict(rule="mean", contamination="auto", threshold=0.2), dict(k=10, rule="mean",
                                                                   threshold=0.2)),
    (dict(rule="indegree", contamination="auto", indegree=1), dict(k=10, indegree=1)),
    (dict(rule="cof", contamination="auto"), dict(k=10, rule="cof", share=0.1)),
    (dict(rule="mutual", contamination="auto"), dict(k=10, rule="mutual", share=0.1)),
    (dict(rule="max", contamination="auto"), dict(k=10, rule="max", share=0.1)),
])
def test_fit_predict_carries_the_verdict_of_detect(params, detect_options):
    X = clustered(400, 3, seed=21)
    estimator = tarn.OutlierDetector(**params).fit(X)
    result = tarn.detect(X, **detect_options)
    assert np.array_equal(estimator.labels_, np.where(result.marked, -1, 1))
    assert np.array_equal(tarn.OutlierDetector(**params).fit_predict(X), estimator.labels_)
    assert estimator.ranking_score_.tobytes() == result.score.tobytes()
    sign = -1 if result.higher_is_outlying else 1
    assert np.array_equal(estimator.score_samples_, sign * result.score)
    if estimator.rule == "lof":
        assert np.array_equal(estimator.negative_outlier_factor_, -result.lof)


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
    assert np.array_equal(estimator.labels_, tarn.OutlierDetector(n_neighbors=5).fit(X).labels_)
    assert not hasattr(estimator.fit(X), "feature_names_in_")
