"""ombrel_learn's modules import one way: down the layers below, with no circle and no private name
taken from another module; and none grows past a size one reader can hold."""

import ast
from pathlib import Path

import ombrel_learn

PACKAGE = Path(ombrel_learn.__file__).resolve().parent
# Top to bottom; a module imports modules of its own layer or of the layers below it. A name ending
# in "*" stands for every module starting so.
LAYERS = [
    ("__init__", "__main__", "cli", "data", "reports", "serving*", "streaming"),  # what users run
    ("classifier",),                                                          # the estimator
    ("autotune", "calibration", "choice", "chosen_fit", "explaining", "multilabel", "model_folder", "scoring",
     "model_manifest"),                                                       # decide; persist
    ("training", "parts", "fitted_model"),                                    # the fitted model
    ("featurizing", "learners", "settings", "validation", "fields", "linear",
     "progress", "exceptions", "method_guard"),                               # its parts
    ("_native", "_learners"),                                                 # native
]
MAX_LINES = 550
LONGER_ALLOWED = ("serving*",)


def matches(name, patterns):
    return any(name == p or (p.endswith("*") and name.startswith(p[:-1])) for p in patterns)


def layer_of(name):
    for index, patterns in enumerate(LAYERS):
        if matches(name, patterns):
            return index
    return None


def package_modules():
    """{module name: source path or None (a native module)}."""
    modules = {}
    for path in PACKAGE.iterdir():
        if path.suffix == ".py":
            modules[path.stem] = path
        elif path.suffix in (".so", ".pyi") and not path.name.startswith("."):
            modules.setdefault(path.name.split(".")[0], None)
    return modules


def private(name):
    return name.startswith("_") and not (name.startswith("__") and name.endswith("__"))


def imports_of(path, modules):
    """[(line, imported module, names taken from it)] of every import of a package module, at any
    depth (module level and inside functions), and the private attributes read from them."""
    tree = ast.parse(path.read_text(encoding="utf-8"), str(path))
    found = []
    aliases = {}
    for node in ast.walk(tree):
        if isinstance(node, ast.ImportFrom):
            if node.level == 1 or (node.level == 0 and (node.module or "").split(".")[0] == "ombrel_learn"):
                parts = (node.module or "").split(".")
                base = parts[0] if node.level == 1 else (parts[1] if len(parts) > 1 else "")
                if base:
                    found.append((node.lineno, base, [a.name for a in node.names]))
                    continue
                for a in node.names:  # from . import x: a module, or a name of the package itself
                    target = a.name if a.name in modules else "__init__"
                    found.append((node.lineno, target, [] if target == a.name else [a.name]))
                    if target == a.name:
                        aliases[a.asname or a.name] = target
        elif isinstance(node, ast.Import):
            for a in node.names:
                parts = a.name.split(".")
                if parts[0] == "ombrel_learn":
                    found.append((node.lineno, parts[1] if len(parts) > 1 else "__init__", []))
    for node in ast.walk(tree):
        if (isinstance(node, ast.Attribute) and isinstance(node.value, ast.Name)
                and aliases.get(node.value.id) and private(node.attr)):
            found.append((node.lineno, aliases[node.value.id], [node.attr]))
    return found


def test_modules_import_down_the_layers_without_a_circle_or_a_private_name():
    modules = package_modules()
    graph = {name: set() for name in modules}
    problems = []
    for name, path in sorted(modules.items()):
        if layer_of(name) is None:
            problems.append(f"{name}: in no layer (add it to LAYERS)")
        if path is None:
            continue
        for line, target, names in imports_of(path, modules):
            where = f"{name}.py:{line}"
            if target not in modules:
                problems.append(f"{where}: imports {target}, which is not a module of the package")
                continue
            if target == name:
                continue
            graph[name].add(target)
            taken = [n for n in names if private(n) and n not in modules]
            if taken and target not in ("_native", "_learners"):
                problems.append(f"{where}: takes private {', '.join(taken)} from {target}")
            mine, theirs = layer_of(name), layer_of(target)
            if mine is not None and theirs is not None and theirs < mine:
                problems.append(f"{where}: imports {target}, a layer above it")
    # A circle: a module that reaches itself through the imports.
    state = {}

    def visit(node, trail):
        state[node] = "open"
        for nxt in sorted(graph[node]):
            if state.get(nxt) == "open":
                problems.append("circle: " + " -> ".join(trail[trail.index(nxt):] + [nxt]))
            elif nxt not in state:
                visit(nxt, trail + [nxt])
        state[node] = "done"

    for node in sorted(graph):
        if node not in state:
            visit(node, [node])
    assert not problems, "\n".join(problems)


def test_no_module_outgrows_one_reason_to_change():
    long = []
    for name, path in sorted(package_modules().items()):
        if path is None or matches(name, LONGER_ALLOWED):
            continue
        lines = len(path.read_text(encoding="utf-8").splitlines())
        if lines > MAX_LINES:
            long.append(f"{name}.py: {lines} lines")
    assert not long, long
