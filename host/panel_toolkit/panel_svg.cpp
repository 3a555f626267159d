// Draws a headless panel as an SVG picture a person can open: the controls at
// their positions and sizes (fields with their numbers, check boxes with their
// ticks), ghosted ones greyed, the tree with its open nodes, each node's icon
// and colour codes, and the chosen node highlighted.
#include <cstdio>
#include <sstream>

#include "panel_toolkit.h"

namespace headless {
namespace {

constexpr int kMargin = 8;
constexpr int kTitleBar = 24;
constexpr int kRowHeight = 16;
constexpr int kIndent = 14;

// Length of the well-formed UTF-8 sequence at `at` that XML allows, or 0.
size_t utf8_sequence_length(const std::string &text, size_t at) {
    const auto byte = [&](size_t i) { return i < text.size() ? static_cast<unsigned char>(text[i]) : 0u; };
    const unsigned lead = byte(at);
    const auto continuation = [&](size_t i) { return (byte(i) & 0xC0u) == 0x80u; };
    if (lead >= 0xC2 && lead <= 0xDF) return continuation(at + 1) ? 2 : 0;
    if (lead >= 0xE0 && lead <= 0xEF) {
        const unsigned second = byte(at + 1);
        if (!continuation(at + 1) || !continuation(at + 2)) return 0;
        if ((lead == 0xE0 && second < 0xA0) || (lead == 0xED && second >= 0xA0)) return 0;  // overlong, surrogate
        if (lead == 0xEF && second == 0xBF && byte(at + 2) >= 0xBE) return 0;                // U+FFFE, U+FFFF
        return 3;
    }
    if (lead >= 0xF0 && lead <= 0xF4) {
        const unsigned second = byte(at + 1);
        if (!continuation(at + 1) || !continuation(at + 2) || !continuation(at + 3)) return 0;
        if ((lead == 0xF0 && second < 0x90) || (lead == 0xF4 && second >= 0x90)) return 0;
        return 4;
    }
    return 0;
}

// Text for the picture. Item names come from the scene in whatever encoding
// it was written (code page 932 in older scenes); bytes that are not UTF-8
// become U+FFFD so that the file stays well-formed XML.
std::string escaped(const std::string &text) {
    std::string out;
    for (size_t at = 0; at < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[at]);
        if (c >= 0x80) {
            const size_t length = utf8_sequence_length(text, at);
            if (length) {
                out.append(text, at, length);
                at += length;
            } else {
                out += "\xEF\xBF\xBD";
                ++at;
            }
            continue;
        }
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        default:
            if (c >= 0x20) out += static_cast<char>(c);
        }
        ++at;
    }
    return out;
}

// The item colours 0 to 14 (codes 152 to 166); a code with bit 0x1000000
// carries its own RGB; 16777216 alone is the default, drawn hollow.
std::string colour_fill(int code) {
    static const char *kPalette[15] = {"#000000", "#000080", "#008000", "#008080", "#800000",
                                       "#800080", "#808000", "#808080", "#4040ff", "#40ff40",
                                       "#40ffff", "#ff4040", "#ff40ff", "#ffb040", "#ffffff"};
    if (code >= 152 && code <= 166) return kPalette[code - 152];
    const unsigned value = static_cast<unsigned>(code);
    if (code != -1 && (value & 0x1000000u) && value != 0x1000000u) {
        char rgb[8];
        std::snprintf(rgb, sizeof rgb, "#%06x", value & 0xFFFFFFu);
        return rgb;
    }
    return "none";
}

const char *icon_letter(int icon) {
    switch (icon) {
    case 160: return "O";
    case 161: return "B";
    case 162: return "L";
    case 163: return "C";
    default: return "?";
    }
}

void draw_tree(std::ostringstream &svg, const HeadlessPanel &panel, const HeadlessControl &tree, int left, int top) {
    svg << "<g>\n<clipPath id=\"tree-clip\"><rect x=\"" << left << "\" y=\"" << top << "\" width=\"" << tree.width
        << "\" height=\"" << tree.height << "\"/></clipPath>\n";
    svg << "<rect x=\"" << left << "\" y=\"" << top << "\" width=\"" << tree.width << "\" height=\"" << tree.height
        << "\" fill=\"#ffffff\" stroke=\"#707070\"/>\n";
    svg << "<g clip-path=\"url(#tree-clip)\">\n";
    int y = top + 2;
    for (const TreeRow &row : panel.visible_rows()) {
        const int x = left + 4 + row.depth * kIndent;
        if (row.selected)
            svg << "<rect x=\"" << left + 1 << "\" y=\"" << y << "\" width=\"" << tree.width - 2 << "\" height=\""
                << kRowHeight << "\" fill=\"#3070d0\"/>\n";
        const char *ink = row.selected ? "#ffffff" : "#000000";
        if (row.has_children) {
            // A triangle pointing down for an open node, right for a closed one.
            if (row.open)
                svg << "<path d=\"M" << x << " " << y + 5 << " l8 0 l-4 6 z\" fill=\"" << ink << "\"/>\n";
            else
                svg << "<path d=\"M" << x + 1 << " " << y + 4 << " l0 8 l6 -4 z\" fill=\"" << ink << "\"/>\n";
        }
        const int icon_x = x + 12;
        svg << "<rect x=\"" << icon_x << "\" y=\"" << y + 2 << "\" width=\"12\" height=\"12\" rx=\"2\" fill=\""
            << colour_fill(row.colour) << "\" stroke=\"" << ink << "\"/>\n";
        const std::string letter_fill = colour_fill(row.colour);
        const bool dark = letter_fill == "#000000" || letter_fill == "#000080" || letter_fill == "#800000" ||
                          letter_fill == "#800080" || letter_fill == "#008000";
        svg << "<text x=\"" << icon_x + 6 << "\" y=\"" << y + 12 << "\" font-size=\"9\" text-anchor=\"middle\" "
            << "fill=\"" << (dark ? "#ffffff" : "#000000") << "\">" << icon_letter(row.icon) << "</text>\n";
        svg << "<text x=\"" << icon_x + 16 << "\" y=\"" << y + 12 << "\" font-size=\"12\" fill=\"" << ink << "\">"
            << escaped(row.name) << "<title>" << escaped(row.name) << ": icon " << row.icon << ", colour "
            << row.colour << (row.open ? ", open" : "") << "</title></text>\n";
        svg << "<text x=\"" << left + tree.width - 4 << "\" y=\"" << y + 12
            << "\" font-size=\"9\" text-anchor=\"end\" fill=\"" << (row.selected ? "#e0e8ff" : "#909090") << "\">"
            << row.icon << "," << row.colour << "</text>\n";
        y += kRowHeight;
    }
    svg << "</g>\n</g>\n";
}

