// vordakit._vorda: the analyses of vorda on numpy arrays, with the program's
// own scans and output code, and no file or process in between.

#include <fcntl.h>
#ifdef __SSE2__
#include <emmintrin.h>
#endif
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "analysis/analyses.hpp"
#include "analysis/shared_calendar.hpp"
#include "core/failure.hpp"
#include "core/records.hpp"
#include "core/store.hpp"
#include "core/threshold.hpp"
#include "input/decimal.hpp"
#include "input/series.hpp"
#include "input/source.hpp"
#include "output/format.hpp"
#include "output/result_files.hpp"
#include "plain_scan.hpp"

namespace py = pybind11;

namespace vorda {
namespace {

constexpr const char* kModuleDoc = R"doc(The analyses of vorda on numpy arrays.

The functions run the program's own scans on arrays and give exactly the
numbers that vorda writes into its result files: no file is read, no
process started. The series is given as five arrays of one length, as the
columns t, d, m, yr and x of a VORDA input file; t, d, m and yr may be
integer arrays or float arrays of whole numbers. x is float64, taken as it
is, or float32, each value taken as the decimal it prints as (the shortest
one that reads back as the same float32), read as vorda reads that text: a
float32 20.1 is the threshold 20.1, as in a station file.

``analyse(t, d, m, yr, x, type, threshold, min_duration)`` returns a dict:

- ``"events"``: a dict of arrays, one element per event in the order of
  the event file: ``"midpoint"`` (float64), ``"day"``, ``"month"``,
  ``"year"`` (of the record nearest the midpoint), ``"duration"`` (int32)
  and ``"action"`` (float64);
- per yearly index of the type, ``"ndays"`` and then ``"wsdi"`` and
  ``"sgs"`` (upper) or ``"csdi"`` and ``"lfd"`` (lower): a dict with
  ``"year"`` and ``"value"`` (int32), one element per line of that file,
  in file order, repeats and -999 included.

>>> import numpy as np
>>> from vordakit import _vorda
>>> t = np.arange(1, 9)
>>> d = np.array([28, 29, 30, 31, 1, 2, 3, 4])
>>> m = np.array([12, 12, 12, 12, 1, 1, 1, 1])
>>> yr = np.array([2000] * 4 + [2001] * 4)
>>> x = np.array([1.0, 5.5, 6.0, 2.0, 7.0, 8.0, 9.0, 1.0])
>>> r = _vorda.analyse(t, d, m, yr, x, "upper", 5.0, 2)
>>> sorted(r)
['events', 'ndays', 'sgs', 'wsdi']
>>> r["events"]["midpoint"], r["events"]["duration"]
(array([2.5, 6. ]), array([2, 3], dtype=int32))
>>> r["events"]["day"], r["events"]["year"], r["events"]["action"]
(array([30,  2], dtype=int32), array([2000, 2001], dtype=int32), array([1.5, 9. ]))
>>> r["ndays"]["year"], r["ndays"]["value"]
(array([2000, 2001], dtype=int32), array([2, 3], dtype=int32))
>>> r["wsdi"]["value"], r["sgs"]["value"]
(array([2, 3], dtype=int32), array([0, 0], dtype=int32))

``write_results(folder, input_name, t, d, m, yr, x, type, threshold,
min_duration)`` writes the result files of the same run into ``folder``,
byte for byte those of a dialogue run given ``input_name`` as the file name
(at most 80 bytes, no blank at either end, no slash or control character),
and returns what ``analyse`` returns. Like vorda, it writes in place:
files of the same name are replaced, and a failure (raised as ``OSError``)
may leave some of them written.

``analyse_cells(x, t, d, m, yr, type, threshold, min_duration, *, events=False)`` analyses
many series that share one calendar: x of shape (cells, days), float32 or
float64, any strides; t, d, m, yr of length days. It returns a dict of
arrays:

- ``"years"``: int32 (k,), the distinct years of yr, ascending;
- ``"invalid"``: bool (cells,), True where the cell holds a NaN; such a
  cell is not analysed, and every value of it is NaN;
- per yearly index of the type (``"ndays"``, ``"wsdi"`` or ``"csdi"``,
  ``"sgs"`` or ``"lfd"``): float64 (cells, k), the value on that year's
  line of the file (an SGS of 0 and an LFD of -999 kept as vorda writes
  them), NaN where the file has no line for the year. A line for a year
  outside ``"years"`` (-999) is dropped; where a file has two lines for a
  year, the last one counts.
- per cell and year, the events dated in that year (by the record nearest
  their midpoint), float64 (cells, k): ``"events"`` (their number),
  ``"event_days"`` (their durations summed), ``"action_sum"``,
  ``"action_max"`` (NaN in a year without events), ``"longest_event"``.

With ``events=True`` it also returns ``"event_list"``: every event of the
valid cells, cell by cell in the order of each cell's event file, as a dict
of arrays ``"cell"`` (int64, the cell's row in x), ``"year"``, ``"month"``,
``"day"``, ``"duration"`` (int32) and ``"action"`` (float64), as
``analyse`` gives them for each cell alone.

>>> c = _vorda.analyse_cells(np.stack([x, x - 4.0, x + np.nan]), t, d, m, yr, "upper", 5.0, 2)
>>> c["years"], c["invalid"]
(array([2000, 2001], dtype=int32), array([False, False,  True]))
>>> c["ndays"]
array([[ 2.,  3.],
       [ 0.,  0.],
       [nan, nan]])
>>> c["events"][0], c["action_max"][0], c["longest_event"][0]
(array([1., 1.]), array([1.5, 9. ]), array([2., 3.]))
>>> e = _vorda.analyse_cells(np.stack([x, x - 4.0]), t, d, m, yr, "upper", 5.0, 2, events=True)["event_list"]
>>> e["cell"], e["year"], e["duration"], e["action"]
(array([0, 0]), array([2000, 2001], dtype=int32), array([2, 3], dtype=int32), array([1.5, 9. ]))

``celsius_of_kelvin(x)`` takes values in K, x of shape (cells, days),
float32 or float64, any strides, and returns (values, others): float64
(cells, days) in C order, each value that holds two decimals of its own (its
hundredths, as a double, read back as the value, and it is below 2**19 / 100
for float32, 2**48 / 100 for float64) as its hundredths less 27315 over 100,
NaN as NaN; ``others`` (int64) the indices into the flattened values of the
rest, whose values are to be found otherwise.

>>> v, others = _vorda.celsius_of_kelvin(np.array([[293.25, 300.0001, np.nan]], np.float32))
>>> v[0, 0], others
(20.1, array([1]))

``read_series(path, size)`` reads the first ``size`` records of a VORDA
input file with vorda's own reader and returns the columns as a dict of
arrays ``"t"``, ``"d"``, ``"m"``, ``"yr"`` (int32) and ``"x"`` (float64);
where vorda would end with a runtime error, it raises ``Failure`` (an
``OSError``) whose text is vorda's two-line report.

``scan_plain(data)`` reads the bytes of a VORDA input in the plain layout
the toolkit writes (single blanks, an LF after every line) and returns a
dict of ``"t"``, ``"d"``, ``"m"``, ``"yr"`` (int64), ``"x"`` (float64) and
``"decimals"``; None for anything else, which the toolkit's careful reader
then reads line by line:

>>> c = _vorda.scan_plain(b"1 31 12 1999 -1.5\n2 1 1 2000 .25\n")
>>> c["t"], c["x"], c["decimals"]
(array([1, 2]), array([-1.5 ,  0.25]), 2)
>>> _vorda.scan_plain(b"1 31 12 1999 -1.5\r\n") is None
True

``fixed(values, width, decimals)`` gives the texts of the values in the
field ``fwidth.decimals`` of vorda's result files (``f0.1`` with width 0),
asterisks where a value does not fit:

>>> _vorda.fixed([2.0625, -1234567.5, 18.0], 11, 3)
['      2.063', '***********', '     18.000']
>>> _vorda.fixed([18.0, 0.25, -0.04], 0, 1)
['18.0', '.3', '-.0']

The functions release the GIL while they compute, so that threads can
analyse cells in parallel. Bad arguments raise TypeError (a dtype or a
type that cannot be a column) or ValueError (arrays of different lengths,
more than 100000 days, a NaN in the series of ``analyse``, an unknown
threshold type, a minimum duration outside 32 bits).
)doc";

// ---------------------------------------------------------------- arguments

// A float32 as the decimal it prints as, read as vorda reads that text.
class Float32Decimals {
 public:
  Float32Decimals() {
    keys_.fill(kEmpty);
    values_.fill(0.0);
  }

