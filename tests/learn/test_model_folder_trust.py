"""The model folder's guarantees, tried the hard way: labels of every kind, saves from several
processes at once, saves killed part-way, loads racing saves, read-only folders, no temporary file
for in-memory models, forked children, damaged records and what a loaded model remembers."""

import copy
import errno
import json
import os
import pickle
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import textwrap
import threading
import time
import warnings

import numpy as np
import pytest

from ombrel_learn import ModelFolderError, OmbrelClassifier
from ombrel_learn.store import folder as model_folder

from learn_support import make_corpus

USER_FILES = {"weights-epoch10.bin": b"mine", "vocabulary-en.bin": b"also mine", "notes.txt": b"keep"}


def child_env():
    return dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))


def run_python(script, *args, timeout=120, prefix=()):
    done = subprocess.run([*prefix, sys.executable, "-c", textwrap.dedent(script), *map(str, args)],
                          env=child_env(), capture_output=True, text=True, timeout=timeout)
    return done


def folder_files(folder):
    manifest = json.loads((folder / "model.json").read_text())
    named = {manifest["weights"]} | ({manifest["vocabulary"]} if manifest["vocabulary"] else set())
    return manifest, named


def fit(prefix="", **params):
    texts, labels = make_corpus(12, 1)
    params = {"features": "words", "learner": "naive_bayes", "alpha": 1.0, **params}
    return OmbrelClassifier(**params).fit(texts, [prefix + label for label in labels])


def test_labels_round_trip_and_unstorable_classes_write_nothing(tmp_path):
    texts, labels = make_corpus(10, 3)
    test_x, _ = make_corpus(4, 5)
    for y in (np.array(labels, dtype=object),
              np.array([len(s) for s in labels]), np.array([s == "food" for s in labels])):
        clf = OmbrelClassifier(features="words").fit(texts, y)
        clf.save(tmp_path / "m")
        loaded = OmbrelClassifier.load(tmp_path / "m")
        assert loaded.classes_.dtype == clf.classes_.dtype
        assert loaded.classes_.tolist() == clf.classes_.tolist()
        assert loaded.predict(test_x).tolist() == clf.predict(test_x).tolist()
    # The estimator's classes as object arrays (of one type, or mixed): the one loads back as it is,
    # the other is refused before the folder is even created.
    clf = OmbrelClassifier(features="words").fit(texts, labels)
    model = clf._model
    as_objects = np.empty(3, dtype=object)
    as_objects[:] = [10, 20, 30]
    model.classes = as_objects
    model_folder.save(clf, model, str(tmp_path / "objects"))
    loaded = OmbrelClassifier.load(tmp_path / "objects")
    assert loaded.classes_.dtype == object and [type(c) for c in loaded.classes_] == [int] * 3
    assert set(loaded.predict(test_x).tolist()) <= {10, 20, 30}
    mixed = np.empty(3, dtype=object)
    mixed[:] = ["food", 2, 3.5]
    model.classes = mixed
    with pytest.raises(ValueError, match="float and int and str"):
        model_folder.save(clf, model, str(tmp_path / "mixed"))
    assert not (tmp_path / "mixed").exists()


SAVER = """
    import sys, time
    sys.path.insert(0, sys.argv[4])
    from learn_support import make_corpus
    from ombrel_learn import OmbrelClassifier
    folder, prefix, start = sys.argv[1], sys.argv[2], float(sys.argv[3])
    texts, labels = make_corpus(12, 1)
    clf = OmbrelClassifier(features="chars", learner="naive_bayes", alpha=1.0, buckets=1 << 14).fit(
        texts, [prefix + label for label in labels])
    while time.time() < start:
        time.sleep(0.001)
    for _ in range(40):
        clf.save(folder)
    print("saved")
"""


LOCK_HOLDER = """
    import fcntl, os, sys, time
    fd = os.open(sys.argv[1], os.O_RDONLY)
    fcntl.flock(fd, fcntl.LOCK_EX)  # as a save does; then it stops, as a process under SIGSTOP would
    print("held", flush=True)
    time.sleep(20)
"""


