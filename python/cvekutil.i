// The Python face of the library. This file declares every wrapped name,
// type, constness and default itself (no library header is %included), so the
// flat functions, their docstrings and their error texts stay as scripts know
// them whatever the C++ headers look like. Sections: conventions, start-up,
// records, lists, telemetry file, packet, message log, scans.
%module cvekutil

%feature("autodoc", "3");

// ---------------------------------------------------------------- conventions
%{
#include <stdexcept>
#include <string>
#include <vector>

#include "gselib/interpretation/msglogcache.h"
#include "gselib/packets/tmpacket.h"
#include "koralib/markers/markercache.h"
#include "koralib/markers/metamarker.h"
#include "tolvalib/tolvamarker.h"
#include "python/pymsglogcache.h"
#include "python/pymsglogline.h"
#include "python/pytolvamarker.h"
#include "python/pytolvamarkercache.h"
#include "python/records.h"
#include "python/startup.h"
#include "python/tmfile.h"
#include "python/tmpacket.h"
%}

// The one translation of library exceptions into Python.
%exception {
    try {
        $action
    } catch (const std::out_of_range& e) {
        SWIG_exception_fail(SWIG_IndexError, e.what());
    } catch (const cvekutil::NotNumericItem& e) {
        SWIG_exception_fail(SWIG_TypeError, e.what());
    } catch (const std::exception& e) {
        SWIG_exception_fail(SWIG_RuntimeError, e.what());
    } catch (...) {
        SWIG_exception_fail(SWIG_RuntimeError, "unknown C++ exception");
    }
}

// The instance argument: None, or a wrapper whose object was deleted, is the
// argument-1 TypeError, never a null `this`. A destructor clears the wrapper's
// pointer, so a later call through it is refused the same way.
%typemap(in, noblock=1) SWIGTYPE *self (void *argp = 0, int res = 0) {
  res = SWIG_ConvertPtr($input, &argp, $descriptor, $disown | SWIG_POINTER_NO_NULL | %convertptr_flags);
  if (res == SWIG_NullReferenceError || (SWIG_IsOK(res) && !argp)) res = SWIG_TypeError;
  if (!SWIG_IsOK(res)) {
    %argument_fail(res, "$type", $symname, $argnum);
  }
  $1 = %reinterpret_cast(argp, $ltype);
  if (($disown) & SWIG_POINTER_DISOWN) {
    SwigPyObject *sobj = SWIG_Python_GetSwigThis($input);
    if (sobj) sobj->ptr = 0;
  }
}

// A record by const reference in an overloaded call: None takes the prototype,
// so its conversion raises the null-reference ValueError.
%typemap(typecheck, precedence=SWIG_TYPECHECK_POINTER, noblock=1) const SWIGTYPE & {
  $1 = ($input == Py_None) || SWIG_CheckState(SWIG_ConvertPtr($input, 0, $descriptor, SWIG_POINTER_NO_NULL));
}

// An iterator moved by incr, decr, advance, += or -= is returned as the same
// Python object: a second wrapper that did not own it left
// `L.begin().incr().value()` reading an iterator already deleted with its
// temporary, and `+=` took the iterator from every other name bound to it.
namespace swig {
%feature("del", "0") SwigPyIterator::operator +=;
%feature("del", "0") SwigPyIterator::operator -=;
%feature("new", "0") SwigPyIterator::operator +=;
%feature("new", "0") SwigPyIterator::operator -=;
%typemap(out, noblock=1) SwigPyIterator *incr, SwigPyIterator *decr, SwigPyIterator *advance, SwigPyIterator & {
  (void)$1;
  $result = swig_obj[0];
  Py_INCREF($result);
}
}

// The standard library wrappers come after the typemaps above, so their
// classes (the iterator among them) get the same instance check.
%include <std_except.i>
%include <std_string.i>
%include <std_vector.i>

// A text argument in an overloaded call: only a str (None is no text).
%typemap(typecheck, precedence=SWIG_TYPECHECK_STDSTRING, noblock=1) std::string {
  $1 = ($input != Py_None) && SWIG_CheckState(SWIG_AsPtr_std_string($input, (std::string**)0));
}

%pythoncode %{
def _cvekutil_sequence(value):
    # Any iterable stands for a sequence; SWIG's own checks and texts then apply.
    if value is None or isinstance(value, (str, bytes, list, tuple, int, float, slice)) or hasattr(value, "this"):
        return value
    try:
        items = iter(value)
    except TypeError:
        return value
    return tuple(items)


def _cvekutil_slice(self, args):
    # SWIG reads a forward slice whose start lies at or past the list's end
    # as starting at 0 (l[9:2] gave l[0:2], del l[9:2] removed l[0:2]); an
    # empty forward slice is passed as the empty slice at 0 instead.
    if len(args) == 1 and isinstance(args[0], slice):
        start, stop, step = args[0].indices(len(self))
        if step > 0 and start >= stop:
            return (slice(0, 0, step),)
    return args
%}