  double operator()(float f) {
    const std::uint32_t bits = std::bit_cast<std::uint32_t>(f);
    const std::size_t slot = (bits * 2654435761u) >> (32 - kSlotBits);
    if (keys_[slot] == bits) return values_[slot];
    const double v = convert(f);
    keys_[slot] = bits;
    values_[slot] = v;
    return v;
  }

 private:
  static constexpr int kSlotBits = 12;
  static constexpr std::uint32_t kEmpty = 0x7fc00001u;  // a NaN: never converted

  double convert(float f) {
    if (std::isinf(f)) return static_cast<double>(f);
    char text[48];
    const char* end = std::to_chars(text, text + sizeof text, f).ptr;
    const char* p = text;
    const bool negative = *p == '-';
    if (negative) ++p;
    digits_.clear();
    for (; p < end && *p >= '0' && *p <= '9'; ++p) digits_.add_integer_digit(*p);
    if (p < end && *p == '.')
      for (++p; p < end && *p >= '0' && *p <= '9'; ++p) digits_.add_fraction_digit(*p);
    std::int64_t power = 0;
    if (p < end && *p == 'e') {
      int exponent = 0;
      if (p[1] == '+') ++p;
      std::from_chars(p + 1, end, exponent);
      power = exponent;
    }
    return digits_.value(negative, power);
  }

