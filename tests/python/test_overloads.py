"""Argument counts of every overloaded flat function: too many arguments raise
the count error, then the overload text with the prototypes; too few do the
same, except in the list and iterator classes, whose text is the overload text
alone."""
import os
import re
import subprocess
import sys

import pytest

import conftest
import cvekutil
import _cvekutil

OVERLOAD = ("Wrong number or type of arguments for overloaded function '%s'.\n"
            "  Possible C/C++ prototypes are:\n")

# Flat name, smallest and largest argument count (the instance included), prototypes.
MODULE_ROWS = [
    ("initCVekUtil", 0, 1, ["cvekutil::initCVekUtil(std::string)", "cvekutil::initCVekUtil()"]),
    ("new_PyMsgLogLine", 0, 1, ["cvekutil::PyMsgLogLine::PyMsgLogLine(GseLib::MsgLogLine const *)",
                                "cvekutil::PyMsgLogLine::PyMsgLogLine()"]),
    ("new_PyTolvaMarker", 0, 1, ["cvekutil::PyTolvaMarker::PyTolvaMarker()",
                                 "cvekutil::PyTolvaMarker::PyTolvaMarker(TolvaGse::Marker const &)"]),
    ("TMPacket_all_data", 2, 3, ["cvekutil::TMPacket::all_data(int,int)", "cvekutil::TMPacket::all_data(int)"]),
    ("new_TMDatapoint", 0, 3, ["cvekutil::TMDatapoint::TMDatapoint()",
                               "cvekutil::TMDatapoint::TMDatapoint(double,double,double)"]),
    ("new_ScienceDataCacheWrapper", 0, 2, [
        "cvekutil::ScienceDataCacheWrapper::ScienceDataCacheWrapper(bool,bool)",
        "cvekutil::ScienceDataCacheWrapper::ScienceDataCacheWrapper(bool)",
        "cvekutil::ScienceDataCacheWrapper::ScienceDataCacheWrapper()"]),
    ("SwigPyIterator_incr", 1, 2, ["swig::SwigPyIterator::incr(size_t)", "swig::SwigPyIterator::incr()"]),
    ("SwigPyIterator_decr", 1, 2, ["swig::SwigPyIterator::decr(size_t)", "swig::SwigPyIterator::decr()"]),
]

LISTS = {"ListOfIntegers": "int", "ListOfFloats": "double", "ListOfRfStatusEntrys": "cvekutil::RfStatusEntry",
         "ListOfTMDatapoints": "cvekutil::TMDatapoint", "ListOfMetaMarkers": "KorGse::MetaMarker"}


def list_rows(cls, element):
    v = "std::vector< %s >" % element
    whole = "std::vector< %s,std::allocator< %s > > const &" % (element, element)
    d, s, it, val = v + "::difference_type", v + "::size_type", v + "::iterator", v + "::value_type const &"
    return [
        ("new_" + cls, 0, 2, ["%s::vector()" % v, "%s::vector(%s const &)" % (v, v), "%s::vector(%s)" % (v, s),
                              "%s::vector(%s,%s)" % (v, s, val)]),
        (cls + "___delitem__", 2, 2, ["%s::__delitem__(%s)" % (v, d), "%s::__delitem__(PySliceObject *)" % v]),
        (cls + "___getitem__", 2, 2, ["%s::__getitem__(PySliceObject *)" % v, "%s::__getitem__(%s) const" % (v, d)]),
        (cls + "___setitem__", 2, 3, ["%s::__setitem__(PySliceObject *,%s)" % (v, whole),
                                      "%s::__setitem__(PySliceObject *)" % v,
                                      "%s::__setitem__(%s,%s)" % (v, d, val)]),
        (cls + "___setslice__", 3, 4, ["%s::__setslice__(%s,%s)" % (v, d, d),
                                       "%s::__setslice__(%s,%s,%s)" % (v, d, d, whole)]),
        (cls + "_erase", 2, 3, ["%s::erase(%s)" % (v, it), "%s::erase(%s,%s)" % (v, it, it)]),
        (cls + "_insert", 3, 4, ["%s::insert(%s,%s)" % (v, it, val), "%s::insert(%s,%s,%s)" % (v, it, s, val)]),
        (cls + "_resize", 2, 3, ["%s::resize(%s)" % (v, s), "%s::resize(%s,%s)" % (v, s, val)]),
    ]


ROWS = MODULE_ROWS + [row for cls, element in LISTS.items() for row in list_rows(cls, element)]


def count_error(name, smallest, largest, given):
    bound = smallest if given < smallest else largest
    word = "" if smallest == largest else ("at least " if given < smallest else "at most ")
    return "%s expected %s%d arguments, got %d" % (name, word, bound, given)


def overloaded_functions():
    """The flat functions whose count error is followed by the overload text."""
    found = set()
    for name in dir(_cvekutil):
        f = getattr(_cvekutil, name)
        if not callable(f) or isinstance(f, type):
            continue
        try:
            f(*[None] * 9)
        except TypeError as e:
            if (OVERLOAD % name) in str(e):
                found.add(name)
    return found


def test_table_covers_every_overloaded_function():
    assert overloaded_functions() == {row[0] for row in ROWS}