// ---------------------------------------------------------------- start-up
extern const int MIN_META_MARKER_ID;
extern const int MAX_META_MARKER_ID;

// ---- path-like archives and named value modes
// The archive's path may be any path-like object (pathlib.Path, os.PathLike):
// os.fspath gives its text, or its bytes, which are passed unchanged. A str is
// read as before; None, a number or a plain bytes object match no prototype.
%fragment("CvekFsPath", "header") %{
static bool cvekutil_isPathLike(PyObject* o)
{
    return o && !PyUnicode_Check(o) && !PyBytes_Check(o) && PyObject_HasAttrString((PyObject*)Py_TYPE(o), "__fspath__");
}
%}
%typemap(typecheck, precedence=SWIG_TYPECHECK_STDSTRING, noblock=1, fragment="CvekFsPath") std::string telemetryFilename {
  $1 = ($input != Py_None) && (cvekutil_isPathLike($input) || SWIG_CheckState(SWIG_AsPtr_std_string($input, (std::string**)0)));
}
%typemap(in, fragment="CvekFsPath") std::string telemetryFilename {
  if (cvekutil_isPathLike($input)) {
    PyObject* fs = PyOS_FSPath($input);
    if (!fs) SWIG_fail;
    if (PyBytes_Check(fs)) {
      $1 = std::string(PyBytes_AS_STRING(fs), size_t(PyBytes_GET_SIZE(fs)));
    } else {
      Py_ssize_t n = 0;
      const char* text = PyUnicode_AsUTF8AndSize(fs, &n);
      if (!text) { Py_DECREF(fs); SWIG_fail; }
      $1 = std::string(text, size_t(n));
    }
    Py_DECREF(fs);
  } else {
    std::string* ptr = (std::string*)0;
    int res = SWIG_AsPtr_std_string($input, &ptr);
    if (!SWIG_IsOK(res) || !ptr) {
      SWIG_exception_fail(SWIG_ArgError((ptr ? res : SWIG_TypeError)), "in method '" "$symname" "', argument " "$argnum"" of type '" "$type""'");
    }
    $1 = *ptr;
    if (SWIG_IsNewObj(res)) delete ptr;
  }
}

namespace cvekutil {
%feature("docstring") initCVekUtil "This method is intended for internal use only. It initializes the underlying library as needed.";
void initCVekUtil(std::string telemetryFilename = "");
}

%pythoncode %{
import os as _os

# Value modes of all_data: RAW the value as decoded, ENG through the row's
# engineering equation, SCI through its science equation. Another number is
# taken as all_data's C++ side takes it (see python/README.md).
RAW, ENG, SCI = 0, 1, 2


def open_tmfile(path):
    """Starts the library on the archive and returns its TMFile."""
    initCVekUtil(path)
    # The text the start-up read, so that TMFile and the library agree on the file.
    return TMFile(_os.fsdecode(_os.fspath(path)) if not isinstance(path, str) else path)
%}
// ---- end of path-like archives and named value modes

// ---------------------------------------------------------------- records
namespace cvekutil {
struct TMDatapoint {
    TMDatapoint();
    TMDatapoint(double unix_timestamp, double relative_timestamp, double value);
    double unix_timestamp;
    double relative_timestamp;
    double value;
};

struct RfStatusEntry {
    unsigned short start_bin;
    double rf_amp_v;
    double rf_amp_dac_v;
    double aux_amp_dac_v;
};
}

namespace KorGse {
struct MetaMarker {
    double startRelativeTimeInSecs;
    double endRelativeTimeInSecs;
    int metaMarkerId;
    int index;
    std::string msg;
};
class MarkerCache;
}

// ---------------------------------------------------------------- lists
// An empty list has no front, back or last element to drop.
%exception std::vector::front {
    if (arg1->empty()) SWIG_exception_fail(SWIG_IndexError, "index out of range");
    $action
}
%exception std::vector::back {
    if (arg1->empty()) SWIG_exception_fail(SWIG_IndexError, "index out of range");
    $action
}
%exception std::vector::pop_back {
    if (arg1->empty()) SWIG_exception_fail(SWIG_IndexError, "pop from empty container");
    $action
}
%pythonprepend std::vector::vector %{
    args = tuple(_cvekutil_sequence(a) for a in args)
%}
%pythonprepend std::vector::__getitem__ %{
    args = _cvekutil_slice(self, args)
%}
%pythonprepend std::vector::__delitem__ %{
    args = _cvekutil_slice(self, args)
%}
%pythonprepend std::vector::__setitem__ %{
    args = tuple(_cvekutil_sequence(a) for a in args)
%}
%pythonprepend std::vector::__setslice__ %{
    args = tuple(_cvekutil_sequence(a) for a in args)
%}

