"""The type stubs shipped beside the module describe the module as it is: the same three
functions with the same parameters, str in and str out, and docstrings that name the
exceptions the functions raise."""
import ast
import inspect

import varn_calculations as vc
from conftest import REPO

STUBS = REPO / "python" / "varn_calculations.pyi"


def stub_functions():
    tree = ast.parse(STUBS.read_text(encoding="utf-8"))
    return {node.name: node for node in tree.body if isinstance(node, ast.FunctionDef)}


def test_stubs_name_the_module_functions_with_their_parameters():
    stubs = stub_functions()
    public = sorted(name for name in dir(vc) if not name.startswith("_"))
    assert sorted(stubs) == public
    for name, node in stubs.items():
        params = [a.arg for a in node.args.args]
        assert f"({', '.join(params)})" == str(inspect.signature(getattr(vc, name)))
        assert [ast.unparse(a.annotation) for a in node.args.args] == ["str"]
        assert ast.unparse(node.returns) == "str"


def test_stub_docstrings_name_both_exceptions():
    for name, node in stub_functions().items():
        doc = ast.get_docstring(node)
        assert "TypeError" in doc and "RuntimeError" in doc, name


def test_the_module_itself_keeps_its_bare_docstrings():
    # The stubs carry the documentation; the module's own docstrings are its text signatures.
    assert vc.__doc__ in (None, "")
    for name in stub_functions():
        assert getattr(vc, name).__doc__ is None
