// quelva: the CPython extension module over the brenmor transfer-matrix engine.
//
// Two classes: DataPy (a stack description built from NumPy arrays, with
// simulate()) and Simulation (the reflectance and transmittance spectra of one
// simulate() call). NumPy's C array interface is loaded at the first DataPy
// construction, never at import.
//
// Conventions of this file:
//  * Every PyObject reference is held by a Ref. Borrowed pointers are only
//    kept while their owner is certainly alive.
//  * Failures travel as C++ exceptions to the boundary of the entry point the
//    interpreter called (guarded()), and nowhere else:
//      - PyErrSet: a Python error is already set in the error indicator;
//      - brenmor::Panic: an internal failure, raised as PanicException (its
//        report on stderr was written when it was thrown);
//      - std::bad_alloc / std::length_error: MemoryError.
//    No C++ exception ever leaves an entry point.
//  * The interpreter lock is held on every path and never released.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#if PY_VERSION_HEX < 0x030C0000
#error "quelva needs CPython 3.12 or later"
#endif

// NumPy's C array interface. The table pointer (PyArray_API) and the run-time
// feature version (PyArray_RUNTIME_VERSION) are file-local variables of the
// header, filled by load_numpy_api() below in place of import_array().
#include <numpy/arrayobject.h>

#include <brenmor/brenmor.hpp>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <limits>
#include <memory>
#include <new>
#include <source_location>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace {

using brenmor::Complex;

// ---------------------------------------------------------------------------
// Fixed texts
//
// Part of the module's interface: callers and tests match on them, and many
// keep the wording of the runtime whose behaviour this module reproduces
// (PyO3's errors, Rust's ndarray, its Debug formatting). Do not reword them.
namespace text {

// The qualified name of the exception type raised for panics, and its doc.
constexpr const char* kPanicTypeName = "pyo3_runtime.PanicException";
constexpr const char* kPanicDoc =
    "The exception raised when native code called from Python panics.\n\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.";
// A panic whose failure carries no message of its own.
constexpr const char* kGenericPanic = "native code panicked with a failure that carries no message";
// An interpreter call failed where its error cannot be returned.
constexpr const char* kApiCallFailed = "Python API call failed";
// Printed before a PanicException raised by Python code is resumed as a panic.
constexpr const char* kResumingPanic =
    "--- quelva is resuming a panic after fetching a PanicException from Python. ---\n"
    "Python stack trace below:\n";
// The resumed panic's message when the exception's own text cannot be read.
constexpr const char* kUnwrappedPanic = "Unwrapped panic from Python code";
// An interpreter call reported failure without setting an error.
constexpr const char* kNoErrorSet = "attempted to fetch exception but none was set";
// Conversion failures: "'{type}' object cannot be converted to '{target}'".
constexpr const char* kCannotConvert = "' object cannot be converted to '";
constexpr const char* kUnknownTypeName = "<failed to extract type name>";
constexpr const char* kArrayTarget = "PyArray<T, D>";
// An argument's conversion raised TypeError: "argument '{name}': {str(error)}".
constexpr const char* kArgumentError = "argument '%s': %U";
// The pieces of Rust's Debug form of a Python error, "PyErr { type: <class
// '...'>, value: ..., traceback: None | Some(\"...\") }".
constexpr const char* kPyErrOpen = "PyErr { type: ";
constexpr const char* kPyErrValue = ", value: ";
constexpr const char* kPyErrTraceback = ", traceback: ";
constexpr const char* kPyErrClose = " }";
// The panic when NumPy's array interface cannot be loaded; the PyErr form follows.
constexpr const char* kNumpyApiFailed = "Failed to access NumPy array API capsule: ";
// An `n` that is not two-dimensional, and one beyond what NumPy allows.
constexpr const char* kShapeError =
    "Failed to convert n to 2D array: ShapeError/IncompatibleShape: incompatible shapes";
constexpr const char* kTooManyDims =
    "unexpected dimensionality: NumPy is expected to limit arrays to 32 or fewer dimensions.\n"
    "Please report a bug against the array-binding layer of quelva.";
// Argument binding errors of DataPy(...), in CPython's wording for a function
// of this name.
constexpr const char* kConstructorName = "DataPy.__new__()";
constexpr const char* kTooManyPositional = "%s takes %d positional arguments but %zd %s given";
constexpr const char* kUnexpectedKeyword = "%s got an unexpected keyword argument '%U'";
constexpr const char* kMultipleValues = "%s got multiple values for argument '%s'";
constexpr const char* kMissingArguments = "%s missing %zu required positional %s: %s";
// Simulation() called directly.
constexpr const char* kNoConstructor = "No constructor defined for %U";
// Instances made without their constructor (see DataPyObject).
constexpr const char* kDataPyUninitialised =
    "the DataPy object was not initialised: create it with DataPy(d, n, wl, theta, phi)";
constexpr const char* kSimulationUninitialised =
    "the Simulation object was not initialised: Simulation objects come from DataPy.simulate()";
// An import in a second interpreter.
constexpr const char* kSubinterpreter =
    "the quelva module does not yet support sub-interpreters: it can be imported only in the "
    "interpreter that imported it first";

}  // namespace text

// ---------------------------------------------------------------------------
// Owned references and failures