// Copies of the lists' iterators: SWIG copies a bidirectional iterator as a
// forward one (so `L.end() - 1` failed and `copy().previous()` stopped). These
// subclasses copy as themselves; the overloads below make them for the
// vectors' iterators, being more specialised than SWIG's general ones.
%fragment("CvekIterators", "header", fragment="SwigPyIterator_T") %{
namespace swig {
template <typename OutIter>
class CvekIteratorOpen_T : public SwigPyIteratorOpen_T<OutIter>
{
public:
    CvekIteratorOpen_T(OutIter curr, PyObject* seq) : SwigPyIteratorOpen_T<OutIter>(curr, seq) {}
    SwigPyIterator* copy() const { return new CvekIteratorOpen_T(*this); }
};

template <typename OutIter>
class CvekIteratorClosed_T : public SwigPyIteratorClosed_T<OutIter>
{
public:
    CvekIteratorClosed_T(OutIter curr, OutIter first, OutIter last, PyObject* seq)
        : SwigPyIteratorClosed_T<OutIter>(curr, first, last, seq)
    {
    }
    SwigPyIterator* copy() const { return new CvekIteratorClosed_T(*this); }
};

template <typename T, typename C>
inline SwigPyIterator* make_output_iterator(const __gnu_cxx::__normal_iterator<T, C>& current, PyObject* seq = 0)
{
    return new CvekIteratorOpen_T<__gnu_cxx::__normal_iterator<T, C> >(current, seq);
}

template <typename T, typename C>
inline SwigPyIterator* make_output_iterator(const std::reverse_iterator<__gnu_cxx::__normal_iterator<T, C> >& current,
                                            PyObject* seq = 0)
{
    return new CvekIteratorOpen_T<std::reverse_iterator<__gnu_cxx::__normal_iterator<T, C> > >(current, seq);
}

template <typename T, typename C>
inline SwigPyIterator* make_output_iterator(const __gnu_cxx::__normal_iterator<T, C>& current,
                                            const __gnu_cxx::__normal_iterator<T, C>& begin,
                                            const __gnu_cxx::__normal_iterator<T, C>& end, PyObject* seq = 0)
{
    return new CvekIteratorClosed_T<__gnu_cxx::__normal_iterator<T, C> >(current, begin, end, seq);
}

template <typename T, typename C>
inline SwigPyIterator* make_output_iterator(const std::reverse_iterator<__gnu_cxx::__normal_iterator<T, C> >& current,
                                            const std::reverse_iterator<__gnu_cxx::__normal_iterator<T, C> >& begin,
                                            const std::reverse_iterator<__gnu_cxx::__normal_iterator<T, C> >& end,
                                            PyObject* seq = 0)
{
    return new CvekIteratorClosed_T<std::reverse_iterator<__gnu_cxx::__normal_iterator<T, C> > >(current, begin,
                                                                                                  end, seq);
}
} // namespace swig
%}
%fragment("CvekIterators");

// A bare iterator (begin, end, insert, erase ...) keeps its list alive: it is
// made again with the list as its sequence, which its copies keep too.
%define %cvekutil_iterators_keep_list(T...)
%typemap(ret, noblock=1) std::vector< T >::iterator, std::vector< T >::reverse_iterator {
  if ($result && $result != Py_None) {
    Py_DECREF($result);
    $result = SWIG_NewPointerObj(swig::make_output_iterator(%static_cast($1, const $type &), swig_obj[0]),
                                 swig::SwigPyIterator::descriptor(), SWIG_POINTER_OWN);
  }
}
%enddef
%cvekutil_iterators_keep_list(int)
%cvekutil_iterators_keep_list(double)
%cvekutil_iterators_keep_list(cvekutil::RfStatusEntry)
%cvekutil_iterators_keep_list(cvekutil::TMDatapoint)
%cvekutil_iterators_keep_list(KorGse::MetaMarker)

%template(ListOfIntegers) std::vector<int>;
%template(ListOfFloats) std::vector<double>;
%template(ListOfRfStatusEntrys) std::vector<cvekutil::RfStatusEntry>;
%template(ListOfTMDatapoints) std::vector<cvekutil::TMDatapoint>;
%template(ListOfMetaMarkers) std::vector<KorGse::MetaMarker>;

