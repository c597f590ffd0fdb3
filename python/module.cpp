// The extension module `_tolvanex`: argument conversion, the call into the core, the JSON
// hand-over to Python's own json.loads, and errors as Python exceptions.
//
// Built against the stable ABI (Python 3.9 and later); only PyInit__tolvanex is exported.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <new>
#include <optional>
#include <string>
#include <vector>

#include "tolvanex/call_context.hpp"
#include "tolvanex/dispatch.hpp"
#include "tolvanex/json.hpp"
#include "tolvanex/summary/summary.hpp"
#include "tolvanex/text/text.hpp"

namespace {

using tolvanex::InspectOptions;
using tolvanex::ScanOptions;
using tolvanex::TolvanexResult;

// A strong reference released at scope end.
class Ref {
 public:
  explicit Ref(PyObject* o = nullptr) : o_(o) {}
  ~Ref() { Py_XDECREF(o_); }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  PyObject* get() const { return o_; }
  PyObject* release() {
    PyObject* o = o_;
    o_ = nullptr;
    return o;
  }
  explicit operator bool() const { return o_ != nullptr; }

 private:
  PyObject* o_;
};

// A str (or subclass) as UTF-8; a lone surrogate raises UnicodeEncodeError.
std::optional<std::string> utf8_of(PyObject* obj, const char* param) {
  if (!PyUnicode_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "argument '%s' must be str", param);
    return std::nullopt;
  }
  Ref bytes(PyUnicode_AsUTF8String(obj));
  if (!bytes) return std::nullopt;
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(bytes.get(), &data, &size) != 0) return std::nullopt;
  return std::string(data, static_cast<std::size_t>(size));
}

// True when the type is numpy's boolean scalar type ("bool_" or "bool" in module "numpy").
bool is_numpy_bool(PyObject* obj) {
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(obj));
  Ref module(PyObject_GetAttrString(type, "__module__"));
  if (!module) {
    PyErr_Clear();
    return false;
  }
  Ref name(PyObject_GetAttrString(type, "__name__"));
  if (!name) {
    PyErr_Clear();
    return false;
  }
  if (!PyUnicode_Check(module.get()) || !PyUnicode_Check(name.get())) return false;
  if (PyUnicode_CompareWithASCIIString(module.get(), "numpy") != 0) return false;
  return PyUnicode_CompareWithASCIIString(name.get(), "bool_") == 0 ||
         PyUnicode_CompareWithASCIIString(name.get(), "bool") == 0;
}

// A flag: True/False exactly, or a numpy boolean scalar whose __bool__ gives True/False.
// Returns -1 with an exception set on failure.
int flag_of(PyObject* obj, bool fallback, const char* param) {
  if (obj == nullptr) return fallback ? 1 : 0;
  if (obj == Py_True) return 1;
  if (obj == Py_False) return 0;
  if (is_numpy_bool(obj)) {
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(obj));
    Ref method(PyObject_GetAttrString(type, "__bool__"));
    if (!method) return -1;
    Ref value(PyObject_CallFunctionObjArgs(method.get(), obj, nullptr));
    if (!value) return -1;
    if (value.get() == Py_True) return 1;
    if (value.get() == Py_False) return 0;
    PyErr_Format(PyExc_TypeError, "argument '%s': __bool__ of a numpy bool must return bool",
                 param);
    return -1;
  }
  PyErr_Format(PyExc_TypeError, "argument '%s' must be bool or a numpy bool", param);
  return -1;
}

// Hands the JSON text to json.loads and returns what it makes of it.
PyObject* loads(const std::string& text) {
  Ref json(PyImport_ImportModule("json"));
  if (!json) return nullptr;
  Ref str(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
  if (!str) return nullptr;
  return PyObject_CallMethod(json.get(), "loads", "O", str.get());
}

PyObject* runtime_error(const std::string& text) {
  Ref message(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  if (message) PyErr_SetObject(PyExc_RuntimeError, message.get());
  return nullptr;
}

// What the core asks at a steady pace while it works. The call holds the interpreter lock
// throughout, so Python's own signal handlers run here; one that raises (Ctrl-C's
// KeyboardInterrupt) stops the call, with its exception pending.
bool handler_raised(void*) { return PyErr_CheckSignals() != 0; }

// Runs `body` (a core call) with a context whose interrupt runs the signal handlers; the
// context, and with it the HDF5 worker, ends before the result is written.
template <class F>
auto with_call(F&& body) {
  tolvanex::CallContext call({}, tolvanex::fsio::Interrupt(&handler_raised, nullptr));
  return body(call);
}

// The Python exception of a core error: the handler's own for an interrupt, which is already
// pending, else a RuntimeError with the display text.
PyObject* core_error(const tolvanex::TolvanexError& error) {
  if (error.kind() == tolvanex::ErrorKind::Interrupted && PyErr_Occurred()) return nullptr;
  return runtime_error(error.display());
}

// Turns a C++ exception escaping the core into a Python exception instead of a crash.
template <class F>
PyObject* guarded(F&& body) {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& e) {
    return runtime_error(std::string("internal error: ") + e.what());
  } catch (...) {
    return runtime_error("internal error");
  }
}


PyObject* py_inspect(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"path", "format", "include_paths", "summary", nullptr};
    PyObject* path_obj = nullptr;
    PyObject* format_obj = nullptr;
    PyObject* include_obj = nullptr;
    PyObject* summary_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|OOO:inspect", const_cast<char**>(keywords),
                                     &path_obj, &format_obj, &include_obj, &summary_obj))
      return nullptr;
    const auto path = utf8_of(path_obj, "path");
    if (!path) return nullptr;
    std::string format_text = "auto";
    if (format_obj) {
      auto converted = utf8_of(format_obj, "format");
      if (!converted) return nullptr;
      format_text = std::move(*converted);
    }
    const int include_paths = flag_of(include_obj, false, "include_paths");
    if (include_paths < 0) return nullptr;
    const int summary = flag_of(summary_obj, false, "summary");
    if (summary < 0) return nullptr;

    InspectOptions options;
    options.include_paths = include_paths == 1;
    if (!tolvanex::text::ascii_iequals(format_text, "auto")) {
      std::string error;
      options.format = tolvanex::parse_format(format_text, &error);
      if (!options.format) return runtime_error(error);
    }
    auto record = with_call([&](tolvanex::CallContext& call) {
      return tolvanex::dispatch::inspect_path(*path, options, call);
    });
    if (!record) return core_error(record.error());
    if (summary)
      return loads(tolvanex::json::write(tolvanex::summary::summarize_result(record.value())));
    return loads(tolvanex::json::write(record.value()));
  });
}