// Owner of one strong reference (or none).
class Ref {
public:
    Ref() noexcept = default;
    // Takes over a new reference (which may be null).
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    static Ref borrowed(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            Py_XDECREF(p_);
            p_ = std::exchange(other.p_, nullptr);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    PyObject* p_ = nullptr;
};

// Thrown when the Python error indicator is set and the entry point must
// return its failure value.
struct PyErrSet {};

// Throws PyErrSet when `p` is null (an interpreter call failed and set an
// error); otherwise takes over the new reference.
Ref checked(PyObject* p) {
    if (p == nullptr) throw PyErrSet{};
    return Ref(p);
}

// Makes sure a failure that should have set a Python error has one: an
// interpreter call that failed without setting any gets a SystemError.
void ensure_error_set() noexcept {
    if (!PyErr_Occurred()) {
        PyErr_SetString(PyExc_SystemError, text::kNoErrorSet);
    }
}

// Reads a str as UTF-8 text; false (error cleared) when it cannot be read.
bool utf8_of(PyObject* s, std::string_view& out) noexcept {
    Py_ssize_t len = 0;
    const char* text = PyUnicode_Check(s) ? PyUnicode_AsUTF8AndSize(s, &len) : nullptr;
    if (text == nullptr) {
        PyErr_Clear();
        return false;
    }
    out = std::string_view(text, static_cast<std::size_t>(len));
    return true;
}

// ---------------------------------------------------------------------------
// PanicException

PyObject* g_panic_type = nullptr;  // created at the first panic, kept for the process

PyObject* panic_type() noexcept {
    if (g_panic_type == nullptr) {
        PyObject* type = PyErr_NewExceptionWithDoc(text::kPanicTypeName, text::kPanicDoc,
                                                   PyExc_BaseException, nullptr);
        // Creating the type can run Python code; keep whichever came first.
        if (type != nullptr && g_panic_type == nullptr) {
            g_panic_type = type;
        } else {
            Py_XDECREF(type);
        }
    }
    return g_panic_type;
}

bool is_panic_exception(PyObject* exc) noexcept {
    return g_panic_type != nullptr &&
           PyObject_TypeCheck(exc, reinterpret_cast<PyTypeObject*>(g_panic_type));
}

// Sets PanicException(message) in the error indicator.
void raise_panic(std::string_view message) noexcept {
    PyObject* type = panic_type();
    if (type == nullptr) return;  // the factory's error stays set
    Ref message_obj(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()),
                                  "replace"));
    if (!message_obj) return;
    Ref exc(PyObject_CallOneArg(type, message_obj.get()));
    if (!exc) return;
    PyErr_SetRaisedException(exc.release());
}

// A failure of an interpreter call whose error cannot be returned: print the
// pending error and panic.
[[noreturn]] void api_call_failed(std::source_location where = std::source_location::current()) {
    if (PyErr_Occurred()) PyErr_Print();
    brenmor::panic(text::kApiCallFailed, where);
}

// Continues, as a panic, a PanicException that an interpreter call raised
// (native code reached from there panicked). `exc` is the fetched exception.
[[noreturn]] void resume_panic(Ref exc) {
    std::fputs(text::kResumingPanic, stderr);
    PyErr_DisplayException(exc.get());
    std::string message = text::kUnwrappedPanic;
    Ref shown(PyObject_Str(exc.get()));
    std::string_view view;
    if (shown && utf8_of(shown.get(), view)) {
        message.assign(view);
    } else {
        PyErr_Clear();
    }
    // Not a new panic: no second report.
    throw brenmor::Panic(std::move(message), std::source_location::current());
}

// Takes the pending error out of the indicator. A PanicException is resumed
// as a panic instead of being returned.
Ref fetch_error() {
    ensure_error_set();
    Ref exc(PyErr_GetRaisedException());
    if (is_panic_exception(exc.get())) resume_panic(std::move(exc));
    return exc;
}