@pytest.mark.parametrize("name, smallest, largest, prototypes", ROWS, ids=[row[0] for row in ROWS])
def test_wrong_counts(name, smallest, largest, prototypes):
    text = OVERLOAD % name + "".join("    %s\n" % p for p in prototypes)
    f = getattr(_cvekutil, name)
    # None never completes a call here: the count is refused before any conversion.
    counts = ([smallest - 1] if smallest > 0 else []) + [largest + 1]
    swig_bound = name.startswith(("ListOf", "new_ListOf", "SwigPyIterator_"))
    for given in counts:
        with pytest.raises(TypeError) as e:
            f(*[None] * given)
        if swig_bound and given < smallest:
            assert str(e.value) == text
        else:
            # Unpacked from 0, a fixed count reads as a largest one.
            unpacked_from = 0 if swig_bound else smallest
            assert str(e.value) == (count_error(name, unpacked_from, largest, given)
                                    + "\nAdditional information:\n" + text)


def test_all_data_with_only_the_instance(kora):
    with pytest.raises(TypeError) as e:
        kora.get_pkt(0).all_data()
    assert str(e.value) == (
        "TMPacket_all_data expected at least 2 arguments, got 1\nAdditional information:\n"
        "Wrong number or type of arguments for overloaded function 'TMPacket_all_data'.\n"
        "  Possible C/C++ prototypes are:\n"
        "    cvekutil::TMPacket::all_data(int,int)\n"
        "    cvekutil::TMPacket::all_data(int)\n")


def test_iterator_difference_counts():
    # A binary operator: a mismatched operand gives NotImplemented (Python then
    # raises its own operand error); a wrong count is a TypeError, never a
    # SystemError over a result with an error set.
    items = cvekutil.ListOfIntegers([1, 2, 3])
    begin = items.begin()
    assert items.end() - begin == 3 and (items.end() - 1).value() == 3
    assert _cvekutil.SwigPyIterator___sub__(begin, "x") is NotImplemented
    with pytest.raises(TypeError, match="^unsupported operand type"):
        begin - "x"
    for given in (0, 1, 3):
        with pytest.raises(TypeError) as e:
            _cvekutil.SwigPyIterator___sub__(*[begin] * given)
        assert str(e.value) == "SwigPyIterator___sub__ expected 2 arguments, got %d" % given


# The wrapper post-processing step, run on the wrapper this module was built from.
SCRIPT = os.path.join(conftest.ROOT, "python", "dispatch_counts.py")
WRAPPER = os.path.join(os.path.dirname(_cvekutil.__file__), "cvekutilPYTHON_wrap.cxx")
SWIG_UNPACK = re.compile(r'(UnpackTuple\(args, "\w+", )\d+(, \d+, argv\)\)\) )(?:SWIG_fail|return NULL);')


def post_process(tmp_path, text):
    path = tmp_path / "wrap.cxx"
    path.write_text(text)
    r = subprocess.run([sys.executable, SCRIPT, str(path)], capture_output=True, text=True, timeout=60)
    return r, path.read_text()


@pytest.fixture(scope="module")
def built():
    if not os.path.isfile(WRAPPER):
        pytest.skip("no generated wrapper beside the module")
    with open(WRAPPER) as f:
        return f.read()


def test_post_processing_is_repeatable(tmp_path, built):
    # SWIG's own form (every dispatcher from 0, failing through SWIG_fail)
    # gives the built wrapper again, and the built wrapper stays as it is.
    swig, n = SWIG_UNPACK.subn(r"\g<1>0\g<2>SWIG_fail;", built)
    assert n >= 49 and swig != built
    for text in (swig, built):
        r, out = post_process(tmp_path, text)
        assert r.returncode == 0, r.stderr
        assert out == built


@pytest.mark.parametrize("old, new", [
    # Another signature line for one dispatcher.
    ("SWIGINTERN PyObject *_wrap_TMPacket_all_data(PyObject *self, PyObject *args) {",
     "SWIGINTERN PyObject *_wrap_TMPacket_all_data(PyObject *SWIGUNUSEDPARM(self), PyObject *args) {"),
    ("SWIGINTERN PyObject *_wrap_new_TMDatapoint(PyObject *self, PyObject *args) {",
     "SWIGINTERN PyObject *_wrap_new_TMDatapoint(PyObject *SWIGUNUSEDPARM(self), PyObject *args) {"),
    # Another count adjustment, count test, unpack call or failure path.
    ("  --argc;\n", "  argc -= 1;\n"),
    ("  if (argc == 3) {\n", "  if (argc >= 3) {\n"),
    ('SWIG_Python_UnpackTuple(args, "initCVekUtil", 0, 1, argv))) SWIG_fail;',
     'SWIG_Python_UnpackTuple(args,"initCVekUtil",0,1,argv))) SWIG_fail;'),
    ("fail:\n  SWIG_Python_RaiseOrModifyTypeError(", "fail:\n  SWIG_Python_RaiseTypeError("),
], ids=["all_data-signature", "datapoint-signature", "argc", "count-test", "unpack", "failure"])
def test_post_processing_refuses_another_shape(tmp_path, built, old, new):
    assert old in built
    r, out = post_process(tmp_path, built.replace(old, new, 1))
    assert r.returncode != 0 and r.stderr.startswith("dispatch_counts.py: ")
    assert out == built.replace(old, new, 1)
