// Shared by the module entry and the kernels: the binding library, the argument types and
// the one place where a call's arguments become checked Volume views.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstddef>
#include <string>
#include <vector>

namespace py = pybind11;

// Every argument arrives as a float32 array; forcecast lets NumPy cast any array-like.
using Array = py::array_t<float, py::array::forcecast>;

// An output argument. It is converted like any other, and also keeps the caller's object so
// that a call whose conversion had to copy it (the results would be lost) can be refused.
struct Output {
    Array array;
    py::object given;
};

// A C-ordered block of floats: voxel (z, y, x) lies at z*ny*nx + y*nx + x.
struct Volume {
    float *ptr;
    size_t nz, ny, nx;
};

// One argument of a call, with the role that error messages name it by.
struct Argument {
    Argument(Array a, const char *role) : array(std::move(a)), role(role) {}
    Argument(Output o, const char *role)
        : array(std::move(o.array)), role(role), output(true), given(std::move(o.given)) {}
    Array array;
    const char *role;
    bool output = false;
    py::object given;
};

// Holds the buffers of one call from the first check until the kernel is done, releasing
// them in reverse order. The constructor refuses outputs that would be copies, gives
// non-contiguous inputs a C-ordered copy, acquires every buffer (outputs writable) and checks
// that outputs are C-contiguous; the kernels add their shape rules with require().
class Buffers {
  public:
    Buffers(const char *function, std::vector<Argument> &args);
    ~Buffers() { release(); }
    Buffers(const Buffers &) = delete;
    Buffers &operator=(const Buffers &) = delete;

    const py::buffer_info &operator[](size_t i) const { return bufs_[i]; }
    // Throws ValueError "function(): argument i+1 (role) problem" unless ok.
    void require(bool ok, size_t i, const std::string &problem) const;
    void require_ndim(size_t i, py::ssize_t ndim, bool at_least = false) const;
    void require_same_shape(size_t i, size_t reference) const;
    Volume view(size_t i) const;

  private:
    void release();  // in reverse order of acquisition

    const char *function_;
    const std::vector<Argument> &args_;
    std::vector<py::buffer_info> bufs_;
};

void average(Array imInNumpy, Output imOuNumpy, Array stElNumpy);
void variance(Array imInNumpy, Output imOuNumpy, Array stElNumpy);
void hessian(Array hzzNumpy, Array hzyNumpy, Array hzxNumpy, Array hyzNumpy, Array hyyNumpy,
             Array hyxNumpy, Array hxzNumpy, Array hxyNumpy, Array hxxNumpy, Output valANumpy,
             Output valBNumpy, Output valCNumpy, Output valAzNumpy, Output valAyNumpy,
             Output valAxNumpy, Output valBzNumpy, Output valByNumpy, Output valBxNumpy,
             Output valCzNumpy, Output valCyNumpy, Output valCxNumpy);

// Whether the first na floats at a and the first nb floats at b share memory.
bool overlap(const float *a, size_t na, const float *b, size_t nb);

#ifdef VOXELBENCH_TESTING
// Test-only module: lists the backends this machine supports and forces one; sets how many QR
// steps a hessian vector lane may take, counts the matrices handed to Eigen, and runs hessian
// on float64 matrices to compare raw results.
std::vector<std::string> supported_backends();
void use_backend(const std::string &name);
int hessian_iterations(int n);  // returns the previous bound
py::tuple hessian_fallbacks();
py::array_t<double> hessian_doubles(py::array_t<double, py::array::c_style | py::array::forcecast> m);
#endif

namespace pybind11 {
namespace detail {
// The library's own conversion (NumPy's PyArray_FromAny with forcecast, no layout
// requirement), except that running out of memory while copying raises MemoryError instead of
// being reported as an incompatible argument.
template <>
struct type_caster<Array> {
    PYBIND11_TYPE_CASTER(Array, handle_type_name<Array>::name);
    bool load(handle src, bool) {
        auto &api = npy_api::get();  // loads NumPy's interface on the first call
        value = reinterpret_steal<Array>(api.PyArray_FromAny_(
            src.ptr(), dtype::of<float>().release().ptr(), 0, 0,
            npy_api::NPY_ARRAY_ENSUREARRAY_ | npy_api::NPY_ARRAY_FORCECAST_, nullptr));
        if (!value) {
            if (PyErr_ExceptionMatches(PyExc_MemoryError)) {
                throw error_already_set();
            }
            PyErr_Clear();
            return false;
        }
        return true;
    }
    static handle cast(const Array &src, return_value_policy, handle) { return src.inc_ref(); }
};

// Outputs convert exactly like inputs and show the same type in signatures.
template <>
struct type_caster<Output> {
    PYBIND11_TYPE_CASTER(Output, handle_type_name<Array>::name);
    bool load(handle src, bool convert) {
        make_caster<Array> inner;
        if (!inner.load(src, convert)) {
            return false;
        }
        value.array = cast_op<Array &&>(std::move(inner));
        value.given = reinterpret_borrow<object>(src);
        return true;
    }
    static handle cast(const Output &src, return_value_policy, handle) {
        return src.array.inc_ref();
    }
};
}  // namespace detail
}  // namespace pybind11