// Runs the body of an entry point and converts every failure into a Python
// error; `failed` is the entry point's failure value.
template <class R, class Body>
R guarded(R failed, Body&& body) noexcept {
    try {
        return body();
    } catch (const PyErrSet&) {
        ensure_error_set();
    } catch (const brenmor::Panic& p) {
        raise_panic(p.message());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {
        PyErr_NoMemory();
    } catch (...) {
        brenmor::report_panic(text::kGenericPanic, std::source_location::current());
        raise_panic(text::kGenericPanic);
    }
    return failed;
}

// ---------------------------------------------------------------------------
// Python text helpers

// str(obj) for a message. If str() fails, the failure goes to the unraisable
// hook and "<unprintable TYPE object>" stands in for it.
Ref display_text(PyObject* obj) {
    if (PyObject* s = PyObject_Str(obj)) return Ref(s);
    PyErr_WriteUnraisable(obj);
    Ref name(PyType_GetName(Py_TYPE(obj)));
    if (name) return checked(PyUnicode_FromFormat("<unprintable %U object>", name.get()));
    PyErr_Clear();
    return checked(PyUnicode_FromString("<unprintable object>"));
}

// "'{type}' object cannot be converted to '{target}'", the type being the
// qualified name of the refused object's type.
std::string type_mismatch_text(PyObject* obj, const char* target) {
    std::string out = "'";
    Ref qualname(PyType_GetQualName(Py_TYPE(obj)));
    std::string_view name;
    if (qualname && utf8_of(qualname.get(), name)) {
        out.append(name);
    } else {
        PyErr_Clear();
        out += text::kUnknownTypeName;
    }
    out += text::kCannotConvert;
    out += target;
    out += "'";
    return out;
}

// Raises a new TypeError(message) whose __cause__ is `cause` (may be null).
[[noreturn]] void raise_type_error(Ref message, Ref cause) {
    Ref exc = checked(PyObject_CallOneArg(PyExc_TypeError, message.get()));
    PyException_SetCause(exc.get(), cause.release());
    PyErr_SetRaisedException(exc.release());
    throw PyErrSet{};
}

[[noreturn]] void raise_type_error(const std::string& message) {
    raise_type_error(checked(PyUnicode_FromStringAndSize(
                         message.data(), static_cast<Py_ssize_t>(message.size()))),
                     Ref());
}

// The error of argument `name` whose conversion failed with `exc`: an exact
// TypeError is replaced by "argument 'name': {str(exc)}" (keeping the cause of
// `exc`, not `exc` itself); anything else passes through unchanged.
[[noreturn]] void argument_extraction_error(const char* name, Ref exc) {
    if (Py_TYPE(exc.get()) == reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
        Ref cause(PyException_GetCause(exc.get()));
        Ref message = display_text(exc.get());
        raise_type_error(checked(PyUnicode_FromFormat(text::kArgumentError, name, message.get())),
                         std::move(cause));
    }
    PyErr_SetRaisedException(exc.release());
    throw PyErrSet{};
}

// Rust-style debug quoting of a text: "..." with escapes.
void append_debug_quoted(std::string& out, std::string_view text) {
    static constexpr char kHex[] = "0123456789abcdef";
    out += '"';
    for (unsigned char c : text) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            case '\0': out += "\\0"; break;
            default:
                if (c < 0x20 || c == 0x7f) {
                    out += "\\u{";
                    if (c >= 0x10) out += kHex[c >> 4];
                    out += kHex[c & 0xf];
                    out += '}';
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    out += '"';
}

// repr(obj) as text, or a stand-in when repr() fails.
std::string repr_text(PyObject* obj) {
    Ref r(PyObject_Repr(obj));
    std::string_view view;
    if (r && utf8_of(r.get(), view)) return std::string(view);
    PyErr_Clear();
    return "<unprintable object>";
}

// The formatted traceback (as the interpreter prints it), or nothing.
bool format_traceback(PyObject* tb, std::string& out) {
    Ref io(PyImport_ImportModule("io"));
    Ref sio = io ? Ref(PyObject_CallMethod(io.get(), "StringIO", nullptr)) : Ref();
    if (!sio || PyTraceBack_Print(tb, sio.get()) != 0) {
        PyErr_Clear();
        return false;
    }
    Ref value(PyObject_CallMethod(sio.get(), "getvalue", nullptr));
    std::string_view view;
    if (!value || !utf8_of(value.get(), view)) {
        PyErr_Clear();
        return false;
    }
    out.assign(view);
    return true;
}

// "PyErr { type: <class '...'>, value: ..., traceback: None | Some("...") }"
std::string describe_error(PyObject* exc) {
    std::string out = text::kPyErrOpen;
    out += repr_text(reinterpret_cast<PyObject*>(Py_TYPE(exc)));
    out += text::kPyErrValue;
    out += repr_text(exc);
    out += text::kPyErrTraceback;
    Ref tb(PyException_GetTraceback(exc));
    std::string formatted;
    if (!tb) {
        out += "None";
    } else if (format_traceback(tb.get(), formatted)) {
        out += "Some(";
        append_debug_quoted(out, formatted);
        out += ")";
    } else {
        out += "Some(<unformattable traceback>)";
    }
    out += text::kPyErrClose;
    return out;
}

// ---------------------------------------------------------------------------
// NumPy's C array interface, loaded on first need

[[noreturn]] void numpy_api_failed(Ref exc,
                                   std::source_location where = std::source_location::current()) {
    brenmor::panic(text::kNumpyApiFailed + describe_error(exc.get()), where);
}

// Fails the loading with a RuntimeError of our own as the underlying error.
[[noreturn]] void numpy_api_mismatch(const char* what,
                                     std::source_location where = std::source_location::current()) {
    PyErr_SetString(PyExc_RuntimeError, what);
    numpy_api_failed(fetch_error(), where);
}

// Loads the table from the `_ARRAY_API` capsule of NumPy's multiarray module
// (numpy._core.multiarray from NumPy 2 on, numpy.core.multiarray before) and
// fills the header's run-time version as import_array() would. Nothing is
// kept after a failure, so the next request tries again.
void load_numpy_api() {
    Ref numpy(PyImport_ImportModule("numpy"));
    if (!numpy) numpy_api_failed(fetch_error());
    Ref version(PyObject_GetAttrString(numpy.get(), "__version__"));
    if (!version) numpy_api_failed(fetch_error());
    Ref lib(PyImport_ImportModule("numpy.lib"));
    if (!lib) numpy_api_failed(fetch_error());
    Ref parsed(PyObject_CallMethod(lib.get(), "NumpyVersion", "O", version.get()));
    if (!parsed) numpy_api_failed(fetch_error());
    Ref major_obj(PyObject_GetAttrString(parsed.get(), "major"));
    if (!major_obj) numpy_api_failed(fetch_error());
    long major = PyLong_AsLong(major_obj.get());
    if (major == -1 && PyErr_Occurred()) numpy_api_failed(fetch_error());
    if (major < 0 || major > 255) {
        PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
        numpy_api_failed(fetch_error());
    }
    const char* module_name = major >= 2 ? "numpy._core.multiarray" : "numpy.core.multiarray";

    Ref multiarray(PyImport_ImportModule(module_name));
    if (!multiarray) numpy_api_failed(fetch_error());
    Ref capsule(PyObject_GetAttrString(multiarray.get(), "_ARRAY_API"));
    if (!capsule) numpy_api_failed(fetch_error());
    if (!PyCapsule_CheckExact(capsule.get())) {
        std::string message = type_mismatch_text(capsule.get(), "PyCapsule");
        PyErr_SetString(PyExc_TypeError, message.c_str());
        numpy_api_failed(fetch_error());
    }
    const char* capsule_name = PyCapsule_GetName(capsule.get());
    if (capsule_name == nullptr && PyErr_Occurred()) numpy_api_failed(fetch_error());
    auto* table = static_cast<void**>(PyCapsule_GetPointer(capsule.get(), capsule_name));
    if (table == nullptr) numpy_api_failed(fetch_error());

    if (PyArray_API != nullptr) return;  // another thread finished first meanwhile
    PyArray_API = table;
    // The checks of import_array(): an ABI the headers know, a feature level
    // at least the one compiled for.
    if (PyArray_GetNDArrayCVersion() > NPY_VERSION) {
        PyArray_API = nullptr;
        numpy_api_mismatch("the running NumPy has a newer C ABI than quelva was built for");
    }
    const unsigned int feature = PyArray_GetNDArrayCFeatureVersion();
    if (feature < NPY_FEATURE_VERSION) {
        PyArray_API = nullptr;
        numpy_api_mismatch("the running NumPy is older than the C-API level quelva was built for");
    }
    PyArray_RUNTIME_VERSION = static_cast<int>(feature);
    // The capsule stays alive for the rest of the process.
    capsule.release();
}

inline void ensure_numpy_api() {
    if (PyArray_API == nullptr) load_numpy_api();
}

// ---------------------------------------------------------------------------
// Array copies

// a * b on size_t, MemoryError on overflow. Results are kept within the
// signed range too, since no block of more bytes can exist and element
// offsets are computed as ptrdiff_t (which matters on 32-bit targets).
std::size_t checked_mul(std::size_t a, std::size_t b) {
    std::size_t out = 0;
    if (__builtin_mul_overflow(a, b, &out) ||
        out > static_cast<std::size_t>(std::numeric_limits<std::ptrdiff_t>::max())) {
        throw std::bad_alloc();
    }
    return out;
}

std::size_t dim_of(PyArrayObject* a, int axis) {
    return static_cast<std::size_t>(PyArray_DIM(a, axis));
}

// A one-dimensional float64 array into a vector in logical order. Bytes are
// copied with memcpy, so a misaligned source is read safely.
brenmor::Array1<double> copy_1d(PyArrayObject* a) {
    const std::size_t len = dim_of(a, 0);
    const std::size_t bytes = checked_mul(len, sizeof(double));
    const npy_intp stride = PyArray_STRIDE(a, 0);
    const char* base = PyArray_BYTES(a);
    brenmor::Array1<double> out(len);
    if (len <= 1 || stride == static_cast<npy_intp>(sizeof(double))) {
        if (bytes != 0) std::memcpy(out.data(), base, bytes);
    } else {
        for (std::size_t i = 0; i < len; ++i) {
            std::memcpy(&out[i], base + static_cast<npy_intp>(i) * stride, sizeof(double));
        }
    }
    return out;
}

// A two-dimensional complex128 array. When its elements lie contiguously in
// memory in some axis order (row-major, column-major, either axis reversed),
// the block is copied as it is and the strides are kept; otherwise the
// elements are copied one by one, in logical order, into a compact row-major
// table.
brenmor::Array2<Complex> copy_2d(PyArrayObject* a) {
    constexpr std::ptrdiff_t kItem = sizeof(Complex);
    const std::size_t rows = dim_of(a, 0);
    const std::size_t cols = dim_of(a, 1);
    const std::size_t count = checked_mul(rows, cols);
    const std::size_t bytes = checked_mul(count, sizeof(Complex));
    const char* base = PyArray_BYTES(a);
    // The stride of an axis of length 1 is never used; take it as compact.
    const std::ptrdiff_t s0 = rows > 1 ? PyArray_STRIDE(a, 0) : static_cast<std::ptrdiff_t>(cols) * kItem;
    const std::ptrdiff_t s1 = cols > 1 ? PyArray_STRIDE(a, 1) : kItem;
    const auto mag = [](std::ptrdiff_t s) { return s < 0 ? -s : s; };
    const std::ptrdiff_t r_item = static_cast<std::ptrdiff_t>(rows) * kItem;
    const std::ptrdiff_t c_item = static_cast<std::ptrdiff_t>(cols) * kItem;
    const bool block = count == 0 || (mag(s1) == kItem && mag(s0) == c_item) ||
                       (mag(s0) == kItem && mag(s1) == r_item);

    if (count == 0) return brenmor::Array2<Complex>::row_major({}, rows, cols);
    // Filled in one pass: the block is never zeroed first (a large n is tens
    // of megabytes, and zeroing it cost as much as the copy).
    std::shared_ptr<Complex[]> storage(new Complex[count]);
    if (block) {
        // Offset (in elements) of the logical first element inside the block.
        std::ptrdiff_t offset = 0;
        if (s0 < 0) offset += static_cast<std::ptrdiff_t>(rows - 1) * (-s0 / kItem);
        if (s1 < 0) offset += static_cast<std::ptrdiff_t>(cols - 1) * (-s1 / kItem);
        std::memcpy(storage.get(), base - offset * kItem, bytes);
        return brenmor::Array2<Complex>(std::move(storage), count, rows, cols, s0 / kItem,
                                        s1 / kItem, static_cast<std::size_t>(offset));
    }
    const npy_intp rs = PyArray_STRIDE(a, 0);
    const npy_intp cs = PyArray_STRIDE(a, 1);
    Complex* dst = storage.get();
    for (std::size_t r = 0; r < rows; ++r) {
        const char* row = base + static_cast<npy_intp>(r) * rs;
        for (std::size_t c = 0; c < cols; ++c) {
            std::memcpy(dst++, row + static_cast<npy_intp>(c) * cs, sizeof(Complex));
        }
    }
    return brenmor::Array2<Complex>(std::move(storage), count, rows, cols,
                                    static_cast<std::ptrdiff_t>(cols), 1, 0);
}

// A new plain ndarray that owns its (uninitialised) data.
Ref new_array(int typenum, int nd, npy_intp* dims, bool fortran) {
    PyArray_Descr* descr = PyArray_DescrFromType(typenum);
    if (descr == nullptr) api_call_failed();
    // PyArray_NewFromDescr takes over the descriptor reference.
    PyObject* arr = PyArray_NewFromDescr(&PyArray_Type, descr, nd, dims, nullptr, nullptr,
                                         fortran ? NPY_ARRAY_F_CONTIGUOUS : 0, nullptr);
    if (arr == nullptr) api_call_failed();
    return Ref(arr);
}

PyObject* vector_to_array(const std::vector<double>& v) {
    ensure_numpy_api();
    npy_intp dims[1] = {static_cast<npy_intp>(v.size())};
    Ref arr = new_array(NPY_DOUBLE, 1, dims, false);
    if (!v.empty()) {
        std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(arr.get())), v.data(),
                    v.size() * sizeof(double));
    }
    return arr.release();
}