void draw_control(std::ostringstream &svg, const HeadlessControl &control, int left, int top) {
    const std::string label = escaped(control.plain_label());
    const bool has_image = !control.label.empty() && control.label[0] == '\x03';
    svg << "<g" << (control.ghosted ? " opacity=\"0.35\"" : "") << ">\n";
    if (control.kind == "BorderControl") {
        svg << "<line x1=\"" << left << "\" y1=\"" << top + 1 << "\" x2=\"" << left + control.width << "\" y2=\""
            << top + 1 << "\" stroke=\"#808080\"/>\n";
    } else if (control.is_float() || control.kind == "BoolControl") {
        // The host writes a field's or a check box's label to its left.
        svg << "<text x=\"" << left - 6 << "\" y=\"" << top + control.height - 5
            << "\" font-size=\"11\" text-anchor=\"end\" fill=\"#000000\">" << label << "</text>\n";
        if (control.is_float()) {
            svg << "<rect x=\"" << left << "\" y=\"" << top << "\" width=\"" << control.width << "\" height=\""
                << control.height << "\" fill=\"#ffffff\" stroke=\"#606060\"/>\n";
            svg << "<text x=\"" << left + 4 << "\" y=\"" << top + control.height - 5
                << "\" font-size=\"11\" fill=\"#000000\">" << escaped(number_text(control.float_value))
                << "</text>\n";
        } else {
            const int box = control.height < 14 ? control.height : 14, box_top = top + (control.height - box) / 2;
            svg << "<rect x=\"" << left << "\" y=\"" << box_top << "\" width=\"" << box << "\" height=\"" << box
                << "\" fill=\"#ffffff\" stroke=\"#606060\"/>\n";
            if (control.int_value)
                svg << "<path d=\"M" << left + 3 << " " << box_top + box / 2 << " l" << box / 4 << " " << box / 4
                    << " l" << box / 2 - 1 << " -" << box / 2 << "\" fill=\"none\" stroke=\"#000000\" "
                    << "stroke-width=\"2\"/>\n";
        }
    } else if (control.kind == "BoolButtonControl") {
        const bool on = control.int_value != 0;
        svg << "<rect x=\"" << left << "\" y=\"" << top << "\" width=\"" << control.width << "\" height=\""
            << control.height << "\" rx=\"3\" fill=\"" << (on ? "#f0c040" : "#e8e8e8") << "\" stroke=\"#606060\"/>\n";
        svg << "<text x=\"" << left + control.width / 2 << "\" y=\"" << top + control.height - 5
            << "\" font-size=\"10\" text-anchor=\"middle\" fill=\"#000000\"" << (on ? " font-weight=\"bold\"" : "")
            << ">" << label << "</text>\n";
    } else {
        svg << "<rect x=\"" << left << "\" y=\"" << top << "\" width=\"" << control.width << "\" height=\""
            << control.height << "\" rx=\"3\" fill=\"#f4f4f4\" stroke=\"#606060\"/>\n";
        svg << "<text x=\"" << left + control.width / 2 << "\" y=\"" << top + control.height - 5
            << "\" font-size=\"10\" text-anchor=\"middle\" fill=\"#000000\">" << (has_image ? "&#8593; " : "")
            << label << "</text>\n";
    }
    svg << "</g>\n";
}

}  // namespace

std::string panel_svg(const HeadlessPanel &panel) {
    const int width = (panel.width > 0 ? panel.width : 418) + 2 * kMargin;
    const int height = (panel.height > 0 ? panel.height : 352) + kTitleBar + 2 * kMargin;
    std::ostringstream svg;
    svg << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << width << "\" height=\"" << height
        << "\" viewBox=\"0 0 " << width << " " << height << "\" font-family=\"sans-serif\">\n";
    svg << "<rect width=\"" << width << "\" height=\"" << height << "\" fill=\"#c8c8c8\" stroke=\"#404040\"/>\n";
    svg << "<rect width=\"" << width << "\" height=\"" << kTitleBar << "\" fill=\"#505a6a\"/>\n";
    svg << "<text x=\"" << kMargin << "\" y=\"17\" font-size=\"13\" fill=\"#ffffff\">" << escaped(panel.title)
        << "</text>\n";
    const int origin_x = kMargin, origin_y = kTitleBar + kMargin;
    for (const auto &control : panel.controls) {
        const int left = origin_x + control->x, top = origin_y + control->y;
        if (control->is_tree())
            draw_tree(svg, panel, *control, left, top);
        else
            draw_control(svg, *control, left, top);
    }
    svg << "</svg>\n";
    return svg.str();
}

}  // namespace headless