  std::array<std::uint32_t, std::size_t{1} << kSlotBits> keys_;
  std::array<double, std::size_t{1} << kSlotBits> values_;
  RealText digits_;
};

ThresholdType parse_type(const std::string& text) {
  if (text == "upper" || text == "u") return ThresholdType::Upper;
  if (text == "lower" || text == "l") return ThresholdType::Lower;
  throw py::value_error("type must be \"upper\" or \"lower\", not '" + text + "'");
}

Threshold parse_threshold(const std::string& type, py::handle threshold, py::handle min_duration) {
  Threshold th;
  th.type = parse_type(type);
  if (PyBool_Check(threshold.ptr()) ||
      !(PyFloat_Check(threshold.ptr()) || PyLong_Check(threshold.ptr()) ||
        py::isinstance(threshold, py::module_::import("numpy").attr("number")))) {
    throw py::type_error("threshold must be a real number, not " +
                         std::string(py::str(threshold.get_type().attr("__name__"))));
  }
  th.thres = py::cast<double>(py::float_(py::reinterpret_borrow<py::object>(threshold)));
  if (std::isnan(th.thres)) throw py::value_error("threshold is NaN");
  py::object index;
  if (PyBool_Check(min_duration.ptr()) || PyFloat_Check(min_duration.ptr())) {
    throw py::type_error("min_duration must be a whole number, not " +
                         std::string(py::str(min_duration.get_type().attr("__name__"))));
  }
  try {
    index = py::reinterpret_steal<py::object>(PyNumber_Index(min_duration.ptr()));
    if (!index) throw py::error_already_set();
  } catch (const py::error_already_set&) {
    throw py::type_error("min_duration must be a whole number, not " +
                         std::string(py::str(min_duration.get_type().attr("__name__"))));
  }
  int overflow = 0;
  const long long durmin = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
  if (overflow != 0 || durmin < std::numeric_limits<std::int32_t>::min() ||
      durmin > std::numeric_limits<std::int32_t>::max()) {
    throw py::value_error("min_duration " + std::string(py::str(index)) + " does not fit in 32 bits");
  }
  th.durmin = static_cast<std::int32_t>(durmin);
  return th;
}

py::array as_array(py::handle obj, const char* name) {
  py::array a = py::array::ensure(obj);
  if (!a) throw py::type_error(std::string(name) + " is not an array");
  return a;
}

// Calls f(element pointer cast to T) for every element of a 1-D or 2-D array's
// row, with any strides.
template <typename T, typename F>
void each(const char* base, py::ssize_t count, py::ssize_t stride, F&& f) {
  for (py::ssize_t i = 0; i < count; ++i) {
    T v;
    std::memcpy(&v, base + i * stride, sizeof v);
    f(i, v);
  }
}

template <typename F>
void each_number(const py::array& a, const char* name, const char* base, py::ssize_t count,
                 py::ssize_t stride, F&& f) {
  const char kind = a.dtype().kind();
  const auto size = a.itemsize();
  if (kind == 'i') {
    if (size == 1) return each<std::int8_t>(base, count, stride, f);
    if (size == 2) return each<std::int16_t>(base, count, stride, f);
    if (size == 4) return each<std::int32_t>(base, count, stride, f);
    if (size == 8) return each<std::int64_t>(base, count, stride, f);
  } else if (kind == 'u') {
    if (size == 1) return each<std::uint8_t>(base, count, stride, f);
    if (size == 2) return each<std::uint16_t>(base, count, stride, f);
    if (size == 4) return each<std::uint32_t>(base, count, stride, f);
    if (size == 8) return each<std::uint64_t>(base, count, stride, f);
  } else if (kind == 'f') {
    if (size == 4) return each<float>(base, count, stride, f);
    if (size == 8) return each<double>(base, count, stride, f);
  }
  throw py::type_error(std::string(name) + " has dtype " + std::string(py::str(a.dtype())) +
                       "; it must hold integers or floats");
}

// A calendar column as the store holds it: int32, slot 0 unused.
std::vector<std::int32_t> calendar_column(py::handle obj, const char* name) {
  const py::array a = as_array(obj, name);
  if (a.ndim() != 1) throw py::value_error(std::string(name) + " must be one-dimensional");
  std::vector<std::int32_t> column(static_cast<std::size_t>(a.shape(0)) + 1, kUnset);
  each_number(
      a, name, static_cast<const char*>(a.data()), a.shape(0), a.strides(0), [&](py::ssize_t i, auto v) {
        bool fits;
        if constexpr (std::is_floating_point_v<decltype(v)>) {
          fits = v >= -2147483648.0 && v <= 2147483647.0 && std::trunc(v) == v;
        } else {
          fits = std::in_range<std::int32_t>(v);
        }
        if (!fits) {
          throw py::value_error(std::string(name) + "[" + std::to_string(i) + "] = " +
                                std::string(py::str(py::cast(v))) + " is not a whole number in 32 bits");
        }
        column[static_cast<std::size_t>(i) + 1] = static_cast<std::int32_t>(v);
      });
  return column;
}

void check_values_dtype(const py::array& x) {
  const char kind = x.dtype().kind();
  if (kind != 'f' || (x.itemsize() != 4 && x.itemsize() != 8)) {
    throw py::type_error("x has dtype " + std::string(py::str(x.dtype())) +
                         "; it must be float32 or float64");
  }
}

void check_days(py::ssize_t days) {
  if (days > NMAX) {
    throw py::value_error("a series of " + std::to_string(days) + " days is longer than the " +
                          std::to_string(NMAX) + " days vorda takes");
  }
}

// The calendar shared by every series of a call.
struct Calendar {
  std::vector<std::int32_t> t, d, m, yr;

  Calendar(py::handle t_, py::handle d_, py::handle m_, py::handle yr_, py::ssize_t days)
      : t(calendar_column(t_, "t")),
        d(calendar_column(d_, "d")),
        m(calendar_column(m_, "m")),
        yr(calendar_column(yr_, "yr")) {
    const py::ssize_t sizes[] = {days, size(t), size(d), size(m), size(yr)};
    if (std::any_of(std::begin(sizes), std::end(sizes), [&](py::ssize_t s) { return s != days; })) {
      throw py::value_error("x, t, d, m and yr must have the same number of days, not " +
                            std::to_string(days) + ", " + std::to_string(size(t)) + ", " +
                            std::to_string(size(d)) + ", " + std::to_string(size(m)) + " and " +
                            std::to_string(size(yr)));
    }
    check_days(days);
  }

