"""The model on disk: the model folder (folder: atomic saves, loads that see the old model or the new
one, shared weight files) and its model.json (manifest). It may import learning (the fitted model,
the settings, the features and weight records it writes and checks), base, the native extensions and
ombrel; never the estimator, serving or the command line, which import it."""
