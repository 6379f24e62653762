// Columns: what a method asked for answer="columns" returns. It holds a finished ColumnAnswer
// and hands it out through the Arrow PyCapsule interface (__arrow_c_schema__,
// __arrow_c_array__, __arrow_c_stream__), any number of times, without copying a column.
#pragma once

#include "binding/arrow.h"

#include <pybind11/pybind11.h>

#include <cstddef>
#include <memory>

namespace vesko::binding {

namespace py = pybind11;

class Columns {
  public:
    explicit Columns(std::shared_ptr<ColumnAnswer> answer);

    // The "arrow_schema" capsule of the answer's struct type.
    py::object arrow_c_schema() const;
    // ("arrow_schema", "arrow_array") capsules of the answer's one record batch. A requested
    // schema is not applied: the consumer casts, as the interface allows.
    py::tuple arrow_c_array(py::handle requested_schema) const;
    // The "arrow_array_stream" capsule of the answer's batches.
    py::object arrow_c_stream(py::handle requested_schema) const;
    std::size_t rows() const { return answer_->rows(); }
    std::string repr() const;

    static void register_type(py::module_& module);

  private:
    std::shared_ptr<const ColumnAnswer> answer_;
};

}  // namespace vesko::binding
