"""The module's identity, the function object, argument binding and conversion."""

import ctypes
import subprocess
import sys
import textwrap
import types

import pytest

from dulse.quantify import _core_fast
from helpers import Pysam, Record, entry, routine_names

f = _core_fast.quantify_bam_fast

DOC = "\n".join([
    "",
    "    Quantify one BAM using one compiled execution path.",
    "",
    "    Returns",
    "    -------",
    "    counts",
    "        Dictionary mapping gene IDs to weighted counts.",
    "",
    "    raw_stats",
    "        Tuple containing:",
    "        total_records,",
    "        primary_mapped_records,",
    "        below_mapq,",
    "        multimapping_discarded,",
    "        no_annotated_contig,",
    "        no_feature,",
    "        ambiguous,",
    "        assigned_records,",
    "        assigned_weight",
    "    ",
])

PARAMS = ("bam_path", "gene_ids", "gene_index", "strand_mode", "mapq_min", "multi_mode",
          "use_nh_tag")


def test_module_identity():
    assert _core_fast.__name__ == "dulse.quantify._core_fast"
    assert _core_fast.__doc__ is None
    public = {k for k in vars(_core_fast) if not k.startswith("__")}
    assert public == {"pysam", "quantify_bam_fast"}
    import pysam
    assert _core_fast.pysam is pysam


def test_function_object():
    assert f.__name__ == "quantify_bam_fast"
    assert f.__qualname__ == "quantify_bam_fast"
    assert f.__module__ == "dulse.quantify._core_fast"
    assert f.__doc__ == DOC


@pytest.fixture
def recorder(monkeypatch):
    """Installs a stand-in pysam with no records; returns its log of calls."""
    stand_in = Pysam()
    monkeypatch.setattr(_core_fast, "pysam", stand_in)
    return stand_in


VALID = ("a.bam", ["G"], {}, 0, 0, 0, True)


def test_binds_positionally_and_by_keyword(recorder):
    by_position = f(*VALID)
    by_keyword = f(**dict(reversed(list(zip(PARAMS, VALID)))))
    mixed = f("a.bam", ["G"], use_nh_tag=True, gene_index={}, multi_mode=0, mapq_min=0,
              strand_mode=0)
    assert by_position == by_keyword == mixed == ({"G": 0.0}, (0,) * 8 + (0.0,))
    assert [call for call in recorder.log if call[0] == "open"] == [("open", "a.bam", "rb")] * 3


def count_message(n):
    return f"quantify_bam_fast() takes exactly 7 positional arguments ({n} given)"


@pytest.mark.parametrize("args, kwargs, message", [
    (VALID[:6], {}, count_message(6)),
    (VALID + (1,), {}, count_message(8)),
    ((), {}, count_message(0)),
    (VALID + (1,), {"use_nh_tag": True}, count_message(8)),
    (VALID[:3], {"strand_mode": 0, "mapq_min": 0, "multi_mode": 0}, count_message(6)),
    (VALID[:1], {"gene_index": {}}, count_message(1)),
    (VALID, {"bogus": 1}, "quantify_bam_fast() got an unexpected keyword argument 'bogus'"),
    (VALID[:2], dict(zip(PARAMS[2:], VALID[2:]), gene_ids=["G"]),
     "quantify_bam_fast() got multiple values for keyword argument 'gene_ids'"),
    # keyword errors are found before a missing parameter
    (VALID[:2], {"bogus": 1}, "quantify_bam_fast() got an unexpected keyword argument 'bogus'"),
])
def test_binding_errors(recorder, args, kwargs, message):
    with pytest.raises(TypeError) as excinfo:
        f(*args, **kwargs)
    assert str(excinfo.value) == message
    assert routine_names(excinfo) == ["quantify_bam_fast"]
    assert recorder.log == []


def test_keyword_names_must_be_strings(recorder):
    with pytest.raises(TypeError, match="keywords must be strings"):
        f(*VALID[:6], **{1: True})


class Int:
    def __init__(self, result):
        self.result = result

    def __int__(self):
        return self.result


class SubInt(int):
    pass


class NoInt:
    pass


BIG = 2**31


@pytest.mark.parametrize("value, expected", [
    (1, 1), (True, 1), (False, 0), (1.9, 1), (-1.9, -1), (-BIG, -BIG), (BIG - 1, BIG - 1),
    (SubInt(2), 2), (Int(3), 3),
])
def test_int32_conversion_accepts(recorder, value, expected, monkeypatch):
    # mapq_min is observable: with one record of quality 5, it decides below_mapq.
    recorder.records.append(Record(mapq=5))
    stats = f("a.bam", [], {}, 0, value, 0, True)[1]
    assert stats[2] == (1 if 5 < expected else 0)


