"""The toolkit's shape: its modules import one way, at their top, and stay short.

As the core's include-direction test does for src/, this reads the sources
(with ast, importing nothing) and names each module or function that breaks
the shape.
"""

import ast
import pathlib

PACKAGE = pathlib.Path(__file__).resolve().parents[1] / "vordakit"

# The only functions that may import a module of the package: the package's face
# re-exporting the API lazily (and reading the version an install writes), and the
# one place that loads the compiled binding. The command line loads its
# subcommands by name (importlib), which names no module here.
LAZY = {("vordakit", "__getattr__"), ("vordakit", "_version"), ("vordakit.binding", "load")}
# The compiled binding: no source here, loaded in one place.
BINDING = "vordakit._vorda"
MAX_MODULE_LINES = 500
MAX_FUNCTION_LINES = 60


def _modules():
    """{module name: ast tree} of every module of the package."""
    out = {}
    for path in sorted(PACKAGE.rglob("*.py")):
        parts = ("vordakit",) + path.relative_to(PACKAGE).with_suffix("").parts
        name = ".".join(parts[:-1] if parts[-1] == "__init__" else parts)
        out[name] = (path, ast.parse(path.read_text(encoding="utf-8")))
    return out


MODULES = _modules()


def _imported(node, module):
    """The package's modules an import statement names (``from vordakit import x`` names vordakit.x)."""
    if isinstance(node, ast.Import):
        names = [a.name for a in node.names]
    elif isinstance(node, ast.ImportFrom):
        base = node.module or ""
        if node.level:
            # Relative to the module's package (a package's __init__ is its own).
            parts = module.split(".") if module in _PACKAGES else module.split(".")[:-1]
            parts = parts[:len(parts) - node.level + 1]
            base = ".".join(parts + ([base] if base else []))
        names = [f"{base}.{a.name}" if f"{base}.{a.name}" in MODULES else base for a in node.names]
    else:
        return []
    return [n for n in names if (n in MODULES or n == BINDING) and n != "vordakit"]


_PACKAGES = {name for name, (path, _) in MODULES.items() if path.name == "__init__.py"}


def _functions(tree):
    return [n for n in ast.walk(tree) if isinstance(n, (ast.FunctionDef, ast.AsyncFunctionDef))]


def test_the_modules_import_one_way():
    graph = {m: {d for node in tree.body for d in _imported(node, m)} - {m} for m, (_, tree) in MODULES.items()}
    done, path, cycles = set(), [], []

    def visit(m):
        path.append(m)
        for d in sorted(graph.get(m, ())):
            if d in path:
                cycles.append(" -> ".join(path[path.index(d):] + [d]))
            elif d not in done:
                visit(d)
        path.pop()
        done.add(m)

    for m in sorted(graph):
        if m not in done:
            visit(m)
    assert cycles == []


def test_no_function_imports_a_module_of_the_package():
    found = [f"{m}.{f.name}: {', '.join(_imported(node, m))}"
             for m, (_, tree) in MODULES.items() for f in _functions(tree) if (m, f.name) not in LAZY
             for node in ast.walk(f) if _imported(node, m)]
    assert found == []


def _length(f):
    """Lines of a function, its docstring not counted."""
    n = f.end_lineno - f.lineno + 1
    if f.body and isinstance(f.body[0], ast.Expr) and isinstance(getattr(f.body[0], "value", None), ast.Constant) \
            and isinstance(f.body[0].value.value, str):
        n -= f.body[0].end_lineno - f.body[0].lineno + 1
    return n


def test_modules_and_functions_stay_short():
    long = [f"{m}: {len(path.read_text().splitlines())} lines" for m, (path, _) in MODULES.items()
            if len(path.read_text().splitlines()) > MAX_MODULE_LINES]
    long += [f"{m}.{f.name}: {_length(f)} lines" for m, (_, tree) in MODULES.items()
             for f in _functions(tree) if _length(f) > MAX_FUNCTION_LINES]
    assert long == []