PyObject* table_to_array(const brenmor::Array2<Complex>& n) {
    ensure_numpy_api();
    const std::size_t rows = n.rows();
    const std::size_t cols = n.cols();
    npy_intp dims[2] = {static_cast<npy_intp>(rows), static_cast<npy_intp>(cols)};
    const std::ptrdiff_t r_stride = static_cast<std::ptrdiff_t>(cols);
    const std::ptrdiff_t c_stride = static_cast<std::ptrdiff_t>(rows);
    const bool c_order = n.offset() == 0 && (rows <= 1 || n.row_stride() == r_stride) &&
                         (cols <= 1 || n.col_stride() == 1);
    const bool f_order = !c_order && n.offset() == 0 && (rows <= 1 || n.row_stride() == 1) &&
                         (cols <= 1 || n.col_stride() == c_stride);
    Ref arr = new_array(NPY_CDOUBLE, 2, dims, f_order);
    auto* dst = static_cast<Complex*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(arr.get())));
    const std::size_t count = rows * cols;
    if (count == 0) return arr.release();
    if (c_order || f_order) {
        std::memcpy(dst, n.storage().data(), count * sizeof(Complex));
    } else {
        for (std::size_t r = 0; r < rows; ++r) {
            for (std::size_t c = 0; c < cols; ++c) *dst++ = n(r, c);
        }
    }
    return arr.release();
}