  static py::ssize_t size(const std::vector<std::int32_t>& column) {
    return static_cast<py::ssize_t>(column.size()) - 1;
  }

  SeriesView view(const std::vector<double>& x) const {
    return SeriesView(static_cast<std::int32_t>(x.size()) - 1, t, d, m, yr, x);
  }
};

// One row of x as doubles, slot 0 unused; false when it holds a NaN, with
// its index in `nan_at`.
bool read_row(const py::array& x, const char* base, py::ssize_t days, py::ssize_t stride,
              Float32Decimals& decimals, std::vector<double>& row, py::ssize_t& nan_at) {
  row.resize(static_cast<std::size_t>(days) + 1);
  row[0] = -999.0;
  double* out = row.data() + 1;
  if (x.itemsize() == 4) {
    for (py::ssize_t i = 0; i < days; ++i) {
      float v;
      std::memcpy(&v, base + i * stride, sizeof v);
      if (std::isnan(v)) {
        nan_at = i;
        return false;
      }
      out[i] = decimals(v);
    }
  } else {
    for (py::ssize_t i = 0; i < days; ++i) {
      double v;
      std::memcpy(&v, base + i * stride, sizeof v);
      if (std::isnan(v)) {
        nan_at = i;
        return false;
      }
      out[i] = v;
    }
  }
  return true;
}

// ------------------------------------------------------------------ writers

struct EventList : EventWriter {
  std::vector<Event> events;
  void write(const Event& e) override { events.push_back(e); }
};

struct YearList : YearWriter {
  std::vector<std::int32_t> years, values;
  void write(std::int32_t year, std::int32_t value) override {
    years.push_back(year);
    values.push_back(value);
  }
};

struct EventTee : EventWriter {
  EventWriter& a;
  EventWriter& b;
  EventTee(EventWriter& a_, EventWriter& b_) : a(a_), b(b_) {}
  void write(const Event& e) override {
    a.write(e);
    b.write(e);
  }
};

struct YearTee : YearWriter {
  YearWriter& a;
  YearWriter& b;
  YearTee(YearWriter& a_, YearWriter& b_) : a(a_), b(b_) {}
  void write(std::int32_t year, std::int32_t value) override {
    a.write(year, value);
    b.write(year, value);
  }
};

// The records of one series.
struct Records {
  EventList events;
  YearList days, spells, season;
};

template <typename T>
py::array_t<T> to_numpy(const std::vector<T>& v) {
  py::array_t<T> a(static_cast<py::ssize_t>(v.size()));
  std::copy(v.begin(), v.end(), a.mutable_data());
  return a;
}

py::dict to_python(const Records& r, ThresholdType type) {
  const auto& ev = r.events.events;
  const auto column = [&](auto member) {
    using T = std::remove_cvref_t<decltype(ev[0].*member)>;
    std::vector<T> values;
    values.reserve(ev.size());
    for (const Event& e : ev) values.push_back(e.*member);
    return to_numpy(values);
  };
  py::dict events;
  events["midpoint"] = column(&Event::mid);
  events["day"] = column(&Event::d);
  events["month"] = column(&Event::m);
  events["year"] = column(&Event::yr);
  events["duration"] = column(&Event::dur);
  events["action"] = column(&Event::a);
  const auto yearly = [](const YearList& list) {
    py::dict d;
    d["year"] = to_numpy(list.years);
    d["value"] = to_numpy(list.values);
    return d;
  };
  py::dict out;
  out["events"] = events;
  out["ndays"] = yearly(r.days);
  const bool upper = type == ThresholdType::Upper;
  out[upper ? "wsdi" : "csdi"] = yearly(r.spells);
  out[upper ? "sgs" : "lfd"] = yearly(r.season);
  return out;
}

// The one series of analyse() and write_results(), checked.
struct OneSeries {
  Calendar calendar;
  std::vector<double> x;
  Threshold threshold;

  OneSeries(py::handle t, py::handle d, py::handle m, py::handle yr, py::handle x_obj,
            const std::string& type, py::handle thres, py::handle durmin)
      : calendar(t, d, m, yr, days_of(x_obj)), threshold(parse_threshold(type, thres, durmin)) {
    const py::array xa = as_array(x_obj, "x");
    Float32Decimals decimals;
    py::ssize_t nan_at = 0;
    if (!read_row(xa, static_cast<const char*>(xa.data()), xa.shape(0), xa.strides(0), decimals, x, nan_at)) {
      const auto k = static_cast<std::size_t>(nan_at) + 1;
      throw py::value_error("x[" + std::to_string(nan_at) + "] is NaN (t " + std::to_string(calendar.t[k]) +
                            ", " + std::to_string(calendar.yr[k]) + "-" + std::to_string(calendar.m[k]) +
                            "-" + std::to_string(calendar.d[k]) + "); vorda takes no missing values");
    }
  }

