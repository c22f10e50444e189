"""ombrel_learn: raw texts in, labels out, on the ombrel integer-neuron classifier.

    from ombrel_learn import OmbrelClassifier
    clf = OmbrelClassifier().fit(train_texts, train_labels)
    clf.predict(["some text"])        # numpy array of labels
    clf.save("model"); OmbrelClassifier.load("model")

The command line: `python -m ombrel_learn` or `ombrel` (train, test, predict).
"""

from .classifier import OmbrelClassifier
from .base.exceptions import DataConversionWarning, FitWarning, ModelFolderError, NotFittedError
from .learning.featurizing import ENGLISH_STOP_WORDS

__all__ = ["OmbrelClassifier", "NotFittedError", "ModelFolderError", "DataConversionWarning", "FitWarning",
           "ENGLISH_STOP_WORDS"]
__version__ = "0.1.0"