// ---------------------------------------------------------------------------
// Instances

// The read-only access of a getter or simulate() to its receiver, released
// on every path. No operation takes write access, so taking it never fails
// and nothing reads the count today; it is kept because the objects promise
// shared read access, and any future writer must check it (and fail while it
// is non-zero) rather than change an object under a running reader.
class ReadAccess {
public:
    explicit ReadAccess(std::size_t& flag) noexcept : flag_(flag) { ++flag_; }
    ReadAccess(const ReadAccess&) = delete;
    ReadAccess& operator=(const ReadAccess&) = delete;
    ~ReadAccess() { --flag_; }

private:
    std::size_t& flag_;
};

// An instance's members are constructed by its constructor only. The types
// stay mutable, so Python code can give them a __new__ that returns
// object.__new__(cls): zero-filled memory, whose `constructed` is false.
// Nothing reads or destroys the members of such an instance.
struct DataPyObject {
    PyObject_HEAD
    bool constructed;
    brenmor::Array1<double> d;
    brenmor::Array2<Complex> n;
    brenmor::Array1<double> wl;
    double theta;
    double phi;
    std::size_t access;  // read accesses in progress
};

struct SimulationObject {
    PyObject_HEAD
    bool constructed;
    std::vector<double> t;
    std::vector<double> r;
    std::size_t access;
};

// Type cells, filled at the first module initialisation.
PyTypeObject* g_datapy_type = nullptr;
PyTypeObject* g_simulation_type = nullptr;

// The receiver check of getters and simulate(): an instance of `type` (or a
// subtype), else "'{type}' object cannot be converted to '{target}'"; and one
// that its constructor initialised, else `uninitialised`.
template <class Object>
Object* receiver(PyObject* self, PyTypeObject* type, const char* target,
                 const char* uninitialised) {
    if (type == nullptr || (Py_TYPE(self) != type && !PyType_IsSubtype(Py_TYPE(self), type))) {
        raise_type_error(type_mismatch_text(self, target));
    }
    auto* obj = reinterpret_cast<Object*>(self);
    if (!obj->constructed) raise_type_error(uninitialised);
    return obj;
}

// ---------------------------------------------------------------------------
// DataPy construction: binding and conversion of (d, n, wl, theta, phi)
//
// The binding is written out by hand rather than left to
// PyArg_ParseTupleAndKeywords: its error texts are part of the interface
// (callers and tests match them), they name the function "DataPy.__new__()"
// and list missing arguments in CPython's own wording, and each argument's
// type is then checked with a message that names it. No parsing format gives
// those texts.

constexpr int kParams = 5;
constexpr std::string_view kParamNames[kParams] = {"d", "n", "wl", "theta", "phi"};

[[noreturn]] void raise_binding_error(Ref message) {
    PyErr_SetObject(PyExc_TypeError, message.get());
    throw PyErrSet{};
}

// Names in single quotes: 'a'; 'a' and 'b'; 'a', 'b', and 'c'.
std::string name_list(const std::vector<std::string_view>& names) {
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            if (names.size() > 2) out += ',';
            out += i + 1 == names.size() ? " and " : " ";
        }
        out += '\'';
        out.append(names[i]);
        out += '\'';
    }
    return out;
}

