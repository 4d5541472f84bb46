import importlib
import inspect
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import dovel

TABLE = [
    "Domain", "Parameters", "Transform", "AlignmentResult", "MultipleAlignmentResult", "ScanHit",
    "pairwise_align", "multiple_align", "align_pdbs", "scan_database", "compute_rmsd", "superpose",
    "distance_matrix", "centroid", "transform_pdb_file", "__version__",
]
CLASSES = ["Domain", "Parameters", "Transform", "AlignmentResult", "MultipleAlignmentResult", "ScanHit"]


def test_version():
    assert dovel.__version__ == "0.1.2"


def test_attributes_follow_the_table_order():
    built = [n for n in TABLE if hasattr(dovel, n)]
    assert dovel.__all__ == built
    assert dovel.__all__[-1] == "__version__"
    public = [k for k in vars(dovel) if not (k.startswith("__") and k.endswith("__"))]
    assert public == [n for n in built if n != "__version__"]
    names = list(vars(dovel))
    assert names.index("__all__") < names.index(built[0])
    assert not hasattr(dovel, "InternalError")


def test_reimport_returns_same_module():
    first = sys.modules.pop("dovel")
    try:
        again = importlib.import_module("dovel")
        assert again is first
    finally:
        sys.modules["dovel"] = first


def test_docstring_mentions_library():
    assert "torva" in dovel.__doc__
    assert "pairwise_align" in dovel.__doc__


@pytest.mark.parametrize("name", CLASSES)
def test_classes_are_builtins_heap_types(name):
    if not hasattr(dovel, name):
        pytest.skip(f"{name} not built yet")
    cls = getattr(dovel, name)
    assert cls.__module__ == "builtins"
    assert cls.__qualname__ == name
    assert cls is getattr(dovel, name)


@pytest.mark.parametrize("name", ["AlignmentResult", "MultipleAlignmentResult", "ScanHit"])
def test_result_classes_cannot_be_instantiated(name):
    if not hasattr(dovel, name):
        pytest.skip(f"{name} not built yet")
    with pytest.raises(TypeError):
        getattr(dovel, name)()


def test_function_signatures():
    assert str(inspect.signature(dovel.superpose)) == "(fixed, mobile)"
    assert str(inspect.signature(dovel.compute_rmsd)) == "(coords1, coords2)"
    assert str(inspect.signature(dovel.centroid)) == "(coords)"
    assert str(inspect.signature(dovel.distance_matrix)) == "(coords1, coords2)"
    assert dovel.superpose.__doc__.startswith("Computes optimal superposition")
    assert dovel.centroid.__module__ == "dovel"


def _error(fn, *args, **kwargs):
    with pytest.raises(TypeError) as exc:
        fn(*args, **kwargs)
    return str(exc.value)


def test_binding_errors_use_cpython_wording():
    a = np.zeros((2, 3))
    assert _error(dovel.superpose) == "superpose() missing 2 required positional arguments: 'fixed' and 'mobile'"
    assert _error(dovel.superpose, a) == "superpose() missing 1 required positional argument: 'mobile'"
    assert _error(dovel.superpose, a, a, a) == "superpose() takes 2 positional arguments but 3 were given"
    assert _error(dovel.centroid, a, a) == "centroid() takes 1 positional argument but 2 were given"
    assert _error(dovel.centroid, a, coords=a) == "centroid() got multiple values for argument 'coords'"
    assert _error(dovel.centroid, a, points=a) == "centroid() got an unexpected keyword argument 'points'"
    # keyword problems are reported before surplus positional arguments, as CPython does
    assert _error(dovel.centroid, a, a, x=1) == "centroid() got an unexpected keyword argument 'x'"
    assert _error(dovel.Parameters, 1) == "Parameters() takes 0 positional arguments but 1 was given"
    assert _error(dovel.Parameters, n_passes=3) == "Parameters() got an unexpected keyword argument 'n_passes'"
    t = dovel.Transform()
    assert _error(t.apply) == "Transform.apply() missing 1 required positional argument: 'coords'"
    assert _error(t.inverse, 1) == "Transform.inverse() takes 0 positional arguments but 1 was given"
    assert _error(dovel.Transform.from_matrix, np.eye(3)) == \
        "Transform.from_matrix() missing 1 required positional argument: 'translation'"


def test_keyword_arguments_bind_like_positional():
    rng = np.random.default_rng(1)
    a, b = rng.normal(size=(6, 3)), rng.normal(size=(6, 3))
    t1, r1 = dovel.superpose(a, b)
    t2, r2 = dovel.superpose(mobile=b, fixed=a)
    assert r1 == r2
    assert np.array_equal(t1.rotation, t2.rotation)


def test_internal_error_is_not_an_exception():
    with pytest.raises(BaseException) as exc:
        try:
            dovel.centroid(np.zeros((0, 3)))
        except Exception:  # must not catch it
            pytest.fail("internal error caught by 'except Exception'")
    err = exc.value
    assert not isinstance(err, Exception)
    assert type(err).__name__ == "InternalError"
    assert type(err).__module__ == "builtins"
    assert str(err) == "Cannot compute centroid of empty point set"


def test_sub_interpreter_import_is_refused():
    code = textwrap.dedent(
        """
        import sys
        import dovel
        try:
            import _xxsubinterpreters as interpreters
        except ImportError:
            try:
                import _interpreters as interpreters
            except ImportError:
                print("SKIP"); sys.exit(0)
        # A legacy-configured interpreter lets the module's own check run;
        # newer Pythons refuse single-phase modules in isolated ones first.
        try:
            interp = interpreters.create(interpreters.new_config("legacy"))
        except (AttributeError, TypeError):
            interp = interpreters.create()
        script = "import sys; sys.path[:] = %r; import dovel" % (sys.path,)
        try:
            out = interpreters.run_string(interp, script)
        except Exception as e:
            print("ERR", e)
        else:
            print("ERR", out)
        """
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120,
                         env=None, cwd=None).stdout
    if out.startswith("SKIP"):
        pytest.skip("no sub-interpreter support in this Python")
    assert "ImportError" in out and "sub-interpreters" in out, out