PyObject* py_scan(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"paths", "recursive", "include_paths", "summary", nullptr};
    PyObject* paths_obj = nullptr;
    PyObject* recursive_obj = nullptr;
    PyObject* include_obj = nullptr;
    PyObject* summary_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|OOO:scan", const_cast<char**>(keywords),
                                     &paths_obj, &recursive_obj, &include_obj, &summary_obj))
      return nullptr;
    if (PyUnicode_Check(paths_obj)) {
      PyErr_SetString(PyExc_TypeError, "argument 'paths': a str is not a sequence of paths");
      return nullptr;
    }
    if (!PySequence_Check(paths_obj)) {
      PyErr_SetString(PyExc_TypeError, "argument 'paths' must be a Sequence of str");
      return nullptr;
    }
    std::vector<std::string> paths;
    Ref iterator(PyObject_GetIter(paths_obj));
    if (!iterator) return nullptr;
    while (PyObject* raw = PyIter_Next(iterator.get())) {
      Ref item(raw);
      if (!PyUnicode_Check(item.get())) {
        PyErr_SetString(PyExc_TypeError, "argument 'paths': every item must be str");
        return nullptr;
      }
      auto path = utf8_of(item.get(), "paths");
      if (!path) return nullptr;
      paths.push_back(std::move(*path));
    }
    if (PyErr_Occurred()) return nullptr;
    const int recursive = flag_of(recursive_obj, true, "recursive");
    if (recursive < 0) return nullptr;
    const int include_paths = flag_of(include_obj, false, "include_paths");
    if (include_paths < 0) return nullptr;
    const int summary = flag_of(summary_obj, false, "summary");
    if (summary < 0) return nullptr;

    ScanOptions options = ScanOptions::defaults();
    options.recursive = recursive == 1;
    options.include_paths = include_paths == 1;
    options.inspect_options.include_paths = include_paths == 1;
    auto records = with_call([&](tolvanex::CallContext& call) {
      return tolvanex::dispatch::scan_paths(paths, options, call);
    });
    if (!records) return core_error(records.error());
    if (summary) {
      std::vector<tolvanex::summary::TolvanexSummaryResult> compact;
      compact.reserve(records.value().size());
      for (const TolvanexResult& record : records.value())
        compact.push_back(tolvanex::summary::summarize_result(record));
      return loads(tolvanex::json::write(compact));
    }
    return loads(tolvanex::json::write(records.value()));
  });
}

PyMethodDef kMethods[] = {
    {"inspect", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(py_inspect)),
     METH_VARARGS | METH_KEYWORDS,
     "inspect(path, format=\"auto\", include_paths=False, summary=False)\n--\n\n"},
    {"scan", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(py_scan)),
     METH_VARARGS | METH_KEYWORDS,
     "scan(paths, recursive=True, include_paths=False, summary=False)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    "_tolvanex",
    "",
    0,        // not -1: CPython then calls the initialiser again on re-import and in
              // sub-interpreters instead of copying the module, so the checks below apply
    nullptr,  // functions are added in the initialiser
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// The module is made once per process: later initialisations in the same interpreter get
// the same object, and a second interpreter is refused.
struct ModuleCache {
  PyObject* module = nullptr;
  std::int64_t interpreter = -1;
};

ModuleCache& module_cache() {
  static ModuleCache cache;
  return cache;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__tolvanex(void) {
  ModuleCache& cache = module_cache();
  const std::int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (cache.module) {
    if (cache.interpreter != interpreter) {
      PyErr_SetString(PyExc_ImportError,
                      "_tolvanex can be loaded only once per process, in one interpreter");
      return nullptr;
    }
    Py_INCREF(cache.module);
    return cache.module;
  }
  Ref module(PyModule_Create(&kModule));
  if (!module) return nullptr;
  if (PyModule_AddFunctions(module.get(), kMethods) != 0) return nullptr;
  Py_INCREF(module.get());
  cache.module = module.get();
  cache.interpreter = interpreter;
  return module.release();
}