// Fills the five slots from the positional tuple and the keyword dict, or
// raises the binding error. Keyword names are compared in place.
void bind_arguments(PyObject* args, PyObject* kwargs, Ref (&slots)[kParams]) {
    const Py_ssize_t given = PyTuple_GET_SIZE(args);
    for (Py_ssize_t j = 0; j < given && j < kParams; ++j) {
        slots[j] = Ref::borrowed(PyTuple_GET_ITEM(args, j));
    }
    if (given > kParams) {
        raise_binding_error(checked(PyUnicode_FromFormat(
            text::kTooManyPositional, text::kConstructorName, kParams, given,
            given == 1 ? "was" : "were")));
    }
    if (kwargs != nullptr) {
        Py_ssize_t pos = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            std::string_view name;
            int index = -1;
            if (utf8_of(key, name)) {
                for (int i = 0; i < kParams; ++i) {
                    if (kParamNames[i] == name) {
                        index = i;
                        break;
                    }
                }
            }
            if (index < 0) {
                Ref shown = display_text(key);
                raise_binding_error(checked(PyUnicode_FromFormat(
                    text::kUnexpectedKeyword, text::kConstructorName, shown.get())));
            }
            if (slots[index]) {
                raise_binding_error(checked(PyUnicode_FromFormat(
                    text::kMultipleValues, text::kConstructorName,
                    kParamNames[index].data())));
            }
            slots[index] = Ref::borrowed(value);
        }
    }
    if (given < kParams) {
        std::vector<std::string_view> missing;
        for (int i = 0; i < kParams; ++i) {
            if (!slots[i]) missing.push_back(kParamNames[i]);
        }
        if (!missing.empty()) {
            const std::string list = name_list(missing);
            raise_binding_error(checked(PyUnicode_FromFormat(
                text::kMissingArguments, text::kConstructorName, missing.size(),
                missing.size() == 1 ? "argument" : "arguments", list.c_str())));
        }
    }
}

// An ndarray (or subclass) of the given dtype, and with one dimension when
// `one_dim`; anything else is refused without any conversion.
PyArrayObject* extract_array(PyObject* obj, int typenum, bool one_dim, const char* name) {
    ensure_numpy_api();
    bool ok = Py_TYPE(obj) == &PyArray_Type || PyType_IsSubtype(Py_TYPE(obj), &PyArray_Type);
    if (ok) {
        auto* arr = reinterpret_cast<PyArrayObject*>(obj);
        ok = !one_dim || PyArray_NDIM(arr) == 1;
        if (ok) {
            PyArray_Descr* want = PyArray_DescrFromType(typenum);
            if (want == nullptr) api_call_failed();
            PyArray_Descr* have = PyArray_DESCR(arr);
            ok = have == want || PyArray_EquivTypes(have, want);
            Py_DECREF(want);
        }
        if (ok) return arr;
    }
    std::string message = "argument '";
    message += name;
    message += "': ";
    message += type_mismatch_text(obj, text::kArrayTarget);
    raise_type_error(message);
}

// theta and phi: a float directly, anything else through the interpreter's
// float conversion.
double extract_float(PyObject* obj, const char* name) {
    if (PyFloat_CheckExact(obj)) return PyFloat_AS_DOUBLE(obj);
    const double value = PyFloat_AsDouble(obj);
    if (value == -1.0 && PyErr_Occurred()) argument_extraction_error(name, fetch_error());
    return value;
}

// The three array arguments, each accepted by extract_array.
struct StackArrays {
    PyArrayObject* d;
    PyArrayObject* n;
    PyArrayObject* wl;
};

// Accepts d, n and wl in that order; the first one refused ends the call.
StackArrays accept_arrays(const Ref (&slots)[kParams]) {
    PyArrayObject* d = extract_array(slots[0].get(), NPY_DOUBLE, true, "d");
    PyArrayObject* n = extract_array(slots[1].get(), NPY_CDOUBLE, false, "n");
    PyArrayObject* wl = extract_array(slots[2].get(), NPY_DOUBLE, true, "wl");
    return {d, n, wl};
}

PyObject* datapy_new(PyTypeObject* subtype, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        Ref slots[kParams];
        bind_arguments(args, kwargs, slots);

        // Each accepted array stays referenced (slots) until the call ends.
        accept_arrays(slots);
        const double theta = extract_float(slots[3].get(), "theta");
        const double phi = extract_float(slots[4].get(), "phi");

        // The angle conversions can run Python code (__float__, __index__)
        // that reshapes, retypes or resizes the arrays in place, or lets
        // another thread do so. The arrays are therefore accepted again here,
        // and from this check to the end of the copies no Python code runs:
        // each copy describes its array exactly as it was last accepted. For
        // arrays left alone this second pass cannot fail, so it changes
        // neither which error wins nor any message.
        const auto [d, n, wl] = accept_arrays(slots);
        const int nd = PyArray_NDIM(n);
        if (nd > 32) brenmor::panic(text::kTooManyDims);
        if (nd != 2) brenmor::panic(text::kShapeError);

        brenmor::Array1<double> d_copy = copy_1d(d);
        brenmor::Array2<Complex> n_copy = copy_2d(n);
        brenmor::Array1<double> wl_copy = copy_1d(wl);

        PyObject* self = subtype->tp_alloc(subtype, 0);
        if (self == nullptr) {
            ensure_error_set();
            throw PyErrSet{};
        }
        auto* obj = reinterpret_cast<DataPyObject*>(self);
        new (&obj->d) brenmor::Array1<double>(std::move(d_copy));
        new (&obj->n) brenmor::Array2<Complex>(std::move(n_copy));
        new (&obj->wl) brenmor::Array1<double>(std::move(wl_copy));
        obj->theta = theta;
        obj->phi = phi;
        obj->access = 0;
        obj->constructed = true;
        return self;
    });
}

// The boundary of a deallocation: nothing may be raised there, so a failure
// is converted as anywhere else and then written through the unraisable hook
// with the object as context. An error that was pending before (an object
// freed while an exception propagates) is left as it was.
template <class Body>
void dealloc_guarded(PyObject* self, Body&& body) noexcept {
    std::exception_ptr failure;
    try {
        body();
        return;
    } catch (...) {
        failure = std::current_exception();
    }
    PyObject* pending = PyErr_GetRaisedException();
    guarded<int>(0, [&failure]() -> int { std::rethrow_exception(failure); });
    PyErr_WriteUnraisable(self);
    PyErr_SetRaisedException(pending);
}

