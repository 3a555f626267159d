// The panel as text, for a script's `panel show` and for people reading a run.
#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "panel_toolkit.h"

namespace headless {

std::string number_text(double value) {
    char text[32];
    for (int precision = 1; precision <= 17; ++precision) {
        std::snprintf(text, sizeof text, "%.*g", precision, value);
        if (std::strtod(text, nullptr) == value) break;
    }
    return text;
}

std::string panel_text(const HeadlessPanel &panel) {
    std::ostringstream out;
    out << "panel \"" << panel.title << "\" at " << panel.x << "," << panel.y << " size " << panel.width << "x"
        << panel.height << "\n";
    for (const auto &control : panel.controls) {
        if (control->is_tree() || control->kind == "BorderControl") continue;
        out << "  ";
        if (control->is_float())
            out << control->plain_label() << ": " << number_text(control->float_value);
        else if (control->kind == "BoolButtonControl" || control->kind == "BoolControl")
            out << (control->int_value ? "[x] " : "[ ] ") << control->plain_label();
        else
            out << "( ) " << control->plain_label();
        out << (control->ghosted ? " (ghosted)" : "") << "\n";
    }
    for (const TreeRow &row : panel.visible_rows()) {
        out << "  " << std::string(static_cast<size_t>(row.depth) * 2, ' ')
            << (row.has_children ? (row.open ? "- " : "+ ") : "  ") << row.name;
        if (row.icon >= 0) out << "  (icon " << row.icon << ", colour " << row.colour << ")";
        out << (row.selected ? "  <- chosen" : "") << "\n";
    }
    return out.str();
}

}  // namespace headless