// ---------------------------------------------------------------- packet
namespace GseLib {
class TMPacket;
class MsgLogLine;
typedef std::shared_ptr<TMPacket> TMPacketPtr;
}

namespace cvekutil {
class TMPacket {
public:
    TMPacket(GseLib::TMPacketPtr tmPacketPtr, KorGse::MarkerCache const *markerCachePtr);

    %feature("docstring") _raw_packet "Returns the packet bytes as a list of ints.";
    std::vector<int> _raw_packet() const;
    %feature("docstring") get_type "Returns the packet type byte from the packet header, with the GSE \ncreated bit masked out.";
    int get_type() const;
    %feature("docstring") full_type "Returns the packet type byte from the packet header, which includes \nthe GSE created bit.";
    int full_type() const;
    %feature("docstring") total_length "Returns the total number of bytes of this packet, which includes the 8 \nbyte header and the 4 byte checksum.";
    int total_length() const;
    %feature("docstring") length "Returns the number of bytes of the data segment of this packet, not \nincluding the 8 byte header nor the 4 byte checksum.";
    int length() const;
    %feature("docstring") checksum "Returns the checksum at the end of this packet.";
    unsigned int checksum() const;
    %feature("docstring") gse_created "Returns True if the GSE-created bit is set in the packet header, and \nFalse otherwise.";
    bool gse_created() const;
    %feature("docstring") sequence "Returns the packet sequence count (a one-byte value in the packet header).";
    int sequence() const;
    %feature("docstring") sclk "Returns the FSW timestamp of this packet (a number of 100us ticks).";
    unsigned int sclk() const;
    %feature("docstring") index "Returns the 0-based index of this packet within the TMFile.";
    int index() const;
    %feature("noautodoc") marker_id;
    int marker_id() const;
    %feature("noautodoc") tarq_marker_index;
    int tarq_marker_index() const;
    %feature("docstring") unix_timestamp "Returns this packet's Unix timestamp (a number of seconds.)";
    double unix_timestamp() const;
    %feature("docstring") relative_timestamp "Returns this packet's relative timestamp (a number of seconds).";
    double relative_timestamp() const;
    %feature("docstring") marker_text "Returns the text of the 'real' marker that precedes this packet.";
    std::string marker_text() const;
    %feature("docstring") get_meta_markers "Returns a list of the meta markers that apply to this packet.";
    std::vector<KorGse::MetaMarker> get_meta_markers() const;
    std::vector<cvekutil::TMDatapoint> all_raw_data(int hkid);
    std::vector<cvekutil::TMDatapoint> all_eng_data(int hkid);
    std::vector<cvekutil::TMDatapoint> all_sci_data(int hkid);
    %feature("docstring") all_data "If you want anything other than science data, use all_raw_data() or\nall_eng_data().";
    std::vector<cvekutil::TMDatapoint> all_data(int hkid, int mode = Gse::Sci);
    %feature("docstring") raw_message "If this packet is a message log packet, then this method will return \nthe raw message log string (i.e., no sanitization will occur).";
    std::string raw_message() const;
};
}

// ---------------------------------------------------------------- item series as arrays
// TMFile.item_arrays: one data item of a run of packets as four numpy arrays,
// each column handed over from the C++ vector it was filled in, without a
// copy. numpy is imported at the first call: importing this module stays as
// quick as it was. Before the class, so that its typemaps apply to it.
%{
#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#include <numpy/arrayobject.h>

#include <climits>
#include <new>
#include <optional>

#include "gselib/interpretation/itemseries.h"

namespace {

const char* const CVEKUTIL_COLUMN = "cvekutil.column";

template <typename T>
void cvekutilDropColumn(PyObject* capsule)
{
    delete static_cast<std::vector<T>*>(PyCapsule_GetPointer(capsule, CVEKUTIL_COLUMN));
}

// A 1-D array over the column's own buffer, which the array's base then owns.
template <typename T>
PyObject* cvekutilColumnArray(std::vector<T>& column, int type)
{
    npy_intp n = npy_intp(column.size());
    if (n == 0)
        return PyArray_SimpleNew(1, &n, type);
    auto* owned = new (std::nothrow) std::vector<T>(std::move(column));
    if (!owned)
        return PyErr_NoMemory();
    PyObject* base = PyCapsule_New(owned, CVEKUTIL_COLUMN, cvekutilDropColumn<T>);
    if (!base) {
        delete owned;
        return nullptr;
    }
    PyObject* array = PyArray_SimpleNewFromData(1, &n, type, owned->data());
    if (!array) {
        Py_DECREF(base);
        return nullptr;
    }
    // Takes the reference to base, also when it fails.
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array), base) < 0) {
        Py_DECREF(array);
        return nullptr;
    }
    return array;
}

