// Window classes.
#include "gui/gui.hpp"

namespace vdx::gui {

void register_functions(py::module_& m) {
    m.attr("PlaceholderEntry") = make_class(
        "PlaceholderEntry", py::make_tuple(g("ttk").attr("Combobox")), py::dict());
    py::dict app;
    app["history_file_path"] = "";
    m.attr("SimpleGUIApp") = make_class("SimpleGUIApp", py::tuple(), app);
}

}  // namespace vdx::gui
