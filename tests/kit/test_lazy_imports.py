"""Start-up: `import dovelkit` and `dovel align` load only what they use."""

import subprocess
import sys

from conftest import data_path, kit_env

HEAVY = ("pyarrow", "dask", "distributed", "plotly", "tqdm", "pandas")


def child(code):
    r = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=kit_env(), timeout=120)
    assert r.returncode == 0, r.stderr
    return r.stdout


def test_names_load_on_first_use_and_stay_the_functions():
    out = child(
        "import sys, dovelkit\n"
        f"print(sorted(m for m in {HEAVY!r} if m in sys.modules))\n"
        "a = dovelkit.load; aln = dovelkit.align; print('pyarrow' in sys.modules)\n"
        "import dovelkit.db.engine, dovelkit.alignment.pairwise\n"  # the subpackages displace no public name
        "module = sys.modules['dovelkit.db.engine']\n"
        "print(dovelkit.search is module.search, dovelkit.Hit is module.Hit, callable(dovelkit.align))\n"
        "from dovelkit import search, Database, __version__\n"
        "print(search is module.search, Database.__module__, __version__ == dovelkit.__version__)\n"
        "print(sorted(set(dovelkit.__all__) - set(dir(dovelkit))))\n"
        "try:\n    dovelkit.nonsense\nexcept AttributeError as e:\n    print(e)\n")
    assert out.splitlines() == ["[]", "False", "True True True", "True dovelkit.db.store True", "[]",
                                "module 'dovelkit' has no attribute 'nonsense'"]


def align_imports(*args):
    pair = [data_path("families", "cytochrome_c", n) for n in ("1hrc.pdb", "1ycc.pdb")]
    if "--all" in args:
        pair.append(data_path("families", "cytochrome_c", "1co6.pdb"))
    r = subprocess.run([sys.executable, "-X", "importtime", "-m", "dovelkit", "align", *pair, *args],
                       capture_output=True, text=True, env=kit_env(), timeout=120)
    assert r.returncode == 0 and "aligned" in r.stdout
    return r.stdout, {line.split("|")[-1].strip().split(".")[0] for line in r.stderr.splitlines() if "|" in line}


def test_align_command_imports_no_heavy_library():
    _, imported = align_imports("--family")
    assert "gemmi" in imported and "numpy" in imported and not imported & set(HEAVY), imported & set(HEAVY)
    # at the fold level (the default), as text or JSON, one pair or a table, NumPy is not needed
    for args in ((), ("--json",), ("--all",), ("--all", "--json")):
        out, imported = align_imports(*args)
        assert "gemmi" in imported and not imported & {"numpy", *HEAVY}, imported & {"numpy", *HEAVY}
        assert "0.9692" in out