def test_hand_edited_values_that_would_load_wrong_are_refused_naming_the_field(tmp_path):
    fit().save(tmp_path / "m")
    path = tmp_path / "m" / "model.json"
    saved = json.loads(path.read_text())
    assert saved["classes"] == ["food", "space", "sport"] and saved["classes_dtype"] == "<U5"
    for change, field in (({"temperature": 1e-320}, "temperature"), ({"scale": 1e-300}, "scale"),
                          ({"classes_dtype": "<U1"}, "classes_dtype '<U1' does not hold class 'food'"),
                          ({"classes": ["food", "food", "sport"]}, "class 'food' is listed twice"),
                          ({"classes": ["sport", "food", "space"]}, "not in increasing order"),
                          ({"classes": [1.5, 2, 3], "classes_dtype": "<i8"}, "does not hold class 1.5")):
        path.write_text(json.dumps({**saved, **change}))
        with pytest.raises(ModelFolderError, match=field):
            OmbrelClassifier.load(tmp_path / "m")
    path.write_text(json.dumps(saved))
    assert np.isfinite(OmbrelClassifier.load(tmp_path / "m").predict_proba(["garlic pasta"])).all()


def test_saves_from_two_processes_keep_one_whole_model_and_the_users_files(tmp_path, monkeypatch):
    # A model.json that is not ombrel_learn's (another tool's, or ours damaged) is never replaced.
    for name, content in (("theirs", '{"name": "my pytorch model"}'),
                          ("damaged", '{"format": "ombrel_learn model", "format_ver')):
        (tmp_path / name).mkdir()
        (tmp_path / name / "model.json").write_text(content)
        with pytest.raises(FileExistsError, match="another folder") as refused:
            fit().save(tmp_path / name)
        assert refused.value.filename == str(tmp_path / name / "model.json")
        assert os.listdir(tmp_path / name) == ["model.json"]
        assert (tmp_path / name / "model.json").read_text() == content

    folder = tmp_path / "model"
    fit("old-").save(folder)
    for name, data in USER_FILES.items():
        (folder / name).write_bytes(data)
    fit("again-").save(folder)  # a plain save into a folder holding the user's files
    assert all((folder / name).read_bytes() == data for name, data in USER_FILES.items())
    here = os.path.dirname(os.path.abspath(__file__))
    start = time.time() + 3
    savers = [subprocess.Popen([sys.executable, "-c", textwrap.dedent(SAVER), str(folder), prefix, str(start), here],
                               env=child_env(), stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
              for prefix in ("a-", "b-")]
    outputs = [p.communicate(timeout=300) for p in savers]
    assert [p.returncode for p in savers] == [0, 0], outputs
    manifest, named = folder_files(folder)
    assert set(os.listdir(folder)) == {"model.json"} | named | set(USER_FILES)
    assert all((folder / name).read_bytes() == data for name, data in USER_FILES.items())
    loaded = OmbrelClassifier.load(folder)
    prefixes = {c.split("-")[0] for c in loaded.classes_.tolist()}
    assert prefixes in ({"a"}, {"b"})
    test_x, _ = make_corpus(4, 5)
    same = fit(prefixes.pop() + "-", features="chars", buckets=1 << 14)
    assert loaded.predict(test_x).tolist() == same.predict(test_x).tolist()

    # A save whose folder's lock another process holds and never gives back waits a bounded time.
    monkeypatch.setattr(model_folder, "SAVE_LOCK_TIMEOUT", 0.5)
    before = {name: (folder / name).read_bytes() for name in os.listdir(folder)}
    holder = subprocess.Popen([sys.executable, "-c", textwrap.dedent(LOCK_HOLDER), str(folder)],
                              stdout=subprocess.PIPE, text=True)
    try:
        assert holder.stdout.readline() == "held\n"
        with pytest.raises(TimeoutError, match="another save holds") as waited:
            fit("late-").save(folder)
        assert waited.value.filename == str(folder)
    finally:
        holder.kill()
        holder.communicate()
    assert {name: (folder / name).read_bytes() for name in os.listdir(folder)} == before


KILLED = """
    import os, sys
    from ombrel_learn import OmbrelClassifier
    from ombrel_learn.store import folder as model_folder
    folder, point = sys.argv[1], sys.argv[2]
    clf = OmbrelClassifier.load(folder)
    def die(*args, **kwargs):
        os._exit(9)
    setattr(model_folder if point != "replace" else model_folder.os, point, die)
    clf.save(folder)
"""


def test_saves_killed_part_way_leave_nothing_a_later_save_does_not_clear(tmp_path):
    folder = tmp_path / "model"
    fit().save(folder)
    for name, data in USER_FILES.items():
        (folder / name).write_bytes(data)
    (folder / ".model.json.00112233aabbccdd.tmp").write_text("{")  # as saves killed before journals left
    # Killed with the weights written, with every file and the new model.json written but not yet
    # in place, and with the new model in place but the old files not yet removed.
    for point in ("_fsync_file", "replace", "_remove"):
        done = run_python(KILLED, folder, point)
        assert done.returncode == 9, done.stderr
    assert len(os.listdir(folder)) > 10  # the debris is there
    OmbrelClassifier.load(folder).save(folder)
    _, named = folder_files(folder)
    assert set(os.listdir(folder)) == {"model.json"} | named | set(USER_FILES)


WRITER = """
    import sys
    sys.path.insert(0, sys.argv[2])
    from learn_support import make_corpus
    from ombrel_learn import OmbrelClassifier
    texts, labels = make_corpus(12, 1)
    models = [OmbrelClassifier(features=kind, learner="naive_bayes", alpha=1.0).fit(texts, [p + l for l in labels])
              for kind, p in (("words", "a-"), ("chars", "b-"))]
    print("ready", flush=True)
    for i in range(60):
        models[i % 2].save(sys.argv[1])
"""


def test_loads_racing_a_save_see_the_old_model_or_the_new_one(tmp_path):
    folder = tmp_path / "model"
    fit("a-").save(folder)
    here = os.path.dirname(os.path.abspath(__file__))
    writer = subprocess.Popen([sys.executable, "-c", textwrap.dedent(WRITER), str(folder), here], env=child_env(),
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    assert writer.stdout.readline().strip() == "ready"
    test_x, _ = make_corpus(2, 5)
    loads, deadline = 0, time.time() + 300
    while (writer.poll() is None or loads < 20) and time.time() < deadline:
        clf = OmbrelClassifier.load(folder)
        prefixes = {c.split("-")[0] for c in clf.classes_.tolist()}
        assert prefixes in ({"a"}, {"b"})
        assert {p.split("-")[0] for p in clf.predict(test_x).tolist()} <= prefixes
        loads += 1
    assert writer.wait(timeout=10) == 0, writer.stderr.read()


def test_file_errors_carry_their_code_and_file(tmp_path, monkeypatch):
    folder = tmp_path / "model"
    clf = fit()
    clf.save(folder)
    before = sorted(os.listdir(folder))
    # The engine's save fails (a directory where the weights go): the error names the file.
    monkeypatch.setattr(model_folder.secrets, "token_hex", lambda n: "0123456789abcdef")
    (folder / "weights-0123456789abcdef.bin").mkdir()
    with pytest.raises(IsADirectoryError) as raised:
        clf.save(folder)
    assert raised.value.errno == errno.EISDIR
    assert raised.value.filename == str(folder / "weights-0123456789abcdef.bin")
    assert "os error" not in raised.value.strerror
    (folder / "weights-0123456789abcdef.bin").rmdir()
    assert sorted(os.listdir(folder)) == before
    monkeypatch.undo()
    with pytest.raises(FileNotFoundError) as raised:
        OmbrelClassifier.load(tmp_path / "missing")
    assert raised.value.errno == errno.ENOENT and raised.value.filename == str(tmp_path / "missing")
    with pytest.raises(NotADirectoryError) as raised:
        OmbrelClassifier.load(folder / "model.json")
    assert raised.value.filename == str(folder / "model.json")
    # A full disk (a file-size limit here: EFBIG where ENOSPC would be), whichever file it stops: the
    # error names that file, and the save leaves nothing behind, its journal included.
    full = run_python("""
        import os, resource, signal, sys
        from ombrel_learn import OmbrelClassifier
        texts = [f"word{i} other{i % 7} word{i + 1}" for i in range(3000)]
        clf = OmbrelClassifier(learner="naive_bayes", features="words").fit(texts, [i % 3 for i in range(3000)])
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        for limit in (0, 50000):
            folder = os.path.join(sys.argv[1], str(limit))
            resource.setrlimit(resource.RLIMIT_FSIZE, (limit, resource.RLIM_INFINITY))
            try:
                clf.save(folder)
            except OSError as error:
                print(error.errno, os.path.basename(error.filename or "None"), sorted(os.listdir(folder)))
    """, tmp_path)
    assert full.returncode == 0, full.stderr
    lines = full.stdout.split("\n")
    assert lines[0].startswith(f"{errno.EFBIG} .save-") and lines[0].endswith(".journal []"), full.stdout
    assert lines[1].startswith(f"{errno.EFBIG} weights-") and lines[1].endswith(".bin []"), full.stdout


READ_ONLY = """
    import errno, json, os, sys, warnings
    from ombrel_learn import OmbrelClassifier
    folder, expected = sys.argv[1], json.loads(sys.argv[2])
    texts = expected["texts"]
    weights = os.path.join(folder, json.load(open(os.path.join(folder, "model.json")))["weights"])
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        clf = OmbrelClassifier.load(folder)
    assert clf.predict(texts).tolist() == expected["labels"]
    [warning] = [w for w in caught if issubclass(w.category, UserWarning)]
    assert weights in str(warning.message) and "shared=False" in str(warning.message), warning
    assert warning.filename == "<string>", warning.filename  # pointed at the caller
    clf.partial_fit(texts, expected["labels"])  # a private copy trains; the folder is untouched
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert OmbrelClassifier.load(folder, shared=False).predict(texts).tolist() == expected["labels"]
    try:
        OmbrelClassifier.load(folder, shared=True)
    except OSError as e:
        assert e.errno in (errno.EROFS, errno.EACCES) and e.filename == weights, (e.errno, e.filename)
        assert "shared=False" in e.strerror
    else:
        raise AssertionError("a read-only folder was mapped for writing")
    print("ok")
"""


def test_a_read_only_folder_loads_a_private_copy_with_a_warning(tmp_path):
    folder = tmp_path / "model"
    texts, labels = make_corpus(6, 1)
    clf = OmbrelClassifier(features="words", learner="field").fit(texts, labels)
    clf.save(folder)
    expected = json.dumps({"texts": texts, "labels": clf.predict(texts).tolist()})
    weights_before = {n: (folder / n).read_bytes() for n in os.listdir(folder)}
    unshare = shutil.which("unshare")
    if unshare and subprocess.run([unshare, "-rm", "true"], capture_output=True).returncode == 0:
        # A read-only bind mount: refused writes even to root.
        mount = f"mount --bind {folder} {folder} && mount -o remount,ro,bind {folder} && exec \"$0\" \"$@\""
        done = run_python(READ_ONLY, folder, expected, prefix=(unshare, "-rm", "sh", "-c", mount))
    elif os.geteuid() != 0:
        for name in os.listdir(folder):
            os.chmod(folder / name, 0o444)
        os.chmod(folder, 0o555)
        try:
            done = run_python(READ_ONLY, folder, expected)
        finally:
            os.chmod(folder, 0o755)
    else:
        pytest.skip("no way to make a read-only folder here (root without unshare)")
    assert done.stdout.strip() == "ok", done.stderr
    assert {n: (folder / n).read_bytes() for n in os.listdir(folder)} == weights_before


def test_in_memory_models_need_no_temporary_file_and_are_not_shared_with_forks(tmp_path, monkeypatch):
    texts, labels = make_corpus(10, 1)
    test_x, _ = make_corpus(4, 5)
    monkeypatch.setattr(tempfile, "tempdir", str(tmp_path / "no such folder"))
    compiled = OmbrelClassifier().fit(texts, labels)  # a float learner, compiled into the field
    field_model = OmbrelClassifier(features="words", learner="field").fit(texts, labels)
    for clf in (compiled, field_model):
        for twin in (pickle.loads(pickle.dumps(clf)), copy.deepcopy(clf)):
            assert twin.predict(test_x).tolist() == clf.predict(test_x).tolist()
    monkeypatch.undo()

    # A forked child trains its copies of in-memory models (unpickled, deep-copied); the parent's stay
    # as they were, and the parent's training does not reach the child's.
    folder = tmp_path / "shared"
    field_model.save(folder)
    models = [pickle.loads(pickle.dumps(field_model)), copy.deepcopy(field_model), OmbrelClassifier.load(folder)]
    before = [m.decision_function(test_x) for m in models]
    wrong = [labels[(i + 1) % len(labels)] for i in range(len(labels))]
    to_child_r, to_child_w = os.pipe()
    to_parent_r, to_parent_w = os.pipe()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # fork with the engine's threads alive
        pid = os.fork()
    if pid == 0:
        status = 1
        try:
            for m in models:
                m.partial_fit(texts, wrong)
            mine = [m.decision_function(test_x) for m in models]
            os.write(to_parent_w, b"t")
            os.read(to_child_r, 1)
            after = [m.decision_function(test_x) for m in models]
            status = 0 if all((a == b).all() for a, b in zip(mine[:2], after[:2])) else 3
        finally:
            os._exit(status)
    assert os.read(to_parent_r, 1) == b"t"
    after = [m.decision_function(test_x) for m in models]
    assert (after[0] == before[0]).all() and (after[1] == before[1]).all()
    assert not (after[2] == before[2]).all()  # the folder's model is the one shared, by design
    for m in models[:2]:
        m.partial_fit(texts, labels)
    os.write(to_child_w, b"g")
    _, status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0
    for fd in (to_child_r, to_child_w, to_parent_r, to_parent_w):
        os.close(fd)


FORK_AFTER_PARENT_TRAINED = """
    import os, sys
    # Registered before ombrel_learn's own hooks, so it runs first in the child: the child goes on
    # only once the parent has trained its model after the fork.
    hold_r, hold_w = os.pipe()
    os.register_at_fork(after_in_child=lambda: os.read(hold_r, 1))
    sys.path.insert(0, sys.argv[1])
    import pickle, warnings
    from learn_support import make_corpus
    from ombrel_learn import OmbrelClassifier
    warnings.simplefilter("ignore", DeprecationWarning)
    texts, labels = make_corpus(10, 1)
    test_x, _ = make_corpus(4, 5)
    clf = pickle.loads(pickle.dumps(OmbrelClassifier(features="words", learner="field").fit(texts, labels)))
    before = clf.decision_function(test_x)
    pid = os.fork()
    if pid == 0:
        os._exit(0 if (clf.decision_function(test_x) == before).all() else 3)
    clf.partial_fit(texts, [labels[(i + 1) % len(labels)] for i in range(len(labels))])
    assert not (clf.decision_function(test_x) == before).all()
    os.write(hold_w, b"g")
    print("child", os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]))
"""


class BlockingTexts:
    """A sequence whose first element is handed out only once `release` is set: a call converting it
    holds whatever it took before (a field's borrow, the estimator's fit lock) until then."""

    def __init__(self, release, fail=False):
        self.release, self.fail = release, fail

    def __len__(self):
        return 1

    def __getitem__(self, i):
        if i >= 1:
            raise IndexError(i)
        self.release.wait()
        if self.fail:
            raise RuntimeError("released")
        return [0]


def test_a_forked_child_gets_the_models_as_they_were_at_the_fork_whatever_runs_beside_it(tmp_path):
    # The parent trains in the instants after the fork, before the child ran a line: the child still
    # has the model as it was at the fork.
    done = run_python(FORK_AFTER_PARENT_TRAINED, os.path.dirname(os.path.abspath(__file__)))
    assert done.stdout.split() == ["child", "0"], done.stdout + done.stderr

    # Other threads are inside calls on the model at the fork: one in partial_fit (holding the
    # instance's fit lock), one in a call on its field (holding the field), one holding the model's
    # lock. None of them exists in the child, which trains its own copy without waiting or warning.
    texts, labels = make_corpus(10, 1)
    test_x, _ = make_corpus(4, 5)
    clf = pickle.loads(pickle.dumps(OmbrelClassifier(features="words", learner="field").fit(texts, labels)))
    model = clf._model
    before = clf.decision_function(test_x)
    release = threading.Event()

    def hold_model_lock():
        with model.lock:
            release.wait()

    busy = [threading.Thread(target=lambda: pytest.raises(RuntimeError, clf.partial_fit,
                                                          BlockingTexts(release, fail=True), ["x"])),
            threading.Thread(target=model.field.predict_batch, args=(BlockingTexts(release),)),
            threading.Thread(target=hold_model_lock)]
    for thread in busy:
        thread.start()
    time.sleep(0.3)
    read_end, write_end = os.pipe()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # fork with threads alive, on purpose
        pid = os.fork()
    if pid == 0:
        status = 1
        try:
            with warnings.catch_warnings(record=True) as caught:
                warnings.simplefilter("always")
                clf.partial_fit(texts, [labels[(i + 1) % len(labels)] for i in range(len(labels))])
                changed = not (clf.decision_function(test_x) == before).all()
            os.write(write_end, f"{changed} {[str(w.message) for w in caught]}".encode())
            status = 0
        finally:
            os._exit(status)
    os.close(write_end)
    try:
        answered, _, _ = select.select([read_end], [], [], 30)
        report = os.read(read_end, 4096).decode() if answered else "the child hung"
    finally:
        if not answered:
            os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)
        os.close(read_end)
        release.set()
        for thread in busy:
            thread.join()
    assert report == "True []"
    assert (clf.decision_function(test_x) == before).all()  # the child's training stayed in the child


def test_damaged_records_are_refused_on_load(tmp_path, PanicException):
    folder = tmp_path / "model"
    texts, labels = make_corpus(6, 1)
    clf = OmbrelClassifier(features="words", learner="field").fit(texts, labels)
    clf.save(folder)
    manifest, _ = folder_files(folder)
    weights = folder / manifest["weights"]
    good = weights.read_bytes()
    record = 3
    for offset, value, message in ((4, 9, "record 3 holds 9 synapses"),  # prediction faulted on it
                                   (8, 7, "record 3 has a synapse to class 7"),
                                   (0, 12, "record 3 is numbered 12")):
        data = bytearray(good)
        data[64 * record + 4:64 * record + 8] = (1).to_bytes(4, "little")  # one synapse in use
        data[64 * record + offset:64 * record + offset + 4] = value.to_bytes(4, "little")
        weights.write_bytes(bytes(data))
        with pytest.raises(ModelFolderError, match=message) as raised:
            OmbrelClassifier.load(folder)
        assert str(weights) in str(raised.value)
    weights.write_bytes(good)
    assert OmbrelClassifier.load(folder).predict(texts).tolist() == clf.predict(texts).tolist()


def test_a_loaded_model_keeps_what_it_chose_and_not_the_verbosity(tmp_path):
    texts, labels = make_corpus(20, 1)
    clf = OmbrelClassifier(verbose=True).fit(texts, labels)  # learner and alpha chosen on held-out rows
    assert clf.__dict__.get("selection_scores_") and clf.alpha_ is not None
    clf.save(tmp_path / "model")
    loaded = OmbrelClassifier.load(tmp_path / "model")
    assert loaded.verbose is False
    for name in ("alpha_", "selection_scores_", "features_", "learner_"):
        assert getattr(loaded, name) == getattr(clf, name), name
    # A folder written before these were kept, by a verbose command line: loads quiet.
    manifest_path = tmp_path / "model" / "model.json"
    manifest = json.loads(manifest_path.read_text())
    del manifest["fitted"]
    manifest["params"]["verbose"] = True
    manifest_path.write_text(json.dumps(manifest))
    older = OmbrelClassifier.load(tmp_path / "model")
    assert older.verbose is False and older.predict(texts).tolist() == clf.predict(texts).tolist()