void free_instance(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);  // instances of heap types hold a reference to their type
}

// The flag is cleared before the members go: a failure there reaches the
// unraisable hook with the object, and the hook's Python code must then find
// an instance whose getters refuse it rather than read destroyed members.
void datapy_dealloc(PyObject* self) {
    auto* obj = reinterpret_cast<DataPyObject*>(self);
    if (obj->constructed) {
        obj->constructed = false;
        dealloc_guarded(self, [obj] {
            obj->d.~vector();
            obj->n.~Array2();
            obj->wl.~vector();
        });
    }
    free_instance(self);
}

// Getters of DataPy.
template <class Read>
PyObject* datapy_getter(PyObject* self, Read&& read) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        auto* obj = receiver<DataPyObject>(self, g_datapy_type, "DataPy", text::kDataPyUninitialised);
        ReadAccess access(obj->access);
        return read(*obj);
    });
}

PyObject* float_object(double v) {
    PyObject* out = PyFloat_FromDouble(v);
    if (out == nullptr) api_call_failed();
    return out;
}

PyObject* get_d(PyObject* self, void*) {
    return datapy_getter(self, [](DataPyObject& o) { return vector_to_array(o.d); });
}
PyObject* get_n(PyObject* self, void*) {
    return datapy_getter(self, [](DataPyObject& o) { return table_to_array(o.n); });
}
PyObject* get_wl(PyObject* self, void*) {
    return datapy_getter(self, [](DataPyObject& o) { return vector_to_array(o.wl); });
}
PyObject* get_theta(PyObject* self, void*) {
    return datapy_getter(self, [](DataPyObject& o) { return float_object(o.theta); });
}
PyObject* get_phi(PyObject* self, void*) {
    return datapy_getter(self, [](DataPyObject& o) { return float_object(o.phi); });
}

PyObject* simulate(PyObject* self, PyObject*) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        auto* obj = receiver<DataPyObject>(self, g_datapy_type, "DataPy", text::kDataPyUninitialised);
        ReadAccess access(obj->access);
        std::vector<double> r;
        std::vector<double> t;
        {
            // A fresh record with its own copies and an empty cache, for
            // this call only.
            brenmor::Data data{obj->d, obj->n, obj->wl, obj->theta, obj->phi, {}};
            r = brenmor::get_r_power_vec(data);
            t = brenmor::get_t_power_vec(data);
        }
        PyTypeObject* type = g_simulation_type;
        PyObject* result = type->tp_alloc(type, 0);
        if (result == nullptr) {
            ensure_error_set();
            throw PyErrSet{};
        }
        auto* sim = reinterpret_cast<SimulationObject*>(result);
        new (&sim->t) std::vector<double>(std::move(t));
        new (&sim->r) std::vector<double>(std::move(r));
        sim->access = 0;
        sim->constructed = true;
        return result;
    });
}

// ---------------------------------------------------------------------------
// Simulation

// The constructor slot of a class without a constructor of its own.
PyObject* no_constructor(PyTypeObject* type, PyObject*, PyObject*) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        Ref name(PyType_GetName(type));
        if (!name) {
            PyErr_Clear();
            name = checked(PyUnicode_FromString("<unknown>"));
        }
        PyErr_Format(PyExc_TypeError, text::kNoConstructor, name.get());
        throw PyErrSet{};
    });
}

void simulation_dealloc(PyObject* self) {
    auto* obj = reinterpret_cast<SimulationObject*>(self);
    if (obj->constructed) {
        obj->constructed = false;
        dealloc_guarded(self, [obj] {
            obj->t.~vector();
            obj->r.~vector();
        });
    }
    free_instance(self);
}

template <class Read>
PyObject* simulation_getter(PyObject* self, Read&& read) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        auto* obj = receiver<SimulationObject>(self, g_simulation_type, "Simulation",
                                           text::kSimulationUninitialised);
        ReadAccess access(obj->access);
        return read(*obj);
    });
}

PyObject* get_t(PyObject* self, void*) {
    return simulation_getter(self, [](SimulationObject& o) { return vector_to_array(o.t); });
}
PyObject* get_r(PyObject* self, void*) {
    return simulation_getter(self, [](SimulationObject& o) { return vector_to_array(o.r); });
}

// ---------------------------------------------------------------------------
// Heap type definitions

// Built on the first creation of the DataPy type: name, text signature,
// separator, empty description.
constexpr const char kDataPyDoc[] = "DataPy(d, n, wl, theta, phi)\n--\n\n";

