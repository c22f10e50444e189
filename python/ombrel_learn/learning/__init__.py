"""Fitting and the fitted model: features (featurizing), the float learners (linear, learners), the
field's weight records (fields), the settings, training, the automatic choice (choice, chosen_fit,
scoring), autotune, calibration, multi-label fits, fits in parts, the fitted model (fitted_model) and
its explanations. It may import base and the native extensions (ombrel_learn._native,
ombrel_learn._learners) and ombrel; never the model folder (store), the estimator, serving or the
command line, which import it."""