  static py::ssize_t days_of(py::handle x_obj) {
    const py::array xa = as_array(x_obj, "x");
    check_values_dtype(xa);
    if (xa.ndim() != 1) throw py::value_error("x must be one-dimensional");
    return xa.shape(0);
  }
};

py::dict py_analyse(py::handle t, py::handle d, py::handle m, py::handle yr, py::handle x,
                    const std::string& type, py::handle threshold, py::handle min_duration) {
  const OneSeries s(t, d, m, yr, x, type, threshold, min_duration);
  Records r;
  {
    py::gil_scoped_release release;
    analyse(s.calendar.view(s.x), s.threshold, r.events, r.days, r.spells, r.season);
  }
  return to_python(r, s.threshold.type);
}

void check_input_name(const std::string& name) {
  const bool control = std::any_of(name.begin(), name.end(),
                                   [](char c) { return static_cast<unsigned char>(c) < 32 || c == 127; });
  if (name.empty() || name.size() > 80 || control || name.find('/') != std::string::npos ||
      name.front() == ' ' || name.back() == ' ' || name == "." || name == "..") {
    throw py::value_error("input_name '" + name +
                          "' is not a file name vorda can be given: 1 to 80 bytes, no slash, no control "
                          "character, no blank at either end");
  }
}

py::dict py_write_results(const std::string& folder, const std::string& input_name, py::handle t,
                          py::handle d, py::handle m, py::handle yr, py::handle x, const std::string& type,
                          py::handle threshold, py::handle min_duration) {
  check_input_name(input_name);
  const OneSeries s(t, d, m, yr, x, type, threshold, min_duration);
  Records r;
  std::optional<RuntimeFailure> failure;
  int errnum = 0;
  {
    py::gil_scoped_release release;
    const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) {
      errnum = errno;
    } else {
      try {
        ResultFiles files(input_name, s.threshold, dir);
        EventTee events(files.events(), r.events);
        YearTee days(files.days(), r.days);
        YearTee spells(files.spells(), r.spells);
        YearTee season(files.season(), r.season);
        analyse(s.calendar.view(s.x), s.threshold, events, days, spells, season);
        files.close();
      } catch (const RuntimeFailure& f) {
        failure.emplace(f);
      }
      ::close(dir);
    }
  }
  if (errnum != 0) {
    errno = errnum;
    PyErr_SetFromErrnoWithFilename(PyExc_OSError, folder.c_str());
    throw py::error_already_set();
  }
  if (failure) {
    PyErr_SetString(PyExc_OSError, (folder + ": " + failure->reason()).c_str());
    throw py::error_already_set();
  }
  return to_python(r, s.threshold.type);
}

py::object failure_type;

py::dict py_read_series(const std::string& path, std::int64_t size) {
  if (size < 0 || size > NMAX) {
    throw py::value_error("size " + std::to_string(size) + " is outside 0 to " + std::to_string(NMAX));
  }
  Series series;
  series.n = static_cast<std::int32_t>(size);
  std::optional<RuntimeFailure> failure;
  {
    py::gil_scoped_release release;
    try {
      Source data = open_input(path);
      load_series(data, series);
    } catch (const RuntimeFailure& f) {
      failure.emplace(f);
    }
  }
  if (failure) {
    PyErr_SetString(failure_type.ptr(), failure->report().c_str());
    throw py::error_already_set();
  }
  const auto n = static_cast<std::size_t>(size);
  const auto column = [&](auto values) {
    return to_numpy(std::vector(values.begin() + 1, values.begin() + 1 + n));
  };
  py::dict out;
  out["t"] = column(series.t);
  out["d"] = column(series.d);
  out["m"] = column(series.m);
  out["yr"] = column(series.yr);
  out["x"] = column(series.x);
  return out;
}

py::object py_scan_plain(py::buffer data) {
  const py::buffer_info info = data.request();
  if (info.ndim != 1 || info.itemsize != 1 || info.strides[0] != 1) {
    throw py::type_error("scan_plain takes contiguous bytes");
  }
  const std::string_view text(static_cast<const char*>(info.ptr), static_cast<std::size_t>(info.size));
  // The columns are the arrays returned, filled in place: no copy, no second set of fresh pages.
  const auto n = static_cast<py::ssize_t>(plain_lines(text));
  py::array_t<std::int64_t> t(n), d(n), m(n), yr(n);
  py::array_t<double> x(n);
  const PlainColumns out{t.mutable_data(),  d.mutable_data(), m.mutable_data(),
                         yr.mutable_data(), x.mutable_data(), static_cast<std::size_t>(n)};
  std::optional<int> decimals;
  {
    py::gil_scoped_release release;
    decimals = scan_plain(text, out);
  }
  if (!decimals) return py::none();
  py::dict columns;
  columns["t"] = t;
  columns["d"] = d;
  columns["m"] = m;
  columns["yr"] = yr;
  columns["x"] = x;
  columns["decimals"] = *decimals;
  return columns;
}

py::list py_fixed(const std::vector<double>& values, int width, int decimals) {
  if (width < 0 || width > 32 || decimals < 0 || decimals > 30 || (width > 0 && decimals >= width)) {
    throw py::value_error("no field f" + std::to_string(width) + "." + std::to_string(decimals));
  }
  py::list out;
  std::string text;
  for (double v : values) {
    text.clear();
    render_fixed(text, v, width, decimals);
    out.append(py::str(text));
  }
  return out;
}

// ------------------------------------------------------------------- cells

// Which float32 values pass: their decimals rise with them, so those that
// pass are the ones from a boundary up (upper) or down (lower).
class Float32Passes {
 public:
  Float32Passes(const Threshold& th, Float32Decimals& decimals) : upper_(th.type == ThresholdType::Upper) {
    // Search the floats in their order, -inf to +inf, as unsigned keys.
    const auto passes_at = [&](std::uint32_t key) {
      return passes(th.type, decimals(float_of(key)), th.thres);
    };
    std::uint32_t lo = key_of(-std::numeric_limits<float>::infinity());
    std::uint32_t hi = key_of(std::numeric_limits<float>::infinity());
    if (upper_) {
      none_ = !passes_at(hi);
      while (lo < hi) {  // the first key that passes
        const std::uint32_t mid = lo + (hi - lo) / 2;
        if (passes_at(mid))
          hi = mid;
        else
          lo = mid + 1;
      }
      bound_ = float_of(lo);
    } else {
      none_ = !passes_at(lo);
      while (lo < hi) {  // the last key that passes
        const std::uint32_t mid = lo + (hi - lo + 1) / 2;
        if (passes_at(mid))
          lo = mid;
        else
          hi = mid - 1;
      }
      bound_ = float_of(lo);
    }
  }