// The result's type, a named tuple made in C (no Python-level class, nothing
// imported for it), made with the module.
PyStructSequence_Field cvekutilItemArraysFields[] = {
    {const_cast<char*>("unix_timestamp"), const_cast<char*>("Unix times in seconds (float64)")},
    {const_cast<char*>("relative_timestamp"), const_cast<char*>("times since t0 in seconds (float64)")},
    {const_cast<char*>("value"), const_cast<char*>("values in the mode asked (float64)")},
    {const_cast<char*>("packet_index"), const_cast<char*>("index of each sample's packet, as get_pkt takes it (int64)")},
    {nullptr, nullptr}};
PyStructSequence_Desc cvekutilItemArraysDesc = {
    const_cast<char*>("cvekutil.ItemArrays"),
    const_cast<char*>("One data item's samples as numpy arrays of equal length, in packet order."),
    cvekutilItemArraysFields, 4};
PyTypeObject* cvekutilItemArraysType = nullptr;

// The four columns as an ItemArrays.
PyObject* cvekutilItemArrays(GseLib::ItemSeries& series)
{
    if (!PyArray_API && _import_array() < 0)
        return nullptr;
    PyObject* result = PyStructSequence_New(cvekutilItemArraysType);
    if (!result)
        return nullptr;
    PyObject* columns[4] = {cvekutilColumnArray(series.unixTimes, NPY_FLOAT64),
                            cvekutilColumnArray(series.relativeTimes, NPY_FLOAT64),
                            cvekutilColumnArray(series.values, NPY_FLOAT64),
                            cvekutilColumnArray(series.packetIndexes, NPY_INT64)};
    bool made = true;
    for (int i = 0; i < 4; ++i) {
        made = made && columns[i];
        PyStructSequence_SetItem(result, i, columns[i] ? columns[i] : Py_NewRef(Py_None));
    }
    if (!made) {
        Py_DECREF(result);
        return nullptr;
    }
    return result;
}

} // namespace
%}

%init %{
    cvekutilItemArraysType = PyStructSequence_NewType(&cvekutilItemArraysDesc);
    if (!cvekutilItemArraysType || PyModule_AddObjectRef(m, "ItemArrays",
                                                         reinterpret_cast<PyObject*>(cvekutilItemArraysType)) < 0)
        return NULL;
%}

namespace GseLib {
struct ItemSeries;
}

// A slice bound: None, or an integer (or an object with __index__), any
// size, as Python's slices take them; beyond 64 bits it is clamped.
%typemap(in, noblock=1) std::optional<long long> {
  if ($input != Py_None) {
    PyObject* bound = PyNumber_Index($input);
    if (!bound) {
      if (PyErr_ExceptionMatches(PyExc_TypeError))
        PyErr_SetString(PyExc_TypeError, "slice indices must be integers or None or have an __index__ method");
      SWIG_fail;
    }
    int overflow = 0;
    long long at = PyLong_AsLongLongAndOverflow(bound, &overflow);
    Py_DECREF(bound);
    if (overflow)
      at = overflow > 0 ? LLONG_MAX : LLONG_MIN;
    else if (at == -1 && PyErr_Occurred())
      SWIG_fail;
    $1 = at;
  }
}

%typemap(out, noblock=1) GseLib::ItemSeries {
  $result = cvekutilItemArrays(static_cast<GseLib::ItemSeries&>($1));
  if (!$result) SWIG_fail;
}

%feature("kwargs") cvekutil::TMFile::item_arrays;
%feature("compactdefaultargs") cvekutil::TMFile::item_arrays;
%feature("autodoc", "item_arrays(self, hkid, mode=2, start=None, stop=None) -> ItemArrays") cvekutil::TMFile::item_arrays;
%feature("docstring") cvekutil::TMFile::item_arrays "Returns every sample of data item hkid in the packets [start:stop] as
numpy arrays: ItemArrays(unix_timestamp, relative_timestamp, value,
packet_index). The values are all_data(hkid, mode)'s (0 raw, 1 engineering,
2 science), packet by packet; start and stop are read as slice bounds.
An unknown hkid gives empty arrays; an item decoded as text raises TypeError.";

%extend cvekutil::TMFile {
    GseLib::ItemSeries item_arrays(int hkid, int mode = 2, std::optional<long long> start = std::nullopt,
                                   std::optional<long long> stop = std::nullopt) const
    {
        return $self->item_arrays(hkid, mode, start, stop);
    }
}

%pythoncode %{
ItemArrays = _cvekutil.ItemArrays
%}

