// The CPython module `varn_calculations`: three functions that take text and return text.
// Arguments are copied out of their Python objects before any work starts; every failure
// leaves as RuntimeError with the system's message unchanged, a fault of the numerics as
// "Internal solver panic: ...", and the module stays usable for the next call.
#include <pybind11/pybind11.h>

#include <atomic>
#include <string>

#include "analysis.h"
#include "expected.h"
#include "huge_pages.h"
#include "models/json/writer.h"
#include "panic.h"

namespace py = pybind11;

namespace {

// The argument as owned UTF-8 text. Only str is accepted: bytes or numbers would otherwise
// be converted silently.
std::string take_text(const py::object& arg, const char* function, const char* name) {
  PyObject* obj = arg.ptr();
  if (!PyUnicode_Check(obj)) {
    throw py::type_error(std::string(function) + "() argument '" + name + "' must be str, not " +
                         Py_TYPE(obj)->tp_name);
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
  if (data == nullptr) throw py::error_already_set();  // lone surrogates cannot be UTF-8
  return std::string(data, static_cast<std::size_t>(size));
}

// Exactly RuntimeError (not a subclass) with the message as its text.
[[noreturn]] void raise_runtime_error(const std::string& message) {
  PyObject* text = PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace");
  if (text == nullptr) throw py::error_already_set();
  PyErr_SetObject(PyExc_RuntimeError, text);
  Py_DECREF(text);
  throw py::error_already_set();
}

// The result text as a str, its bytes copied once. The engine's JSON is ASCII unless a name
// in the model holds other characters, so the str is made at its final size with one byte
// per character and filled directly, into huge pages when the kernel grants them, since the
// first touch of a hundred megabytes of fresh 4 KiB pages costs more than the copy itself.
// The text comes with its long pieces kept apart, and the skeleton and the pieces go straight
// to their places in the str, on the pool. Text that turns out not to be ASCII is decoded as
// the UTF-8 it is.
py::str to_python_text(const varn::json::PiecedText& text) {
  const std::size_t size = text.size();
  PyObject* obj = PyUnicode_New(static_cast<Py_ssize_t>(size), 127);
  if (obj == nullptr) throw py::error_already_set();
  auto str = py::reinterpret_steal<py::str>(obj);
  char* dest = static_cast<char*>(PyUnicode_DATA(obj));
  varn::advise_huge_pages(dest, size);
  bool ascii = false;
  {
    // No other thread can reach the new object yet, so it is filled without the lock.
    py::gil_scoped_release unlocked;
    ascii = text.copy_ascii_to(dest);
  }
  if (ascii) return str;
  const std::string whole = text.flatten();
  obj = PyUnicode_DecodeUTF8(whole.data(), static_cast<Py_ssize_t>(whole.size()), nullptr);
  if (obj == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(obj);
}

py::str finish(const varn::Expected<varn::json::PiecedText>& result) {
  if (!result) raise_runtime_error(result.error());
  return to_python_text(*result);
}

py::str calculate_from_json(const py::object& json_data) {
  const std::string text = take_text(json_data, "calculate_from_json", "json_data");
  varn::Expected<varn::json::PiecedText> result = varn::fail({});
  {
    // Other Python threads run, and may call in too, while the model is analysed.
    py::gil_scoped_release unlocked;
    result = varn::catch_panics([&] { return varn::run_pipeline_to_text(text); });
  }
  return finish(result);
}

py::str calculate_from_file(const py::object& path_arg) {
  const std::string path = take_text(path_arg, "calculate_from_file", "path");
  varn::Expected<varn::json::PiecedText> result = varn::fail({});
  {
    // A slow disk or a large model must not stop the other Python threads.
    py::gil_scoped_release unlocked;
    result = varn::catch_panics([&] { return varn::calculate_text_from_file(path); });
  }
  return finish(result);
}

py::str load_varn_from_file(const py::object& path_arg) {
  const std::string path = take_text(path_arg, "load_varn_from_file", "path");
  varn::Expected<varn::json::PiecedText> result = varn::fail({});
  {
    py::gil_scoped_release unlocked;
    result = varn::catch_panics([&]() -> varn::Expected<varn::json::PiecedText> {
      varn::Expected<varn::VARN> model = varn::load_varn_from_file(path);
      if (!model) return varn::fail(model.error());
      varn::json::PiecedText out;
      out.skeleton.reserve(128);
      if (auto written = model->serialize(out.skeleton); !written) return varn::fail(written.error());
      return out;
    });
  }
  return finish(result);
}

void define_module(py::module_& m) {
  m.doc() = "";
  py::options options;
  options.disable_function_signatures();  // the text signatures below are the whole docstrings
  m.def("calculate_from_json", &calculate_from_json, py::arg("json_data"), "calculate_from_json(json_data)\n--\n\n");
  m.def("calculate_from_file", &calculate_from_file, py::arg("path"), "calculate_from_file(path)\n--\n\n");
  m.def("load_varn_from_file", &load_varn_from_file, py::arg("path"), "load_varn_from_file(path)\n--\n\n");
}

}  // namespace

// The module-init function, spelled out instead of PYBIND11_MODULE: a second initialisation
// (another interpreter, a forced re-init) must be refused before anything touches the module
// definition that the first module still uses.
PYBIND11_PLUGIN_IMPL(varn_calculations) {
  static std::atomic<bool> initialised{false};
  if (initialised.exchange(true)) {
    PyErr_SetString(PyExc_ImportError, "varn_calculations may only be initialized once per interpreter process");
    return nullptr;
  }
  PYBIND11_CHECK_PYTHON_VERSION
  PYBIND11_ENSURE_INTERNALS_READY
  static py::module_::module_def definition;
  auto m = py::module_::create_extension_module("varn_calculations", nullptr, &definition);
  try {
    define_module(m);
    return m.ptr();
  }
  PYBIND11_CATCH_INIT_EXCEPTIONS
}