  bool operator()(float f) const { return !none_ && (upper_ ? f >= bound_ : f <= bound_); }
  bool none() const { return none_; }
  float bound() const { return bound_; }

 private:
  static std::uint32_t key_of(float f) {
    const auto b = std::bit_cast<std::uint32_t>(f);
    return (b & 0x8000'0000u) ? ~b : b | 0x8000'0000u;
  }
  static float float_of(std::uint32_t key) {
    return std::bit_cast<float>((key & 0x8000'0000u) ? key & 0x7fff'ffffu : ~key);
  }

  bool upper_;
  bool none_ = false;
  float bound_ = 0;
};

// The pass bits of 64 days at once where the row is contiguous: four floats
// (two doubles) compared at a time, their signs gathered into bits.
#ifdef __SSE2__
template <typename T>
std::uint64_t pass_word(const T* v, bool upper, T bound, bool& nan) {
  std::uint64_t word = 0;
  if constexpr (std::is_same_v<T, float>) {
    const __m128 b = _mm_set1_ps(bound);
    int unordered = 0;
    for (int i = 0; i < 64; i += 4) {
      const __m128 x = _mm_loadu_ps(v + i);
      const __m128 pass = upper ? _mm_cmpge_ps(x, b) : _mm_cmple_ps(x, b);
      word |= static_cast<std::uint64_t>(_mm_movemask_ps(pass)) << i;
      unordered |= _mm_movemask_ps(_mm_cmpunord_ps(x, x));
    }
    nan |= unordered != 0;
  } else {
    const __m128d b = _mm_set1_pd(bound);
    int unordered = 0;
    for (int i = 0; i < 64; i += 2) {
      const __m128d x = _mm_loadu_pd(v + i);
      const __m128d pass = upper ? _mm_cmpgt_pd(x, b) : _mm_cmplt_pd(x, b);
      word |= static_cast<std::uint64_t>(_mm_movemask_pd(pass)) << i;
      unordered |= _mm_movemask_pd(_mm_cmpunord_pd(x, x));
    }
    nan |= unordered != 0;
  }
  return word;
}
#endif

// One cell's row: the bits of its passing days, and the values of those days
// (slot 0 unused; the other days' values are left as they are). False when the row holds a NaN. A day passes
// where `pass` says; for float32 rows that is v >= bound (upper) or v <= bound (lower), for float64 rows v >
// bound or v < bound.
template <typename T, typename Passes>
bool read_cell(const char* base, std::int32_t days, py::ssize_t stride, const Passes& pass, bool upper,
               T bound, bool none, PassBits& bits, std::vector<double>& x, Float32Decimals& decimals) {
  bits.assign((static_cast<std::size_t>(days) >> 6) + 1, 0);
  x.resize(static_cast<std::size_t>(days) + 1);
  bool nan = false;
  std::int32_t k = 1;
#ifdef __SSE2__
  if (stride == sizeof(T) && !none) {
    // Day k is bit k: the words after the first take days 64w .. 64w + 63.
    const T* v = reinterpret_cast<const T*>(base) - 1;  // v[k] is day k
    for (; k < 64 && k <= days; ++k) {
      nan |= v[k] != v[k];
      bits[0] |= std::uint64_t{pass(v[k])} << k;
    }
    for (; k + 63 <= days; k += 64)
      bits[static_cast<std::size_t>(k) >> 6] = pass_word(v + k, upper, bound, nan);
  }
#endif
  for (; k <= days; ++k) {
    T v;
    std::memcpy(&v, base + (k - 1) * stride, sizeof v);
    nan |= v != v;
    bits[static_cast<std::size_t>(k) >> 6] |= std::uint64_t{pass(v)} << (k & 63);
  }
  if (nan) return false;
  // Only the values of passing days are read; float32 ones are turned into their decimals.
  for (std::size_t w = 0; w < bits.size(); ++w) {
    for (std::uint64_t word = bits[w]; word != 0; word &= word - 1) {
      k = static_cast<std::int32_t>((w << 6) + static_cast<std::size_t>(std::countr_zero(word)));
      T v;
      std::memcpy(&v, base + (k - 1) * stride, sizeof v);
      if constexpr (std::is_same_v<T, float>) {
        x[static_cast<std::size_t>(k)] = decimals(v);
      } else {
        x[static_cast<std::size_t>(k)] = v;
      }
    }
  }
  return true;
}

// Where a year's values go: its column among the distinct years.
class YearColumns {
 public:
  explicit YearColumns(const std::vector<std::int32_t>& yr) : years_(yr.begin() + 1, yr.end()) {
    std::sort(years_.begin(), years_.end());
    years_.erase(std::unique(years_.begin(), years_.end()), years_.end());
  }
  const std::vector<std::int32_t>& years() const { return years_; }
  // The column of `year`, or -1 when it is none of the years.
  std::ptrdiff_t of(std::int32_t year) const {
    const auto it = std::lower_bound(years_.begin(), years_.end(), year);
    return it != years_.end() && *it == year ? it - years_.begin() : -1;
  }

 private:
  std::vector<std::int32_t> years_;
};

// Writes each year's value into its column of one cell's row.
struct RowWriter : YearWriter {
  const YearColumns& columns;
  double* row = nullptr;
  explicit RowWriter(const YearColumns& c) : columns(c) {}
  void write(std::int32_t year, std::int32_t value) override {
    const std::ptrdiff_t k = columns.of(year);
    if (k >= 0) row[k] = value;
  }
};

// The events of many cells, a column each, as analyse_cells(events=True) gives them.
struct CellEvents {
  std::vector<std::int64_t> cell;
  std::vector<std::int32_t> year, month, day, duration;
  std::vector<double> action;

  void add(std::int64_t c, const Event& e) {
    cell.push_back(c);
    year.push_back(e.yr);
    month.push_back(e.m);
    day.push_back(e.d);
    duration.push_back(e.dur);
    action.push_back(e.a);
  }
};

// Sums up one cell's events per year of their date (and lists them, where asked to).
struct EventSummary : EventWriter {
  const YearColumns& columns;
  double *count = nullptr, *days = nullptr, *sum = nullptr, *max = nullptr, *longest = nullptr;
  CellEvents* list = nullptr;
  std::int64_t cell = 0;
  explicit EventSummary(const YearColumns& c) : columns(c) {}
  void write(const Event& e) override {
    if (list != nullptr) list->add(cell, e);
    const std::ptrdiff_t k = columns.of(e.yr);
    if (k < 0) return;
    count[k] += 1;
    days[k] += e.dur;
    sum[k] += e.a;
    max[k] = std::isnan(max[k]) ? e.a : std::max(max[k], e.a);
    longest[k] = std::max(longest[k], static_cast<double>(e.dur));
  }
};

py::dict py_analyse_cells(py::handle x_obj, py::handle t, py::handle d, py::handle m, py::handle yr,
                          const std::string& type, py::handle threshold, py::handle min_duration,
                          bool with_events) {
  const py::array x = as_array(x_obj, "x");
  check_values_dtype(x);
  if (x.ndim() != 2) throw py::value_error("x must be two-dimensional: cells by days");
  const py::ssize_t cells = x.shape(0);
  const py::ssize_t days = x.shape(1);
  const Calendar calendar(t, d, m, yr, days);
  const Threshold th = parse_threshold(type, threshold, min_duration);
  const YearColumns columns(calendar.yr);
  const auto k = static_cast<py::ssize_t>(columns.years().size());

  const bool upper = th.type == ThresholdType::Upper;
  const char* names[] = {
      "ndays",      upper ? "wsdi" : "csdi", upper ? "sgs" : "lfd", "events", "event_days", "action_sum",
      "action_max", "longest_event"};
  constexpr std::size_t kOutputs = std::size(names);
  std::array<py::array_t<double>, kOutputs> outputs;
  std::array<double*, kOutputs> out{};
  for (std::size_t i = 0; i < kOutputs; ++i) {
    outputs[i] = py::array_t<double>({cells, k});
    out[i] = outputs[i].mutable_data();
  }
  py::array_t<bool> invalid(cells);
  bool* invalid_out = invalid.mutable_data();
  const auto* base = static_cast<const char*>(x.data());
  const py::ssize_t row_stride = x.strides(0);
  const py::ssize_t day_stride = x.strides(1);
  CellEvents listed;
  {
    py::gil_scoped_release release;
    constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
    const auto n = static_cast<std::int32_t>(days);
    std::vector<double> row(static_cast<std::size_t>(n) + 1, -999.0);  // a cell's values, slot 0 unused
    SharedCalendar shared(SeriesView(n, calendar.t, calendar.d, calendar.m, calendar.yr, row), th);
    Float32Decimals decimals;
    const Float32Passes f32_passes(th, decimals);
    const auto f64_passes = [&](double v) { return passes(th.type, v, th.thres); };
    PassBits bits;
    RowWriter ndays(columns), spells(columns), season(columns);
    EventSummary summary(columns);
    if (with_events) summary.list = &listed;
    for (py::ssize_t c = 0; c < cells; ++c) {
      const py::ssize_t at = c * k;
      const char* cell = base + c * row_stride;
      const bool upper = th.type == ThresholdType::Upper;
      const bool valid = x.itemsize() == 4
                             ? read_cell<float>(cell, n, day_stride, f32_passes, upper, f32_passes.bound(),
                                                f32_passes.none(), bits, row, decimals)
                             : read_cell<double>(cell, n, day_stride, f64_passes, upper, th.thres, false,
                                                 bits, row, decimals);
      invalid_out[c] = !valid;
      for (std::size_t i = 0; i < kOutputs; ++i) {
        const bool counted = valid && i >= 3 && names[i] != std::string_view("action_max");
        std::fill(out[i] + at, out[i] + at + k, counted ? 0.0 : kNaN);
      }
      if (!valid) continue;
      ndays.row = out[0] + at;
      spells.row = out[1] + at;
      season.row = out[2] + at;
      summary.count = out[3] + at;
      summary.days = out[4] + at;
      summary.sum = out[5] + at;
      summary.max = out[6] + at;
      summary.longest = out[7] + at;
      summary.cell = c;
      shared.analyse(bits, row, summary, ndays, spells, season);
    }
  }
  py::dict result;
  result["years"] = to_numpy(columns.years());
  result["invalid"] = invalid;
  for (std::size_t i = 0; i < kOutputs; ++i) result[names[i]] = outputs[i];
  if (with_events) {
    py::dict list;
    list["cell"] = to_numpy(listed.cell);
    list["year"] = to_numpy(listed.year);
    list["month"] = to_numpy(listed.month);
    list["day"] = to_numpy(listed.day);
    list["duration"] = to_numpy(listed.duration);
    list["action"] = to_numpy(listed.action);
    result["event_list"] = list;
  }
  return result;
}

// Values in K as degC, those that hold two decimals of their own: (k - 27315) / 100 of their
// hundredths k. A value holds them where its hundredths, as a double, read back as the value
// itself and it is small enough for a step of 0.01 to span many of its own steps; the others
// are left for the caller, by their index in the result.
template <typename T>
void celsius_rows(const char* base, py::ssize_t cells, py::ssize_t days, py::ssize_t row_stride,
                  py::ssize_t day_stride, double* out, std::vector<std::int64_t>& others) {
  const double bound = std::ldexp(1.0, std::numeric_limits<T>::digits - 5) / 100.0;
  // A stretch of days at a time, for every cell: from a file holding time first, the stretch's
  // values stay in the cache while each cell's row of it is written. Rows already in order go whole.
  const py::ssize_t stretch = day_stride == sizeof(T) ? std::max<py::ssize_t>(days, 1) : 128;
  for (py::ssize_t d0 = 0; d0 < days; d0 += stretch) {
    const py::ssize_t d1 = std::min(days, d0 + stretch);
    for (py::ssize_t c = 0; c < cells; ++c) {
      const char* row = base + c * row_stride;
      for (py::ssize_t day = d0; day < d1; ++day) {
        T v;
        std::memcpy(&v, row + day * day_stride, sizeof v);
        const double wide = v;
        // Rounded to the nearest whole number, ties to even, as rint does (the library's call costs
        // more than the rest of the pass); exact below 2**51, and larger values are beyond the bound.
        constexpr double kWhole = 0x1.8p52;
        const double hundredths = (wide * 100.0 + kWhole) - kWhole;
        const py::ssize_t at = c * days + day;
        out[at] = (hundredths - 27315.0) / 100.0;
        if (!(static_cast<T>(hundredths / 100.0) == v && std::fabs(wide) < bound) && v == v) {
          others.push_back(at);
        }
      }
    }
  }
}

py::tuple py_celsius_of_kelvin(py::handle x_obj) {
  const py::array x = as_array(x_obj, "x");
  check_values_dtype(x);
  if (x.ndim() != 2) throw py::value_error("x must be two-dimensional: cells by days");
  const py::ssize_t cells = x.shape(0);
  const py::ssize_t days = x.shape(1);
  py::array_t<double> out({cells, days});
  double* values = out.mutable_data();
  std::vector<std::int64_t> others;
  {
    py::gil_scoped_release release;
    const auto* base = static_cast<const char*>(x.data());
    if (x.itemsize() == 4) {
      celsius_rows<float>(base, cells, days, x.strides(0), x.strides(1), values, others);
    } else {
      celsius_rows<double>(base, cells, days, x.strides(0), x.strides(1), values, others);
    }
  }
  return py::make_tuple(out, to_numpy(others));
}

}  // namespace
}  // namespace vorda

PYBIND11_MODULE(_vorda, module) {
  using namespace pybind11::literals;
  module.doc() = vorda::kModuleDoc;
  module.attr("NMAX") = vorda::NMAX;
  vorda::failure_type = py::reinterpret_steal<py::object>(PyErr_NewExceptionWithDoc(
      "vordakit._vorda.Failure", "What vorda reports as a runtime error.", PyExc_OSError, nullptr));
  module.attr("Failure") = vorda::failure_type;
  module.def("read_series", &vorda::py_read_series, "path"_a, "size"_a,
             "The first size records of a VORDA input file, read by vorda's reader.");
  module.def("scan_plain", &vorda::py_scan_plain, "data"_a,
             "The columns of a VORDA input's bytes in the plain layout, or None.");
  module.def("fixed", &vorda::py_fixed, "values"_a, "width"_a, "decimals"_a,
             "Texts of values in the fixed-point field of vorda's result files.");
  module.def("analyse", &vorda::py_analyse, "t"_a, "d"_a, "m"_a, "yr"_a, "x"_a, "type"_a, "threshold"_a,
             "min_duration"_a,
             "The events and yearly indices of one series; see the module's documentation.");
  module.def("write_results", &vorda::py_write_results, "folder"_a, "input_name"_a, "t"_a, "d"_a, "m"_a,
             "yr"_a, "x"_a, "type"_a, "threshold"_a, "min_duration"_a,
             "Writes vorda's result files of one series into folder; returns what analyse returns.");
  module.def("analyse_cells", &vorda::py_analyse_cells, "x"_a, "t"_a, "d"_a, "m"_a, "yr"_a, "type"_a,
             "threshold"_a, "min_duration"_a, py::kw_only(), "events"_a = false,
             "Yearly indices and event summaries of many series on one calendar.");
  module.def("celsius_of_kelvin", &vorda::py_celsius_of_kelvin, "x"_a,
             "Values in K as degC where they hold two decimals, and the indices of the others.");
}
