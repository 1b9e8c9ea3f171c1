// Module entry: runs the load sequence, then registers every area's functions
// and classes in load order, then the command-line entry.
#include "gui/gui.hpp"
#include "instrument/instrument.hpp"
#include "module/module.hpp"
#include "project/project.hpp"
#include "results/results.hpp"
#include "trace/trace.hpp"

PYBIND11_MODULE(vardex, m) {
    namespace py = pybind11;
    vdx::set_module(m.ptr());
    m.attr("__version__") = VARDEX_VERSION;
    vdx::frame::load_state(m);
    vdx::frame::register_functions(m);
    vdx::trace::register_functions(m);
    vdx::instrument::register_functions(m);
    vdx::project::register_functions(m);
    vdx::results::register_functions(m);
    vdx::gui::register_functions(m);
    if (py::str(m.attr("__name__")).cast<std::string>() == "__main__") m.attr("main")();
}