// ---------------------------------------------------------------- telemetry file
namespace cvekutil {
class TMFile {
public:
    TMFile(std::string filename);
    %feature("docstring") filename "Returns the full path of the underlying file.";
    std::string filename() const;
    %feature("docstring") absolute_directory "Returns the full path of the directory that contains this TMFile.";
    std::string absolute_directory() const;
    %feature("docstring") directory_string "Returns this TID's directory name, typically something like\n'2012-04-02-12.35.42-12345-testname'";
    std::string directory_string() const;
    %feature("docstring") get_mcal_filename "Returns the filename of the mass calibration file that applies to this TMFile.";
    std::string get_mcal_filename() const;
    %feature("docstring") file_size "Return the size of the underlying file, in bytes.";
    long long file_size() const;
    %feature("docstring") tid "Returns the Telemetry ID of this TMFile.";
    int tid() const;
    %feature("docstring") length "Returns the number of packets in this TMFile.";
    int length() const;
    %feature("docstring") exists "Returns True if the underlying file exists, and False otherwise.";
    bool exists() const;
    %feature("docstring") model "Returns this TID's model ('ETU', 'FM', 'FM_SPARE') etc.";
    std::string model() const;
    %feature("docstring") get_pkt "Returns the packet at the specified index.";
    cvekutil::TMPacket get_pkt(int index) const;
    %feature("docstring") t0_in_unix_time "Returns the Unix time (a number of seconds) of the t0 packet.";
    double t0_in_unix_time() const;
    %feature("docstring") t0_in_sclk "Returns the FSW timestamp (in ticks, not seconds) of the t0 packet.";
    int t0_in_sclk() const;
    %feature("docstring") get_meta_markers "Returns a list of this TMFile's meta markers.";
    std::vector<KorGse::MetaMarker> get_meta_markers() const;
    %feature("noautodoc") is_time_synced;
    bool is_time_synced() const;
};
}

// ---------------------------------------------------------------- damage record
// TMFile.damage(): the archive's damaged stretches, a list of tuples (first
// byte, end, kind, index of the packet it stands before), built in C.
namespace cvekutil {
%extend TMFile {
    %feature("autodoc", "damage(TMFile self) -> list") damage;
    %feature("docstring") damage "Returns the damaged stretches of the archive read, as a list of tuples\n(first byte, end, kind, index of the packet it stands before).";
    PyObject* damage() const {
        const std::vector<GseLib::DamagedStretch> stretches = $self->damage();
        PyObject* list = PyList_New(Py_ssize_t(stretches.size()));
        for (size_t i = 0; list && i < stretches.size(); ++i) {
            const GseLib::DamagedStretch& s = stretches[i];
            PyObject* t = Py_BuildValue("(LLsn)", (long long)s.first, (long long)s.end,
                                        GseLib::DamagedStretch::kindName(s.kind), Py_ssize_t(s.before));
            if (!t)
                Py_CLEAR(list);
            else
                PyList_SET_ITEM(list, Py_ssize_t(i), t);
        }
        return list;
    }
}
}

// ---------------------------------------------------------------- message log
// Only the destructors carry a docstring (their signature).
namespace cvekutil {
%feature("noautodoc") PyMsgLogLine::PyMsgLogLine;
%feature("noautodoc") PyMsgLogLine::unixTime;
%feature("noautodoc") PyMsgLogLine::relativeTime;
%feature("noautodoc") PyMsgLogLine::msg;
%feature("noautodoc") PyMsgLogCache::PyMsgLogCache;
%feature("noautodoc") PyMsgLogCache::size;
%feature("noautodoc") PyMsgLogCache::get;

class PyMsgLogLine {
public:
    PyMsgLogLine(GseLib::MsgLogLine const *line);
    PyMsgLogLine();
    double unixTime() const;
    double relativeTime() const;
    std::string msg() const;
};

class PyMsgLogCache {
public:
    PyMsgLogCache();
    int size() const;
    cvekutil::PyMsgLogLine get(unsigned int index) const;
};
}

// ---------------------------------------------------------------- second-instrument markers
// The library's marker is opaque: Python never builds one, but the record's
// constructor keeps its overload and null-reference paths. Only the
// destructors carry a docstring (their signature).
namespace TolvaGse {
class Marker;
}

