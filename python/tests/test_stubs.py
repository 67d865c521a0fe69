"""zemb.pyi against the module: the same names, and the same fields and types for every options class."""

import ast
from pathlib import Path

import zemb

STUB = ast.parse((Path(__file__).resolve().parents[1] / "zemb.pyi").read_text())
STUB_CLASSES = {node.name: node for node in STUB.body if isinstance(node, ast.ClassDef)}


def public(names):
    return {name for name in names if not name.startswith("_")}


def declared(node):
    """The names a module or class body of the stub declares."""
    for item in node.body:
        if isinstance(item, (ast.ClassDef, ast.FunctionDef)):
            yield item.name
        elif isinstance(item, ast.AnnAssign):
            yield item.target.id


def test_the_stub_declares_what_the_module_has():
    assert public(declared(STUB)) == public(dir(zemb))
    for name, node in STUB_CLASSES.items():
        assert public(declared(node)) == public(dir(getattr(zemb, name))), name


def test_every_options_class_has_the_stubs_fields_in_order_with_their_types():
    options = {name for name, value in vars(zemb).items() if hasattr(value, "as_dict")}
    assert options == {name for name, node in STUB_CLASSES.items() if "as_dict" in declared(node)}
    for name in sorted(options):
        instance = getattr(zemb, name)()
        in_module = [(field, type(getattr(instance, field)).__name__) for field in instance.as_dict()]
        in_stub = [(item.target.id, ast.unparse(item.annotation))
                   for item in STUB_CLASSES[name].body if isinstance(item, ast.AnnAssign)]
        assert in_stub == in_module, name


def docstrings(node):
    """{name: docstring} of the fields a stub class declares, each string right after its field."""
    found = {}
    for item, after in zip(node.body, node.body[1:]):
        if isinstance(item, ast.AnnAssign) and isinstance(after, ast.Expr) and isinstance(after.value, ast.Constant):
            found[item.target.id] = after.value.value
    return found


def test_the_stub_says_what_the_module_says_of_every_option():
    def words(text):
        return " ".join(text.split())

    for name, node in STUB_CLASSES.items():
        if "as_dict" not in declared(node):
            continue
        cls = getattr(zemb, name)
        assert words(ast.get_docstring(node)) == words(cls.__doc__.split("\n\n")[0]), name
        in_stub = {field: words(doc) for field, doc in docstrings(node).items()}
        assert in_stub == {field: words(getattr(cls, field).__doc__) for field in cls().as_dict()}, name