@pytest.mark.parametrize("value, error, message", [
    (BIG, OverflowError, "value too large to convert to int"),
    (-BIG - 1, OverflowError, "value too large to convert to int"),
    (2**63, OverflowError, "Python int too large to convert to C long"),
    (float(BIG), OverflowError, "value too large to convert to int"),
    (float("inf"), OverflowError, "cannot convert float infinity to integer"),
    (float("nan"), ValueError, "cannot convert float NaN to integer"),
    ("1", TypeError, "an integer is required"),
    (None, TypeError, "an integer is required"),
    (NoInt(), TypeError, "an integer is required"),
    (Int(1.5), TypeError, "__int__ returned non-int (type float)"),
    (Int(BIG), OverflowError, "value too large to convert to int"),
])
@pytest.mark.parametrize("position", [3, 4, 5])
def test_int32_conversion_errors(recorder, value, error, message, position):
    args = list(VALID)
    args[position] = value
    with pytest.raises(error) as excinfo:
        f(*args)
    assert str(excinfo.value) == message
    assert routine_names(excinfo) == ["quantify_bam_fast"]
    assert recorder.log == []


def test_int_subclass_from_int_warns(recorder):
    with pytest.warns(DeprecationWarning) as warnings:
        f("a.bam", [], {}, Int(SubInt(0)), 0, 0, True)
    assert str(warnings[0].message) == (
        "__int__ returned non-int (type SubInt).  The ability to return an instance of a strict "
        "subclass of int is deprecated, and may be removed in a future version of Python.")


def test_deprecation_warning_as_error_fails_the_call(recorder):
    import warnings
    with warnings.catch_warnings():
        warnings.simplefilter("error", DeprecationWarning)
        with pytest.raises(DeprecationWarning):
            f("a.bam", [], {}, Int(SubInt(0)), 0, 0, True)
    assert recorder.log == []


def test_conversions_in_order(recorder):
    with pytest.raises(TypeError, match="an integer is required"):
        f("a.bam", [], {}, "1", 2**40, 0, True)
    with pytest.raises(OverflowError):
        f("a.bam", [], {}, 0, 2**40, "x", True)


class Truth:
    def __init__(self, value):
        self.value = value
        self.calls = 0

    def __bool__(self):
        self.calls += 1
        if isinstance(self.value, Exception):
            raise self.value
        return self.value


@pytest.mark.parametrize("flag, expected", [
    (None, False), ([], False), ([0], True), (0, False), (2, True), (Truth(True), True),
])
def test_use_nh_tag_truth_value(recorder, flag, expected):
    recorder.records.append(Record(nh=2))  # discarded only when NH is read
    stats = f("a.bam", [], {"chr1": entry()}, 0, 0, 0, flag)[1]
    assert stats[3] == (1 if expected else 0)


def test_use_nh_tag_truth_error(recorder):
    with pytest.raises(ZeroDivisionError) as excinfo:
        f("a.bam", [], {}, 0, 0, 0, Truth(ZeroDivisionError("no truth")))
    assert routine_names(excinfo) == ["quantify_bam_fast"]
    assert recorder.log == []


def run_python(code, cwd):
    # Away from the repository, so that the installed package is imported.
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, timeout=120, cwd=cwd)


def test_import_from_second_interpreter_fails(tmp_path):
    result = run_python("""
        import dulse.quantify._core_fast
        import _testcapi
        code = '''
        try:
            import dulse.quantify._core_fast
        except ImportError as error:
            print("ImportError:", error)
        '''
        _testcapi.run_in_subinterp(code)
    """, tmp_path)
    if "No module named '_testcapi'" in result.stderr:
        pytest.skip("this interpreter has no _testcapi")
    assert result.stdout.strip() == (
        "ImportError: Interpreter change detected - this module can only be loaded into one "
        "interpreter per process.")


def test_second_exec_step():
    api = ctypes.pythonapi
    api.PyModule_GetDef.restype = ctypes.c_void_p
    api.PyModule_GetDef.argtypes = [ctypes.py_object]
    api.PyModule_ExecDef.restype = ctypes.c_int
    api.PyModule_ExecDef.argtypes = [ctypes.py_object, ctypes.c_void_p]
    definition = api.PyModule_GetDef(_core_fast)
    assert definition
    # Again on the same module object: nothing happens.
    assert api.PyModule_ExecDef(_core_fast, definition) == 0
    assert _core_fast.quantify_bam_fast is f
    # On another module object: refused.
    other = types.ModuleType("dulse.quantify._core_fast")
    with pytest.raises(RuntimeError) as excinfo:
        api.PyModule_ExecDef(other, definition)
    assert str(excinfo.value) == (
        "Module '_core_fast' has already been imported. Re-initialisation is not supported.")
    assert "quantify_bam_fast" not in vars(other)


def test_reimport_returns_the_same_module():
    import importlib.util
    spec = importlib.util.find_spec("dulse.quantify._core_fast")
    assert importlib.util.module_from_spec(spec) is _core_fast


def test_non_string_keyword_from_c():
    api = ctypes.pythonapi
    api.PyObject_Vectorcall.restype = ctypes.py_object
    api.PyObject_Vectorcall.argtypes = [ctypes.py_object, ctypes.POINTER(ctypes.py_object),
                                        ctypes.c_size_t, ctypes.py_object]
    args = (ctypes.py_object * 7)(*VALID)
    with pytest.raises(TypeError) as excinfo:
        api.PyObject_Vectorcall(f, args, 6, (1,))
    assert str(excinfo.value) == "quantify_bam_fast() keywords must be strings"