namespace cvekutil {
%feature("noautodoc") PyTolvaMarker::PyTolvaMarker;
%feature("noautodoc") PyTolvaMarker::t_start_us;
%feature("noautodoc") PyTolvaMarker::t_end_us;
%feature("noautodoc") PyTolvaMarker::marker_id;
%feature("noautodoc") PyTolvaMarker::marker_type;
%feature("noautodoc") PyTolvaMarker::text;
%feature("noautodoc") PyTolvaMarker::is_complete;
%feature("noautodoc") PyTolvaMarkerCache::PyTolvaMarkerCache;
%feature("noautodoc") PyTolvaMarkerCache::size;
%feature("noautodoc") PyTolvaMarkerCache::get;

class PyTolvaMarker {
public:
    PyTolvaMarker();
    PyTolvaMarker(TolvaGse::Marker const &marker);
    long long t_start_us() const;
    long long t_end_us() const;
    long long marker_id() const;
    long long marker_type() const;
    std::string text() const;
    bool is_complete() const;
};

class PyTolvaMarkerCache {
public:
    PyTolvaMarkerCache();
    size_t size() const;
    cvekutil::PyTolvaMarker get(size_t index) const;
};
}

// ---------------------------------------------------------------- scans
// The first instrument's scans: the science data cache wrapper and the scan
// values it hands out. A scan is returned by value and moved, not copied, into
// its Python object.
%{
#include "python/pythonstylekorascan.h"
#include "python/sciencedatacachewrapper.h"
%}

%typemap(out, noblock=1) cvekutil::PythonStyleKoraScan {
  $result = SWIG_NewPointerObj(new cvekutil::PythonStyleKoraScan(std::move($1)), $&1_descriptor, SWIG_POINTER_OWN);
}

