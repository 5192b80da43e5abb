// Module entry, function table and the argument checks shared by all kernels.
#include "voxelbench.hpp"

#include <cstdint>
#include <sstream>
#ifdef VOXELBENCH_TESTING
#include <pybind11/stl.h>
#endif

namespace {

std::string shape_text(const py::buffer_info &buf) {
    std::ostringstream s;
    s << '(';
    for (size_t i = 0; i < buf.shape.size(); ++i) {
        s << (i ? ", " : "") << buf.shape[i];
    }
    s << (buf.shape.size() == 1 ? ",)" : ")");
    return s.str();
}

// What a refused output is, in words a Python user recognises.
std::string describe(const py::object &given) {
    if (py::isinstance<py::array>(given)) {
        return "numpy.ndarray of " + py::str(given.attr("dtype")).cast<std::string>();
    }
    return py::str(py::type::handle_of(given).attr("__name__")).cast<std::string>();
}

constexpr int c_order = py::array::c_style | py::detail::npy_api::NPY_ARRAY_ALIGNED_;

}  // namespace

Buffers::Buffers(const char *function, std::vector<Argument> &args)
    : function_(function), args_(args) {
    // Conversion passes a float32 ndarray of native byte order through as the caller's own
    // memory and copies anything else, so any other output would receive the results in a
    // temporary that is thrown away: refuse it before touching a buffer.
    const py::dtype float32 = py::dtype::of<float>();
    for (size_t i = 0; i < args.size(); ++i) {
        const py::object &given = args[i].given;
        if (args[i].output && !(py::isinstance<py::array>(given) &&
                                float32.equal(py::reinterpret_borrow<py::array>(given).dtype()))) {
            throw py::type_error(std::string(function) + "(): argument " + std::to_string(i + 1) +
                                 " (" + args[i].role +
                                 ") must be a float32 numpy.ndarray in native byte order, to "
                                 "receive the results in place; got " +
                                 describe(given));
        }
    }
    // The kernels address every array as one C-ordered block, so an input in any other layout
    // (or misaligned) is read through a C-ordered copy of itself.
    for (Argument &a : args) {
        if (!a.output && (a.array.flags() & c_order) != c_order) {
            a.array = Array::ensure(a.array.attr("copy")("C"));
        }
    }
    bufs_.reserve(args.size());
    try {
        for (Argument &a : args) {
            // Write access for outputs, so that a read-only array is refused, not written.
            bufs_.push_back(a.array.request(a.output));
        }
    } catch (...) {
        release();
        throw;
    }
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i].output) {
            require((args[i].array.flags() & c_order) == c_order, i,
                    "must be C-contiguous and aligned");
        }
    }
}

void Buffers::release() {
    while (!bufs_.empty()) {
        bufs_.pop_back();
    }
}

void Buffers::require(bool ok, size_t i, const std::string &problem) const {
    if (!ok) {
        throw py::value_error(std::string(function_) + "(): argument " + std::to_string(i + 1) +
                              " (" + args_[i].role + ") " + problem);
    }
}

void Buffers::require_ndim(size_t i, py::ssize_t ndim, bool at_least) const {
    const py::ssize_t got = bufs_[i].ndim;
    if (at_least) {
        require(got >= ndim, i,
                "must have at least " + std::to_string(ndim) + " dimensions, got " +
                    std::to_string(got));
    } else {
        require(got == ndim, i,
                "must be " + std::to_string(ndim) + "-dimensional, got " + std::to_string(got) +
                    " dimension" + (got == 1 ? "" : "s"));
    }
}

void Buffers::require_same_shape(size_t i, size_t reference) const {
    require(bufs_[i].shape == bufs_[reference].shape, i,
            "must have the shape of argument " + std::to_string(reference + 1) + " (" +
                args_[reference].role + "), " + shape_text(bufs_[reference]) + ", got " +
                shape_text(bufs_[i]));
}

Volume Buffers::view(size_t i) const {
    const py::buffer_info &b = bufs_[i];
    // Callers have required at least three dimensions; NumPy keeps every extent >= 0.
    return {static_cast<float *>(b.ptr), static_cast<size_t>(b.shape[0]),
            static_cast<size_t>(b.shape[1]), static_cast<size_t>(b.shape[2])};
}

bool overlap(const float *a, size_t na, const float *b, size_t nb) {
    const auto x = reinterpret_cast<std::uintptr_t>(a), y = reinterpret_cast<std::uintptr_t>(b);
    return na && nb && x < y + nb * sizeof(float) && y < x + na * sizeof(float);
}

static void pybind11_init_voxelbench(py::module_ &m) {
    m.def("average", &average, "average c++ function moving filters");
    m.def("variance", &variance, "variance c++ function moving filters");
    m.def("hessian", &hessian, "hessian c++ function not moving filters");
#ifdef VOXELBENCH_TESTING
    m.def("supported_backends", &supported_backends);
    m.def("use_backend", &use_backend);
    m.def("hessian_iterations", &hessian_iterations);
    m.def("hessian_fallbacks", &hessian_fallbacks);
    m.def("hessian_doubles", &hessian_doubles);
    // The compiler that built the module, which bench.py --versus and tests/clang report.
#if defined(__clang__)
    m.attr("compiler") = "clang " __clang_version__;
#else
    m.attr("compiler") = "GCC " __VERSION__;
#endif
#endif
}

// The test-only build of these sources is a module of another name.
#ifndef VOXELBENCH_MODULE
#define VOXELBENCH_MODULE voxelbench
#endif
#define INIT_FUNCTION(name) PYBIND11_CONCAT(PyInit_, name)

// Written out instead of PYBIND11_MODULE so that a failure while preparing the binding state or
// creating the module also surfaces as a failed import rather than an unhandled exception.
extern "C" PYBIND11_EXPORT PyObject *INIT_FUNCTION(VOXELBENCH_MODULE)() {
    PYBIND11_CHECK_PYTHON_VERSION
    static py::module_::module_def def;
    py::module_ m;
    try {
        py::detail::get_internals();
        m = py::module_::create_extension_module(PYBIND11_TOSTRING(VOXELBENCH_MODULE), nullptr, &def);
    } catch (py::error_already_set &e) {
        e.restore();
        return nullptr;
    } catch (const std::exception &e) {
        PyErr_SetString(PyExc_ImportError, e.what());
        return nullptr;
    }
    try {
        pybind11_init_voxelbench(m);
        return m.ptr();
    } catch (const std::exception &e) {
        // m holds its own reference besides the one the interpreter would have received.
        m.dec_ref();
        PyErr_SetString(PyExc_ImportError, e.what());
        return nullptr;
    }
}