PyGetSetDef g_datapy_getset[] = {
    {"d", get_d, nullptr, "", nullptr},
    {"n", get_n, nullptr, "", nullptr},
    {"wl", get_wl, nullptr, "", nullptr},
    {"theta", get_theta, nullptr, "", nullptr},
    {"phi", get_phi, nullptr, "", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef g_datapy_methods[] = {
    {"simulate", simulate, METH_NOARGS, "simulate($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot g_datapy_slots[] = {
    {Py_tp_doc, const_cast<char*>(kDataPyDoc)},
    {Py_tp_new, reinterpret_cast<void*>(datapy_new)},
    {Py_tp_getset, g_datapy_getset},
    {Py_tp_methods, g_datapy_methods},
    {Py_tp_dealloc, reinterpret_cast<void*>(datapy_dealloc)},
    {0, nullptr},
};

// The module part of both type names is "builtins", not "quelva", on
// purpose: the classes are declared without a module, as in the runtime whose
// behaviour this module keeps, so __module__, repr() and pickling report
// "builtins" and callers may match on that.
PyType_Spec g_datapy_spec = {
    .name = "builtins.DataPy",
    .basicsize = static_cast<int>(sizeof(DataPyObject)),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = g_datapy_slots,
};

PyGetSetDef g_simulation_getset[] = {
    {"t", get_t, nullptr, "", nullptr},
    {"r", get_r, nullptr, "", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot g_simulation_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_getset, g_simulation_getset},
    {Py_tp_dealloc, reinterpret_cast<void*>(simulation_dealloc)},
    {0, nullptr},
};

PyType_Spec g_simulation_spec = {
    .name = "builtins.Simulation",
    .basicsize = static_cast<int>(sizeof(SimulationObject)),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = g_simulation_slots,
};

// ---------------------------------------------------------------------------
// Module

// Single-phase initialisation with no per-module state: the types and the
// loaded NumPy table are process-wide, which is also why a second interpreter
// is refused.
PyModuleDef g_module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "quelva",
    .m_doc = "Reflectance and transmittance spectra of planar thin-film stacks by the 2x2 "
             "transfer-matrix method.",
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = nullptr,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

// The interpreter that owns the module, or -1. Taken by compare-and-swap, so
// that of two interpreters racing (each with its own lock) only one goes on
// to fill the cells below; given back by an initialisation that fails, so
// that the cells are filled only while an interpreter owns the module.
std::atomic<std::int64_t> g_first_interpreter{-1};
PyObject* g_module = nullptr;

// Creates the class's type object on first need and adds it to the module
// and to its __all__.
void register_class(PyObject* module, PyTypeObject*& cell, PyType_Spec& type_spec, const char* name) {
    if (cell == nullptr) {
        PyObject* type = PyType_FromSpec(&type_spec);
        if (type == nullptr) throw PyErrSet{};
        cell = reinterpret_cast<PyTypeObject*>(type);
    }
    Ref name_obj = checked(PyUnicode_FromString(name));
    Ref all(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PyErrSet{};
        PyErr_Clear();
        all = checked(PyList_New(0));
        if (PyObject_SetAttrString(module, "__all__", all.get()) != 0) throw PyErrSet{};
    }
    if (!PyList_Check(all.get())) raise_type_error(type_mismatch_text(all.get(), "PyList"));
    if (PyList_Append(all.get(), name_obj.get()) != 0) throw PyErrSet{};
    if (PyObject_SetAttr(module, name_obj.get(), reinterpret_cast<PyObject*>(cell)) != 0) {
        throw PyErrSet{};
    }
}

[[noreturn]] void refuse_second_interpreter() {
    PyErr_SetString(PyExc_ImportError, text::kSubinterpreter);
    throw PyErrSet{};
}

// An isolated sub-interpreter refuses single-phase modules, but only after
// PyInit_quelva has returned: by then a module, two types and the owner
// identifier would all have been made in an interpreter that is about to
// drop them (with its own allocator, their memory goes when it is
// destroyed), and every other interpreter, the main one included, would be
// locked out. So ask the running interpreter the same question first, through
// a throwaway module that declares itself unfit for sub-interpreters: the
// main interpreter and legacy sub-interpreters accept it, an isolated one
// raises its own ImportError, and this initialisation then touches nothing.
PyModuleDef_Slot g_probe_slots[] = {
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};

PyModuleDef g_probe_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "quelva",
    .m_doc = nullptr,
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = g_probe_slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

void require_single_phase_allowed() {
    // What the import machinery passes along only has to name the module; a
    // bare module object with a "name" attribute will do.
    Ref import_record = checked(PyModule_New("quelva"));
    Ref name = checked(PyUnicode_FromString("quelva"));
    if (PyObject_SetAttrString(import_record.get(), "name", name.get()) != 0) throw PyErrSet{};
    Ref probe = checked(PyModule_FromDefAndSpec(&g_probe_def, import_record.get()));
}

// Gives the owner identifier back, with whatever this initialisation put in
// the cells, unless the initialisation succeeded.
class OwnerClaim {
public:
    explicit OwnerClaim(bool taken) noexcept : taken_(taken) {}
    OwnerClaim(const OwnerClaim&) = delete;
    OwnerClaim& operator=(const OwnerClaim&) = delete;
    ~OwnerClaim() {
        if (!taken_) return;
        // Releasing a type may run code; the import's error stays as it was.
        PyObject* error = PyErr_GetRaisedException();
        Py_CLEAR(g_datapy_type);
        Py_CLEAR(g_simulation_type);
        PyErr_SetRaisedException(error);
        g_first_interpreter.store(-1);
    }
    void keep() noexcept { taken_ = false; }

private:
    bool taken_;
};

PyObject* init_module() {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) {
        ensure_error_set();
        throw PyErrSet{};
    }
    const std::int64_t owner = g_first_interpreter.load();
    if (owner != -1 && owner != id) refuse_second_interpreter();
    if (owner == -1) require_single_phase_allowed();

    std::int64_t expected = -1;
    const bool taken_now = g_first_interpreter.compare_exchange_strong(expected, id);
    if (!taken_now && expected != id) refuse_second_interpreter();
    if (g_module != nullptr) return Py_NewRef(g_module);

    // Only the call that took the identifier gives it back: importlib lets
    // one thread of an interpreter at a time initialise the module.
    OwnerClaim claim(taken_now);
    Ref module = checked(PyModule_Create(&g_module_def));
    register_class(module.get(), g_datapy_type, g_datapy_spec, "DataPy");
    register_class(module.get(), g_simulation_type, g_simulation_spec, "Simulation");
    g_module = Py_NewRef(module.get());
    claim.keep();
    return module.release();
}

}  // namespace

PyMODINIT_FUNC PyInit_quelva(void) {
    return guarded<PyObject*>(nullptr, [] { return init_module(); });
}