namespace cvekutil {
class PythonStyleKoraScan {
public:
    PythonStyleKoraScan();
    %feature("docstring") unix_timestamp "Return the unix timestamp (a number of seconds) of this scan";
    double unix_timestamp() const;
    %feature("docstring") relative_timestamp "Return the relative timestamp (a number of seconds) of this scan";
    double relative_timestamp() const;
    %feature("docstring") marker_relative_timestamp "Return the scan marker's relative timestamp (a number of seconds)";
    double marker_relative_timestamp() const;
    %feature("docstring") marker_id "Returns the 0-based index of the marker packet that precedes this scan.";
    int marker_id() const;
    %feature("docstring") tarq_marker_index "Returns the 0-based index of the marker packet that precedes this scan.";
    int tarq_marker_index() const;
    %feature("docstring") marker_text "Returns the text of the marker that preceded this scan.";
    std::string marker_text() const;
    %feature("docstring") get_meta_markers "Returns a list of meta markers that apply to this scan.";
    std::vector<KorGse::MetaMarker> get_meta_markers() const;
    %feature("docstring") counts "Returns ion counts for each bin. The returned list will contain one \ncount for each bin in the scan.";
    std::vector<int> counts() const;
    %feature("docstring") culled_counts "Returns a condensed version of the scan with less important points\nremoved. This is intended for showing quick previews of scans on Tarq\nOnline without having to download the full scan. The format of the\nreturned list is: x0,y0, x1,y1, x2,y2, etc, where x is the bin number\nand y is the ion count.";
    std::vector<int> culled_counts() const;
    %feature("docstring") m_over_z_values "Returns the m/z values for this scan. The returned list will have one \nm/z value for every bin.";
    std::vector<double> m_over_z_values() const;
    int total_ion_count() const;
    %feature("docstring") total_ion_counts "Returns a list of total ion counts. This method really only applies to \nsum packet scans, which are created from multiple individual scans. \nThis method returns the TICs for those individual scans.";
    std::vector<int> total_ion_counts() const;
    double corrected_total_ion_count() const;
    double corrected_total_ion_count_factor() const;
    std::vector<double> corrected_total_ion_count_factors() const;
    int science_data_pkt_version() const;
    %feature("docstring") highest_count "Returns the highest ion count in this scan.";
    int highest_count() const;
    %feature("docstring") highest_count_bin_num "Returns the bin containing the highest ion count.";
    int highest_count_bin_num() const;
    %feature("docstring") lowest_count "Returns the lowest ion count of this scan.";
    int lowest_count() const;
    std::vector<cvekutil::RfStatusEntry> rf_status_entries() const;
    double rf_amp_start() const;
    double rf_amp_end() const;
    double rf_amp_dac_start() const;
    double rf_amp_dac_end() const;
    double aux_amp_dac_start() const;
    double aux_amp_dac_end() const;
    %feature("docstring") total_scan_time "Returns how long this scan took, in seconds.";
    double total_scan_time() const;
    %feature("docstring") peak_counts_per_sec "Returns the highest count divided by the bin time.";
    double peak_counts_per_sec() const;
    %feature("docstring") src_pkt_type "Return the packet type (probably 26 or 27) of the packet that this \nscan is based off of. ";
    int src_pkt_type() const;
    %feature("docstring") num_scans "Returns the number of scans that went into this scan object.";
    int num_scans() const;
    %feature("docstring") has_scan_status "Returns True if this scan has at least one scan status packet \nassociated with it, and False otherwise.";
    bool has_scan_status() const;
    %feature("docstring") num_scan_status_pkts "Returns the number of scan status packets associated with this scan.";
    int num_scan_status_pkts() const;
    double _seb_bin_time_readback() const;
    double _seb_bin_time_readback_in_seconds() const;
    int _seb_special_scan_id() const;
    int _seb_raw_scan_value() const;
    double _seb_scan_value() const;
    double _seb_rf_freq_hz() const;
    double _seb_last_rf_amp_mon() const;
    double _seb_rf_amp_dac_set() const;
    double _seb_aux_amp_dac_set() const;
    int _seb_counter_sel() const;
    int _seb_bin_count_set() const;
    int _seb_bin_count_reg() const;
    int _seb_phase_cycle_rdbk() const;
    double _seb_rf_step_set() const;
    double _seb_rf_step_reg() const;
    double _seb_aux_step_set() const;
    double _seb_aux_step_reg() const;
    double _seb_ionization_time_in_milliseconds() const;
    double _seb_scan_em1() const;
    int _seb_scan_em1_raw() const;
    double _seb_scan_em2() const;
    int _seb_scan_em2_raw() const;
    double _seb_src_a_foc_a_dac_set() const;
    double _seb_src_b_foc_a_dac_set() const;
    double _seb_src_a_foc_a_dac_reg() const;
    double _seb_src_b_foc_a_dac_reg() const;
    %feature("docstring") has_seb_hk_pkt "Returns True if this scan has an associated SEB housekeeping packet, \nand False otherwise.";
    bool has_seb_hk_pkt() const;
    %feature("docstring") seb_is_emon_a "Someone who knows what this is should probably write this docstring.";
    std::vector<double> seb_is_emon_a() const;
    %feature("docstring") seb_is_emon_b "Someone who knows what this is should probably write this docstring.";
    std::vector<double> seb_is_emon_b() const;
    bool _seb_is_fil_a_on() const;
    bool _seb_is_fil_b_on() const;
    bool is_dark_count_scan() const;
    %feature("docstring") determine_scan_mode "For the sake of code clarity, you should probably use \nscan_mode_as_string() instead of this method.";
    int determine_scan_mode() const;
    %feature("docstring") scan_mode_as_string "Returns either 'EI', 'Dark', 'LDI', or 'Unknown'";
    std::string scan_mode_as_string() const;
    %feature("docstring") gc_ion_source "Returns true if ion source is from the GC";
    bool gc_ion_source() const;
    %feature("docstring") ldi_ion_source "Returns true if ion source is from LDI";
    bool ldi_ion_source() const;
    double selected_ion_count_sum_by_bin(int min_bin, int max_bin) const;
    double selected_ion_count_sum_by_mass(double min_mass, double max_mass) const;
    double selected_ion_count_max_by_bin(int min_bin, int max_bin) const;
    double selected_ion_count_max_by_mass(double min_mass, double max_mass) const;
    %feature("docstring") seb_sequence_pkt_indexes "Returns a list of the packet indexes of any SEB sequences associated \nwith this scan.";
    std::vector<int> seb_sequence_pkt_indexes() const;
    %feature("docstring") em_on_times_in_ms "Returns a list containing two items:\n\n    [EM A on time in milliseconds, EM B on time in milliseconds].";
    std::vector<double> em_on_times_in_ms() const;
    %feature("docstring") charge_control_duration "Returns the charge control duration for this scan";
    double charge_control_duration() const;
    %feature("docstring") laser_shots "Returns the number of laser shots for this scan";
    int laser_shots() const;
    double avg_laser_energy() const;
    %feature("docstring") sd_laser_energy "Returns the standard deviation of the laser energy for this scan";
    double sd_laser_energy() const;
};

// The defaults stay in C: the class takes its flags by position only and
// every other call gets the overload error, as the other overloaded classes.
%feature("python:cdefaultargs") ScienceDataCacheWrapper::ScienceDataCacheWrapper;
class ScienceDataCacheWrapper {
public:
    ScienceDataCacheWrapper(bool skip_zero_id_markers = false, bool averageSummedScans = false);
    %feature("docstring") size "Returns the number of scans in this cache.";
    int size() const;
    %feature("docstring") get_scan "Returns the scan at the specified index.";
    cvekutil::PythonStyleKoraScan get_scan(int scanIndex) const;
    %feature("docstring") has_gc_scans "Returns true if cache contains any GC scans.";
    bool has_gc_scans() const;
    %feature("docstring") has_ldi_scans "Returns true if cache contains any LDI scans.";
    bool has_ldi_scans() const;
};
}
